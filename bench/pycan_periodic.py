#!/usr/bin/env python3
"""How evenly python-can's send_periodic() sends on a korva bus: the
spacing of the frames when they were sent, and as a second korva bus
receives them.

    scripts/python_venv.sh build/python-venv     (once: python-can sees "korva")
    build/python-venv/bin/python bench/pycan_periodic.py [--build build] [--period-ms 10] [--seconds 10]

Two simulated adapters share one virtual bus: a pseudo-terminal one that
sends with bus.send_periodic(), a TCP one that receives.  The sender's
times are those of its echoes (receive_own_messages: the host clock when
send() had handed the frame to the adapter); the receiver's are the host
clock when korva handed it the frame, so they include the way across the
simulated bus and the reader's wake-ups.
"""
import argparse
import os
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from simulator import Sim  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default="build", help="build directory (default: build)")
    ap.add_argument("--period-ms", type=float, default=10.0)
    ap.add_argument("--seconds", type=float, default=10.0)
    ap.add_argument("--python-can-task", action="store_true",
                    help="python-can's own thread-based task instead of the back-end's, for comparison")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    os.environ["KORVA_SIM"] = os.path.join(build, "tools", "korva_sim", "korva_sim")
    os.environ.setdefault("KORVA_API_LIBRARY", os.path.join(build, "libkorva_api.so"))
    import can
    if args.python_can_task:
        import can_korva.bus
        can_korva.bus._OWN_PERIODIC = False

    period = args.period_ms / 1000.0
    count = int(args.seconds / period)
    name = "periodic-%d" % os.getpid()
    with tempfile.TemporaryDirectory(prefix="korva-periodic-") as tmp:
        a = Sim("--pty", os.path.join(tmp, "ttyUSB0"), "--bus", name, "--no-log-rx")
        b = Sim("--tcp", "0", "--bus", name, "--no-log-rx")
        try:
            a.wait_for("bus peers=1")
            sender = can.Bus(interface="korva", channel=a.link, bitrate=500000, receive_own_messages=True)
            receiver = can.Bus(interface="korva", channel="127.0.0.1:%d" % b.port, bitrate=500000)
            try:
                task = sender.send_periodic(can.Message(arbitration_id=0x100, data=b"\x01", is_extended_id=False),
                                            period)
                received = []
                while len(received) < count:
                    msg = receiver.recv(5.0)
                    if msg is None:
                        sys.exit("pycan_periodic: frames stopped after %d" % len(received))
                    received.append(msg.timestamp)
                task.stop()
                sent = []
                while len(sent) < count and (msg := sender.recv(1.0)) is not None:
                    sent.append(msg.timestamp)
            finally:
                sender.shutdown()
                receiver.shutdown()
        finally:
            a.close()
            b.close()

    print("send_periodic every %.1f ms, %d frames, %s task (python-can %s, load average %.1f):"
          % (args.period_ms, count, "python-can's" if args.python_can_task else "korva's", can.__version__,
             os.getloadavg()[0]))
    for what, stamps in (("sent", sent), ("received", received)):
        gaps = [(y - x) * 1000.0 for x, y in zip(stamps, stamps[1:])]
        dev = sorted(abs(g - args.period_ms) for g in gaps)
        print("  %-8s mean period %.3f ms, standard deviation %.3f ms, shortest %.3f, longest %.3f ms"
              % (what, statistics.mean(gaps), statistics.pstdev(gaps), min(gaps), max(gaps)))
        print("  %-8s deviation from the period: median %.3f ms, 99%% within %.3f ms"
              % ("", dev[len(dev) // 2], dev[int(len(dev) * 0.99)]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
