// Fuzz target: the input is a program for the model run (its choices of writes, rewrites,
// deletions, compactions, extra space, reopens), with faults armed for single operations. The
// run compares the library with its model after every operation; after a fault that struck,
// the library is repaired and its model taken from what survived.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "platform/testing/fault_injection.h"
#include "support/model.h"

namespace {

namespace fi = varnel32::platform::testing;
using varnel32::platform::FaultCall;
using varnel32::platform::FaultEffect;

struct Input : varnel32::model::Source {
    const uint8_t* data;
    size_t size, at = 0;
    Input(const uint8_t* d, size_t s) : data(d), size(s) {}
    uint8_t Byte() { return at < size ? data[at++] : 0; }
    uint32_t Below(uint32_t n) override {
        uint32_t value = Byte();
        for (uint32_t span = (n - 1) >> 8; span != 0; span >>= 8) value = value << 8 | Byte();
        return value % n;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string dir = varnel32::fuzz::ScratchDir();
    Input in(data, size);
    {
        varnel32::model::Run run(dir, in);
        while (in.at < in.size && run.failure.empty()) {
            const uint8_t fault = in.Byte();
            if (fault < 0x20) {
                static const FaultCall calls[] = {FaultCall::Read, FaultCall::Write, FaultCall::Seek,
                                                  FaultCall::Truncate, FaultCall::Allocate, FaultCall::Resize};
                fi::InjectFault(calls[fault % 6], 1u + in.Byte() % 8, fault & 0x10 ? FaultEffect::Short : FaultEffect::Fail);
            }
            run.Step();
            const bool fired = fi::FaultFired();
            fi::ClearFaults();
            if (fired) {
                run.failure.clear();
                run.Settle();
            }
            run.Check();
        }
        if (!run.failure.empty()) varnel32::fuzz::Broken(run.failure.c_str());
    }
    fi::ClearUiEvents();
    return 0;
}
