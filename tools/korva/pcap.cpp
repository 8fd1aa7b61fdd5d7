// pcap.cpp - pcap and pcapng capture files of SocketCAN frames.
#include "pcap.h"

#include "os.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace korva_tool {
namespace {

constexpr uint32_t kMagicMicros = 0xA1B2C3D4;  // microsecond time stamps
constexpr uint32_t kLinkTypeSocketCan = 227;   // LINKTYPE_CAN_SOCKETCAN
constexpr uint32_t kRecordSize = 16;           // struct can_frame
constexpr uint32_t kFdRecordSize = 72;         // struct canfd_frame
constexpr size_t kBufferSize = 64 * 1024;

// pcapng blocks: section header, interface description, enhanced packet.
constexpr uint32_t kBlockSection = 0x0A0D0D0A;
constexpr uint32_t kBlockInterface = 0x00000001;
constexpr uint32_t kBlockPacket = 0x00000006;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kOptionEnd = 0;
constexpr uint16_t kOptionIfName = 2;

constexpr uint32_t kCanExtended = 0x80000000;  // CAN_EFF_FLAG
constexpr uint32_t kCanRemote = 0x40000000;    // CAN_RTR_FLAG

// The file header and the record headers are in the writer's byte order,
// which the magic number tells the reader.
void Put32(std::vector<uint8_t> &out, uint32_t v) {
    uint8_t b[4];
    std::memcpy(b, &v, 4);
    out.insert(out.end(), b, b + 4);
}

void Put16(std::vector<uint8_t> &out, uint16_t v) {
    uint8_t b[2];
    std::memcpy(b, &v, 2);
    out.insert(out.end(), b, b + 2);
}

void PutPadded(std::vector<uint8_t> &out, const void *data, size_t size) {
    const auto *bytes = static_cast<const uint8_t *>(data);
    out.insert(out.end(), bytes, bytes + size);
    out.insert(out.end(), (4 - size % 4) % 4, 0);
}

// A pcapng block: type, total length, body, total length again.
void PutBlock(std::vector<uint8_t> &out, uint32_t type, const std::vector<uint8_t> &body) {
    const uint32_t total = static_cast<uint32_t>(12 + body.size());
    Put32(out, type);
    Put32(out, total);
    out.insert(out.end(), body.begin(), body.end());
    Put32(out, total);
}

void PutPcapHeader(std::vector<uint8_t> &out) {
    Put32(out, kMagicMicros);
    Put16(out, 2); // version 2.4
    Put16(out, 4);
    Put32(out, 0); // time zone: UTC
    Put32(out, 0); // accuracy of the time stamps
    Put32(out, kRecordSize); // snapshot length: whole records
    Put32(out, kLinkTypeSocketCan);
}

void PutPcapngHeader(std::vector<uint8_t> &out, const std::vector<std::string> &interfaces) {
    std::vector<uint8_t> body;
    Put32(body, kByteOrderMagic);
    Put16(body, 1); // version 1.0
    Put16(body, 0);
    Put32(body, 0xFFFFFFFF); // section length: not given
    Put32(body, 0xFFFFFFFF);
    PutBlock(out, kBlockSection, body);
    for (const std::string &name : interfaces) {
        body.clear();
        Put16(body, kLinkTypeSocketCan);
        Put16(body, 0);
        Put32(body, kRecordSize);
        const size_t length = name.size() > 0xFFFF ? 0xFFFF : name.size();
        Put16(body, kOptionIfName);
        Put16(body, static_cast<uint16_t>(length));
        PutPadded(body, name.data(), length);
        Put16(body, kOptionEnd);
        Put16(body, 0);
        PutBlock(out, kBlockInterface, body); // time stamps in microseconds, the default
    }
}

} // namespace

struct PcapFile {
    FILE *file = nullptr;
    bool isStdout = false;
    bool pcapng = false;
    std::string path;
    std::vector<uint8_t> buffer;
};

void EncodeSocketCanFrame(const CanMsg &frame, uint8_t out[16]) {
    std::memset(out, 0, 16);
    const bool extended = frame.Flags & KORVA_FLAG_EXTENDED;
    const bool remote = frame.Flags & KORVA_FLAG_REMOTE;
    uint32_t id = frame.Identifier & (extended ? 0x1FFFFFFFu : 0x7FFu);
    if (extended) id |= kCanExtended;
    if (remote) id |= kCanRemote;
    out[0] = static_cast<uint8_t>(id >> 24);
    out[1] = static_cast<uint8_t>(id >> 16);
    out[2] = static_cast<uint8_t>(id >> 8);
    out[3] = static_cast<uint8_t>(id);
    const uint8_t len = frame.Length > 8 ? 8 : frame.Length;
    out[4] = len;
    if (!remote) std::memcpy(out + 8, frame.Data, len);
}

