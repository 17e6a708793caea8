// Crash-point enumeration: each operation runs in a forked child that ends itself right
// after its k-th write reached the file (k = 1, 2, 3 ... until the session finishes), as a
// power cut or a killed process would. The parent then opens the file as the next process
// would - read-only, then for writing, which repairs a dirty file - and sorts what survived.
// It prints a table; it measures the file format's crash safety and gates nothing.
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
    bool compacts = false;
    std::function<void(const std::string& path)> session;
};

struct Row {
    int points = 0, intact = 0, lostTouched = 0, latent = 0, unrecoverable = 0;
    std::map<std::string, int> why;
};

bool g_verbose = false;

LibraryHandle* OpenForWriting(const std::string& path) {
    uint32_t status = 0;
    return IROpenLibrary(0, nullptr, path.c_str(), IRModeWrite, 0, &status);
}

// Runs the session in a child that dies at its k-th write. True when it died there, false
// when the session ended before reaching write k.
bool CrashAt(const Operation& op, const std::string& path, uint32_t k) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        std::exit(2);
    }
    if (pid == 0) {
        fi::ClearFaults();
        fi::InjectFault(FaultCall::Write, k, FaultEffect::Crash);
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

// Sorts the file that a crash left at `path`.
void Judge(const Operation& op, const std::string& path, uint32_t k, Row& row) {
    const Bytes left = rl::ReadFile(path);
    const Bytes none;
    const Bytes& start = op.start != nullptr ? op.start->file : none;
    rl::Expectation e;
    if (op.start != nullptr) e.before = op.start->contents;
    e.touched = op.touched;
    e.after = op.after;
    const rl::Verdict v = rl::Examine(path, e);
    fi::ClearUiEvents();
    std::string verdict;
    const auto diagnose = [&] { return rl::Diagnose(left, start, op.touched, !op.after.empty(), op.compacts); };
    if (op.start == nullptr && left.size() < varnel32::format::kHeaderSize) {
        // A crash inside create leaves no library, which loses nothing.
        ++row.intact;
        verdict = "no library yet";
    } else if (v.outcome == rl::Outcome::Unrecoverable) {
        ++row.unrecoverable;
        verdict = diagnose();
        ++row.why[verdict];
    } else if (!v.lost.empty()) {
        ++row.unrecoverable;
        verdict = v.lost;
        ++row.why[verdict];
    } else {
        const bool tornRecord = v.touched == rl::TouchedState::Unreadable;
        const rl::Walk walk = rl::WalkFile(left);
        bool latent = !v.latent.empty();
        if (walk.headerValid && walk.header.dirty == 0 && !tornRecord) {
            latent = latent || !varnel32::test::CheckFileInvariants(left);
        }
        if (latent) {
            ++row.latent;
            verdict = diagnose() + " (opens, a later compaction fails)";
            ++row.why[verdict];
        } else if (v.touched == rl::TouchedState::Unreadable || v.touched == rl::TouchedState::Torn ||
                   (v.touched == rl::TouchedState::Absent && !op.after.empty())) {
            ++row.lostTouched;
            verdict = std::string("touched record ") + rl::TouchedName(v.touched);
        } else {
            ++row.intact;
            verdict = rl::OutcomeName(v.outcome);
        }
    }
    if (g_verbose) std::printf("  %-34s crash at write %3u: %s\n", op.name.c_str(), k, verdict.c_str());
}

Row Enumerate(const Operation& op, const std::string& path) {
    Row row;
    for (uint32_t k = 1;; ++k) {
        if (op.start != nullptr) {
            rl::WriteFile(path, op.start->file);
        } else {
            ::unlink(path.c_str());
        }
        if (!CrashAt(op, path, k)) {
            // The session that reached no crash point must have done its work.
            rl::Expectation e;
            if (op.start != nullptr) e.before = op.start->contents;
            e.touched = op.touched;
            e.after = op.after;
            const rl::Verdict v = rl::Examine(path, e);
            const bool done = v.outcome == rl::Outcome::Clean && v.lost.empty() &&
                              (op.after.empty() ? v.touched != rl::TouchedState::Old
                                                : v.touched == rl::TouchedState::New || op.touched.empty());
            if (!done) {
                std::fprintf(stderr, "%s: the uninterrupted session did not complete its work\n", op.name.c_str());
                std::exit(2);
            }
            break;
        }
        ++row.points;
        Judge(op, path, k, row);
    }
    return row;
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
    ops.push_back({"create", nullptr, "", {}, false, [](const std::string& p) {
                       IRCreateLibrary(0, p.c_str(), 0);
                   }});
    const auto write = [&](const std::string& name, const Bytes& record) {
        ops.push_back({name, &main, rl::KeyOfRecord(record), rl::FetchImageOf(record), false,
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
        ops.push_back({name, &start, key, {}, &start == &full, [key](const std::string& p) {
                           LibraryHandle* h = OpenForWriting(p);
                           rl::DeleteRecord(h, key);
                           IRCloseLibrary(h);
                       }});
    };
    erase("delete", main, "philips/tv/pt-1");
    erase("delete filling the 255th slot", full, "live/tv/l2");
    ops.push_back({"compact", &main, "", {}, true, [](const std::string& p) {
                       LibraryHandle* h = OpenForWriting(p);
                       IRCompactLibrary(h);
                       IRCloseLibrary(h);
                   }});
    ops.push_back({"open dirty for writing (repair)", &dirty, "", {}, true, [](const std::string& p) {
                       IRCloseLibrary(OpenForWriting(p));
                   }});

    std::printf("Crash points: the process ends right after its k-th write reached the file.\n");
    std::printf("%-34s %8s %12s %14s %8s %14s\n", "operation (open, call, close)", "points",
                "nothing lost", "lost the one", "latent", "not");
    std::printf("%-34s %8s %12s %14s %8s %14s\n", "", "tried", "", "being written", "damage",
                "recoverable");
    Row total;
    std::map<std::string, int> why;
    for (const Operation& op : ops) {
        const Row row = Enumerate(op, dir + "/run.lib");
        std::printf("%-34s %8d %12d %14d %8d %14d\n", op.name.c_str(), row.points, row.intact,
                    row.lostTouched, row.latent, row.unrecoverable);
        total.points += row.points;
        total.intact += row.intact;
        total.lostTouched += row.lostTouched;
        total.latent += row.latent;
        total.unrecoverable += row.unrecoverable;
        for (const auto& [k, v] : row.why) why[k] += v;
    }
    std::printf("%-34s %8d %12d %14d %8d %14d\n", "total", total.points, total.intact,
                total.lostTouched, total.latent, total.unrecoverable);
    if (!why.empty()) std::printf("\nWhy files were damaged:\n");
    for (const auto& [k, v] : why) std::printf("  %5d  %s\n", v, k.c_str());
    std::printf("\n\"latent damage\": the file opens and every record fetches, but its counters no longer\n"
                "match its extents, so the next compaction fails.\n");
    varnel32::test::RemoveTree(dir);
    return 0;
}
