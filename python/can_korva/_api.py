"""ctypes binding of libkorva_api.so.1 and of the POSIX semaphore calls.

The values below are those of korva_api.h; the record layouts are checked
against their sizes when the library is loaded.
"""
import ctypes
import ctypes.util
import errno
import grp
import os
import struct
import threading
import time

# Names the library file to load instead of the installed one (an
# uninstalled build: KORVA_API_LIBRARY=build/libkorva_api.so).
LIBRARY_ENV = "KORVA_API_LIBRARY"
LIBRARY_SONAME = "libkorva_api.so.1"

ERR_NO_DEVICE = -2
ERR_COMMAND = -9
ERR_LISTEN_ONLY = -10
ERR_NOT_IMPLEMENTED = -11

MODE_NORMAL = 0
MODE_LISTEN_ONLY = 1

IOCTL_GET_HW_PARAM = 2
IOCTL_SET_SPEED = 3
IOCTL_SET_BTR = 4
IOCTL_GET_FLAGS = 5
IOCTL_SET_ACC_CODE_MASK = 6
IOCTL_SET_TIMESTAMP = 7
IOCTL_SET_FILTER_MODE = 10
IOCTL_GET_DIALECT = 12
IOCTL_SET_RECONNECT = 13
IOCTL_GET_LINK_STATS = 14
IOCTL_SET_DATA_BITRATE = 15

DIALECT_QUIET = 1  # slcan firmware that answers no command

FILTER_MODE_SINGLE = 2

FLAG_STANDARD = 0x01
FLAG_EXTENDED = 0x02
FLAG_REMOTE = 0x04
FLAG_TIMESTAMP = 0x08
FLAG_FD = 0x10
FLAG_BRS = 0x20
FLAG_ESI = 0x40

STATUS_BUFFER_OVERRUN = 0x10000
STATUS_CHANNEL_LOST = 0x20000

HWTYPE_OCERA = 4
HWTYPE_NAMES = {1: "serial", 2: "USB", 3: "TCP", 4: "LinCAN"}

# CanMsg, 16 bytes without gaps in host byte order: Identifier, Length,
# Data[8], Flags, TimeStamp.
FRAME = struct.Struct("=IB8sBH")
# CanFdMsg, 72 bytes: Identifier, Length (bytes, 0..64), Flags, TimeStamp,
# Data[64].
FD_FRAME = struct.Struct("=IBBH64s")


class HwParam(ctypes.Structure):
    _fields_ = [
        ("SerialNr", ctypes.c_uint32),   # serial number, 0 if none
        ("HwVersion", ctypes.c_uint8),   # hardware version
        ("SwVersion", ctypes.c_uint8),   # firmware version
        ("HwType", ctypes.c_uint8),      # KORVA_HWTYPE_*
    ]


class LibraryNotFound(OSError):
    """libkorva_api could not be loaded; the text says where it was looked for."""


_lock = threading.Lock()
_lib = None
_libc = None


def _declare(lib):
    i32, u32, vp = ctypes.c_int32, ctypes.c_uint32, ctypes.c_void_p
    p_u32 = ctypes.POINTER(ctypes.c_uint32)
    for name, res, args in (
        ("KORVA_Open", i32, [ctypes.c_char_p, i32]),
        ("KORVA_Close", i32, [i32]),
        ("KORVA_Ioctl", i32, [i32, u32, vp]),
        ("KORVA_Read", i32, [i32, vp, u32, p_u32]),
        ("KORVA_Write", i32, [i32, ctypes.c_char_p, u32, p_u32]),
        ("KORVA_Flush", i32, [i32]),
        ("KORVA_SetRcvEvent", i32, [i32, vp]),
        ("KORVA_GetErrorString", i32, [i32, ctypes.c_char_p, u32]),
        ("KORVA_ReadFd", i32, [i32, vp, u32, p_u32]),
        ("KORVA_WriteFd", i32, [i32, ctypes.c_char_p, u32, p_u32]),
    ):
        fn = getattr(lib, name, None)
        if fn is None and name.endswith("Fd"):
            continue  # a library from before CAN FD: has_fd() says so
        fn.restype, fn.argtypes = res, args


def has_fd(lib):
    """Whether the loaded library has the CAN FD functions."""
    return hasattr(lib, "KORVA_ReadFd") and hasattr(lib, "KORVA_WriteFd")


