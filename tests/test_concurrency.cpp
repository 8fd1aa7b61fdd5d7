// Many threads on one handle, and handles opened and closed by different
// threads, against the simulator.  Meant to run under ThreadSanitizer too:
// every wait is bounded, nothing depends on timing.
#include "korva_api.h"
#include "procstat.h"
#include "sim.h"
#include "sysfuncs.h"
#include "tempdir.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace korva_test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint32_t kFloodId = 0x100;

void *Arg(intptr_t v) { return KORVA_IOCTL_INT(v); }

/* Result codes and how often each came. */
struct Tally {
    std::mutex lock;
    std::map<int32_t, size_t> counts;
    void Add(int32_t rc) {
        std::lock_guard<std::mutex> g(lock);
        ++counts[rc];
    }
    std::string Text() {
        std::lock_guard<std::mutex> g(lock);
        std::string s;
        for (auto [rc, n] : counts) s += " " + std::to_string(rc) + ":" + std::to_string(n);
        return s;
    }
    size_t Count(int32_t rc) {
        std::lock_guard<std::mutex> g(lock);
        return counts.count(rc) ? counts[rc] : 0;
    }
    bool OnlyAmong(std::initializer_list<int32_t> allowed) {
        std::lock_guard<std::mutex> g(lock);
        for (auto [rc, n] : counts)
            if (std::find(allowed.begin(), allowed.end(), rc) == allowed.end()) return false;
        return true;
    }
};

/* The text of a writer's frame: identifier 0x200 + writer, the counter
 * big-endian in the first four data bytes and its complement after. */
std::string WriterText(uint32_t writer, uint32_t counter) {
    char text[32];
    std::snprintf(text, sizeof text, "t%03X8%08X%08X", 0x200 + writer, counter, ~counter);
    return text;
}

CanMsg WriterFrame(uint32_t writer, uint32_t counter) {
    CanMsg m{0x200 + writer, 8, {}, KORVA_FLAG_STANDARD, 0};
    for (int i = 0; i < 4; ++i) {
        m.Data[i] = static_cast<uint8_t>(counter >> (24 - 8 * i));
        m.Data[i + 4] = static_cast<uint8_t>(~m.Data[i]);
    }
    return m;
}

} // namespace

