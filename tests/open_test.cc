// What callers see of IROpenLibrary and IRCreateLibrary beyond the records: every open
// status with its message and cursor trace on one table of file states, the exact header
// a create writes, read-only handles shared per path and mode word, and writers that have
// their file alone within one process and across two.
#include <unistd.h>

#include <cctype>
#include <climits>
#include <fstream>
#include <optional>

#include "support/child_process.h"
#include "support/file_builder.h"
#include "support/reliability.h"

namespace varnel32::test {
namespace {

namespace rl = reliability;
namespace fi = platform::testing;
using platform::FaultCall;
using platform::FaultEffect;

void* const kOwner = reinterpret_cast<void*>(uintptr_t{0x4242});
constexpr uint32_t R = IRModeReadOnly, W = IRModeWrite, RW = IRModeReadOnly | IRModeWrite;
constexpr uint32_t Inf = IRModeRequireInfrared, K8 = IRModeRequireKind8;

std::string Box(uint32_t style, const std::string& text) {
    return "box:" + std::to_string(uintptr_t(kOwner)) + ":Error:" + std::to_string(style) + ":" + text;
}
// A call that showed only its busy cursor: the wait cursor loaded, set, and the caller's put back.
const std::string kBusyOnly = "load wait user";
const std::string kRefusal =
    "load wait beep:16 " +
    Box(48, "Infrared library file was not closed properly... Open file in the Quorvik to repair.") + " user";
const std::string kPrompt =
    "beep:48 " + Box(48, "Library file was not closed properly... Click OK to attempt recovery");
const std::string kRecovered = "load wait " + kPrompt + " user";
const std::string kRecoveryFailed = "load wait " + kPrompt + " beep:16 " + Box(16, "Recovery Failed!") + " user";

// A file state and an open of it, and what the caller must see.
struct Row {
    std::string what;
    Bytes file;  // written as x.lib
    uint32_t mode, status;
    std::string trace = kBusyOnly;
    uint32_t options = 0;
    int32_t level = 0;
    const char* path = "x.lib";  // relative to the test's folder; null passes a null path
    Bytes journal = {}, after = {};  // beside the file; the file once the handle closed (when not empty)
};

class Open : public LibraryTest {
protected:
    LibraryHandle* OpenAs(const std::string& path, uint32_t mode) {
        status = 99;
        fi::ClearUiEvents();
        return IROpenLibrary(0, kOwner, path.c_str(), mode, 0, &status);
    }
    // The user-interface calls since the last ClearUiEvents, one word each, as above.
    static std::string Trace() {
        using K = fi::UiEvent::Kind;
        std::string trace;
        for (const fi::UiEvent& e : fi::UiEvents()) {
            const bool wait = e.cursor == fi::WaitCursor();
            trace += trace.empty() ? "" : " ";
            if (e.kind == K::LoadCursor) trace += wait && e.value == platform::kWaitCursorId ? "load" : "load:other";
            if (e.kind == K::SetCursor) trace += wait ? "wait" : e.cursor == kUserCursor ? "user" : "set:other";
            if (e.kind == K::Beep) trace += "beep:" + std::to_string(e.value);
            if (e.kind != K::MessageBox) continue;
            trace += "box:" + std::to_string(reinterpret_cast<uintptr_t>(e.owner)) + ":" + e.caption + ":" +
                     std::to_string(e.value) + ":" + e.text;
        }
        return trace;
    }
    // A change to `start` that the process did not survive (ended at its k-th write): the
    // file and the journal it left behind.
    struct Crashed { Bytes file, journal; };
    Crashed Crash(const Bytes& start, uint32_t k, FaultEffect effect) {
        const std::string path = Path("crash.lib");
        WriteFile(path, start);
        ::unlink((path + "-journal").c_str());
        EXPECT_EQ(RunInChild([&] {
                      LibraryHandle* h = OpenAs(path, W);
                      fi::InjectFault(FaultCall::Write, k, effect);
                      rl::WriteRecord(h, rl::MakeRecord("M", "T", "in-flight", 3, {300}));
                      return 0;
                  }),
                  platform::kCrashExitStatus);
        return {ReadFile(path), ReadFile(path + "-journal")};
    }

