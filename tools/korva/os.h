// os.h - what the korva tool does differently on each operating system:
// stop requests (signals, or Ctrl-C at a console), the receive event that
// korva_api releases once per stored frame, the adapter names the system
// has and the candidates "korva list" probes, and the clocks.  One file per
// system defines these (os_posix.cpp, os_win32.cpp); the subcommands use
// nothing else of the system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korva_tool {

// ---- help texts that name the system's adapters
extern const char kOsListLine[];       // the "list" line of korva --help
extern const char kOsSimLines[];       // the "sim" and "demo" lines of korva --help
extern const char kOsAdapterHelp[];    // what ADAPTER may be, for korva --help
extern const char kOsListHelp[];       // korva list --help; a format taking the --trace help
extern const char kOsDeviceExamples[]; // device names in error messages: "ttyUSB0, /dev/ttyS1, can0"
extern const char kOsExampleAdapter[]; // the device in examples of the help: "ttyUSB0"
extern const char kOsExampleAdapter2[]; // a second one, for examples with two: "ttyUSB1"
extern const char kOsExamplePath[];    // the same with its full path: "/dev/ttyUSB0"
extern const char kOsScanPlace[];      // where a serial number is looked for: "in /dev"

// ---- the receive event: released by the library once per stored frame,
// and by a stop request.
struct RcvEvent;

// A new event, or nullptr after a one-line message for cmd.
RcvEvent *CreateRcvEvent(const char *cmd);
// What KORVA_SetRcvEvent takes: the sem_t on POSIX, the semaphore HANDLE on
// Windows.
void *RcvEventHandle(RcvEvent *event);
// Waits until the event was released or a stop was requested, at most
// timeoutMs (negative: no limit), and takes every release that is pending:
// the read that follows collects all frames.  False when the time ran out.
bool WaitRcvEvent(RcvEvent *event, int timeoutMs);
void DestroyRcvEvent(RcvEvent *event);

// ---- stop requests
// SIGINT and SIGTERM (Ctrl-C, Ctrl-Break and closing the console on
// Windows) set StopRequested() and release wake (may be null), so a wait
// for frames ends at once.  SIGPIPE is ignored.  Called with nullptr
// before wake is destroyed.
void InstallStopSignals(RcvEvent *wake);
bool StopRequested();

// KORVA_Open, with the stop requests kept away from the library's reader
// thread so that they end the waits of the calling thread.
int32_t OpenWithStopSignalsBlocked(const char *name, int32_t mode);

// ---- adapter names
// The kind korva_api gives a name (its ClassifyDeviceName): DEVTYPE_SERIAL,
// DEVTYPE_USB, DEVTYPE_OCERA or DEVTYPE_NET for a location, DEVTYPE_NONE
// for a location that names no adapter, -1 for a serial number.
int32_t ClassifyAdapterName(const char *name);
// Whether name, which the library takes as a device, is one this system
// has.  False with the reason in *why ("/dev/ttyS9: No such file or
// directory").
bool DeviceExists(const std::string &name, std::string *why);

// Whether name, a device the library could not open, is one this user may
// not open.  True with what the user can do about it in *why ("permission
// denied on /dev/ttyUSB0 (group dialout): ...").  The library reports such
// a device as not found; the system's answer is asked here.
bool DeviceAccessDenied(const std::string &name, std::string *why);

// The devices "korva list" probes when given no names: those in dir, or
// when dir is empty the system's own (/dev on POSIX, the COM ports on
// Windows), in a natural order.  *place says where, for messages ("in
// /dev").  Returns 0, or an exit status after a one-line message.
int ListCandidates(const std::string &dir, std::vector<std::string> *names, std::string *place);

// ---- clocks
// Nanoseconds of a monotonic clock.
int64_t MonotonicNanos();
// Sleeps until MonotonicNanos() reaches due; false when a stop request
// ended the sleep early.
bool SleepUntil(int64_t due);
// The wall-clock time: seconds and microseconds since 1970.
void WallClock(int64_t *seconds, int32_t *micros);

// ---- binary output
// Standard output takes bytes unchanged (Windows would turn a line feed
// into CR LF); a no-op on POSIX.
void SetStdoutBinary();

} // namespace korva_tool
