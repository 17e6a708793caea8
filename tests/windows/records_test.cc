// Records through the real Windows file layer: write, list, fetch, delete, compact (which
// truncates with _chsize), close and reopen; names compared with lstrcmpiA; and a file
// left dirty by a process that ended mid-write, with the messages of the three paths that
// open it afterwards.
#include <cstring>

#include "format/endian.h"
#include "harness.h"

using namespace varnel32;
using namespace varnel32::wintest;
using platform::testing::UiEvent;

namespace {

// The fetched record holds the written image after its usedSize field.
bool FetchedEquals(LibraryHandle* h, const Bytes& written) {
    const std::string m = Field(reinterpret_cast<const char*>(written.data() + 4));
    const std::string t = Field(reinterpret_cast<const char*>(written.data() + 25));
    const std::string mo = Field(reinterpret_cast<const char*>(written.data() + 46));
    RemoteRecord* fetched = IRFetchRemoteRecord(h, m.c_str(), t.c_str(), mo.c_str());
    if (fetched == nullptr) return false;
    const auto* p = reinterpret_cast<const uint8_t*>(fetched);
    const bool same = format::Load16(p) >= written.size() &&
                      std::memcmp(p + 2, written.data() + 2, written.size() - 2) == 0;
    IRFreeRemoteRecord(fetched);
    return same;
}

bool Exists(LibraryHandle* h, const char* m, const char* t, const char* mo) {
    return IRDoesRemoteRecordExist(h, Field(m).c_str(), Field(t).c_str(), Field(mo).c_str()) == 1;
}

}  // namespace

WTEST(RecordsSurviveWriteDeleteCompactCloseAndReopen) {
    const std::string path = PathIn("records.lib");
    REQUIRE(IRCreateLibrary(0, path.c_str(), 0) == 1);
    uint32_t status = 99;
    LibraryHandle* h = Open(path, IRModeWrite, &status);
    REQUIRE(h != nullptr);
    const Bytes tv1 = MakeRecord("Acme", "TV", "X1", 3, 60, 1);
    const Bytes tv2 = MakeRecord("Acme", "TV", "X2", 1, 200, 2);
    const Bytes amp = MakeRecord("Bolt", "Amp", "A7", 2, 10, 3);
    const Bytes big = MakeRecord("Bolt", "Amp", "Big", 4, 400, 4);
    for (const Bytes* r : {&tv1, &tv2, &amp, &big}) CHECK_EQ(IRWriteRemoteRecord(h, AsRecord(*r)), 1);

    NameList* makers = IRFindAllManufacturers(h);
    CHECK((NamesOf(makers) == std::vector<std::string>{"Acme", "Bolt"}));
    NameList* models = IRFindAllModels(h, "ACME", "tv");
    CHECK((NamesOf(models) == std::vector<std::string>{"X1", "X2"}));
    NameList* types = IRFindAllTypes(h, "bolt");
    CHECK((NamesOf(types) == std::vector<std::string>{"Amp"}));
    // One routine under four names: any of them releases any block.
    IRFreeTypes(makers);
    IRFreeModels(models);
    IRFreeManufacturers(types);
    CHECK(Exists(h, "acme", "TV", "x1"));
    CHECK(FetchedEquals(h, tv2));

    // A larger record under the same names moves to the end of the file.
    const Bytes tv1Larger = MakeRecord("ACME", "tv", "x1", 3, 1500, 5);
    CHECK_EQ(IRWriteRemoteRecord(h, AsRecord(tv1Larger)), 1);
    CHECK(FetchedEquals(h, tv1Larger));
    CHECK_EQ(IRDeleteRemoteRecord(h, Field("Bolt").c_str(), Field("Amp").c_str(),
                                  Field("Big").c_str()),
             1);
    CHECK(!Exists(h, "Bolt", "Amp", "Big"));
    CHECK_EQ(IRDeleteRemoteRecord(h, Field("Bolt").c_str(), Field("Amp").c_str(),
                                  Field("Big").c_str()),
             0);

    // Closed and reopened, so that the size before compaction includes the saved index.
    IRCloseLibrary(h);
    const int64_t before = FileSize(path);
    h = Open(path, IRModeWrite, &status);
    REQUIRE(h != nullptr);
    CHECK_EQ(IRCompactLibrary(h), 1);
    IRCloseLibrary(h);
    const int64_t after = FileSize(path);
    CHECK(after < before);
    const HeaderView header = ReadHeaderOf(path);
    CHECK_EQ(header.recordCount, 3u);
    CHECK_EQ(header.dirty, 0);
    // What follows the record data is the index: three 71-byte entries.
    CHECK_EQ(static_cast<int64_t>(header.dataEnd) + 3 * 71, after);

    h = Open(path, IRModeReadOnly, &status);
    REQUIRE(h != nullptr);
    CHECK(FetchedEquals(h, tv1Larger));
    CHECK(FetchedEquals(h, tv2));
    CHECK(FetchedEquals(h, amp));
    CHECK(!Exists(h, "Bolt", "Amp", "Big"));
    CHECK_EQ(IRWriteRemoteRecord(h, AsRecord(big)), 0);
    CHECK_EQ(IRCompactLibrary(h), 0);
    IRCloseLibrary(h);
    CHECK_EQ(FileSize(path), after);
}

