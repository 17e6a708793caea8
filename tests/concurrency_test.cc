// What may run at once: threads sharing one read-only handle while others open and close
// it, contending for one writer and driving files of their own; threads making the first
// open of a file together; processes taking turns at one file, one of them ending without
// closing it. Each must see exactly what it would alone. The ThreadSanitizer build
// (make test-tsan) runs these to find any state the calls share by accident.
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <thread>
#include <vector>

#include "handle/handle.h"
#include "support/reliability.h"
#include "support/test_support.h"

namespace varnel32::test {
namespace {

namespace rl = reliability;
namespace fi = platform::testing;

constexpr int kThreads = 4;

// A reusable barrier that spins: std::barrier of GCC 12 can miss a wake-up where atomic
// waits have no futex beneath them (mingw-w64), and the test then hangs.
struct Barrier {
    const int count;
    std::atomic<int> arrived{0}, phase{0};
    void arrive_and_wait() {
        const int seen = phase.load();
        if (arrived.fetch_add(1) + 1 == count) {
            arrived.store(0);
            phase.fetch_add(1);
            return;
        }
        while (phase.load() == seen) std::this_thread::yield();
    }
};

class Concurrency : public LibraryTest {
protected:
    std::string Filled(const std::string& name, int records) {
        const std::string path = Path(name);
        EXPECT_EQ(IRCreateLibrary(0, path.c_str(), 0), 1);
        LibraryHandle* h = Open(path, IRModeWrite);
        for (int i = 0; i < records; ++i) {
            EXPECT_TRUE(rl::WriteRecord(h, rl::MakeRecord("Maker" + std::to_string(i % 3), "Type" + std::to_string(i % 2),
                                                          "M" + std::to_string(i), static_cast<uint32_t>(i), {4})));
        }
        IRCloseLibrary(h);
        return path;
    }
};

TEST_F(Concurrency, ThreadsShareReadersContendForWritersAndKeepTheirOwnFiles) {
    const std::string shared = Filled("shared.lib", 24), contested = Filled("contested.lib", 1);
    const rl::Contents expected = rl::ContentsOf(shared);
    LibraryHandle* base = Open(shared, IRModeReadOnly);
    ASSERT_NE(base, nullptr);
    std::atomic<int> failures{0}, holders{0}, wins{0};
    std::vector<rl::Contents> models(kThreads);
    const auto work = [&](int t) {
        const auto fail = [&](const char* what, int round) {
            if (failures.fetch_add(1) < 10) ADD_FAILURE() << what << " (thread " << t << ", round " << round << ")";
        };
        char token;
        fi::SetCurrentCursorForTest(&token);
        const std::string own = Path("own" + std::to_string(t) + ".lib");
        if (IRCreateLibrary(0, own.c_str(), t % 2 == 0 ? 0 : 4) != 1) fail("create", -1);
        rl::Contents& model = models[static_cast<size_t>(t)];
        for (int round = 0; round < 100; ++round) {
            uint32_t s = 99;
            // Opens of the same path and mode word only move the shared handle's count.
            LibraryHandle* r1 = IROpenLibrary(0, nullptr, shared.c_str(), IRModeReadOnly, 0, &s);
            if (r1 != base) fail("the read-only open did not share", round);
            if (round % 10 == 0 && rl::ReadContents(r1) != expected) fail("the shared handle's contents", round);
            LibraryHandle* r5 = IROpenLibrary(0, nullptr, shared.c_str(), IRModeReadOnly | IRModeRequireInfrared, 0, &s);
            if (r5 == nullptr || r5 == base) fail("a second mode word", round);
            LibraryHandle* c = IROpenLibrary(0, nullptr, contested.c_str(), IRModeWrite, 0, &s);
            if (c != nullptr) {
                if (holders.fetch_add(1) != 0) fail("two writers on one file", round);
                wins.fetch_add(1);
                holders.fetch_sub(1);
                IRCloseLibrary(c);
            } else if (s != IROpenCannotOpenFile) {
                fail("the contested open failed otherwise", round);
            }
            // The own file: a write or a deletion each round, a compaction now and then,
            // closed and reopened every round.
            LibraryHandle* w = IROpenLibrary(0, nullptr, own.c_str(), IRModeWrite, 0, &s);
            if (w == nullptr) {
                fail("own writer", round);
                continue;
            }
            IRSetExtraSpaceAmount(w, static_cast<uint32_t>(8 * t));
            const Bytes record = rl::MakeRecord("T" + std::to_string(t), "TV", "m" + std::to_string(round % 17),
                                                static_cast<uint32_t>(round), {static_cast<uint16_t>(round * 7 % 90)});
            const std::string key = rl::KeyOfRecord(record);
            if (round % 5 == 3 && model.count(key) != 0) {
                if (!rl::DeleteRecord(w, key)) fail("delete", round);
                model.erase(key);
            } else {
                if (!rl::WriteRecord(w, record)) fail("write", round);
                model[key] = rl::FetchImageOf(record);
            }
            if (round % 23 == 22 && IRCompactLibrary(w) != 1) fail("compact", round);
            if (rl::ReadContents(w) != model) fail("own contents", round);
            IRCloseLibrary(w);
            IRCloseLibrary(r5);
            IRCloseLibrary(r1);
            if (fi::CurrentCursor() != &token) fail("cursor not restored", round);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
    for (std::thread& th : threads) th.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(wins.load(), 0);
    EXPECT_EQ(Registry(), std::vector<LibraryHandle*>{base});
    EXPECT_EQ(base->referenceCount, 1);
    IRCloseLibrary(base);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(rl::ContentsOf(Path("own" + std::to_string(t) + ".lib")), models[t]);
}

// Threads that open one file read-only at the same moment, with no handle open before,
// end up with one handle between them: the search and the append happen under one lock.
TEST_F(Concurrency, SimultaneousFirstOpensCreateOneHandle) {
    const std::string path = Filled("a.lib", 300);  // a long index keeps each open busy
    Barrier start{kThreads}, opened{kThreads + 1}, closing{kThreads + 1};
    std::vector<LibraryHandle*> got(kThreads);
    const auto work = [&](size_t t) {
        fi::SetCurrentCursorForTest(nullptr);
        for (int round = 0; round < 40; ++round) {
            start.arrive_and_wait();
            uint32_t status = 99;
            got[t] = IROpenLibrary(0, nullptr, path.c_str(), IRModeReadOnly, 0, &status);
            opened.arrive_and_wait();
            closing.arrive_and_wait();
            IRCloseLibrary(got[t]);
        }
    };
    std::vector<std::thread> threads;
    for (size_t t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
    for (int round = 0; round < 40; ++round) {
        opened.arrive_and_wait();
        EXPECT_NE(got[0], nullptr);
        EXPECT_EQ(got, std::vector<LibraryHandle*>(kThreads, got[0])) << "round " << round;
        EXPECT_EQ(Registry(), std::vector<LibraryHandle*>{got[0]});
        EXPECT_EQ(got[0] == nullptr ? kThreads : got[0]->referenceCount, kThreads);
        closing.arrive_and_wait();
    }
    for (std::thread& th : threads) th.join();
    EXPECT_TRUE(Registry().empty());
}

#ifndef _WIN32  // the writers are forked
// Processes take turns at one file, each opening it for writing (waiting while another
// holds it), adding a record of its own and closing; the first one ends without closing
// after its last record, so a later writer repairs the file. Nothing acknowledged is lost.
TEST_F(Concurrency, ProcessesTakingTurnsAtOneFileLoseNothing) {
    const std::string path = Filled("turns.lib", 0);
    constexpr int kProcesses = 4, kRecords = 15;
    const auto record = [](int p, int i) {
        return rl::MakeRecord("P" + std::to_string(p), "TV", "m" + std::to_string(i), static_cast<uint32_t>(p * 100 + i),
                              {static_cast<uint16_t>(i * 13 % 200)});
    };
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        const pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < kRecords; ++i) {
                uint32_t status = 99;
                LibraryHandle* h;
                while ((h = IROpenLibrary(0, nullptr, path.c_str(), IRModeWrite, 0, &status)) == nullptr) {
                    if (status != IROpenCannotOpenFile) _exit(10 + static_cast<int>(status));
                    usleep(200);
                }
                if (!rl::WriteRecord(h, record(p, i))) _exit(2);
                if (p == 0 && i == kRecords - 1) _exit(0);  // as if killed: the file stays dirty
                IRCloseLibrary(h);
            }
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    rl::Contents expected;
    for (int p = 0; p < kProcesses; ++p) {
        for (int i = 0; i < kRecords; ++i) expected[rl::KeyOfRecord(record(p, i))] = rl::FetchImageOf(record(p, i));
    }
    IRCloseLibrary(Open(path, IRModeWrite));  // the repair, when the abandoning one was last
    EXPECT_EQ(rl::Violations(rl::ReadFile(path)), "");
    EXPECT_EQ(rl::ContentsOf(path), expected);
}
#endif

}  // namespace
}  // namespace varnel32::test
