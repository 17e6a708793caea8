// The fault sweep: every operation that touches a library file is run again and again,
// failing the 1st, 2nd, 3rd ... platform call of each kind (open, read, write, seek,
// truncate, allocate, resize; failed and short transfers) and ending the process (in a
// forked child) right after its k-th write or halfway through it, until a run reaches no
// fault. After each run the result must be the documented failure value, the cursor
// restored, no handle left, and the file - as the close left it, as it stood had the
// process died right after the failed call, as the ended process left it - must pass the
// rule of rl::Broken and the file checker. Only a create that failed may leave a file
// that does not open: nobody had it.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "handle/handle.h"
#include "support/child_process.h"
#include "support/reliability.h"
#include "support/test_support.h"

namespace varnel32::test {
namespace {

namespace fi = platform::testing;
namespace rl = reliability;
using platform::FaultCall;
using platform::FaultEffect;

constexpr uint16_t kExtraSpace = rl::kSmallExtraSpace;

using Start = rl::Library;

struct Session {
    std::string path;
    LibraryHandle* handle = nullptr;

    // Opens the library into `handle` and returns the open's status.
    int32_t Open(uint32_t mode) {
        uint32_t status = 99;
        handle = IROpenLibrary(0, nullptr, path.c_str(), mode, 0, &status);
        return static_cast<int32_t>(status);
    }
};

// A failed call that the library lets pass unreported on purpose: the insertion of the
// index entry of a placed record, the cut of a compacted file, which is the last truncate
// and comes after the commit. (The index load of an open is the third; OpenStatus below
// knows it.)
enum class Swallowed { Never, IndexInsert, Truncate };

struct Scenario {
    std::string name;
    const Start* start = nullptr;  // null: no file yet (create)
    std::string touched;           // key of the record written or deleted
    Bytes after;                   // its fetch image once written
    bool changesNothing = false;   // the file must stay byte for byte as it was
    bool undone = false;           // a failed call leaves the file byte for byte as it was
    std::function<void(Session&)> setup;
    // Returns the export's result, or for an open the status it wrote.
    std::function<int32_t(Session&)> act;
    // Runs after the failed call with nothing failing, as a caller would carry on.
    std::function<void(Session&)> carryOn;
    // Whether `result` is the documented one when the k-th `call` failed (fired; `last`:
    // it was the last call of its kind) or nothing failed.
    std::function<bool(FaultCall, uint32_t k, bool fired, bool last, int32_t result)> resultOk;
};

// Tallies, per scenario and for the whole sweep: "closed: opens clean", "touched record old"...
struct Tally {
    uint64_t runs = 0, faults = 0, broken = 0;
    std::map<std::string, uint64_t> counts;
    void Add(const Tally& t) {
        runs += t.runs;
        faults += t.faults;
        broken += t.broken;
        for (const auto& [k, v] : t.counts) counts[k] += v;
    }
    void Print(const char* title, size_t scenarios) const {
        std::printf("[fault sweep] %s: %zu scenario(s), %" PRIu64 " runs, %" PRIu64 " faults injected, %" PRIu64
                    " broken\n", title, scenarios, runs, faults, broken);
        for (const auto& [k, v] : counts) std::printf("[fault sweep]   %-34s %8" PRIu64 "\n", k.c_str(), v);
    }
};

Tally g_total;
size_t g_scenarios = 0;

class SweepTotals : public ::testing::Environment {
public:
    void TearDown() override {
        if (g_scenarios > 0) g_total.Print("total", g_scenarios);
    }
};
const auto* const g_totals = ::testing::AddGlobalTestEnvironment(new SweepTotals);

const std::pair<FaultCall, const char*> kCalls[] = {
    {FaultCall::Open, "open"},         {FaultCall::Read, "read"},         {FaultCall::Write, "write"},
    {FaultCall::Seek, "seek"},         {FaultCall::Truncate, "truncate"}, {FaultCall::Allocate, "allocate"},
    {FaultCall::Resize, "resize"}};

class FaultSweep : public LibraryTest {
protected:
    Start BuildMain() { return Checked(rl::MakeMainLibrary(Path("main.lib"))); }
    // Live extents of about 3 KiB behind two deleted ones of 9 and 5 KiB: the compaction
    // moves them in several pieces, each no longer than the distance moved, and the
    // journal points at the moved bytes instead of holding them.
    Start BuildLongMoves() {
        std::vector<Bytes> records;
        for (uint32_t i = 0; i < 10; ++i) {
            records.push_back(rl::MakeRecord("Long", "TV", "M" + std::to_string(i), 50 + i, {uint16_t(i == 0 ? 9000 : i == 7 ? 5000 : 3000)}));
        }
        return Checked(rl::BuildLibrary(Path("long.lib"), 1024, records, {"long/tv/m0", "long/tv/m7"}));
    }
    // A compaction of `start` whose process ended right before its commit: the file as it
    // left it (holding what `start` holds, once undone) and its journal.
    Start CompactionCutShort(const Start& start, Bytes& journal) {
        const std::string path = Path("hot.lib");
        const auto compact = [&](uint32_t dieAt) {
            rl::WriteFile(path, start.file);
            ::unlink((path + "-journal").c_str());
            uint32_t status = 0;
            LibraryHandle* h = IROpenLibrary(0, nullptr, path.c_str(), IRModeWrite, 0, &status);
            fi::ClearFaults();
            if (dieAt != 0) fi::InjectFault(FaultCall::Write, dieAt, FaultEffect::Crash);
            IRCompactLibrary(h);
            const uint32_t writes = fi::CallCount(FaultCall::Write);
            fi::ClearFaults();
            IRCloseLibrary(h);
            return writes;
        };
        const uint32_t writes = compact(0);  // the last write is the commit
        RunInChild([&] { return static_cast<int>(compact(writes - 1)); });
        journal = rl::ReadFile(path + "-journal");
        return {rl::ReadFile(path), start.contents, journal};
    }
    static Start Checked(const Start& start) {
        EXPECT_FALSE(start.contents.empty());
        EXPECT_EQ(rl::Violations(start.file), "");
        return start;
    }

