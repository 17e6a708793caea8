// Crash-point enumeration: each operation runs in a forked child that ends itself at its
// k-th write (k = 1, 2, 3 ... until the session finishes), as a killed process would:
// once right after the write reached the file, once after only half of it did (a torn
// write). The parent then opens the file as the next process would - read-only, then for
// writing, which rolls back a hot journal and repairs a dirty file - and judges it by the
// one rule (rl::Broken) and the file's invariants. It prints a table and fails (exit 1)
// when any point broke the rule; `make test` runs it.
//
//   varnel32_crash_points [--verbose]
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "platform/testing/fault_injection.h"
#include "support/file_invariants.h"
#include "support/reliability.h"
#include "support/test_support.h"

namespace {

namespace rl = varnel32::reliability;
namespace fi = varnel32::platform::testing;
using varnel32::platform::FaultCall;
using varnel32::platform::FaultEffect;
using varnel32::platform::kCrashExitStatus;
using rl::Bytes;

// One operation as a whole session of a process: open, the call, close.
struct Operation {
    std::string name;
    const rl::Library* start = nullptr;  // null: no file yet
    std::string touched;                  // the record written or deleted
    Bytes after;                          // its fetch image once written
    std::function<void(const std::string& path)> session;
};

struct Row {
    int points = 0, torn = 0, broken = 0;
    std::map<std::string, int> why;
};

bool g_verbose = false;

LibraryHandle* OpenForWriting(const std::string& path) {
    uint32_t status = 0;
    return IROpenLibrary(0, nullptr, path.c_str(), IRModeWrite, 0, &status);
}

// Runs the session in a child that dies at its k-th write. True when it died there, false
// when the session ended before reaching write k.
bool CrashAt(const Operation& op, const std::string& path, uint32_t k, FaultEffect effect) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (pid == 0) {
        fi::ClearFaults();
        fi::InjectFault(FaultCall::Write, k, effect);
        op.session(path);
        _exit(0);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == kCrashExitStatus) return true;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return false;
    std::fprintf(stderr, "%s: the child failed at crash point %u (status 0x%x)\n", op.name.c_str(), k,
                 static_cast<unsigned>(status));
    std::exit(2);
}

// Judges the file that a crash left at `path`.
void Judge(const Operation& op, const std::string& path, uint32_t k, FaultEffect effect, Row& row) {
    const Bytes left = rl::ReadFile(path);
    std::string verdict;
    if (op.start == nullptr && left.size() < varnel32::format::kHeaderSize) {
        verdict = "no library yet";  // a crash inside create loses nothing anybody had
    } else {
        rl::Expectation e;
        if (op.start != nullptr) e.before = op.start->contents;
        e.touched = op.touched;
        e.after = op.after;
        const rl::Verdict v = rl::Examine(path, e);
        fi::ClearUiEvents();
        verdict = rl::Broken(v);
        if (verdict.empty()) {
            const auto invariants = varnel32::test::CheckFileInvariantsAt(path);
            if (!invariants) verdict = invariants.message();
        }
        if (!verdict.empty()) {
            ++row.broken;
            ++row.why[op.name + ": " + verdict];
        } else {
            verdict = rl::OutcomeName(v.outcome);
        }
    }
    if (g_verbose) {
        std::printf("  %-34s %s at write %3u: %s\n", op.name.c_str(),
                    effect == FaultEffect::Torn ? "torn " : "crash", k, verdict.c_str());
    }
}

// The session that reached no crash point must have done its work and left no journal.
void CheckCompleted(const Operation& op, const std::string& path) {
    rl::Expectation e;
    if (op.start != nullptr) e.before = op.start->contents;
    e.touched = op.touched;
    e.after = op.after;
    const bool journalLeft = ::access((path + "-journal").c_str(), F_OK) == 0;
    const rl::Verdict v = rl::Examine(path, e);
    const bool done = !journalLeft && v.outcome == rl::Outcome::Clean && v.lost.empty() &&
                      (op.after.empty() ? v.touched != rl::TouchedState::Old
                                        : v.touched == rl::TouchedState::New || op.touched.empty());
    if (!done) {
        std::fprintf(stderr, "%s: the uninterrupted session did not complete its work\n", op.name.c_str());
        std::exit(2);
    }
}