    uint32_t status = 99;
};

// Every open runs with each flush that VARNEL32_SYNC=full asks for, the crashed changes too.
TEST_F(Open, EveryStatusWithItsMessageAndCursorTrace) {
    SetEnvironment("VARNEL32_SYNC", "full");
    // A clean file holding one record, and the same under another kind word, dirty flag or
    // record count (one more than the file holds: its repair must fail).
    const Bytes good = rl::BuildLibrary(Path("good.lib"), 16, {rl::MakeRecord("M", "T", "x", 1, {})}, {}).file;
    const auto crafted = [&](uint32_t kind, uint16_t dirty = 0, uint32_t lost = 0) {
        format::LibraryHeader h = DecodeHeaderOf(good);
        h.kind = kind, h.dirty = dirty, h.recordCount += lost;
        return Resealed(good, 0, h);
    };
    const auto cut = [](const Bytes& file, size_t size) { return Bytes(file.begin(), file.begin() + size); };
    const auto flip = [](Bytes file, size_t at, uint8_t bits) { return file[at] ^= bits, file; };
    // Files that fail several header tests report the first of length, magic, crc, kind,
    // write protection, dirty; a later test would give another status or show a message.
    // A repair of the worst would fail (it counts records it lacks), and show it.
    const format::LibraryHeader worst{.recordCount = 3, .kind = IRKindCommand | IRKindWriteProtected, .dirty = 1};
    const Bytes worstFile = SealedHeader(worst), worstBadCrc = flip(worstFile, 100, 1);
    format::LibraryHeader wrongMagic = worst;
    wrongMagic.magic ^= 1;  // sealed, so only the magic is wrong
    // A writer that never closed: its stored index lacks the record it wrote last.
    const Bytes stale = rl::MakeDirtyLibrary(Path("dirty.lib"), rl::MakeMainLibrary(Path("main.lib"))).file;

    const std::string p255(255 - dir_.size() - 1, 'p'), p256 = p255 + "q";
    std::vector<Row> rows = {
        {"level 2", good, R, IROpenBadArgument, kBusyOnly, 0, 2},
        {"level 1", good, W, IROpenOk, kBusyOnly, 0, 1},
        {"level INT_MIN", good, R, IROpenOk, kBusyOnly, 0, INT_MIN},
        {"no access bit", good, 0, IROpenBadArgument},
        {"only a requirement", good, Inf | K8, IROpenBadArgument},
        {"high bits", good, 0xFFFFFFF0u, IROpenBadArgument},
        {"null path", good, R, IROpenBadArgument, kBusyOnly, 0, 0, nullptr},
        {"path of 256 bytes", good, R, IROpenBadArgument, kBusyOnly, 0, 0, p256.c_str()},
        {"path of 255 bytes", good, R, IROpenCannotOpenFile, kBusyOnly, 0, 0, p255.c_str()},
        {"missing, read-only", good, R, IROpenCannotOpenFile, kBusyOnly, 0, 0, "missing.lib"},
        {"missing, for writing", good, W, IROpenCannotOpenFile, kBusyOnly, 0, 0, "missing.lib"},
        {"empty", {}, R, IROpenBadLibrary},
        {"one byte short", cut(good, 1569), W, IROpenBadLibrary},
        {"not a library", Bytes(1570, 0xAA), R, IROpenBadLibrary},
        {"bad magic", flip(good, 3, 0x40), W, IROpenBadLibrary},
        {"bad crc", flip(good, 100, 1), R, IROpenBadLibrary},
        {"length+magic+crc", cut(SealedHeader(wrongMagic), 1000), R, IROpenBadLibrary},
        {"magic+kind+dirty", SealedHeader(wrongMagic), R | Inf, IROpenBadLibrary},
        {"crc+kind", worstBadCrc, R | Inf, IROpenBadLibrary},
        {"crc+protection", worstBadCrc, W, IROpenBadLibrary},
        {"crc+dirty", worstBadCrc, RW, IROpenBadLibrary},
        {"kind+protection", worstFile, W | K8, IROpenWrongKind},
        {"kind+dirty", worstFile, R | Inf, IROpenWrongKind},
        {"protection+dirty", worstFile, W, IROpenWriteProtected},
        {"protected, override", crafted(3), W, IROpenOk, kBusyOnly, 1},
        {"protected, override 0x101", crafted(5), W, IROpenOk, kBusyOnly, 0x101},
        {"protected, only bit 0 overrides", crafted(3), W, IROpenWriteProtected, kBusyOnly, 0xFE},
        {"protected, both access bits", crafted(3), RW, IROpenWriteProtected},
        {"unprotected, override", good, W, IROpenOk, kBusyOnly, 1},
        {"kind word 0x100", crafted(0x100), W, IROpenOk},
        {"dirty, read-only", crafted(2, 1), R, IROpenBadLibrary, kRefusal},
        {"dirty 0x8000, with options", crafted(2, 0x8000), R | Inf, IROpenBadLibrary, kRefusal, 1},
        {"dirty, stale index", stale, W, IROpenOk, kRecovered},
        {"dirty, no records", SealedHeader({.kind = 2, .dirty = 1}), W, IROpenOk, kRecovered, 0, 0,
         "x.lib", {}, SealedHeader({.kind = 2})},
        {"dirty, a record lost", crafted(2, 1, 1), W, IROpenBadLibrary, kRecoveryFailed},
        // The descriptor is read-only but the write bit asks for a repair, which cannot write.
        {"dirty, both access bits", crafted(2, 1), RW, IROpenBadLibrary, kRecoveryFailed},
    };
    // Journals beside the file: one whose change reached the file (hot; the writer puts the
    // bytes back as the change found them), one torn before it held anything, and a hot one
    // of another library.
#ifndef _WIN32  // the changes that leave these journals die in forked children
    const Crashed hot = Crash(good, 2, FaultEffect::Crash), torn = Crash(good, 1, FaultEffect::Torn);
    ASSERT_NE(hot.file, good);
    rows.insert(rows.end(), {
        {"hot journal, read-only", hot.file, R, IROpenBadLibrary, kRefusal, 0, 0, "x.lib", hot.journal},
        {"hot journal, writer", hot.file, W, IROpenOk, kBusyOnly, 0, 0, "x.lib", hot.journal, good},
        {"torn journal, read-only", torn.file, R, IROpenOk, kBusyOnly, 0, 0, "x.lib", torn.journal},
        {"torn journal, writer", torn.file, W, IROpenOk, kBusyOnly, 0, 0, "x.lib", torn.journal, torn.file},
        {"another library's journal", crafted(4), W, IROpenOk, kBusyOnly, 0, 0, "x.lib", hot.journal, crafted(4)},
    });
#endif
    // Kind requirements test their own bits, before write protection (bit 0).
    for (uint32_t kind = 2; kind <= 9; ++kind) {
        for (uint32_t mode : {R, W, R | Inf, W | Inf, R | K8, W | K8, R | Inf | K8, W | Inf | K8}) {
            const bool kindOk = (!(mode & Inf) || (kind & IRKindInfrared)) && (!(mode & K8) || (kind & IRKind8));
            const bool protectedWrite = (kind & IRKindWriteProtected) && (mode & W);
            rows.push_back({"kind " + std::to_string(kind) + " mode " + std::to_string(mode), crafted(kind), mode,
                            !kindOk ? IROpenWrongKind : protectedWrite ? IROpenWriteProtected : IROpenOk});
        }
    }

    const std::string x = Path("x.lib");
    for (const Row& c : rows) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(rl::WriteFile(x, c.file)) << "the last open left the file held";
        ::unlink((x + "-journal").c_str());
        if (!c.journal.empty()) WriteFile(x + "-journal", c.journal);
        const std::string path = c.path == nullptr ? "" : Path(c.path);
        fi::ClearUiEvents();
        status = 99;
        LibraryHandle* h = IROpenLibrary(c.level, kOwner, c.path ? path.c_str() : nullptr, c.mode, c.options, &status);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(Trace(), c.trace);
        EXPECT_EQ(h != nullptr, c.status == IROpenOk);
        if (h == nullptr) {
            // A refused open changes nothing and removes no journal; the fixture and the next
            // row's write of the file (where share modes bind) see what it kept open.
            EXPECT_EQ(ReadFile(x), c.file);
            EXPECT_EQ(ReadFile(x + "-journal"), c.journal);
            continue;
        }
        EXPECT_EQ(IRIsCommandLibrary(h), (DecodeHeaderOf(ReadFile(x)).kind & IRKindInfrared) ? 0 : 1);
        IRCloseLibrary(h);
        if (!c.after.empty()) {
            EXPECT_EQ(ReadFile(x), c.after);
        }
        // A writer leaves no journal behind, and whatever it found, a clean file that ends
        // with its index (a repair that compacted cut the rest).
        EXPECT_TRUE(!(c.mode & W) || !FileExists(x + "-journal"));
        const Bytes closed = ReadFile(x);
        const format::LibraryHeader head = DecodeHeaderOf(closed);
        EXPECT_EQ(closed.size(), head.dataEnd + head.recordCount * format::kIndexEntrySize);
        LibraryHandle* again = OpenAs(x, R);
        EXPECT_NE(again, nullptr) << "reopened with status " << status;
        IRCloseLibrary(again);
    }
    EXPECT_FALSE(FileExists(Path("missing.lib"))) << "an open never creates";
    SetEnvironment("VARNEL32_SYNC", nullptr);
}

// Every kind flag word gives exactly the empty sealed header of its kind, over a library that
// was there, and a journal left beside that earlier file goes with it.
TEST_F(Open, CreateWritesExactlyTheEmptyHeaderOfItsKind) {
    const std::pair<uint32_t, uint32_t> cases[] = {{0, 2},  {1, 3},  {4, 4},  {5, 5},      {8, 8},
                                                   {9, 9},  {12, 4}, {13, 5}, {0xFFF2, 2}, {0xFFFF, 5}};
    const std::string path = Path("a.lib");
    for (const auto& [flags, kind] : cases) {
        SCOPED_TRACE("kindFlags " + std::to_string(flags));
        WriteFile(path, SealedHeader({.kind = 2, .dirty = 1}));
        WriteFile(path + "-journal", Bytes(100, 1));
        fi::ClearUiEvents();
        ASSERT_EQ(IRCreateLibrary(0, path.c_str(), flags), 1);
        EXPECT_EQ(Trace(), kBusyOnly);
        EXPECT_EQ(ReadFile(path), SealedHeader({.kind = kind}));
        EXPECT_FALSE(FileExists(path + "-journal"));
    }
}

// A writer has its file alone and readers keep writers out, whether the holder and the
// opener are in this process or another one; nobody creates over a file that is held.
TEST_F(Open, AWriterHasItsFileAloneWithinAndAcrossProcesses) {
    const std::string path = Path("a.lib");
    ASSERT_EQ(IRCreateLibrary(0, path.c_str(), 0), 1);
    const Bytes before = ReadFile(path);
    // The status of an open of `path` with `mode` in a child, or here (closed again).
    const auto opens = [&](bool inChild, uint32_t mode) {
        if (inChild) return HeldByChild(path, mode).status();
        LibraryHandle* h = OpenAs(path, mode);
        EXPECT_EQ(h != nullptr, status == IROpenOk);
        IRCloseLibrary(h);
        return status;
    };
    const uint32_t busy = IROpenCannotOpenFile;
    const struct { bool childHolds; uint32_t held; bool childTries; uint32_t tried, expected; } cases[] = {
        {false, W, false, R, busy}, {false, W, false, W, busy},     {false, W, false, RW, busy},
        {false, R, false, W, busy}, {false, R, false, R | Inf, 0},  {false, RW, false, W, busy},
        {false, W, true, R, busy},  {false, W, true, W, busy},      {false, R, true, W, busy},
        {false, R, true, R | Inf, 0}, {true, W, false, R, busy},    {true, W, false, W, busy},
        {true, R, false, W, busy},  {true, R, false, R, 0},
    };
    EXPECT_EQ(opens(true, W), 0u);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.childHolds ? "child" : "parent") + " holds " + std::to_string(c.held) +
                     ", " + (c.childTries ? "child" : "parent") + " tries " + std::to_string(c.tried));
        std::optional<HeldByChild> child;
        if (c.childHolds) child.emplace(path, c.held);
        LibraryHandle* holder = c.childHolds ? nullptr : OpenAs(path, c.held);
        ASSERT_TRUE(c.childHolds ? child->status() == IROpenOk : holder != nullptr);
        EXPECT_EQ(opens(c.childTries, c.tried), c.expected);
        EXPECT_EQ(IRCreateLibrary(0, path.c_str(), 0), 0);
        IRCloseLibrary(holder);
        child.reset();
        EXPECT_EQ(ReadFile(path), before);
    }
    // Readers share one handle per path and mode word (whatever the letter case, where paths
    // compare as lstrcmpiA does), and the file stays shut to writers until the last closes.
    std::string other = path;
#ifdef _WIN32
    for (char& c : other) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
#endif
    LibraryHandle* reader = OpenAs(path, R);
    LibraryHandle* reader5 = OpenAs(path, R | Inf);
    EXPECT_EQ(OpenAs(other, R), reader);
    EXPECT_EQ(Registry(), (std::vector<LibraryHandle*>{reader, reader5}));
    IRCloseLibrary(reader);
    IRCloseLibrary(reader);
    EXPECT_EQ(OpenAs(path, W), nullptr);
    EXPECT_EQ(status, busy);
#ifdef _WIN32  // where the share modes bind every program: a reader keeps out writing only
    EXPECT_TRUE(std::ifstream(path).is_open());
    EXPECT_FALSE(std::ofstream(path, std::ios::app).is_open());
#endif
    IRCloseLibrary(reader5);
#ifdef _WIN32  // and a writer everything
    LibraryHandle* writer = OpenAs(path, W);
    EXPECT_FALSE(std::ifstream(path).is_open());
    IRCloseLibrary(writer);
#endif
    IRCloseLibrary(OpenAs(path, W));
    EXPECT_EQ(status, IROpenOk);
}

}  // namespace
}  // namespace varnel32::test
