// The registry lock in programs that link the static test library: the static constructor
// in process_attach.cc must have created it (an archive member that nothing references is
// dropped by the linker), and it must be re-entrant for the thread that holds it.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "platform/platform.h"

namespace varnel32::test {
namespace {

TEST(RegistryLock, IsCreatedAtStartAndReentrantForItsHolder) {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread holder([&done] {
        platform::RegistryLockEnter();
        platform::RegistryLockEnter();  // a lock that is not re-entrant never returns here
        platform::RegistryLockLeave();
        platform::RegistryLockLeave();
        done.set_value();
    });
    if (finished.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        holder.detach();
        FAIL() << "entering the registry lock twice on one thread deadlocked";
    }
    holder.join();
}

}  // namespace
}  // namespace varnel32::test
