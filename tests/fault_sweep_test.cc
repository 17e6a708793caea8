// The fault sweep: each scenario is run again and again, failing the 1st, 2nd, 3rd ... platform
// call of each kind (failed or short) and ending the process (a forked child) right after its
// k-th write or halfway through it, until no fault is reached. Each run must return the
// documented value, restore the cursor and leave no handle; its file, as closed, as abandoned
// right after the failed call, as the ended process left it, must be recovered by the next
// open with the records from before the call or after it, and pass the file checker.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
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

// Where a scenario starts. Hot: the main library beside the hot journal of a write of the
// scenario's record that died half done; CutShort: long moves after a compaction that ended
// right before its commit.
enum class Start { None, Main, Dirty, Full, LongMoves, Hot, CutShort };
// From Write on, calls on a handle that the run opened for writing before.
enum class Act { Create, OpenReadOnly, OpenForWriting, OpenThenWrite, Write, Delete, Compact, Close };

struct Scenario {
    const char* name;
    Start start;
    Act act;
    Bytes record{};   // the record written (or in flight in the hot journal)
    std::string key{};  // the record deleted
};
void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

const Bytes kInFlight = rl::MakeRecord("Sharp", "TV", "S-4", 46, {300});
const Scenario kScenarios[] = {
    {"create", Start::None, Act::Create},
    {"open clean read-only", Start::Main, Act::OpenReadOnly},
    {"open clean for writing", Start::Main, Act::OpenForWriting},
    {"open dirty read-only", Start::Dirty, Act::OpenReadOnly},
    {"open dirty for writing (repair)", Start::Dirty, Act::OpenForWriting},
    {"open with a hot journal read-only", Start::Hot, Act::OpenReadOnly, kInFlight},
    {"open with a hot journal for writing (undo)", Start::Hot, Act::OpenForWriting, kInFlight},
    // A handle whose index could not be loaded whole must not let a write place a second
    // record under names that the file already holds: the repair could not tell them apart.
    {"open for writing, then a rewrite", Start::Main, Act::OpenThenWrite,
     rl::MakeRecord("Grundig", "TV", "G-2", 45, {12})},
    // The four ways a write places its record (177 bytes used fits the 243-byte slot of old-1).
    {"write by append", Start::Main, Act::Write, rl::MakeRecord("Sharp", "TV", "S-1", 40, {300})},
    {"write into a free slot", Start::Main, Act::Write, rl::MakeRecord("Sharp", "TV", "S-2", 41, {50})},
    {"write in place", Start::Main, Act::Write, rl::MakeRecord("Sony", "TV", "KV-2", 42, {25})},
    {"write with relocation", Start::Main, Act::Write, rl::MakeRecord("Sony", "VCR", "SL-1", 43, {100, 100})},
    {"delete", Start::Main, Act::Delete, {}, "philips/tv/pt-1"},
    {"delete filling the 255th slot", Start::Full, Act::Delete, {}, "live/tv/l2"},
    {"compact", Start::Main, Act::Compact},
    {"compact with long moves", Start::LongMoves, Act::Compact},
    // An undo stopped anywhere and begun again must not copy bytes that it already put back.
    {"open undoing a compaction with long moves", Start::CutShort, Act::OpenForWriting},
    {"close saving the index", Start::Main, Act::Close, rl::MakeRecord("Sharp", "Sat", "S-3", 44, {70})},
};

// Whether `r` is the documented result of the scenario's call when the k-th `call` failed
// (`fired`; `last`: it was the last call of its kind) or when nothing failed.
bool ResultOk(const Scenario& s, FaultCall call, uint32_t k, bool fired, bool last, int64_t r) {
    if (s.act == Act::Close) return true;
    if (s.act == Act::Create || s.act == Act::Write || s.act == Act::Delete || s.act == Act::Compact) {
        // Let pass on purpose: a placed record's index insertion, the cut after a commit.
        const bool passes = s.act == Act::Write ? call == FaultCall::Resize
                                                : s.act != Act::Create && call == FaultCall::Truncate && last;
        return r == (fired && !passes ? 0 : 1);
    }
    const bool dirty = s.start != Start::Main, write = s.act == Act::OpenForWriting;
    if (!fired) return r == (dirty && !write ? IROpenBadLibrary : IROpenOk);
    if (call == FaultCall::Open && k == 1) return r == IROpenCannotOpenFile;
    if (call == FaultCall::Allocate && k == 1) return r == IROpenOutOfMemory;
    if (call == FaultCall::Read && k == 1) return r == IROpenBadLibrary;
    if (!dirty) return r == IROpenOk;  // the index load goes unreported
    if (!write) return r == IROpenBadLibrary;
    // A fault in the undo refuses the open; one after it meets the original, clean file.
    if (s.start == Start::Hot || s.start == Start::CutShort) {
        return r != IROpenWrongKind && r != IROpenWriteProtected;
    }
    if (call == FaultCall::Truncate && last) return r == IROpenOk;  // the cut is not checked
    return r == IROpenBadLibrary;                                   // the repair failed
}

