// tool.h - what the subcommands of the korva tool share: error reporting,
// the adapter options, opening and configuring an adapter through the
// public korva_api interface.  What differs between operating systems is
// in os.h.
#pragma once

#include "korva_api.h"
#include "os.h"

#include <cstdint>
#include <string>
#include <vector>

#include <getopt.h>

namespace korva_tool {

// Exit statuses of every subcommand.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1; // the adapter, the library or the system failed
constexpr int kExitUsage = 2;   // the command line is wrong

// Prints "korva CMD: MESSAGE" on standard error, one line.
[[gnu::format(printf, 2, 3)]] void Complain(const char *cmd, const char *fmt, ...);
// Complain() and return kExitUsage, pointing at the subcommand's help.
[[gnu::format(printf, 2, 3)]] int UsageError(const char *cmd, const char *fmt, ...);

// Why a library call failed, in words for a person, followed by the
// library's own text: "the adapter refused the command (The command failed.)".
std::string Reason(int32_t rc);
// The library's text for an error code: "No device was found."
std::string ErrorText(int32_t code);

// Adapter settings taken from the command line, applied after opening.
struct AdapterConfig {
    bool setSpeed = false;
    int32_t speed = 0;          // speed code, "S0".."S8"
    bool setBtr = false;
    uint8_t btr[2] = {};        // BTR0, BTR1
    bool setCode = false;
    bool setMask = false;
    uint32_t accCode = 0;       // acceptance code (default: all frames)
    uint32_t accMask = 0xFFFFFFFF;
    bool setDataBitrate = false;
    int32_t dataBitrate = 0;    // CAN FD data bit rate code, "Y0".."Y8"
    bool timestamps = false;    // adapter time stamps on received frames
    bool listenOnly = false;    // open without transmitting
    bool reconnect = false;     // open the adapter again when it is lost
    int32_t traceLevel = 0;     // library trace threshold, 0 = off
};

// Long options shared by the subcommands that open an adapter; their ids
// are above the range of short option characters.
enum : int {
    kOptBtr = 0x100,
    kOptAccCode,
    kOptAccMask,
    kOptTimestamps,
    kOptListenOnly,
    kOptTrace,
    kOptDir,
    kOptRate,
    kOptCount,
    kOptKeep,
    kOptPcap,
    kOptSpeed,
    kOptLoop,
    kOptNoTiming,
    kOptStrict,
    kOptReconnect,
    kOptDataBitrate,
};

// Handles one adapter option (-b, --btr, --data-bitrate, --acc-code,
// --acc-mask, --timestamps, --listen-only, --trace).  Returns 1 when it took the option,
// 0 when the option is not one of these, kExitUsage (after a message) for a
// bad value.
int TakeAdapterOption(const char *cmd, int opt, const char *arg, AdapterConfig *config);

// The help text lines for the options above.
extern const char kAdapterOptionsHelp[];
extern const char kTraceOptionHelp[];

// Switches the library's trace on (to standard error) when asked.
void ApplyTrace(const AdapterConfig &config);

// Refuses names the library cannot take as an adapter (a name that is
// neither a device, host:port nor a decimal serial number) and device
// paths that do not exist, with a one-line error.
bool CheckAdapterName(const char *cmd, const std::string &name);

// Opens the adapter by name, refusing names the library cannot take as an
// adapter, with a one-line error naming the adapter and the reason.
// Returns the handle, or 0 after the message.
int32_t OpenAdapter(const char *cmd, const std::string &name, int32_t mode);

// Applies bit rate, bit timing, data bit rate, acceptance code and mask and
// time stamps in that order.  Returns true, or false after a one-line message.
bool ConfigureAdapter(const char *cmd, int32_t handle, const AdapterConfig &config);

// Follows the outages of a handle that reconnects: WatchLink says on
// standard error when the adapter was lost and when it came back.
struct LinkWatch {
    int32_t handle = 0;
    std::string name;
    LinkStats seen{};     // the counters at the last look
    int64_t lostAtNs = 0; // MonotonicNanos() when the loss was seen
};
extern const char kReconnectOptionHelp[];
// Looks at the handle's link counters and prints a line for each loss and
// return since the last look.  True while the adapter is lost.
bool WatchLink(const char *cmd, LinkWatch *watch);

// Opens the adapters by name (OpenAdapter) and configures each
// (ConfigureAdapter), in the given mode; every name is checked before any
// adapter is opened.  True with the handles in the order of names, or false
// after a one-line message, with the adapters opened so far closed again.
bool OpenAdapters(const char *cmd, const std::vector<std::string> &names, int32_t mode, const AdapterConfig &config,
                  std::vector<int32_t> *handles);
void CloseAdapters(const std::vector<int32_t> &handles);

// getopt_long over argv[1..] of a subcommand: reports unknown options and
// missing values as usage errors.  Returns the option, -1 at the end, or
// '?' after printing the error.
int NextOption(const char *cmd, int argc, char **argv, const char *shortOpts, const option *longOpts);

// The subcommands; argv[0] is the subcommand's name.
int CmdList(int argc, char **argv);
int CmdInfo(int argc, char **argv);
int CmdDump(int argc, char **argv);
int CmdSend(int argc, char **argv);
int CmdSim(int argc, char **argv);
int CmdDemo(int argc, char **argv);
int CmdReplay(int argc, char **argv);
int CmdServe(int argc, char **argv);

} // namespace korva_tool
