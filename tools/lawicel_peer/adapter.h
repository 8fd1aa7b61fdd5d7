// adapter.h - the adapter side of the Lawicel command protocol: the CAN
// channel state, the settings, and the reply to every command line.
//
// Pure protocol logic: no descriptors, no clock.  The simulator's event loop
// and each session of "korva serve" feed it one command line at a time
// (without the carriage return) and send the reply they get back.
#pragma once

#include "frame_text.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lawicel_peer {

// What the adapter reports about itself.
struct Identity {
    std::string serial = "1234"; // text after "N" in the serial number reply
    uint8_t hw = 0x10;           // hardware version, first two digits of the "V" reply
    uint8_t sw = 0x13;           // software version, last two digits of the "V" reply
    uint8_t status = 0x00;       // status byte of the "F" reply
    // The quiet dialect's answer to "V", without its carriage return.
    std::string versionText = "b8e6cdd git://example.invalid/usb-can-fw.git";
};

// Which firmware the adapter plays.
enum class Dialect {
    Full,  // the whole Lawicel command set, every command answered
    Quiet, // slcan firmware that answers no command but "V"
    Fd,    // Full, and the slcan CAN FD extension: "Yn", "d", "D", "b", "B"
    QuietFd, // Quiet, and the CAN FD extension (taken without replies)
};

inline bool IsQuiet(Dialect d) { return d == Dialect::Quiet || d == Dialect::QuietFd; }
inline bool SpeaksFd(Dialect d) { return d == Dialect::Fd || d == Dialect::QuietFd; }

class Adapter {
public:
    // The result of one command line.
    struct Outcome {
        std::string reply;             // bytes for the host: "\r", "\a", "z\r", "F00\r", ...
        bool refused = false;          // the reply is BEL
        bool ignored = false;          // quiet dialect: the command did nothing
        std::optional<Frame> transmit; // frame the host put on the bus
        std::string event;             // state or setting change for the event log, or empty
    };

    Identity identity;
    Dialect dialect = Dialect::Full;

    // Executes one command line (without its carriage return).
    //  - "" (an empty line) is accepted and does nothing;
    //  - "S0".."S8", "sXXYY", "Mxxxxxxxx", "mxxxxxxxx", "Z0"/"Z1", "D0"/"D1"
    //    are accepted only while the CAN channel is closed;
    //  - "O", "L" (listen-only), "Y" open the channel, refused when it is open;
    //  - "C" closes it (accepted in either state);
    //  - "t", "T", "r", "R" of the exact shape transmit a frame while the
    //    channel is open and not listen-only; the reply is "z\r" or "Z\r";
    //  - "F", "N", "V" answer with status, serial number and versions;
    //  - everything else gets BEL.
    // The fd dialect adds "Y0", "Y1", "Y2", "Y4", "Y5", "Y8" (data bit
    // rate, while closed) and transmits "d", "D", "b", "B" lines; the
    // others refuse "Yn" and FD lines.
    //
    // The quiet dialect answers nothing but "V" (identity.versionText) and
    // knows only "O", "C", "S0".."S8", "M0"/"M1" (silent mode off/on) and
    // "A0"/"A1" (automatic retransmission off/on), the settings only while
    // closed, and frame lines, sent while open and not silent; everything
    // else is ignored.  The quiet-fd dialect also takes "Y0".."Y8" of the
    // FD extension while closed and the FD frame lines while open.
    Outcome Execute(std::string_view command);

    bool IsOpen() const { return mode_ != 0; }
    // 'O', 'L' or 'Y' while open, 0 while closed.
    char Mode() const { return mode_; }
    bool Timestamps() const { return timestamps_; }
    // "state=O bitrate=S6 btr=none code=00000000 mask=FFFFFFFF timestamps=0
    // filter=0 status=00 serial=1234 version=1013"; for the quiet dialect
    // "dialect=quiet state=O bitrate=S6 silent=0 retransmit=1"
    std::string Describe() const;

private:
    char mode_ = 0;                 // open command that opened the channel, 0 = closed
    std::string bitrate_ = "none";  // last "S" command accepted
    std::string btr_ = "none";      // last "s" register pair accepted
    uint32_t code_ = 0;             // acceptance code ("M")
    uint32_t mask_ = 0xFFFFFFFF;    // acceptance mask ("m")
    bool timestamps_ = false;       // "Z1": frame lines carry a time stamp
    bool singleFilter_ = false;     // "D1"
    bool silent_ = false;           // quiet dialect: "M1"
    bool retransmit_ = true;        // quiet dialect: "A0" clears it
    std::string dataBitrate_ = "none"; // fd dialect: last "Y" command accepted

    Outcome ExecuteQuiet(std::string_view command);
};

} // namespace lawicel_peer