struct Tally {
    uint64_t scenarios = 1, runs = 0, faults = 0, broken = 0;
    std::map<std::string, uint64_t> counts;  // "closed: opens clean", "touched record old"...
    void Add(const Tally& t) {
        scenarios += t.scenarios, runs += t.runs, faults += t.faults, broken += t.broken;
        for (const auto& [k, v] : t.counts) counts[k] += v;
    }
    void Print(const char* title) const {
        std::printf("[fault sweep] %s: %" PRIu64 " scenario(s), %" PRIu64 " runs, %" PRIu64 " faults injected, %"
                    PRIu64 " broken\n", title, scenarios, runs, faults, broken);
        for (const auto& [k, v] : counts) std::printf("[fault sweep]   %-34s %8" PRIu64 "\n", k.c_str(), v);
    }
};
struct Total : Tally {  // printed last, once every scenario that ran is in
    ~Total() {
        if (scenarios > 0) Print("total");
    }
} g_total{{0, 0, 0, 0, {}}};

const char* const kCallNames[] = {"open", "read", "write", "seek", "truncate", "allocate", "resize"};

class FaultSweep : public LibraryTest, public ::testing::WithParamInterface<Scenario> {
protected:
    void Sweep() {
        const Scenario& s = GetParam();
#ifdef _WIN32
        if (s.start == Start::Hot || s.start == Start::CutShort) GTEST_SKIP() << "needs a forked child";
#endif
        run_ = Path("run.lib");
        start_ = Build(s);
        if (HasFailure()) return;
        after_ = start_.contents;
        touched_ = s.record.empty() ? s.key : rl::KeyOfRecord(s.record);
        if (!s.record.empty()) after_[touched_] = rl::FetchImageOf(s.record);
        if (!s.key.empty()) after_.erase(s.key);
        Tally tally;
        using enum FaultEffect;
        for (int c = 0; c < static_cast<int>(FaultCall::kCount); ++c) {
            const auto call = static_cast<FaultCall>(c);
            for (const FaultEffect effect : {Fail, Short, Crash, Torn}) {
                const bool dies = effect == Crash || effect == Torn;
                if (call != FaultCall::Write && (dies || (effect == Short && call != FaultCall::Read))) continue;
                for (uint32_t k = 1; k < 100000 && failures_ <= 20; ++k) {
                    if (!(dies ? RunDying(s, effect, k, tally) : RunOnce(s, call, effect, k, tally))) break;
                    failures_ += HasFailure() ? 1 : 0;
                }
            }
        }
        tally.Print(s.name);
        EXPECT_GT(tally.faults, 0u);
        g_total.Add(tally);
    }

private:
    rl::Library Build(const Scenario& s) {
        // 200 KB of extents behind an 80 KB hole, then two behind a 5 KB one: moved in pieces
        // no longer than the hole, each over the source of the one before, so that the undo
        // copies back a moved entry longer than its buffer, in parts.
        std::vector<Bytes> longMoves;
        for (uint32_t i = 0; i < 10; ++i) {
            const uint16_t length = i < 7 ? 40000 : i == 7 ? 5000 : 3000;
            longMoves.push_back(rl::MakeRecord("Long", "TV", "M" + std::to_string(i), 50 + i, {length}));
        }
        switch (s.start) {
        case Start::None: return {};
        case Start::Main: return rl::MakeMainLibrary(Path("main.lib"));
        case Start::Dirty: return rl::MakeDirtyLibrary(Path("dirty.lib"), rl::MakeMainLibrary(Path("main.lib")));
        case Start::Full: return rl::MakeNearlyFullLibrary(Path("full.lib"));
        case Start::LongMoves:
            return rl::BuildLibrary(Path("long.lib"), 1024, longMoves, {"long/tv/m0", "long/tv/m1", "long/tv/m7"});
        case Start::Hot: return DiedHalfDone({"", Start::Main, Act::Write, s.record});
        case Start::CutShort: return DiedHalfDone({"", Start::LongMoves, Act::Compact});
        }
        return {};
    }

