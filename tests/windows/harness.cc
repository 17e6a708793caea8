// The Windows suite's harness and main: runs every registered test in a directory of its
// own with the fault injection and the recorded user interface reset, checks after each
// that no handle is left open and the cursor is the caller's again, and prints
// "N passed, M failed". Started with --hold it is the child that holds a library open.
#include "harness.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "format/endian.h"
#include "library/registry.h"

namespace varnel32::wintest {
namespace {

std::vector<TestCase>& Tests() {
    static std::vector<TestCase> tests;
    return tests;
}

std::string g_dir;
bool g_failed = false;
char g_userCursorToken;

std::string ModulePath() {
    char buffer[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    return std::string(buffer, n);
}

void RemoveDirectoryTree(const std::string& dir) {
    WIN32_FIND_DATAA data;
    HANDLE find = FindFirstFileA((dir + "\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = data.cFileName;
            if (name == "." || name == "..") continue;
            const std::string child = dir + "\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveDirectoryTree(child);
            } else {
                DeleteFileA(child.c_str());
            }
        } while (FindNextFileA(find, &data));
        FindClose(find);
    }
    RemoveDirectoryA(dir.c_str());
}

}  // namespace

bool Register(const char* name, void (*run)()) {
    Tests().push_back({name, run});
    return true;
}

void RecordFailure(const char* file, int line, const std::string& what) {
    g_failed = true;
    const char* base = std::strrchr(file, '/');
    std::printf("    %s:%d: check failed: %s\n", base ? base + 1 : file, line, what.c_str());
}

bool CurrentTestFailed() { return g_failed; }

const std::string& TestDir() { return g_dir; }
std::string PathIn(const std::string& name) { return g_dir + "\\" + name; }

Bytes ReadWholeFile(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    Bytes bytes;
    uint8_t chunk[4096];
    DWORD n = 0;
    while (ReadFile(file, chunk, sizeof chunk, &n, nullptr) && n > 0) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    CloseHandle(file);
    return bytes;
}

bool WriteWholeFile(const std::string& path, const Bytes& bytes) {
    // Shares everything, so that only the share mode of an open made before can refuse it.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD n = 0;
    const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    CloseHandle(file);
    return ok && n == bytes.size();
}

int64_t FileSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string Field(const char* text) {
    std::string field(IR_NAME_FIELD_SIZE, '\0');
    std::memcpy(field.data(), text, std::min<size_t>(std::strlen(text), 20));
    return field;
}

Bytes MakeRecord(const char* manufacturer, const char* type, const char* model, int entries,
                 uint16_t length, uint32_t seed) {
    Bytes out(IR_RECORD_ENTRIES_OFFSET, 0);
    format::Store16(out.data() + IR_RECORD_ENTRY_COUNT_OFFSET, static_cast<uint16_t>(entries));
    std::memcpy(out.data() + IR_RECORD_MANUFACTURER_OFFSET, Field(manufacturer).data(), 21);
    std::memcpy(out.data() + IR_RECORD_TYPE_OFFSET, Field(type).data(), 21);
    std::memcpy(out.data() + IR_RECORD_MODEL_OFFSET, Field(model).data(), 21);
    for (int e = 0; e < entries; ++e) {
        const size_t at = out.size();
        const size_t size = IR_ENTRY_HEAD_SIZE + size_t{length};
        out.resize(at + size);
        for (size_t i = 0; i < size; ++i) {
            out[at + i] = static_cast<uint8_t>(seed * 31 + static_cast<uint32_t>(e) * 7 + i * 13);
        }
        format::Store16(out.data() + at + IR_ENTRY_DATA_LENGTH_OFFSET, length);
    }
    return out;
}

std::vector<std::string> NamesOf(const NameList* list) {
    std::vector<std::string> names;
    if (list == nullptr) return names;
    const auto* p = reinterpret_cast<const uint8_t*>(list);
    for (uint16_t i = 0; i < format::Load16(p); ++i) {
        names.emplace_back(reinterpret_cast<const char*>(p + IR_NAMELIST_NAMES_OFFSET + 21 * i));
    }
    return names;
}

const RemoteRecord* AsRecord(const Bytes& image) {
    return reinterpret_cast<const RemoteRecord*>(image.data());
}

HeaderView ReadHeaderOf(const std::string& path) {
    const Bytes bytes = ReadWholeFile(path);
    HeaderView view;
    if (bytes.size() < 1570 || format::Load32(bytes.data()) != 0xAAAAAAAAu) return view;
    view.valid = true;
    view.recordCount = format::Load32(bytes.data() + 12);
    view.dataEnd = format::Load32(bytes.data() + 24);
    view.kind = format::Load32(bytes.data() + 28);
    view.dirty = format::Load16(bytes.data() + 32);
    return view;
}

LibraryHandle* Open(const std::string& path, uint32_t mode, uint32_t* status) {
    return IROpenLibrary(0, nullptr, path.c_str(), mode, 0, status);
}

size_t OpenHandleCount() {
    size_t n = 0;
    for (LibraryHandle* h = library::FirstHandle(); h != nullptr; h = h->next) ++n;
    return n;
}

// ---- Child processes ---------------------------------------------------------------------

namespace {
int g_childSerial = 0;

HANDLE StartChild(const std::string& arguments) {
    std::string commandLine = "\"" + ModulePath() + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &info)) {
        return nullptr;
    }
    CloseHandle(info.hThread);
    return info.hProcess;
}
}  // namespace

