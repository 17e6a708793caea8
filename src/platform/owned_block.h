// OwnedBlock: a block from the allocation layer (zero-filled unless asked otherwise) that is
// released when the scope that made it ends, on every path, unless Take() hands it on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace varnel32::platform {

class OwnedBlock {
public:
    explicit OwnedBlock(size_t size) : bytes_(static_cast<uint8_t*>(AllocateZeroed(size))) {}
    // A block that its owner fills whole before anyone reads it: not zero-filled.
    struct Unfilled {};
    OwnedBlock(size_t size, Unfilled) : bytes_(static_cast<uint8_t*>(Allocate(size))) {}
    ~OwnedBlock() { Release(bytes_); }
    OwnedBlock(const OwnedBlock&) = delete;
    OwnedBlock& operator=(const OwnedBlock&) = delete;

    uint8_t* get() const { return bytes_; }
    bool failed() const { return bytes_ == nullptr; }
    uint8_t* Take() {
        uint8_t* taken = bytes_;
        bytes_ = nullptr;
        return taken;
    }

private:
    uint8_t* bytes_;
};

}  // namespace varnel32::platform