// Crashes the session at every write, whole and torn, until it runs to its end.
Row Enumerate(const Operation& op, const std::string& path) {
    Row row;
    for (uint32_t k = 1;; ++k) {
        for (const FaultEffect effect : {FaultEffect::Crash, FaultEffect::Torn}) {
            ::unlink((path + "-journal").c_str());
            if (op.start != nullptr) {
                rl::WriteFile(path, op.start->file);
            } else {
                ::unlink(path.c_str());
            }
            if (!CrashAt(op, path, k, effect)) {
                CheckCompleted(op, path);
                return row;
            }
            ++(effect == FaultEffect::Torn ? row.torn : row.points);
            Judge(op, path, k, effect, row);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--verbose") == 0) g_verbose = true;
    }
    const std::string dir = varnel32::test::MakeTempDir();
    const rl::Library main = rl::MakeMainLibrary(dir + "/main.lib");
    const rl::Library full = rl::MakeNearlyFullLibrary(dir + "/full.lib");
    const rl::Library dirty = rl::MakeDirtyLibrary(dir + "/dirty.lib", main);
    if (main.contents.empty() || full.contents.empty() || dirty.contents.empty()) {
        std::fprintf(stderr, "crash points: the starting libraries could not be built\n");
        return 2;
    }

    std::vector<Operation> ops;
    ops.push_back({"create", nullptr, "", {}, [](const std::string& p) {
                       IRCreateLibrary(0, p.c_str(), 0);
                   }});
    const auto write = [&](const std::string& name, const Bytes& record) {
        ops.push_back({name, &main, rl::KeyOfRecord(record), rl::FetchImageOf(record),
                       [record](const std::string& p) {
                           LibraryHandle* h = OpenForWriting(p);
                           IRSetExtraSpaceAmount(h, rl::kSmallExtraSpace);
                           rl::WriteRecord(h, record);
                           IRCloseLibrary(h);
                       }});
    };
    write("write by append", rl::MakeRecord("Sharp", "TV", "S-1", 40, {300}));
    write("write into a free slot", rl::MakeRecord("Sharp", "TV", "S-2", 41, {50}));
    write("write in place", rl::MakeRecord("Sony", "TV", "KV-2", 42, {25}));
    write("write with relocation", rl::MakeRecord("Sony", "VCR", "SL-1", 43, {100, 100}));
    const auto erase = [&](const std::string& name, const rl::Library& start, const std::string& key) {
        ops.push_back({name, &start, key, {}, [key](const std::string& p) {
                           LibraryHandle* h = OpenForWriting(p);
                           rl::DeleteRecord(h, key);
                           IRCloseLibrary(h);
                       }});
    };
    erase("delete", main, "philips/tv/pt-1");
    erase("delete filling the 255th slot", full, "live/tv/l2");
    ops.push_back({"compact", &main, "", {}, [](const std::string& p) {
                       LibraryHandle* h = OpenForWriting(p);
                       IRCompactLibrary(h);
                       IRCloseLibrary(h);
                   }});
    ops.push_back({"open dirty for writing (repair)", &dirty, "", {}, [](const std::string& p) {
                       IRCloseLibrary(OpenForWriting(p));
                   }});

    std::printf("Crash points: the process ends at its k-th write, after all of it or half of it\n"
                "(torn) reached the file; the next open for writing must recover everything.\n");
    std::printf("%-34s %8s %8s %8s\n", "operation (open, call, close)", "points", "torn", "broken");
    Row total;
    std::map<std::string, int> why;
    for (const Operation& op : ops) {
        const Row row = Enumerate(op, dir + "/run.lib");
        std::printf("%-34s %8d %8d %8d\n", op.name.c_str(), row.points, row.torn, row.broken);
        total.points += row.points;
        total.torn += row.torn;
        total.broken += row.broken;
        for (const auto& [k, v] : row.why) why[k] += v;
    }
    std::printf("%-34s %8d %8d %8d\n", "total", total.points, total.torn, total.broken);
    for (const auto& [k, v] : why) std::printf("  %5d  %s\n", v, k.c_str());
    varnel32::test::RemoveTree(dir);
    return total.broken == 0 ? 0 : 1;
}