    void Sweep(const Scenario& s) {
        Tally tally;
        for (const auto& [call, name] : kCalls) {
            for (const FaultEffect effect :
                 {FaultEffect::Fail, FaultEffect::Short, FaultEffect::Crash, FaultEffect::Torn}) {
                const bool dies = effect == FaultEffect::Crash || effect == FaultEffect::Torn;
                if ((effect == FaultEffect::Short && call != FaultCall::Write && call != FaultCall::Read) ||
                    (dies && call != FaultCall::Write)) {
                    continue;
                }
                for (uint32_t k = 1; k < 100000; ++k) {
                    if (!RunOnce(s, call, name, effect, k, tally)) break;
                    if (HasFailure() && ++failures_ > 20) return;
                }
            }
        }
        tally.Print(s.name.c_str(), 1);
        g_total.Add(tally);
        ++g_scenarios;
    }

private:
    // One run failing the k-th call; false once the fault was not reached.
    bool RunOnce(const Scenario& s, FaultCall call, const char* name, FaultEffect effect, uint32_t k, Tally& tally) {
        const std::string path = Path("run.lib");
        if (s.start != nullptr) {
            rl::WriteFile(path, s.start->file);
        } else {
            ::unlink(path.c_str());
        }
        ::unlink((path + "-journal").c_str());
        if (s.start != nullptr && !s.start->journal.empty()) rl::WriteFile(path + "-journal", s.start->journal);
        fi::ClearFaults();
        fi::ClearUiEvents();
        if (effect == FaultEffect::Crash || effect == FaultEffect::Torn) return RunDying(s, effect, k, path, tally);
        Session run{path};
        if (s.setup) s.setup(run);
        const uint32_t callsBefore = fi::CallCount(call);
        fi::InjectFault(call, k, effect);
        const int32_t result = s.act(run);
        const bool fired = fi::FaultFired();
        const bool last = fi::CallCount(call) - callsBefore == k;
        fi::ClearFaults();
        if (s.carryOn) s.carryOn(run);
        ++tally.runs;
        const std::string what = s.name + ", " + name +
                                 (effect == FaultEffect::Short ? " short" : " failed") + " at call " +
                                 std::to_string(k);
        EXPECT_TRUE(s.resultOk(call, k, fired, last, result)) << what << ": result " << result
                                                          << (fired ? "" : " (no fault reached)");
        EXPECT_EQ(fi::CurrentCursor(), kUserCursor) << what << ": the busy cursor stayed up";
        if (s.undone && fired && result == 0) {
            EXPECT_TRUE(rl::ReadFile(path) == s.start->file) << what << ": the failed call was not undone";
        }

        // The journal too: an undo that failed leaves it hot for the next open. A handle
        // that may go on changing the file must agree with it: what it lists and fetches is
        // what the next open finds.
        Bytes abandoned, abandonedJournal;
        const bool heldOpen = run.handle != nullptr;
        const bool trusted = heldOpen && (run.handle->mode & IRModeWrite) != 0 && !run.handle->indexIncomplete;
        const rl::Contents seen = trusted ? rl::ReadContents(run.handle) : rl::Contents{};
        if (heldOpen) {
            abandoned = rl::ReadFile(path);
            abandonedJournal = rl::ReadFile(path + "-journal");
            IRCloseLibrary(run.handle);
        }
        EXPECT_EQ(OpenHandleCount(), 0u) << what << ": a handle was left in the registry";
        if (fired) ++tally.faults;
        if (s.changesNothing) {
            EXPECT_TRUE(rl::ReadFile(path) == s.start->file) << what << ": the file changed";
        }

        // The run that reached no fault is judged too, but only faulted runs are counted.
        // When the close wrote nothing, the abandoned file is the same and judged once.
        Tally unfaulted;
        Tally& counts = fired ? tally : unfaulted;
        std::vector<std::string> states{"closed"};
        const bool sameAsClosed = abandoned == rl::ReadFile(path) &&
                                  abandonedJournal == rl::ReadFile(path + "-journal");
        if (heldOpen && sameAsClosed) states.push_back("abandoned");
        Judge(s, what, states, path, counts);
        if (trusted) {
            EXPECT_TRUE(seen == rl::ContentsOf(path)) << what << ": the handle disagrees with the file";
        }
        if (heldOpen && states.size() == 1) {
            const std::string copy = Path("abandoned.lib");
            rl::WriteFile(copy, abandoned);
            ::unlink((copy + "-journal").c_str());
            if (!abandonedJournal.empty()) rl::WriteFile(copy + "-journal", abandonedJournal);
            Judge(s, what, {"abandoned"}, copy, counts);
        }
        return fired;
    }

