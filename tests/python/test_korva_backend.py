"""python-can's interface "korva" against simulated adapters.

Runs in a virtual environment into which the back-end was installed, so
that python-can finds it through its entry point: every bus here is made
with can.Bus(interface="korva", ...).  The independent peer is python-can's
own slcan interface on a second simulator on the same virtual bus.
"""
import ctypes
import importlib.metadata
import os
import shutil
import resource
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import warnings

import can

from simulator import TIMEOUT, Sim

# The build's library, not an installed one.
os.environ.setdefault("KORVA_API_LIBRARY", os.environ.get("KORVA_LIB", ""))

import can_korva  # noqa: E402  (after the library is named)


def korva_bus(channel, **kwargs):
    return can.Bus(interface="korva", channel=channel, **kwargs)


def frames_of_every_shape():
    """Standard, extended and remote frames with 0 to 8 data bytes."""
    out = [can.Message(arbitration_id=0x100 + n, data=bytes(range(0xA0, 0xA0 + n)), is_extended_id=False)
           for n in range(9)]
    out += [can.Message(arbitration_id=0x1ABCDE00 + n, data=bytes(range(n)), is_extended_id=True)
            for n in (0, 3, 8)]
    out += [can.Message(arbitration_id=0x7FF, is_remote_frame=True, dlc=3, is_extended_id=False),
            can.Message(arbitration_id=0x1FFFFFFF, is_remote_frame=True, dlc=0, is_extended_id=True)]
    return out


def shape(msg):
    return (msg.arbitration_id, msg.is_extended_id, msg.is_remote_frame, msg.dlc,
            b"" if msg.is_remote_frame else bytes(msg.data))


def wait_stored(bus, count):
    """Waits until korva has stored count frames for bus that are not yet
    read: its reader thread posts the bus's semaphore once per frame."""
    sem_getvalue = ctypes.CDLL(None).sem_getvalue
    value = ctypes.c_int()
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        sem_getvalue(ctypes.c_void_p(bus._sem.address), ctypes.byref(value))
        if value.value >= count:
            return
        time.sleep(0.01)
    raise AssertionError("korva stored %d of %d frames" % (value.value, count))


def cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


class SimCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="korva-backend-")
        self.addCleanup(subprocess.run, ["rm", "-rf", self.tmp])

    def sim(self, *args):
        sim = Sim(*args)
        self.addCleanup(sim.close)
        return sim

    def pty_sim(self, *args):
        return self.sim("--pty", os.path.join(self.tmp, "ttyUSB0"), "--serial", "4711", *args)

    def open(self, channel, **kwargs):
        bus = korva_bus(channel, **kwargs)
        self.addCleanup(bus.shutdown)
        return bus

    def recv_all(self, bus, count):
        got = [bus.recv(TIMEOUT) for _ in range(count)]
        self.assertNotIn(None, got)
        return got


