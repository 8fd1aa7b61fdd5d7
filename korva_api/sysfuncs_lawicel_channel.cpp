/*
 * sysfuncs_lawicel_channel.cpp - the communication channel of Lawicel
 * adapters: a serial tty or a TCP connection, read once per readiness and
 * written either at once or through the transmit collection buffer.
 *
 * Reading never waits for time to pass: a read takes what the system holds
 * the moment the line becomes readable, and the caller decides what is a
 * complete line.  Writing is bounded: a line that takes nothing for about a
 * second counts as stalled, so no caller hangs on a blocked adapter.
 *
 * Frame text and configuration exchanges.  While an exchange has the
 * adapter's CAN channel closed (PauseThread set, from ResetDevice_Lawicel to
 * the open command of OpenDevice_Lawicel), queued frame text is held back:
 * the adapter would refuse every frame with BEL, and those replies would be
 * taken for the replies of the exchange's own commands.  The held text
 * leaves once the channel is open again.
 */
#include "sysfuncs_lawicel_internal.h"

#include "platform.h"
#include "reconnect.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kConnectTimeoutMs = 3000;  // a TCP peer that has not answered by then is given up
constexpr uint32_t kReadAttempts = 10;   // of a read transfer (ReadData)
constexpr uint32_t kReadAttemptPauseMicros = 10000;

/* The transport broke for good.  A registered record reports it (status
 * bit, woken readers); a record that is only being probed has no
 * synchronisation objects yet, and its caller sees the failed transfer. */
void ChannelBroke(Device *dev) {
    if (dev->SyncInit) MarkChannelLost(dev);
}

/* Closes what a failed OpenCommChannel left open. */
int32_t AbandonOpen(Device *dev) {
    if (dev->Socket != -1) PlatClose(dev->Socket, 1);
    if (dev->Fd != -1) PlatClose(dev->Fd, 0);
    dev->Socket = dev->Fd = -1;
    dev->ChannelOpen = 0;
    return 0;
}

/* Sends length bytes, waiting in 2 ms slices while the line takes nothing,
 * for at most budgetMicros in all.  *written counts what went out, also on
 * failure.  Returns 1 when everything went, 0 otherwise.  A hard write
 * error (peer gone, device gone) marks the channel lost. */
int32_t SendBounded(Device *dev, const char *data, uint32_t length, uint32_t *written, int64_t budgetMicros) {
    *written = 0;
    if (!dev->ChannelOpen) return 0;
    if (length == 0) return 1;
    int fd = -1;
    int isSocket = 0;
    if (!ChannelDescriptor(dev, &fd, &isSocket)) {
        // No serial descriptor to wait on: waiting could never end.
        PlatSetErrno(EBADF);
        return 0;
    }
    const int64_t deadline = PlatMonotonicMicros() + budgetMicros;
    while (*written < length) {
        const int ready = PlatWaitWritable(fd, kSliceMs);
        if (ready < 0) return 0;
        if (ready > 0) {
            const long n = PlatWrite(fd, data + *written, length - *written, isSocket);
            if (n > 0) {
                *written += static_cast<uint32_t>(n);
                continue;
            }
            if (n < 0 && !PlatWouldBlock()) {
                ChannelBroke(dev);
                return 0;
            }
            // Would block after all (or took nothing): wait like a busy line.
        }
        if (PlatMonotonicMicros() >= deadline) {
            PlatSetErrno(ETIMEDOUT);
            return 0;
        }
    }
    return 1;
}

/* Throws away queued frame text that can no longer go anywhere (the
 * channel is lost); TxMutex is held.  The loss is traced with its size. */
void DropQueuedLocked(Device *dev) {
    const uint32_t queued = AtomicExchange(dev->TxCount, 0U);
    if (queued == 0) return;
    std::atomic_ref<uint32_t>(dev->DroppedFrames).fetch_add(FramesInText(dev->TxBuf, queued));
    TraceAt(UNIT_LAWICEL, 705, KORVA_ERR_NO_DEVICE, "channel lost: %u bytes of queued frame text dropped",
            static_cast<unsigned>(queued));
}

