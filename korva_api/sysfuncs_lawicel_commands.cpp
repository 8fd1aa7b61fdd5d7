/*
 * sysfuncs_lawicel_commands.cpp - the Lawicel driver's commands: opening
 * and closing the adapter's CAN channel, configuration exchanges, the
 * status, serial-number and version queries, and the two flushes.
 *
 * Every command is a short line ended by a carriage return; the adapter
 * answers an accepted command with a carriage return and a refused one
 * with BEL, a query with a line of text, and it answers in order.
 * Configuration commands are only accepted while the adapter's CAN channel
 * is closed, so each configuration request runs "C", the command, and the
 * open command again, with the reader thread parked meanwhile (the pause
 * handshake).  Whatever the command's fate, the exchange ends by opening
 * the channel again: a refused bit rate leaves the adapter as it was, not
 * deaf.
 *
 * Replies are taken the moment they are complete: each command of an
 * exchange waits for its own reply ("C", the command, the open command),
 * bounded by kReplyTimeoutMs for a silent adapter.  A reply that did not
 * come in time may still come; before the next command the line is put in
 * step again with a version query, whose "V" line cannot be mistaken for
 * the carriage return or BEL of a command, so a late reply is never taken
 * for the answer to a new command.
 *
 * Quiet adapters (KORVA_DIALECT_QUIET) run slcan firmware that answers no
 * command: the probe knows them by their silence to "C" and "N" and the
 * line of text they answer "V" with.  Their commands are sent without
 * waiting for replies, a few milliseconds apart so that the firmware takes
 * each; what the firmware cannot do is refused before anything is sent.
 */
#include "sysfuncs_lawicel_internal.h"

#include "platform.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int64_t kDrainBudgetMicros = 2000000; // draining a chattering adapter ends after this
constexpr uint32_t kQuietPaceMicros = 5000;     // between two commands to a quiet adapter
constexpr int64_t kFlagsWaitMicros = 200000;    // for the reader to take a status reply
constexpr uint32_t kFlagsLookMicros = 100;
constexpr int kSettleMs = 20;                  // a late adapter's backlog comes within this

/* A failed step of a driver operation: the level is the result. */
void TraceStep(int32_t line, const char *call, int32_t rc) {
    TraceAt(UNIT_LAWICEL, line, rc, "%.17s... = %d", call, rc);
}

/* Gives a quiet adapter's firmware time to take the command just sent. */
void Pace(const Device *dev) {
    if (Quiet(dev)) PlatSleepMicros(kQuietPaceMicros);
}

/* A request that a quiet adapter cannot carry out: refused before
 * anything is sent, so the adapter stays open and working. */
int32_t RefuseOnQuiet(const char *request) {
    TraceAt(UNIT_LAWICEL, 452, KORVA_ERR_NOT_IMPLEMENTED,
            "%s: not available in the quiet dialect (slcan firmware that answers no command)", request);
    return KORVA_ERR_NOT_IMPLEMENTED;
}

/* The speed code whose standard SJA1000 registers (16 MHz) these are. */
struct StandardBtr {
    uint8_t btr0, btr1;
};
constexpr StandardBtr kStandardBtr[] = {{0x67, 0x2F}, {0x53, 0x2F}, {0x47, 0x2F}, {0x43, 0x2F}, {0x03, 0x1C},
                                        {0x01, 0x1C}, {0x00, 0x1C}, {0x00, 0x16}, {0x00, 0x14}};
constexpr uint32_t kSpeedCodes = sizeof kStandardBtr / sizeof kStandardBtr[0]; // S0..S8

int32_t SpeedCodeOfBtr(const uint8_t *btr) {
    for (uint32_t code = 0; code < kSpeedCodes; ++code)
        if (kStandardBtr[code].btr0 == btr[0] && kStandardBtr[code].btr1 == btr[1]) return static_cast<int32_t>(code);
    return -1;
}

/* ---- replies ------------------------------------------------------------ */

/* Takes the reply to "C" that ResetDevice_Lawicel left owed.  true when it
 * came (a carriage return or BEL: either means the adapter answers). */
bool TakeOwedReply(Device *dev) {
    if (!dev->ReplyOwed) return false;
    dev->ReplyOwed = 0;
    ReplyWait wait{};
    return AwaitReply(dev, &wait, kReplyTimeoutMs) == 0;
}

