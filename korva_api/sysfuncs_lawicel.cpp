/*
 * sysfuncs_lawicel.cpp - the communication channel (a serial tty or a TCP
 * connection) and the driver for adapters that speak the Lawicel ASCII
 * protocol: command exchanges, the reader thread and the frame writer.
 *
 * Every command is a short line ended by a carriage return; the adapter
 * answers an accepted command with a carriage return and a refused one
 * with BEL.  Configuration commands are only accepted while the adapter's
 * CAN channel is closed, so each configuration request runs "C", the
 * command, and the open command again, with the reader thread parked
 * meanwhile (the pause handshake below).
 *
 * Threads.  Per open handle one reader thread reads and decodes the line
 * and sends queued frame text once per clock tick.  Application threads
 * queue frame text (TxMutex guards TxBuf and the sending of any bytes) and
 * run configuration exchanges, which KORVA_Ioctl serialises per handle.
 * Words shared without a lock (TxCount, PauseThread, ThreadPaused,
 * StopThread, StatusValid, StatusFlags, ChannelLost) are atomic.
 */
#include "sysfuncs_lawicel.h"

#include "platform.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kSliceMs = 2;                  // every readiness wait
constexpr int kConnectTimeoutMs = 3000;      // a TCP peer that has not answered by then is given up
constexpr int64_t kWriteBudgetMicros = 1000000; // a write not done within this has stalled
constexpr int64_t kTimedFlushBudgetMicros = 20000; // the reader's own flush never holds it up longer
constexpr int64_t kReadFlushBudgetMicros = 2000000; // draining a chattering adapter ends after this
constexpr uint32_t kReadAttempts = 10;
constexpr uint32_t kReadAttemptPauseMicros = 10000;
constexpr uint32_t kFlagLooks = 200;
constexpr uint32_t kRxRoom = RX_LINE_SIZE - 1; // text bytes RxLine holds, a NUL after them
constexpr uint32_t kTxRoom = TX_BUF_SIZE - 1;  // queued bytes never exceed this
constexpr uint32_t kLostBackOffSlices = 10;    // 10 x 5 ms between two looks at a lost channel
constexpr uint32_t kLostBackOffSliceMicros = 5000;

/* The pause handshake is a store on one side followed by a load of the
 * other side's word, on both sides; only sequentially consistent accesses
 * make sure that at least one side sees the other's store. */
void StoreSeqCst(int32_t &word, int32_t value) { std::atomic_ref<int32_t>(word).store(value, std::memory_order_seq_cst); }
int32_t LoadSeqCst(int32_t &word) { return std::atomic_ref<int32_t>(word).load(std::memory_order_seq_cst); }

/* ---- trace helpers ------------------------------------------------------ */

/* A failed step of a driver operation: the level is the result. */
void TraceStep(int32_t line, const char *call, int32_t rc) {
    TraceAt(UNIT_LAWICEL, line, rc, "%.17s... = %d", call, rc);
}

/* ---- text helpers -------------------------------------------------------- */

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

/* The hexadecimal number at the start of text, at most maxDigits digits;
 * reading stops at the first other character (a NUL included).  Only
 * digits count: no sign, blank or "0x" is taken, so a status or
 * identifier field can never turn into a huge or negative value.  Longer
 * numbers keep their low 32 bits.  ("1F\r" gives 0x1F, "G1" gives 0.) */
