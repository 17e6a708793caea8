// Bad input at the boundary: every exported function with every malformed argument a
// caller can pass (null pointers, names without their terminator inside 21 bytes,
// out-of-range levels and mode words, read-only handles given to changing calls, records
// too large for the format) answers with its failure value, leaves the file byte for byte
// as it was, and the calls that do not show the busy cursor touch no user interface at all.
// Caller buffers are allocated at their exact size, so the sanitizer build sees any read
// beyond what the caller handed over.
#include <climits>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "format/endian.h"
#include "support/reliability.h"
#include "support/test_support.h"

namespace varnel32::test {
namespace {

namespace rl = reliability;
namespace fi = platform::testing;

// A heap copy of exactly `bytes`, so that reading past its end is caught.
std::unique_ptr<char[]> Exact(const std::string& bytes) {
    auto block = std::make_unique<char[]>(bytes.size());
    std::memcpy(block.get(), bytes.data(), bytes.size());
    return block;
}

std::unique_ptr<char[]> Field(const std::string& name) {
    std::string field = name;
    field.resize(IR_NAME_FIELD_SIZE, '\0');
    return Exact(field);
}

class Boundary : public LibraryTest {
protected:
    // A library with two records, one of them named with 20 characters everywhere.
    std::string Library() {
        const std::string path = Path("b.lib");
        EXPECT_EQ(IRCreateLibrary(0, path.c_str(), 0), 1);
        LibraryHandle* h = Open(path, IRModeWrite);
        EXPECT_TRUE(rl::WriteRecord(h, rl::MakeRecord(kLong, kLong, kLong, 1, {10})));
        EXPECT_TRUE(rl::WriteRecord(h, rl::MakeRecord("Sony", "TV", "KV-1", 2, {4, 4})));
        IRCloseLibrary(h);
        bytes_ = rl::ReadFile(path);
        return path;
    }
    bool Unchanged(const std::string& path) const { return rl::ReadFile(path) == bytes_; }
    static bool NoUi() { return fi::UiEvents().empty(); }