TEST(Concurrency, ReadersWritersAndConfigurationShareOneHandle) {
    constexpr int kReaders = 4, kWriters = 2;
    constexpr auto kRun = 20s;
    TempDir dir;
    Sim sim({"--pty", dir / "ttyUSB0"});
    ASSERT_TRUE(sim.Ok()) << sim.Error();
    const int32_t h = OpenAdapter(sim.Link());
    ASSERT_GT(h, 0);
    ASSERT_TRUE(sim.Command("flood 4000000000"));

    std::atomic<bool> writersStop{false}, readersStop{false};
    const auto end = Clock::now() + kRun;

    // Readers: every frame whole, each reader's sequence increasing.
    std::array<std::vector<uint32_t>, kReaders> seqs;
    std::array<size_t, kReaders> broken{}, disordered{};
    Tally readResults;
    std::vector<std::thread> threads;
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&, r] {
            CanMsg got[64];
            for (;;) {
                const bool final = readersStop.load(); // once set, nothing more arrives
                uint32_t n = 0;
                const int32_t rc = KORVA_Read(h, got, 64, &n);
                readResults.Add(rc);
                for (uint32_t i = 0; i < n; ++i) {
                    uint32_t seq = 0;
                    if (!FloodFrame(got[i], kFloodId, &seq)) {
                        ++broken[r];
                        continue;
                    }
                    if (!seqs[r].empty() && seq <= seqs[r].back()) ++disordered[r];
                    seqs[r].push_back(seq);
                }
                if (n == 0 && final) return;
                if (n == 0) std::this_thread::sleep_for(100us); // an empty ring: let the others run
            }
        });
    }

    // Writers: numbered frames, a few at a time.
    std::array<uint32_t, kWriters> written{};
    Tally writeResults;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            while (!writersStop) {
                CanMsg batch[4];
                for (uint32_t i = 0; i < 4; ++i) batch[i] = WriterFrame(w + 1, written[w] + i);
                uint32_t n = 0;
                writeResults.Add(KORVA_Write(h, batch, 4, &n));
                written[w] += n;
                std::this_thread::sleep_for(2ms); // pacing: keeps the event log of the run modest
            }
        });
    }

    // Configuration: speed, flags and time stamps in turn.  Frame text the
    // writers queue meanwhile waits until the CAN channel is open again, so
    // the exchanges succeed; -9 stays possible when the flood text still
    // draining after "C" pauses longer than the quiet wait (a busy machine),
    // and a status reply stuck behind the flood can miss its 200 looks.
    Tally speedResults, flagResults, stampResults;
    size_t exchanges = 0;
    uint32_t flagsSeen = 0;
    std::thread configure([&] {
        for (int i = 0; Clock::now() < end; ++i) {
            uint32_t flags = 0;
            switch (i % 3) {
            case 0:
                speedResults.Add(KORVA_Ioctl(h, KORVA_IOCTL_SET_SPEED, Arg(6)));
                ++exchanges;
                break;
            case 1:
                flagResults.Add(KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags));
                flagsSeen |= flags;
                break;
            default:
                stampResults.Add(KORVA_Ioctl(h, KORVA_IOCTL_SET_TIMESTAMP, Arg(i / 3 % 2)));
                ++exchanges;
                break;
            }
        }
    });
    configure.join();
    writersStop = true;
    for (int w = 0; w < kWriters; ++w) threads[kReaders + w].join();

    // Quiet now: leave the CAN channel open, send what is queued.
    int32_t rc = KORVA_ERR_COMMAND;
    for (int i = 0; i < 10 && rc != 0; ++i, ++exchanges) rc = KORVA_Ioctl(h, KORVA_IOCTL_SET_SPEED, Arg(6));
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(KORVA_Flush(h), 0);

    // Every frame the writers were told was taken reaches the adapter.
    uint32_t writtenTotal = 0;
    for (uint32_t n : written) writtenTotal += n;
    uint32_t arrived = 0;
    EXPECT_TRUE(sim.WaitFor(
        [&](const std::string &e) { return e.starts_with("rx t20") && ++arrived == writtenTotal; }, 60s))
        << arrived << " of " << writtenTotal;

    // The flood ends; the status reply after its last frame marks the
    // point where the reader thread has taken everything.
    ASSERT_TRUE(sim.Command("stop"));
    std::optional<std::string> done = sim.WaitFor("done flood");
    ASSERT_TRUE(done);
    unsigned long long sent = 0, lost = 0;
    ASSERT_EQ(std::sscanf(done->c_str(), "done flood sent=%llu lost=%llu", &sent, &lost), 2) << *done;
    uint32_t flags = 0;
    rc = KORVA_ERR_GENERIC;
    for (int i = 0; i < 300 && rc != 0; ++i) {
        rc = KORVA_Ioctl(h, KORVA_IOCTL_GET_FLAGS, &flags);
        flagsSeen |= flags;
    }
    EXPECT_EQ(rc, 0);
    readersStop = true;
    for (int r = 0; r < kReaders; ++r) threads[r].join();
    EXPECT_EQ(KORVA_Close(h), 0);

    // Results: reads never fail; a write fails only when an exchange kept
    // its text back for over a second; most configuration requests succeed.
    EXPECT_TRUE(readResults.OnlyAmong({0})) << readResults.Text();
    EXPECT_TRUE(writeResults.OnlyAmong({0, KORVA_ERR_SYSTEM})) << writeResults.Text();
    EXPECT_TRUE(speedResults.OnlyAmong({0, KORVA_ERR_COMMAND})) << speedResults.Text();
    EXPECT_TRUE(stampResults.OnlyAmong({0, KORVA_ERR_COMMAND})) << stampResults.Text();
    EXPECT_TRUE(flagResults.OnlyAmong({0, KORVA_ERR_GENERIC})) << flagResults.Text();
    EXPECT_GT(2 * (speedResults.Count(0) + stampResults.Count(0)), exchanges) << "configuration mostly failed";
    EXPECT_EQ(flagsSeen & KORVA_STATUS_CHANNEL_LOST, 0U);

    // Received frames: whole, increasing per reader, none twice, and every
    // gap explained: a configuration exchange throws away what arrives
    // while the CAN channel closes (one run of frames each), the simulator
    // counts what it could not send, the overrun bit what the ring refused.
    std::vector<uint32_t> all;
    for (int r = 0; r < kReaders; ++r) {
        EXPECT_EQ(broken[r], 0U) << "reader " << r;
        EXPECT_EQ(disordered[r], 0U) << "reader " << r;
        all.insert(all.end(), seqs[r].begin(), seqs[r].end());
    }
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a frame was delivered twice";
    ASSERT_FALSE(all.empty());
    size_t gaps = all.front() != 0 ? 1 : 0;
    for (size_t i = 1; i < all.size(); ++i) gaps += all[i] != all[i - 1] + 1;
    gaps += all.back() + 1 != sent;
    const bool overrun = (flagsSeen & KORVA_STATUS_BUFFER_OVERRUN) != 0;
    if (!overrun) {
        EXPECT_LE(gaps, exchanges + lost) << sent << " sent, " << all.size() << " received";
    }

    // The writers' frames arrived whole, in order, each once: frame text
    // and commands never cut into each other on the line.
    // No frame went to the adapter while an exchange had it closed.
    std::array<uint32_t, kWriters> next{};
    size_t torn = 0, refused = 0;
    for (const std::string &e : sim.Events()) {
        refused += e.starts_with("refused ");
        if (!e.starts_with("rx ")) continue;
        const std::string line = e.substr(3);
        bool known = line == "C" || line == "S6" || line == "F" || line == "Z0" || line == "Z1" || line == "O" ||
                     line == "N" || line == "V";
        for (int w = 0; w < kWriters && !known; ++w) {
            if (line == WriterText(w + 1, next[w])) {
                ++next[w];
                known = true;
            }
        }
        if (!known && ++torn <= 5) ADD_FAILURE() << "unexpected command line: " << line;
    }
    for (int w = 0; w < kWriters; ++w) EXPECT_EQ(next[w], written[w]) << "writer " << w;
    EXPECT_EQ(refused, 0U) << "the adapter refused commands or frames";

    std::printf("[ figures  ] 20 s, %d readers, %d writers, 1 configuring: flood sent %llu lost %llu, "
                "%zu received by the readers (",
                kReaders, kWriters, sent, lost, all.size());
    for (int r = 0; r < kReaders; ++r) std::printf("%s%zu", r ? " " : "", seqs[r].size());
    std::printf("), %zu gaps for %zu exchanges, overrun %s; %u frames written, all arrived, %zu refused; "
                "speed%s, flags%s, timestamps%s; reads%s; writes%s\n",
                gaps, exchanges, overrun ? "yes" : "no", writtenTotal, refused, speedResults.Text().c_str(),
                flagResults.Text().c_str(), stampResults.Text().c_str(), readResults.Text().c_str(),
                writeResults.Text().c_str());
}

