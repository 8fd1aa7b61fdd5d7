#!/usr/bin/env python3
"""Reads N frames from an adapter through python-can and reports the CPU
time it took: the comparison point of korva_bench and pycan_bench.py.

    pycan_read.py CHANNEL N [INTERFACE]

INTERFACE is python-can's interface name: slcan (the default) or korva.
Prints "ready" once the bus is open, then, after N frames (or 10 s without
one), "result frames=F cpu=SECONDS wall=SECONDS in_order=K": K frames
carried the flood sequence number that followed the one before.
"""
import resource
import struct
import sys
import time

import can


def cpu():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def main():
    channel, n = sys.argv[1], int(sys.argv[2])
    interface = sys.argv[3] if len(sys.argv) > 3 else "slcan"
    bus = can.Bus(interface=interface, channel=channel, bitrate=500000)
    print("ready", flush=True)
    frames = in_order = 0
    expected = 0
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
        # The simulator's flood numbers its frames 0, 1, ...
        seq = struct.unpack_from(">I", msg.data)[0] if len(msg.data) >= 4 else -1
        in_order += seq == expected
        expected = seq + 1
        last = time.monotonic()
    c1, w1 = cpu(), time.monotonic()
    bus.shutdown()
    print("result frames=%d cpu=%f wall=%f in_order=%d" % (frames, c1 - (c0 or c1), w1 - (w0 or w1), in_order),
          flush=True)


if __name__ == "__main__":
    main()
