// The allocation layer: the C runtime's heap, with fault points so that tests can make any
// allocation or resize fail. Every block handed to a caller comes from here.
#include <cstdlib>

#include "platform/fault_point.h"
#include "platform/platform.h"

namespace varnel32::platform {

void* AllocateZeroed(size_t size) {
    if (TakeFault(FaultCall::Allocate) != FaultEffect::None) return nullptr;
    NoteAllocation(size);
    return std::calloc(size == 0 ? 1 : size, 1);
}

void* Allocate(size_t size) {
    if (TakeFault(FaultCall::Allocate) != FaultEffect::None) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}

void* Reallocate(void* block, size_t size) {
    if (TakeFault(FaultCall::Resize) != FaultEffect::None) return nullptr;
    return std::realloc(block, size == 0 ? 1 : size);
}

void Release(void* block) { std::free(block); }

}  // namespace varnel32::platform
