// Helpers shared by the tests; see test_support.h.
#include "support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#ifdef _WIN32
#include <io.h>
#endif

#include "format/endian.h"
#include "library/registry.h"
#include "platform/platform.h"
#include "support/reliability.h"

namespace varnel32::test {

#ifdef _WIN32
// Windows refuses any other open of a file that a writer holds (its share mode denies
// reading), so a file that a handle of this process holds is read through the handle's own
// descriptor, its position put back, below the fault injection.
static Bytes ReadThroughHandle(const std::string& path) {
    for (LibraryHandle* h = library::FirstHandle(); h != nullptr; h = h->next) {
        if (!platform::PathsEqual(h->path, path.c_str())) continue;
        Bytes bytes;
        const __int64 at = _telli64(h->descriptor);
        bytes.resize(static_cast<size_t>(_lseeki64(h->descriptor, 0, SEEK_END)));
        _lseeki64(h->descriptor, 0, SEEK_SET);
        const int n = _read(h->descriptor, bytes.data(), static_cast<unsigned>(bytes.size()));
        bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
        _lseeki64(h->descriptor, at, SEEK_SET);
        return bytes;
    }
    return {};
}
#endif

// One sized read (the model test reads the whole file several times per step); the
// reliability helpers read through this one on Windows, and this through theirs elsewhere.
Bytes ReadFile(const std::string& path) {
#ifdef _WIN32
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return ReadThroughHandle(path);
    Bytes bytes(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
#else
    return reliability::ReadFile(path);
#endif
}

void WriteFile(const std::string& path, const Bytes& bytes) { reliability::WriteFile(path, bytes); }

bool FileExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

void SetEnvironment(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value != nullptr ? value : "");
#else
    value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
#endif
}

format::Name Field(const std::string& text) {
    format::Name name{};
    std::memcpy(name.data(), text.data(), std::min(text.size(), name.size()));
    return name;
}

Bytes MakeRemoteRecord(const std::string& manufacturer, const std::string& type,
                       const std::string& model, const std::vector<Entry>& entries) {
    Bytes out(IR_RECORD_ENTRIES_OFFSET, 0);
    format::Store16(out.data() + IR_RECORD_ENTRY_COUNT_OFFSET, static_cast<uint16_t>(entries.size()));
    const format::Name m = Field(manufacturer), t = Field(type), mo = Field(model);
    std::copy(m.begin(), m.end(), out.begin() + IR_RECORD_MANUFACTURER_OFFSET);
    std::copy(t.begin(), t.end(), out.begin() + IR_RECORD_TYPE_OFFSET);
    std::copy(mo.begin(), mo.end(), out.begin() + IR_RECORD_MODEL_OFFSET);
    for (const Entry& e : entries) {
        out.insert(out.end(), e.head.begin(), e.head.begin() + IR_ENTRY_HEAD_SIZE);
        const size_t at = out.size() - IR_ENTRY_HEAD_SIZE + IR_ENTRY_DATA_LENGTH_OFFSET;
        format::Store16(out.data() + at, static_cast<uint16_t>(e.data.size()));
        out.insert(out.end(), e.data.begin(), e.data.end());
    }
    return out;
}

Entry MakeEntry(uint32_t seed, uint16_t length) {
    Entry e;
    for (size_t i = 0; i < IR_ENTRY_HEAD_SIZE; ++i) e.head[i] = static_cast<uint8_t>(seed * 31 + i * 7);
    e.data.resize(length);
    for (size_t i = 0; i < length; ++i) e.data[i] = static_cast<uint8_t>(seed + i * 13);
    return e;
}

format::LibraryHeader DecodeHeaderOf(const Bytes& file) {
    format::HeaderBytes bytes{};
    std::memcpy(bytes.data(), file.data(), std::min(file.size(), bytes.size()));
    return format::DecodeLibraryHeader(bytes);
}

std::optional<Bytes> FetchNamed(LibraryHandle* h, const std::string& manufacturer,
                                const std::string& type, const std::string& model) {
    const format::Name m = Field(manufacturer), t = Field(type), mo = Field(model);
    RemoteRecord* record = IRFetchRemoteRecord(h, m.data(), t.data(), mo.data());
    const auto* p = reinterpret_cast<const uint8_t*>(record);
    const auto bytes = p != nullptr ? std::optional<Bytes>(Bytes(p, p + format::Load16(p))) : std::nullopt;
    IRFreeRemoteRecord(record);
    return bytes;
}

std::vector<LibraryHandle*> Registry() {
    std::vector<LibraryHandle*> list;
    for (LibraryHandle* h = library::FirstHandle(); h != nullptr; h = h->next) list.push_back(h);
    return list;
}

// Descriptors the process holds: a test must end with as many as it began with, so that a
// path that forgets to close its file (a refused open, a failed repair) fails whatever test
// takes it. Only where the system lists them.
static size_t OpenDescriptorCount() {
    size_t n = 0;
#ifdef __linux__
    std::error_code error;
    namespace fs = std::filesystem;
    for (fs::directory_iterator it("/proc/self/fd", error), end; !error && it != end; it.increment(error)) ++n;
#endif
    return n;
}

static char g_userCursorToken;
void* const LibraryTest::kUserCursor = &g_userCursorToken;

// A directory of its own for each test; std::filesystem so that the suite builds for Windows.
void LibraryTest::SetUp() {
    namespace fs = std::filesystem;
    std::random_device seed;
    for (std::error_code error; dir_.empty() && !error;) {
        const fs::path dir = fs::temp_directory_path() / ("varnel32-test-" + std::to_string(seed()));
        if (fs::create_directory(dir, error)) dir_ = dir.generic_string();
    }
    ASSERT_FALSE(dir_.empty());
    descriptors_ = OpenDescriptorCount();
    platform::testing::ClearFaults();
    platform::testing::ClearUiEvents();
    platform::testing::SetCurrentCursorForTest(kUserCursor);
}

void LibraryTest::TearDown() {
    platform::testing::ClearFaults();
    EXPECT_EQ(platform::testing::CurrentCursor(), kUserCursor) << "a call left the busy cursor up";
    EXPECT_EQ(OpenHandleCount(), 0u) << "a test left a library handle open";
    EXPECT_EQ(OpenDescriptorCount(), descriptors_) << "a file descriptor was left open";
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

LibraryHandle* LibraryTest::Open(const std::string& path, uint32_t mode, uint32_t* status) {
    uint32_t local = 99;
    return IROpenLibrary(0, nullptr, path.c_str(), mode, 0, status ? status : &local);
}

LibraryHandle* LibraryTest::CreateAndOpen(const std::string& name, uint32_t mode) {
    EXPECT_EQ(IRCreateLibrary(0, Path(name).c_str(), 0), 1);
    uint32_t status = 99;
    LibraryHandle* h = Open(Path(name), mode, &status);
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(status, IROpenOk);
    return h;
}

}  // namespace varnel32::test