class PeerTests(SimCase):
    """korva on adapter A (a pseudo-terminal), python-can's slcan on adapter
    B (TCP), both on one virtual bus."""

    def setUp(self):
        super().setUp()
        name = self.bus_name = "korva-py-%d-%s" % (os.getpid(), self._testMethodName)
        self.a = self.pty_sim("--bus", name)
        self.b = self.sim("--tcp", "0", "--bus", name, "--serial", "2222")
        self.a.wait_for("bus peers=1")
        self.b.wait_for("bus peers=1")

    def peer(self, bitrate=500000):
        bus = can.Bus(interface="slcan", channel="socket://127.0.0.1:%d" % self.b.port, bitrate=bitrate,
                      timeout=TIMEOUT)
        self.addCleanup(bus.shutdown)
        self.b.wait_for("state open")
        return bus

    def test_frames_both_ways(self):
        bus = self.open(self.a.link, bitrate=500000)
        self.a.wait_for("set bitrate=S6")
        self.a.wait_for("state open O")
        peer = self.peer()
        self.assertIn("serial 4711", bus.channel_info)
        frames = frames_of_every_shape()

        for msg in frames:
            bus.send(msg)
        self.assertEqual([shape(m) for m in self.recv_all(peer, len(frames))], [shape(m) for m in frames])

        for msg in frames:
            peer.send(msg)
        got = self.recv_all(bus, len(frames))
        self.assertEqual([shape(m) for m in got], [shape(m) for m in frames])
        self.assertTrue(all(m.is_rx and m.channel == self.a.link for m in got))
        self.assertLess(abs(got[0].timestamp - time.time()), 60)

        # timeout=0 only queues the frame; flush_tx_buffer sends it now.
        bus.send(can.Message(arbitration_id=0x42, data=b"\x01", is_extended_id=False), timeout=0)
        bus.flush_tx_buffer()
        self.assertEqual(shape(peer.recv(TIMEOUT)), (0x42, False, False, 1, b"\x01"))

    def test_own_messages_and_periodic(self):
        bus = self.open(self.a.link, bitrate=500000, receive_own_messages=True)
        self.a.wait_for("state open O")
        peer = self.peer()
        # Frames received before a send come before its echo.
        for i in range(3):
            peer.send(can.Message(arbitration_id=0x10 + i, data=[i], is_extended_id=False))
        wait_stored(bus, 3)
        before = time.time()
        bus.send(can.Message(arbitration_id=0x1ABCDEF0, data=b"\x01\x02", is_extended_id=True))
        after = time.time()
        got = self.recv_all(bus, 4)
        self.assertEqual([(m.arbitration_id, m.is_rx, m.channel) for m in got],
                         [(0x10, True, self.a.link), (0x11, True, self.a.link), (0x12, True, self.a.link),
                          (0x1ABCDEF0, False, self.a.link)])
        self.assertEqual(shape(got[3]), (0x1ABCDEF0, True, False, 2, b"\x01\x02"))
        self.assertTrue(before <= got[3].timestamp <= after)
        self.assertEqual(shape(peer.recv(TIMEOUT)), (0x1ABCDEF0, True, False, 2, b"\x01\x02"))

        # A recv() that waits wakes for the echo of a remote request.
        result = []
        waiter = threading.Thread(target=lambda: result.append(bus.recv(3 * TIMEOUT)), daemon=True)
        waiter.start()
        time.sleep(0.1)  # most likely waiting by now; the outcome is the same if not
        bus.send(can.Message(arbitration_id=0x7FF, is_remote_frame=True, dlc=3, is_extended_id=False))
        waiter.join(TIMEOUT)
        self.assertEqual([shape(m) for m in result], [(0x7FF, False, True, 3, b"")])
        self.assertFalse(result[0].is_rx)
        self.assertEqual(shape(peer.recv(TIMEOUT)), (0x7FF, False, True, 3, b""))

        # send_periodic: frames keep coming until stopped, not faster than
        # the period (the echoes tell when each was sent; the bound is loose,
        # the figures come from bench/pycan_periodic.py).
        msg = can.Message(arbitration_id=0x300, data=b"\xAA", is_extended_id=False)
        task = bus.send_periodic(msg, 0.02)
        got = self.recv_all(peer, 10)
        task.stop()
        self.assertEqual({shape(m) for m in got}, {shape(msg)})
        while peer.recv(0.5) is not None:  # the frames sent before stop()
            pass
        echoes = []
        while (m := bus.recv(0)) is not None:
            echoes.append(m)
        self.assertGreaterEqual(len(echoes), 10)
        self.assertTrue(all(not m.is_rx and shape(m) == shape(msg) for m in echoes))
        self.assertGreaterEqual(echoes[9].timestamp - echoes[0].timestamp, 9 * 0.02 / 2)

    def test_filters_on_the_adapter_and_in_software(self):
        bus = self.open(self.a.link, bitrate=500000,
                        can_filters=[{"can_id": 0x123, "can_mask": 0x7FF, "extended": False}])
        for event in ("set bitrate=S6", "set filter=1", "set code=24600000", "set mask=001FFFFF"):
            self.a.wait_for(event)
        peer = self.peer()

        def deliver(ids_and_formats):
            for ident, ext in ids_and_formats:
                peer.send(can.Message(arbitration_id=ident, data=b"\x00", is_extended_id=ext))
            # A last frame that every filter below passes tells when to stop.
            peer.send(can.Message(arbitration_id=0x123, data=b"\xFF", is_extended_id=False))
            got = []
            while True:
                msg = bus.recv(TIMEOUT)
                self.assertIsNotNone(msg)
                if msg.data == b"\xFF":
                    return got
                got.append((msg.arbitration_id, msg.is_extended_id))

        # The adapter's acceptance filter is not exact (it would pass an
        # extended frame whose top bits match): software filtering stays.
        self.assertEqual(deliver([(0x124, False), (0x123 << 18, True), (0x123, False)]), [(0x123, False)])

        bus.set_filters([{"can_id": 0x1ABCDEF0, "can_mask": 0x1FFFFFFF, "extended": True}])
        self.a.wait_for("set code=D5E6F780")
        self.a.wait_for("set mask=00000007")
        bus.set_filters([{"can_id": 0x1ABCDEF0, "can_mask": 0x1FFFFFFF, "extended": True},
                         {"can_id": 0x123, "can_mask": 0x7FF}])
        # Two filters do not fit one acceptance register: the adapter
        # passes everything again, software picks.
        self.a.wait_for("set code=00000000")
        self.a.wait_for("set mask=FFFFFFFF")
        self.assertEqual(deliver([(0x0F0, False), (0x1ABCDEF0, True), (0x1ABCDEF1, True), (0x123, True)]),
                         [(0x1ABCDEF0, True), (0x123, True)])

    def test_listen_only_then_active(self):
        bus = self.open(self.a.link, bitrate=250000, listen_only=True)
        self.a.wait_for("set bitrate=S5")
        self.a.wait_for("state open L")
        peer = self.peer(250000)
        self.assertEqual(bus.state, can.BusState.PASSIVE)
        with self.assertRaisesRegex(can.CanOperationError, "listen.only"):
            bus.send(can.Message(arbitration_id=0x10, data=b"\x01", is_extended_id=False))
        peer.send(can.Message(arbitration_id=0x11, data=b"\x02", is_extended_id=False))
        self.assertEqual(bus.recv(TIMEOUT).arbitration_id, 0x11)

        # A frame that arrives before the switch is still delivered after it.
        peer.send(can.Message(arbitration_id=0x12, data=b"\x03", is_extended_id=False))
        self.a.wait_for("bus rx t012103")
        bus.state = can.BusState.ACTIVE
        self.a.wait_for("state open O")
        self.assertEqual(bus.state, can.BusState.ACTIVE)
        bus.send(can.Message(arbitration_id=0x13, data=b"\x04", is_extended_id=False))
        self.assertEqual(peer.recv(TIMEOUT).arbitration_id, 0x13)

    def test_quiet_adapter(self):
        """slcan firmware that answers no command: bit rate, listen-only,
        frames both ways."""
        q = self.sim("--pty", os.path.join(self.tmp, "ttyUSB1"), "--dialect", "quiet", "--bus", self.bus_name)
        peer = self.peer(250000)
        bus = self.open(q.link, bitrate=250000, listen_only=True)
        q.wait_for("set bitrate=S5")
        q.wait_for("state open O silent")
        self.assertIn("quiet slcan firmware", bus.channel_info)
        self.assertEqual(bus.state, can.BusState.PASSIVE)
        with self.assertRaisesRegex(can.CanOperationError, "listen.only"):
            bus.send(can.Message(arbitration_id=0x10, data=b"\x01", is_extended_id=False))
        peer.send(can.Message(arbitration_id=0x11, data=b"\x02", is_extended_id=False))
        self.assertEqual(bus.recv(TIMEOUT).arbitration_id, 0x11)

        bus.state = can.BusState.ACTIVE
        q.wait_for("set silent=0")
        q.wait_for("state open O")
        frames = frames_of_every_shape()
        for msg in frames:
            bus.send(msg)
        self.assertEqual([shape(m) for m in self.recv_all(peer, len(frames))], [shape(m) for m in frames])
        for msg in frames:
            peer.send(msg)
        self.assertEqual([shape(m) for m in self.recv_all(bus, len(frames))], [shape(m) for m in frames])

    def test_recv_waits_and_a_notifier_reads(self):
        bus = self.open(self.a.link, bitrate=500000)
        peer = self.peer()
        self.assertIsNone(bus.recv(0))
        start = time.monotonic()
        cpu = cpu_seconds()
        self.assertIsNone(bus.recv(1.0))
        # It waited the whole second, on the semaphore rather than polling.
        self.assertGreaterEqual(time.monotonic() - start, 0.99)
        self.assertLess(cpu_seconds() - cpu, 0.3)

        # recv(None) waits until a frame comes.
        got = []
        waiter = threading.Thread(target=lambda: got.append(bus.recv(None)))
        waiter.start()
        peer.send(can.Message(arbitration_id=0x321, data=b"\x09", is_extended_id=False))
        waiter.join(TIMEOUT)
        self.assertEqual([m.arbitration_id for m in got], [0x321])

        reader = can.BufferedReader()
        notifier = can.Notifier(bus, [reader], timeout=0.1)
        self.addCleanup(notifier.stop)
        for i in range(300):
            peer.send(can.Message(arbitration_id=0x200, data=struct.pack(">H", i), is_extended_id=False))
        got = [reader.get_message(TIMEOUT) for _ in range(300)]
        self.assertNotIn(None, got)
        self.assertEqual([struct.unpack(">H", m.data)[0] for m in got], list(range(300)))