TEST(Concurrency, HandlesOpenedAndClosedFromThreadsInTurn) {
    constexpr int kThreads = 3, kRounds = 4;
    std::vector<std::unique_ptr<Sim>> sims;
    for (int i = 0; i < kThreads; ++i) {
        sims.push_back(std::make_unique<Sim>(std::vector<std::string>{"--tcp", "0"}));
        ASSERT_TRUE(sims.back()->Ok()) << sims.back()->Error();
    }
    const size_t fds = OpenFdCount();
    const std::set<int> tasks = TaskIds();

    // Opens and closes pass from thread to thread (the library wants one
    // at a time); the other threads' traffic goes on meanwhile.
    std::mutex lock;
    std::condition_variable changed;
    int turn = 0;
    auto inTurn = [&](int me, auto action) {
        std::unique_lock<std::mutex> g(lock);
        const bool mine = changed.wait_for(g, 60s, [&] { return turn % kThreads == me; });
        EXPECT_TRUE(mine) << "thread " << me << " waited for its turn in vain";
        action();
        ++turn;
        changed.notify_all();
    };
    std::vector<std::thread> threads;
    for (int me = 0; me < kThreads; ++me) {
        threads.emplace_back([&, me] {
            Sim &sim = *sims[me];
            for (int round = 0; round < kRounds; ++round) {
                int32_t h = 0;
                inTurn(me, [&] { h = OpenAdapter(sim.TcpName()); });
                EXPECT_GT(h, 0) << "thread " << me;
                if (h > 0) {
                    const CanMsg out{0x300U + me, 1, {static_cast<uint8_t>(round)}, KORVA_FLAG_STANDARD, 0};
                    uint32_t n = 0;
                    EXPECT_EQ(KORVA_Write(h, &out, 1, &n), 0);
                    char text[16];
                    std::snprintf(text, sizeof text, "rx t%03X1%02X", 0x300 + me, round);
                    EXPECT_TRUE(sim.WaitFor(text)) << text;
                    EXPECT_TRUE(sim.Command("send 4" + std::to_string(me) + "0#" + std::to_string(10 + round)));
                    EXPECT_EQ(KORVA_Ioctl(h, KORVA_IOCTL_SET_BLOCKING_READ, Arg(1)), 0);
                    CanMsg in{};
                    n = 0;
                    for (const auto deadline = Clock::now() + 20s; n == 0 && Clock::now() < deadline;)
                        EXPECT_EQ(KORVA_Read(h, &in, 1, &n), 0);
                    EXPECT_EQ(n, 1U);
                    EXPECT_EQ(in.Identifier, 0x400U + 0x10U * me);
                    EXPECT_EQ(in.Data[0], 0x10 + round);
                }
                inTurn(me, [&] {
                    if (h > 0) {
                        EXPECT_EQ(KORVA_Close(h), 0);
                    }
                });
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(DeviceListSize(DeviceList), 0);
    EXPECT_EQ(OpenFdCount(), fds);
    EXPECT_EQ(TaskIds(), tasks);
}