/* Decodes what has arrived by now, without waiting: frames are stored,
 * replies thrown away.  An adapter that never stops talking is left after
 * two seconds. */
void DrainArrived(Device *dev) {
    if (!EnsureRxBuffer(dev)) return;
    const int64_t deadline = PlatMonotonicMicros() + kDrainBudgetMicros;
    for (;;) {
        if (dev->RxHave != 0) dev->RxHave = DecodeRxText(dev, dev->RxHave, nullptr, LocalStamp());
        uint32_t got = 0;
        if (ReadOnce(dev, dev->RxLine + dev->RxHave, kRxRoom - dev->RxHave, &got, -1, 0) != kReadGot) return;
        dev->RxHave += got;
        if (PlatMonotonicMicros() >= deadline) return;
    }
}

/* Puts the line in step after a reply that did not come in time: asks for
 * the version and skips everything up to a "V" line.  The adapter answers
 * in order, so the late replies come before it.  The "V" line of an
 * earlier version query that was late itself may come first, with the
 * rest of the backlog right behind it: the line is in step only once no
 * further "V" line follows within kSettleMs, and what came meanwhile is
 * taken too.  (The replies of an adapter that catches up come back to
 * back; a version query that is lost costs one more.) */
void Resync(Device *dev) {
    if (WriteData(dev, "V\r", 2, 1) != 0) return;
    ReplyWait wait{};
    wait.wantLetter = 'V';
    if (AwaitReply(dev, &wait, kReplyTimeoutMs) != 0) {
        TraceAt(UNIT_LAWICEL, 455, kNoteLevel, "%s: the adapter is late with its replies: command not sent",
                dev->SystemName);
        return;
    }
    do {
        wait = ReplyWait{};
        wait.wantLetter = 'V';
    } while (AwaitReply(dev, &wait, kSettleMs) == 0);
    DrainArrived(dev);
    dev->StaleReplies = 0;
}

/* Sends queued frame text, takes the reply owed to "C" and what else has
 * arrived, and puts a line that owes a late reply in step.  true when the
 * reset's reply came. */
