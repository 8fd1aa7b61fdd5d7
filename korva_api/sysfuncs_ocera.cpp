/*
 * sysfuncs_ocera.cpp - the driver for CAN controllers of the Ocera LinCAN
 * kernel driver.
 *
 * The controller is a character device (/dev/canN).  Frames cross it as
 * 32-byte LinCanRecord records, read and written whole; bit rate, bit
 * timing and the driver's flags word are ioctl requests.  The device has
 * no serial number, no acceptance filter or time-stamp switch of its own
 * and nothing to flush, so those operations are trivial.
 *
 * Every system call goes through the platform layer (and so through the
 * replaceable SysCalls table).
 */
#include "sysfuncs_ocera.h"

#include "platform.h"
#include "reconnect.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace {

/* Bit rates by speed code; index 0 stands for every code outside 1..7. */
constexpr std::array<int32_t, 8> kBitRates = {1000000, 20000,  50000,  100000,
                                              125000,  250000, 500000, 800000};

/* The identifier kind and the remote request are read bit by bit, so that
 * an extended remote request, or a frame with the kernel driver's other
 * bits (overrun, local echo) set, keeps its 29-bit identifier: comparing
 * whole values would deliver it as a standard data frame.  A frame with
 * neither bit is a standard frame; a standard remote request carries the
 * remote bit alone. */
constexpr uint8_t LinCanFlags2Flags(int32_t linFlags) {
    const uint8_t remote = (linFlags & LINCAN_FLAG_RTR) ? KORVA_FLAG_REMOTE : 0;
    if (linFlags & LINCAN_FLAG_EXT) return static_cast<uint8_t>(KORVA_FLAG_EXTENDED | remote);
    return remote ? remote : static_cast<uint8_t>(KORVA_FLAG_STANDARD);
}

/* Likewise for sending: the extended and remote bits are carried over
 * whatever else is set (a time stamp, the standard bit of a frame read from
 * another adapter), so no frame changes its identifier kind or loses its
 * remote request on the way out. */
constexpr int32_t Flags2LinCanFlags(uint8_t flags) {
    return ((flags & KORVA_FLAG_EXTENDED) ? LINCAN_FLAG_EXT : 0) | ((flags & KORVA_FLAG_REMOTE) ? LINCAN_FLAG_RTR : 0);
}

static_assert(LinCanFlags2Flags(0) == KORVA_FLAG_STANDARD && LinCanFlags2Flags(4) == KORVA_FLAG_EXTENDED &&
              LinCanFlags2Flags(1) == KORVA_FLAG_REMOTE &&
              LinCanFlags2Flags(5) == (KORVA_FLAG_EXTENDED | KORVA_FLAG_REMOTE));
static_assert(Flags2LinCanFlags(KORVA_FLAG_EXTENDED) == LINCAN_FLAG_EXT &&
              Flags2LinCanFlags(KORVA_FLAG_REMOTE) == LINCAN_FLAG_RTR && Flags2LinCanFlags(KORVA_FLAG_STANDARD) == 0 &&
              Flags2LinCanFlags(KORVA_FLAG_EXTENDED | KORVA_FLAG_REMOTE) == (LINCAN_FLAG_EXT | LINCAN_FLAG_RTR));

/* CanMsg.Data holds 8 bytes: a longer length, on either side, is cut to
 * 8 so that nothing is copied past the data field (classic CAN, too,
 * carries at most 8 bytes whatever the length code says). */
constexpr uint8_t CutLength(uint32_t length) { return length > 8 ? 8 : static_cast<uint8_t>(length); }

/* Sleeps for about micros, in short slices, returning early once the
 * reader thread is asked to stop. */
void SleepUnlessStopped(Device *dev, uint32_t micros) {
    constexpr uint32_t kSlice = 10000;
    for (uint32_t slept = 0; slept < micros && !AtomicLoad(dev->StopThread); slept += kSlice)
        PlatSleepMicros(kSlice);
}

/* One attempt to bring a lost device back: the device node is opened
 * onto the descriptor number the handle holds (writers on other threads
 * keep using it), and the handle's bit rate or bit timing is made again. */
