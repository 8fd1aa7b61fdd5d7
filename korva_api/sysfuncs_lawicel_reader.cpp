/*
 * sysfuncs_lawicel_reader.cpp - the Lawicel reader thread, the decoder of
 * received text and the frame writer.
 *
 * The reader waits for the line and its wake-up, nothing else: no quiet
 * gap, no clock tick.  When the line is readable it takes what the system
 * holds (up to RX_BUF_SIZE bytes), decodes every complete line at once and
 * keeps only a cut tail for the next read; the frames of one read are
 * stored under one lock with one wake-up.  A flood batches itself: bytes
 * pile up in the system while the reader decodes.  Frame text queued by
 * KORVA_Write wakes the reader when it lands in an empty buffer, and the
 * reader sends it before it waits again.
 */
#include "sysfuncs_lawicel_internal.h"

#include "platform.h"
#include "reconnect.h"

#include <cstring>

namespace {

constexpr int kPausedLookMs = 1000;  // a parked reader looks at its flags at least this often
constexpr uint32_t kBatch = 64;      // frames stored together

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

/* The hexadecimal number at the start of text, at most maxDigits digits;
 * reading stops at the first other character (a NUL included), so a
 * status or identifier field never turns into a huge or negative value. */
uint32_t HexValue(const char *text, size_t maxDigits) {
    uint32_t v = 0;
    for (size_t i = 0; i < maxDigits; ++i) {
        const int d = HexDigit(text[i]);
        if (d < 0) break;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    return v;
}

constexpr char kHex[] = "0123456789ABCDEF";

/* Writes value as digits upper-case hexadecimal digits; returns digits. */
uint32_t PutHex(char *out, uint32_t value, uint32_t digits) {
    for (uint32_t i = 0; i < digits; ++i) out[i] = kHex[(value >> (4 * (digits - 1 - i))) & 0xF];
    return digits;
}

/* The data bytes of the CAN FD length codes 0..F. */
constexpr uint8_t kFdLengths[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

/* The length code of the smallest FD size that holds length bytes. */
uint32_t FdLengthCode(uint32_t length) {
    uint32_t code = 0;
    while (code < 15 && kFdLengths[code] < length) ++code;
    return code;
}

/* Frames decoded from one read, stored together. */
struct FrameBatch {
    CanFdMsg frames[kBatch];
    uint32_t count = 0;
};

void StoreBatch(Device *dev, FrameBatch &batch) {
    AddFdMsgs2BufAndNotify(dev, batch.frames, batch.count);
    batch.count = 0;
}

/* The frame lines: letter, flags, digits of the identifier (the length
 * digit follows it).  The FD lines have no remote frames. */
struct FrameLineKind {
    char letter;
    uint8_t flags;
    uint32_t idDigits;
};
constexpr uint8_t kStd = KORVA_FLAG_STANDARD, kExt = KORVA_FLAG_EXTENDED, kRtr = KORVA_FLAG_REMOTE,
                  kFd = KORVA_FLAG_FD, kBrs = KORVA_FLAG_BRS;
constexpr FrameLineKind kFrameLines[] = {
    {'t', kStd, 3},       {'T', kExt, 8},       {'r', kStd | kRtr, 3},      {'R', kExt | kRtr, 8},
    {'d', kStd | kFd, 3}, {'D', kExt | kFd, 8}, {'b', kStd | kFd | kBrs, 3}, {'B', kExt | kFd | kBrs, 8},
};

const FrameLineKind *FrameLineOf(char letter) {
    for (const FrameLineKind &k : kFrameLines)
        if (k.letter == letter) return &k;
    return nullptr;
}

/* Decodes one complete line (n characters, no carriage return, no NUL):
 * a frame into the batch, a status reply into the status words; anything
 * else is dropped. */
void DecodeLine(Device *dev, const char *s, uint32_t n, FrameBatch &batch, uint16_t stamp) {
    if (s[0] == 'F') {
        uint32_t status = 0;
        if (ParseStatusReply_Lawicel(s, n, &status) == 0) {
            // The value first, then the bit: whoever sees the bit finds it.
            AtomicOr(dev->StatusFlags, status);
            AtomicOr(dev->StatusValid, 1U);
        }
        return;
    }
    const FrameLineKind *kind = FrameLineOf(s[0]);
    const uint32_t lengthPos = kind ? 1 + kind->idDigits : 0;
    if (kind == nullptr || n <= lengthPos) return;
    CanFdMsg msg{};
    msg.Flags = kind->flags;
    // A classic frame holds 8 bytes: any other length digit makes the line
    // unusable; FD frames have the codes 9..F for 12..64 bytes too.
    const int code = HexDigit(s[lengthPos]);
    if (code < 0 || (!(kind->flags & kFd) && code > 8) || (s[lengthPos] >= 'a' && s[lengthPos] <= 'f')) return;
    msg.Length = kFdLengths[code];
    const uint32_t dataPos = lengthPos + 1;
    uint32_t stampPos = dataPos;
    if (!(kind->flags & kRtr)) {
        stampPos = dataPos + 2U * msg.Length;
        if (n < stampPos) return;
        AsciiData2Binary(msg.Data, msg.Length, s + dataPos);
    }
    msg.Identifier = HexValue(s + 1, kind->idDigits);
    if (n == stampPos + 4) {
        msg.Flags |= KORVA_FLAG_TIMESTAMP;
        msg.TimeStamp = static_cast<uint16_t>(HexValue(s + stampPos, 4));
    } else if (AtomicLoad(dev->LocalStamps)) {
        msg.Flags |= KORVA_FLAG_TIMESTAMP;
        msg.TimeStamp = stamp;
    }
    batch.frames[batch.count++] = msg;
    if (batch.count == kBatch) StoreBatch(dev, batch);
}

/* Parks the reader while PauseThread is set.  false: stop requested. */
bool StayPaused(Device *dev) {
    StoreSeqCst(dev->ThreadPaused, 1);
    while (LoadSeqCst(dev->PauseThread)) {
        if (AtomicLoad(dev->StopThread)) return false;
        // Whoever clears PauseThread or sets StopThread wakes the thread;
        // the time-out only bounds the cost of a wake-up that never comes.
        AwaitWake(dev, kPausedLookMs);
    }
    // Either ResetDevice_Lawicel sees this 0 and waits for the next pause,
    // or the loop top sees its new PauseThread and pauses again before
    // touching the channel.
    StoreSeqCst(dev->ThreadPaused, 0);
    return true;
}

/* A lost channel yields nothing any more: sleep until a stop or pause
 * request wakes the thread (both set their flag before waking it). */
void BackOff(Device *dev) {
    if (AtomicLoad(dev->StopThread) || AtomicLoad(dev->PauseThread)) return;
    AwaitWake(dev, -1);
}

/* One attempt to bring a lost Lawicel adapter back: it answers again
 * and has taken the handle's settings. */
bool FindAndConfigureAgain(Device *dev) {
    return FindAdapterAgain(dev) && !AtomicLoad(dev->StopThread) && ReapplySettings_Lawicel(dev) == 0;
}

/* A lost channel on a handle with reconnection on: the descriptor is
 * closed and what was queued for it dropped, then the adapter is looked
 * for until it is back, or until a stop, a pause or reconnection switched
 * off wants the caller's attention. */
void Reconnect(Device *dev) {
    ForgetLostChannel(dev);
    ReconnectUntilBack(dev, FindAndConfigureAgain);
}

} // namespace

extern "C" {

uint16_t LocalStamp(void) { return static_cast<uint16_t>((PlatMonotonicMicros() / 1000) % 60000); }

/* Lines are cut at carriage returns.  At the start of a line, BEL and a
 * lone carriage return are replies to commands (refused, accepted), "z"
 * and "Z" with their carriage return acknowledge sent frames; all of them
 * are skipped unless a reply is waited for.  A text of more than kLineMax
 * characters without a carriage return is no line of the protocol: it is
 * dropped, and a NUL is left as the carry, so that the line it starts (the
 * rest of it, up to its carriage return) holds a NUL and is dropped too. */
uint32_t DecodeRxText(Device *dev, uint32_t total, ReplyWait *wait, uint16_t stamp) {
    char *text = dev->RxLine;
    if (text == nullptr) return 0;
    if (total > kRxRoom) total = kRxRoom;
    text[total] = '\0';
    FrameBatch batch;
    uint32_t p = 0;
    bool replied = false;
    while (p < total && !replied) {
        const char c = text[p];
        if (c == '\a' || c == '\r') {
            if (wait != nullptr && wait->wantLetter == '\0') {
                wait->kind = c == '\a' ? kReplyRefused : kReplyAccepted;
                replied = true;
            }
            ++p;
            continue;
        }
        if (c == 'z' || c == 'Z') {
            // The acknowledgement's carriage return is no reply; wait for
            // it when it has not arrived yet.
            if (p + 1 == total) break;
            p += text[p + 1] == '\r' ? 2 : 1;
            continue;
        }
        const char *start = text + p;
        const auto *cr = static_cast<const char *>(std::memchr(start, '\r', total - p));
        if (cr == nullptr) break;
        const auto n = static_cast<uint32_t>(cr - start);
        if (wait != nullptr && (wait->wantLine || (wait->wantLetter != '\0' && *start == wait->wantLetter))) {
            const uint32_t keep = n < sizeof wait->line - 1 ? n : static_cast<uint32_t>(sizeof wait->line - 1);
            std::memcpy(wait->line, start, keep);
            wait->line[keep] = '\0';
            wait->length = n;
            wait->kind = kReplyLine;
            replied = true;
        } else if (n <= kLineMax && std::memchr(start, '\0', n) == nullptr) {
            DecodeLine(dev, start, n, batch, stamp);
        }
        p += n + 1;
    }
    StoreBatch(dev, batch);
    const uint32_t rest = total - p;
    if (!replied && rest > kLineMax) {
        text[0] = '\0';
        return 1;
    }
    std::memmove(text, text + p, rest);
    text[rest] = '\0';
    return rest;
}

uint32_t DecodeRxText_Lawicel(Device *dev, uint32_t total) { return DecodeRxText(dev, total, nullptr, LocalStamp()); }

/* The reader thread of a Lawicel handle.  Parks while PauseThread is set;
 * ends when StopThread is set.  On a lost channel it stops reading and
 * sleeps until it is woken.
 *
 * With reconnection on, a lost channel is opened again (Reconnect).
 *
 * Queued frame text goes out before each wait.  The wait lasts without
 * limit; only text that the line did not take (a stalled adapter) is
 * tried again every slice.  A writer that queues text into the empty
 * buffer stores TxCount before it wakes the thread, and the thread loads
 * TxCount after it wakes, so no text waits for a wake-up that was missed. */
void *ReadThread_Lawicel(void *arg) {
    auto *dev = static_cast<Device *>(arg);
    bool resumed = true; // text an exchange left in RxLine is decoded first
    for (;;) {
        if (AtomicLoad(dev->StopThread)) return nullptr;
        if (LoadSeqCst(dev->PauseThread)) {
            if (!StayPaused(dev)) return nullptr;
            resumed = true;
            continue; // looks at PauseThread again before reading
        }
        if (resumed) {
            resumed = false;
            if (dev->RxHave != 0) dev->RxHave = DecodeRxText(dev, dev->RxHave, nullptr, LocalStamp());
        }
        if (AtomicLoad(dev->ChannelLost)) {
            if (AtomicLoad(dev->Reconnect)) {
                Reconnect(dev);
                resumed = true; // frame text that came with the last reply
            } else {
                BackOff(dev);
            }
            continue;
        }
        if (AtomicLoad(dev->TxCount) != 0) FlushQueuedBriefly(dev);
        const int wake = dev->WakePipeOpen ? dev->WakePipe[0] : -1;
        const int waitMs = wake < 0 || AtomicLoad(dev->TxCount) != 0 ? kSliceMs : -1;
        uint32_t count = 0;
        const ReadOutcome r = ReadOnce(dev, dev->RxLine + dev->RxHave, kRxRoom - dev->RxHave, &count, wake, waitMs);
        // Bytes read in the same call as an end of stream still carry the
        // adapter's last frames: they are decoded before the loss counts.
        if (count != 0) dev->RxHave = DecodeRxText(dev, dev->RxHave + count, nullptr, LocalStamp());
        if (r == kReadFailed) {
            if (!AtomicLoad(dev->ChannelLost)) PlatSleepMicros(1000);
        } else if (r == kReadNoChannel) {
            AwaitWake(dev, kSliceMs); // nothing to wait on but the wake-up
        }
    }
}

} // extern "C"

namespace {

/* Queues the text of each frame (format(text, frames[i]) writes it) as a
 * transmit command.  Stops at the first frame that cannot be queued (-3);
 * *written counts the frames taken. */
template <typename Msg, typename Format>
int32_t QueueFrames(Device *dev, const Msg *frames, uint32_t count, uint32_t *written, Format format) {
    if (count == 0) return 0;
    if (AtomicLoad(dev->ChannelLost)) return KORVA_ERR_NO_DEVICE;
    char text[kMaxFrameText];
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t length = format(text, frames[i]);
        uint32_t n = 0;
        if (!WriteCommChannel(dev, text, length, &n, 0) || n != length) {
            // A line that broke under this write is a lost adapter, as
            // for the next call; the frame is not counted.
            if (AtomicLoad(dev->ChannelLost)) return KORVA_ERR_NO_DEVICE;
            TraceAt(UNIT_LAWICEL, 1020, KORVA_ERR_SYSTEM, "WriteCommChannel");
            return KORVA_ERR_SYSTEM;
        }
        ++*written;
    }
    return 0;
}

/* A transmit command: the letter (standard or extended by the identifier's
 * kind), the identifier masked to 11 or 29 bits, the length digit, dataBytes
 * bytes of data (zero beyond have) and the carriage return. */
uint32_t FrameText(char *output, const char letters[2], uint32_t identifier, bool extended, uint32_t code,
                   const uint8_t *data, uint32_t have, uint32_t dataBytes) {
    uint32_t n = 0;
    output[n++] = letters[extended ? 1 : 0];
    n += extended ? PutHex(output + n, identifier & 0x1FFFFFFFU, 8) : PutHex(output + n, identifier & 0x7FFU, 3);
    output[n++] = kHex[code];
    for (uint32_t i = 0; i < dataBytes; ++i) n += PutHex(output + n, i < have ? data[i] : 0, 2);
    output[n++] = '\r';
    return n;
}

} // namespace

extern "C" {

int32_t WriteFrame_Lawicel(Device *dev, const CanMsg *frames, uint32_t count, uint32_t *written) {
    return QueueFrames(dev, frames, count, written, [](char *text, const CanMsg &m) { return Binary2AsciiMsg(text, m); });
}

/* KORVA_WriteFd has checked the records: FD frames only on an FD handle,
 * none of them remote. */
int32_t WriteFdFrame_Lawicel(Device *dev, const CanFdMsg *frames, uint32_t count, uint32_t *written) {
    return QueueFrames(dev, frames, count, written,
                       [](char *text, const CanFdMsg &m) { return Binary2AsciiFdMsg(text, &m); });
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
    return FrameText(output, remote ? "rR" : "tT", msg.Identifier, extended, length, msg.Data, length,
                     remote ? 0 : length);
}

/* FD frames: "d"/"D", with bit-rate switch "b"/"B", the length code of the
 * smallest FD size that holds Length bytes (at most 64), padded with zero
 * bytes; at most 139 characters.  Classic records as Binary2AsciiMsg. */
uint32_t Binary2AsciiFdMsg(char *output, const CanFdMsg *msg) {
    if (!(msg->Flags & KORVA_FLAG_FD)) return Binary2AsciiMsg(output, ClassicOfFdMsg(msg));
    const bool extended = (msg->Flags & KORVA_FLAG_EXTENDED) != 0;
    const uint32_t have = msg->Length > 64 ? 64U : msg->Length;
    const uint32_t code = FdLengthCode(have);
    return FrameText(output, (msg->Flags & KORVA_FLAG_BRS) ? "bB" : "dD", msg->Identifier, extended, code, msg->Data,
                     have, kFdLengths[code]);
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

/* The replies are judged by their first letter and length only; the
 * numbers are read up to the first character that is not a digit, and
 * never beyond the bytes received. */
int32_t ParseSerialNrReply_Lawicel(const char *reply, uint32_t length, uint32_t *serialNr) {
    if (length == 0 || reply[0] != 'N' || length > 13) return -1;
    uint32_t v = 0;
    for (uint32_t i = 1; i < length && reply[i] >= '0' && reply[i] <= '9'; ++i)
        v = v * 10U + static_cast<uint32_t>(reply[i] - '0');
    *serialNr = v;
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

} // extern "C"
