// IROpenLibrary and IRCloseLibrary: every exit with its status, its message and the busy
// cursor; the order of the header tests on files that fail several; kind requirements and
// write protection; dirty files refused or repaired; hot journals refused or undone;
// read-only sharing, reference counts
// and the registry order; and the exclusion of writers within one process and across two.
#include <unistd.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <optional>

#include "support/child_process.h"
#include "support/file_builder.h"

namespace varnel32::test {
namespace {

using platform::FaultCall;
using platform::FaultEffect;
using platform::testing::CallCount;
using platform::testing::ClearUiEvents;
using platform::testing::InjectFault;

constexpr const char* kRefusalText =
    "Infrared library file was not closed properly... Open file in the Quorvik to repair.";
constexpr const char* kPromptText =
    "Library file was not closed properly... Click OK to attempt recovery";

void* const kOwner = reinterpret_cast<void*>(uintptr_t{0x4242});

std::string Box(uint32_t style, const char* text) {
    return "box:" + std::to_string(reinterpret_cast<uintptr_t>(kOwner)) + ":Error:" +
           std::to_string(style) + ":" + text;
}
const std::string kRefusal = std::string("load wait beep:16 ") + Box(48, kRefusalText) + " user";
const std::string kPrompt = std::string("beep:48 ") + Box(48, kPromptText);
const std::string kRecovered = "load wait " + kPrompt + " user";
const std::string kRecoveryFailed =
    "load wait " + kPrompt + " beep:16 " + Box(16, "Recovery Failed!") + " user";

class Open : public FileTest {
protected:
    // Opens with kOwner as the owner window; the status starts at a value no exit writes.
    LibraryHandle* OpenAs(const std::string& path, uint32_t mode, uint32_t options = 0,
                          int32_t level = 0) {
        status = 99;
        ClearUiEvents();
        return IROpenLibrary(level, kOwner, path.c_str(), mode, options, &status);
    }
    // Opens and closes again; a handle must exist exactly when the status says the open worked.
    uint32_t OpenClose(const std::string& path, uint32_t mode, uint32_t options = 0,
                       int32_t level = 0) {
        LibraryHandle* h = OpenAs(path, mode, options, level);
        EXPECT_EQ(h != nullptr, status == IROpenOk);
        IRCloseLibrary(h);
        return status;
    }
    // An open that must fail with `expected`, leave the file as it was, and show only what
    // `trace` says.
    void ExpectRefused(const std::string& path, uint32_t mode, uint32_t options, uint32_t expected,
                       const std::string& trace = kBusyOnly) {
        const Bytes before = ReadFile(path);
        const size_t handles = OpenHandleCount();
        EXPECT_EQ(OpenAs(path, mode, options), nullptr);
        EXPECT_EQ(status, expected);
        EXPECT_EQ(Trace(), trace);
        EXPECT_EQ(OpenHandleCount(), handles);
        EXPECT_EQ(ReadFile(path), before);
        // No descriptor stayed behind: unless others hold it, the file can be held alone.
        if (handles == 0 && !othersHold && FileExists(path)) {
            const int fd = platform::OpenWrite(path.c_str());
            EXPECT_NE(fd, platform::kNoFile) << "the refused open left the file open";
            platform::CloseFile(fd);
        }
    }
    std::string Library(const std::string& name, uint32_t kindFlags = 0) {
        EXPECT_EQ(IRCreateLibrary(0, Path(name).c_str(), kindFlags), 1);
        return Path(name);
    }
    // A clean library file of any kind word, records included.
    std::string Crafted(const std::string& name, uint32_t kind) {
        FileBuilder f(kind);
        f.AddLive("M", "T", "x");
        f.WriteTo(Path(name));
        return Path(name);
    }

