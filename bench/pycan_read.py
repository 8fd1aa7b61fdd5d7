#!/usr/bin/env python3
"""Reads N frames from a Lawicel adapter with python-can's slcan interface
and reports the CPU time it took: the comparison point of korva_bench.

    pycan_read.py CHANNEL N

Prints "ready" once the bus is open, then, after N frames (or 10 s without
one), "result frames=F cpu=SECONDS wall=SECONDS".
"""
import resource
import sys
import time

import can


def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def main():
    channel, n = sys.argv[1], int(sys.argv[2])
    bus = can.Bus(interface="slcan", channel=channel, bitrate=500000)
    print("ready", flush=True)
    frames = 0
    c0 = w0 = None
    last = time.monotonic()
    while frames < n:
        msg = bus.recv(timeout=1.0)
        if msg is None:
            if frames and time.monotonic() - last > 10:
                break
            continue
        if c0 is None:
            c0, w0 = cpu(), time.monotonic()
        frames += 1
        last = time.monotonic()
    c1, w1 = cpu(), time.monotonic()
    bus.shutdown()
    print("result frames=%d cpu=%f wall=%f" % (frames, c1 - (c0 or c1), w1 - (w0 or w1)), flush=True)


if __name__ == "__main__":
    main()
