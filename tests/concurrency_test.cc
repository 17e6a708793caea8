// What may run at once: threads opening one file together while they drive files of their own,
// threads and processes taking turns at writing one file; each must see what it would alone.
// The ThreadSanitizer build (make test-tsan) runs these to find state shared by accident.
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "handle/handle.h"
#include "support/child_process.h"
#include "support/reliability.h"
#include "support/test_support.h"

namespace varnel32::test {
namespace {

namespace rl = reliability;
namespace fi = platform::testing;

constexpr int kThreads = 4;

// Spins until `count` arrivals in all: std::barrier of GCC 12 can miss a wake-up where atomic
// waits have no futex beneath them (mingw-w64), and the test then hangs.
void Meet(std::atomic<int>& arrived, int count) {
    arrived.fetch_add(1);
    while (arrived.load() < count) std::this_thread::yield();
}

void RunThreads(const std::function<void(int)>& work) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
    for (std::thread& th : threads) th.join();
}

Bytes RecordOf(int worker, int i) {
    return rl::MakeRecord("W" + std::to_string(worker), "TV", "m" + std::to_string(i),
                          static_cast<uint32_t>(worker * 100 + i), {static_cast<uint16_t>(i * 13 % 200)});
}

using Concurrency = LibraryTest;

// Each round the threads open one file read-only at once, with no handle open before, under
// two mode words: each gets one handle shared by all (the search and the append happen under
// one lock), read while others close it. Each thread drives a file of its own meanwhile.
TEST_F(Concurrency, ThreadsShareFirstOpensAndKeepTheirOwnFiles) {
    std::vector<Bytes> records;  // a long index keeps each open busy
    for (int i = 0; i < 300; ++i) records.push_back(RecordOf(i % 3, i));
    const std::string shared = Path("shared.lib");
    const rl::Contents expected = rl::BuildLibrary(shared, 0, records, {}).contents;
    ASSERT_EQ(expected.size(), records.size());
    std::vector<LibraryHandle*> got(kThreads);
    std::vector<rl::Contents> models(kThreads);
    std::atomic<int> arrived{0}, failures{0};
    RunThreads([&](int t) {
        const auto fail = [&](const char* what, int round) {
            if (failures.fetch_add(1) < 10) ADD_FAILURE() << what << ": thread " << t << ", round " << round;
        };
        char token;
        fi::SetCurrentCursorForTest(&token);
        const std::string own = Path("own" + std::to_string(t) + ".lib");
        if (IRCreateLibrary(0, own.c_str(), t % 2 == 0 ? 0 : 4) != 1) fail("create", -1);
        rl::Contents& model = models[static_cast<size_t>(t)];
        for (int round = 0; round < 60; ++round) {
            Meet(arrived, kThreads * (3 * round + 1));
            uint32_t s = 99;
            LibraryHandle* r1 = IROpenLibrary(0, nullptr, shared.c_str(), IRModeReadOnly, 0, &s);
            const uint32_t otherMode = IRModeReadOnly | IRModeRequireInfrared;
            LibraryHandle* r5 = IROpenLibrary(0, nullptr, shared.c_str(), otherMode, 0, &s);
            got[static_cast<size_t>(t)] = r1;
            if (r5 == nullptr || r5 == r1) fail("a second mode word", round);
            // The own file: a write or a deletion each round, a compaction now and then.
            LibraryHandle* w = IROpenLibrary(0, nullptr, own.c_str(), IRModeWrite, 0, &s);
            IRSetExtraSpaceAmount(w, static_cast<uint32_t>(8 * t));
            const Bytes record = rl::MakeRecord("T" + std::to_string(t), "TV", "m" + std::to_string(round % 17),
                                                static_cast<uint32_t>(round), {uint16_t(round * 7 % 90)});
            const std::string key = rl::KeyOfRecord(record);
            if (round % 5 == 3 && model.erase(key) != 0) {
                if (!rl::DeleteRecord(w, key)) fail("delete", round);
            } else {
                if (!rl::WriteRecord(w, record)) fail("write", round);
                model[key] = rl::FetchImageOf(record);
            }
            if (round % 23 == 22 && IRCompactLibrary(w) != 1) fail("compact", round);
            if (rl::ReadContents(w) != model) fail("own contents", round);
            IRCloseLibrary(w);
            Meet(arrived, kThreads * (3 * round + 2));
            if (r1 == nullptr || r1->referenceCount != kThreads || got != decltype(got)(kThreads, r1)) {
                fail("the first opens did not share one handle", round);
            }
            Meet(arrived, kThreads * (3 * round + 3));
            if (round % 10 == 0 && rl::ReadContents(r1) != expected) fail("the shared handle's contents", round);
            IRCloseLibrary(r5);
            IRCloseLibrary(r1);
            if (fi::CurrentCursor() != &token) fail("cursor not restored", round);
        }
    });
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(Registry().empty());
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(rl::ContentsOf(Path("own" + std::to_string(t) + ".lib")), models[t]);
}

// Threads, then processes, take turns at one file: each opens it for writing (waiting while
// another holds it), adds a record and closes; the first process ends without closing after
// its last record, so that a later writer repairs the file. Nothing acknowledged is lost.
TEST_F(Concurrency, WritersTakingTurnsAtOneFileLoseNothing) {
    constexpr int kRecords = 15;
    for (const bool processes : {false, true}) {
#ifdef _WIN32
        if (processes) continue;  // the writers are forked
#endif
        const std::string path = Path(processes ? "processes.lib" : "threads.lib");
        ASSERT_EQ(IRCreateLibrary(0, path.c_str(), 0), 1);
        std::atomic<int> holders{0};
        const auto work = [&](int w) {  // 0, or what went wrong
            for (int i = 0; i < kRecords; ++i) {
                uint32_t status = 99;
                LibraryHandle* h;
                while ((h = IROpenLibrary(0, nullptr, path.c_str(), IRModeWrite, 0, &status)) == nullptr) {
                    if (status != IROpenCannotOpenFile) return 10 + static_cast<int>(status);
                    std::this_thread::yield();
                }
                if (holders.fetch_add(1) != 0) return 3;
                const bool written = rl::WriteRecord(h, RecordOf(w, i));
                holders.fetch_sub(1);
                if (!written) return 2;
                if (processes && w == 0 && i == kRecords - 1) return 0;  // as if killed: the file stays dirty
                IRCloseLibrary(h);
            }
            return 0;
        };
        std::vector<int> results(kThreads, 0);
        if (processes) results[0] = RunInChildren(kThreads, work);
        if (!processes) RunThreads([&](int t) { results[static_cast<size_t>(t)] = work(t); });
        EXPECT_EQ(results, std::vector<int>(kThreads, 0));
        rl::Contents expected;
        for (int n = 0; n < kThreads * kRecords; ++n) {
            const Bytes record = RecordOf(n / kRecords, n % kRecords);
            expected[rl::KeyOfRecord(record)] = rl::FetchImageOf(record);
        }
        IRCloseLibrary(Open(path, IRModeWrite));  // the repair, when the abandoning one was last
        EXPECT_EQ(rl::Violations(rl::ReadFile(path)), "");
        EXPECT_EQ(rl::ContentsOf(path), expected);
    }
}

}  // namespace
}  // namespace varnel32::test