bool ReopenOnce(Device *dev) {
    const int fd = PlatOpenCharDevice(dev->SystemName, dev->Mode == KORVA_MODE_LISTEN_ONLY);
    if (fd < 0) {
        TRACE_SYSCALL(UNIT_OCERA, __LINE__, "open"); // not back yet
        return false;
    }
    if (PlatReplaceDescriptor(dev->Fd, fd) != 0) {
        TRACE_SYSCALL(UNIT_OCERA, __LINE__, "dup2");
        PlatClose(fd, 0);
        return false;
    }
    bool back = true;
    for (uint32_t i = 0; back && i < dev->SettingCount; ++i) {
        const Setting &s = dev->Settings[i];
        const uint8_t btr[2] = {static_cast<uint8_t>(s.Value[0]), static_cast<uint8_t>(s.Value[1])};
        if (s.Request == KORVA_IOCTL_SET_SPEED) back = SetDeviceSpeed_Ocera(dev, s.Value[0]) == 0;
        if (s.Request == KORVA_IOCTL_SET_BTR) back = SetDeviceBTR_Ocera(dev, btr) == 0;
    }
    return back;
}

/* Opens the lost device again until it is back (true), or until the
 * thread is asked to stop or reconnection is switched off (false). */
bool ReopenLostDevice(Device *dev) { return ReconnectUntilBack(dev, ReopenOnce); }

} // namespace

