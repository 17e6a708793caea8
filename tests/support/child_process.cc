// Forked children for the exclusion tests; see child_process.h. Children leave through
// _exit so that nothing of the parent's test framework runs twice.
#include "support/child_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include "varnel32.h"

namespace varnel32::test {
namespace {

int WaitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int RunInChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) _exit(body());
    return WaitFor(pid);
}

HeldByChild::HeldByChild(const std::string& path, uint32_t mode) {
    int report[2];
    int release[2];
    if (pipe(report) != 0) return;
    if (pipe(release) != 0) {
        close(report[0]);
        close(report[1]);
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        close(report[0]);
        close(release[1]);
        uint32_t status = 99;
        LibraryHandle* h = IROpenLibrary(0, nullptr, path.c_str(), mode, 0, &status);
        const auto byte = static_cast<unsigned char>(status);
        if (write(report[1], &byte, 1) != 1) _exit(2);
        char ignored;
        while (read(release[0], &ignored, 1) > 0) {
        }
        IRCloseLibrary(h);
        _exit(0);
    }
    close(report[1]);
    close(release[0]);
    release_ = release[1];
    unsigned char byte = 255;
    if (pid_ > 0 && read(report[0], &byte, 1) == 1) status_ = byte;
    close(report[0]);
}

HeldByChild::~HeldByChild() {
    if (release_ >= 0) close(release_);
    if (pid_ > 0) WaitFor(pid_);
}

}  // namespace varnel32::test
