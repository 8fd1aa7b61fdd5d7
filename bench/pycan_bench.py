#!/usr/bin/env python3
"""The same flooded stream through python-can, once with the korva
interface and once with python-can's own slcan interface: frames, order,
CPU time per frame.

    scripts/python_venv.sh build/python-venv     (once: python-can sees "korva")
    /usr/bin/python3 bench/pycan_bench.py [--build build] [--frames 200000]

One simulated adapter on a pseudo-terminal floods N numbered frames as fast
as the line takes them, first to a reader on the korva interface, then to
one on slcan (each in its own process, bench/pycan_read.py).  The CPU time
of each reader process counts all its threads, korva's reader thread
included.
"""
import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))
from simulator import Sim  # noqa: E402


def run_reader(sim, python, interface, frames, env):
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pycan_read.py")
    child = subprocess.Popen([python, script, sim.link, str(frames), interface], stdout=subprocess.PIPE,
                             text=True, env=env)
    try:
        if child.stdout.readline().strip() != "ready":
            sys.exit("pycan_bench: the %s reader did not start" % interface)
        sim.command("flood %d" % frames)
        line = child.stdout.readline().split()
        if not line or line[0] != "result":
            sys.exit("pycan_bench: the %s reader gave no result" % interface)
        sim.wait_for("done flood")
        return {k: float(v) for k, v in (f.split("=") for f in line[1:])}
    finally:
        child.wait(60)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default="build", help="build directory (default: build)")
    ap.add_argument("--frames", type=int, default=200000)
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    python = os.path.join(build, "python-venv", "bin", "python")
    if not os.path.exists(python):
        sys.exit("pycan_bench: no %s; create it with scripts/python_venv.sh %s/python-venv" % (python, build))
    os.environ["KORVA_SIM"] = os.path.join(build, "tools", "korva_sim", "korva_sim")
    env = dict(os.environ, KORVA_API_LIBRARY=os.path.join(build, "libkorva_api.so"))

    results = {}
    with tempfile.TemporaryDirectory(prefix="korva-pycan-bench-") as tmp:
        sim = Sim("--pty", os.path.join(tmp, "ttyUSB0"), "--no-log-rx")
        try:
            for interface in ("korva", "slcan"):
                results[interface] = run_reader(sim, python, interface, args.frames, env)
        finally:
            sim.close()

    print("%d frames flooded on a pseudo-terminal, read through python-can:" % args.frames)
    print("%-6s %8s %9s %10s %12s" % ("", "frames", "in order", "frames/s", "CPU/frame"))
    for interface, r in results.items():
        per = r["cpu"] / r["frames"] if r["frames"] else 0
        rate = r["frames"] / r["wall"] if r["wall"] else 0
        print("%-6s %8d %9d %10.0f %9.1f us" % (interface, r["frames"], r["in_order"], rate, per * 1e6))
    k, s = results["korva"], results["slcan"]
    if k["frames"] and s["frames"] and k["cpu"] > 0:
        print("korva needs 1/%.0f of slcan's CPU time per frame" % ((s["cpu"] / s["frames"]) / (k["cpu"] / k["frames"])))
    ok = k["frames"] == args.frames and k["in_order"] == args.frames
    print("korva: all %d frames in order" % args.frames if ok else "korva: frames LOST or out of order")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