WTEST(AFaultInjectedOnWindowsFailsTheCallCleanly) {
    const std::string path = PathIn("faults.lib");
    platform::testing::InjectFault(platform::FaultCall::Write, 1, platform::FaultEffect::Short);
    CHECK_EQ(IRCreateLibrary(0, path.c_str(), 0), 0);
    CHECK(platform::testing::FaultFired());
    CHECK_EQ(FileSize(path), 785);  // half of the header reached the file
    uint32_t status = 99;
    CHECK(Open(path, IRModeReadOnly, &status) == nullptr);
    CHECK_EQ(status, IROpenBadLibrary);
    platform::testing::InjectFault(platform::FaultCall::Open, 1);
    CHECK(Open(path, IRModeReadOnly, &status) == nullptr);
    CHECK_EQ(status, IROpenCannotOpenFile);
}

// Child mode (--crash-while-writing PATH): writes a record and ends the process just after the second record's image
// reached the file, with the header marked dirty and the index not saved.
int ChildCrashWhileWriting(const char* path) {
    if (IRCreateLibrary(0, path, 0) != 1) return 2;
    uint32_t status = 99;
    LibraryHandle* h = IROpenLibrary(0, nullptr, path, IRModeWrite, 0, &status);
    if (h == nullptr) return 3;
    const Bytes first = MakeRecord("Acme", "TV", "X1", 2, 50, 1);
    const uint32_t before = platform::testing::CallCount(platform::FaultCall::Write);
    if (IRWriteRemoteRecord(h, AsRecord(first)) != 1) return 4;
    // Both records are appended, so the second takes as many writes as the first, the
    // record image being the last of them.
    const uint32_t writes = platform::testing::CallCount(platform::FaultCall::Write) - before;
    platform::testing::InjectFault(platform::FaultCall::Write, writes, platform::FaultEffect::Crash);
    const Bytes second = MakeRecord("Acme", "TV", "X2", 1, 80, 2);
    IRWriteRemoteRecord(h, AsRecord(second));
    return 5;  // not reached: the fault ends the process
}

WTEST(AFileLeftDirtyByAnEndedProcessIsRefusedReadOnlyAndRepairedForWriting) {
    const std::string path = PathIn("crashed.lib");
    REQUIRE(RunChild("--crash-while-writing \"" + path + "\"") == platform::kCrashExitStatus);
    REQUIRE(ReadHeaderOf(path).dirty != 0);
    const Bytes dirty = ReadWholeFile(path);
    void* const owner = reinterpret_cast<void*>(static_cast<uintptr_t>(0x1234));

    uint32_t status = 99;
    CHECK(IROpenLibrary(0, owner, path.c_str(), IRModeReadOnly, 0, &status) == nullptr);
    CHECK_EQ(status, IROpenBadLibrary);
    CHECK(ReadWholeFile(path) == dirty);
    std::vector<UiEvent> events = platform::testing::UiEvents();
    // Cursor load and set, beep, box, cursor restore.
    REQUIRE(events.size() == 5);
    CHECK(events[0].kind == UiEvent::Kind::LoadCursor && events[0].value == 32514);
    CHECK(events[2].kind == UiEvent::Kind::Beep && events[2].value == 0x10);
    CHECK(events[3].kind == UiEvent::Kind::MessageBox && events[3].value == 0x30);
    CHECK(events[3].owner == owner && events[3].caption == "Error");
    CHECK(events[3].text ==
          "Infrared library file was not closed properly... Open file in the Quorvik to repair.");

    // For writing: the prompt, then the rebuild from the records, which finds both.
    platform::testing::ClearUiEvents();
    LibraryHandle* h = IROpenLibrary(0, owner, path.c_str(), IRModeWrite, 0, &status);
    REQUIRE(h != nullptr);
    CHECK_EQ(status, IROpenOk);
    events = platform::testing::UiEvents();
    REQUIRE(events.size() == 5);
    CHECK(events[2].kind == UiEvent::Kind::Beep && events[2].value == 0x30);
    CHECK(events[3].text == "Library file was not closed properly... Click OK to attempt recovery");
    CHECK(Exists(h, "Acme", "TV", "X1"));
    CHECK(Exists(h, "Acme", "TV", "X2"));
    CHECK(FetchedEquals(h, MakeRecord("Acme", "TV", "X1", 2, 50, 1)));
    IRCloseLibrary(h);
    CHECK_EQ(ReadHeaderOf(path).dirty, 0);

    // A repair that cannot write: the prompt, then "Recovery Failed!", and no handle.
    CHECK(WriteWholeFile(path, dirty));
    platform::testing::ClearUiEvents();
    platform::testing::InjectFault(platform::FaultCall::Write, 1, platform::FaultEffect::Fail, true);
    CHECK(IROpenLibrary(0, owner, path.c_str(), IRModeWrite, 0, &status) == nullptr);
    CHECK_EQ(status, IROpenBadLibrary);
    platform::testing::ClearFaults();
    events = platform::testing::UiEvents();
    REQUIRE(events.size() == 7);
    CHECK(events[3].text == "Library file was not closed properly... Click OK to attempt recovery");
    CHECK(events[4].kind == UiEvent::Kind::Beep && events[4].value == 0x10);
    CHECK(events[5].kind == UiEvent::Kind::MessageBox && events[5].value == 0x10);
    CHECK(events[5].text == "Recovery Failed!");
    CHECK(events[6].kind == UiEvent::Kind::SetCursor);
    // Its descriptor was closed: the file opens for writing again.
    h = Open(path, IRModeWrite, &status);
    CHECK(h != nullptr);
    IRCloseLibrary(h);
}
