/*
 * sysfuncs_lawicel_internal.h - what the three parts of the Lawicel driver
 * share among themselves: the channel (sysfuncs_lawicel_channel.cpp), the
 * commands and configuration exchanges (sysfuncs_lawicel_commands.cpp) and
 * the reader thread with the frame text (sysfuncs_lawicel_reader.cpp).
 *
 * These functions have C linkage but are not exported: the library is
 * built with hidden visibility and only KORVA_PUBLIC names leave it.
 *
 * Who owns the line.  While the reader thread runs, it alone reads the
 * channel and decodes what arrives.  A configuration exchange pauses it
 * (PauseThread/ThreadPaused) and from then on reads the line itself, with
 * the same buffer (RxLine, RxHave bytes held) and the same decoder, so that
 * frames that arrive during the exchange are stored and bytes read past a
 * reply are left for the reader.  The pause handshake's sequentially
 * consistent words order every access to RxLine and RxHave.
 */
#ifndef KORVA_SYSFUNCS_LAWICEL_INTERNAL_H
#define KORVA_SYSFUNCS_LAWICEL_INTERNAL_H

#include "sysfuncs_lawicel.h"

#include <atomic>

/* The longest line of the protocol: 142 characters before its carriage
 * return, a 64-byte FD frame with extended identifier and time stamp (a
 * 143-character text without one is garbage). */
constexpr uint32_t kLineMax = RX_LINE_SIZE - 2;
/* Text bytes RxLine holds; a NUL goes after them. */
constexpr uint32_t kRxRoom = RX_BUF_SIZE - 1;
/* The longest transmit command: a 64-byte FD frame, extended. */
constexpr uint32_t kMaxFrameText = 1 + 8 + 1 + 128 + 1;
/* Queued frame text never exceeds this. */
constexpr uint32_t kTxRoom = TX_BUF_SIZE - 1;
constexpr int kSliceMs = 2; // the retry slice of a line that does not take text
/* Longest wait for a reply: as long as the ten attempts of a read
 * transfer used to take.  A responsive adapter answers in microseconds;
 * only a silent one costs this. */
constexpr int kReplyTimeoutMs = 120;
constexpr int64_t kWriteBudgetMicros = 1000000;     // a write not done within this has stalled
constexpr int64_t kTimedFlushBudgetMicros = 20000;  // the reader's own flush never holds it up longer
constexpr int32_t kNoteLevel = KORVA_DEBUG_LEVEL_CALL + 1; // shown with the call traces, as "--- "

/* The pause handshake is a store on one side followed by a load of the
 * other side's word, on both sides; only sequentially consistent accesses
 * make sure that at least one side sees the other's store. */
inline void StoreSeqCst(int32_t &word, int32_t value) {
    std::atomic_ref<int32_t>(word).store(value, std::memory_order_seq_cst);
}
inline int32_t LoadSeqCst(int32_t &word) { return std::atomic_ref<int32_t>(word).load(std::memory_order_seq_cst); }

inline bool Quiet(const Device *dev) { return dev->Dialect == KORVA_DIALECT_QUIET; }

/* What one read of the line brought. */
enum ReadOutcome {
    kReadGot,        // bytes arrived (count > 0)
    kReadWoken,      // the wake-up ended the wait: nothing was read
    kReadTimedOut,   // the wait ended without the line becoming readable
    kReadNothing,    // readable, but nothing to take (a spurious readiness)
    kReadNoChannel,  // no descriptor to read (a serial line while IsLinux is 0)
    kReadFailed      // the wait or the read failed; a lost channel is marked
};

/* What a command's sender waits for. */
enum ReplyKind {
    kReplyNone,     // nothing yet
    kReplyAccepted, // a carriage return at the start of a line
    kReplyRefused,  // BEL
    kReplyLine      // a line of text (only when a line is asked for)
};
struct ReplyWait {
    bool wantLine;      // a query: the first line of any kind is the reply
    char wantLetter;    // when set, only a line that starts with it is the reply;
                        // BEL and carriage returns before it are skipped
    ReplyKind kind;     // what came
    char line[RX_LINE_SIZE];
    uint32_t length;    // of line, without its carriage return
};

extern "C" {

/* ---- channel (sysfuncs_lawicel_channel.cpp) ---- */
/* The descriptor of the record's transport; false for a serial line while
 * IsLinux is 0. */
bool ChannelDescriptor(const Device *dev, int *fd, int *isSocket);
/* Waits up to timeoutMs (< 0: without limit) for the line to become
 * readable or wakeFd (>= 0) to be signalled, then reads once, at most room
 * bytes, whatever the system holds: it never waits for more. */
ReadOutcome ReadOnce(Device *dev, char *buffer, uint32_t room, uint32_t *count, int wakeFd, int timeoutMs);
/* RxLine of a record that has none yet (a probed record); false when it
 * cannot be allocated. */
bool EnsureRxBuffer(Device *dev);
/* Wakes the reader thread of a registered record. */
void WakeReader(Device *dev);
/* The reader's wait away from the line: until woken, or timeoutMs. */
void AwaitWake(Device *dev, int timeoutMs);
/* The reader's flush of queued frame text: short, keeping what did not go. */
void FlushQueuedBriefly(Device *dev);
/* True while an exchange holds frame text back (the adapter's CAN channel
 * is closed). */
bool HoldingFrameText(Device *dev);
/* Waits, TxMutex not held, until no exchange holds frame text back; false
 * after the write budget or when the channel is lost. */
bool AwaitExchangeEnd(Device *dev);
/* Drops the queued frame text of a lost channel. */
void DropQueued(Device *dev);
/* Closes a lost channel's descriptor and drops what was queued for it
 * (counted in DroppedFrames), so that it can be opened again. */
void ForgetLostChannel(Device *dev);

/* ---- received text (sysfuncs_lawicel_reader.cpp) ---- */
/* Decodes the first total bytes of RxLine: frame lines go to the ring,
 * status lines to the status words, replies are dropped, or, with wait
 * given, the first reply is handed to it and decoding stops right after
 * it.  What was not decoded (an incomplete last line; with a reply found,
 * everything after it) moves to the start of RxLine; returns its length.
 * stamp is the host time stamp for adapters that send none. */
uint32_t DecodeRxText(Device *dev, uint32_t total, ReplyWait *wait, uint16_t stamp);
/* korva's own time stamp of a frame read now: milliseconds modulo 60000. */
uint16_t LocalStamp(void);

/* ---- replies (sysfuncs_lawicel_commands.cpp) ---- */
/* Waits for the reply to the command just sent, at most timeoutMs: 0 with
 * wait->kind set, 1 when none came in time (the record then expects a late
 * reply: the next exchange drains the line until it is quiet), -1 when the
 * read failed.  The reader thread must be paused or absent. */
int32_t AwaitReply(Device *dev, ReplyWait *wait, int timeoutMs);
/* Makes the handle's settings again on an adapter found again after its
 * channel was lost, in the order they were made, and opens its CAN channel
 * in the handle's mode.  0, or the failed step's result (the channel is
 * closed again then). */
int32_t ReapplySettings_Lawicel(Device *dev);

} // extern "C"

#endif
