"""KorvaBus: python-can's interface "korva", a bus on korva_api."""
import collections
import ctypes
import inspect
import logging
import os
import re
import stat
import threading
import time
import warnings

import can
import can.broadcastmanager
from can import BusState, CanInitializationError, CanInterfaceNotImplementedError, CanOperationError

from . import _api

log = logging.getLogger("can.korva")

# Bit rates and the adapters' speed codes (Lawicel S0..S8).  LinCAN
# devices know codes 1..8 only: 10 kbit/s has no code there.
SPEED_CODES = {10000: 0, 20000: 1, 50000: 2, 100000: 3, 125000: 4,
               250000: 5, 500000: 6, 800000: 7, 1000000: 8}

# CAN FD data bit rates and their codes in the slcan FD extension (Y0..Y8).
DATA_BITRATE_CODES = {500000: 0, 1000000: 1, 2000000: 2, 4000000: 4, 5000000: 5, 8000000: 8}

# Frames fetched by one KORVA_Read: the per-call cost is spread over them.
BATCH = 256

# Bits of the adapter's status byte (the "F" reply) as korva reports them.
_STATUS_RX_FIFO_FULL = 0x01
_STATUS_DATA_OVERRUN = 0x08
_STATUS_ERROR_PASSIVE = 0x20
_STATUS_BUS_ERROR = 0x80

# A flags query is a command exchange with the adapter; while the receiver
# falls behind (full batches) recv() asks at most this often.
_FLAGS_INTERVAL = 1.0

# Locations opened by buses of this process, as real paths: detection does
# not probe them (the probe's reset would take them off the bus).
_open_locations = collections.Counter()


class _PeriodicTask(can.broadcastmanager.ThreadBasedCyclicSendTask):
    """python-can's thread-based periodic send, on absolute deadlines: the
    fallback of python-can before 4.3 sleeps one period after each send,
    so every late wake-up of a busy machine lengthens the period for good.
    Here a late frame makes the next wait shorter; after a stall longer
    than a period the schedule starts again from now instead of sending a
    burst to catch up."""

    def _run(self):
        index = 0
        due = time.perf_counter()
        while not self.stopped:
            with self.send_lock:
                try:
                    self.bus.send(self.messages[index])
                except Exception as exc:  # as python-can's own task: on_error decides
                    log.exception(exc)
                    if not (self.on_error and self.on_error(exc)):
                        break
            if self.end_time is not None and time.perf_counter() >= self.end_time:
                break
            index = (index + 1) % len(self.messages)
            due += self.period
            delay = due - time.perf_counter()
            if delay < -self.period:
                due = time.perf_counter()
            elif delay > 0:
                time.sleep(delay)


# Later python-can versions (with a modifier_callback) keep their own task.
_OWN_PERIODIC = "modifier_callback" not in inspect.signature(
    can.broadcastmanager.ThreadBasedCyclicSendTask.__init__).parameters


class FramesLostWarning(RuntimeWarning):
    """Received frames were dropped: korva's receive buffer or the adapter's
    receive FIFO was full because frames were not read fast enough."""


def _location_key(name):
    """The device a channel name denotes, as a real path when it is one in
    the file system ("ttyUSB0" is /dev/ttyUSB0, as korva reads it)."""
    if "/" not in name and ":" not in name and os.path.exists("/dev/" + name):
        name = "/dev/" + name
    return os.path.realpath(name) if os.path.exists(name) else name