bool SendQueuedAndTakeInput(Device *dev, bool resync) {
    WriteData(dev, nullptr, 0, 1);
    const bool answered = TakeOwedReply(dev);
    DrainArrived(dev);
    if (resync && dev->StaleReplies && !Quiet(dev)) Resync(dev);
    return answered;
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
constexpr const char *kQueryRead = "ReadData(Device, buf, sizeof(buf) - 1, &dwTemp, 0)";

/* Sends the command in temp (length bytes) and waits for its reply: 0 for
 * a carriage return, -9 for BEL or no reply in time, the failed transfer's
 * result otherwise. */
int32_t CommandStep(Device *dev, const char *temp, uint32_t length, const ConfigStep &step) {
    int32_t rc = WriteData(dev, temp, length, 1);
    if (rc != 0) {
        TraceStep(step.writeLine, step.writeCall, rc);
        return rc;
    }
    if (Quiet(dev)) { // no reply comes
        Pace(dev);
        return 0;
    }
    ReplyWait wait{};
    rc = AwaitReply(dev, &wait, kReplyTimeoutMs);
    if (rc < 0) {
        TraceStep(step.readLine, kReadCall, rc);
        return rc;
    }
    return rc == 0 && wait.kind == kReplyAccepted ? 0 : KORVA_ERR_COMMAND;
}

/* Stops the adapter's CAN channel (pausing the reader thread) and takes
 * what it sent before.  A lost channel fails at once. */
int32_t BeginExchange(Device *dev, int32_t resetLine) {
    if (AtomicLoad(dev->ChannelLost)) return KORVA_ERR_NO_DEVICE;
    const DriverOps ops = OpsOf(dev);
    const int32_t rc = ops.ResetDevice(dev);
    if (rc != 0) {
        TraceStep(resetLine, "ResetDevice(Device)", rc);
        return rc;
    }
    // A quiet adapter sends no replies to take; the frames it sent before
    // "C" are left for the reader.
    if (!Quiet(dev)) ops.FlushReadBuffer(dev);
    return 0;
}

/* Opens the adapter's CAN channel again; the reader thread resumes.  An
 * exchange whose command failed ends here as well: the adapter keeps the
 * settings it had and stays in use.  The command's failure is the result,
 * else the open's. */
int32_t EndExchange(Device *dev, int32_t commandResult, int32_t openLine) {
    const int32_t rc = OpsOf(dev).OpenDevice(dev);
    if (rc != 0) TraceStep(openLine, "OpenDevice(Device)", rc);
    return commandResult != 0 ? commandResult : rc;
}

/* A whole exchange for one command.  On a line that could not be put in
 * step (an adapter that is still late with earlier replies) the command is
 * not sent: its reply could not be told from theirs. */
int32_t ConfigureWith(Device *dev, const char *command, uint32_t length, int32_t resetLine, const ConfigStep &step,
                      int32_t openLine) {
    const int32_t rc = BeginExchange(dev, resetLine);
    if (rc != 0) return rc;
    const int32_t result = dev->StaleReplies ? KORVA_ERR_COMMAND : CommandStep(dev, command, length, step);
    return EndExchange(dev, result, openLine);
}

/* Opens a quiet adapter's CAN channel: the mode first ("M1" silent for
 * listen-only, else "M0": the firmware keeps the last one), then "O",
 * each given its time; then the reader thread runs again. */
int32_t OpenQuiet(Device *dev) {
    const bool silent = dev->Mode == KORVA_MODE_LISTEN_ONLY;
    int32_t rc = WriteData(dev, silent ? "M1\r" : "M0\r", 3, 1);
    if (rc != 0) {
        TraceStep(silent ? 188 : 189,
                  silent ? "WriteData(Device, \"M1\\r\", 3, 1)" : "WriteData(Device, \"M0\\r\", 3, 1)", rc);
    } else {
        Pace(dev);
        rc = WriteData(dev, "O\r", 2, 1);
        if (rc != 0)
            TraceStep(197, "WriteData(Device, \"O\\r\", 2, 1)", rc);
        else
            Pace(dev);
    }
    StoreSeqCst(dev->PauseThread, 0);
    WakeReader(dev);
    return rc;
}

/* The second chance of a probe that heard nothing to "C" and "N": a quiet
 * adapter answers "V" with one line of free text.  Any such line makes it
 * one (serial number and versions 0, the text traced); silence, or
 * something that is no line, finds nothing (-1).  The channel is closed
 * afterwards, as after every identity query. */
int32_t ProbeQuiet(Device *dev) {
    int32_t rc = WriteData(dev, "V\r", 2, 1);
    if (rc != 0) {
        TraceStep(56, "WriteData(Device, \"V\\r\", 2, 1)", rc);
        return rc;
    }
    ReplyWait wait{};
    wait.wantLine = true;
    rc = AwaitReply(dev, &wait, kReplyTimeoutMs);
    CloseCommChannel(dev);
    if (rc < 0) {
        TraceStep(58, kQueryRead, rc);
        return rc;
    }
    if (rc != 0 || wait.kind != kReplyLine || wait.length == 0 || wait.length > kLineMax) return -1;
    if (std::memchr(wait.line, '\a', wait.length) != nullptr || std::memchr(wait.line, '\0', wait.length) != nullptr)
        return -1;
    dev->SerialNr = 0;
    dev->HwVersion = 0;
    dev->SwVersion = 0;
    dev->Dialect = KORVA_DIALECT_QUIET;
    dev->StaleReplies = 0;
    TraceAt(UNIT_LAWICEL, 450, kNoteLevel, "%s: quiet adapter (answers no command), version text: %s",
            dev->SystemName, wait.line);
    return 0;
}

/* Sends a query and takes its reply line; the channel is closed
 * afterwards.  0 with the line in *wait, 1 when no line came (BEL, a
 * carriage return, or nothing in time), or the failed transfer's result. */
int32_t Query(Device *dev, const char *command, const char *writeCall, int32_t writeLine, int32_t readLine,
              ReplyWait *wait) {
    int32_t rc = WriteData(dev, command, 2, 1);
    if (rc != 0) {
        TraceStep(writeLine, writeCall, rc);
        return rc;
    }
    *wait = ReplyWait{};
    wait->wantLine = true;
    rc = AwaitReply(dev, wait, kReplyTimeoutMs);
    CloseCommChannel(dev);
    if (rc < 0) {
        TraceStep(readLine, kQueryRead, rc);
        return rc;
    }
    return rc == 0 && wait->kind == kReplyLine ? 0 : 1;
}

/* The command lines that make a setting again (at most two, each ended
 * by its carriage return); returns their number.  A quiet adapter takes
 * registers only as their speed code and stamps frames itself. */
uint32_t SettingCommands(const Device *dev, const Setting &s, char (&texts)[2][16]) {
    switch (s.Request) {
    case KORVA_IOCTL_SET_SPEED:
        std::snprintf(texts[0], sizeof texts[0], "S%lu\r", static_cast<unsigned long>(s.Value[0]));
        return 1;
    case KORVA_IOCTL_SET_BTR: {
        const uint8_t btr[2] = {static_cast<uint8_t>(s.Value[0]), static_cast<uint8_t>(s.Value[1])};
        if (Quiet(dev))
            std::snprintf(texts[0], sizeof texts[0], "S%d\r", static_cast<int>(SpeedCodeOfBtr(btr)));
        else
            std::snprintf(texts[0], sizeof texts[0], "s%02X%02X\r", btr[0], btr[1]);
        return 1;
    }
    case KORVA_IOCTL_SET_ACC_CODE_MASK:
        std::snprintf(texts[0], sizeof texts[0], "M%08lX\r", static_cast<unsigned long>(s.Value[0]));
        std::snprintf(texts[1], sizeof texts[1], "m%08lX\r", static_cast<unsigned long>(s.Value[1]));
        return 2;
    case KORVA_IOCTL_SET_FILTER_MODE:
        std::snprintf(texts[0], sizeof texts[0], "%s", s.Value[0] == 2 ? "D1\r" : "D0\r");
        return 1;
    case KORVA_IOCTL_SET_DATA_BITRATE:
        std::snprintf(texts[0], sizeof texts[0], "Y%lu\r", static_cast<unsigned long>(s.Value[0]));
        return 1;
    case KORVA_IOCTL_SET_TIMESTAMP:
        if (Quiet(dev)) return 0;
        std::snprintf(texts[0], sizeof texts[0], "%s", s.Value[0] != 0 ? "Z1\r" : "Z0\r");
        return 1;
    default:
        return 0;
    }
}

} // namespace

