// testdriver.h - an in-process driver for testing the exported functions
// and the handle table without an adapter.  It records what the library
// asked of it and lets the test inject received frames.
#pragma once

#include "sysfuncs.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct TestDriverLog {
    std::mutex lock;
    std::vector<std::string> calls; // "OpenDevice", "SetDeviceSpeed 6", ...
    std::vector<CanMsg> written;
    std::vector<CanMsg> inject;      // frames the reader thread stores next
    uint32_t serialForNames = 0;     // serial number the probe reports
    int32_t openResult = 0;          // what OpenDevice returns
    int32_t probeResult = 0;         // what GetDeviceSerialNrNVersion returns
    int32_t writeAccept = 1 << 30;   // how many frames WriteFrame takes per call
};

TestDriverLog &TestLog();
// Resets the log and fills the process-wide driver table with the test driver.
void InstallTestDriver();
// Puts the Lawicel driver back into the table.
void RemoveTestDriver();
// Opens a record of the given kind with the test driver; returns the handle.
int32_t OpenWithTestDriver(const char *systemName, int32_t mode = 0);
// Queues frames for the test driver's reader thread.
void InjectFrames(const std::vector<CanMsg> &frames);
// Calls recorded so far, in order.
std::vector<std::string> TestCalls();
// Closes every handle still open (test teardown).
void CloseAllHandles();
CanMsg MakeFrame(uint32_t id, std::initializer_list<uint8_t> data, uint8_t flags = KORVA_FLAG_STANDARD);
