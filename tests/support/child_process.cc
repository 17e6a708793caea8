// Other processes for the exclusion tests; see child_process.h. Forked children leave
// through _exit so that nothing of the parent's test framework runs twice; on Windows a
// holder is this program again, caught before main so that the framework never starts.
#include "support/child_process.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdlib>
#include <cstring>
#else
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <vector>

#include "varnel32.h"

namespace varnel32::test {

#ifdef _WIN32
namespace {

constexpr const char* kHoldFlag = "--varnel32-hold";
int g_children = 0;

// The holder's side: `program --varnel32-hold MODE EVENTBASE PATH`. A failed open ends the
// process with its status; it sets the event EVENTBASE-held once its open succeeded and
// closes the library when the parent sets EVENTBASE-release.
[[maybe_unused]] const bool g_holder = [] {
    if (__argc != 5 || std::strcmp(__argv[1], kHoldFlag) != 0) return false;
    uint32_t status = 99;
    const auto mode = static_cast<uint32_t>(std::strtoul(__argv[2], nullptr, 10));
    LibraryHandle* h = IROpenLibrary(0, nullptr, __argv[4], mode, 0, &status);
    if (h == nullptr) ExitProcess(status);
    HANDLE held = OpenEventA(EVENT_MODIFY_STATE, FALSE, (std::string(__argv[3]) + "-held").c_str());
    HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, (std::string(__argv[3]) + "-release").c_str());
    if (held == nullptr || release == nullptr) ExitProcess(255);
    SetEvent(held);
    WaitForSingleObject(release, INFINITE);
    IRCloseLibrary(h);
    ExitProcess(0);
}();

}  // namespace

int RunInChildren(int, const std::function<int(int)>&) { return -1; }

HeldByChild::HeldByChild(const std::string& path, uint32_t mode) {
    const std::string base = "varnel32-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                             std::to_string(++g_children);
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, (base + "-held").c_str());
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, (base + "-release").c_str());
    char program[MAX_PATH];
    GetModuleFileNameA(nullptr, program, MAX_PATH);
    std::string command = std::string("\"") + program + "\" " + kHoldFlag + " " +
                          std::to_string(mode) + " " + base + " \"" + path + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    // Nothing is inherited, so the holder has no copy of a file this process opened.
    if (held != nullptr && release != nullptr &&
        CreateProcessA(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        child_ = reinterpret_cast<intptr_t>(info.hProcess);
        HANDLE either[2] = {held, info.hProcess};
        DWORD exitCode = 255;
        if (WaitForMultipleObjects(2, either, FALSE, INFINITE) == WAIT_OBJECT_0) {
            status_ = IROpenOk;
        } else if (GetExitCodeProcess(info.hProcess, &exitCode)) {
            status_ = exitCode;
        }
    }
    if (held != nullptr) CloseHandle(held);
    release_ = reinterpret_cast<intptr_t>(release);
}

HeldByChild::~HeldByChild() {
    const auto release = reinterpret_cast<HANDLE>(release_);
    if (release != nullptr) SetEvent(release);
    if (child_ != -1) WaitForSingleObject(reinterpret_cast<HANDLE>(child_), INFINITE);
    if (child_ != -1) CloseHandle(reinterpret_cast<HANDLE>(child_));
    if (release != nullptr) CloseHandle(release);
}

#else
static int WaitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunInChildren(int count, const std::function<int(int)>& body) {
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        children.push_back(fork());
        if (children.back() == 0) _exit(body(i));
    }
    int result = 0;
    for (const pid_t pid : children) {
        const int status = pid < 0 ? -1 : WaitFor(pid);
        if (result == 0) result = status;
    }
    return result;
}

// One socket pair both ways: the child reports its status byte, then holds the library
// until its end reads nothing more, when the parent closes its own.
HeldByChild::HeldByChild(const std::string& path, uint32_t mode) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return;
    const pid_t pid = fork();
    if (pid == 0) {
        close(ends[0]);
        uint32_t status = 99;
        LibraryHandle* h = IROpenLibrary(0, nullptr, path.c_str(), mode, 0, &status);
        const auto byte = static_cast<unsigned char>(status);
        char ignored;
        if (write(ends[1], &byte, 1) == 1) {
            while (read(ends[1], &ignored, 1) > 0) {
            }
        }
        IRCloseLibrary(h);
        _exit(0);
    }
    close(ends[1]);
    child_ = pid;
    release_ = ends[0];
    unsigned char byte = 255;
    if (pid > 0 && read(ends[0], &byte, 1) == 1) status_ = byte;
}

HeldByChild::~HeldByChild() {
    if (release_ >= 0) close(static_cast<int>(release_));
    if (child_ > 0) WaitFor(static_cast<pid_t>(child_));
}
#endif

}  // namespace varnel32::test
