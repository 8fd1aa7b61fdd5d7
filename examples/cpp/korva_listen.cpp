// korva_listen.cpp - the korva_api interface from C++: the handle owned by
// an RAII object, frames announced through the receive semaphore.
//
// Opens ADAPTER, sends one extended frame (12345678#0102), then prints the
// frames received within SECONDS (default 10) until COUNT (default 1)
// have arrived.  Exit status 0 when COUNT frames came.
//
//   korva_listen ADAPTER [COUNT [SECONDS]]
//   korva_listen /tmp/korva/ttyUSB0 3 5
#include <korva_api.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <semaphore.h>
#include <string>

namespace {

std::string ErrorText(int32_t code) {
    char text[64] = {};
    KORVA_GetErrorString(code, text, sizeof text - 1);
    return text;
}

// One open adapter; closed when the object goes.
class Adapter {
public:
    explicit Adapter(const char *name) : handle_(KORVA_Open(name, KORVA_MODE_NORMAL)) {}
    ~Adapter() {
        if (handle_ > 0) {
            KORVA_SetRcvEvent(handle_, nullptr);
            KORVA_Close(handle_);
        }
    }
    Adapter(const Adapter &) = delete;
    Adapter &operator=(const Adapter &) = delete;

    int32_t Handle() const { return handle_; }
    bool Ok() const { return handle_ > 0; }

private:
    int32_t handle_;
};

// A semaphore the library posts once for every frame it receives.
class RcvSemaphore {
public:
    RcvSemaphore() { sem_init(&sem_, 0, 0); }
    ~RcvSemaphore() { sem_destroy(&sem_); }
    RcvSemaphore(const RcvSemaphore &) = delete;
    RcvSemaphore &operator=(const RcvSemaphore &) = delete;

    sem_t *Get() { return &sem_; }
    // Waits until it is posted or the deadline (CLOCK_REALTIME) passed.
    bool WaitUntil(const timespec &deadline) {
        int rc;
        while ((rc = sem_timedwait(&sem_, &deadline)) != 0 && errno == EINTR) {
        }
        return rc == 0;
    }

private:
    sem_t sem_;
};

void Print(const CanMsg &f) {
    if (f.Flags & KORVA_FLAG_EXTENDED) std::printf("%08X", static_cast<unsigned>(f.Identifier));
    else std::printf("%03X", static_cast<unsigned>(f.Identifier));
    std::printf("   [%u]", static_cast<unsigned>(f.Length));
    if (f.Flags & KORVA_FLAG_REMOTE) std::printf("  remote request");
    else if (f.Length != 0) std::printf(" ");
    if (!(f.Flags & KORVA_FLAG_REMOTE))
        for (unsigned i = 0; i < f.Length && i < 8; ++i) std::printf(" %02X", f.Data[i]);
    std::printf("\n");
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: korva_listen ADAPTER [COUNT [SECONDS]]\n");
        return 2;
    }
    const unsigned want = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 1;
    const long seconds = argc > 3 ? std::strtol(argv[3], nullptr, 10) : 10;

    Adapter adapter(argv[1]);
    if (!adapter.Ok()) {
        std::fprintf(stderr, "korva_listen: cannot open %s: %s\n", argv[1], ErrorText(adapter.Handle()).c_str());
        return 1;
    }
    RcvSemaphore sem;
    KORVA_SetRcvEvent(adapter.Handle(), sem.Get());

    CanMsg hello{};
    hello.Identifier = 0x12345678;
    hello.Flags = KORVA_FLAG_EXTENDED;
    hello.Length = 2;
    hello.Data[0] = 0x01;
    hello.Data[1] = 0x02;
    uint32_t written = 0;
    int32_t rc = KORVA_Write(adapter.Handle(), &hello, 1, &written);
    if (rc == KORVA_ERR_OK) rc = KORVA_Flush(adapter.Handle());
    if (rc != KORVA_ERR_OK) {
        std::fprintf(stderr, "korva_listen: sending failed: %s\n", ErrorText(rc).c_str());
        return 1;
    }
    std::printf("sent 12345678#0102\n");

    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += seconds;
    unsigned got = 0;
    while (got < want) {
        CanMsg frames[16];
        uint32_t n = 0;
        rc = KORVA_Read(adapter.Handle(), frames, 16, &n);
        if (rc != KORVA_ERR_OK) {
            std::fprintf(stderr, "korva_listen: receiving failed: %s\n", ErrorText(rc).c_str());
            break;
        }
        for (uint32_t i = 0; i < n && got < want; ++i, ++got) Print(frames[i]);
        if (n == 0 && !sem.WaitUntil(deadline)) break;
    }
    std::fflush(stdout);
    std::fprintf(stderr, "korva_listen: %u of %u frames received\n", got, want);
    return got == want ? 0 : 1;
}
