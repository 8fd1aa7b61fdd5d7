#!/usr/bin/env python3
"""Request/response round trips through python-can, once on the korva
interface and once on python-can's own slcan interface, against the same
adapter, in one run: median, 99th percentile and maximum.

    scripts/python_venv.sh build/python-venv     (once: python-can sees "korva")
    /usr/bin/python3 bench/pycan_rtt.py [--build build] [--n 300]
        [--lines pty,tcp,tcp-nagle] [--background | --alone]

The adapter is build/bench/korva_rtt --serve (a pseudo-terminal linked as
ttyUSB0, TCP 127.0.0.1 with TCP_NODELAY, or TCP with Nagle's algorithm on):
it answers each frame line at once with "z\\r" and then the answer frame
(identifier 7E8, the request's data), in two writes; with background
traffic it also sends a short frame line every 1.8 ms.  One round trip is
bus.send() of a request (identifier 7E0, a sequence number in its data)
until bus.recv() returns its answer.  The readers run in the venv's python
(which sees both interfaces), each interface on its own bus in turn.
"""
import argparse
import os
import struct
import subprocess
import sys
import time

REQUEST, ANSWER, NUDGE = 0x7E0, 0x7E8, 0x7FF


def figures(ms):
    ms = sorted(ms)
    if not ms:
        return 0, 0.0, 0.0, 0.0
    p99 = ms[min(len(ms) - 1, (len(ms) * 99 + 99) // 100 - 1)]
    return len(ms), ms[len(ms) // 2], p99, ms[-1]


def round_trips(interface, channel, n):
    """n round trips on a bus of interface: the times in ms."""
    import can
    kwargs = {"sleep_after_open": 0} if interface == "slcan" else {}
    bus = can.Bus(interface=interface, channel=channel, bitrate=500000, **kwargs)
    times = []
    try:
        # Let the open's replies and any stale input go by.
        settled = time.perf_counter() + 0.2
        while time.perf_counter() < settled:
            bus.recv(timeout=0.05)
        for seq in range(n):
            data = struct.pack(">I", seq) + struct.pack(">I", ~seq & 0xFFFFFFFF)
            request = can.Message(arbitration_id=REQUEST, is_extended_id=False, data=data)
            t0 = time.perf_counter()
            bus.send(request)
            deadline = t0 + 2.0
            while True:
                msg = bus.recv(timeout=max(0.0, deadline - time.perf_counter()))
                if msg is None:
                    break
                if msg.arbitration_id == ANSWER and bytes(msg.data[:4]) == data[:4]:
                    times.append((time.perf_counter() - t0) * 1e3)
                    break
    finally:
        bus.shutdown()
    return times


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default="build", help="build directory (default: build)")
    ap.add_argument("--n", type=int, default=300, help="round trips per interface and adapter (default 300)")
    ap.add_argument("--lines", default="pty,tcp,tcp-nagle", help="adapters (default pty,tcp,tcp-nagle)")
    group = ap.add_mutually_exclusive_group()
    group.add_argument("--background", action="store_true", help="only with background traffic")
    group.add_argument("--alone", action="store_true", help="only without background traffic")
    ap.add_argument("--child", nargs=3, metavar=("INTERFACE", "CHANNEL", "N"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        interface, channel, n = args.child
        print(" ".join("%.6f" % t for t in round_trips(interface, channel, int(n))))
        return 0

    build = os.path.abspath(args.build)
    python = os.path.join(build, "python-venv", "bin", "python")
    peer = os.path.join(build, "bench", "korva_rtt")
    for path, hint in ((python, "create it with scripts/python_venv.sh %s/python-venv" % build),
                       (peer, "build the benchmarks")):
        if not os.path.exists(path):
            sys.exit("pycan_rtt: no %s; %s" % (path, hint))
    env = dict(os.environ, KORVA_API_LIBRARY=os.path.join(build, "libkorva_api.so"))
    backgrounds = [True] if args.background else [False] if args.alone else [False, True]
    with open("/proc/loadavg") as f:
        load = f.read().strip()
    print("pycan_rtt: python-can %s, %d round trips each; load %s" % (python_can_version(python), args.n, load))
    print("%-40s %5s %9s %9s %9s" % ("ms", "n", "median", "p99", "max"))
    rc = 0
    for line in args.lines.split(","):
        for background in backgrounds:
            serve = [peer, "--serve", line] + (["--background"] if background else [])
            adapter = subprocess.Popen(serve, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            try:
                ready = adapter.stdout.readline().split()
                if len(ready) != 2 or ready[0] != "ready":
                    sys.exit("pycan_rtt: the %s adapter did not start" % line)
                name = ready[1]
                for interface in ("slcan", "korva"):
                    channel = name if line == "pty" or interface == "korva" else "socket://" + name
                    # Each interface in a process of its own: what one leaves
                    # behind (threads, a loaded library) cannot slow the other.
                    out = subprocess.run([python, os.path.abspath(__file__), "--child", interface, channel,
                                          str(args.n)], env=env, stdout=subprocess.PIPE, text=True, timeout=600)
                    times = [float(t) for t in out.stdout.split()]
                    count, median, p99, top = figures(times)
                    what = "%s, %s%s" % (interface, line, " + background" if background else "")
                    lost = "   %d LOST" % (args.n - count) if count < args.n else ""
                    print("%-40s %5d %9.3f %9.3f %9.3f%s" % (what, count, median, p99, top, lost), flush=True)
                    rc |= out.returncode != 0 or count < args.n
            finally:
                adapter.stdin.close()
                adapter.wait(10)
    return 1 if rc else 0


def python_can_version(python):
    out = subprocess.run([python, "-c", "import can; print(can.__version__)"], stdout=subprocess.PIPE, text=True)
    return out.stdout.strip()


if __name__ == "__main__":
    sys.exit(main())
