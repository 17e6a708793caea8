// Fault injection for test builds: one armed fault, counted per kind of call. The counters
// are atomic so that threaded tests may run through this layer; they arm faults only while
// a single thread works.
#include "platform/testing/fault_injection.h"

#include <cstdlib>

#include <array>
#include <atomic>
#include <mutex>

namespace varnel32::platform {
namespace testing {
namespace {

constexpr size_t kKinds = static_cast<size_t>(FaultCall::kCount);
std::array<std::atomic<uint32_t>, kKinds> g_calls{};
std::atomic<bool> g_armed{false};
std::atomic<bool> g_fired{false};
FaultCall g_call = FaultCall::Open;
uint32_t g_at = 0;  // value of the counter at which the fault strikes
FaultEffect g_effect = FaultEffect::None;
bool g_sticky = false;

// The allocation log is off unless a test asks for it, so that long runs do not grow it.
std::atomic<bool> g_logAllocations{false};
std::mutex g_logMutex;
std::vector<size_t> g_allocations;

}  // namespace

void InjectFault(FaultCall call, uint32_t nth, FaultEffect effect, bool sticky) {
    g_armed = false;
    g_call = call;
    g_at = g_calls[static_cast<size_t>(call)].load() + nth;
    g_effect = effect;
    g_sticky = sticky;
    g_fired = false;
    g_armed = true;
}

void ClearFaults() {
    g_armed = false;
    g_fired = false;
    for (auto& c : g_calls) c = 0;
    LogAllocations(false);
}

void LogAllocations(bool on) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_allocations.clear();
    g_logAllocations = on;
}

std::vector<size_t> AllocationLog() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_allocations;
}

bool FaultFired() { return g_fired; }

uint32_t CallCount(FaultCall call) { return g_calls[static_cast<size_t>(call)].load(); }

}  // namespace testing

void NoteAllocation(size_t size) {
    using namespace testing;
    if (!g_logAllocations) return;
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_allocations.push_back(size);
}

FaultEffect TakeFault(FaultCall call) {
    using namespace testing;
    const uint32_t n = ++g_calls[static_cast<size_t>(call)];
    if (!g_armed || call != g_call) return FaultEffect::None;
    if (n == g_at || (g_sticky && n > g_at)) {
        g_fired = true;
        const bool ends = g_effect == FaultEffect::Crash || g_effect == FaultEffect::Torn;
        if (ends && call != FaultCall::Write) std::_Exit(kCrashExitStatus);
        return g_effect;
    }
    return FaultEffect::None;
}

}  // namespace varnel32::platform