    static inline const std::string kLong = "ABCDEFGHIJKLMNOPQRST";  // 20 characters
    Bytes bytes_;
};

TEST_F(Boundary, NullHandleIsAnsweredWithTheFailureValueAndNothingElse) {
    const auto m = Field("Sony"), t = Field("TV"), mo = Field("KV-1");
    const Bytes record = rl::MakeRecord("Sony", "TV", "KV-1", 1, {});
    char buffer[256];
    std::memset(buffer, 'x', sizeof buffer);
    fi::ClearUiEvents();
    EXPECT_EQ(IRIsCommandLibrary(nullptr), 0);
    EXPECT_EQ(IRGetFilenameFromHandle(nullptr, buffer), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'x');
    EXPECT_EQ(IRGetFilenameFromHandle(nullptr, nullptr), 0);
    EXPECT_EQ(IRSetExtraSpaceAmount(nullptr, 5), 0);
    EXPECT_EQ(IRGetExtraSpaceAmount(nullptr), 0xFFFF);
    EXPECT_EQ(IRFindAllManufacturers(nullptr), nullptr);
    EXPECT_EQ(IRFindAllTypes(nullptr, "Sony"), nullptr);
    EXPECT_EQ(IRFindAllModels(nullptr, "Sony", "TV"), nullptr);
    EXPECT_EQ(IRDoesRemoteRecordExist(nullptr, m.get(), t.get(), mo.get()), 0);
    EXPECT_EQ(IRFetchRemoteRecord(nullptr, m.get(), t.get(), mo.get()), nullptr);
    EXPECT_EQ(IRWriteRemoteRecord(nullptr, reinterpret_cast<const RemoteRecord*>(record.data())), 0);
    EXPECT_EQ(IRDeleteRemoteRecord(nullptr, m.get(), t.get(), mo.get()), 0);
    EXPECT_EQ(IRCompactLibrary(nullptr), 0);
    IRCloseLibrary(nullptr);
    IRFreeManufacturers(nullptr);
    IRFreeTypes(nullptr);
    IRFreeModels(nullptr);
    IRFreeRemoteRecord(nullptr);
    EXPECT_TRUE(NoUi()) << "a null handle reached the user interface";
    EXPECT_EQ(OpenHandleCount(), 0u);
}

TEST_F(Boundary, NullPointersBesideAValidHandleChangeNothing) {
    const std::string path = Library();
    const auto m = Field("Sony"), t = Field("TV"), mo = Field("KV-1");
    LibraryHandle* h = Open(path, IRModeWrite);
    ASSERT_NE(h, nullptr);
    fi::ClearUiEvents();
    EXPECT_EQ(IRGetFilenameFromHandle(h, nullptr), 0);
    EXPECT_EQ(IRFindAllTypes(h, nullptr), nullptr);
    EXPECT_EQ(IRFindAllModels(h, nullptr, "TV"), nullptr);
    EXPECT_EQ(IRFindAllModels(h, "Sony", nullptr), nullptr);
    for (int missing = 0; missing < 3; ++missing) {
        const char* a = missing == 0 ? nullptr : m.get();
        const char* b = missing == 1 ? nullptr : t.get();
        const char* c = missing == 2 ? nullptr : mo.get();
        EXPECT_EQ(IRDoesRemoteRecordExist(h, a, b, c), 0) << missing;
        EXPECT_EQ(IRFetchRemoteRecord(h, a, b, c), nullptr) << missing;
        EXPECT_EQ(IRDeleteRemoteRecord(h, a, b, c), 0) << missing;
    }
    EXPECT_EQ(IRWriteRemoteRecord(h, nullptr), 0);
    EXPECT_TRUE(NoUi());
    EXPECT_EQ(IRDoesRemoteRecordExist(h, m.get(), t.get(), mo.get()), 1) << "the record is gone";
    IRCloseLibrary(h);
    EXPECT_TRUE(Unchanged(path));

    // The two calls on paths: no status, no path.
    uint32_t status = 99;
    EXPECT_EQ(IROpenLibrary(0, nullptr, path.c_str(), IRModeWrite, 0, nullptr), nullptr);
    EXPECT_EQ(IROpenLibrary(0, nullptr, nullptr, IRModeReadOnly, 0, &status), nullptr);
    EXPECT_EQ(status, IROpenBadArgument);
    EXPECT_EQ(IRCreateLibrary(0, nullptr, 0), 0);
    EXPECT_EQ(OpenHandleCount(), 0u);
    // Nothing holds the file: an open for writing, which needs it alone, succeeds.
    h = Open(path, IRModeWrite, &status);
    EXPECT_NE(h, nullptr);
    IRCloseLibrary(h);
    EXPECT_TRUE(Unchanged(path));
}

TEST_F(Boundary, NamesWithoutTheirTerminatorAreRefused) {
    const std::string path = Library();
    // Twenty-one characters and no zero: the first twenty match the stored record, so a
    // library that read on until it found a zero, or cut the name at 20, would find it.
    const auto open = Exact(kLong + "U");
    const auto good = Field(kLong);
    LibraryHandle* h = Open(path, IRModeWrite);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(IRDoesRemoteRecordExist(h, good.get(), good.get(), good.get()), 1);
    for (int bad = 0; bad < 3; ++bad) {
        const char* a = bad == 0 ? open.get() : good.get();
        const char* b = bad == 1 ? open.get() : good.get();
        const char* c = bad == 2 ? open.get() : good.get();
        EXPECT_EQ(IRDoesRemoteRecordExist(h, a, b, c), 0) << bad;
        EXPECT_EQ(IRFetchRemoteRecord(h, a, b, c), nullptr) << bad;
        EXPECT_EQ(IRDeleteRemoteRecord(h, a, b, c), 0) << bad;
        Bytes record = rl::MakeRecord(kLong, kLong, kLong, 9, {3});
        std::memset(record.data() + 4 + 21 * bad, 'U', IR_NAME_FIELD_SIZE);
        EXPECT_EQ(IRWriteRemoteRecord(h, reinterpret_cast<const RemoteRecord*>(record.data())), 0) << bad;
    }
    EXPECT_EQ(IRDoesRemoteRecordExist(h, good.get(), good.get(), good.get()), 1);
    IRCloseLibrary(h);
    EXPECT_TRUE(Unchanged(path));
}

TEST_F(Boundary, LevelsAndModeWordsOutOfRange) {
    const std::string path = Library();
    uint32_t status = 99;
    for (const int32_t level : {2, 3, INT32_MAX}) {
        EXPECT_EQ(IROpenLibrary(level, nullptr, path.c_str(), IRModeReadOnly, 0, &status), nullptr);
        EXPECT_EQ(status, IROpenBadArgument) << level;
        EXPECT_EQ(IRCreateLibrary(level, path.c_str(), 0), 0) << level;
        EXPECT_EQ(IRCreateLibrary(level, Path("new.lib").c_str(), 0), 0) << level;
    }
    EXPECT_FALSE(FileExists(Path("new.lib")));
    for (const uint32_t mode : {0u, 4u, 8u, 12u, 0xFFFFFFF0u}) {
        EXPECT_EQ(IROpenLibrary(0, nullptr, path.c_str(), mode, 0, &status), nullptr);
        EXPECT_EQ(status, IROpenBadArgument) << mode;
    }
    // Paths: 255 characters are taken (the file is missing), 256 are refused untouched.
    const std::string prefix = dir_ + "/";
    const std::string p255 = prefix + std::string(255 - prefix.size(), 'p');
    const std::string p256 = p255 + "q";
    EXPECT_EQ(IROpenLibrary(0, nullptr, p255.c_str(), IRModeReadOnly, 0, &status), nullptr);
    EXPECT_EQ(status, IROpenCannotOpenFile);
    const auto exact256 = Exact(p256 + std::string(1, '\0'));
    EXPECT_EQ(IROpenLibrary(0, nullptr, exact256.get(), IRModeWrite, 0, &status), nullptr);
    EXPECT_EQ(status, IROpenBadArgument);
    // The lowest levels are as good as 0 and 1.
    for (const int32_t level : {-1, INT32_MIN}) {
        LibraryHandle* h = IROpenLibrary(level, nullptr, path.c_str(), IRModeReadOnly, 0, &status);
        EXPECT_NE(h, nullptr) << level;
        IRCloseLibrary(h);
    }
    EXPECT_TRUE(Unchanged(path));
    EXPECT_EQ(OpenHandleCount(), 0u);
}

TEST_F(Boundary, ChangingCallsOnHandlesThatMayNotWrite) {
    const std::string path = Library();
    const auto m = Field("Sony"), t = Field("TV"), mo = Field("KV-1");
    const Bytes fits = rl::MakeRecord("Sony", "TV", "KV-1", 5, {4});
    const Bytes moves = rl::MakeRecord("Sony", "TV", "KV-1", 6, {4000});
    const Bytes fresh = rl::MakeRecord("New", "TV", "N-1", 7, {4});
    // Read-only: refused before anything, the cursor included. Read-only with the write
    // bit: the calls get as far as the descriptor, which takes no writes.
    for (const uint32_t mode : {IRModeReadOnly, IRModeReadOnly | IRModeWrite}) {
        LibraryHandle* h = Open(path, mode);
        ASSERT_NE(h, nullptr);
        fi::ClearUiEvents();
        for (const Bytes* record : {&fits, &moves, &fresh}) {
            EXPECT_EQ(IRWriteRemoteRecord(h, reinterpret_cast<const RemoteRecord*>(record->data())), 0) << mode;
        }
        EXPECT_EQ(IRDeleteRemoteRecord(h, m.get(), t.get(), mo.get()), 0) << mode;
        EXPECT_EQ(IRCompactLibrary(h), 0) << mode;
        if (mode == IRModeReadOnly) {
            EXPECT_TRUE(NoUi()) << "a refused call touched the cursor";
        }
        IRCloseLibrary(h);
        EXPECT_TRUE(Unchanged(path)) << mode;
        EXPECT_FALSE(FileExists(path + "-journal")) << "a read-only descriptor makes no journal";
    }
    // The file is still whole and clean.
    const rl::Contents contents = rl::ContentsOf(path);
    EXPECT_EQ(contents.size(), 2u);
    for (const auto& [key, bytes] : contents) EXPECT_FALSE(bytes.empty()) << key;
}

// IRWriteRemoteRecord has no size argument: the one thing it can tell from the bytes is
// that a record claims more than the format holds, and that must be found before it reads
// past the entries it counted or touches the file.
TEST_F(Boundary, RecordsTooLargeForTheFormatAreRefusedUntouched) {
    const std::string path = Library();
    LibraryHandle* h = Open(path, IRModeWrite);
    ASSERT_NE(h, nullptr);
    IRSetExtraSpaceAmount(h, 0);
    const auto write = [&](const Bytes& record) {
        auto exact = Exact(std::string(record.begin(), record.end()));
        return IRWriteRemoteRecord(h, reinterpret_cast<const RemoteRecord*>(exact.get()));
    };
    // 1364 empty entries: 79 + 1364 * 48 = 65551 bytes, beyond 65535.
    Bytes many = rl::MakeRecord("Big", "TV", "many", 1, std::vector<uint16_t>(1364, 0));
    EXPECT_EQ(write(many), 0);
    // One entry whose length alone is beyond: only its head is handed over, so reading its
    // data would run past the buffer.
    Bytes huge = rl::MakeRecord("Big", "TV", "huge", 2, {});
    format::Store16(huge.data() + 2, 1);
    huge.resize(huge.size() + 40, 0);
    format::Store16(huge.data() + 67 + 3, 0xFFFF);
    EXPECT_EQ(write(huge), 0);
    // Exactly 65535 with no extra space fits; with one byte of extra space it does not.
    const Bytes largest = rl::MakeRecord("Big", "TV", "largest", 3, {65535 - 79 - 48});
    IRSetExtraSpaceAmount(h, 1);
    EXPECT_EQ(write(largest), 0);
    IRSetExtraSpaceAmount(h, 0x10000);  // only the low 16 bits count: 0
    EXPECT_EQ(IRGetExtraSpaceAmount(h), 0);
    fi::ClearUiEvents();
    const Bytes before = rl::ReadFile(path);
    IRCloseLibrary(h);
    EXPECT_TRUE(Unchanged(path)) << "a refused record reached the file";
    EXPECT_EQ(before, bytes_);
    h = Open(path, IRModeWrite);
    ASSERT_NE(h, nullptr);
    IRSetExtraSpaceAmount(h, 0);
    EXPECT_EQ(write(largest), 1);
    IRCloseLibrary(h);
    const rl::Contents contents = rl::ContentsOf(path);
    ASSERT_EQ(contents.count("big/tv/largest"), 1u);
    EXPECT_EQ(contents.at("big/tv/largest"), rl::FetchImageOf(largest));
}

// A journal that cannot be made (its name is taken by a folder): a change refuses to
// start without it, and the file stays as it was.
TEST_F(Boundary, ChangesWithoutAJournalAreRefusedUntouched) {
    const std::string path = Library();
    LibraryHandle* h = Open(path, IRModeWrite);
    ASSERT_NE(h, nullptr);
    std::filesystem::create_directory(path + "-journal");
    const Bytes record = rl::MakeRecord("New", "TV", "N-1", 7, {4});
    EXPECT_EQ(IRWriteRemoteRecord(h, reinterpret_cast<const RemoteRecord*>(record.data())), 0);
    IRCloseLibrary(h);
    std::filesystem::remove(path + "-journal");
    EXPECT_TRUE(Unchanged(path));
}

}  // namespace
}  // namespace varnel32::test