class KorvaBus(can.BusABC):
    """A CAN bus on an adapter served by korva_api.

    :param channel: what KORVA_Open takes: a serial device ("ttyUSB0",
        "/dev/ttyS1"), a TCP adapter ("192.168.1.10:2001"), a LinCAN device
        ("can0"), a serial number ("4711"), or None or "" for the first
        adapter found in /dev.
    :param bitrate: bit rate in bit/s, one of SPEED_CODES; None leaves the
        adapter's rate as it is.
    :param btr: instead of bitrate, the SJA1000 bit-timing registers BTR0
        and BTR1 as four hex digits ("031C") or a number (0x031C).
    :param timing: instead of bitrate, a :class:`can.BitTiming` (its btr0
        and btr1 are used).
    :param listen_only: open the adapter without transmission (state
        PASSIVE); send() then fails.
    :param timestamps: take message time stamps from the adapter
        (millisecond resolution) instead of the host's clock at reception.
    :param can_filters: python-can filters.  A single filter with an
        "extended" key also goes to the adapter's acceptance code and mask;
        filtering in software always follows.
    :param receive_own_messages: recv() also returns every frame send()
        handed to the adapter (is_rx False, time-stamped when sent), in
        order with the frames received.  korva's adapters do not echo, so
        the bus does.
    :param reconnect: when the adapter is lost (unplugged, reset, a dropped
        connection), korva opens it again about every 0.5 s and gives it
        this bus's settings again: recv() keeps waiting meanwhile, send()
        raises CanOperationError.  :attr:`link_stats` counts the outages.
    :param fd: CAN FD: send and receive frames of up to 64 bytes on an
        adapter that speaks the slcan FD extension; needs data_bitrate.
        Without it, CAN FD frames the adapter receives are not delivered.
    :param data_bitrate: with fd, the data phase's bit rate in bit/s, one
        of DATA_BITRATE_CODES.  An adapter that refuses it (a classic one)
        makes the constructor raise CanInitializationError.  Lawicel text
        has no error-state indicator: received frames never have one, and
        sent ones get it from the adapter's controller.
    """

    def __init__(self, channel=None, can_filters=None, bitrate=None, btr=None, timing=None,
                 listen_only=False, timestamps=False, receive_own_messages=False, reconnect=False, **kwargs):
        self._fd = bool(kwargs.pop("fd", False))
        self._data_code = _data_bitrate_code(self._fd, kwargs.pop("data_bitrate", None))
        try:
            self._lib = _api.library()
        except _api.LibraryNotFound as e:
            raise CanInterfaceNotImplementedError(str(e)) from None
        if self._fd and not _api.has_fd(self._lib):
            raise CanInitializationError("korva: this korva_api has no CAN FD functions (KORVA_ReadFd)")
        self._record = _api.FD_FRAME if self._fd else _api.FRAME
        self._read_fn = self._lib.KORVA_ReadFd if self._fd else self._lib.KORVA_Read
        self._write_fn = self._lib.KORVA_WriteFd if self._fd else self._lib.KORVA_Write
        self._speed, self._btr = _speed_setting(bitrate, btr, timing)
        self._name = None if channel in (None, "") else str(channel)
        self.channel = self._name or "korva"
        self._timestamps = bool(timestamps)
        self._listen_only = bool(listen_only)
        self._own = bool(receive_own_messages)
        self._reconnect = bool(reconnect)
        self._waiters = 0                  # recv() calls waiting, with receive_own_messages
        self._handle = None
        self._rx_lock = threading.Lock()   # KORVA_Read and the receive queue
        self._tx_lock = threading.Lock()   # KORVA_Write, KORVA_Flush, KORVA_Ioctl
        self._rx = collections.deque()
        self._buffer = (ctypes.c_ubyte * (BATCH * self._record.size))()
        self._view = memoryview(self._buffer).cast("B")
        self._count = ctypes.c_uint32()
        self._stamp_offset = None
        self._flags_checked = 0.0
        self._hw_filter = False
        self._hw_filters_supported = True
        self._sem = _api.Semaphore()
        self._key = None
        try:
            self._open()
            super().__init__(channel, can_filters=can_filters, **kwargs)
        except CanOperationError as e:
            self._close_quietly()
            raise CanInitializationError(str(e), e.error_code) from None
        except BaseException:
            self._close_quietly()
            raise

    # ---- opening and closing -------------------------------------------

    def _open(self):
        mode = _api.MODE_LISTEN_ONLY if self._listen_only else _api.MODE_NORMAL
        h = self._lib.KORVA_Open(self._name.encode() if self._name else None, mode)
        if h < 0:
            where = self._name or "the first adapter found in /dev"
            why = (self._name and _api.access_denied(self._name)) or _api.error_text(h)
            raise CanInitializationError("korva: cannot open %s: %s" % (where, why), h)
        self._handle = h
        if self._name:
            self._key = _location_key(self._name)
            _open_locations[self._key] += 1
        hw = _api.HwParam()
        self._check(self._lib.KORVA_Ioctl(h, _api.IOCTL_GET_HW_PARAM, ctypes.addressof(hw)),
                    "reading the adapter's parameters")
        self._hw = hw
        kind = _api.HWTYPE_NAMES.get(hw.HwType, "unknown kind")
        dialect = ctypes.c_int32(0)
        # A library without the request (KORVA_ERR_IOCTL) serves full adapters only.
        quiet = (self._lib.KORVA_Ioctl(h, _api.IOCTL_GET_DIALECT, ctypes.addressof(dialect)) == 0
                 and dialect.value == _api.DIALECT_QUIET)
        self.channel_info = "korva %s: %s adapter, %s, hardware %02X, software %02X%s" % (
            self.channel, kind, "quiet slcan firmware" if quiet else "serial %d" % hw.SerialNr,
            hw.HwVersion, hw.SwVersion, ", listen-only" if self._listen_only else "")
        if self._speed is not None:
            if self._speed == 0 and hw.HwType == _api.HWTYPE_OCERA:
                raise ValueError("10000 bit/s has no speed code on a LinCAN device; "
                                 "use 20000 bit/s or more, or bit-timing registers")
            self._check(self._lib.KORVA_Ioctl(h, _api.IOCTL_SET_SPEED, self._speed), "setting the bit rate")
        if self._btr is not None:
            btr = (ctypes.c_uint8 * 2)(*self._btr)
            self._check(self._lib.KORVA_Ioctl(h, _api.IOCTL_SET_BTR, ctypes.addressof(btr)),
                        "setting the bit-timing registers")
        if self._fd:
            rc = self._lib.KORVA_Ioctl(h, _api.IOCTL_SET_DATA_BITRATE, self._data_code)
            if rc != 0:
                why = ("the adapter refused it (no CAN FD, or not this rate)" if rc == _api.ERR_COMMAND
                       else _api.error_text(rc))
                raise CanOperationError("korva %s: setting the CAN FD data bit rate (Y%d): %s"
                                        % (self.channel, self._data_code, why), rc)
            self.channel_info += ", CAN FD"
        if self._timestamps:
            self._check(self._lib.KORVA_Ioctl(h, _api.IOCTL_SET_TIMESTAMP, 1), "switching time stamps on")
        if self._reconnect:
            self._check(self._lib.KORVA_Ioctl(h, _api.IOCTL_SET_RECONNECT, 1), "switching reconnection on")
        self._check(self._lib.KORVA_SetRcvEvent(h, self._sem.address), "registering the receive semaphore")

    def _close_quietly(self):
        h, self._handle = self._handle, None
        if h is not None:
            self._lib.KORVA_SetRcvEvent(h, None)
            self._lib.KORVA_Close(h)
            self._forget_location()

    def _forget_location(self):
        if self._key is not None:
            _open_locations[self._key] -= 1
            if _open_locations[self._key] <= 0:
                del _open_locations[self._key]
            self._key = None

    def shutdown(self):
        """Stops periodic sends, closes the adapter's handle and wakes a
        thread waiting in recv() (which then raises CanOperationError)."""
        super().shutdown()
        with self._rx_lock, self._tx_lock:
            if self._handle is None:
                return
            try:
                self._check_flags()
            except CanOperationError:
                pass
            self._close_quietly()
        self._sem.post()

    def __del__(self):
        # A bus that is dropped without shutdown() must not leave the
        # reader thread posting a semaphore that is gone.
        try:
            if getattr(self, "_handle", None) is not None:
                self._close_quietly()
            sem = getattr(self, "_sem", None)
            if sem is not None:
                sem.release()
        except Exception:  # interpreter shutdown: nothing sensible left to do
            pass

    # ---- errors ----------------------------------------------------------

    def _check(self, rc, what):
        if rc != 0:
            raise CanOperationError("korva %s: %s: %s" % (self.channel, what, _api.error_text(rc)), rc)

    def _require_open(self):
        if self._handle is None:
            raise CanOperationError("korva %s: the bus is shut down" % self.channel)

    # ---- receiving -------------------------------------------------------

    def _recv_internal(self, timeout):
        if self._rx:
            return self._rx.popleft(), False
        deadline = None if timeout is None else time.monotonic() + timeout
        waited = False
        while True:
            # An echo of a sent frame may have come while we waited.
            if self._fetch(waited) or self._rx:
                return self._rx.popleft(), False
            if deadline is None:
                left = None
            else:
                left = deadline - time.monotonic()
                if left <= 0:
                    return None, False
            waited = self._wait(left)

    def _wait(self, left):
        """Waits on the semaphore; True when it took a post.  With echoes,
        send() posts once for a frame it queued while a recv() waits here
        (and only then: a post that nobody waits for would be left over)."""
        if not self._own:
            return self._sem.wait(left)
        with self._rx_lock:
            if self._rx:
                return False
            self._waiters += 1
        try:
            return self._sem.wait(left)
        finally:
            with self._rx_lock:
                self._waiters -= 1

    def _fetch(self, waited):
        """Reads what the receive ring holds, up to BATCH frames, into the
        queue; returns the number read.

        The reader thread posts the semaphore once for every frame it
        stores, after storing it.  A successful wait took one post; for the
        other frames read, their posts are taken now, so that the next wait
        sleeps until a frame comes that has not been read.  A post that is
        not there yet (its frame was stored but not yet announced) arrives
        later and gives one wait that finds nothing; the loop in
        _recv_internal then waits again.  Never more posts are taken than
        frames were read, so a stored frame always has a post waiting."""
        with self._rx_lock:
            self._require_open()
            n = self._read_ring(waited)
        if n == BATCH and time.monotonic() - self._flags_checked >= _FLAGS_INTERVAL:
            # The receiver is behind: see whether frames were dropped.
            self._flags_checked = time.monotonic()
            with self._tx_lock:
                if self._handle is not None:
                    try:
                        self._check_flags()
                    except CanOperationError as e:  # reception goes on regardless
                        log.debug("%s", e)
        return n

    def _read_ring(self, waited):
        """One KORVA_Read into the queue, with _rx_lock held (see _fetch)."""
        rc = self._read_fn(self._handle, self._buffer, BATCH, self._count)
        n = self._count.value
        if rc != 0 and n == 0:
            if rc == _api.ERR_NO_DEVICE:
                raise CanOperationError("korva %s: the connection to the adapter was lost: %s"
                                        % (self.channel, _api.error_text(rc)), rc)
            self._check(rc, "receiving")
        take = self._sem.take
        for _ in range(n - 1 if waited else n):
            if not take():
                break
        if n:
            self._rx.extend(self._decode(n))
        return n

    def _adapter_time(self, stamp, now):
        """The adapter's time stamp (milliseconds, modulo 60 s) in seconds of
        the host clock: the first stamped frame ties the two clocks
        together, and each later stamp is placed in the 60 s period that
        brings it closest to its arrival."""
        seconds = stamp / 1000.0
        if self._stamp_offset is None:
            self._stamp_offset = now - seconds
        t = self._stamp_offset + seconds
        return t + 60.0 * round((now - t) / 60.0)

    # ---- sending ---------------------------------------------------------

    def send(self, msg, timeout=None):
        """Sends msg.  korva queues the frame and, unless timeout is 0, has
        the line take it at once (KORVA_Flush); with timeout 0 the library's
        reader thread sends it as soon as it is woken.  korva itself bounds the wait
        for a line that does not take data (about a second), so no timeout
        waits longer than that; a failure raises CanOperationError."""
        frame = _encode(msg, self._fd)
        if self._own:
            # The echo goes after every frame that was received before it:
            # the receive ring is emptied into the queue first.
            with self._rx_lock:
                self._require_open()
                while self._read_ring(False) == BATCH:
                    pass
                rc, written = self._write(frame, timeout)
                wake = False
                if rc == 0 and written.value == 1:
                    wake = self._waiters > 0
                    data = b"" if msg.is_remote_frame else bytes(msg.data or b"")
                    self._rx.append(can.Message(
                        timestamp=time.time(), arbitration_id=msg.arbitration_id,
                        is_extended_id=msg.is_extended_id, is_remote_frame=msg.is_remote_frame,
                        dlc=msg.dlc if msg.is_remote_frame else len(data), data=data or None,
                        is_fd=msg.is_fd, bitrate_switch=msg.is_fd and msg.bitrate_switch,
                        channel=self.channel, is_rx=False))
            if wake:
                self._sem.post()
        else:
            rc, written = self._write(frame, timeout)
        if rc == _api.ERR_LISTEN_ONLY:
            raise CanOperationError("korva %s: cannot send on a listen-only bus: %s"
                                    % (self.channel, _api.error_text(rc)), rc)
        if rc == _api.ERR_NO_DEVICE and self._reconnect:
            raise CanOperationError("korva %s: sending: the adapter is lost and being opened again: %s"
                                    % (self.channel, _api.error_text(rc)), rc)
        self._check(rc, "sending")
        if written.value != 1:
            raise CanOperationError("korva %s: sending: the frame was not taken" % self.channel)

    def _write(self, frame, timeout):
        """KORVA_Write of one record, and KORVA_Flush unless timeout is 0:
        (result, frames written)."""
        written = ctypes.c_uint32()
        with self._tx_lock:
            self._require_open()
            rc = self._write_fn(self._handle, frame, 1, written)
            if rc == 0 and (timeout is None or timeout > 0):
                rc = self._lib.KORVA_Flush(self._handle)
        return rc, written

    def flush_tx_buffer(self):
        """Sends the frames korva still holds (korva cannot take back a
        frame it has queued, so they go out now rather than being dropped)."""
        with self._tx_lock:
            self._require_open()
            self._check(self._lib.KORVA_Flush(self._handle), "flushing")

    # ---- filters ---------------------------------------------------------

    def _apply_filters(self, filters):
        hw = _acceptance(filters[0]) if filters and len(filters) == 1 else None
        if hw is None and not self._hw_filter:
            return
        if not self._hw_filters_supported:
            return
        with self._tx_lock:
            self._require_open()
            h = self._handle
            if hw is not None:
                rc = self._lib.KORVA_Ioctl(h, _api.IOCTL_SET_FILTER_MODE, _api.FILTER_MODE_SINGLE)
                code, mask = hw
            else:
                rc, code, mask = 0, 0x00000000, 0xFFFFFFFF  # accept every frame
            if rc == 0:
                pair = (ctypes.c_uint32 * 2)(code, mask)
                rc = self._lib.KORVA_Ioctl(h, _api.IOCTL_SET_ACC_CODE_MASK, ctypes.addressof(pair))
        if rc == _api.ERR_NOT_IMPLEMENTED:
            # LinCAN devices have no acceptance filter: software alone.
            self._hw_filters_supported = False
            log.debug("%s: no acceptance filter, filtering in software", self.channel)
            return
        self._check(rc, "setting the acceptance filter")
        self._hw_filter = hw is not None

    # ---- state -----------------------------------------------------------

    def _check_flags(self):
        """Reads the status flags (a command exchange; call with _tx_lock
        held), warns when frames were lost, and returns them."""
        flags = ctypes.c_uint32()
        self._check(self._lib.KORVA_Ioctl(self._handle, _api.IOCTL_GET_FLAGS, ctypes.addressof(flags)),
                    "reading the status flags")
        f = flags.value
        lost = []
        if f & _api.STATUS_BUFFER_OVERRUN:
            lost.append("korva's receive buffer was full")
        if f & (_STATUS_RX_FIFO_FULL | _STATUS_DATA_OVERRUN):
            lost.append("the adapter reported a receive FIFO overrun")
        if lost:
            text = "korva %s: received frames were lost (%s)" % (self.channel, "; ".join(lost))
            log.warning(text)
            warnings.warn(text, FramesLostWarning, stacklevel=3)
        return f

    @property
    def link_stats(self):
        """(losses, reconnections, dropped): how often the connection to the
        adapter was lost, how often it came back, and how many queued frames
        the losses dropped before they reached the line."""
        stats = (ctypes.c_uint32 * 3)()
        with self._tx_lock:
            self._require_open()
            self._check(self._lib.KORVA_Ioctl(self._handle, _api.IOCTL_GET_LINK_STATS, ctypes.addressof(stats)),
                        "reading the link counters")
        return tuple(stats)

    @property
    def state(self):
        """ERROR when the adapter reports a bus error or error-passive state
        or the connection to it was lost, PASSIVE for a listen-only bus,
        else ACTIVE.  Asks the adapter: a command exchange, not for every
        frame."""
        with self._tx_lock:
            self._require_open()
            f = self._check_flags()
        if f & (_STATUS_BUS_ERROR | _STATUS_ERROR_PASSIVE | _api.STATUS_CHANNEL_LOST):
            return BusState.ERROR
        return BusState.PASSIVE if self._listen_only else BusState.ACTIVE

    @state.setter
    def state(self, new_state):
        """PASSIVE reopens the adapter listen-only, ACTIVE normally; frames
        received until then stay readable."""
        if new_state not in (BusState.ACTIVE, BusState.PASSIVE):
            raise ValueError("a korva bus can be set ACTIVE or PASSIVE, not %s" % new_state)
        listen_only = new_state == BusState.PASSIVE
        if listen_only == self._listen_only:
            return
        with self._rx_lock, self._tx_lock:
            self._require_open()
            while True:  # keep what the ring holds
                rc = self._read_fn(self._handle, self._buffer, BATCH, self._count)
                if rc != 0 or self._count.value == 0:
                    break
                self._rx.extend(self._decode(self._count.value))
            self._close_quietly()
            self._listen_only = listen_only
            self._open()
            self._hw_filter = False
        self._apply_filters(self._filters)

    def _records(self, n):
        """(identifier, length, flags, time stamp, data) of the first n
        records of the receive buffer."""
        view = self._view[:n * self._record.size]
        if self._fd:
            return _api.FD_FRAME.iter_unpack(view)
        return ((ident, length, flags, stamp, data)
                for ident, length, data, flags, stamp in _api.FRAME.iter_unpack(view))

    def _decode(self, n):
        """Messages for the first n records of the receive buffer."""
        now = time.time()
        out = []
        for ident, length, flags, stamp, data in self._records(n):
            remote = flags & _api.FLAG_REMOTE
            out.append(can.Message(
                timestamp=self._adapter_time(stamp, now) if self._timestamps and flags & _api.FLAG_TIMESTAMP
                else now,
                arbitration_id=ident, is_extended_id=bool(flags & _api.FLAG_EXTENDED),
                is_remote_frame=bool(remote), dlc=length, data=None if remote else data[:length],
                is_fd=bool(flags & _api.FLAG_FD), bitrate_switch=bool(flags & _api.FLAG_BRS),
                error_state_indicator=bool(flags & _api.FLAG_ESI), channel=self.channel))
        return out

    def _send_periodic_internal(self, msgs, period, duration=None):
        if not _OWN_PERIODIC:
            return super()._send_periodic_internal(msgs, period, duration)
        if not hasattr(self, "_lock_send_periodic"):
            self._lock_send_periodic = threading.Lock()
        return _PeriodicTask(self, self._lock_send_periodic, msgs, period, duration)

    @staticmethod
    def _detect_available_configs():
        return detect_adapters("/dev")


