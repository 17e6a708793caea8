// Bad input at the boundary, one table: every export with every malformed argument (null
// pointers, unterminated names, levels, read-only handles for changes, records too large)
// answers with its failure value, leaves the file as it was and shows nothing but the busy
// cursor. Caller buffers have their exact size, so the sanitizer build sees reads past them.
#include <climits>
#include <cstring>
#include <functional>
#include <memory>

#include "format/endian.h"
#include "support/reliability.h"
#include "support/test_support.h"

namespace varnel32::test {
namespace {

namespace rl = reliability;
namespace fi = platform::testing;

// A heap copy of exactly `bytes`, so that reading past its end is caught.
std::shared_ptr<char[]> Exact(const std::string& bytes) {
    std::shared_ptr<char[]> block(new char[bytes.size()]);
    std::memcpy(block.get(), bytes.data(), bytes.size());
    return block;
}
std::shared_ptr<char[]> Field(const std::string& name) {
    return Exact(name + std::string(IR_NAME_FIELD_SIZE - name.size(), '\0'));
}
std::shared_ptr<const RemoteRecord> Record(const Bytes& record) {
    return std::reinterpret_pointer_cast<const RemoteRecord>(Exact(std::string(record.begin(), record.end())));
}

const std::string kLong = "ABCDEFGHIJKLMNOPQRST";  // 20 characters, a stored name

struct Row {
    std::string what;
    uint32_t mode;  // 0: the call gets a null handle
    std::function<int64_t(LibraryHandle*)> call;
    int64_t expected;
    bool busy = false;  // the call shows the busy cursor
};

using Boundary = LibraryTest;

TEST_F(Boundary, MalformedArgumentsGetTheFailureValueAndChangeNothing) {
    const std::string path = Path("b.lib"), beside = Path("new.lib");
    const Bytes file = rl::BuildLibrary(path, 1024, {rl::MakeRecord(kLong, kLong, kLong, 1, {10}),
                                                     rl::MakeRecord("Sony", "TV", "KV-1", 2, {4, 4})}, {}).file;
    ASSERT_FALSE(file.empty());

    const auto m = Field("Sony"), t = Field("TV"), mo = Field("KV-1"), good = Field(kLong);
    // Twenty-one characters and no zero: the first twenty match the stored record, so a
    // library that read on until it found a zero, or cut the name at 20, would find it.
    const auto open = Exact(kLong + "U");
    const auto fits = Record(rl::MakeRecord("Sony", "TV", "KV-1", 5, {4}));
    const auto moves = Record(rl::MakeRecord("Sony", "TV", "KV-1", 6, {4000}));
    const auto fresh = Record(rl::MakeRecord("New", "TV", "N-1", 7, {4}));
    // 1364 empty entries: 79 + 1364 * 48 = 65551 bytes, beyond 65535.
    const auto many = Record(rl::MakeRecord("Big", "TV", "many", 1, std::vector<uint16_t>(1364, 0)));
    // One entry whose length alone is beyond: only its head is handed over.
    Bytes hugeBytes = rl::MakeRecord("Big", "TV", "huge", 2, {0});
    format::Store16(hugeBytes.data() + IR_RECORD_ENTRIES_OFFSET + IR_ENTRY_DATA_LENGTH_OFFSET, 0xFFFF);
    const auto huge = Record(hugeBytes);
    // Exactly 65535 bytes: it fits with no extra space, not with one byte of it.
    const Bytes largestBytes = rl::MakeRecord("Big", "TV", "largest", 3, {65535 - 79 - 48});
    const auto largest = Record(largestBytes);
    const uint32_t R = IRModeReadOnly, W = IRModeWrite;

    std::vector<Row> rows = {
        {"create, null path", 0, [](auto*) { return IRCreateLibrary(0, nullptr, 0); }, 0, true},
        {"open, null status", 0,
         [&](auto*) { return !!IROpenLibrary(0, nullptr, path.c_str(), W, 0, nullptr); }, 0, true},
        {"filename, null buffer", W, [](auto* h) { return IRGetFilenameFromHandle(h, nullptr); }, 0},
        {"types, null maker", W, [](auto* h) { return IRFindAllTypes(h, nullptr) != nullptr; }, 0},
        {"models, null maker", W, [](auto* h) { return IRFindAllModels(h, nullptr, "TV") != nullptr; }, 0},
        {"models, null type", W, [](auto* h) { return IRFindAllModels(h, "Sony", nullptr) != nullptr; }, 0},
        {"write, null record", W, [](auto* h) { return IRWriteRemoteRecord(h, nullptr); }, 0},
        {"null handle: command library", 0, [](auto* h) { return IRIsCommandLibrary(h); }, 0},
        {"null handle: set extra space", 0, [](auto* h) { return IRSetExtraSpaceAmount(h, 5); }, 0},
        {"null handle: extra space", 0, [](auto* h) { return IRGetExtraSpaceAmount(h); }, 0xFFFF},
        {"null handle: makers", 0, [](auto* h) { return IRFindAllManufacturers(h) != nullptr; }, 0},
        {"null handle: types", 0, [](auto* h) { return IRFindAllTypes(h, "Sony") != nullptr; }, 0},
        {"null handle: models", 0, [](auto* h) { return IRFindAllModels(h, "Sony", "TV") != nullptr; }, 0},
        {"null handle: write", 0, [&](auto* h) { return IRWriteRemoteRecord(h, fits.get()); }, 0},
        {"null handle: compact", 0, [](auto* h) { return IRCompactLibrary(h); }, 0},
        {"null handle: close and frees", 0, [](auto* h) {
             IRCloseLibrary(h);
             IRFreeManufacturers(nullptr), IRFreeTypes(nullptr), IRFreeModels(nullptr), IRFreeRemoteRecord(nullptr);
             return 0; }, 0},
        {"null handle: filename", 0, [](auto* h) {
             char buffer[4] = {'a', 'b', 'c', 0};
             return IRGetFilenameFromHandle(h, buffer) + (buffer[0] != '\0') + (buffer[1] != 'b'); }, 0},
    };
    // The three calls on names, with a null handle and with each name null or unterminated.
    using NamedCall = std::function<int64_t(LibraryHandle*, const char*, const char*, const char*)>;
    const std::pair<std::string, NamedCall> named[] = {
        {"exists", [](auto* h, auto* a, auto* b, auto* c) { return IRDoesRemoteRecordExist(h, a, b, c); }},
        {"fetch", [](auto* h, auto* a, auto* b, auto* c) { return IRFetchRemoteRecord(h, a, b, c) != nullptr; }},
        {"delete", [](auto* h, auto* a, auto* b, auto* c) { return IRDeleteRemoteRecord(h, a, b, c); }},
    };
    for (const auto& [name, call] : named) {
        rows.push_back({name + ", null handle", 0, [&](auto* h) { return call(h, m.get(), t.get(), mo.get()); }, 0});
        for (int bad = 0; bad < 6; ++bad) {  // each name null, then each one unterminated
            rows.push_back({name + ", bad name " + std::to_string(bad), W, [&, bad](auto* h) {
                                const char* f[3] = {good.get(), good.get(), good.get()};
                                f[bad % 3] = bad < 3 ? nullptr : open.get();
                                return call(h, f[0], f[1], f[2]); }, 0});
        }
    }
    for (int bad = 0; bad < 3; ++bad) {
        Bytes record = rl::MakeRecord(kLong, kLong, kLong, 9, {3});
        std::memset(record.data() + IR_RECORD_MANUFACTURER_OFFSET + IR_NAME_FIELD_SIZE * bad, 'U', IR_NAME_FIELD_SIZE);
        rows.push_back({"write, unterminated name " + std::to_string(bad), W,
                        [r = Record(record)](auto* h) { return IRWriteRemoteRecord(h, r.get()); }, 0, true});
    }
    // Levels above 1 create nothing, over a file or beside it.
    for (int32_t level : {2, 3, INT_MAX}) {
        for (const std::string& at : {path, beside}) {
            rows.push_back({"create, level " + std::to_string(level) + " at " + at, 0,
                            [level, at](auto*) { return IRCreateLibrary(level, at.c_str(), 0); }, 0, true});
        }
    }
    // A handle that may not write refuses every change: read-only before anything, the
    // cursor included; read-only with the write bit at the descriptor, which takes no
    // writes (and makes no journal).
    for (uint32_t mode : {R, R | W}) {
        const bool busy = mode != R;
        for (const auto& r : {fits, moves, fresh}) {
            rows.push_back({"write on mode " + std::to_string(mode), mode,
                            [r](auto* h) { return IRWriteRemoteRecord(h, r.get()); }, 0, busy});
        }
        rows.push_back({"delete on mode " + std::to_string(mode), mode,
                        [&](auto* h) { return IRDeleteRemoteRecord(h, m.get(), t.get(), mo.get()); }, 0, busy});
        rows.push_back({"compact on mode " + std::to_string(mode), mode, IRCompactLibrary, 0, busy});
    }
    // IRWriteRemoteRecord has no size argument: a record that claims more than the format
    // holds must be found before the call reads past the entries it counted.
    const auto withExtra = [](uint32_t extra, const std::shared_ptr<const RemoteRecord>& r) {
        return [=](LibraryHandle* h) { return IRSetExtraSpaceAmount(h, extra) * IRWriteRemoteRecord(h, r.get()); };
    };
    rows.push_back({"write, 1364 entries", W, withExtra(0, many), 0, true});
    rows.push_back({"write, an entry of 65535 bytes", W, withExtra(0, huge), 0, true});
    rows.push_back({"write, 65535 bytes and extra space", W, withExtra(1, largest), 0, true});
    rows.push_back({"extra space keeps the low 16 bits", W,
                    [](auto* h) { return IRSetExtraSpaceAmount(h, 0x12345) * IRGetExtraSpaceAmount(h); }, 0x2345});

    for (const Row& c : rows) {
        SCOPED_TRACE(c.what);
        rl::WriteFile(path, file);
        LibraryHandle* h = c.mode == 0 ? nullptr : Open(path, c.mode);
        ASSERT_EQ(h != nullptr, c.mode != 0);
        fi::ClearUiEvents();
        EXPECT_EQ(c.call(h), c.expected);
        EXPECT_TRUE(c.busy || fi::UiEvents().empty()) << "the call reached the user interface";
        IRCloseLibrary(h);
        EXPECT_TRUE(rl::ReadFile(path) == file) << "the file changed";
        EXPECT_FALSE(FileExists(path + "-journal") || FileExists(beside)) << "a file was made";
    }
    // The record that the last rows refused is stored once the extra space allows it, and
    // the lowest levels create as well as 0 and 1 do.
    LibraryHandle* h = Open(path, W);
    IRSetExtraSpaceAmount(h, 0);
    EXPECT_EQ(IRWriteRemoteRecord(h, largest.get()), 1);
    IRCloseLibrary(h);
    EXPECT_EQ(rl::ContentsOf(path).at("big/tv/largest"), rl::FetchImageOf(largestBytes));
    for (int32_t level : {-1, INT_MIN}) EXPECT_EQ(IRCreateLibrary(level, beside.c_str(), 0), 1);
}

}  // namespace
}  // namespace varnel32::test
