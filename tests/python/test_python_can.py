"""python-can's slcan interface as the host of korva_sim.

The simulator must look like a Lawicel adapter to a host that was not
written with it: python-can opens it with a bit rate, reads its serial
number, and exchanges standard, extended and remote frames with it over a
pseudo-terminal, over TCP (pyserial's socket:// URLs) and through the
virtual bus between two simulators.
"""
import os
import tempfile
import unittest

import can

from simulator import TIMEOUT, Sim


def open_bus(channel, bitrate):
    return can.Bus(interface="slcan", channel=channel, bitrate=bitrate, timeout=TIMEOUT)


class HostChecks:
    """The same host exchange over any transport; subclasses say which."""

    def start_sim(self):
        raise NotImplementedError

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="korva-pycan-")
        self.sim, self.channel = self.start_sim()
        self.addCleanup(self.tmp.cleanup)
        self.addCleanup(self.sim.close)

    def test_open_serial_and_frames(self):
        bus = open_bus(self.channel, 500000)
        self.addCleanup(bus.shutdown)
        self.sim.wait_for("set bitrate=S6")
        self.sim.wait_for("state open O")
        self.assertEqual(bus.get_serial_number(timeout=TIMEOUT), "4711")

        # Frames from the adapter: standard, extended, remote with a length.
        self.sim.command("send 123#AABB")
        self.sim.command("send 1ABCDEF0#0102030405060708")
        self.sim.command("send 7FF#R3")
        got = [bus.recv(TIMEOUT) for _ in range(3)]
        self.assertNotIn(None, got)
        self.assertEqual((got[0].arbitration_id, got[0].is_extended_id, bytes(got[0].data)),
                         (0x123, False, b"\xAA\xBB"))
        self.assertEqual((got[1].arbitration_id, got[1].is_extended_id, bytes(got[1].data)),
                         (0x1ABCDEF0, True, bytes(range(1, 9))))
        self.assertEqual((got[2].arbitration_id, got[2].is_remote_frame, got[2].dlc), (0x7FF, True, 3))

        # Frames from the host: the adapter sees the transmit commands.
        bus.send(can.Message(arbitration_id=0x321, data=[1, 2, 3], is_extended_id=False))
        bus.send(can.Message(arbitration_id=0x1234567, data=[9], is_extended_id=True))
        bus.send(can.Message(arbitration_id=0x55, is_remote_frame=True, dlc=3, is_extended_id=False))
        self.sim.wait_for("rx t3213010203")
        self.sim.wait_for("rx T01234567109")
        self.sim.wait_for("rx r0553")

    def test_time_stamped_lines_are_frames_too(self):
        bus = open_bus(self.channel, 125000)
        self.addCleanup(bus.shutdown)
        self.sim.wait_for("set bitrate=S4")
        self.sim.wait_for("state open")
        self.sim.command("send 0AB#DEADBEEF ts=on")
        msg = bus.recv(TIMEOUT)
        self.assertIsNotNone(msg)
        self.assertEqual((msg.arbitration_id, bytes(msg.data)), (0xAB, b"\xDE\xAD\xBE\xEF"))


class PtyTests(HostChecks, unittest.TestCase):
    def start_sim(self):
        sim = Sim("--pty", os.path.join(self.tmp.name, "ttyUSB0"), "--serial", "4711")
        return sim, sim.link


class TcpTests(HostChecks, unittest.TestCase):
    def start_sim(self):
        sim = Sim("--tcp", "0", "--serial", "4711")
        return sim, "socket://127.0.0.1:%d" % sim.port


class BusTests(unittest.TestCase):
    """Two simulators on one bus: what one host sends, the other receives."""

    def test_frames_cross_between_pty_and_tcp(self):
        name = "pycan-%d" % os.getpid()
        with tempfile.TemporaryDirectory(prefix="korva-pycan-") as tmp:
            a = Sim("--pty", os.path.join(tmp, "ttyUSB0"), "--bus", name)
            self.addCleanup(a.close)
            b = Sim("--tcp", "0", "--bus", name)
            self.addCleanup(b.close)
            a.wait_for("bus peers=1")
            b.wait_for("bus peers=1")
            bus_a = open_bus(a.link, 250000)
            self.addCleanup(bus_a.shutdown)
            bus_b = open_bus("socket://127.0.0.1:%d" % b.port, 250000)
            self.addCleanup(bus_b.shutdown)
            a.wait_for("state open")
            b.wait_for("state open")

            bus_a.send(can.Message(arbitration_id=0x100, data=[0x11, 0x22], is_extended_id=False))
            msg = bus_b.recv(TIMEOUT)
            self.assertIsNotNone(msg)
            self.assertEqual((msg.arbitration_id, msg.is_extended_id, bytes(msg.data)),
                             (0x100, False, b"\x11\x22"))

            bus_b.send(can.Message(arbitration_id=0x18FF00AA, data=[1, 2, 3, 4, 5], is_extended_id=True))
            msg = bus_a.recv(TIMEOUT)
            self.assertIsNotNone(msg)
            self.assertEqual((msg.arbitration_id, msg.is_extended_id, bytes(msg.data)),
                             (0x18FF00AA, True, b"\x01\x02\x03\x04\x05"))


if __name__ == "__main__":
    unittest.main()