    // The start of `s` as a process left it that died running `s` right after the first write
    // that left the file changed beside a hot journal, or for a compaction before its commit.
    rl::Library DiedHalfDone(const Scenario& s) {
        const rl::Library start = start_ = Build(s);
        uint32_t k = 1;
        if (s.act == Act::Compact) {
            Prepare(start);
            Begin(s);
            const uint32_t before = fi::CallCount(FaultCall::Write);
            Do(s);
            k = fi::CallCount(FaultCall::Write) - before - 1;  // the last write is the commit
            IRCloseLibrary(handle_);
        }
        rl::Library died = start;
        for (; died.file == start.file || died.journal.empty(); ++k) {
            if (!Dies(s, FaultEffect::Crash, k)) {
                ADD_FAILURE() << "no write left the file changed beside a hot journal";
                return {};
            }
            died = {rl::ReadFile(run_), start.contents, rl::ReadFile(run_ + "-journal")};
        }
        return died;
    }

    void Prepare(const rl::Library& start) {
        for (const std::string& file : {run_, run_ + "-journal"}) std::remove(file.c_str());
        if (!start.file.empty()) rl::WriteFile(run_, start.file);
        if (!start.journal.empty()) rl::WriteFile(run_ + "-journal", start.journal);
        fi::ClearFaults();
    }
    int32_t Open(uint32_t mode) {
        uint32_t status = 99;
        handle_ = IROpenLibrary(0, nullptr, run_.c_str(), mode, 0, &status);
        return static_cast<int32_t>(status);
    }
    void Begin(const Scenario& s) {
        handle_ = nullptr;
        if (s.act >= Act::Write) Open(IRModeWrite);
        if (s.act == Act::Write) IRSetExtraSpaceAmount(handle_, rl::kSmallExtraSpace);
        if (s.act == Act::Close) rl::WriteRecord(handle_, s.record);
    }
    int32_t Do(const Scenario& s) {
        switch (s.act) {
        case Act::Create: return IRCreateLibrary(0, run_.c_str(), 0);
        case Act::OpenReadOnly: return Open(IRModeReadOnly);
        case Act::OpenForWriting: return Open(IRModeWrite);
        case Act::OpenThenWrite: return Open(IRModeWrite);
        case Act::Write: return rl::WriteRecord(handle_, s.record) ? 1 : 0;
        case Act::Delete: return rl::DeleteRecord(handle_, s.key) ? 1 : 0;
        case Act::Compact: return IRCompactLibrary(handle_);
        case Act::Close: IRCloseLibrary(handle_); handle_ = nullptr; return 1;
        }
        return -1;
    }
    // After the failed call, with nothing failing, as a caller would carry on.
    void CarryOn(const Scenario& s) {
        if (s.act == Act::OpenThenWrite && IRSetExtraSpaceAmount(handle_, rl::kSmallExtraSpace) == 1) {
            rl::WriteRecord(handle_, s.record);
        }
    }

    // One run failing the k-th call; false once the fault was not reached.
    bool RunOnce(const Scenario& s, FaultCall call, FaultEffect effect, uint32_t k, Tally& tally) {
        Prepare(start_);
        Begin(s);
        const uint32_t callsBefore = fi::CallCount(call);
        fi::InjectFault(call, k, effect);
        const int32_t result = Do(s);
        const bool fired = fi::FaultFired();
        const bool last = fi::CallCount(call) - callsBefore == k;
        fi::ClearFaults();
        CarryOn(s);
        ++tally.runs;
        const std::string what = std::string(s.name) + ", " + kCallNames[static_cast<int>(call)] +
                                 (effect == FaultEffect::Short ? " short at call " : " failed at call ") +
                                 std::to_string(k);
        EXPECT_TRUE(ResultOk(s, call, k, fired, last, result)) << what << ": result " << result
                                                              << (fired ? "" : " (no fault reached)");
        EXPECT_EQ(fi::CurrentCursor(), kUserCursor) << what << ": the busy cursor stayed up";
        if (s.act >= Act::Write && s.act != Act::Close && fired && result == 0) {
            EXPECT_TRUE(rl::ReadFile(run_) == start_.file) << what << ": not undone";
        }

        // The journal too: an undo that failed leaves it hot for the next open. A handle that
        // may go on changing the file must agree with it: what it reaches, the next open finds.
        rl::Library abandoned;
        const bool heldOpen = handle_ != nullptr;
        const bool trusted = heldOpen && (handle_->mode & IRModeWrite) != 0 && !handle_->indexIncomplete;
        const rl::Contents seen = trusted ? rl::ReadContents(handle_) : rl::Contents{};
        if (heldOpen) abandoned = {rl::ReadFile(run_), {}, rl::ReadFile(run_ + "-journal")};
        IRCloseLibrary(handle_);
        EXPECT_EQ(OpenHandleCount(), 0u) << what << ": a handle was left in the registry";
        if (fired) ++tally.faults;
        if (s.act == Act::OpenReadOnly || (s.act == Act::OpenForWriting && s.start == Start::Main)) {
            EXPECT_TRUE(rl::ReadFile(run_) == start_.file) << what << ": the file changed";
        }

        // The run that reached no fault is judged too, but only faulted runs are counted.
        Tally unfaulted;
        Tally& counts = fired ? tally : unfaulted;
        Judge(what, "closed", counts);
        if (trusted) {
            EXPECT_TRUE(seen == rl::ContentsOf(run_)) << what << ": the handle disagrees with the file";
        }
        if (heldOpen) {
            Prepare(abandoned);
            Judge(what, "abandoned", counts);
        }
        return fired;
    }

