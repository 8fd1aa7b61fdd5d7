#include "testdriver.h"

#include "korva_api.h"
#include "platform.h"
#include "sysfuncs_lawicel.h"
#include "tempdir.h"

#include <array>
#include <cstring>
#include <fstream>
#include <sstream>

std::string ReadWholeFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

TestDriverLog &TestLog() {
    static TestDriverLog log;
    return log;
}

namespace {

void Note(const std::string &call) {
    std::lock_guard<std::mutex> g(TestLog().lock);
    TestLog().calls.push_back(call);
}

int32_t TdSerial(Device *d) {
    Note(std::string("GetDeviceSerialNrNVersion ") + d->SystemName);
    std::lock_guard<std::mutex> g(TestLog().lock);
    if (TestLog().probeResult != 0) return TestLog().probeResult;
    // Serial number: the digits at the end of the node name plus a base.
    const char *p = d->SystemName + std::strlen(d->SystemName);
    while (p > d->SystemName && p[-1] >= '0' && p[-1] <= '9') --p;
    d->SerialNr = TestLog().serialForNames + static_cast<uint32_t>(std::atoi(p));
    d->HwVersion = 0x10;
    d->SwVersion = 0x13;
    return 0;
}
int32_t TdFlags(Device *d, uint32_t *f) {
    Note("GetDeviceFlags");
    *f = AtomicExchange(d->StatusFlags, 0U);
    return 0;
}
int32_t TdAcc(Device *, const uint32_t *cm) {
    Note("SetDeviceAccCodeMask " + std::to_string(cm[0]) + " " + std::to_string(cm[1]));
    return 0;
}
int32_t TdTs(Device *, int32_t on) {
    Note("SetDeviceTimestamp " + std::to_string(on));
    return 0;
}
int32_t TdFilter(Device *, int32_t m) {
    Note("SetDeviceFilterMode " + std::to_string(m));
    return 0;
}
int32_t TdFlushRead(Device *) { return 0; }
int32_t TdOpen(Device *d) {
    Note("OpenDevice " + std::to_string(d->Mode));
    std::lock_guard<std::mutex> g(TestLog().lock);
    return TestLog().openResult;
}
int32_t TdReset(Device *) {
    Note("ResetDevice");
    return 0;
}
int32_t TdClose(Device *) {
    Note("CloseDevice");
    return 0;
}
int32_t TdSpeed(Device *, uint32_t code) {
    Note("SetDeviceSpeed " + std::to_string(code));
    return code == 99 ? KORVA_ERR_COMMAND : 0;
}
int32_t TdBtr(Device *, const uint8_t *b) {
    Note("SetDeviceBTR " + std::to_string(b[0]) + " " + std::to_string(b[1]));
    return 0;
}
void *TdReader(void *arg) {
    auto *d = static_cast<Device *>(arg);
    while (!AtomicLoad(d->StopThread)) {
        std::vector<CanMsg> batch;
        {
            std::lock_guard<std::mutex> g(TestLog().lock);
            batch.swap(TestLog().inject);
        }
        for (const CanMsg &m : batch) AddMsg2BufAndNotify(d, &m);
        if (batch.empty()) PlatSleepMicros(500);
    }
    return nullptr;
}
int32_t TdWrite(Device *, const CanMsg *frames, uint32_t count, uint32_t *written) {
    Note("WriteFrame " + std::to_string(count));
    std::lock_guard<std::mutex> g(TestLog().lock);
    for (uint32_t i = 0; i < count && static_cast<int32_t>(i) < TestLog().writeAccept; ++i) {
        TestLog().written.push_back(frames[i]);
        ++*written;
    }
    return *written == count ? 0 : KORVA_ERR_SYSTEM;
}
int32_t TdFlushWrite(Device *) {
    Note("FlushWriteBuffer");
    return 0;
}

// The library's own drivers, as they were before the first
// InstallTestDriver.
const std::array<DriverOps, 2> kLibraryDrivers{Driver_Lawicel, Driver_Ocera};

} // namespace

void InstallTestDriver() {
    {
        std::lock_guard<std::mutex> g(TestLog().lock);
        TestLog().calls.clear();
        TestLog().written.clear();
        TestLog().inject.clear();
        TestLog().serialForNames = 0;
        TestLog().openResult = 0;
        TestLog().probeResult = 0;
        TestLog().writeAccept = 1 << 30;
    }
    GetDeviceSerialNrNVersion = TdSerial;
    GetDeviceFlags = TdFlags;
    SetDeviceAccCodeMask = TdAcc;
    SetDeviceTimestamp = TdTs;
    SetDeviceFilterMode = TdFilter;
    FlushReadBuffer = TdFlushRead;
    OpenDevice = TdOpen;
    ResetDevice = TdReset;
    CloseDevice = TdClose;
    SetDeviceSpeed = TdSpeed;
    SetDeviceBTR = TdBtr;
    ReadThread = TdReader;
    WriteFrame = TdWrite;
    FlushWriteBuffer = TdFlushWrite;
    // The library probes and opens by the driver of each kind.
    Driver_Lawicel = Driver_Ocera = CurrentDriverOps();
}

void RemoveTestDriver() {
    Driver_Lawicel = kLibraryDrivers[0];
    Driver_Ocera = kLibraryDrivers[1];
    InitSystem_Lawicel();
    SetDeviceFilterMode = SetDeviceFilterMode_Lawicel;
}

int32_t OpenWithTestDriver(const char *systemName, int32_t mode) {
    Device d;
    InitDevice(&d);
    ConvertDeviceName2SystemName(systemName, d.SystemName);
    GetDeviceType(&d);
    GetDeviceSerialNrNVersion(&d);
    return OpenAndRegister(&d, mode);
}

void InjectFrames(const std::vector<CanMsg> &frames) {
    std::lock_guard<std::mutex> g(TestLog().lock);
    TestLog().inject.insert(TestLog().inject.end(), frames.begin(), frames.end());
}

std::vector<std::string> TestCalls() {
    std::lock_guard<std::mutex> g(TestLog().lock);
    return TestLog().calls;
}

void CloseAllHandles() {
    for (int h = 1; h <= DEVICE_LIST_SIZE; ++h)
        if (GetDevice(DeviceList, h) != nullptr) KORVA_Close(h);
}

CanMsg MakeFrame(uint32_t id, std::initializer_list<uint8_t> data, uint8_t flags) {
    CanMsg m{};
    m.Identifier = id;
    m.Length = static_cast<uint8_t>(data.size());
    if (data.size() != 0) std::memcpy(m.Data, data.begin(), data.size() > 8 ? 8 : data.size());
    m.Flags = flags;
    return m;
}
