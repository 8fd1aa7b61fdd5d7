/*
 * peak_functions.cpp - the PEAK "Lite" interface functions over korva_api:
 * record and flag conversions, the identifier filter, the read path and the
 * receive notification thread.
 *
 * Received frames reach the application on two paths: CAN_ReadEx reads
 * korva_api itself, and, once CAN_SetRcvEvent has given an event, the
 * notification thread moves frames from korva_api into the mapper's FIFO
 * and sets the event while any wait there.  The FIFO is bounded and the
 * thread reads only as many frames as it has room for, so a slow
 * application leaves frames in korva_api's receive ring rather than losing
 * them.  OsLock guards the FIFO; the thread holds it across its KORVA_Read
 * and the push, and CAN_ReadEx across "take from the FIFO, or else
 * KORVA_Read", so a frame is never lost, delivered twice, delivered out of
 * order or taken half-written.
 */
#include "mapper.h"
#include "mapper_os.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// Room for about half a second of a 1 Mbit/s bus loaded with 8-byte frames
// (some 8 000 frames/s) on top of korva_api's own ring of 10 000, for an
// application that reads in bursts; 64 KiB.
constexpr uint32_t kFifoSize = 4096;
// Frames moved per pass at most: KORVA_Read zeroes the whole room it is
// given, so each pass asks for no more than a bus can bring in a few
// passes (256 per millisecond is far above any CAN bus).
constexpr uint32_t kNotifyBatch = 256;
constexpr uint32_t kNotifyPollMs = 1;       // pause between two passes while frames come
constexpr int kNotifyEarlyWakes = 4;        // batches that may come before a pass while frames wait
constexpr uint32_t kNotifyStopMs = 5000;    // bound of waiting for the thread to end or park

constexpr char kMakerLine[] = "korva CAN adapter library, korva project";

CanMsg Fifo[kFifoSize];   // frames the notification thread has read, oldest at FifoHead
uint32_t FifoHead = 0;    // under OsLock
std::atomic<uint32_t> FifoCount{0}; // changed under OsLock; the notification thread peeks without it

// The identifier kind CAN_Write gives frames whose MsgType does not say.
uint8_t DefaultFrameFlag = KORVA_FLAG_STANDARD;

// Identifier ranges CAN_ReadEx withholds; 0 counts as unset.
uint32_t StdFilterLow = 0, StdFilterHigh = 0, ExtFilterLow = 0, ExtFilterHigh = 0;

// The application's event; read by the notification thread on every pass.
std::atomic<void *> NotifyEvent{nullptr};

// The signal the notification thread sleeps on (mapper_os.h), given to the
// open channel with KORVA_SetRcvEvent so that korva_api raises it as it
// stores frames; made at the first CAN_SetRcvEvent and kept for the
// process, so that no channel ever raises one that is gone.
OsSignal *NotifySignal = nullptr;
// A notification thread could not be stopped: it still runs and may use
// NotifySignal, so that stays for good, as does the thread's own block.
bool NotifyAbandoned = false;

// What the notification thread is asked to do.
enum NotifyCommand : int {
    kNotifyRun,  // poll korva_api
    kNotifyStop, // return from the loop
    kNotifyPark, // wait in OsPark until ended there (DLL unload)
};

// How far a notification thread has come.
enum NotifyState : int {
    kNotifyNew,     // created, not yet in NotifyLoop
    kNotifyRunning, // in NotifyLoop
    kNotifyParked,  // about to wait in OsPark, holding nothing
    kNotifyClaimed, // taken over by the unload before it started: it touches nothing
};

// One notification thread.  Freed by whoever stops the thread; a thread
// that does not end in time keeps its block, which it may still read.
struct NotifyControl {
    std::atomic<int> Command{kNotifyRun};
    std::atomic<int> State{kNotifyNew};
    OsThread *Thread = nullptr;
    OsSignal *Signal = nullptr; // NotifySignal
    bool Armed = false;         // korva_api raises Signal; else the thread polls
};

NotifyControl *Notify = nullptr; // the running notification thread, or null

