// Creating and opening through the real Windows file layer: every open status, the share
// modes between opens of one process and between processes (readers coexist, a writer is
// alone, a create never empties a held file), and case-insensitive sharing of read-only
// handles.
#include <cctype>
#include <cstring>

#include "harness.h"

using namespace varnel32;
using namespace varnel32::wintest;

namespace {

std::string CreateLibraryFile(const char* name, uint32_t kindFlags = 0) {
    const std::string path = PathIn(name);
    CHECK_EQ(IRCreateLibrary(0, path.c_str(), kindFlags), 1);
    return path;
}

// Patches a byte of the header, which breaks its checksum unless it is the magic.
void CorruptByte(const std::string& path, size_t at) {
    Bytes bytes = ReadWholeFile(path);
    bytes[at] ^= 0x5A;
    WriteWholeFile(path, bytes);
}

}  // namespace

WTEST(CreateWritesAnEmptyHeaderOfEachKind) {
    const struct {
        uint32_t flags, kind;
    } cases[] = {{0, 2}, {1, 3}, {4, 4}, {5, 5}, {8, 8}, {9, 9}, {12, 4}, {0x102, 2}};
    for (const auto& c : cases) {
        const std::string path = CreateLibraryFile("kind.lib", c.flags);
        CHECK_EQ(FileSize(path), 1570);
        const HeaderView h = ReadHeaderOf(path);
        CHECK(h.valid);
        CHECK_EQ(h.kind, c.kind);
        CHECK_EQ(h.dataEnd, 1570u);
        CHECK_EQ(h.recordCount + h.dirty, 0u);
    }
    // Level 2 is refused before the file is touched; -1 is accepted.
    const std::string path = PathIn("levels.lib");
    CHECK_EQ(IRCreateLibrary(2, path.c_str(), 0), 0);
    CHECK_EQ(FileSize(path), -1);
    CHECK_EQ(IRCreateLibrary(-1, path.c_str(), 0), 1);
    CHECK_EQ(IRCreateLibrary(0, PathIn("no-such-dir\\x.lib").c_str(), 0), 0);
}

WTEST(CreateReplacesAClosedLibrary) {
    const std::string path = CreateLibraryFile("replace.lib");
    uint32_t status = 99;
    LibraryHandle* h = Open(path, IRModeWrite, &status);
    REQUIRE(h != nullptr);
    const Bytes record = MakeRecord("Acme", "TV", "X1", 2, 30, 1);
    CHECK_EQ(IRWriteRemoteRecord(h, AsRecord(record)), 1);
    IRCloseLibrary(h);
    CHECK(FileSize(path) > 1570);
    CHECK_EQ(IRCreateLibrary(0, path.c_str(), 4), 1);
    CHECK_EQ(FileSize(path), 1570);
    CHECK_EQ(ReadHeaderOf(path).kind, 4u);
}