    // Whether a process running `s` on the starting file ended at its k-th write, after all
    // of it or half of it (torn) reached the file; false once the session ran to its end.
    bool Dies(const Scenario& s, FaultEffect effect, uint32_t k) {
        Prepare(start_);
        return RunInChild([&] {
            Begin(s);
            fi::InjectFault(FaultCall::Write, k, effect);
            Do(s);
            CarryOn(s);
            IRCloseLibrary(handle_);
            return 0;
        }) == platform::kCrashExitStatus;
    }
    bool RunDying(const Scenario& s, FaultEffect effect, uint32_t k, Tally& tally) {
        if (!Dies(s, effect, k)) return false;
        ++tally.runs, ++tally.faults;
        const bool torn = effect == FaultEffect::Torn;
        Judge(std::string(s.name) + (torn ? ", write torn at call " : ", died after write ") + std::to_string(k),
              torn ? "torn" : "died", tally);
        return true;
    }

    // Judges the file as the next process finds it after the run, standing for it in `state`:
    // opened read-only, or when that is refused as dirty or beside a hot journal, for writing
    // (the repair, the undo), it must hold the records from before the call or from after it;
    // one that opened clean must compact to the same (damage that only a later compaction trips
    // over), a repaired one reopen read-only the same, and the file checker pass what is left.
    void Judge(const std::string& run, const std::string& state, Tally& tally) {
        std::string outcome = "beyond repair";
        const std::string broken = [&]() -> std::string {
            if (GetParam().start == Start::None && rl::ReadFile(run_).size() < format::kHeaderSize) {
                outcome = "no library made";  // by a create that failed: nobody had it
                return "";
            }
            int32_t status = Open(IRModeReadOnly);
            const bool clean = handle_ != nullptr;
            if (status == IROpenBadLibrary) status = Open(IRModeWrite);
            if (handle_ == nullptr) return "beyond repair (status " + std::to_string(status) + ")";
            const rl::Contents contents = rl::ReadContents(handle_);
            IRCloseLibrary(handle_);
            outcome = clean ? "opens clean" : "dirty, repaired";
            if (contents != start_.contents && contents != after_) return "records lost, changed or torn";
            if (!touched_.empty()) {
                ++tally.counts[contents == start_.contents ? "touched record old" : "touched record new"];
            }
            Open(clean ? IRModeWrite : IRModeReadOnly);
            LibraryHandle* h = handle_;
            const bool reopened = h && (clean ? IRCompactLibrary(h) == 1 : rl::ReadContents(h) == contents);
            IRCloseLibrary(h);
            if (!reopened) return clean ? "a later compaction failed" : "the repaired file reopens otherwise";
            if (clean && rl::ContentsOf(run_) != contents) return "a later compaction changed the records";
            return rl::Violations(rl::ReadFile(run_));
        }();
        ++tally.counts[state + ": " + outcome];
        if (!broken.empty()) ++tally.broken;
        EXPECT_EQ(broken, "") << run << " (" << state << ")";
    }

    std::string run_;
    LibraryHandle* handle_ = nullptr;
    rl::Library start_;
    rl::Contents after_;   // what the file holds once the call did its work
    std::string touched_;  // the key of the record the call writes or deletes
    int failures_ = 0;
};

TEST_P(FaultSweep, LeavesARecoverableFile) { Sweep(); }

INSTANTIATE_TEST_SUITE_P(, FaultSweep, ::testing::ValuesIn(kScenarios), [](const auto& info) {
    std::string id = info.param.name;  // "open dirty for writing (repair)": open_dirty_for_writing_repair
    std::erase_if(id, [](char c) { return c == '(' || c == ')' || c == ',' || c == '-'; });
    std::replace(id.begin(), id.end(), ' ', '_');
    return id;
});

}  // namespace
}  // namespace varnel32::test