HeldByOtherProcess::HeldByOtherProcess(const std::string& path, uint32_t mode) {
    const std::string base = "varnel32-wintest-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(++g_childSerial);
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, (base + "-held").c_str());
    released_ = CreateEventA(nullptr, TRUE, FALSE, (base + "-released").c_str());
    process_ = StartChild("--hold \"" + path + "\" " + std::to_string(mode) + " " + base);
    if (process_ != nullptr) {
        HANDLE waits[2] = {held, static_cast<HANDLE>(process_)};
        // The child either signals that it holds the library or exits because it could not.
        started_ = WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
    }
    CloseHandle(held);
}

void HeldByOtherProcess::Release() {
    if (released_ != nullptr) SetEvent(static_cast<HANDLE>(released_));
    if (process_ != nullptr) {
        WaitForSingleObject(static_cast<HANDLE>(process_), 30000);
        CloseHandle(static_cast<HANDLE>(process_));
    }
    if (released_ != nullptr) CloseHandle(static_cast<HANDLE>(released_));
    process_ = released_ = nullptr;
}

HeldByOtherProcess::~HeldByOtherProcess() { Release(); }

int RunChild(const std::string& arguments) {
    HANDLE process = StartChild(arguments);
    if (process == nullptr) return -1;
    WaitForSingleObject(process, 60000);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return static_cast<int>(code);
}

int ChildHold(const char* path, uint32_t mode, const char* eventBase) {
    uint32_t status = 99;
    LibraryHandle* h = Open(path, mode, &status);
    if (h == nullptr) return 10 + static_cast<int>(status);
    HANDLE held = OpenEventA(EVENT_MODIFY_STATE, FALSE, (std::string(eventBase) + "-held").c_str());
    HANDLE released =
        OpenEventA(SYNCHRONIZE, FALSE, (std::string(eventBase) + "-released").c_str());
    if (held == nullptr || released == nullptr) return 2;
    SetEvent(held);
    WaitForSingleObject(released, 60000);
    IRCloseLibrary(h);
    return 0;
}

}  // namespace varnel32::wintest

int main(int argc, char** argv) {
    using namespace varnel32;
    using namespace varnel32::wintest;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 5 && std::strcmp(argv[1], "--hold") == 0) {
        return ChildHold(argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)), argv[4]);
    }
    if (argc == 3 && std::strcmp(argv[1], "--crash-while-writing") == 0) {
        return ChildCrashWhileWriting(argv[2]);
    }
    const char* only = argc == 2 ? argv[1] : nullptr;

    char cwd[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, cwd);
    const std::string root = std::string(cwd) + "\\wintest-" + std::to_string(GetCurrentProcessId());
    CreateDirectoryA(root.c_str(), nullptr);

    int passed = 0, failed = 0;
    for (const TestCase& test : Tests()) {
        if (only != nullptr && std::strcmp(only, test.name) != 0) continue;
        g_dir = root + "\\" + test.name;
        CreateDirectoryA(g_dir.c_str(), nullptr);
        g_failed = false;
        platform::testing::ClearFaults();
        platform::testing::ClearUiEvents();
        platform::testing::SetCurrentCursorForTest(&g_userCursorToken);
        test.run();
        platform::testing::ClearFaults();
        if (platform::testing::CurrentCursor() != &g_userCursorToken) {
            RecordFailure(__FILE__, __LINE__, "a call left the busy cursor up");
        }
        if (OpenHandleCount() != 0) {
            RecordFailure(__FILE__, __LINE__, "the test left a library handle open");
        }
        RemoveDirectoryTree(g_dir);
        std::printf("%s %s\n", g_failed ? "[FAIL]" : "[ OK ]", test.name);
        (g_failed ? failed : passed) += 1;
    }
    RemoveDirectoryTree(root);
    std::printf("%d passed, %d failed\n", passed, failed);
    return (failed == 0 && passed > 0) ? 0 : 1;
}
