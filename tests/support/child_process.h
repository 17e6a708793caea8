// Other processes: forked children that run a check and report through their exit status,
// or one that holds a library open until told to let go. A forked child starts with a copy
// of this process's registry, so a read-only open in it with the path and mode word of a
// handle the parent holds would share that copy, not open the file; tests pick mode words
// that the parent does not hold. Windows cannot fork: there the holder is this program again.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace varnel32::test {

// Runs `body(i)` for i < count in forked children at once: the exit status of the first that
// did not exit with 0 (-1: it did not exit), else 0. On Windows nothing runs: -1.
int RunInChildren(int count, const std::function<int(int)>& body);
inline int RunInChild(const std::function<int()>& body) {
    return RunInChildren(1, [&](int) { return body(); });
}

// A child process that opens `path` with `mode` through IROpenLibrary and keeps it open
// until this object is destroyed.
class HeldByChild {
public:
    HeldByChild(const std::string& path, uint32_t mode);
    ~HeldByChild();
    HeldByChild(const HeldByChild&) = delete;
    HeldByChild& operator=(const HeldByChild&) = delete;
    // The OpenStatus the child's open reported (255 when the child could not report).
    uint32_t status() const { return status_; }

private:
    intptr_t child_ = -1;    // process id, or handle on Windows
    intptr_t release_ = -1;  // what lets the child go: a socket's end, or an event
    uint32_t status_ = 255;
};

}  // namespace varnel32::test