/* Sends the queued frame text; TxMutex is held.  What the line does not
 * take within the budget stays queued, in order, at the start of TxBuf:
 * frames that KORVA_Write counted as written are never thrown away while
 * they can still go (a stalled line that moves again, the next flush).
 * Only a lost channel drops them.  Returns 1 when all went. */
int32_t SendQueuedLocked(Device *dev, int64_t budgetMicros) {
    const uint32_t queued = AtomicLoad(dev->TxCount);
    if (queued == 0) return 1;
    uint32_t sent = 0;
    if (SendBounded(dev, dev->TxBuf, queued, &sent, budgetMicros)) {
        AtomicStore(dev->TxCount, 0U);
        return 1;
    }
    if (AtomicLoad(dev->ChannelLost)) {
        DropQueuedLocked(dev);
        return 0;
    }
    // A partly sent line continues with its rest: nothing else can go on
    // the line before the queued text does.
    std::memmove(dev->TxBuf, dev->TxBuf + sent, queued - sent);
    AtomicStore(dev->TxCount, queued - sent);
    return 0;
}

/* Locks TxMutex, making it and TxBuf on the record's first write.  The
 * first write happens in KORVA_Open, before the record's reader thread
 * exists; afterwards the mutex is never created again.  false when the
 * mutex cannot be taken or the buffer not allocated (traced). */
bool LockTxBuffer(Device *dev) {
    if (!dev->TxMutexInit) {
        dev->TxMutexInit = 1;
        pthread_mutex_init(&dev->TxMutex, nullptr);
    }
    if (pthread_mutex_lock(&dev->TxMutex) != 0) return false;
    if (dev->TxBuf == nullptr) {
        dev->TxBuf = static_cast<char *>(std::malloc(TX_BUF_SIZE));
        if (dev->TxBuf == nullptr) {
            TraceAt(UNIT_LAWICEL, 690, KORVA_ERR_GENERIC, "Allocating the transmit buffer failed\n");
            pthread_mutex_unlock(&dev->TxMutex);
            return false;
        }
    }
    return true;
}

/* Waits, TxMutex held, until no exchange holds frame text back; the mutex
 * is released meanwhile.  false when the exchange has not ended within the
 * write budget or the channel was lost. */
bool AwaitExchangeEndLocked(Device *dev) {
    const int64_t deadline = PlatMonotonicMicros() + kWriteBudgetMicros;
    while (HoldingFrameText(dev)) {
        if (AtomicLoad(dev->ChannelLost) || PlatMonotonicMicros() >= deadline) {
            PlatSetErrno(ETIMEDOUT);
            return false;
        }
        pthread_mutex_unlock(&dev->TxMutex);
        PlatSleepMicros(200);
        pthread_mutex_lock(&dev->TxMutex);
    }
    return true;
}

/* Frame text into TxBuf (TxMutex held): appended when it fits behind what
 * is queued; otherwise the queued text goes first (after an exchange that
 * holds it back) and the text is queued behind what is left.  Fails
 * without taking the text when the queued text cannot make room (a stalled
 * line, a lost channel): nothing counted before is lost. */
int32_t QueueFrameTextLocked(Device *dev, const char *data, uint32_t length, uint32_t *written) {
    for (;;) {
        const uint32_t queued = AtomicLoad(dev->TxCount);
        if (queued + length <= kTxRoom) {
            std::memcpy(dev->TxBuf + queued, data, length);
            AtomicStore(dev->TxCount, queued + length);
            *written = length;
            // The reader sends queued text as soon as it can: the first
            // text in an empty buffer wakes it from its wait for the line.
            if (queued == 0 && length != 0) WakeReader(dev);
            return 1;
        }
        if (HoldingFrameText(dev)) {
            if (!AwaitExchangeEndLocked(dev)) return 0;
            continue;
        }
        if (!SendQueuedLocked(dev, kWriteBudgetMicros) &&
            (AtomicLoad(dev->ChannelLost) || AtomicLoad(dev->TxCount) + length > kTxRoom))
            return 0;
    }
}

/* Bytes that go now (TxMutex held): the queued frame text first, then
 * data.  A command of an exchange that holds frame text back goes alone.
 * Everything goes under TxMutex, so frame text that another thread
 * flushes never lands inside a command. */
