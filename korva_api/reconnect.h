/*
 * reconnect.h - what both drivers use to open a lost adapter again: the
 * settings a handle was given, the pause between attempts, finding the same
 * adapter again (by name, or by serial number among the adapters discovery
 * finds) and the end of an outage.
 *
 * C linkage, not exported (the library is built with hidden visibility).
 */
#ifndef KORVA_RECONNECT_H
#define KORVA_RECONNECT_H

#include "sysfuncs.h"

extern "C" {

/* Milliseconds between two attempts to open a lost adapter again. */
constexpr int kReconnectPauseMs = 500;

/* Keeps a setting that the adapter accepted (KORVA_Ioctl, ConfigMutex
 * held): a later setting of the same kind replaces it and moves to the
 * end, so Settings holds each kind once, in the order last made.  Requests
 * that are no setting are ignored. */
void RememberSetting(Device *dev, uint32_t request, const void *argument);

/* The reader of a lost channel opens its adapter again: every
 * kReconnectPauseMs (sleeping on the handle's wake-up) it runs the driver's
 * attempt under ConfigMutex, like any exchange, and ends the outage when
 * the attempt brings the adapter back (counted, traced, the handle usable
 * again).  An attempt that finds the mutex taken (a request failing at
 * once on the lost channel) waits for the next.  true when the adapter is
 * back; false when a stop, a pause or reconnection switched off wants the
 * caller's attention. */
bool ReconnectUntilBack(Device *dev, bool (*attempt)(Device *dev));

/* Looks for the handle's adapter: at the handle's name, then (for a handle
 * found by serial number) among the adapters discovery finds.  The one
 * found has the handle's serial number and dialect; its location becomes
 * the handle's and its channel is left closed.  A different adapter is
 * passed over with a trace line.  Called by the reader with ConfigMutex
 * held. */
bool FindAdapterAgain(Device *dev);

/* Gives the registered record another system name, under the lock that
 * HandleOfSystemName takes: other threads look names up meanwhile. */
void RenameDevice(Device *dev, const char *systemName);

/* The number of frame lines in queued transmit text. */
uint32_t FramesInText(const char *text, uint32_t length);

} // extern "C"

#endif
