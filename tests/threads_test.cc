// Opens and closes from several threads at once: read-only handles shared between threads,
// writers on files of their own, writers contending for one file. Afterwards the registry
// must hold exactly what is still open, with the right reference counts.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "library/registry.h"
#include "support/file_builder.h"

namespace varnel32::test {
namespace {

constexpr int kThreads = 4;

// A reusable barrier on a mutex and a condition variable. std::barrier of GCC 12 can miss a
// wake-up where atomic waits have no futex beneath them (mingw-w64), and the test then hangs.
class Barrier {
public:
    explicit Barrier(int count) : count_(count) {}
    void arrive_and_wait() {
        std::unique_lock lock(mutex_);
        const uint64_t phase = phase_;
        if (++arrived_ == count_) {
            arrived_ = 0;
            ++phase_;
            next_.notify_all();
            return;
        }
        next_.wait(lock, [&] { return phase_ != phase; });
    }

private:
    std::mutex mutex_;
    std::condition_variable next_;
    const int count_;
    int arrived_ = 0;
    uint64_t phase_ = 0;
};

class Threads : public FileTest {
protected:
    std::string Library(const std::string& name) {
        FileBuilder f;
        f.AddLive("M", "T", name);
        f.WriteTo(Path(name));
        return Path(name);
    }
};

TEST_F(Threads, OpensAndClosesAtOnceKeepTheRegistryConsistent) {
    const std::string shared = Library("shared.lib");
    const std::string contested = Library("contested.lib");
    std::vector<std::string> own;
    for (int i = 0; i < kThreads; ++i) own.push_back(Library("own" + std::to_string(i) + ".lib"));
    uint32_t status = 99;
    LibraryHandle* base = IROpenLibrary(0, nullptr, shared.c_str(), IRModeReadOnly, 0, &status);
    ASSERT_NE(base, nullptr);

    std::atomic<int> failures{0};
    std::atomic<int> contestedHolders{0};
    std::atomic<int> contestedWins{0};
    const auto fail = [&](const char* what, int thread, int round) {
        if (failures.fetch_add(1) < 10) ADD_FAILURE() << what << " (thread " << thread << ", round " << round << ")";
    };
    const auto work = [&](int t) {
        char token;
        platform::testing::SetCurrentCursorForTest(&token);
        for (int round = 0; round < 500; ++round) {
            uint32_t s = 99;
            LibraryHandle* r1 = IROpenLibrary(0, nullptr, shared.c_str(), IRModeReadOnly, 0, &s);
            if (r1 != base || s != IROpenOk) fail("shared open did not share", t, round);
            LibraryHandle* r5 = IROpenLibrary(0, nullptr, shared.c_str(),
                                              IRModeReadOnly | IRModeRequireInfrared, 0, &s);
            if (r5 == nullptr || r5 == base || s != IROpenOk) fail("second mode word", t, round);
            LibraryHandle* w = IROpenLibrary(0, nullptr, own[static_cast<size_t>(t)].c_str(),
                                             IRModeWrite, 0, &s);
            if (w == nullptr || s != IROpenOk) fail("own writer", t, round);
            LibraryHandle* c = IROpenLibrary(0, nullptr, contested.c_str(), IRModeWrite, 0, &s);
            if (c != nullptr) {
                if (contestedHolders.fetch_add(1) != 0) fail("two writers on one file", t, round);
                contestedWins.fetch_add(1);
                contestedHolders.fetch_sub(1);
                IRCloseLibrary(c);
            } else if (s != IROpenCannotOpenFile) {
                fail("contested open failed otherwise", t, round);
            }
            char name[256];
            if (IRGetFilenameFromHandle(w, name) != 1 || own[static_cast<size_t>(t)] != name) {
                fail("writer's path", t, round);
            }
            NameList* list = IRFindAllModels(r5, "M", "T");
            if (NamesOf(list) != std::vector<std::string>{"shared.lib"}) fail("shared index", t, round);
            IRFreeModels(list);
            IRCloseLibrary(w);
            IRCloseLibrary(r5);
            IRCloseLibrary(r1);
            if (platform::testing::CurrentCursor() != &token) fail("cursor not restored", t, round);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
    for (std::thread& th : threads) th.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(contestedWins.load(), 0);
    EXPECT_EQ(Registry(), std::vector<LibraryHandle*>{base});
    EXPECT_EQ(base->referenceCount, 1);
    IRCloseLibrary(base);
    // Every file is free again: nothing kept a descriptor.
    for (const std::string& path : own) {
        LibraryHandle* h = IROpenLibrary(0, nullptr, path.c_str(), IRModeWrite, 0, &status);
        EXPECT_NE(h, nullptr) << path;
        IRCloseLibrary(h);
    }
}

// Threads that open one file read-only at the same moment, with no handle open before,
// end up with one handle between them: the search and the append happen under one lock.
TEST_F(Threads, SimultaneousFirstOpensCreateOneHandle) {
    // A long stored index keeps each open busy between its search and its append.
    FileBuilder f;
    for (int i = 0; i < 300; ++i) f.AddLive("M", "T", std::to_string(i), {}, 0);
    f.WriteTo(Path("a.lib"));
    const std::string path = Path("a.lib");
    Barrier start(kThreads);
    Barrier opened(kThreads + 1);
    Barrier closing(kThreads + 1);
    std::vector<LibraryHandle*> got(kThreads);
    std::vector<uint32_t> statuses(kThreads);
    const auto work = [&](int t) {
        platform::testing::SetCurrentCursorForTest(nullptr);
        for (int round = 0; round < 40; ++round) {
            start.arrive_and_wait();
            got[static_cast<size_t>(t)] = IROpenLibrary(0, nullptr, path.c_str(), IRModeReadOnly, 0,
                                                        &statuses[static_cast<size_t>(t)]);
            opened.arrive_and_wait();
            closing.arrive_and_wait();
            IRCloseLibrary(got[static_cast<size_t>(t)]);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
    for (int round = 0; round < 40; ++round) {
        opened.arrive_and_wait();
        for (int t = 0; t < kThreads; ++t) {
            EXPECT_EQ(statuses[static_cast<size_t>(t)], IROpenOk);
            EXPECT_EQ(got[static_cast<size_t>(t)], got[0]) << "round " << round;
        }
        EXPECT_NE(got[0], nullptr);
        if (got[0] != nullptr) {
            EXPECT_EQ(got[0]->referenceCount, kThreads);
        }
        EXPECT_EQ(Registry(), std::vector<LibraryHandle*>{got[0]});
        closing.arrive_and_wait();
    }
    for (std::thread& th : threads) th.join();
    EXPECT_TRUE(Registry().empty());
}

}  // namespace
}  // namespace varnel32::test