WTEST(OpenReportsEveryStatus) {
    const std::string infrared = CreateLibraryFile("ir.lib");
    const std::string command = CreateLibraryFile("cmd.lib", 4);
    const std::string protectedFile = CreateLibraryFile("wp.lib", 1);
    uint32_t status = 99;

    LibraryHandle* h = Open(infrared, IRModeWrite | IRModeRequireInfrared, &status);
    CHECK(h != nullptr);
    CHECK_EQ(status, IROpenOk);
    IRCloseLibrary(h);

    CHECK(Open(PathIn("missing.lib"), IRModeReadOnly, &status) == nullptr);
    CHECK_EQ(status, IROpenCannotOpenFile);

    CHECK(Open(command, IRModeReadOnly | IRModeRequireInfrared, &status) == nullptr);
    CHECK_EQ(status, IROpenWrongKind);
    CHECK(Open(infrared, IRModeReadOnly | IRModeRequireKind8, &status) == nullptr);
    CHECK_EQ(status, IROpenWrongKind);

    CHECK(IROpenLibrary(2, nullptr, infrared.c_str(), IRModeReadOnly, 0, &status) == nullptr);
    CHECK_EQ(status, IROpenBadArgument);
    CHECK(Open(infrared, IRModeRequireInfrared, &status) == nullptr);
    CHECK_EQ(status, IROpenBadArgument);
    h = IROpenLibrary(-1, nullptr, infrared.c_str(), IRModeReadOnly, 0, &status);
    CHECK(h != nullptr);
    IRCloseLibrary(h);

    platform::testing::InjectFault(platform::FaultCall::Allocate, 1);
    CHECK(Open(infrared, IRModeReadOnly, &status) == nullptr);
    CHECK_EQ(status, IROpenOutOfMemory);
    platform::testing::ClearFaults();

    CHECK(Open(protectedFile, IRModeWrite, &status) == nullptr);
    CHECK_EQ(status, IROpenWriteProtected);
    h = Open(protectedFile, IRModeReadOnly, &status);
    CHECK(h != nullptr);
    IRCloseLibrary(h);
    h = IROpenLibrary(0, nullptr, protectedFile.c_str(), IRModeWrite, IROpenOverrideWriteProtection,
                      &status);
    CHECK(h != nullptr);
    CHECK_EQ(status, IROpenOk);
    IRCloseLibrary(h);

    // Not a library: short, wrong magic, wrong checksum. None shows a message.
    const std::string shortFile = PathIn("short.lib");
    WriteWholeFile(shortFile, Bytes(1569, 0));
    CHECK(Open(shortFile, IRModeReadOnly, &status) == nullptr);
    CHECK_EQ(status, IROpenBadLibrary);
    const std::string badMagic = CreateLibraryFile("magic.lib");
    CorruptByte(badMagic, 0);
    CHECK(Open(badMagic, IRModeWrite, &status) == nullptr);
    CHECK_EQ(status, IROpenBadLibrary);
    const std::string badCrc = CreateLibraryFile("crc.lib");
    CorruptByte(badCrc, 1000);
    CHECK(Open(badCrc, IRModeReadOnly, &status) == nullptr);
    CHECK_EQ(status, IROpenBadLibrary);
    for (const auto& e : platform::testing::UiEvents()) {
        CHECK(e.kind != platform::testing::UiEvent::Kind::MessageBox);
        CHECK(e.kind != platform::testing::UiEvent::Kind::Beep);
    }
    // A failed open left every descriptor closed: the files can be opened for writing.
    h = Open(badCrc, IRModeWrite, &status);
    CHECK(h == nullptr && status == IROpenBadLibrary);
    CHECK(WriteWholeFile(badMagic, Bytes(10, 1)));
}

WTEST(AWriterIsAloneWithItsFileInOneProcess) {
    const std::string path = CreateLibraryFile("held.lib");
    uint32_t status = 99;
    LibraryHandle* writer = Open(path, IRModeWrite, &status);
    REQUIRE(writer != nullptr);
    const Bytes record = MakeRecord("Acme", "TV", "X1", 1, 20, 7);
    CHECK_EQ(IRWriteRemoteRecord(writer, AsRecord(record)), 1);

    CHECK(Open(path, IRModeWrite, &status) == nullptr);
    CHECK_EQ(status, IROpenCannotOpenFile);
    CHECK(Open(path, IRModeReadOnly, &status) == nullptr);
    CHECK_EQ(status, IROpenCannotOpenFile);
    // The create is refused and the held file keeps its record.
    CHECK_EQ(IRCreateLibrary(0, path.c_str(), 0), 0);
    IRCloseLibrary(writer);
    const HeaderView header = ReadHeaderOf(path);
    CHECK_EQ(header.recordCount, 1u);
    CHECK_EQ(header.dirty, 0);

    // Readers coexist (different mode words, so two handles and two descriptors), and keep
    // writers and creators out.
    LibraryHandle* reader1 = Open(path, IRModeReadOnly, &status);
    LibraryHandle* reader2 = Open(path, IRModeReadOnly | IRModeRequireInfrared, &status);
    CHECK(reader1 != nullptr && reader2 != nullptr && reader1 != reader2);
    CHECK(Open(path, IRModeWrite, &status) == nullptr);
    CHECK_EQ(status, IROpenCannotOpenFile);
    CHECK_EQ(IRCreateLibrary(0, path.c_str(), 0), 0);
    CHECK_EQ(ReadHeaderOf(path).recordCount, 1u);
    // Readers deny writing to every other program too, and let it read.
    CHECK(!WriteWholeFile(path, Bytes(1570, 0)));
    CHECK_EQ(ReadWholeFile(path).size(), static_cast<size_t>(FileSize(path)));
    IRCloseLibrary(reader1);
    IRCloseLibrary(reader2);
    LibraryHandle* again = Open(path, IRModeWrite, &status);
    CHECK(again != nullptr);
    IRCloseLibrary(again);
}