def _declare_libc(libc):
    vp, c_int = ctypes.c_void_p, ctypes.c_int
    for name, res, args in (
        ("calloc", vp, [ctypes.c_size_t, ctypes.c_size_t]),
        ("free", None, [vp]),
        ("sem_init", c_int, [vp, c_int, ctypes.c_uint]),
        ("sem_destroy", c_int, [vp]),
        ("sem_post", c_int, [vp]),
        ("sem_wait", c_int, [vp]),
        ("sem_trywait", c_int, [vp]),
        ("sem_timedwait", c_int, [vp, ctypes.POINTER(Timespec)]),
    ):
        fn = getattr(libc, name)
        fn.restype, fn.argtypes = res, args
    # glibc 2.30 and later wait on the monotonic clock: a change of the
    # wall clock then neither shortens nor stretches a receive timeout.
    if hasattr(libc, "sem_clockwait"):
        libc.sem_clockwait.restype = c_int
        libc.sem_clockwait.argtypes = [vp, c_int, ctypes.POINTER(Timespec)]


class Timespec(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_nsec", ctypes.c_long)]


def library():
    """The loaded libkorva_api: the file named by KORVA_API_LIBRARY, else
    the installed library."""
    global _lib, _libc
    with _lock:
        if _lib is not None:
            return _lib
        named = os.environ.get(LIBRARY_ENV)
        if named:
            candidates = [named]
        else:
            candidates = [c for c in (ctypes.util.find_library("korva_api"), LIBRARY_SONAME) if c]
        errors = []
        for path in candidates:
            try:
                lib = ctypes.CDLL(path)
                break
            except OSError as e:
                errors.append(str(e))
        else:
            where = ("%s=%s" % (LIBRARY_ENV, named)) if named else \
                "the installed %s (install korva, or set %s to the library file)" % (LIBRARY_SONAME, LIBRARY_ENV)
            raise LibraryNotFound("cannot load korva_api from %s: %s" % (where, "; ".join(errors)))
        _declare(lib)
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
        _declare_libc(libc)
        _lib, _libc = lib, libc
        return lib


def error_text(code):
    """korva's text for an error code."""
    buf = ctypes.create_string_buffer(128)
    library().KORVA_GetErrorString(code, buf, len(buf) - 1)
    return buf.value.decode("ascii", "replace")


def access_denied(name):
    """Why a device that korva_api could not open is one this process may
    not open, with what helps; None when it may (or name is no device).
    The library reports such a device as not found."""
    if not any(kind in name for kind in ("tty", "can", "COM")):
        return None
    path = name if name.startswith("/") else "/dev/" + name
    try:
        gid = os.stat(path).st_gid
    except PermissionError:  # a directory on the way
        gid = None
    except OSError:
        return None
    if os.access(path, os.R_OK | os.W_OK):
        return None
    try:
        group = " (group %s)" % grp.getgrgid(gid).gr_name if gid is not None else ""
    except KeyError:
        group = " (group %d)" % gid
    return ("permission denied on %s%s; serial adapters are opened by members of the group dialout: "
            "sudo adduser $USER dialout, then log in again" % (path, group))


class Semaphore:
    """An unnamed POSIX semaphore for KORVA_SetRcvEvent.

    Its memory comes from malloc, not from Python objects, and is freed only
    by release(): the library's reader thread may post it until the handle
    is closed, and Python must not move or reuse it under that thread."""

    SIZE = 64  # sem_t is 32 bytes on x86-64 glibc; room to spare elsewhere

    def __init__(self):
        library()
        self.address = _libc.calloc(1, self.SIZE)
        if not self.address:
            raise MemoryError("calloc for a semaphore")
        if _libc.sem_init(self.address, 0, 0) != 0:
            e = ctypes.get_errno()
            _libc.free(self.address)
            self.address = None
            raise OSError(e, "sem_init: " + os.strerror(e))

    def wait(self, timeout):
        """Takes one post, waiting up to timeout seconds (None: for ever).
        False on timeout or when a signal interrupted the wait (the caller
        looks again, and Python raises KeyboardInterrupt meanwhile)."""
        if timeout is None:
            rc = _libc.sem_wait(self.address)
        elif timeout <= 0:
            rc = _libc.sem_trywait(self.address)
        else:
            if hasattr(_libc, "sem_clockwait"):
                clock = time.CLOCK_MONOTONIC
                deadline = time.clock_gettime(clock) + timeout
                ts = Timespec(int(deadline), int((deadline % 1) * 1e9))
                rc = _libc.sem_clockwait(self.address, clock, ctypes.byref(ts))
            else:
                deadline = time.time() + timeout
                ts = Timespec(int(deadline), int((deadline % 1) * 1e9))
                rc = _libc.sem_timedwait(self.address, ctypes.byref(ts))
        if rc == 0:
            return True
        e = ctypes.get_errno()
        if e in (errno.ETIMEDOUT, errno.EAGAIN, errno.EINTR):
            return False
        raise OSError(e, "waiting on the receive semaphore: " + os.strerror(e))

    def take(self):
        """Takes one post if there is one, without waiting."""
        return _libc.sem_trywait(self.address) == 0

    def post(self):
        _libc.sem_post(self.address)

    def release(self):
        if self.address:
            _libc.sem_destroy(self.address)
            _libc.free(self.address)
            self.address = None