extern "C" {

int32_t ReapplySettings_Lawicel(Device *dev) {
    if (!OpenCommChannel(dev, 1, 1)) return -1;
    for (uint32_t i = 0; i < dev->SettingCount; ++i) {
        char texts[2][16] = {};
        const uint32_t lines = SettingCommands(dev, dev->Settings[i], texts);
        for (uint32_t j = 0; j < lines; ++j) {
            const auto length = static_cast<uint32_t>(std::strlen(texts[j]));
            const int32_t rc = CommandStep(dev, texts[j], length, {kTempWriteCall, 726, 727});
            if (rc != 0) {
                TraceAt(UNIT_LAWICEL, 728, rc, "%s: the adapter did not take %.*s again", dev->SystemName,
                        static_cast<int>(length - 1), texts[j]);
                CloseCommChannel(dev);
                return rc;
            }
        }
    }
    const int32_t rc = OpenDevice_Lawicel(dev);
    if (rc != 0) CloseCommChannel(dev);
    return rc;
}

int32_t AwaitReply(Device *dev, ReplyWait *wait, int timeoutMs) {
    wait->kind = kReplyNone;
    wait->length = 0;
    if (!EnsureRxBuffer(dev)) return -1;
    const int64_t deadline = PlatMonotonicMicros() + int64_t{timeoutMs} * 1000;
    for (;;) {
        if (dev->RxHave != 0) dev->RxHave = DecodeRxText(dev, dev->RxHave, wait, LocalStamp());
        if (wait->kind != kReplyNone) return 0;
        const int64_t left = deadline - PlatMonotonicMicros();
        if (left <= 0) break;
        uint32_t got = 0;
        const ReadOutcome r = ReadOnce(dev, dev->RxLine + dev->RxHave, kRxRoom - dev->RxHave, &got, -1,
                                       static_cast<int>((left + 999) / 1000));
        if (r == kReadFailed) return -1;
        if (r == kReadNoChannel) return 1; // nothing can come
        dev->RxHave += got;
    }
    dev->StaleReplies = 1;
    return 1;
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
 * frames already written still go once the line moves again.  A lost
 * channel leaves nothing paused either. */
int32_t ResetDevice_Lawicel(Device *dev) {
    TraceAt(UNIT_LAWICEL, 208, KORVA_DEBUG_LEVEL_CALL, "ResetDevice_Lawicel");
    uint32_t sent = 0;
    if (dev->ChannelOpen && !AtomicLoad(dev->ChannelLost) && !WriteCommChannel(dev, nullptr, 0, &sent, 1)) {
        TRACE_SYSCALL(UNIT_LAWICEL, 94, "WriteCommChannel");
        TraceStep(210, "WriteData(Device, \"C\\r\", 2, 1)", -1);
        return -1;
    }
    StoreSeqCst(dev->PauseThread, 1);
    WakeReader(dev);
    // The reader answers within one pass; a reader that has ended (or was
    // never started, as for a probed record) is not waited for.
    for (uint32_t looks = 0; AtomicLoad(dev->ThreadAlive) && !LoadSeqCst(dev->ThreadPaused); ++looks)
        PlatSleepMicros(looks < 100 ? 0 : 100);
    int32_t rc = AtomicLoad(dev->ChannelLost) ? KORVA_ERR_NO_DEVICE : WriteData(dev, "C\r", 2, 1);
    if (rc != 0) {
        StoreSeqCst(dev->PauseThread, 0);
        WakeReader(dev);
        if (rc != KORVA_ERR_NO_DEVICE) TraceStep(210, "WriteData(Device, \"C\\r\", 2, 1)", rc);
        return rc;
    }
    if (Quiet(dev))
        Pace(dev);
    else
        dev->ReplyOwed = 1;
    return 0;
}

/* Opens the channel with hardware flow control (when it is closed), opens
 * the adapter's CAN channel by Mode ("L" listen only, "Y", or "O"), takes
 * the reply, and lets the reader thread run, which then sends the frame
 * text held back.  A refused open command is traced; the handle stays
 * usable (an adapter may want a bit rate first). */
int32_t OpenDevice_Lawicel(Device *dev) {
    if (!OpenCommChannel(dev, 1, 1)) return -1;
    if (Quiet(dev)) return OpenQuiet(dev);
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
    TakeOwedReply(dev);
    // The open command goes before any held-back frame text.  Its reply is
    // taken unless the line is out of step (then it cannot be told from a
    // late one, and the next exchange puts the line in step).
    const int32_t rc = WriteData(dev, command, 2, 1);
    if (rc == 0 && !dev->StaleReplies) {
        ReplyWait wait{};
        if (AwaitReply(dev, &wait, kReplyTimeoutMs) == 0 && wait.kind == kReplyRefused)
            TraceAt(UNIT_LAWICEL, 198, kNoteLevel, "%s: the adapter refused the open command %c", dev->SystemName,
                    command[0]);
    }
    StoreSeqCst(dev->PauseThread, 0);
    WakeReader(dev);
    if (rc != 0) {
        TraceStep(line, call, rc);
        return rc;
    }
    return 0;
}

/* Closes the channel; no command goes out (KORVA_Close has sent "C"),
 * except that a quiet adapter opened listen-only is taken out of silent
 * mode: its firmware would keep it, and hosts that never send "M" (as
 * python-can's slcan) would find it deaf. */
int32_t CloseDevice_Lawicel(Device *dev) {
    if (Quiet(dev) && dev->Mode == KORVA_MODE_LISTEN_ONLY && dev->ChannelOpen && !AtomicLoad(dev->ChannelLost) &&
        WriteData(dev, "M0\r", 3, 1) == 0)
        Pace(dev);
    return CloseCommChannel(dev) == 1 ? 0 : -1;
}

/* Bit rate by the adapter's speed code, sent unchanged: "S<code>". */
int32_t SetDeviceSpeed_Lawicel(Device *dev, uint32_t code) {
    if (Quiet(dev) && code >= kSpeedCodes) {
        // The firmware would ignore the code without a word.
        char request[48];
        std::snprintf(request, sizeof request, "speed code %lu", static_cast<unsigned long>(code));
        return RefuseOnQuiet(request);
    }
    char temp[16] = {};
    const int rv = std::snprintf(temp, sizeof temp, "S%lu\r", static_cast<unsigned long>(code));
    return ConfigureWith(dev, temp, static_cast<uint32_t>(rv), 231, {kTempWriteCall, 236, 238}, 243);
}

/* CAN FD data bit rate by its code, sent unchanged: "Y<code>".  A quiet
 * adapter cannot refuse: only the codes of the extension are sent to it.
 * The handle is an FD handle once the adapter took it. */
int32_t SetDeviceDataBitrate_Lawicel(Device *dev, uint32_t code) {
    if (Quiet(dev) && (code > 8 || ((1U << code) & 0x137U) == 0)) { // 0, 1, 2, 4, 5, 8
        char request[48];
        std::snprintf(request, sizeof request, "data bit rate code %lu", static_cast<unsigned long>(code));
        return RefuseOnQuiet(request);
    }
    char temp[16] = {};
    const int rv = std::snprintf(temp, sizeof temp, "Y%lu\r", static_cast<unsigned long>(code));
    const int32_t rc = ConfigureWith(dev, temp, static_cast<uint32_t>(rv), 800, {kTempWriteCall, 801, 802}, 803);
    if (rc == 0) AtomicStore(dev->DataBitrate, static_cast<int32_t>(code) + 1);
    return rc;
}

/* Bit-timing registers: "s<BTR0><BTR1>" in hexadecimal. */
int32_t SetDeviceBTR_Lawicel(Device *dev, const uint8_t *btr) {
    if (Quiet(dev)) {
        // No "s": the registers of a speed code go as that code.
        const int32_t code = SpeedCodeOfBtr(btr);
        if (code >= 0) return SetDeviceSpeed_Lawicel(dev, static_cast<uint32_t>(code));
        char request[64];
        std::snprintf(request, sizeof request, "bit-timing registers %02X%02X other than a speed code's", btr[0],
                      btr[1]);
        return RefuseOnQuiet(request);
    }
    char temp[16] = {};
    const int rv = std::snprintf(temp, sizeof temp, "s%02X%02X\r", btr[0], btr[1]);
    return ConfigureWith(dev, temp, static_cast<uint32_t>(rv), 256, {kTempWriteCall, 261, 263}, 268);
}

/* Acceptance code "M<code>", then, once that was accepted, mask "m<mask>". */
int32_t SetDeviceAccCodeMask_Lawicel(Device *dev, const uint32_t *codeMask) {
    if (Quiet(dev)) return RefuseOnQuiet("acceptance code and mask");
    const int32_t begun = BeginExchange(dev, 312);
    if (begun != 0) return begun;
    char temp[16] = {};
    int rv = std::snprintf(temp, sizeof temp, "M%08X\r", codeMask[0]);
    int32_t rc = dev->StaleReplies ? KORVA_ERR_COMMAND
                                   : CommandStep(dev, temp, static_cast<uint32_t>(rv), {kTempWriteCall, 318, 319});
    if (rc == 0) {
        rv = std::snprintf(temp, sizeof temp, "m%08X\r", codeMask[1]);
        rc = CommandStep(dev, temp, static_cast<uint32_t>(rv), {kTempWriteCall, 325, 326});
    }
    return EndExchange(dev, rc, 330);
}

/* Receive time stamps: "Z1" for any nonzero switch, else "Z0". */
int32_t SetDeviceTimestamp_Lawicel(Device *dev, int32_t on) {
    if (Quiet(dev)) { // no "Z": the reader stamps the frames itself
        AtomicStore(dev->LocalStamps, on ? 1 : 0);
        return 0;
    }
    const ConfigStep step = on ? ConfigStep{"WriteData(Device, \"Z1\\r\", 3, 1)", 347, 351}
                               : ConfigStep{"WriteData(Device, \"Z0\\r\", 3, 1)", 349, 351};
    return ConfigureWith(dev, on ? "Z1\r" : "Z0\r", 3, 342, step, 356);
}

/* Acceptance filter mode: "D1" for mode 2 (single filter), else "D0". */
int32_t SetDeviceFilterMode_Lawicel(Device *dev, int32_t mode) {
    if (Quiet(dev)) return RefuseOnQuiet("acceptance filter mode");
    const ConfigStep step = mode == 2 ? ConfigStep{"WriteData(Device, \"D1\\r\", 3, 1)", 373, 377}
                                      : ConfigStep{"WriteData(Device, \"D0\\r\", 3, 1)", 375, 377};
    return ConfigureWith(dev, mode == 2 ? "D1\r" : "D0\r", 3, 368, step, 382);
}

/* Status flags: sends "F" and waits up to 200 ms for the reader thread to
 * take the reply.  *flags receives the status bytes reported since the
 * last successful call, ORed, plus KORVA_STATUS_BUFFER_OVERRUN when frames
 * were dropped meanwhile.  After the channel was lost there is nobody to
 * ask: the call succeeds at once with what was gathered and
 * KORVA_STATUS_CHANNEL_LOST, on every call from then on.  A quiet adapter
 * has no "F": its flags are those korva gathers itself, at once. */
int32_t GetDeviceFlags_Lawicel(Device *dev, uint32_t *flags) {
    *flags = 0;
    if (AtomicLoad(dev->ChannelLost) || Quiet(dev)) {
        AtomicAndNot(dev->StatusValid, 1U);
        *flags = AtomicExchange(dev->StatusFlags, 0U);
        if (AtomicLoad(dev->ChannelLost)) *flags |= static_cast<uint32_t>(KORVA_STATUS_CHANNEL_LOST);
        return 0;
    }
    const int32_t rc = WriteData(dev, "F\r", 2, 1);
    if (rc != 0) {
        TraceStep(281, "WriteData(Device, \"F\\r\", 2, 1)", rc);
        return rc;
    }
    const int64_t deadline = PlatMonotonicMicros() + kFlagsWaitMicros;
    for (;;) {
        if (AtomicLoad(dev->ChannelLost)) return GetDeviceFlags_Lawicel(dev, flags);
        if (AtomicLoad(dev->StatusValid) & 1U) {
            AtomicAndNot(dev->StatusValid, 1U);
            *flags = AtomicExchange(dev->StatusFlags, 0U);
            return 0;
        }
        if (PlatMonotonicMicros() >= deadline) return -1;
        PlatSleepMicros(kFlagsLookMicros);
    }
}

/* Asks for the serial number ("N") and versions ("V").  Each reply is read
 * with the channel closed afterwards.  "N1234" gives SerialNr 1234;
 * "V1013" HwVersion 0x10 and SwVersion 0x13.  An adapter that answered
 * neither "C" nor "N" is given a second chance as a quiet adapter. */
int32_t GetDeviceSerialNrNVersion_Lawicel(Device *dev) {
    TraceAt(UNIT_LAWICEL, 39, KORVA_DEBUG_LEVEL_CALL, "GetDeviceSerialNrNVersion_Lawicel");
    dev->Dialect = KORVA_DIALECT_FULL;
    // The query starts the conversation afresh: whatever the reset left
    // unanswered is not waited for again.
    const bool resetAnswered = SendQueuedAndTakeInput(dev, false);
    dev->StaleReplies = 0;

    ReplyWait wait{};
    int32_t rc = Query(dev, "N\r", "WriteData(Device, \"N\\r\", 2, 1)", 44, 46, &wait);
    if (rc < 0) return rc;
    if (rc != 0) {
        dev->StaleReplies = 0;
        return resetAnswered || wait.kind != kReplyNone ? -1 : ProbeQuiet(dev);
    }
    uint32_t serialNr = 0;
    if (ParseSerialNrReply_Lawicel(wait.line, wait.length + 1, &serialNr) != 0) return -1;
    dev->SerialNr = serialNr;

    rc = Query(dev, "V\r", "WriteData(Device, \"V\\r\", 2, 1)", 56, 58, &wait);
    if (rc < 0) return rc;
    if (rc != 0) return -1;
    uint8_t hw = 0, sw = 0;
    if (ParseVersionReply_Lawicel(wait.line, wait.length + 1, &hw, &sw) != 0) return -1;
    dev->HwVersion = hw;
    dev->SwVersion = sw;
    return 0;
}

/* Sends queued frame text, takes the reply to a preceding "C" and what
 * else the adapter has sent (frames go to the ring, replies are dropped),
 * and, after a reply that did not come in time, puts the line in step
 * again.  Always 0. */
int32_t FlushReadBuffer_Lawicel(Device *dev) {
    SendQueuedAndTakeInput(dev, true);
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
    if (dev->TxMutexInit && HoldingFrameText(dev) && AtomicLoad(dev->TxCount) != 0 && !AwaitExchangeEnd(dev))
        return KORVA_ERR_SYSTEM;
    uint32_t n = 0;
    if (WriteCommChannel(dev, nullptr, 0, &n, 1)) return 0;
    // A line that broke under this flush is a lost adapter, as for the next call.
    return AtomicLoad(dev->ChannelLost) ? KORVA_ERR_NO_DEVICE : KORVA_ERR_SYSTEM;
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
    .SetDeviceDataBitrate = SetDeviceDataBitrate_Lawicel,
    .WriteFdFrame = WriteFdFrame_Lawicel,
};

} // extern "C"