    // A process that ends at its k-th write, after all of it or half of it (torn) reached the
    // file: the session runs in a child, and the file is judged as the next process finds
    // it. False once the session ran to its end.
    bool RunDying(const Scenario& s, FaultEffect effect, uint32_t k, const std::string& path, Tally& tally) {
        const int status = RunInChild([&] {
            Session run{path};
            if (s.setup) s.setup(run);
            fi::InjectFault(FaultCall::Write, k, effect);
            s.act(run);
            if (s.carryOn) s.carryOn(run);
            if (run.handle != nullptr) IRCloseLibrary(run.handle);
            return 0;
        });
        if (status != platform::kCrashExitStatus) return false;
        ++tally.runs;
        ++tally.faults;
        const bool torn = effect == FaultEffect::Torn;
        Judge(s, s.name + (torn ? ", write torn at call " : ", died after write ") + std::to_string(k),
              {torn ? "torn" : "died"}, path, tally);
        return true;
    }

    // Judges the file at `path`, which stands for the file in each of `states`.
    void Judge(const Scenario& s, const std::string& run, const std::vector<std::string>& states,
               const std::string& path, Tally& tally) {
        const std::string what = run + " (" + states.back() + ")";
        if (s.start == nullptr && (!FileExists(path) || rl::ReadFile(path).size() < format::kHeaderSize)) {
            for (const std::string& state : states) ++tally.counts[state + ": no library made"];
            return;
        }
        rl::Expectation e;
        if (s.start != nullptr) e.before = s.start->contents;
        e.touched = s.touched;
        e.after = s.after;
        const rl::Verdict v = rl::Examine(path, e);
        for (const std::string& state : states) {
            ++tally.counts[state + ": " + rl::OutcomeName(v.outcome)];
            if (v.touched != rl::TouchedState::None) ++tally.counts[std::string("touched record ") + rl::TouchedName(v.touched)];
        }
        // The rule, then the checker over the file that the judging opens left behind.
        std::string broken = rl::Broken(v);
        if (broken.empty()) broken = rl::Violations(rl::ReadFile(path));
        if (!broken.empty()) tally.broken += states.size();
        EXPECT_EQ(broken, "") << what;
    }