uint32_t HexValue(const char *text, size_t maxDigits) {
    uint32_t v = 0;
    for (size_t i = 0; i < maxDigits; ++i) {
        const int d = HexDigit(text[i]);
        if (d < 0) break;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    return v;
}

/* The decimal number at the start of text, at most maxDigits digits
 * ("1234\r" gives 1234, "A1" gives 0), low 32 bits. */
uint32_t DecimalValue(const char *text, size_t maxDigits) {
    uint32_t v = 0;
    for (size_t i = 0; i < maxDigits && text[i] >= '0' && text[i] <= '9'; ++i)
        v = v * 10U + static_cast<uint32_t>(text[i] - '0');
    return v;
}

constexpr char kHex[] = "0123456789ABCDEF";

/* Writes value as digits upper-case hexadecimal digits; returns digits. */
uint32_t PutHex(char *out, uint32_t value, uint32_t digits) {
    for (uint32_t i = 0; i < digits; ++i) out[i] = kHex[(value >> (4 * (digits - 1 - i))) & 0xF];
    return digits;
}

/* ---- channel helpers ----------------------------------------------------- */

/* The descriptor of the record's transport.  A serial line is only used
 * while IsLinux is set; false otherwise. */
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
    if (queued != 0)
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
    const int32_t ok = SendBounded(dev, dev->TxBuf, queued, &sent, budgetMicros);
    if (ok) {
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

/* Drops the queued frame text of a lost channel. */
void DropQueued(Device *dev) {
    if (!dev->TxMutexInit || pthread_mutex_lock(&dev->TxMutex) != 0) return;
    DropQueuedLocked(dev);
    pthread_mutex_unlock(&dev->TxMutex);
}

/* Frame text and configuration exchanges.  While an exchange has the
 * adapter's CAN channel closed (PauseThread set, from ResetDevice_Lawicel
 * to the open command of OpenDevice_Lawicel), queued frame text is held
 * back: the adapter would refuse every frame with BEL, and those replies
 * would be taken for the replies of the exchange's own commands, failing
 * it (and leaving the adapter closed) whenever the application transmits
 * meanwhile.  The held text leaves once the channel is open again. */
bool HoldingFrameText(Device *dev) { return LoadSeqCst(dev->PauseThread) != 0; }

/* Waits, TxMutex held, until no exchange holds frame text back; the mutex
 * is released meanwhile.  false when the exchange has not ended within the
 * write budget (a failed exchange leaves the adapter closed until the next
 * one succeeds) or the channel was lost. */
bool AwaitExchangeEndLocked(Device *dev) {
    const int64_t deadline = PlatMonotonicMicros() + kWriteBudgetMicros;
    while (HoldingFrameText(dev)) {
        if (AtomicLoad(dev->ChannelLost) || PlatMonotonicMicros() >= deadline) {
            PlatSetErrno(ETIMEDOUT);
            return false;
        }
        pthread_mutex_unlock(&dev->TxMutex);
        PlatSleepMicros(1000);
        pthread_mutex_lock(&dev->TxMutex);
    }
    return true;
}

/* The reader thread's timed flush: short, so that the thread keeps
 * answering pause and stop requests on a stalled line, and keeping what
 * did not go for the next tick. */
void FlushQueuedBriefly(Device *dev) {
    if (!dev->TxMutexInit || pthread_mutex_lock(&dev->TxMutex) != 0) return;
    if (dev->TxBuf != nullptr) SendQueuedLocked(dev, kTimedFlushBudgetMicros);
    pthread_mutex_unlock(&dev->TxMutex);
}

/* ---- configuration exchange ------------------------------------------ */

/* One command of a configuration exchange and its trace lines. */
struct ConfigStep {
    const char *writeCall; // call text traced when sending fails
    int32_t writeLine;
    int32_t readLine;
};

constexpr const char *kReadCall = "ReadData(Device, temp, sizeof(temp), &dwRead, 1)";
constexpr const char *kTempWriteCall = "WriteData(Device, temp, rv, 1)";

/* Sends the command in temp (length bytes) and reads the reply into the
 * same 16 bytes: 0 when the reply starts with a carriage return, -9 for
 * any other reply or none, the failed transfer's result otherwise. */
int32_t CommandStep(Device *dev, char (&temp)[16], uint32_t length, const ConfigStep &step) {
    int32_t rc = WriteData(dev, temp, length, 1);
    if (rc != 0) {
        TraceStep(step.writeLine, step.writeCall, rc);
        return rc;
    }
    uint32_t got = 0;
    rc = ReadData(dev, temp, sizeof temp, &got, 1);
    if (rc != 0) {
        TraceStep(step.readLine, kReadCall, rc);
        return rc;
    }
    if (got == 0 || temp[0] != '\r') return KORVA_ERR_COMMAND;
    return 0;
}

/* Stops the adapter's CAN channel (pausing the reader thread) and throws
 * away what it sent before.  A lost channel fails at once. */
int32_t BeginExchange(Device *dev, int32_t resetLine) {
    if (AtomicLoad(dev->ChannelLost)) return KORVA_ERR_NO_DEVICE;
    const DriverOps ops = OpsOf(dev);
    const int32_t rc = ops.ResetDevice(dev);
    if (rc != 0) {
        TraceStep(resetLine, "ResetDevice(Device)", rc);
        return rc;
    }
    ops.FlushReadBuffer(dev);
    return 0;
}

/* Opens the adapter's CAN channel again; the reader thread resumes. */
int32_t EndExchange(Device *dev, int32_t openLine) {
    const int32_t rc = OpsOf(dev).OpenDevice(dev);
    if (rc != 0) {
        TraceStep(openLine, "OpenDevice(Device)", rc);
        return rc;
    }
    return 0;
}

/* A whole exchange for one command, already formatted in temp. */
int32_t ConfigureWith(Device *dev, char (&temp)[16], uint32_t length, int32_t resetLine, const ConfigStep &step,
                      int32_t openLine) {
    int32_t rc = BeginExchange(dev, resetLine);
    if (rc != 0) return rc;
    rc = CommandStep(dev, temp, length, step);
    if (rc != 0) return rc;
    return EndExchange(dev, openLine);
}

/* ---- reader thread helpers ---------------------------------------------- */

bool IsSkipped(char c) { return c == '\a' || c == '\r' || c == 'Z' || c == 'z'; }

/* Decodes one complete line (n characters, no carriage return, no NUL). */
void DecodeLine(Device *dev, const char *s, uint32_t n) {
    uint32_t lengthPos, idDigits;
    CanMsg msg{};
    switch (s[0]) {
    case 'F': {
        uint32_t status = 0;
        if (ParseStatusReply_Lawicel(s, n, &status) == 0) {
            // The value first, then the bit: whoever sees the bit finds it.
            AtomicOr(dev->StatusFlags, status);
            AtomicOr(dev->StatusValid, 1U);
        }
        return;
    }
    case 'T':
    case 'R':
        if (n < 10) return;
        msg.Flags = KORVA_FLAG_EXTENDED;
        lengthPos = 9;
        idDigits = 8;
        break;
    case 't':
    case 'r':
        if (n < 5) return;
        msg.Flags = KORVA_FLAG_STANDARD;
        lengthPos = 4;
        idDigits = 3;
        break;
    default:
        return;
    }
    // Data holds 8 bytes: any other length digit makes the line unusable.
    const char digit = s[lengthPos];
    if (digit < '0' || digit > '8') return;
    msg.Length = static_cast<uint8_t>(digit - '0');
    const uint32_t dataPos = lengthPos + 1;
    uint32_t stampPos = dataPos;
    if (s[0] == 'R' || s[0] == 'r') {
        msg.Flags |= KORVA_FLAG_REMOTE;
    } else {
        stampPos = dataPos + 2U * msg.Length;
        if (n < stampPos) return;
        AsciiData2Binary(msg.Data, msg.Length, s + dataPos);
    }
    msg.Identifier = HexValue(s + 1, idDigits);
    if (n == stampPos + 4) {
        msg.Flags |= KORVA_FLAG_TIMESTAMP;
        msg.TimeStamp = static_cast<uint16_t>(HexValue(s + stampPos, 4));
    }
    AddMsg2BufAndNotify(dev, &msg);
}

/* Parks the reader while PauseThread is set.  false: stop requested. */
bool StayPaused(Device *dev) {
    AtomicStore(dev->ThreadPaused, 1);
    while (AtomicLoad(dev->PauseThread)) {
        if (AtomicLoad(dev->StopThread)) return false;
        // A configuration exchange lasts a few hundred milliseconds; a
        // short sleep answers stop requests quickly without burning a core.
        PlatSleepMicros(500);
    }
    // Either ResetDevice_Lawicel sees this 0 and waits for the next pause,
    // or the loop top sees its new PauseThread and pauses again before
    // touching the channel.
    StoreSeqCst(dev->ThreadPaused, 0);
    return true;
}

/* A lost channel yields nothing any more: look again after a while,
 * answering stop and pause requests within one slice. */
void BackOff(Device *dev) {
    for (uint32_t i = 0; i < kLostBackOffSlices; ++i) {
        if (AtomicLoad(dev->StopThread) || AtomicLoad(dev->PauseThread)) return;
        PlatSleepMicros(kLostBackOffSliceMicros);
    }
}

} // namespace

extern "C" {

/* ========================================================================
 * Communication channel
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
 * failed.
 *
 * End of stream versus silence: a quiet line never becomes readable, so a
 * readable descriptor that yields no byte although there is room means the
 * other end has gone (a TCP peer that closed the connection; a tty that
 * was hung up, confirmed by the hang-up condition on the descriptor).
 * That, and a hard read error (reset, EIO of a vanished device), fails the
 * call and marks the channel lost on a registered record. */
int32_t ReadCommChannel(Device *dev, char *buffer, uint32_t size, uint32_t *count) {
    *count = 0;
    int fd = -1;
    int isSocket = 0;
    if (!ChannelDescriptor(dev, &fd, &isSocket)) return 1;
    if (!dev->ChannelOpen || fd < 0) {
        PlatSetErrno(EBADF);
        return 0;
    }
    for (;;) {
        const int ready = PlatWaitReadable(fd, kSliceMs);
        if (ready < 0) return 0;
        if (ready == 0) return 1;
        const uint32_t room = size - *count;
        if (room == 0) return 1;
        const long n = PlatRead(fd, buffer + *count, room, isSocket);
        if (n < 0) {
            if (PlatWouldBlock()) return 1;
            ChannelBroke(dev);
            return 0;
        }
        if (n == 0) {
            // A tty reports readable-but-empty only when hung up; make
            // sure, so that input discarded meanwhile is not taken for it.
            if (!isSocket && !PlatHangUp(fd)) return 1;
            PlatSetErrno(isSocket ? ECONNRESET : EIO);
            ChannelBroke(dev);
            return 0;
        }
        *count += static_cast<uint32_t>(n);
    }
}

/* Sends all length bytes; 1 when all went, 0 on failure.  A line that has
 * not taken them within about a second counts as stalled and fails (errno
 * ETIMEDOUT), so no caller hangs on a blocked adapter; a serial channel
 * without a usable descriptor (IsLinux 0) fails at once. */
int32_t WriteCommChannelEx(Device *dev, const char *data, uint32_t length, uint32_t *written) {
    return SendBounded(dev, data, length, written, kWriteBudgetMicros);
}

/* Queues (sendNow 0) or sends (sendNow nonzero) data; *written receives
 * the number of bytes taken.
 *
 * Queued text always leaves first.  Everything that goes on the line,
 * the caller's own bytes included, goes under TxMutex, so frame text that
 * another thread flushes never lands inside a command.  When the queued
 * text does not go (a stalled line), what did not go stays queued and the
 * call fails without taking data, unless enough went to make room for it:
 * the caller's frame is then not counted, and nothing counted before is
 * lost. */
int32_t WriteCommChannel(Device *dev, const char *data, uint32_t length, uint32_t *written, int32_t sendNow) {
    *written = 0;
    // The first call on a record happens in KORVA_Open, before its reader
    // thread exists; afterwards the mutex is never created again.
    if (!dev->TxMutexInit) {
        dev->TxMutexInit = 1;
        pthread_mutex_init(&dev->TxMutex, nullptr);
    }
    if (pthread_mutex_lock(&dev->TxMutex) != 0) return 0;
    if (dev->TxBuf == nullptr) {
        dev->TxBuf = static_cast<char *>(std::malloc(TX_BUF_SIZE));
        if (dev->TxBuf == nullptr) {
            TraceAt(UNIT_LAWICEL, 690, KORVA_ERR_GENERIC, "Allocating the transmit buffer failed\n");
            pthread_mutex_unlock(&dev->TxMutex);
            return 0;
        }
    }
    const bool direct = sendNow != 0 || length >= TX_BUF_SIZE;
    for (;;) {
        const uint32_t queued = AtomicLoad(dev->TxCount);
        if (!direct && queued + length <= kTxRoom) {
            std::memcpy(dev->TxBuf + queued, data, length);
            AtomicStore(dev->TxCount, queued + length);
            *written = length;
            pthread_mutex_unlock(&dev->TxMutex);
            return 1;
        }
        if (queued == 0) break;
        if (HoldingFrameText(dev)) {
            if (direct) {
                // A command of the exchange goes alone; the frame text waits.
                const int32_t rc = length == 0 ? 1 : WriteCommChannelEx(dev, data, length, written);
                pthread_mutex_unlock(&dev->TxMutex);
                return rc;
            }
            // Frame text that does not fit waits for the exchange to end.
            if (!AwaitExchangeEndLocked(dev)) break;
            continue;
        }
        if (!SendQueuedLocked(dev, kWriteBudgetMicros) && (direct || AtomicLoad(dev->ChannelLost) ||
                                                          AtomicLoad(dev->TxCount) + length > kTxRoom))
            break;
    }
    // Either nothing is queued any more (a command, or the queued text
    // alone, goes now), or the queued text could not make room.
    int32_t rc = AtomicLoad(dev->TxCount) == 0 ? 1 : 0;
    if (rc && length != 0) rc = WriteCommChannelEx(dev, data, length, written);
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

/* ========================================================================
 * Lawicel driver: commands and configuration
 * ====================================================================== */

/* Pauses the reader thread and closes the adapter's CAN channel ("C").
 * The reply is left for the next FlushReadBuffer.
 *
 * Frame text queued so far goes out first, while the CAN channel is still
 * open; from the pause on, frame text is held back until it reopens.  When
 * the line does not take the queued text, or "C" itself, the adapter has
 * not been closed: nothing is paused then and nothing held back, so the
 * frames already written still go once the line moves again. */
int32_t ResetDevice_Lawicel(Device *dev) {
    TraceAt(UNIT_LAWICEL, 208, KORVA_DEBUG_LEVEL_CALL, "ResetDevice_Lawicel");
    uint32_t sent = 0;
    if (dev->ChannelOpen && !AtomicLoad(dev->ChannelLost) && !WriteCommChannel(dev, nullptr, 0, &sent, 1)) {
        TRACE_SYSCALL(UNIT_LAWICEL, 94, "WriteCommChannel");
        TraceStep(210, "WriteData(Device, \"C\\r\", 2, 1)", -1);
        return -1;
    }
    StoreSeqCst(dev->PauseThread, 1);
    // The reader answers within one pass; a reader that has ended (or was
    // never started, as for a probed record) is not waited for.
    for (uint32_t looks = 0; AtomicLoad(dev->ThreadAlive) && !LoadSeqCst(dev->ThreadPaused); ++looks)
        PlatSleepMicros(looks < 100 ? 0 : 100);
    if (AtomicLoad(dev->ChannelLost)) return KORVA_ERR_NO_DEVICE;
    const int32_t rc = WriteData(dev, "C\r", 2, 1);
    if (rc != 0) {
        AtomicStore(dev->PauseThread, 0);
        TraceStep(210, "WriteData(Device, \"C\\r\", 2, 1)", rc);
    }
    return rc;
}

/* Opens the channel with hardware flow control (when it is closed), opens
 * the adapter's CAN channel by Mode ("L" listen only, "Y", or "O") and lets
 * the reader thread run, which then sends the frame text held back. */
int32_t OpenDevice_Lawicel(Device *dev) {
    if (!OpenCommChannel(dev, 1, 1)) return -1;
    const char *command = "O\r";
    const char *call = "WriteData(Device, \"O\\r\", 2, 1)";
    int32_t line = 197;
    if (dev->Mode == KORVA_MODE_LISTEN_ONLY) {
        command = "L\r";
        call = "WriteData(Device, \"L\\r\", 2, 1)";
        line = 191;
    } else if (dev->Mode == KORVA_MODE_OPEN_Y) {
        command = "Y\r";
        call = "WriteData(Device, \"Y\\r\", 2, 1)";
        line = 194;
    }
    // The open command goes before any held-back frame text; then the
    // reader thread runs again and sends that text with its timed flush.
    const int32_t rc = WriteData(dev, command, 2, 1);
    AtomicStore(dev->PauseThread, 0);
    if (rc != 0) {
        TraceStep(line, call, rc);
        return rc;
    }
    return 0;
}

/* Closes the channel; no command goes out (KORVA_Close has sent "C"). */
int32_t CloseDevice_Lawicel(Device *dev) { return CloseCommChannel(dev) == 1 ? 0 : -1; }

/* Bit rate by the adapter's speed code, sent unchanged: "S<code>". */
int32_t SetDeviceSpeed_Lawicel(Device *dev, uint32_t code) {
    char temp[16] = {};
    const int rv = std::snprintf(temp, sizeof temp, "S%lu\r", static_cast<unsigned long>(code));
    return ConfigureWith(dev, temp, static_cast<uint32_t>(rv), 231, {kTempWriteCall, 236, 238}, 243);
}

/* Bit-timing registers: "s<BTR0><BTR1>" in hexadecimal. */
int32_t SetDeviceBTR_Lawicel(Device *dev, const uint8_t *btr) {
    char temp[16] = {};
    const int rv = std::snprintf(temp, sizeof temp, "s%02X%02X\r", btr[0], btr[1]);
    return ConfigureWith(dev, temp, static_cast<uint32_t>(rv), 256, {kTempWriteCall, 261, 263}, 268);
}

/* Acceptance code "M<code>", then, once that was accepted, mask "m<mask>". */
int32_t SetDeviceAccCodeMask_Lawicel(Device *dev, const uint32_t *codeMask) {
    int32_t rc = BeginExchange(dev, 312);
    if (rc != 0) return rc;
    char temp[16] = {};
    int rv = std::snprintf(temp, sizeof temp, "M%08X\r", codeMask[0]);
    rc = CommandStep(dev, temp, static_cast<uint32_t>(rv), {kTempWriteCall, 318, 319});
    if (rc != 0) return rc;
    rv = std::snprintf(temp, sizeof temp, "m%08X\r", codeMask[1]);
    rc = CommandStep(dev, temp, static_cast<uint32_t>(rv), {kTempWriteCall, 325, 326});
    if (rc != 0) return rc;
    return EndExchange(dev, 330);
}

/* Receive time stamps: "Z1" for any nonzero switch, else "Z0". */
int32_t SetDeviceTimestamp_Lawicel(Device *dev, int32_t on) {
    char temp[16] = {};
    std::memcpy(temp, on ? "Z1\r" : "Z0\r", 3);
    const ConfigStep step = on ? ConfigStep{"WriteData(Device, \"Z1\\r\", 3, 1)", 347, 351}
                               : ConfigStep{"WriteData(Device, \"Z0\\r\", 3, 1)", 349, 351};
    return ConfigureWith(dev, temp, 3, 342, step, 356);
}

/* Acceptance filter mode: "D1" for mode 2 (single filter), else "D0". */
int32_t SetDeviceFilterMode_Lawicel(Device *dev, int32_t mode) {
    char temp[16] = {};
    std::memcpy(temp, mode == 2 ? "D1\r" : "D0\r", 3);
    const ConfigStep step = mode == 2 ? ConfigStep{"WriteData(Device, \"D1\\r\", 3, 1)", 373, 377}
                                      : ConfigStep{"WriteData(Device, \"D0\\r\", 3, 1)", 375, 377};
    return ConfigureWith(dev, temp, 3, 368, step, 382);
}

/* Status flags: sends "F" and waits up to 200 ms for the reader thread to
 * take the reply.  *flags receives the status bytes reported since the
 * last successful call, ORed, plus KORVA_STATUS_BUFFER_OVERRUN when frames
 * were dropped meanwhile.  After the channel was lost there is nobody to
 * ask: the call succeeds at once with what was gathered and
 * KORVA_STATUS_CHANNEL_LOST, on every call from then on. */
int32_t GetDeviceFlags_Lawicel(Device *dev, uint32_t *flags) {
    *flags = 0;
    if (AtomicLoad(dev->ChannelLost)) {
        AtomicAndNot(dev->StatusValid, 1U);
        *flags = AtomicExchange(dev->StatusFlags, 0U) | static_cast<uint32_t>(KORVA_STATUS_CHANNEL_LOST);
        return 0;
    }
    const int32_t rc = WriteData(dev, "F\r", 2, 1);
    if (rc != 0) {
        TraceStep(281, "WriteData(Device, \"F\\r\", 2, 1)", rc);
        return rc;
    }
    for (uint32_t look = 0; look < kFlagLooks; ++look) {
        if (AtomicLoad(dev->ChannelLost)) return GetDeviceFlags_Lawicel(dev, flags);
        if (AtomicLoad(dev->StatusValid) & 1U) {
            AtomicAndNot(dev->StatusValid, 1U);
            *flags = AtomicExchange(dev->StatusFlags, 0U);
            return 0;
        }
        PlatSleepMicros(1000);
    }
    return -1;
}

/* Asks for the serial number ("N") and versions ("V").  Each reply is read
 * with the channel closed afterwards.  "N1234" gives SerialNr 1234;
 * "V1013" HwVersion 0x10 and SwVersion 0x13. */
int32_t GetDeviceSerialNrNVersion_Lawicel(Device *dev) {
    TraceAt(UNIT_LAWICEL, 39, KORVA_DEBUG_LEVEL_CALL, "GetDeviceSerialNrNVersion_Lawicel");
    OpsOf(dev).FlushReadBuffer(dev);

    constexpr const char *kQueryRead = "ReadData(Device, buf, sizeof(buf) - 1, &dwTemp, 0)";
    char buf[64];
    uint32_t got = 0;
    int32_t rc = WriteData(dev, "N\r", 2, 1);
    if (rc != 0) {
        TraceStep(44, "WriteData(Device, \"N\\r\", 2, 1)", rc);
        return rc;
    }
    rc = ReadData(dev, buf, sizeof buf - 1, &got, 0);
    if (rc != 0) {
        TraceStep(46, kQueryRead, rc);
        return rc;
    }
    buf[got] = '\0';
    uint32_t serialNr = 0;
    if (ParseSerialNrReply_Lawicel(buf, got, &serialNr) != 0) return -1;
    dev->SerialNr = serialNr;

    rc = WriteData(dev, "V\r", 2, 1);
    if (rc != 0) {
        TraceStep(56, "WriteData(Device, \"V\\r\", 2, 1)", rc);
        return rc;
    }
    rc = ReadData(dev, buf, sizeof buf - 1, &got, 0);
    if (rc != 0) {
        TraceStep(58, kQueryRead, rc);
        return rc;
    }
    buf[got] = '\0';
    uint8_t hw = 0, sw = 0;
    if (ParseVersionReply_Lawicel(buf, got, &hw, &sw) != 0) return -1;
    dev->HwVersion = hw;
    dev->SwVersion = sw;
    return 0;
}

/* The replies are judged by their first letter and length only; the
 * numbers are read up to the first character that is not a digit, and
 * never beyond the bytes received. */
int32_t ParseSerialNrReply_Lawicel(const char *reply, uint32_t length, uint32_t *serialNr) {
    if (length == 0 || reply[0] != 'N' || length > 13) return -1;
    *serialNr = DecimalValue(reply + 1, length - 1);
    return 0;
}

int32_t ParseVersionReply_Lawicel(const char *reply, uint32_t length, uint8_t *hwVersion, uint8_t *swVersion) {
    if (length < 5 || reply[0] != 'V') return -1;
    const char pair[3] = {reply[1], reply[2], '\0'};
    *hwVersion = static_cast<uint8_t>(HexValue(pair, 2));
    *swVersion = static_cast<uint8_t>(HexValue(reply + 3, length - 3));
    return 0;
}

int32_t ParseStatusReply_Lawicel(const char *line, uint32_t n, uint32_t *status) {
    if (n != 3 || line[0] != 'F') return -1;
    *status = HexValue(line + 1, 2);
    return 0;
}

/* Sends queued frame text, then reads and throws away what the adapter
 * has sent until the line stays quiet for ten attempts.  An adapter that
 * never stops talking is given up on after two seconds.  Always 0. */
int32_t FlushReadBuffer_Lawicel(Device *dev) {
    WriteData(dev, nullptr, 0, 1);
    char discard[666];
    const int64_t deadline = PlatMonotonicMicros() + kReadFlushBudgetMicros;
    for (;;) {
        uint32_t got = 0;
        if (ReadData(dev, discard, sizeof discard, &got, 1) != 0 || got == 0) break;
        if (PlatMonotonicMicros() >= deadline) break;
    }
    return 0;
}

/* Sends the queued frame text now (KORVA_Flush), after the configuration
 * exchange that may be holding it back.  0; KORVA_ERR_SYSTEM when the line
 * did not take all of it within the write budget, or the exchange did not
 * end within it (what did not go stays queued for the next flush);
 * KORVA_ERR_NO_DEVICE after the channel was lost (the text is dropped). */
int32_t FlushWriteBuffer_Lawicel(Device *dev) {
    if (AtomicLoad(dev->ChannelLost)) {
        DropQueued(dev);
        return KORVA_ERR_NO_DEVICE;
    }
    if (dev->TxMutexInit && HoldingFrameText(dev) && AtomicLoad(dev->TxCount) != 0) {
        if (pthread_mutex_lock(&dev->TxMutex) != 0) return KORVA_ERR_SYSTEM;
        const bool ended = AwaitExchangeEndLocked(dev);
        pthread_mutex_unlock(&dev->TxMutex);
        if (!ended) return KORVA_ERR_SYSTEM;
    }
    uint32_t n = 0;
    return WriteCommChannel(dev, nullptr, 0, &n, 1) ? 0 : KORVA_ERR_SYSTEM;
}

/* ========================================================================
 * Lawicel driver: reader thread and frame writer
 * ====================================================================== */

uint32_t DecodeRxText_Lawicel(Device *dev, uint32_t total) {
    char *text = dev->RxLine;
    if (text == nullptr) return 0;
    if (total > kRxRoom) total = kRxRoom;
    text[total] = '\0';
    uint32_t p = 0;
    for (;;) {
        while (p < total && IsSkipped(text[p])) ++p;
        if (p == total) return 0;
        const char *start = text + p;
        const auto *cr = static_cast<const char *>(std::memchr(start, '\r', total - p));
        if (cr == nullptr) {
            const uint32_t rest = total - p;
            if (rest >= kRxRoom) {
                // A full buffer without a line end is no line of the
                // protocol.  Drop it, and leave a NUL as the carry: the
                // line it starts (the rest of this one, up to its carriage
                // return) then holds a NUL and is dropped as well, so no
                // tail of the garbage is decoded as a frame.
                text[0] = '\0';
                return 1;
            }
            std::memmove(text, start, rest);
            text[rest] = '\0';
            return rest;
        }
        const auto n = static_cast<uint32_t>(cr - start);
        if (std::memchr(start, '\0', n) == nullptr) DecodeLine(dev, start, n);
        p += n + 1;
    }
}

/* The reader thread of a Lawicel handle: reads bursts of at most 63 bytes,
 * decodes them, and sends queued frame text once per clock tick.  Parks
 * while PauseThread is set; ends when StopThread is set.  On a lost
 * channel it stops reading and looks again every 50 ms. */
void *ReadThread_Lawicel(void *arg) {
    auto *dev = static_cast<Device *>(arg);
    uint32_t carry = 0;
    int32_t lastFlush = 0;
    for (;;) {
        if (AtomicLoad(dev->StopThread)) return nullptr;
        if (LoadSeqCst(dev->PauseThread)) {
            if (!StayPaused(dev)) return nullptr;
            continue; // looks at PauseThread again before reading
        }
        if (AtomicLoad(dev->ChannelLost)) {
            BackOff(dev);
            continue;
        }
        uint32_t count = 0;
        const int32_t ok = ReadCommChannel(dev, dev->RxLine + carry, kRxRoom - carry, &count);
        // A burst that ends with the end of the stream still carries the
        // adapter's last frames: they are decoded before the loss counts.
        const uint32_t total = carry + count;
        if (total != 0 && (ok || count != 0)) carry = DecodeRxText_Lawicel(dev, total);
        if (!ok) {
            if (!AtomicLoad(dev->ChannelLost)) PlatSleepMicros(1000);
            continue;
        }
        if (AtomicLoad(dev->TxCount) != 0 && GetTickCount() != lastFlush) {
            FlushQueuedBriefly(dev);
            lastFlush = GetTickCount();
        }
    }
}

/* Queues the frames as transmit commands.  Stops at the first frame that
 * cannot be queued (-3); *written counts the frames taken. */
int32_t WriteFrame_Lawicel(Device *dev, const CanMsg *frames, uint32_t count, uint32_t *written) {
    if (count == 0) return 0;
    if (AtomicLoad(dev->ChannelLost)) return KORVA_ERR_NO_DEVICE;
    char text[64];
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t length = Binary2AsciiMsg(text, frames[i]);
        uint32_t n = 0;
        if (!WriteCommChannel(dev, text, length, &n, 0) || n != length) {
            TraceAt(UNIT_LAWICEL, 1020, KORVA_ERR_SYSTEM, "WriteCommChannel");
            return KORVA_ERR_SYSTEM;
        }
        ++*written;
    }
    return 0;
}

/* Frame to transmit command, chosen by Flags: "t"/"T" data frames with
 * their data digits, "r"/"R" remote frames.  Length is cut to 8 and the
 * identifier masked to 11 or 29 bits, so the text never exceeds 27
 * characters (carriage return included); no NUL is added.  Returns the
 * number of characters. */
uint32_t Binary2AsciiMsg(char *output, CanMsg msg) {
    const bool extended = (msg.Flags & KORVA_FLAG_EXTENDED) != 0;
    const bool remote = (msg.Flags & KORVA_FLAG_REMOTE) != 0;
    const uint32_t length = msg.Length > 8 ? 8U : msg.Length;
    uint32_t n = 0;
    if (extended) {
        output[n++] = remote ? 'R' : 'T';
        n += PutHex(output + n, msg.Identifier & 0x1FFFFFFFU, 8);
    } else {
        output[n++] = remote ? 'r' : 't';
        n += PutHex(output + n, msg.Identifier & 0x7FFU, 3);
    }
    output[n++] = kHex[length];
    if (!remote)
        for (uint32_t i = 0; i < length; ++i) n += PutHex(output + n, msg.Data[i], 2);
    output[n++] = '\r';
    return n;
}

/* count bytes from two hexadecimal digits each ("0AFF" gives 0x0A 0xFF).
 * A pair that does not start with a digit gives 0, a pair with one digit
 * that digit's value; at the end of the text (a NUL) the remaining bytes
 * are 0 and nothing beyond it is read. */
void AsciiData2Binary(uint8_t *output, uint32_t count, const char *text) {
    bool ended = false;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t value = 0;
        if (!ended) {
            const char hiChar = text[2 * i];
            const char loChar = hiChar != '\0' ? text[2 * i + 1] : '\0';
            ended = hiChar == '\0' || loChar == '\0';
            const int hi = HexDigit(hiChar);
            const int lo = HexDigit(loChar);
            if (hi >= 0) value = static_cast<uint8_t>(lo >= 0 ? hi * 16 + lo : hi);
        }
        output[i] = value;
    }
}


DriverOps Driver_Lawicel = {
    .GetDeviceSerialNrNVersion = GetDeviceSerialNrNVersion_Lawicel,
    .GetDeviceFlags = GetDeviceFlags_Lawicel,
    .SetDeviceAccCodeMask = SetDeviceAccCodeMask_Lawicel,
    .SetDeviceTimestamp = SetDeviceTimestamp_Lawicel,
    .SetDeviceFilterMode = SetDeviceFilterMode_Lawicel,
    .FlushReadBuffer = FlushReadBuffer_Lawicel,
    .OpenDevice = OpenDevice_Lawicel,
    .ResetDevice = ResetDevice_Lawicel,
    .CloseDevice = CloseDevice_Lawicel,
    .SetDeviceSpeed = SetDeviceSpeed_Lawicel,
    .SetDeviceBTR = SetDeviceBTR_Lawicel,
    .ReadThread = ReadThread_Lawicel,
    .WriteFrame = WriteFrame_Lawicel,
    .FlushWriteBuffer = FlushWriteBuffer_Lawicel,
};

} // extern "C"
