// Shared helpers of the test suite: a fresh directory per test, whole-file reads and
// writes, building RemoteRecord images, decoding headers, and a fixture that resets the
// fault injection and the recorded user-interface calls around every test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/blocks.h"
#include "platform/testing/fault_injection.h"
#include "varnel32.h"

namespace varnel32::test {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& path);
void WriteFile(const std::string& path, const Bytes& bytes);
bool FileExists(const std::string& path);
// Sets a variable of this process's environment, or removes it when `value` is null.
void SetEnvironment(const char* name, const char* value);

// A 21-byte name field holding `text` (at most 20 characters) and zero bytes after it.
format::Name Field(const std::string& text);

// One entry of a RemoteRecord: the 40-byte head (dataLength is filled in) and its data.
struct Entry {
    std::vector<uint8_t> head = std::vector<uint8_t>(IR_ENTRY_HEAD_SIZE, 0);
    Bytes data;
};
Bytes MakeRemoteRecord(const std::string& manufacturer, const std::string& type,
                       const std::string& model, const std::vector<Entry>& entries);
// An entry whose head and data are derived from `seed`, `length` data bytes.
Entry MakeEntry(uint32_t seed, uint16_t length);

format::LibraryHeader DecodeHeaderOf(const Bytes& file);

// The calls by name, each name passed as its own 21-byte field as callers pass them; a
// fetched record is copied (usedSize bytes) and released.
std::optional<Bytes> FetchNamed(LibraryHandle* h, const std::string& manufacturer,
                                const std::string& type, const std::string& model);

// Base fixture: a temp dir, clean fault and UI state, a known current cursor, and a check
// after every test that no library handle is left open.
class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    // Creates an infrared library and opens it for writing (asserting success).
    LibraryHandle* CreateAndOpen(const std::string& name, uint32_t mode = IRModeWrite);
    LibraryHandle* Open(const std::string& path, uint32_t mode, uint32_t* status = nullptr);
    // The cursor the tests set before each call, to see that calls restore it.
    static void* const kUserCursor;
    std::string dir_;
    size_t descriptors_ = 0;
};

std::vector<LibraryHandle*> Registry();  // the handles open, in the registry's order
inline size_t OpenHandleCount() { return Registry().size(); }

}  // namespace varnel32::test