    int failures_ = 0;
};

// ---- Expected results ---------------------------------------------------------------------

// Results of an export that does work: 1 when no fault was reached, 0 when one was, unless
// that fault is one the library lets pass.
std::function<bool(FaultCall, uint32_t, bool, bool, int32_t)> WorkResult(Swallowed swallowed) {
    return [swallowed](FaultCall call, uint32_t, bool fired, bool last, int32_t result) {
        if (!fired) return result == 1;
        const bool passes = (swallowed == Swallowed::IndexInsert && call == FaultCall::Resize) ||
                            (swallowed == Swallowed::Truncate && call == FaultCall::Truncate && last);
        return result == (passes ? 1 : 0);
    };
}

// The status of an open: the fault decides which exit it takes.
std::function<bool(FaultCall, uint32_t, bool, bool, int32_t)> OpenStatus(bool dirty, bool write) {
    return [dirty, write](FaultCall call, uint32_t k, bool fired, bool last, int32_t status) {
        const int32_t done = dirty && !write ? IROpenBadLibrary : IROpenOk;
        if (!fired) return status == done;
        if (call == FaultCall::Open && k == 1) return status == IROpenCannotOpenFile;
        if (call == FaultCall::Allocate && k == 1) return status == IROpenOutOfMemory;
        if (call == FaultCall::Read && k == 1) return status == IROpenBadLibrary;
        if (!dirty) return status == IROpenOk;             // the index load goes unreported
        if (!write) return status == IROpenBadLibrary;
        if (call == FaultCall::Truncate && last) return status == IROpenOk;  // the cut is not checked
        return status == IROpenBadLibrary;                 // the repair failed
    };
}

// A scenario on `start` (null: no file yet); `record`, when given, is the one its call writes.
Scenario On(const std::string& name, const Start* start, const Bytes& record = {}) {
    Scenario s;
    s.name = name;
    s.start = start;
    if (!record.empty()) {
        s.touched = rl::KeyOfRecord(record);
        s.after = rl::FetchImageOf(record);
    }
    return s;
}
void OpenForWriting(Session& r) { r.Open(IRModeWrite); }

// A call on a handle open for writing whose failure is undone; `passes` is the fault the
// library lets pass.
Scenario OnHandle(Scenario s, Swallowed passes, std::function<int32_t(Session&)> act) {
    if (!s.setup) s.setup = OpenForWriting;
    s.act = std::move(act);
    s.resultOk = WorkResult(passes);
    s.undone = true;
    return s;
}
Scenario Compacting(const std::string& name, const Start& start) {
    return OnHandle(On(name, &start), Swallowed::Truncate, [](Session& r) { return IRCompactLibrary(r.handle); });
}

TEST_F(FaultSweep, Create) {
    Scenario s = On("create", nullptr);
    s.act = [](Session& r) { return IRCreateLibrary(0, r.path.c_str(), 0); };
    s.resultOk = WorkResult(Swallowed::Never);
    Sweep(s);
}

// Opens of the clean and the dirty library, read-only and for writing (the repair).
TEST_F(FaultSweep, Open) {
    const Start main = BuildMain();
    const Start dirty = rl::MakeDirtyLibrary(Path("dirty.lib"), main);
    for (const bool isDirty : {false, true}) {
        for (const uint32_t mode : {IRModeReadOnly, IRModeWrite}) {
            const bool writes = mode == IRModeWrite;
            Scenario s = On(std::string("open ") + (isDirty ? "dirty" : "clean") +
                                (writes ? (isDirty ? " for writing (repair)" : " for writing") : " read-only"),
                            isDirty ? &dirty : &main);
            s.changesNothing = !(isDirty && writes);  // only the repair writes
            s.act = [mode](Session& r) { return r.Open(mode); };
            s.resultOk = OpenStatus(isDirty, writes);
            Sweep(s);
        }
    }
}

#ifndef _WIN32  // the journal is left by a process that dies in a forked child
// Opens of a file that a write left half done when its process died: refused read-only,
// undone by the open for writing, whatever fails in the undo.
TEST_F(FaultSweep, OpenWithHotJournal) {
    const Start main = BuildMain();
    const Bytes record = rl::MakeRecord("Sharp", "TV", "S-4", 46, {300});
    Start hot = main;
    for (uint32_t k = 1; hot.file == main.file || hot.journal.empty(); ++k) {
        ASSERT_LT(k, 20u) << "no write left the file changed beside a hot journal";
        const std::string path = Path("hot.lib");
        rl::WriteFile(path, main.file);
        RunInChild([&] {
            Session run{path};
            run.Open(IRModeWrite);
            fi::InjectFault(FaultCall::Write, k, FaultEffect::Crash);
            return rl::WriteRecord(run.handle, record) ? 0 : 1;
        });
        hot.file = rl::ReadFile(path);
        hot.journal = rl::ReadFile(path + "-journal");
    }
    for (const uint32_t mode : {IRModeReadOnly, IRModeWrite}) {
        Scenario s = On(mode == IRModeWrite ? "open with a hot journal for writing (undo)"
                                            : "open with a hot journal read-only",
                        &hot, record);
        s.changesNothing = mode == IRModeReadOnly;
        s.act = [mode](Session& r) { return r.Open(mode); };
        // A fault in the undo refuses the open; one after it meets the original, clean file.
        s.resultOk = [mode](FaultCall call, uint32_t k, bool fired, bool last, int32_t status) {
            return mode == IRModeReadOnly ? OpenStatus(true, false)(call, k, fired, last, status)
                   : fired                ? status != IROpenWrongKind && status != IROpenWriteProtected
                                          : status == IROpenOk;
        };
        Sweep(s);
    }
}
#endif

// A handle whose index could not be loaded whole must not let a write place a second record
// under names that the file already holds: the repair could not tell the two apart.
TEST_F(FaultSweep, OpenForWritingThenRewrite) {
    const Start main = BuildMain();
    const Bytes record = rl::MakeRecord("Grundig", "TV", "G-2", 45, {12});
    Scenario s = On("open for writing, then a rewrite", &main, record);
    s.act = [](Session& r) { return r.Open(IRModeWrite); };
    s.carryOn = [record](Session& r) {
        IRSetExtraSpaceAmount(r.handle, kExtraSpace);
        rl::WriteRecord(r.handle, record);
    };
    s.resultOk = OpenStatus(false, true);
    Sweep(s);
}

// The four ways a write places its record (177 bytes used fits the 243-byte slot of old-1).
TEST_F(FaultSweep, Write) {
    const Start main = BuildMain();
    for (const auto& [name, record] : {std::pair{"write by append", rl::MakeRecord("Sharp", "TV", "S-1", 40, {300})},
                                       {"write into a free slot", rl::MakeRecord("Sharp", "TV", "S-2", 41, {50})},
                                       {"write in place", rl::MakeRecord("Sony", "TV", "KV-2", 42, {25})},
                                       {"write with relocation", rl::MakeRecord("Sony", "VCR", "SL-1", 43, {100, 100})}}) {
        Scenario s = On(name, &main, record);
        s.setup = [](Session& r) {
            r.Open(IRModeWrite);
            IRSetExtraSpaceAmount(r.handle, kExtraSpace);
        };
        Sweep(OnHandle(s, Swallowed::IndexInsert, [image = record](Session& r) {
            return IRWriteRemoteRecord(r.handle, reinterpret_cast<const RemoteRecord*>(image.data()));
        }));
    }
}

TEST_F(FaultSweep, Delete) {
    const Start main = BuildMain();
    const Start full = Checked(rl::MakeNearlyFullLibrary(Path("full.lib")));
    const auto deleting = [](const char* name, const Start& start, const std::string& key, Swallowed passes) {
        Scenario s = On(name, &start);
        s.touched = key;
        return OnHandle(s, passes, [key](Session& r) { return rl::DeleteRecord(r.handle, key) ? 1 : 0; });
    };
    Sweep(deleting("delete", main, "philips/tv/pt-1", Swallowed::Never));
    Sweep(deleting("delete filling the 255th slot", full, "live/tv/l2", Swallowed::Truncate));
}

// Compactions of the main library and of one whose journal points at moved bytes, and the
// open that undoes the latter cut short before its commit: an undo stopped anywhere and
// begun again must not copy bytes that it already put back.
TEST_F(FaultSweep, Compact) {
    const Start main = BuildMain();
    Sweep(Compacting("compact", main));
    const Start start = BuildLongMoves();
    Sweep(Compacting("compact with long moves", start));
    Bytes journal;
    const Start cutShort = CompactionCutShort(start, journal);
#ifndef _WIN32  // the compaction cut short dies in a forked child
    ASSERT_FALSE(journal.empty());
#endif
    if (journal.empty()) return;
    Scenario s = On("open undoing a compaction with long moves", &cutShort);
    s.act = [](Session& r) { return r.Open(IRModeWrite); };
    s.resultOk = [](FaultCall, uint32_t, bool fired, bool, int32_t status) { return status == IROpenOk || fired; };
    Sweep(s);
}

TEST_F(FaultSweep, CloseSavingTheIndex) {
    const Start main = BuildMain();
    const Bytes record = rl::MakeRecord("Sharp", "Sat", "S-3", 44, {70});
    Scenario s = On("close saving the index", &main, record);
    s.setup = [record](Session& r) {
        r.Open(IRModeWrite);
        rl::WriteRecord(r.handle, record);
    };
    s.act = [](Session& r) {
        IRCloseLibrary(r.handle);
        r.handle = nullptr;
        return 1;
    };
    s.resultOk = [](FaultCall, uint32_t, bool, bool, int32_t) { return true; };
    Sweep(s);
}

}  // namespace
}  // namespace varnel32::test