uint32_t EncodeSocketCanFdFrame(const CanFdMsg &frame, uint8_t out[72]) {
    CanMsg classic{};
    classic.Identifier = frame.Identifier;
    classic.Length = frame.Length > 8 ? 8 : frame.Length;
    classic.Flags = frame.Flags;
    std::memcpy(classic.Data, frame.Data, sizeof classic.Data);
    if (!(frame.Flags & KORVA_FLAG_FD)) {
        EncodeSocketCanFrame(classic, out);
        return kRecordSize;
    }
    classic.Flags = static_cast<uint8_t>(classic.Flags & ~KORVA_FLAG_REMOTE); // no remote frames in CAN FD
    EncodeSocketCanFrame(classic, out);
    std::memset(out + 8, 0, kFdRecordSize - 8);
    const uint8_t len = frame.Length > 64 ? 64 : frame.Length;
    out[4] = len;
    out[5] = static_cast<uint8_t>(0x04 | ((frame.Flags & KORVA_FLAG_BRS) ? 0x01 : 0) |
                                  ((frame.Flags & KORVA_FLAG_ESI) ? 0x02 : 0));
    std::memcpy(out + 8, frame.Data, len);
    return kFdRecordSize;
}

PcapFile *PcapOpen(const std::string &path, const std::vector<std::string> &interfaces, std::string *why) {
    auto *p = new PcapFile;
    p->path = path == "-" ? "standard output" : path;
    p->isStdout = path == "-";
    if (p->isStdout) {
        SetStdoutBinary();
        p->file = stdout;
    } else if ((p->file = std::fopen(path.c_str(), "wb")) == nullptr) {
        *why = "cannot write " + path + ": " + std::strerror(errno);
        delete p;
        return nullptr;
    }
    p->buffer.reserve(kBufferSize);
    p->pcapng = interfaces.size() > 1;
    if (p->pcapng) PutPcapngHeader(p->buffer, interfaces);
    else PutPcapHeader(p->buffer);
    if (!PcapFlush(p, why)) {
        std::string ignored;
        PcapClose(p, &ignored);
        return nullptr;
    }
    return p;
}

bool PcapWrite(PcapFile *p, size_t iface, int64_t seconds, int32_t micros, const CanFdMsg &frame,
               std::string *why) {
    if (p->buffer.size() + 32 + kFdRecordSize > kBufferSize && !PcapFlush(p, why)) return false;
    uint8_t record[kFdRecordSize];
    const uint32_t size = EncodeSocketCanFdFrame(frame, record); // a multiple of 4: no padding
    if (p->pcapng) {
        const uint64_t stamp = static_cast<uint64_t>(seconds) * 1000000u + static_cast<uint64_t>(micros);
        const uint32_t total = 32 + size;
        Put32(p->buffer, kBlockPacket);
        Put32(p->buffer, total);
        Put32(p->buffer, static_cast<uint32_t>(iface));
        Put32(p->buffer, static_cast<uint32_t>(stamp >> 32));
        Put32(p->buffer, static_cast<uint32_t>(stamp));
        Put32(p->buffer, size); // bytes stored
        Put32(p->buffer, size); // bytes of the packet
        p->buffer.insert(p->buffer.end(), record, record + size);
        Put32(p->buffer, total);
        return true;
    }
    Put32(p->buffer, static_cast<uint32_t>(seconds));
    Put32(p->buffer, static_cast<uint32_t>(micros));
    Put32(p->buffer, size); // bytes stored
    Put32(p->buffer, size); // bytes of the packet
    p->buffer.insert(p->buffer.end(), record, record + size);
    return true;
}

bool PcapPending(const PcapFile *p) { return !p->buffer.empty(); }

bool PcapFlush(PcapFile *p, std::string *why) {
    if (p->buffer.empty()) return true;
    const size_t size = p->buffer.size();
    const size_t n = std::fwrite(p->buffer.data(), 1, size, p->file);
    p->buffer.clear();
    if (n != size || std::fflush(p->file) != 0) {
        *why = "writing " + p->path + " failed: " + std::strerror(errno);
        return false;
    }
    return true;
}

bool PcapClose(PcapFile *p, std::string *why) {
    bool ok = PcapFlush(p, why);
    if (!p->isStdout && std::fclose(p->file) != 0 && ok) {
        *why = "writing " + p->path + " failed: " + std::strerror(errno);
        ok = false;
    }
    delete p;
    return ok;
}

} // namespace korva_tool