def _speed_setting(bitrate, btr, timing):
    """(speed code or None, (BTR0, BTR1) or None) from the constructor's
    arguments."""
    given = [n for n, v in (("bitrate", bitrate), ("btr", btr), ("timing", timing)) if v is not None]
    if len(given) > 1:
        raise ValueError("give one of bitrate, btr and timing, not %s" % " and ".join(given))
    if bitrate is not None:
        try:
            return SPEED_CODES[int(bitrate)], None
        except (KeyError, ValueError, TypeError):
            rates = ", ".join(str(r) for r in SPEED_CODES)
            raise ValueError("korva has no speed code for %r bit/s; choose one of %s, "
                             "or set the bit-timing registers with btr=" % (bitrate, rates)) from None
    if timing is not None:
        return None, (timing.btr0, timing.btr1)
    if btr is not None:
        if isinstance(btr, str):
            if not re.fullmatch(r"[0-9A-Fa-f]{4}", btr):
                raise ValueError("btr must be four hex digits, BTR0 then BTR1 (\"031C\"), not %r" % btr)
            value = int(btr, 16)
        else:
            value = int(btr)
            if not 0 <= value <= 0xFFFF:
                raise ValueError("btr must be 0..0xFFFF (BTR0 in the high byte), not %r" % btr)
        return None, (value >> 8, value & 0xFF)
    return None, None