// Moves what korva_api holds, as far as the FIFO has room, into the FIFO.
// True when frames wait there afterwards.
bool NotifyPass() {
    OsLock();
    const int32_t handle = ChannelHandle.load();
    if (handle > 0 && FifoCount < kFifoSize) {
        // Read straight into the free run after the newest frame.
        const uint32_t tail = (FifoHead + FifoCount) % kFifoSize;
        const uint32_t room = std::min({kFifoSize - FifoCount, kFifoSize - tail, kNotifyBatch});
        uint32_t got = 0;
        Api.Read(handle, &Fifo[tail], room, &got);
        FifoCount += std::min(got, room);
    }
    const bool pending = FifoCount > 0;
    OsUnlock();
    return pending;
}

// Makes the thread's wait end: a command, or a channel to look at.
void Nudge(NotifyControl *n) { OsSignalRaise(n->Signal); }

// Hands the signal to the open channel, so that korva_api raises it as it
// stores frames, and lets the thread look once for frames that came before.
void ArmNotify() {
    if (!Notify) return;
    if (Notify->Armed) {
        OsLock();
        const int32_t handle = ChannelHandle.load();
        if (handle > 0) Api.SetRcvEvent(handle, OsSignalHandle(Notify->Signal));
        OsUnlock();
    }
    Nudge(Notify);
}

// The notification thread.  It looks at its command only between passes,
// where it holds no lock of the mapper or of korva_api.  While frames wait
// in the FIFO it passes every millisecond; once none waits it sleeps until
// korva_api raises the signal for a new frame, or a command or a new
// channel nudges it (without KORVA_SetRcvEvent it polls every
// millisecond).  The wait takes the signal before the pass: a frame stored
// during the pass raises it again, so none is slept through.
void NotifyLoop(void *arg) {
    NotifyControl *self = static_cast<NotifyControl *>(arg);
    int state = kNotifyNew;
    if (!self->State.compare_exchange_strong(state, kNotifyRunning)) return;
    for (;;) {
        const int command = self->Command.load();
        if (command == kNotifyStop) {
            // A thread that took too long to stop may have taken a raise
            // meant for its successor on the same signal: it hands one on.
            OsSignalRaise(self->Signal);
            return;
        }
        if (command == kNotifyPark) {
            self->State.store(kNotifyParked);
            OsPark();
        }
        // Set on every pass that leaves frames waiting, so that an
        // application reading one frame per wake-up still drains the FIFO.
        const bool pending = NotifyPass();
        if (!pending) {
            OsSignalWait(self->Signal, self->Armed ? OS_WAIT_FOREVER : kNotifyPollMs);
            continue;
        }
        if (void *event = NotifyEvent.load()) OsSetEvent(event);
        // The application has frames to take: the thread looks again after
        // a millisecond, to set its event once more, or as soon as new
        // frames come once it has taken all of the FIFO (a reply to its
        // request).  New frames while it is still taking them wait a few
        // batches, so that the thread does not contend with it for the lock
        // at every batch of a flood.
        for (int early = 0; OsSignalWait(self->Signal, kNotifyPollMs) && early < kNotifyEarlyWakes &&
                            FifoCount.load() > 0 && self->Command.load() == kNotifyRun;
             ++early) {
        }
    }
}

void FreeNotify(NotifyControl *n) { delete n; }

// Whether the identifier filter withholds a frame read from korva_api.
bool Withheld(const CanMsg &m) {
    if (m.Flags & KORVA_FLAG_EXTENDED) return ExtFilterLow <= m.Identifier && m.Identifier <= ExtFilterHigh;
    return StdFilterLow <= m.Identifier && m.Identifier <= StdFilterHigh;
}

// CAN_Write's Flags from the frame's MsgType: the whole value names a
// remote, an extended or (any other value) a standard frame; then the
// remote bit adds KORVA_FLAG_REMOTE, and the extended bit
// KORVA_FLAG_EXTENDED or, when clear, the CAN_Init default.
uint8_t FlagsOf(uint8_t msgType) {
    uint8_t flags = msgType == PEAK_MSGTYPE_RTR        ? KORVA_FLAG_REMOTE
                    : msgType == PEAK_MSGTYPE_EXTENDED ? KORVA_FLAG_EXTENDED
                                                       : KORVA_FLAG_STANDARD;
    if (msgType & PEAK_MSGTYPE_RTR) flags |= KORVA_FLAG_REMOTE;
    flags |= (msgType & PEAK_MSGTYPE_EXTENDED) ? KORVA_FLAG_EXTENDED : DefaultFrameFlag;
    return flags;
}