int32_t SendNowLocked(Device *dev, const char *data, uint32_t length, uint32_t *written) {
    if (!HoldingFrameText(dev) && !SendQueuedLocked(dev, kWriteBudgetMicros)) return 0;
    if (length == 0) return 1;
    return WriteCommChannelEx(dev, data, length, written);
}

} // namespace

extern "C" {

/* ---- helpers of the driver ---------------------------------------------- */

bool ChannelDescriptor(const Device *dev, int *fd, int *isSocket) {
    if (dev->DeviceType == DEVTYPE_NET) {
        *fd = dev->Socket;
        *isSocket = 1;
        return true;
    }
    if (!IsLinux) return false;
    *fd = dev->Fd;
    *isSocket = 0;
    return true;
}

/* End of stream versus silence: a quiet line never becomes readable, so a
 * readable descriptor that yields no byte means the other end has gone (a
 * TCP peer that closed the connection; a tty that was hung up, confirmed
 * by the hang-up condition on the descriptor, so that input discarded
 * meanwhile is not taken for it).  That, and a hard read error (reset,
 * EIO of a vanished device), fails the read and marks the channel lost on
 * a registered record. */
ReadOutcome ReadOnce(Device *dev, char *buffer, uint32_t room, uint32_t *count, int wakeFd, int timeoutMs) {
    *count = 0;
    int fd = -1;
    int isSocket = 0;
    if (!ChannelDescriptor(dev, &fd, &isSocket)) return kReadNoChannel;
    if (!dev->ChannelOpen || fd < 0) {
        PlatSetErrno(EBADF);
        return kReadFailed;
    }
    const int ready = wakeFd >= 0 ? PlatWaitReadableOrWake(fd, wakeFd, timeoutMs) : PlatWaitReadable(fd, timeoutMs);
    if (ready < 0) return kReadFailed;
    if (ready == 0) return kReadTimedOut;
    if (ready == 2) return kReadWoken;
    if (room == 0) return kReadNothing;
    const long n = PlatRead(fd, buffer, room, isSocket);
    if (n > 0) {
        *count = static_cast<uint32_t>(n);
        return kReadGot;
    }
    if (n < 0 && PlatWouldBlock()) return kReadNothing;
    if (n == 0) {
        if (!isSocket && !PlatHangUp(fd)) return kReadNothing;
        PlatSetErrno(isSocket ? ECONNRESET : EIO);
    }
    ChannelBroke(dev);
    return kReadFailed;
}

bool EnsureRxBuffer(Device *dev) {
    if (dev->RxLine != nullptr) return true;
    dev->RxLine = static_cast<char *>(std::calloc(RX_BUF_SIZE, 1));
    dev->RxHave = 0;
    return dev->RxLine != nullptr;
}

void WakeReader(Device *dev) {
    // A probed record has no reader and no wake-up.
    if (dev->WakePipeOpen) PlatWake(dev->WakePipe[1]);
}

void AwaitWake(Device *dev, int timeoutMs) {
    if (dev->WakePipeOpen && PlatWaitReadableOrWake(-1, dev->WakePipe[0], timeoutMs) >= 0) return;
    // No wake-up to wait on, or the wait failed: sleep a while instead.
    PlatSleepMicros(timeoutMs < 0 || timeoutMs > 50 ? 50000U : static_cast<uint32_t>(timeoutMs) * 1000U);
}

void FlushQueuedBriefly(Device *dev) {
    if (!dev->TxMutexInit || pthread_mutex_lock(&dev->TxMutex) != 0) return;
    if (dev->TxBuf != nullptr) SendQueuedLocked(dev, kTimedFlushBudgetMicros);
    pthread_mutex_unlock(&dev->TxMutex);
}

bool HoldingFrameText(Device *dev) { return LoadSeqCst(dev->PauseThread) != 0; }

bool AwaitExchangeEnd(Device *dev) {
    if (!dev->TxMutexInit || pthread_mutex_lock(&dev->TxMutex) != 0) return false;
    const bool ended = AwaitExchangeEndLocked(dev);
    pthread_mutex_unlock(&dev->TxMutex);
    return ended;
}

void DropQueued(Device *dev) {
    if (!dev->TxMutexInit || pthread_mutex_lock(&dev->TxMutex) != 0) return;
    DropQueuedLocked(dev);
    pthread_mutex_unlock(&dev->TxMutex);
}

void ForgetLostChannel(Device *dev) {
    if (!LockTxBuffer(dev)) return;
    DropQueuedLocked(dev);
    CloseCommChannel(dev);
    pthread_mutex_unlock(&dev->TxMutex);
    dev->RxHave = 0;
}

/* ========================================================================
 * The channel's operations
 * ====================================================================== */

/* Opens the record's transport: a TCP connection for DEVTYPE_NET, else the
 * serial device SystemName as a raw 8N1 line (115200 bit/s for
 * DEVTYPE_SERIAL, 3000000 otherwise, RTS/CTS when flowControl is set).
 * An open channel is left as it is.  1 when open afterwards, 0 on failure
 * with no descriptor left open. */
int32_t OpenCommChannel(Device *dev, int32_t /*ignored*/, int32_t flowControl) {
    if (dev->ChannelOpen) return 1;
    if (dev->DeviceType == DEVTYPE_NONE) return 0;
    if (dev->DeviceType == DEVTYPE_NET) {
        dev->Socket = PlatTcpSocket();
        if (dev->Socket < 0) {
            TRACE_SYSCALL(UNIT_LAWICEL, 408, "socket");
            dev->Socket = -1;
            return AbandonOpen(dev);
        }
        uint32_t addr = 0;
        if (PlatResolveIPv4(dev->HostName, &addr) != 0) {
            TRACE_SYSCALL(UNIT_LAWICEL, 412, "gethostbyname");
            return AbandonOpen(dev);
        }
        // A peer that never answered a moment ago is not waited for again:
        // opening an adapter connects several times (reset, serial number,
        // version, open), and each would wait the whole time-out.
        if (dev->ConnectRetryAfter != 0 && PlatMonotonicMicros() < dev->ConnectRetryAfter) {
            PlatSetErrno(ETIMEDOUT);
            TRACE_SYSCALL(UNIT_LAWICEL, 420, "connect");
            return AbandonOpen(dev);
        }
        if (PlatTcpConnect(dev->Socket, addr, dev->Port, kConnectTimeoutMs) != 0) {
            const bool timedOut = PlatLastWasTimeout() != 0;
            TRACE_SYSCALL(UNIT_LAWICEL, 420, "connect");
            if (timedOut) dev->ConnectRetryAfter = PlatMonotonicMicros() + kConnectTimeoutMs * int64_t{1000};
            return AbandonOpen(dev);
        }
        if (PlatSetNonBlocking(dev->Socket) != 0) {
            TRACE_SYSCALL(UNIT_LAWICEL, 423, "ioctlsocket");
            return AbandonOpen(dev);
        }
    } else {
        dev->Fd = PlatSerialOpen(dev->SystemName);
        if (dev->Fd < 0) {
            TRACE_SYSCALL(UNIT_LAWICEL, 510, "open");
            dev->Fd = -1;
            return AbandonOpen(dev);
        }
        const char *failed = "tcgetattr";
        int applying = 0;
        if (PlatSerialConfigure(dev->Fd, dev->DeviceType != DEVTYPE_SERIAL, flowControl != 0, &failed, &applying) !=
            0) {
            TRACE_SYSCALL(UNIT_LAWICEL, applying ? 534 : 513, failed);
            return AbandonOpen(dev);
        }
    }
    // A new connection, or a line whose pending input was discarded: no
    // text of the old one is carried into it.
    dev->RxHave = 0;
    dev->ChannelOpen = 1;
    return 1;
}

/* Closes the transport; 1 when a descriptor was closed, 0 when there was
 * nothing to close.  Queued frame text stays queued. */
int32_t CloseCommChannel(Device *dev) {
    if (!dev->ChannelOpen) return 0;
    dev->ChannelOpen = 0;
    if (dev->DeviceType == DEVTYPE_NONE) return 0;
    const bool isSocket = dev->DeviceType == DEVTYPE_NET;
    int32_t &fd = isSocket ? dev->Socket : dev->Fd;
    if (fd == -1) return 0;
    PlatClose(fd, isSocket ? 1 : 0);
    fd = -1;
    return 1;
}

/* Reads one burst: waits up to 2 ms for the first byte, then goes on
 * while bytes keep coming within 2 ms and size has room.  Returns 1 with
 * *count bytes (possibly 0: a quiet line), 0 when waiting or reading
 * failed (an end of stream or a vanished device marks a registered
 * record's channel lost).  The driver itself reads with ReadOnce and never
 * waits for a quiet gap; this serves callers that want a burst. */
int32_t ReadCommChannel(Device *dev, char *buffer, uint32_t size, uint32_t *count) {
    *count = 0;
    for (;;) {
        uint32_t got = 0;
        const ReadOutcome r = ReadOnce(dev, buffer + *count, size - *count, &got, -1, kSliceMs);
        if (r == kReadFailed) return 0;
        *count += got;
        if (r != kReadGot || *count == size) return 1;
    }
}

/* Sends all length bytes; 1 when all went, 0 on failure.  A line that has
 * not taken them within about a second counts as stalled and fails (errno
 * ETIMEDOUT); a serial channel without a usable descriptor (IsLinux 0)
 * fails at once. */
int32_t WriteCommChannelEx(Device *dev, const char *data, uint32_t length, uint32_t *written) {
    return SendBounded(dev, data, length, written, kWriteBudgetMicros);
}

/* Queues (sendNow 0, fewer than 512 bytes) or sends (sendNow nonzero, or
 * a block of 512 bytes and more) data; *written receives the number of
 * bytes taken.  Queued text always leaves before anything sent now. */
int32_t WriteCommChannel(Device *dev, const char *data, uint32_t length, uint32_t *written, int32_t sendNow) {
    *written = 0;
    if (!LockTxBuffer(dev)) return 0;
    const int32_t rc = sendNow != 0 || length >= TX_BUF_SIZE ? SendNowLocked(dev, data, length, written)
                                                             : QueueFrameTextLocked(dev, data, length, written);
    pthread_mutex_unlock(&dev->TxMutex);
    return rc;
}

/* One read transfer: opens the channel when needed (serial without flow
 * control) and makes up to ten attempts 10 ms apart until a burst
 * arrives.  0 with *count bytes (0 after ten quiet attempts), -1 when
 * opening or a read failed.  keepOpen 0 closes the channel before
 * returning. */
int32_t ReadData(Device *dev, char *buffer, uint32_t size, uint32_t *count, int32_t keepOpen) {
    *count = 0;
    if (dev->Magic != DEVICE_MAGIC) InitDevice(dev);
    GetDeviceType(dev);
    if (!dev->ChannelOpen && !OpenCommChannel(dev, 0, 0)) return -1;
    for (uint32_t attempt = 0; attempt < kReadAttempts; ++attempt) {
        if (!ReadCommChannel(dev, buffer, size, count)) {
            TRACE_SYSCALL(UNIT_LAWICEL, 130, "ReadCommChannel");
            if (!keepOpen) CloseCommChannel(dev);
            return -1;
        }
        if (*count != 0) break;
        PlatSleepMicros(kReadAttemptPauseMicros);
    }
    if (!keepOpen) CloseCommChannel(dev);
    return 0;
}

/* One immediate write transfer: opens the channel when needed, sends the
 * queued frame text and then data.  0, or -1 on failure. */
int32_t WriteData(Device *dev, const char *data, uint32_t length, int32_t keepOpen) {
    if (dev->Magic != DEVICE_MAGIC) InitDevice(dev);
    GetDeviceType(dev);
    if (dev->DeviceType == DEVTYPE_NONE) return -1;
    if (!dev->ChannelOpen && !OpenCommChannel(dev, 0, 0)) return -1;
    uint32_t n = 0;
    const int32_t ok = WriteCommChannel(dev, data, length, &n, 1);
    if (ok || n == length) {
        if (!keepOpen) CloseCommChannel(dev);
        return 0;
    }
    TRACE_SYSCALL(UNIT_LAWICEL, 94, "WriteCommChannel");
    if (!keepOpen) CloseCommChannel(dev);
    return -1;
}

} // extern "C"