def _acceptance(f):
    """The acceptance code and mask (the SJA1000's single-filter layout,
    ACR0 in the high byte; a mask bit of 1 means "don't care") for one
    python-can filter, or None when it does not fit: without "extended" a
    filter matches both frame formats, which one register cannot."""
    extended = f.get("extended")
    if extended is None:
        return None
    if extended:
        m = f["can_mask"] & 0x1FFFFFFF
        # ID.28..ID.0 in bits 31..3; RTR and two unused bits don't care.
        return (f["can_id"] & m) << 3, ((~m & 0x1FFFFFFF) << 3) | 0x7
    m = f["can_mask"] & 0x7FF
    # ID.10..ID.0 in bits 31..21; RTR, unused bits, data bytes don't care.
    return (f["can_id"] & m) << 21, ((~m & 0x7FF) << 21) | 0x1FFFFF


def _data_bitrate_code(fd, data_bitrate):
    """The Y code of data_bitrate on an FD bus, None on a classic one."""
    if not fd:
        if data_bitrate is not None:
            raise ValueError("data_bitrate needs fd=True")
        return None
    try:
        return DATA_BITRATE_CODES[int(data_bitrate)]
    except (KeyError, ValueError, TypeError):
        rates = ", ".join(str(r) for r in DATA_BITRATE_CODES)
        raise ValueError("fd=True needs data_bitrate, one of %s bit/s, not %r" % (rates, data_bitrate)) from None


