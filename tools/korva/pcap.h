// pcap.h - capture files that Wireshark and tshark open, with link type 227
// (LINKTYPE_CAN_SOCKETCAN), one SocketCAN can_frame record per frame (a
// canfd_frame for a CAN FD frame), time
// stamps in microseconds of the host clock: the classic pcap format for
// one interface, pcapng with one named interface per adapter for several.
// Records are gathered in a buffer; PcapFlush writes them out.
#pragma once

#include "korva_api.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korva_tool {

// The 16 bytes of a SocketCAN can_frame as link type 227 carries them:
// the identifier in network byte order with 0x80000000 for an extended
// and 0x40000000 for a remote frame, the length, three zero bytes, and
// eight data bytes (zero beyond the length, all zero for a remote frame).
//   extended 0x12345678, [2] AA BB -> 92 34 56 78 02 00 00 00 AA BB 00 00 00 00 00 00
void EncodeSocketCanFrame(const CanMsg &frame, uint8_t out[16]);

// A CanFdMsg record as link type 227 carries it: a classic frame as above
// (16 bytes), an FD frame as the 72 bytes of a SocketCAN canfd_frame: the
// identifier as above, the length in bytes, the FD flags (0x01 bit-rate
// switch, 0x02 error-state indicator, 0x04 FD frame), two zero bytes and
// 64 data bytes.  Returns the record's size.
uint32_t EncodeSocketCanFdFrame(const CanFdMsg &frame, uint8_t out[72]);

struct PcapFile;

// Creates path ("-": standard output, switched to binary) for frames of
// the given interfaces (at least one) and writes the file's header at
// once, so that a reader on a pipe starts.  nullptr with the reason in
// *why.
PcapFile *PcapOpen(const std::string &path, const std::vector<std::string> &interfaces, std::string *why);
// Adds one frame of interfaces[iface], logged at the given host time, to
// the buffer (which is written out when it fills).  False with the reason
// in *why.
bool PcapWrite(PcapFile *file, size_t iface, int64_t seconds, int32_t micros, const CanFdMsg &frame,
               std::string *why);
// Whether frames wait in the buffer.
bool PcapPending(const PcapFile *file);
// Writes the buffer out.  False with the reason in *why.
bool PcapFlush(PcapFile *file, std::string *why);
// Flushes, closes (unless standard output) and frees file.  False with the
// reason in *why; file is gone either way.
bool PcapClose(PcapFile *file, std::string *why);

} // namespace korva_tool
