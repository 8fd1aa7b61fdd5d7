// A program with its own OpenDevice, Error, ReadThread, AddMsg2Buf and
// IsLinux, exported to the dynamic symbol table, opens an adapter and
// exchanges frames: korva_api's references stay bound to its own
// definitions, and none of these is ever called by it.
#include "korva_api.h"
#include "sim.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {
std::atomic<int> g_called{0};
}

// The names of the library's internals, with other meanings here.
extern "C" {
__attribute__((visibility("default"))) int OpenDevice(void) { return ++g_called; }
__attribute__((visibility("default"))) int Error(int, const char *, ...) { return ++g_called; }
__attribute__((visibility("default"))) void *ReadThread(void *) {
    ++g_called;
    return nullptr;
}
__attribute__((visibility("default"))) int AddMsg2Buf(void) { return ++g_called; }
// A serial line is used only while the library's own IsLinux is 1.
__attribute__((visibility("default"))) int IsLinux = 0;
}

namespace {

TEST(Interposed, TheLibraryKeepsItsOwnDefinitions) {
    TempDir dir;
    korva_test::Sim sim({"--pty", dir / "ttyUSB0"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_LEVEL, KORVA_IOCTL_INT(KORVA_DEBUG_LEVEL_CALL));
    const int32_t h = KORVA_Open(sim.Link().c_str(), KORVA_MODE_NORMAL);
    KORVA_Ioctl(0, KORVA_IOCTL_SET_DEBUG_LEVEL, KORVA_IOCTL_INT(0));
    ASSERT_GT(h, 0);
    ASSERT_TRUE(sim.WaitFor("state open O"));

    const CanMsg out{0x123, 2, {0xAA, 0xBB}, KORVA_FLAG_STANDARD, 0};
    uint32_t n = 0;
    ASSERT_EQ(0, KORVA_Write(h, &out, 1, &n));
    ASSERT_EQ(0, KORVA_Flush(h));
    ASSERT_TRUE(sim.WaitFor("rx t1232AABB"));

    ASSERT_TRUE(sim.Command("send 456#01"));
    KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, KORVA_IOCTL_INT(1));
    CanMsg in{};
    n = 0;
    for (int tries = 0; tries < 100 && n == 0; ++tries) KORVA_Read(h, &in, 1, &n);
    ASSERT_EQ(1u, n);
    EXPECT_EQ(0x456u, in.Identifier);
    EXPECT_EQ(0, KORVA_Close(h));
    EXPECT_EQ(0, g_called.load()) << "the library called a function of the program";
}

} // namespace