def _encode(msg, fd=False):
    """A CanMsg record for msg (a CanFdMsg record on an FD bus); ValueError
    for what the bus cannot send."""
    if (msg.is_fd and not fd) or msg.is_error_frame:
        raise ValueError("korva sends classic data and remote frames%s, not %s"
                         % ("" if msg.is_error_frame else " (CAN FD frames with fd=True)",
                            "CAN FD frames" if msg.is_fd else "error frames"))
    limit = 0x1FFFFFFF if msg.is_extended_id else 0x7FF
    if not 0 <= msg.arbitration_id <= limit:
        raise ValueError("identifier 0x%X does not fit a%s frame"
                         % (msg.arbitration_id, "n extended" if msg.is_extended_id else " standard"))
    flags = _api.FLAG_EXTENDED if msg.is_extended_id else _api.FLAG_STANDARD
    if msg.is_remote_frame:
        flags |= _api.FLAG_REMOTE
        length, data = msg.dlc, b""
    else:
        data = bytes(msg.data or b"")
        length = len(data)
    if msg.is_fd:
        if msg.is_remote_frame or length > 64:
            raise ValueError("a CAN FD frame has 0 to 64 data bytes and no remote request")
        flags |= _api.FLAG_FD | (_api.FLAG_BRS if msg.bitrate_switch else 0) | \
            (_api.FLAG_ESI if msg.error_state_indicator else 0)
    elif not 0 <= length <= 8:
        raise ValueError("a classic CAN frame has 0 to 8 data bytes, not %d" % length)
    if fd:
        return _api.FD_FRAME.pack(msg.arbitration_id, length, flags, 0, data.ljust(64, b"\0"))
    return _api.FRAME.pack(msg.arbitration_id, length, data.ljust(8, b"\0"), flags, 0)


