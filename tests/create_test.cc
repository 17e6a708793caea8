// IRCreateLibrary: the exact empty file of every kind, the level test, creating over files
// that are held open (in this process and by another one) or closed, and the failures of
// the open and of the header write, with the busy cursor restored on every path.
#include <climits>

#include "support/child_process.h"
#include "support/file_builder.h"

namespace varnel32::test {
namespace {

using platform::FaultCall;
using platform::FaultEffect;
using platform::testing::CallCount;
using platform::testing::ClearUiEvents;
using platform::testing::InjectFault;

class Create : public FileTest {
protected:
    // A library with one record, as an existing file worth protecting.
    Bytes MakeFilled(const std::string& name) {
        FileBuilder f;
        f.AddLive("Maker", "TV", "Model 1", {MakeEntry(3, 30)});
        f.WriteTo(Path(name));
        return f.Build();
    }
};

TEST_F(Create, EveryKindFlagGivesExactlyTheEmptyHeaderOfItsKind) {
    const struct {
        uint32_t flags;
        uint32_t kind;
    } cases[] = {{0, 2},     {1, 3},   {2, 2},     {3, 3},      {4, 4},    {5, 5},
                 {8, 8},     {9, 9},   {12, 4},    {13, 5},     {16, 2},   {17, 3},
                 {0x100, 2}, {0xF0, 2}, {0x10C, 4}, {0xFFFF, 5}, {0x1008, 8}};
    for (const auto& c : cases) {
        SCOPED_TRACE("kindFlags " + std::to_string(c.flags));
        const std::string path = Path("k" + std::to_string(c.flags) + ".lib");
        ClearUiEvents();
        ASSERT_EQ(IRCreateLibrary(0, path.c_str(), c.flags), 1);
        EXPECT_EQ(Trace(), kBusyOnly);
        // Byte for byte the sealed empty header: magic, dataEnd 1570, kind, all else zero.
        EXPECT_EQ(ReadFile(path), SealedHeader(format::LibraryHeader{.kind = c.kind}));
    }
}

TEST_F(Create, LevelAboveOneTouchesNothingAndOtherLevelsCreate) {
    const Bytes before = MakeFilled("a.lib");
    for (int32_t level : {2, 3, INT_MAX}) {
        ClearUiEvents();
        const uint32_t opens = CallCount(FaultCall::Open);
        EXPECT_EQ(IRCreateLibrary(level, Path("a.lib").c_str(), 0), 0);
        EXPECT_EQ(IRCreateLibrary(level, Path("new.lib").c_str(), 0), 0);
        EXPECT_EQ(CallCount(FaultCall::Open), opens) << "level " << level;
        EXPECT_EQ(Trace(), "load wait user load wait user");
    }
    EXPECT_EQ(ReadFile(Path("a.lib")), before);
    EXPECT_FALSE(FileExists(Path("new.lib")));
    for (int32_t level : {1, 0, -1, INT_MIN}) {
        const std::string path = Path("l" + std::to_string(level) + ".lib");
        EXPECT_EQ(IRCreateLibrary(level, path.c_str(), 0), 1) << level;
        EXPECT_EQ(ReadFile(path).size(), 1570u);
    }
}

TEST_F(Create, OverAClosedLibraryReplacesItWithAnEmptyOne) {
    MakeFilled("a.lib");
    ASSERT_EQ(IRCreateLibrary(0, Path("a.lib").c_str(), IRCreateKind8), 1);
    EXPECT_EQ(ReadFile(Path("a.lib")), SealedHeader(format::LibraryHeader{.kind = IRKind8}));
}

// A file that someone holds open is neither replaced nor emptied: the exclusion is taken
// before the file is cut.
TEST_F(Create, AFileHeldOpenInThisProcessIsLeftAlone) {
    const Bytes before = MakeFilled("a.lib");
    for (uint32_t mode : {IRModeWrite, IRModeReadOnly, IRModeReadOnly | IRModeWrite}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        uint32_t status = 99;
        LibraryHandle* h = IROpenLibrary(0, nullptr, Path("a.lib").c_str(), mode, 0, &status);
        ASSERT_NE(h, nullptr);
        ClearUiEvents();
        EXPECT_EQ(IRCreateLibrary(0, Path("a.lib").c_str(), 0), 0);
        EXPECT_EQ(Trace(), kBusyOnly);
        EXPECT_EQ(ReadFile(Path("a.lib")), before);
        // The holder still reads its file through the untouched descriptor.
        EXPECT_NE(FetchNamed(h, "Maker", "TV", "Model 1"), std::nullopt);
        IRCloseLibrary(h);
        EXPECT_EQ(ReadFile(Path("a.lib")), before);
    }
}

TEST_F(Create, AFileHeldOpenByAnotherProcessIsLeftAlone) {
    const Bytes before = MakeFilled("a.lib");
    for (uint32_t mode : {IRModeWrite, IRModeReadOnly}) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        {
            HeldByChild child(Path("a.lib"), mode);
            ASSERT_EQ(child.status(), IROpenOk);
            EXPECT_EQ(IRCreateLibrary(0, Path("a.lib").c_str(), 0), 0);
        }
        EXPECT_EQ(ReadFile(Path("a.lib")), before);
    }
    // Once the other process let go, the create goes through.
    EXPECT_EQ(IRCreateLibrary(0, Path("a.lib").c_str(), 0), 1);
    EXPECT_EQ(ReadFile(Path("a.lib")).size(), 1570u);
}

TEST_F(Create, AFailedOpenReturnsZeroAndCreatesNothing) {
    InjectFault(FaultCall::Open, 1);
    EXPECT_EQ(IRCreateLibrary(0, Path("a.lib").c_str(), 0), 0);
    EXPECT_TRUE(platform::testing::FaultFired());
    EXPECT_FALSE(FileExists(Path("a.lib")));
    EXPECT_EQ(Trace(), kBusyOnly);
    ClearUiEvents();
    EXPECT_EQ(IRCreateLibrary(0, Path("no/such/dir.lib").c_str(), 0), 0);
    EXPECT_EQ(IRCreateLibrary(0, dir_.c_str(), 0), 0);
    EXPECT_EQ(Trace(), "load wait user load wait user");
}

TEST_F(Create, AShortOrFailedHeaderWriteReturnsZeroAndLeavesAFileThatDoesNotOpen) {
    for (FaultEffect effect : {FaultEffect::Short, FaultEffect::Fail}) {
        SCOPED_TRACE(effect == FaultEffect::Short ? "short" : "fail");
        MakeFilled("a.lib");
        ClearUiEvents();
        InjectFault(FaultCall::Write, 1, effect);
        EXPECT_EQ(IRCreateLibrary(0, Path("a.lib").c_str(), 0), 0);
        EXPECT_TRUE(platform::testing::FaultFired());
        EXPECT_EQ(Trace(), kBusyOnly);
        // The file was emptied before the write and keeps whatever part of it arrived.
        const Bytes file = ReadFile(Path("a.lib"));
        EXPECT_LT(file.size(), 1570u);
        uint32_t status = 99;
        EXPECT_EQ(IROpenLibrary(0, nullptr, Path("a.lib").c_str(), IRModeWrite, 0, &status), nullptr);
        EXPECT_EQ(status, IROpenBadLibrary);
        // The create itself closed the file: nothing holds it now.
        EXPECT_EQ(IRCreateLibrary(0, Path("a.lib").c_str(), 0), 1);
    }
}

}  // namespace
}  // namespace varnel32::test
