// The registry's critical section and interlocked reference counts under several threads
// that open and close at once: a shared read-only handle must stay one handle, never be
// freed early, and be gone exactly when its last holder closed it.
#include <atomic>
#include <thread>

#include <windows.h>

#include "harness.h"
#include "platform/platform.h"

using namespace varnel32;
using namespace varnel32::wintest;

WTEST(ThreadsOpeningAndClosingAtOnceKeepTheRegistryRight) {
    const std::string shared = PathIn("shared.lib");
    REQUIRE(IRCreateLibrary(0, shared.c_str(), 0) == 1);
    constexpr int kThreads = 4;
    constexpr int kRounds = 150;
    std::string own[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        own[t] = PathIn("own" + std::to_string(t) + ".lib");
        REQUIRE(IRCreateLibrary(0, own[t].c_str(), 0) == 1);
    }
    uint32_t status = 99;
    LibraryHandle* first = Open(shared, IRModeReadOnly, &status);
    REQUIRE(first != nullptr);

    std::atomic<int> wrongHandle{0}, failedOwn{0}, failedWrite{0};
    std::atomic<bool> go{false};
    auto work = [&](int t) {
        while (!go) std::this_thread::yield();
        const Bytes record = MakeRecord("Acme", "TV", ("M" + std::to_string(t)).c_str(), 1, 16,
                                        static_cast<uint32_t>(t));
        for (int round = 0; round < kRounds; ++round) {
            uint32_t s = 99;
            LibraryHandle* h = Open(shared, IRModeReadOnly, &s);
            if (h != first || s != IROpenOk) ++wrongHandle;
            LibraryHandle* w = Open(own[t], IRModeWrite, &s);
            if (w == nullptr) {
                ++failedOwn;
            } else {
                if (round % 25 == 0 && IRWriteRemoteRecord(w, AsRecord(record)) != 1) ++failedWrite;
                IRCloseLibrary(w);
            }
            IRCloseLibrary(h);
        }
    };
    std::thread threads[kThreads];
    for (int t = 0; t < kThreads; ++t) threads[t] = std::thread(work, t);
    go = true;
    for (auto& thread : threads) thread.join();

    CHECK_EQ(wrongHandle.load(), 0);
    CHECK_EQ(failedOwn.load(), 0);
    CHECK_EQ(failedWrite.load(), 0);
    CHECK_EQ(OpenHandleCount(), 1u);
    IRCloseLibrary(first);
    CHECK_EQ(OpenHandleCount(), 0u);
    // The last close closed the descriptor, so the file has no reader left.
    LibraryHandle* writer = Open(shared, IRModeWrite, &status);
    CHECK(writer != nullptr);
    IRCloseLibrary(writer);
    for (int t = 0; t < kThreads; ++t) {
        const HeaderView h = ReadHeaderOf(own[t]);
        CHECK_EQ(h.recordCount, 1u);
        CHECK_EQ(h.dirty, 0);
    }
}

WTEST(ReadOnlyOpensRacingForOneFileEndWithNoHandleLeft) {
    const std::string path = PathIn("race.lib");
    REQUIRE(IRCreateLibrary(0, path.c_str(), 0) == 1);
    std::atomic<int> failures{0};
    std::atomic<bool> go{false};
    auto work = [&] {
        while (!go) std::this_thread::yield();
        for (int round = 0; round < 200; ++round) {
            uint32_t s = 99;
            LibraryHandle* h = Open(path, IRModeReadOnly, &s);
            if (h == nullptr) {
                ++failures;
                continue;
            }
            IRCloseLibrary(h);
        }
    };
    std::thread threads[4];
    for (auto& thread : threads) thread = std::thread(work);
    go = true;
    for (auto& thread : threads) thread.join();
    CHECK_EQ(failures.load(), 0);
    CHECK_EQ(OpenHandleCount(), 0u);
    uint32_t status = 99;
    LibraryHandle* writer = Open(path, IRModeWrite, &status);
    CHECK(writer != nullptr);
    IRCloseLibrary(writer);
}

// The registry lock is re-entrant for its holder and keeps every other thread's open out
// until the holder has left it as often as it entered.
WTEST(TheRegistryLockIsReentrantAndExcludesOtherThreads) {
    const std::string path = PathIn("locked.lib");
    REQUIRE(IRCreateLibrary(0, path.c_str(), 0) == 1);
    std::atomic<bool> opened{false};
    platform::RegistryLockEnter();
    platform::RegistryLockEnter();
    std::thread other([&] {
        uint32_t status = 99;
        LibraryHandle* h = Open(path, IRModeReadOnly, &status);
        opened = true;
        IRCloseLibrary(h);
    });
    // An open takes a few milliseconds; one that the lock did not stop is done long before.
    Sleep(300);
    CHECK(!opened);
    platform::RegistryLockLeave();
    Sleep(100);
    CHECK(!opened);
    platform::RegistryLockLeave();
    other.join();
    CHECK(opened);
}