    uint32_t status = 99;
    bool othersHold = false;  // another process holds the file under test
};

// ---- Exits before the file is touched ---------------------------------------------------

TEST_F(Open, MalformedCallsAreRefusedWithoutTouchingAnyFile) {
    const std::string path = Library("a.lib");
    const std::string longPath = dir_ + "/" + std::string(255 - dir_.size(), 'p');  // 256 bytes
    ASSERT_EQ(longPath.size(), 256u);
    const struct {
        int32_t level;
        const char* path;
        uint32_t mode;
    } cases[] = {{2, path.c_str(), IRModeReadOnly}, {INT_MAX, path.c_str(), IRModeWrite},
                 {0, path.c_str(), 0},              {0, path.c_str(), IRModeRequireInfrared},
                 {0, path.c_str(), IRModeRequireKind8}, {0, path.c_str(), 12},
                 {0, path.c_str(), 0xFFFFFFF0u},     {0, longPath.c_str(), IRModeReadOnly},
                 {0, nullptr, IRModeReadOnly}};
    for (const auto& c : cases) {
        SCOPED_TRACE("level " + std::to_string(c.level) + " mode " + std::to_string(c.mode));
        platform::testing::ClearFaults();
        ClearUiEvents();
        status = 99;
        EXPECT_EQ(IROpenLibrary(c.level, kOwner, c.path, c.mode, 0, &status), nullptr);
        EXPECT_EQ(status, IROpenBadArgument);
        EXPECT_EQ(CallCount(FaultCall::Open), 0u);
        EXPECT_EQ(CallCount(FaultCall::Allocate), 0u);
        EXPECT_EQ(Trace(), kBusyOnly);
    }
}

TEST_F(Open, LevelsUpToOneAndPathsOf255BytesAreAccepted) {
    const std::string path = Library("a.lib");
    for (int32_t level : {1, 0, -1, INT_MIN}) EXPECT_EQ(OpenClose(path, IRModeWrite, 0, level), 0u);
    const std::string longest = dir_ + "/" + std::string(254 - dir_.size(), 'q');
    ASSERT_EQ(longest.size(), 255u);
    ASSERT_EQ(IRCreateLibrary(0, longest.c_str(), 0), 1);
    LibraryHandle* h = OpenAs(longest, IRModeReadOnly);
    ASSERT_NE(h, nullptr);
    char buffer[256];
    std::memset(buffer, 'z', sizeof buffer);
    EXPECT_EQ(IRGetFilenameFromHandle(h, buffer), 1);
    EXPECT_EQ(std::string(buffer), longest);
    IRCloseLibrary(h);
}

TEST_F(Open, NoMemoryForTheHandleIsStatusFiveBeforeTheFileIsOpened) {
    const std::string path = Library("a.lib");
    platform::testing::ClearFaults();
    InjectFault(FaultCall::Allocate, 1);
    ExpectRefused(path, IRModeWrite, 0, IROpenOutOfMemory);
    EXPECT_EQ(CallCount(FaultCall::Open), 1u) << "only ExpectRefused's own check opened it";
}

TEST_F(Open, AFileThatCannotBeOpenedIsStatusOne) {
    ExpectRefused(Path("missing.lib"), IRModeReadOnly, 0, IROpenCannotOpenFile);
    ExpectRefused(Path("missing.lib"), IRModeWrite, 0, IROpenCannotOpenFile);
    EXPECT_FALSE(FileExists(Path("missing.lib"))) << "an open never creates";
    const std::string path = Library("a.lib");
    InjectFault(FaultCall::Open, 1);
    ExpectRefused(path, IRModeReadOnly, 0, IROpenCannotOpenFile);
}

// ---- The header tests and their order -------------------------------------------------

TEST_F(Open, AFileThatIsNotALibraryIsStatusTwoWithoutAMessage) {
    const Bytes good = ReadFile(Library("good.lib"));
    Bytes badMagic = good;
    badMagic[3] = 0xAB;
    Bytes badCrc = good;
    badCrc[1569] ^= 1;
    const std::vector<Bytes> files{{}, Slice(good, 0, 1569), badMagic, badCrc, Bytes(1570, 0xAA)};
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE("file " + std::to_string(i));
        WriteFile(Path("bad.lib"), files[i]);
        ExpectRefused(Path("bad.lib"), IRModeReadOnly, 0, IROpenBadLibrary);
        ExpectRefused(Path("bad.lib"), IRModeWrite, 0, IROpenBadLibrary);
    }
    InjectFault(FaultCall::Read, 1, FaultEffect::Short);
    ExpectRefused(Path("good.lib"), IRModeReadOnly, 0, IROpenBadLibrary);
}

// Files that fail several tests report the first in the order length, magic, crc, kind,
// write protection, dirty; later tests would give another status or show a message.
TEST_F(Open, TheFirstFailingHeaderTestDecides) {
    format::LibraryHeader h;
    h.kind = IRKindCommand | IRKindWriteProtected;
    h.dirty = 1;
    h.recordCount = 3;  // a repair would fail, and show it
    Bytes dirtyProtectedCommand = SealedHeader(h);

    Bytes badCrc = dirtyProtectedCommand;
    badCrc[100] ^= 1;
    format::LibraryHeader wrongMagic = h;
    wrongMagic.magic = 0xAAAAAAABu;  // sealed, so only the magic is wrong
    const struct {
        const char* what;
        Bytes file;
        uint32_t mode;
        uint32_t expected;
    } cases[] = {
        {"length+magic+crc", Slice(SealedHeader(wrongMagic), 0, 1000), IRModeReadOnly, 2},
        {"magic+kind+dirty", SealedHeader(wrongMagic), IRModeReadOnly | IRModeRequireInfrared, 2},
        {"crc+kind", badCrc, IRModeReadOnly | IRModeRequireInfrared, 2},
        {"crc+protection", badCrc, IRModeWrite, 2},
        {"crc+dirty read-only", badCrc, IRModeReadOnly, 2},
        {"crc+dirty write", badCrc, IRModeWrite | IRModeReadOnly, 2},
        {"kind+protection", dirtyProtectedCommand, IRModeWrite | IRModeRequireKind8, 3},
        {"kind+dirty", dirtyProtectedCommand, IRModeReadOnly | IRModeRequireInfrared, 3},
        {"protection+dirty", dirtyProtectedCommand, IRModeWrite, 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFile(Path("x.lib"), c.file);
        ExpectRefused(Path("x.lib"), c.mode, 0, c.expected);
    }
}

TEST_F(Open, KindRequirementsTestTheirOwnBitsBeforeWriteProtection) {
    for (uint32_t kind = 2; kind <= 9; ++kind) {
        SCOPED_TRACE("kind " + std::to_string(kind));
        const std::string path = Crafted("k.lib", kind);
        for (uint32_t access : {IRModeReadOnly, IRModeWrite}) {
            const bool protectedWrite = (kind & 1) && access == IRModeWrite;
            const auto expect = [&](uint32_t require, bool kindOk) {
                const uint32_t mode = access | require;
                const uint32_t expected = !kindOk ? IROpenWrongKind
                                          : protectedWrite ? IROpenWriteProtected
                                                           : IROpenOk;
                if (expected != IROpenOk) ExpectRefused(path, mode, 0, expected);
                else EXPECT_EQ(OpenClose(path, mode), IROpenOk) << "mode " << mode;
            };
            expect(0, true);
            expect(IRModeRequireInfrared, (kind & IRKindInfrared) != 0);
            expect(IRModeRequireKind8, (kind & IRKind8) != 0);
            expect(IRModeRequireInfrared | IRModeRequireKind8, false);
        }
    }
}

TEST_F(Open, WriteProtectedLibrariesOpenForWritingOnlyWithTheOverride) {
    for (uint32_t flags : {IRCreateWriteProtected, IRCreateWriteProtected | IRCreateCommandLibrary,
                           IRCreateWriteProtected | IRCreateKind8}) {
        SCOPED_TRACE("kindFlags " + std::to_string(flags));
        const std::string path = Library("p.lib", flags);
        EXPECT_EQ(OpenClose(path, IRModeReadOnly), IROpenOk);
        ExpectRefused(path, IRModeWrite, 0, IROpenWriteProtected);
        ExpectRefused(path, IRModeWrite | IRModeReadOnly, 0, IROpenWriteProtected);
        ExpectRefused(path, IRModeWrite, 0xFE, IROpenWriteProtected);  // only bit 0 counts
        for (uint32_t options : {1u, 0xFFu, 0x101u}) {
            EXPECT_EQ(OpenClose(path, IRModeWrite, options), IROpenOk) << options;
        }
    }
    // The override means nothing to a library that is not protected.
    EXPECT_EQ(OpenClose(Library("plain.lib"), IRModeWrite, 1), IROpenOk);
}

// ---- A successful open ------------------------------------------------------------------

TEST_F(Open, ASuccessfulOpenSetsUpTheHandleAndShowsOnlyTheCursor) {
    const std::string path = Library("a.lib", IRCreateKind8);
    LibraryHandle* h = OpenAs(path, IRModeWrite | IRModeRequireKind8);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(status, IROpenOk);
    EXPECT_EQ(Trace(), kBusyOnly);
    EXPECT_EQ(h->mode, IRModeWrite | IRModeRequireKind8);
    EXPECT_EQ(h->kind, IRKind8);
    EXPECT_EQ(h->ownerWindow, kOwner);
    EXPECT_EQ(h->referenceCount, 1);
    EXPECT_EQ(h->modified, 0u);
    EXPECT_EQ(IRGetExtraSpaceAmount(h), 1024);
    EXPECT_EQ(IRIsCommandLibrary(h), 1);
    EXPECT_EQ(Registry(), std::vector<LibraryHandle*>{h});
    ClearUiEvents();
    IRCloseLibrary(h);
    EXPECT_EQ(Trace(), kBusyOnly);
}

TEST_F(Open, AccessorsAnswerEveryKindAndANullHandle) {
    for (uint32_t kind : {2u, 3u, 4u, 5u, 6u, 8u, 9u, 0x100u}) {
        LibraryHandle* h = OpenAs(Crafted("k.lib", kind), IRModeReadOnly);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(IRIsCommandLibrary(h), (kind & 2) ? 0 : 1) << kind;
        EXPECT_EQ(IRSetExtraSpaceAmount(h, 0x12345), 1);
        EXPECT_EQ(IRGetExtraSpaceAmount(h), 0x2345) << "only the low 16 bits are kept";
        IRCloseLibrary(h);
    }
    ClearUiEvents();
    char buffer[4] = {'a', 'b', 'c', 0};
    EXPECT_EQ(IRGetFilenameFromHandle(nullptr, buffer), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'b');
    EXPECT_EQ(IRIsCommandLibrary(nullptr), 0);
    EXPECT_EQ(IRSetExtraSpaceAmount(nullptr, 5), 0);
    EXPECT_EQ(IRGetExtraSpaceAmount(nullptr), 0xFFFF);
    IRCloseLibrary(nullptr);
    EXPECT_EQ(Trace(), "") << "a null close touches no cursor";
}

TEST_F(Open, AStoredIndexThatCannotBeLoadedWholeStillOpens) {
    FileBuilder f;
    f.AddLive("A", "T", "1");
    f.AddLive("B", "T", "2");
    f.AddLive("C", "T", "3");
    Bytes file = f.Build();
    file[f.header.dataEnd + 2 * 71 + 10] ^= 1;
    WriteFile(Path("a.lib"), file);
    LibraryHandle* h = OpenAs(Path("a.lib"), IRModeReadOnly);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(status, IROpenOk);
    const std::vector<std::string> two{"A/T/1@1570", "B/T/2@1665"};
    EXPECT_EQ(KeysOf(h->index), two);
    IRCloseLibrary(h);
    // For writing it opens the same way, but changes nothing until a compaction rebuilt the
    // index from the records: a write under C's names would otherwise store C twice.
    h = OpenAs(Path("a.lib"), IRModeWrite);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(KeysOf(h->index), two);
    const Bytes c = MakeRemoteRecord("C", "T", "3", {});
    EXPECT_EQ(WriteBytes(h, c), 0);
    EXPECT_EQ(DeleteNamed(h, "A", "T", "1"), 0);
    EXPECT_EQ(ReadFile(Path("a.lib")), file);
    EXPECT_EQ(IRCompactLibrary(h), 1);
    const std::vector<std::string> three{"A/T/1@1570", "B/T/2@1665", "C/T/3@1760"};
    EXPECT_EQ(KeysOf(h->index), three);
    Put(h, c);  // now in C's own extent
    IRCloseLibrary(h);
    EXPECT_EQ(KeysOf(IndexRunOf(ReadFile(Path("a.lib")))), three);
    // Clean and whole again: it opens for writing without a repair, with every record.
    h = OpenAs(Path("a.lib"), IRModeWrite);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(Trace(), kBusyOnly);
    EXPECT_FALSE(h->indexIncomplete);
    IRCloseLibrary(h);
}

// ---- Dirty files --------------------------------------------------------------------------

// A dirty file is refused read-only with its message (any nonzero dirty value, whatever the
// kind bits and options), repaired from its records when opened for writing, and a repair
// that cannot finish shows it, leaves no handle and the file dirty. Afterwards every file
// opens read-only exactly when its repair made it clean.
TEST_F(Open, DirtyFilesAreRefusedReadOnlyAndRepairedForWriting) {
    FileBuilder stale;
    const uint32_t x = stale.AddLive("Maker", "TV", "One", {MakeEntry(1, 10)});
    stale.AddDeleted(300);
    stale.AddLive("Maker", "VCR", "Two", {MakeEntry(2, 20), MakeEntry(3, 0)}, 500);
    stale.AddLive("Other", "TV", "Three");
    stale.header.dirty = 1;
    // The stored run is stale: it misses a record and names one that is gone.
    stale.index = {Key("Gone", "TV", "Old", 1570), stale.index[0]};
    // A dirty file without records has nothing to compact; the repair still has to leave it
    // clean, or it would be refused for reading for ever.
    FileBuilder empty;
    empty.header.dirty = 1;
    // The last record was counted but its image never reached the file: the repair fails
    // and is undone.
    FileBuilder lost;
    lost.AddLive("M", "T", "x");
    lost.AddDeleted(200);
    lost.AddLive("M", "T", "y", {}, 300);
    lost.header.recordCount += 1;
    lost.header.dirty = 1;
    lost.index.clear();
    Bytes lostFile = lost.Build();
    lostFile.resize(lostFile.size() + 500, 0);
    // Both access bits: the descriptor is read-only, but the write bit still asks for a
    // repair, which cannot write and so fails without changing the file.
    FileBuilder gap;
    gap.AddDeleted(100);
    gap.AddLive("M", "T", "x");
    gap.header.dirty = 1;
    const auto crafted = [](uint16_t dirty) {
        FileBuilder f;
        f.AddLive("M", "T", "x");
        f.header.dirty = dirty;
        return f.Build();
    };
    const uint32_t R = IRModeReadOnly, W = IRModeWrite;
    const struct {
        std::string name;
        Bytes file;
        uint32_t mode, options, expected;
        std::string trace;
    } cases[] = {
        {"read-only", crafted(1), R, 0, IROpenBadLibrary, kRefusal},
        {"read-only-kind", crafted(1), R | IRModeRequireInfrared, 1, IROpenBadLibrary, kRefusal},
        {"dirty-8000", crafted(0x8000), R, 0, IROpenBadLibrary, kRefusal},
        {"both-bits", gap.Build(), R | W, 0, IROpenBadLibrary, kRecoveryFailed},
        {"stale", stale.Build(), W, 0, IROpenOk, kRecovered},
        {"empty", empty.Build(), W, 0, IROpenOk, kRecovered},
        {"lost", lostFile, W, 0, IROpenBadLibrary, kRecoveryFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Path(c.name + ".lib");
        WriteFile(path, c.file);
        if (c.expected != IROpenOk) {
            ExpectRefused(path, c.mode, c.options, c.expected, c.trace);
        } else {
            LibraryHandle* h = OpenAs(path, c.mode, c.options);
            EXPECT_EQ(h != nullptr, c.expected == IROpenOk);
            EXPECT_EQ(status, c.expected);
            EXPECT_EQ(Trace(), c.trace);
            if (h != nullptr) {
                const Bytes repaired = ReadFile(path);
                EXPECT_EQ(KeysOf(h->index), KeysOf(IndexRunOf(repaired)));
                IRCloseLibrary(h);
                EXPECT_EQ(ReadFile(path), repaired) << "an unmodified handle saves nothing";
            }
        }
        EXPECT_EQ(OpenHandleCount(), 0u);
        if (c.expected == IROpenOk) EXPECT_EQ(OpenClose(path, R), IROpenOk);
        else ExpectRefused(path, R, 0, IROpenBadLibrary, kRefusal);
    }
    EXPECT_EQ(ReadFile(Path("empty.lib")), SealedHeader(format::LibraryHeader{.kind = 2}));

    // The repair rebuilt the stale index from the records and compacted them.
    const uint32_t z = x + stale.extents[0].capacity;
    const uint32_t w = z + stale.extents[2].capacity;
    const std::vector<std::string> keys{"Maker/TV/One@1570", "Maker/VCR/Two@" + std::to_string(z),
                                        "Other/TV/Three@" + std::to_string(w)};
    const Bytes repaired = ReadFile(Path("stale.lib"));
    const format::LibraryHeader head = DecodeHeaderOf(repaired);
    EXPECT_EQ(head.dirty, 0);
    EXPECT_EQ(head.recordCount, 3u);
    EXPECT_EQ(head.freeSlotCount, 0u);
    EXPECT_EQ(head.dataEnd, w + stale.extents[3].capacity);
    EXPECT_EQ(repaired.size(), head.dataEnd + 3 * 71);
    EXPECT_EQ(KeysOf(IndexRunOf(repaired)), keys);
    LibraryHandle* h = OpenAs(Path("stale.lib"), R);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(KeysOf(h->index), keys);
    const auto two = FetchNamed(h, "maker", "vcr", "two");
    ASSERT_TRUE(two);
    EXPECT_EQ(IR_GET16(two->data() + 2), 2);
    IRCloseLibrary(h);

    // The owner window is passed through as given, null included.
    ClearUiEvents();
    EXPECT_EQ(IROpenLibrary(0, nullptr, Path("read-only.lib").c_str(), R, 0, &status), nullptr);
    const auto events = platform::testing::UiEvents();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[3].owner, nullptr);
}

// ---- Sharing, reference counts and the registry --------------------------------------------

// A call that a crash cut short leaves its journal hot beside the file. A reader refuses
// the file as it refuses a dirty one; a writer first puts back the bytes the call found,
// byte for byte, and goes on as with that file (a dirty one gets the usual repair); a torn
// journal, or one of another library, is removed unapplied. All of it with every flush
// that VARNEL32_SYNC=full asks for.
#ifndef _WIN32  // the calls that leave the journals die in forked children
TEST_F(Open, AJournalBesideTheFileIsUndoneBeforeAnythingElse) {
    ::setenv("VARNEL32_SYNC", "full", 1);
    const std::string other = Path("other.lib");
    LibraryHandle* o = CreateAndOpen("other.lib");
    Put(o, MakeRemoteRecord("O", "T", "o", {}));
    IRCloseLibrary(o);
    // In a child: a write into `name` that ends the process at its k-th platform write,
    // after a first record that leaves the file dirty. Returns the file as the write found it.
    const auto crash = [&](const std::string& name, bool dirty, uint32_t k, FaultEffect effect) {
        const std::string path = Path(name);
        EXPECT_EQ(IRCreateLibrary(0, path.c_str(), 0), 1);
        OpenClose(path, IRModeWrite);
        const int exit = RunInChild([&] {
            LibraryHandle* h = OpenAs(path, IRModeWrite);
            if (dirty) Put(h, MakeRemoteRecord("M", "T", "acknowledged", {}));
            WriteFile(path + ".found", ReadFile(path));
            InjectFault(FaultCall::Write, k, effect);
            Put(h, MakeRemoteRecord("M", "T", "in-flight", {MakeEntry(1, 300)}));
            return 0;
        });
        EXPECT_EQ(exit, platform::kCrashExitStatus);
        return ReadFile(path + ".found");
    };
    // Writes: the journal, the header, the record.
    const Bytes hot = crash("hot.lib", false, 2, FaultEffect::Crash);
    const Bytes dirty = crash("dirty.lib", true, 2, FaultEffect::Crash);
    const Bytes torn = crash("torn.lib", false, 1, FaultEffect::Torn);
    ASSERT_NE(ReadFile(Path("hot.lib")), hot);
    WriteFile(other + "-journal", ReadFile(Path("hot.lib-journal")));
    const struct {
        std::string name;
        Bytes found;  // empty: the file must stay as it is
        uint32_t readOnly;
        std::string writeTrace;
    } cases[] = {
        {"hot", hot, IROpenBadLibrary, kBusyOnly},
        {"dirty", dirty, IROpenBadLibrary, kRecovered},
        {"torn", {}, IROpenOk, kBusyOnly},
        {"other", {}, IROpenOk, kBusyOnly},
    };
    const auto exists = [](LibraryHandle* h, const char* model) {
        const format::Name m = format::NameFromString("M"), t = format::NameFromString("T"),
                           mo = format::NameFromString(model);
        return IRDoesRemoteRecordExist(h, m.data(), t.data(), mo.data());
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Path(c.name + ".lib");
        const Bytes left = ReadFile(path);
        if (c.readOnly == IROpenOk) {
            EXPECT_EQ(OpenClose(path, IRModeReadOnly), IROpenOk);
        } else {
            ExpectRefused(path, IRModeReadOnly, 0, c.readOnly, kRefusal);
        }
        EXPECT_TRUE(FileExists(path + "-journal")) << "a reader never removes it";
        LibraryHandle* h = OpenAs(path, IRModeWrite);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(Trace(), c.writeTrace);
        if (c.name == "dirty") {
            EXPECT_EQ(exists(h, "acknowledged"), 1);
        } else {
            EXPECT_EQ(ReadFile(path), c.found.empty() ? left : c.found);
        }
        EXPECT_EQ(exists(h, "in-flight"), 0);
        IRCloseLibrary(h);
        EXPECT_FALSE(FileExists(path + "-journal"));
        EXPECT_EQ(OpenClose(path, IRModeReadOnly), IROpenOk);
    }
    ::unsetenv("VARNEL32_SYNC");
}
#endif

TEST_F(Open, ReadOnlyOpensOfOnePathAndModeShareOneHandle) {
    const std::string path = Library("a.lib");
    LibraryHandle* first = OpenAs(path, IRModeReadOnly);
    ASSERT_NE(first, nullptr);
    platform::testing::ClearFaults();
    ClearUiEvents();
    // The second open reads nothing and ignores its own owner window and options.
    LibraryHandle* second = IROpenLibrary(-5, nullptr, path.c_str(), IRModeReadOnly, 1, &status);
    EXPECT_EQ(second, first);
    EXPECT_EQ(status, IROpenOk);
    EXPECT_EQ(Trace(), kBusyOnly);
    EXPECT_EQ(CallCount(FaultCall::Open), 0u);
    EXPECT_EQ(CallCount(FaultCall::Read), 0u);
    EXPECT_EQ(first->referenceCount, 2);
    EXPECT_EQ(first->ownerWindow, kOwner);
    // Even a file that was emptied meanwhile is not looked at again.
    WriteFile(path, {});
    EXPECT_EQ(OpenAs(path, IRModeReadOnly), first);
    EXPECT_EQ(first->referenceCount, 3);
    EXPECT_EQ(Registry(), std::vector<LibraryHandle*>{first});

    IRCloseLibrary(first);
    IRCloseLibrary(first);
    EXPECT_EQ(first->referenceCount, 1);
    EXPECT_EQ(Registry(), std::vector<LibraryHandle*>{first});
    char buffer[256];
    EXPECT_EQ(IRGetFilenameFromHandle(first, buffer), 1);
    EXPECT_EQ(std::string(buffer), path);
    IRCloseLibrary(first);
    EXPECT_TRUE(Registry().empty());
}

TEST_F(Open, DifferentModeWordsOrPathBytesGetHandlesOfTheirOwn) {
    const std::string lower = Library("a.lib");
    const std::string upper = Library("A.lib");
    LibraryHandle* a1 = OpenAs(lower, IRModeReadOnly);
    LibraryHandle* a5 = OpenAs(lower, IRModeReadOnly | IRModeRequireInfrared);
    LibraryHandle* a3 = OpenAs(lower, IRModeReadOnly | IRModeWrite);
    LibraryHandle* a3again = OpenAs(lower, IRModeReadOnly | IRModeWrite);
    // Letter case makes another file here, and another spelling of the path another handle.
    LibraryHandle* upper1 = OpenAs(upper, IRModeReadOnly);
    LibraryHandle* dotted = OpenAs(dir_ + "/./a.lib", IRModeReadOnly);
    const std::vector<LibraryHandle*> all{a1, a5, a3, upper1, dotted};
    for (LibraryHandle* h : all) ASSERT_NE(h, nullptr);
    EXPECT_EQ(a3again, a3);
    EXPECT_EQ(a3->referenceCount, 2);
#ifdef _WIN32  // where paths compare as lstrcmpiA does: another letter case, the same handle
    EXPECT_EQ(upper1, a1);
    EXPECT_EQ(Registry(), (std::vector<LibraryHandle*>{a1, a5, a3, dotted}));
#else
    EXPECT_EQ(Registry(), all);
#endif
    char buffer[256];
    IRGetFilenameFromHandle(upper1, buffer);
    EXPECT_EQ(std::string(buffer), upper1 == a1 ? lower : upper);
    // All of them read the file, so none may write it.
    ExpectRefused(lower, IRModeWrite, 0, IROpenCannotOpenFile);
    for (LibraryHandle* h : all) IRCloseLibrary(h);
    EXPECT_EQ(Registry(), std::vector<LibraryHandle*>{a3});
    IRCloseLibrary(a3);
}

// The writer of a.lib changes nothing and the writer of b.lib adds a record: only b.lib is
// saved, clean and with its index, when they close.
TEST_F(Open, ClosingKeepsTheOthersInOrderAndSavesOnlyWhatAWriterChanged) {
    std::vector<LibraryHandle*> h;
    for (const char* name : {"a.lib", "b.lib", "c.lib", "d.lib", "e.lib"}) {
        h.push_back(OpenAs(Library(name), std::string(name) < "c" ? IRModeWrite : IRModeReadOnly));
        ASSERT_NE(h.back(), nullptr);
    }
    Put(h[1], MakeRemoteRecord("M", "T", "x", {MakeEntry(1, 5)}));
    ASSERT_EQ(DecodeHeaderOf(ReadFile(Path("b.lib"))).dirty, 1);
    IRCloseLibrary(h[2]);
    EXPECT_EQ(Registry(), (std::vector<LibraryHandle*>{h[0], h[1], h[3], h[4]}));
    const Bytes empty = ReadFile(Path("a.lib"));
    platform::testing::ClearFaults();
    IRCloseLibrary(h[0]);
    EXPECT_EQ(CallCount(FaultCall::Write), 0u);
    EXPECT_EQ(ReadFile(Path("a.lib")), empty);
    EXPECT_EQ(Registry(), (std::vector<LibraryHandle*>{h[1], h[3], h[4]}));
    IRCloseLibrary(h[4]);
    EXPECT_EQ(Registry(), (std::vector<LibraryHandle*>{h[1], h[3]}));
    LibraryHandle* again = OpenAs(Path("a.lib"), IRModeReadOnly);
    EXPECT_EQ(Registry(), (std::vector<LibraryHandle*>{h[1], h[3], again}));
    for (LibraryHandle* left : {h[1], h[3], again}) {
        char buffer[256];
        EXPECT_EQ(IRGetFilenameFromHandle(left, buffer), 1);
        NameList* list = IRFindAllManufacturers(left);
        EXPECT_NE(list, nullptr);
        IRFreeManufacturers(list);
        IRCloseLibrary(left);
    }
    const Bytes saved = ReadFile(Path("b.lib"));
    EXPECT_EQ(DecodeHeaderOf(saved).dirty, 0);
    EXPECT_EQ(KeysOf(IndexRunOf(saved)), std::vector<std::string>{"M/T/x@1570"});
}

// ---- Exclusion ----------------------------------------------------------------------------

// A writer has its file alone and readers keep writers out, whether the holder and the
// opener are in this process or another one.
TEST_F(Open, AWriterHasItsFileAloneWithinAndAcrossProcesses) {
    const std::string path = Library("a.lib");
    const auto childOpens = [&](uint32_t mode) {
        return static_cast<int>(HeldByChild(path, mode).status());
    };
    const uint32_t R = IRModeReadOnly, W = IRModeWrite, R5 = R | IRModeRequireInfrared;
    const uint32_t busy = IROpenCannotOpenFile;
    const struct {
        bool childHolds;
        uint32_t held;
        bool childTries;
        uint32_t tried, expected;
    } cases[] = {
        {false, W, false, R, busy}, {false, W, false, W, busy}, {false, W, false, R | W, busy},
        {false, R, false, W, busy}, {false, R, false, R5, IROpenOk},
        {false, W, true, R, busy},  {false, W, true, W, busy},
        {false, R, true, W, busy},  {false, R, true, R5, IROpenOk},
        {true, W, false, R, busy},  {true, W, false, W, busy},
        {true, R, false, W, busy},  {true, R, false, R, IROpenOk},
    };
    EXPECT_EQ(childOpens(W), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.childHolds ? "child" : "parent") + " holds " +
                     std::to_string(c.held) + ", " + (c.childTries ? "child" : "parent") +
                     " tries " + std::to_string(c.tried));
        std::optional<HeldByChild> child;
        LibraryHandle* holder = nullptr;
        if (c.childHolds) {
            child.emplace(path, c.held);
            ASSERT_EQ(child->status(), IROpenOk);
            othersHold = true;
        } else {
            holder = OpenAs(path, c.held);
            ASSERT_NE(holder, nullptr);
        }
        if (c.childTries) {
            EXPECT_EQ(childOpens(c.tried), static_cast<int>(c.expected));
        } else if (c.expected != IROpenOk) {
            ExpectRefused(path, c.tried, 0, c.expected);
        } else {
            EXPECT_EQ(OpenClose(path, c.tried), IROpenOk);
        }
        IRCloseLibrary(holder);
        othersHold = false;
    }
    // Closing one reader keeps the file shut to writers while another is open.
    LibraryHandle* reader = OpenAs(path, R);
    LibraryHandle* reader5 = OpenAs(path, R5);
    ASSERT_NE(reader5, nullptr);
    IRCloseLibrary(reader);
    ExpectRefused(path, W, 0, busy);
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
    EXPECT_EQ(OpenClose(path, W), IROpenOk);
}

}  // namespace
}  // namespace varnel32::test
