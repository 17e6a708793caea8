// Fuzz target: the input is a program for the model run (its choices of writes, rewrites,
// deletions, compactions, extra space, reopens), now and then with a fault armed for the next
// operation. The run compares the library with its model after every operation. A fault that
// strikes ends the input: what a failed call leaves is the fault sweep's to judge, the sanitizers
// watch the failure paths.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "fuzz_support.h"
#include "platform/testing/fault_injection.h"
#include "support/model.h"

namespace {

namespace fi = varnel32::platform::testing;
using varnel32::platform::FaultCall;
using varnel32::platform::FaultEffect;

struct Input : varnel32::model::Source {
    std::span<const uint8_t> bytes;
    size_t at = 0;
    uint8_t Byte() { return at < bytes.size() ? bytes[at++] : 0; }
    uint32_t Below(uint32_t n) override {
        uint32_t value = Byte();
        for (uint32_t more = (n - 1) >> 8; more != 0; more >>= 8) value = value << 8 | Byte();
        return value % n;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = varnel32::fuzz::ScratchDir();
    static const FaultCall calls[] = {FaultCall::Read, FaultCall::Write, FaultCall::Seek,
                                      FaultCall::Truncate, FaultCall::Allocate, FaultCall::Resize};
    fi::ClearUiEvents();  // those of the last input's closes, which no one reads
    Input in;
    in.bytes = {data, size};
    varnel32::model::Run run(dir, in);
    while (in.at < size && run.failure.empty()) {
        // A first byte below 32 arms a fault (failing or cut short) for the next operation.
        if (const uint8_t fault = in.Byte(); fault < 32) {
            const FaultEffect effect = fault & 16 ? FaultEffect::Short : FaultEffect::Fail;
            fi::InjectFault(calls[fault % 6], 1u + in.Byte() % 8, effect);
        }
        run.Step();
        if (fi::FaultFired()) {
            run.failure.clear();
            break;
        }
        fi::ClearFaults();
        run.Check();
    }
    fi::ClearFaults();
    if (!run.failure.empty()) varnel32::fuzz::Broken(run.failure.c_str());
    return 0;
}