// Writes the 14 bytes of a PeakMsg that carry the frame; the caller's
// record may be packed (no padding) and unaligned.
void PutPeakMsg(PeakMsg *to, const PeakMsg &from) { std::memcpy(to, &from, PEAK_MSG_BYTES); }

} // namespace

extern "C" {

uint32_t PendingFrames(void) {
    OsLock();
    const uint32_t n = FifoCount;
    OsUnlock();
    return n;
}

void StopNotifyThread(int unloading) {
    NotifyControl *n = Notify;
    if (!n) return;
    Notify = nullptr;
    if (!unloading) {
        n->Command.store(kNotifyStop);
        Nudge(n);
        if (OsThreadJoin(n->Thread, kNotifyStopMs)) FreeNotify(n);
        // Otherwise it is still inside korva_api; it returns at its next look
        // at its command, and its block and the signal stay with it.
        else NotifyAbandoned = true;
        return;
    }
    // Waiting for a thread to end would deadlock on the loader lock (the
    // end of a thread needs it); a thread parked in a wait of its own holds
    // nothing and can be ended there.  A thread created just before the
    // unload may not have started yet (its start needs the loader lock as
    // well): it is claimed, so that it never enters the loop, and ended.
    int state = kNotifyNew;
    if (!n->State.compare_exchange_strong(state, kNotifyClaimed)) {
        n->Command.store(kNotifyPark);
        Nudge(n);
        for (uint32_t waited = 0; n->State.load() != kNotifyParked && waited < kNotifyStopMs; ++waited) OsSleep(1);
    }
    state = n->State.load();
    if (state == kNotifyParked || state == kNotifyClaimed) {
        OsThreadKillParked(n->Thread);
        FreeNotify(n);
        return;
    }
    // A thread that did not come to park runs on: it keeps what it uses,
    // the mapper's code and data included, rather than run in unloaded code.
    NotifyAbandoned = true;
    OsPinModule();
}

void ReleaseNotifyResources(void) {
    // Left for good while a thread that could not be stopped may use it.
    if (NotifyAbandoned) return;
    if (NotifySignal) OsSignalDestroy(NotifySignal);
    NotifySignal = nullptr;
}

uint32_t PEAK_CALL CAN_Init(uint32_t btr0btr1, int32_t frameType) {
    // One channel per process: a channel left open by an earlier CAN_Init
    // would go on being read by its own reader.  Frames already in the FIFO
    // stay there and are delivered.
    CloseChannel();
    const int32_t handle = OpenConfiguredChannel();
    ChannelHandle.store(handle);
    if (handle <= 0) return PEAK_RESULT_INIT_FAILED;
    ArmNotify();
    uint8_t btr[2] = {static_cast<uint8_t>(btr0btr1 >> 8), static_cast<uint8_t>(btr0btr1)};
    if (Api.Ioctl(handle, KORVA_IOCTL_SET_BTR, btr) != 0) return PEAK_RESULT_INIT_FAILED;
    if (Api.Ioctl(handle, KORVA_IOCTL_SET_TIMESTAMP, KORVA_IOCTL_INT(1)) != 0) return PEAK_RESULT_INIT_FAILED;
    DefaultFrameFlag = frameType == PEAK_INIT_STANDARD ? KORVA_FLAG_STANDARD : KORVA_FLAG_EXTENDED;
    return PEAK_RESULT_OK;
}

uint32_t PEAK_CALL CAN_Close(void) {
    StopNotifyThread(0);
    CloseChannel();
    return PEAK_RESULT_OK;
}

uint32_t PEAK_CALL CAN_Status(void) { return PEAK_RESULT_OK; }

uint32_t PEAK_CALL CAN_Write(const PeakMsg *msg) {
    if (!msg) return PEAK_RESULT_SEND_FAILED;
    PeakMsg in;
    std::memcpy(&in, msg, PEAK_MSG_BYTES);
    CanMsg out{};
    out.Identifier = in.Id;
    out.Length = in.Len;
    std::memcpy(out.Data, in.Data, sizeof out.Data);
    out.Flags = FlagsOf(in.MsgType);
    uint32_t written = 0;
    if (Api.Write(ChannelHandle.load(), &out, 1, &written) != 0) return PEAK_RESULT_SEND_FAILED;
    return written == 0 ? PEAK_RESULT_NOT_SENT : PEAK_RESULT_OK;
}

uint32_t PEAK_CALL CAN_Read(PeakMsg *msg) { return CAN_ReadEx(msg, nullptr); }

uint32_t PEAK_CALL CAN_ReadEx(PeakMsg *msg, PeakTimestamp *stamp) {
    // Without a record to fill, nothing is taken: no frame is lost.
    if (!msg) return PEAK_RESULT_RX_EMPTY;
    CanMsg m{};
    bool got = false;
    bool fromFifo = false;
    OsLock();
    if (FifoCount > 0) {
        m = Fifo[FifoHead];
        FifoHead = (FifoHead + 1) % kFifoSize;
        --FifoCount;
        got = fromFifo = true;
    } else {
        uint32_t n = 0;
        got = Api.Read(ChannelHandle.load(), &m, 1, &n) == 0 && n > 0;
    }
    OsUnlock();
    // Frames that the notification thread handed over are not filtered.
    PeakMsg out{};
    if (!got || (!fromFifo && Withheld(m))) {
        PutPeakMsg(msg, out);
        return PEAK_RESULT_RX_EMPTY;
    }
    out.Id = m.Identifier;
    out.MsgType = static_cast<uint8_t>(((m.Flags & KORVA_FLAG_REMOTE) ? PEAK_MSGTYPE_RTR : 0) |
                                       ((m.Flags & KORVA_FLAG_EXTENDED) ? PEAK_MSGTYPE_EXTENDED : 0));
    out.Len = m.Length;
    std::memcpy(out.Data, m.Data, sizeof out.Data);
    PutPeakMsg(msg, out);
    if (stamp) {
        PeakTimestamp t{};
        t.Stamp = m.TimeStamp; // as delivered, with or without KORVA_FLAG_TIMESTAMP
        std::memcpy(stamp, &t, sizeof t);
    }
    return PEAK_RESULT_OK;
}

uint32_t PEAK_CALL CAN_SetRcvEvent(void *event) {
    NotifyEvent.store(event);
    // Null only stops the signalling; a running thread goes on filling the FIFO.
    if (!event) return PEAK_RESULT_OK;
    StopNotifyThread(0);
    NotifyControl *n = new (std::nothrow) NotifyControl;
    if (!n) return PEAK_RESULT_THREAD_FAILED;
    if (!NotifySignal) NotifySignal = OsSignalCreate();
    n->Signal = NotifySignal;
    n->Armed = Api.SetRcvEvent != nullptr;
    if (n->Signal) n->Thread = OsThreadStart(NotifyLoop, n);
    if (!n->Thread) {
        FreeNotify(n);
        return PEAK_RESULT_THREAD_FAILED;
    }
    Notify = n;
    ArmNotify();
    return PEAK_RESULT_OK;
}

uint32_t PEAK_CALL CAN_VersionInfo(char *text) {
    if (text) {
        std::strcpy(text, ModuleName);
        std::strcat(text, " Mapper\n");
        std::strcat(text, kMakerLine);
    }
    return PEAK_RESULT_OK;
}

uint32_t PEAK_CALL CAN_DLLVersionInfo(char *text) {
    if (text) std::memcpy(text, "2.03", 5);
    return PEAK_RESULT_OK;
}

uint32_t PEAK_CALL CAN_ResetClient(void) {
    Api.Flush(ChannelHandle.load());
    return PEAK_RESULT_OK;
}

uint32_t PEAK_CALL CAN_MsgFilter(uint32_t first, uint32_t last, int32_t frameType) {
    const bool extended = frameType == PEAK_FILTER_EXTENDED;
    uint32_t &low = extended ? ExtFilterLow : StdFilterLow;
    uint32_t &high = extended ? ExtFilterHigh : StdFilterHigh;
    if (low == 0 || first < low) low = first;
    if (high == 0 || last > high) high = last;
    return PEAK_RESULT_OK;
}

uint32_t PEAK_CALL CAN_ResetFilter(void) {
    StdFilterLow = StdFilterHigh = ExtFilterLow = ExtFilterHigh = 0;
    return PEAK_RESULT_OK;
}

uint32_t PEAK_CALL SetUSBDeviceNr(uintptr_t) { return PEAK_RESULT_OK; }

} // extern "C"
