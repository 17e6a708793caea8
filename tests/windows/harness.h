// A small test harness for the Windows suite, which runs under wine where GoogleTest is not
// built: registration of test functions, CHECK/REQUIRE, a fresh directory per test, file
// helpers on Win32 calls, RemoteRecord images and a child process that holds a library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/testing/fault_injection.h"
#include "varnel32.h"

namespace varnel32::wintest {

using Bytes = std::vector<uint8_t>;

struct TestCase {
    const char* name;
    void (*run)();
};
bool Register(const char* name, void (*run)());
void RecordFailure(const char* file, int line, const std::string& what);
bool CurrentTestFailed();

// The directory of the running test (a Windows path with a drive letter), and a path in it.
const std::string& TestDir();
std::string PathIn(const std::string& name);

Bytes ReadWholeFile(const std::string& path);  // empty when it cannot be read
bool WriteWholeFile(const std::string& path, const Bytes& bytes);
int64_t FileSize(const std::string& path);  // -1 when missing

// A RemoteRecord image with `entries` entries of `length` data bytes derived from `seed`.
Bytes MakeRecord(const char* manufacturer, const char* type, const char* model, int entries,
                 uint16_t length, uint32_t seed);
std::vector<std::string> NamesOf(const NameList* list);
std::string Field(const char* text);  // a full 21-byte name field
const RemoteRecord* AsRecord(const Bytes& image);

// The header fields that the tests look at, read from the file.
struct HeaderView {
    bool valid = false;
    uint32_t recordCount = 0;
    uint32_t dataEnd = 0;
    uint32_t kind = 0;
    uint16_t dirty = 0;
};
HeaderView ReadHeaderOf(const std::string& path);

// The open's status, with a null owner window and no options.
LibraryHandle* Open(const std::string& path, uint32_t mode, uint32_t* status);
size_t OpenHandleCount();

// Another process (this program, started with --hold) that opens `path` with `mode` and
// keeps it open until Release(). Started() is false when it could not open the library.
class HeldByOtherProcess {
public:
    HeldByOtherProcess(const std::string& path, uint32_t mode);
    ~HeldByOtherProcess();
    HeldByOtherProcess(const HeldByOtherProcess&) = delete;
    HeldByOtherProcess& operator=(const HeldByOtherProcess&) = delete;
    bool Started() const { return started_; }
    void Release();

private:
    void* process_ = nullptr;
    void* released_ = nullptr;
    bool started_ = false;
};
// Runs this program with `arguments` and returns its exit code (-1 if it did not start).
int RunChild(const std::string& arguments);

// Entry points of the child modes, called from main.
int ChildHold(const char* path, uint32_t mode, const char* eventBase);

}  // namespace varnel32::wintest

int ChildCrashWhileWriting(const char* path);  // records_test.cc

#define WTEST(name)                                                                  \
    static void name();                                                              \
    [[maybe_unused]] static const bool name##_registered =                           \
        ::varnel32::wintest::Register(#name, name);                                  \
    static void name()

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) ::varnel32::wintest::RecordFailure(__FILE__, __LINE__, #cond);  \
    } while (0)

#define CHECK_EQ(a, b)                                                               \
    do {                                                                             \
        const auto va_ = (a);                                                        \
        const auto vb_ = (b);                                                        \
        if (!(va_ == vb_))                                                           \
            ::varnel32::wintest::RecordFailure(                                      \
                __FILE__, __LINE__,                                                  \
                std::string(#a " == " #b " (") + std::to_string(va_) + " vs " +      \
                    std::to_string(vb_) + ")");                                      \
    } while (0)

// Stops the test at the first failure, for checks that later steps depend on.
#define REQUIRE(cond)                                                                \
    do {                                                                             \
        if (!(cond)) {                                                               \
            ::varnel32::wintest::RecordFailure(__FILE__, __LINE__, #cond);           \
            return;                                                                  \
        }                                                                            \
    } while (0)