def _natural_key(name):
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", name)]


def detect_adapters(directory="/dev"):
    """The adapters that answer among the ttyS*, ttyUSB* and can* character
    devices of directory, as python-can configurations.  Each is opened
    listen-only, asked for its parameters and closed: a few hundred
    milliseconds per device.  Adapters that buses of this process have open
    are not probed."""
    try:
        lib = _api.library()
    except _api.LibraryNotFound:
        return []
    try:
        entries = sorted(os.listdir(directory), key=_natural_key)
    except OSError:
        return []
    found = []
    for entry in entries:
        if not entry.startswith(("ttyS", "ttyUSB", "can")):
            continue
        path = os.path.join(directory, entry)
        try:
            if not stat.S_ISCHR(os.stat(path).st_mode):
                continue
        except OSError:
            continue
        if _location_key(path) in _open_locations:
            continue
        h = lib.KORVA_Open(path.encode(), _api.MODE_LISTEN_ONLY)
        if h < 0:
            continue
        hw = _api.HwParam()
        rc = lib.KORVA_Ioctl(h, _api.IOCTL_GET_HW_PARAM, ctypes.addressof(hw))
        lib.KORVA_Close(h)
        if rc == 0:
            found.append({"interface": "korva", "channel": path, "serial_number": hw.SerialNr,
                          "kind": _api.HWTYPE_NAMES.get(hw.HwType, "unknown")})
    return found