class AdapterTests(SimCase):
    """The back-end against one simulated adapter."""

    def test_entry_point_and_version(self):
        self.assertEqual(can.interfaces.BACKENDS["korva"], ("can_korva", "KorvaBus"))
        self.assertEqual(importlib.metadata.version("python-can-korva"), os.environ["KORVA_VERSION"])
        self.assertEqual(can_korva.__version__, os.environ["KORVA_VERSION"])

    def test_a_device_the_user_may_not_open_is_named_so(self):
        # Root opens anything: as root the attempt runs as nobody.
        sim = self.pty_sim()
        os.chmod(self.tmp, 0o755)
        os.chmod(sim.link, 0)
        as_nobody = dict(user=65534, group=65534, extra_groups=[]) if os.geteuid() == 0 else {}
        code = ("import can, sys\n"
                "try:\n    can.Bus(interface='korva', channel=sys.argv[1])\n"
                "except can.CanInitializationError as e:\n    print(e)\n")
        out = subprocess.run([sys.executable, "-c", code, sim.link], capture_output=True, text=True,
                             timeout=TIMEOUT, check=True, **as_nobody).stdout
        self.assertIn("permission denied on " + sim.link, out)
        self.assertIn("group dialout", out)

    def test_bit_timing_and_bad_settings(self):
        sim = self.pty_sim()
        with self.open(sim.link, btr="031C"):
            sim.wait_for("set btr=031C")
        with self.open(sim.link, timing=can.BitTiming(btr0=0x00, btr1=0x14)):
            sim.wait_for("set btr=0014")
        with self.assertRaisesRegex(ValueError, "no speed code for 33333 .*500000"):
            korva_bus(sim.link, bitrate=33333)
        with self.assertRaisesRegex(ValueError, "not bitrate and btr"):
            korva_bus(sim.link, bitrate=500000, btr="031C")
        with self.assertRaisesRegex(can.CanInitializationError, "No device was found"):
            korva_bus(os.path.join(self.tmp, "ttyUSB7"), bitrate=500000)
        sim.command("fault refuse")
        with self.assertRaisesRegex(can.CanInitializationError, "cannot open|setting the bit rate"):
            korva_bus(sim.link, bitrate=500000)

    def test_can_fd_both_ways_and_refused_by_a_classic_adapter(self):
        name = "korva-fd-%d" % os.getpid()
        a = self.sim("--pty", os.path.join(self.tmp, "ttyUSB1"), "--dialect", "fd", "--bus", name)
        b = self.sim("--tcp", "0", "--dialect", "fd", "--bus", name)
        a.wait_for("bus peers=1")
        b.wait_for("bus peers=1")
        bus_a = self.open(a.link, bitrate=500000, fd=True, data_bitrate=2000000)
        a.wait_for("set dbitrate=Y2")
        a.wait_for("state open O")
        bus_b = self.open("127.0.0.1:%d" % b.port, fd=True, data_bitrate=8000000)
        b.wait_for("state open O")
        self.assertIn("CAN FD", bus_a.channel_info)
        msgs = [can.Message(arbitration_id=0x100 + n, data=bytes(range(n)), is_fd=True, bitrate_switch=n % 2 == 1,
                            is_extended_id=n % 3 == 0) for n in (0, 1, 8, 12, 16, 20, 24, 32, 48, 64)]
        msgs.insert(3, can.Message(arbitration_id=0x7FF, data=b"\x01\x02", is_extended_id=False))

        def fd_shape(m):
            return (m.arbitration_id, m.is_extended_id, m.is_fd, m.bitrate_switch, m.error_state_indicator,
                    bytes(m.data))
        for sender, receiver in ((bus_a, bus_b), (bus_b, bus_a)):
            for m in msgs:
                sender.send(m)
            self.assertEqual([fd_shape(m) for m in self.recv_all(receiver, len(msgs))], [fd_shape(m) for m in msgs])

        sim = self.pty_sim()
        with self.assertRaisesRegex(can.CanInitializationError, r"data bit rate \(Y2\): the adapter refused it"):
            korva_bus(sim.link, bitrate=500000, fd=True, data_bitrate=2000000)
        with self.assertRaisesRegex(ValueError, "fd=True needs data_bitrate"):
            korva_bus(sim.link, fd=True)
        with self.open(sim.link, bitrate=500000) as classic:
            with self.assertRaisesRegex(ValueError, "CAN FD frames with fd=True"):
                classic.send(msgs[0])

    def test_adapter_time_stamps(self):
        sim = self.pty_sim()
        bus = self.open(sim.link, timestamps=True)
        sim.wait_for("set timestamps=1")
        sim.wait_for("state open O")
        # Milliseconds modulo 60 s: 59990, then 5 after the wrap.
        sim.command("send t1001AAEA56")
        sim.command("send t1001BB0005")
        first, second = self.recv_all(bus, 2)
        self.assertLess(abs(first.timestamp - time.time()), 60)
        self.assertAlmostEqual(second.timestamp - first.timestamp, 0.015, places=6)

    def test_state_and_lost_frames(self):
        sim = self.pty_sim()
        bus = self.open(sim.link, bitrate=500000)
        sim.wait_for("state open O")
        self.assertEqual(bus.state, can.BusState.ACTIVE)
        sim.command("status 20")  # error passive
        self.assertEqual(bus.state, can.BusState.ERROR)
        sim.command("status 08")  # data overrun in the adapter
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            self.assertEqual(bus.state, can.BusState.ACTIVE)
        lost = [str(w.message) for w in caught if w.category is can_korva.FramesLostWarning]
        self.assertEqual(len(lost), 1)
        self.assertIn("the adapter reported a receive FIFO overrun", lost[0])
        sim.command("status 00")
        bus.state  # takes the status bits gathered so far

        # Nobody reads while 30 000 frames arrive: the receive ring keeps
        # the first 10 000, and reading warns that frames were lost.
        sim.command("flood 30000")
        sim.wait_for("done flood")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            got = [bus.recv(TIMEOUT) for _ in range(10000)]
        self.assertEqual([struct.unpack(">I", m.data[:4])[0] for m in got], list(range(10000)))
        self.assertTrue(any("receive buffer was full" in str(w.message) for w in caught))

    def test_lost_adapter_raises(self):
        sim = self.pty_sim()
        bus = self.open(sim.link, bitrate=500000)
        sim.wait_for("state open O")
        waiting = []
        waiter = threading.Thread(target=lambda: waiting.append(self.catch(bus.recv, None)))
        waiter.start()
        sim.command("close")
        waiter.join(TIMEOUT)
        self.assertFalse(waiter.is_alive(), "recv(None) hangs on a lost adapter")
        self.assertIsInstance(waiting[0], can.CanOperationError)
        self.assertIn("the connection to the adapter was lost: No device was found.", str(waiting[0]))
        with self.assertRaisesRegex(can.CanOperationError, "No device was found"):
            bus.send(can.Message(arbitration_id=0x1, data=b"", is_extended_id=False))
        self.assertEqual(bus.state, can.BusState.ERROR)

    def test_reconnecting_bus_waits_through_an_outage(self):
        sim = self.pty_sim()
        bus = self.open(sim.link, bitrate=250000, reconnect=True)
        sim.wait_for("state open O")
        sim.command("unplug")
        deadline = time.monotonic() + TIMEOUT
        while bus.link_stats[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual(bus.link_stats[0], 1)
        with self.assertRaisesRegex(can.CanOperationError, "lost and being opened again"):
            bus.send(can.Message(arbitration_id=0x1, data=b"", is_extended_id=False))
        self.assertIsNone(bus.recv(0.2), "recv returns nothing while the adapter is lost")
        sim.command("plug")
        sim.wait_for("rx S5")
        sim.wait_for("state open O")
        sim.command("send 123#AABB")
        msg = bus.recv(TIMEOUT)
        self.assertIsNotNone(msg)
        self.assertEqual((msg.arbitration_id, bytes(msg.data)), (0x123, b"\xaa\xbb"))
        bus.send(can.Message(arbitration_id=0x7FF, data=b"\x01", is_extended_id=False))
        sim.wait_for("rx t7FF101")
        self.assertEqual(bus.link_stats, (1, 1, 0))

    @staticmethod
    def catch(fn, *args):
        try:
            return fn(*args)
        except Exception as e:  # handed to the test thread
            return e

    def test_shutdown_wakes_a_waiting_recv_and_detection(self):
        sim = self.pty_sim()
        open(os.path.join(self.tmp, "ttyS0"), "w").close()   # no character device
        os.symlink(os.path.join(self.tmp, "gone"), os.path.join(self.tmp, "can9"))
        self.assertEqual(can_korva.detect_adapters(self.tmp),
                         [{"interface": "korva", "channel": sim.link, "serial_number": 4711, "kind": "USB"}])

        bus = korva_bus(sim.link, bitrate=500000)
        sim.wait_for("state open O")
        # An adapter this process has open is not probed (and reset) again.
        self.assertEqual(can_korva.detect_adapters(self.tmp), [])
        result = []
        waiter = threading.Thread(target=lambda: result.append(self.catch(bus.recv, None)))
        waiter.start()
        time.sleep(0.2)  # let it reach the wait; the outcome is the same if it has not
        bus.shutdown()
        waiter.join(TIMEOUT)
        self.assertFalse(waiter.is_alive())
        self.assertRegex(str(result[0]), "shut down")
        sim.wait_for("state closed")
        with self.assertRaisesRegex(can.CanOperationError, "shut down"):
            bus.send(can.Message(arbitration_id=0x1, data=b"", is_extended_id=False))
        bus.shutdown()  # twice is harmless


class LoggerTests(SimCase):
    """python-can's programs on a korva channel: can.logger writes a file,
    can.player replays one, can.viewer shows frames in a terminal."""

    def bus_pair(self, tag):
        name = "korva-py-%d-%s" % (os.getpid(), tag)
        a = self.sim("--tcp", "0", "--bus", name, "--log-tx")
        b = self.sim("--tcp", "0", "--bus", name)
        a.wait_for("bus peers=1")
        b.wait_for("bus peers=1")
        peer = can.Bus(interface="slcan", channel="socket://127.0.0.1:%d" % b.port, bitrate=125000,
                       timeout=TIMEOUT)
        self.addCleanup(peer.shutdown)
        return a, peer

    def test_player_replays_a_log(self):
        a, peer = self.bus_pair("player")
        frames = frames_of_every_shape()
        # ASC keeps the length of a remote request (python-can's candump
        # writer drops it).
        log_file = os.path.join(self.tmp, "bus.asc")
        with can.ASCWriter(log_file, channel=1) as writer:
            for i, msg in enumerate(frames):
                msg.timestamp = 1436509052.0 + i * 0.001
                writer.on_message_received(msg)
        player = subprocess.run([sys.executable, "-m", "can.player", "-i", "korva", "-c", "127.0.0.1:%d" % a.port,
                                 "-b", "125000", log_file], capture_output=True, text=True, timeout=60)
        self.assertEqual(player.returncode, 0, player.stderr)
        self.assertEqual([shape(m) for m in self.recv_all(peer, len(frames))], [shape(m) for m in frames])

    def test_viewer_shows_frames_in_a_terminal(self):
        tmux = shutil.which("tmux")
        if tmux is None:
            self.skipTest("tmux is not installed (apt install tmux)")
        a, peer = self.bus_pair("viewer")
        # A tmux server of our own, so that nobody else's sessions are touched.
        server = [tmux, "-L", "korva-test-%d" % os.getpid()]
        viewer = "%s -m can.viewer -i korva -c 127.0.0.1:%d -b 125000" % (sys.executable, a.port)
        subprocess.run(server + ["new-session", "-d", "-x", "100", "-y", "30", viewer], check=True,
                       env=dict(os.environ, TERM="xterm"))
        self.addCleanup(subprocess.run, server + ["kill-server"], stderr=subprocess.DEVNULL)
        a.wait_for("set bitrate=S4")
        a.wait_for("state open O")
        peer.send(can.Message(arbitration_id=0x123, data=b"\xDE\xAD\xBE\xEF", is_extended_id=False))
        peer.send(can.Message(arbitration_id=0x1ABCDEF0, data=b"\x01\x02", is_extended_id=True))
        deadline = time.monotonic() + TIMEOUT
        screen = ""
        while time.monotonic() < deadline:
            screen = subprocess.run(server + ["capture-pane", "-p"], capture_output=True, text=True).stdout
            if "DE AD BE EF" in screen and "01 02" in screen:
                break
            time.sleep(0.1)
        self.assertIn("0x123", screen)
        self.assertIn("DE AD BE EF", screen)
        self.assertIn("0x1ABCDEF0", screen)

    def test_logger_writes_what_python_can_reads_back(self):
        a, peer = self.bus_pair("logger")
        log_file = os.path.join(self.tmp, "bus.asc")
        logger = subprocess.Popen([sys.executable, "-m", "can.logger", "-i", "korva", "-c",
                                   "127.0.0.1:%d" % a.port, "-b", "125000", "-f", log_file],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: logger.poll() is None and logger.kill())
        a.wait_for("set bitrate=S4")
        a.wait_for("state open O")
        frames = frames_of_every_shape()
        for msg in frames:
            peer.send(msg)
        for _ in frames:
            a.wait_for("tx")
        # Once everything is written, the adapter goes away: the logger
        # gets every frame, then a clear error, and closes its file.
        while True:
            a.proc.stdin.write("info\n")
            a.proc.stdin.flush()
            if a.wait_for("info").endswith(" pending=0"):
                break
            time.sleep(0.05)
        a.command("close")
        out, err = logger.communicate(timeout=TIMEOUT)
        self.assertIn("Connected to KorvaBus", out)
        self.assertIn("CanOperationError", err)
        self.assertIn("the connection to the adapter was lost", err)
        self.assertEqual([shape(m) for m in can.LogReader(log_file)], [shape(m) for m in frames])


if __name__ == "__main__":
    unittest.main()