WTEST(AWriterIsAloneWithItsFileAcrossProcesses) {
    const std::string path = CreateLibraryFile("shared.lib");
    uint32_t status = 99;
    {
        HeldByOtherProcess other(path, IRModeWrite);
        REQUIRE(other.Started());
        CHECK(Open(path, IRModeReadOnly, &status) == nullptr);
        CHECK_EQ(status, IROpenCannotOpenFile);
        CHECK(Open(path, IRModeWrite, &status) == nullptr);
        CHECK_EQ(status, IROpenCannotOpenFile);
        CHECK_EQ(IRCreateLibrary(0, path.c_str(), 4), 0);
    }
    CHECK_EQ(ReadHeaderOf(path).kind, 2u);
    {
        HeldByOtherProcess other(path, IRModeReadOnly);
        REQUIRE(other.Started());
        LibraryHandle* reader = Open(path, IRModeReadOnly, &status);
        CHECK(reader != nullptr);
        CHECK_EQ(status, IROpenOk);
        CHECK(Open(path, IRModeWrite, &status) == nullptr);
        CHECK_EQ(status, IROpenCannotOpenFile);
        CHECK_EQ(IRCreateLibrary(0, path.c_str(), 0), 0);
        IRCloseLibrary(reader);
        // While we read, the other process cannot open the file for writing either.
        HeldByOtherProcess writer(path, IRModeWrite);
        CHECK(!writer.Started());
    }
    LibraryHandle* writer = Open(path, IRModeWrite, &status);
    CHECK(writer != nullptr);
    IRCloseLibrary(writer);
}

WTEST(ReadOnlyHandlesAreSharedWhateverTheLetterCaseOfThePath) {
    const std::string path = CreateLibraryFile("Mixed.lib");
    std::string other = path;
    for (char& c : other) c = static_cast<char>(std::islower(static_cast<unsigned char>(c))
                                                    ? std::toupper(static_cast<unsigned char>(c))
                                                    : std::tolower(static_cast<unsigned char>(c)));
    REQUIRE(other != path);
    uint32_t s1 = 99, s2 = 99;
    LibraryHandle* a = Open(path, IRModeReadOnly, &s1);
    LibraryHandle* b = Open(other, IRModeReadOnly, &s2);
    CHECK(a != nullptr && a == b);
    CHECK(s1 == IROpenOk && s2 == IROpenOk);
    CHECK_EQ(OpenHandleCount(), 1u);
    char name[256];
    CHECK_EQ(IRGetFilenameFromHandle(b, name), 1);
    CHECK(path == name);
    // The other spelling names the same file, so a writer is refused while it is shared.
    CHECK(Open(other, IRModeWrite, &s1) == nullptr);
    CHECK_EQ(s1, IROpenCannotOpenFile);
    IRCloseLibrary(a);
    CHECK_EQ(OpenHandleCount(), 1u);
    IRCloseLibrary(b);
    CHECK_EQ(OpenHandleCount(), 0u);

    // Writers never share, whatever the spelling.
    LibraryHandle* w = Open(path, IRModeWrite, &s1);
    CHECK(w != nullptr);
    CHECK(Open(other, IRModeWrite, &s2) == nullptr);
    CHECK_EQ(s2, IROpenCannotOpenFile);
    IRCloseLibrary(w);
}