extern "C" {

int32_t SpeedCode2BitRate_Ocera(uint32_t code) {
    return code < kBitRates.size() ? kBitRates[code] : kBitRates[0];
}

int32_t LinCanRecord2CanMsg(const uint8_t *record, CanMsg *out) {
    if (record == nullptr || out == nullptr) return KORVA_ERR_GENERIC;
    LinCanRecord r;
    std::memcpy(&r, record, sizeof r);
    CanMsg msg{};
    msg.Flags = LinCanFlags2Flags(r.Flags);
    msg.Identifier = r.Id;
    msg.Length = CutLength(r.Length);
    std::memcpy(msg.Data, r.Data, msg.Length);
    *out = msg;
    return 0;
}

int32_t CanMsg2LinCanRecord(const CanMsg *msg, uint8_t *record) {
    if (msg == nullptr || record == nullptr) return KORVA_ERR_GENERIC;
    LinCanRecord r{};
    r.Flags = Flags2LinCanFlags(msg->Flags);
    r.Id = msg->Identifier;
    r.Length = CutLength(msg->Length);
    std::memcpy(r.Data, msg->Data, r.Length);
    std::memcpy(record, &r, sizeof r);
    return 0;
}

/* A LinCAN device has no identity to report: always 0 with the numbers
 * 0, where the system has LinCAN devices at all.  Elsewhere (Windows)
 * there is no such device to find, and opening the name says so. */
int32_t GetDeviceSerialNrNVersion_Ocera(Device *dev) {
    dev->SerialNr = 0;
    dev->HwVersion = 0;
    dev->SwVersion = 0;
    if (!PlatHasCharDevices()) {
        TraceAt(UNIT_OCERA, 110, KORVA_ERR_NO_DEVICE, "%s: LinCAN devices are served on Linux only",
                dev->SystemName);
        return KORVA_ERR_NO_DEVICE;
    }
    return 0;
}

/* The kernel driver's own flags word, unchanged.  StatusFlags is not
 * consulted: that word belongs to the LinCAN driver. */
int32_t GetDeviceFlags_Ocera(Device *dev, uint32_t *flags) {
    if (flags == nullptr) return KORVA_ERR_GENERIC;
    if (PlatIoctl(dev->Fd, LINCAN_IOCTL_GET_FLAGS, flags) != 0) {
        TRACE_SYSCALL(UNIT_OCERA, __LINE__, "ioctl");
        return KORVA_ERR_SYSTEM;
    }
    return 0;
}

int32_t SetDeviceAccCodeMask_Ocera(Device *, const uint32_t *) { return KORVA_ERR_NOT_IMPLEMENTED; }

int32_t SetDeviceTimestamp_Ocera(Device *, int32_t) { return KORVA_ERR_NOT_IMPLEMENTED; }

int32_t SetDeviceFilterMode_Ocera(Device *, int32_t) { return KORVA_ERR_NOT_IMPLEMENTED; }

int32_t FlushReadBuffer_Ocera(Device *) { return 0; }

int32_t ResetDevice_Ocera(Device *) { return 0; }

/* Frames are handed to the kernel driver at once; nothing waits here. */
int32_t FlushWriteBuffer_Ocera(Device *) { return 0; }

/* Opens SystemName read-only in listen-only mode, else read-write.  0, -1
 * when the record is already open (its descriptor is kept), -3 when the
 * open failed. */
int32_t OpenDevice_Ocera(Device *dev) {
    if (dev->Magic != DEVICE_MAGIC) InitDevice(dev);
    if (dev->ChannelOpen) return KORVA_ERR_GENERIC;
    const int fd = PlatOpenCharDevice(dev->SystemName, dev->Mode == KORVA_MODE_LISTEN_ONLY);
    if (fd < 0) {
        TRACE_SYSCALL(UNIT_OCERA, __LINE__, "open");
        return KORVA_ERR_SYSTEM;
    }
    dev->Fd = fd;
    dev->ChannelOpen = 1;
    return 0;
}

/* Closes the device; the reader thread has ended by now (KORVA_Close
 * waits for it first).  Fd becomes -1 so that nothing closes the
 * number again after the system may have handed it out anew. */
int32_t CloseDevice_Ocera(Device *dev) {
    if (!dev->ChannelOpen) return KORVA_ERR_GENERIC;
    dev->ChannelOpen = 0;
    const int fd = dev->Fd;
    dev->Fd = -1;
    int32_t rc = 0;
    if (PlatClose(fd, 0) != 0) {
        TRACE_SYSCALL(UNIT_OCERA, __LINE__, "close");
        rc = KORVA_ERR_SYSTEM;
    }
    return rc;
}

int32_t SetDeviceSpeed_Ocera(Device *dev, uint32_t code) {
    int32_t param[4] = {-1, SpeedCode2BitRate_Ocera(code), -1, -1};
    static_assert(sizeof param == 16, "bit-rate record is 16 bytes");
    if (PlatIoctl(dev->Fd, LINCAN_IOCTL_SET_BITRATE, param) != 0) {
        TRACE_SYSCALL(UNIT_OCERA, __LINE__, "ioctl");
        return KORVA_ERR_SYSTEM;
    }
    return 0;
}

int32_t SetDeviceBTR_Ocera(Device *dev, const uint8_t *btr) {
    if (btr == nullptr) return KORVA_ERR_GENERIC;
    uint32_t value = static_cast<uint32_t>(btr[0]) << 8 | static_cast<uint32_t>(btr[1]) << 16;
    if (PlatIoctl(dev->Fd, LINCAN_IOCTL_SET_BTR, &value) != 0) {
        TRACE_SYSCALL(UNIT_OCERA, __LINE__, "ioctl");
        return KORVA_ERR_SYSTEM;
    }
    return 0;
}

/* Reader thread.  It waits without time limit until the device has
 * something to read or KORVA_Close wakes it (WakePipe), reads what the
 * device holds (up to 32 records a call) and stores the whole records in
 * the ring together.
 *
 * The kernel driver hands out whole records, but a device that is a byte
 * stream underneath (a tty, say) may deliver one in pieces: the bytes of
 * an incomplete record are kept and completed by the next read, which
 * asks only for the missing bytes, so that the records never slip out of
 * step.
 *
 * With reconnection on, a failed read makes the thread open the device
 * again (ReopenLostDevice) and go on reading.  Otherwise a failed read
 * ends the thread after its trace line: the device is gone
 * or broken and will not deliver again.  The loss is marked on the record,
 * which wakes blocked readers and makes KORVA_Read report
 * KORVA_ERR_NO_DEVICE once the ring is empty; writing and closing still
 * work.  A read that finds nothing (EAGAIN after a spurious wake-up) is
 * not a failure.  A read that returns 0 bytes on a readable device means
 * end of file, the device has been hung up: it is treated like a failure,
 * because the descriptor would otherwise stay readable and the loop spin. */
void *ReadThread_Ocera(void *arg) {
    auto *dev = static_cast<Device *>(arg);
    constexpr size_t kRecords = 32; // taken by one read at most
    uint8_t records[kRecords * LINCAN_RECORD_SIZE];
    CanMsg frames[kRecords];
    size_t held = 0;
    while (!AtomicLoad(dev->StopThread)) {
        const int ready = PlatWaitReadableOrWake(dev->Fd, dev->WakePipe[0], -1);
        if (ready == 2) continue; // woken: KORVA_Close wants the thread to end
        if (ready != 1) {
            TRACE_SYSCALL(UNIT_OCERA, __LINE__, "poll");
            SleepUnlessStopped(dev, 100000);
            continue;
        }
        // As many whole records as the device holds; an incomplete one is
        // completed by the next read.
        const long n = PlatRead(dev->Fd, records + held, sizeof records - held, 0);
        if (n < 0 && PlatWouldBlock()) continue;
        if (n <= 0) {
            const int err = n < 0 ? PlatErrno() : 0;
            TraceAt(UNIT_OCERA, 269, KORVA_DEBUG_LEVEL_SYSTEM, "%s (%d)", "read", err);
            MarkChannelLost(dev);
            if (!AtomicLoad(dev->Reconnect) || !ReopenLostDevice(dev))
                return reinterpret_cast<void *>(static_cast<intptr_t>(-1));
            held = 0; // a record cut by the loss is not completed by the new device
            continue;
        }
        held += static_cast<size_t>(n);
        const size_t whole = held / LINCAN_RECORD_SIZE;
        for (size_t i = 0; i < whole; ++i) LinCanRecord2CanMsg(records + i * LINCAN_RECORD_SIZE, &frames[i]);
        AddMsgs2BufAndNotify(dev, frames, static_cast<uint32_t>(whole));
        held -= whole * LINCAN_RECORD_SIZE;
        std::memmove(records, records + whole * LINCAN_RECORD_SIZE, held);
    }
    return nullptr;
}

/* Sends count frames with one write of count records.  *written is the
 * number of whole records the device took.  Count 0 writes nothing. */
int32_t WriteFrame_Ocera(Device *dev, const CanMsg *frames, uint32_t count, uint32_t *written) {
    uint32_t scratch = 0;
    if (written == nullptr) written = &scratch;
    *written = 0;
    if (count == 0) return 0;
    if (frames == nullptr) return KORVA_ERR_GENERIC;
    // A device that is being opened again takes nothing meanwhile; one lost
    // for good is still written to, and the system says what became of it.
    if (AtomicLoad(dev->ChannelLost) && AtomicLoad(dev->Reconnect)) return KORVA_ERR_NO_DEVICE;
    auto *block = static_cast<uint8_t *>(std::calloc(count, LINCAN_RECORD_SIZE));
    if (block == nullptr) return KORVA_ERR_NO_MEMORY;
    for (uint32_t i = 0; i < count; ++i) CanMsg2LinCanRecord(&frames[i], block + size_t{i} * LINCAN_RECORD_SIZE);
    const long n = PlatWrite(dev->Fd, block, size_t{count} * LINCAN_RECORD_SIZE, 0);
    if (n < 0) {
        TRACE_SYSCALL(UNIT_OCERA, __LINE__, "write");
        std::free(block);
        return KORVA_ERR_SYSTEM;
    }
    *written = static_cast<uint32_t>(static_cast<unsigned long>(n) / LINCAN_RECORD_SIZE);
    std::free(block);
    return 0;
}


DriverOps Driver_Ocera = {
    .GetDeviceSerialNrNVersion = GetDeviceSerialNrNVersion_Ocera,
    .GetDeviceFlags = GetDeviceFlags_Ocera,
    .SetDeviceAccCodeMask = SetDeviceAccCodeMask_Ocera,
    .SetDeviceTimestamp = SetDeviceTimestamp_Ocera,
    .SetDeviceFilterMode = SetDeviceFilterMode_Ocera,
    .FlushReadBuffer = FlushReadBuffer_Ocera,
    .OpenDevice = OpenDevice_Ocera,
    .ResetDevice = ResetDevice_Ocera,
    .CloseDevice = CloseDevice_Ocera,
    .SetDeviceSpeed = SetDeviceSpeed_Ocera,
    .SetDeviceBTR = SetDeviceBTR_Ocera,
    .ReadThread = ReadThread_Ocera,
    .WriteFrame = WriteFrame_Ocera,
    .FlushWriteBuffer = FlushWriteBuffer_Ocera,
    .SetDeviceDataBitrate = nullptr, // LinCAN carries classic frames only
    .WriteFdFrame = nullptr,
};

} // extern "C"
