// peak_cases.h - frames that the PEAK mapper's tests send and receive, with
// what must come out at the other end; shared by the native tests
// (test_mapper.cpp) and the Windows client under wine
// (tests/windows/test_peak_client.cpp).
#pragma once

#include <cstdint>

namespace peak_cases {

// CAN_Write of each MsgType, data AA BB: the line the adapter receives.
struct WriteCase {
    uint32_t id;
    uint8_t type;
    const char *standard; // the event after CAN_Init(word, 0)
    const char *extended; // the event after CAN_Init(word, 1)
};
inline constexpr WriteCase kWrites[] = {
    {0x123, 0x00, "rx t1232AABB", "rx T000001232AABB"},
    {0x124, 0x01, "rx r1242", "rx R000001242"},
    {0x1234567, 0x02, "rx T012345672AABB", "rx T012345672AABB"},
    {0x1234568, 0x03, "rx R012345682", "rx R012345682"},
    {0x125, 0x80, "rx t1252AABB", "rx T000001252AABB"},
};

// Every frame kind, with and without the adapter's time stamp: the line the
// adapter sends and the record CAN_ReadEx delivers.
struct ReadCase {
    const char *line;          // sent as the simulator's "send LINE"
    uint32_t id;               // Id
    uint8_t type, len, data0;  // MsgType, Len, Data[0]
    uint32_t stamp;            // the time stamp
};
inline constexpr ReadCase kReads[] = {
    {"t1232AABB1234", 0x123, 0x00, 2, 0xAA, 0x1234},
    {"T1ABCDEF01F00ED0", 0x1ABCDEF0, 0x02, 1, 0xF0, 0x0ED0},
    {"r7FF3BEEF", 0x7FF, 0x01, 3, 0x00, 0xBEEF},
    {"R0000000100001", 0x1, 0x03, 0, 0x00, 1},
    {"t0011EE", 0x001, 0x00, 1, 0xEE, 0},
};

} // namespace peak_cases
