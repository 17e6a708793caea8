// The catalogue tree: case-insensitive lookups that fold ASCII letters only, duplicate
// refusal that keeps the stored offset, sibling order through removals and re-adds, the
// collapse of parents, and levels that stay consistent when an allocation fails mid-insert.
#include "index/catalogue.h"
#include "support/file_builder.h"

namespace varnel32::test {
namespace {

using index::AddIndexEntry;
using index::CatalogueIndex;
using index::RemoveIndexEntry;
using platform::FaultCall;
using platform::testing::CallCount;
using platform::testing::InjectFault;

class Tree : public LibraryTest {
protected:
    void TearDown() override {
        index::FreeCatalogueIndex(tree);
        LibraryTest::TearDown();
    }
    int Add(const std::string& m, const std::string& t, const std::string& model, uint32_t offset) {
        return AddIndexEntry(tree, Key(m, t, model, offset));
    }
    int Remove(const std::string& m, const std::string& t, const std::string& model) {
        return RemoveIndexEntry(tree, Key(m, t, model, 0));
    }
    uint32_t OffsetOf(const std::string& m, const std::string& t, const std::string& model) {
        return index::FindRecordOffset(tree, m.c_str(), t.c_str(), model.c_str());
    }
    std::vector<std::string> Keys() const { return KeysOf(tree); }

    CatalogueIndex tree;
};

TEST_F(Tree, AFindOnAnEmptyLevelNeverLooksAtItsArray) {
    // The arrays point nowhere; a find that read them would crash.
    auto* bogusM = reinterpret_cast<index::ManufacturerNode*>(uintptr_t{16});
    const CatalogueIndex empty{bogusM, 0};
    EXPECT_EQ(index::FindManufacturer(empty, "x"), nullptr);
    index::ManufacturerNode m{};
    m.types = reinterpret_cast<index::TypeNode*>(uintptr_t{16});
    EXPECT_EQ(index::FindType(m, "x"), nullptr);
    index::TypeNode t{};
    t.models = reinterpret_cast<index::ModelNode*>(uintptr_t{16});
    EXPECT_EQ(index::FindModel(t, "x"), nullptr);
    EXPECT_EQ(index::FindRecordOffset(CatalogueIndex{}, "x", "y", "z"), 0u);
}

TEST_F(Tree, NamesMatchWithoutRegardToLetterCaseOnly) {
    ASSERT_EQ(Add("Sony", "TV", "KV-1", 1570), 1);
    EXPECT_EQ(OffsetOf("SONY", "tv", "kv-1"), 1570u);
    // A duplicate in another case is refused and the first offset stays.
    EXPECT_EQ(Add("sONY", "Tv", "KV-1", 9000), 0);
    EXPECT_EQ(Keys(), std::vector<std::string>{"Sony/TV/KV-1@1570"});
    // Characters that differ by the case bit but are not letters are different names.
    ASSERT_EQ(Add("x[", "@", "a^", 2000), 1);
    EXPECT_EQ(OffsetOf("x{", "@", "a^"), 0u);
    EXPECT_EQ(OffsetOf("x[", "`", "a^"), 0u);
    EXPECT_EQ(OffsetOf("x[", "@", "a~"), 0u);
    EXPECT_EQ(Add("x{", "@", "a^", 3000), 1);
    EXPECT_EQ(Add("x[", "`", "a^", 4000), 1);
    EXPECT_EQ(Add("x[", "@", "a~", 5000), 1);
    // A prefix is not a match.
    EXPECT_EQ(OffsetOf("Son", "TV", "KV-1"), 0u);
    EXPECT_EQ(OffsetOf("Sony", "TV", "KV-10"), 0u);
    EXPECT_EQ(Keys(), (std::vector<std::string>{"Sony/TV/KV-1@1570", "x[/@/a^@2000", "x[/@/a~@5000",
                                                "x[/`/a^@4000", "x{/@/a^@3000"}));
}

TEST_F(Tree, SiblingsKeepTheirOrderThroughRemovals) {
    for (const char* model : {"a", "b", "c", "d"}) ASSERT_EQ(Add("M", "T", model, 1570), 1);
    ASSERT_EQ(tree.manufacturerCount, 1);
    ASSERT_EQ(tree.manufacturers[0].typeCount, 1);
    const uint32_t resizes = CallCount(FaultCall::Resize);
    const uint32_t allocations = CallCount(FaultCall::Allocate);
    EXPECT_EQ(Remove("M", "T", "B"), 1);  // a middle one
    EXPECT_EQ(Keys(), (std::vector<std::string>{"M/T/a@1570", "M/T/c@1570", "M/T/d@1570"}));
    EXPECT_EQ(Remove("M", "T", "d"), 1);  // the last one
    EXPECT_EQ(Remove("M", "T", "a"), 1);  // the first one
    EXPECT_EQ(Keys(), std::vector<std::string>{"M/T/c@1570"});
    EXPECT_EQ(tree.manufacturers[0].types[0].modelCount, 1);
    // Removals shift in place and never allocate.
    EXPECT_EQ(CallCount(FaultCall::Resize), resizes);
    EXPECT_EQ(CallCount(FaultCall::Allocate), allocations);
}

TEST_F(Tree, RemovingALastChildCollapsesItsParents) {
    ASSERT_EQ(Add("M1", "T1", "a", 1600), 1);
    ASSERT_EQ(Add("M1", "T2", "b", 1700), 1);
    ASSERT_EQ(Add("M2", "T3", "c", 1800), 1);
    // A model that exists, but under another type, is not removed.
    EXPECT_EQ(Remove("M1", "T1", "b"), 0);
    EXPECT_EQ(Remove("M2", "T1", "a"), 0);
    EXPECT_EQ(Remove("M3", "T1", "a"), 0);
    EXPECT_EQ(Keys().size(), 3u);
    // The last model of a type whose manufacturer has other types takes the type only.
    EXPECT_EQ(Remove("M1", "T1", "a"), 1);
    ASSERT_EQ(tree.manufacturerCount, 2);
    EXPECT_EQ(tree.manufacturers[0].typeCount, 1);
    EXPECT_STREQ(tree.manufacturers[0].types[0].name.data(), "T2");
    // The last model of the only type takes the manufacturer.
    EXPECT_EQ(Remove("m1", "t2", "B"), 1);
    ASSERT_EQ(tree.manufacturerCount, 1);
    EXPECT_STREQ(tree.manufacturers[0].name.data(), "M2");
    // The very last key empties the tree.
    EXPECT_EQ(Remove("M2", "T3", "c"), 1);
    EXPECT_EQ(tree.manufacturers, nullptr);
    EXPECT_EQ(tree.manufacturerCount, 0);
    EXPECT_EQ(Remove("M2", "T3", "c"), 0);
    // The tree is usable again from empty.
    EXPECT_EQ(Add("M2", "T3", "c", 1800), 1);
    EXPECT_EQ(Keys(), std::vector<std::string>{"M2/T3/c@1800"});
}

TEST_F(Tree, AKeyAddedAgainGoesLastWithTheParentsItsRemovalCollapsed) {
    ASSERT_EQ(Add("M1", "T1", "a", 1600), 1);
    ASSERT_EQ(Add("M1", "T2", "b", 1700), 1);
    ASSERT_EQ(Add("M1", "T2", "c", 1800), 1);
    ASSERT_EQ(Add("M2", "T3", "d", 1900), 1);
    ASSERT_EQ(Remove("M1", "T2", "b"), 1);
    ASSERT_EQ(Add("M1", "T2", "b", 5000), 1);  // the model moved: last of its type
    ASSERT_EQ(Remove("M1", "T1", "a"), 1);
    ASSERT_EQ(Add("M1", "T1", "a", 6000), 1);  // its type collapsed: last of the manufacturer
    ASSERT_EQ(Remove("M1", "T2", "c"), 1);
    ASSERT_EQ(Remove("M1", "T2", "b"), 1);
    ASSERT_EQ(Remove("M1", "T1", "a"), 1);
    ASSERT_EQ(Add("M1", "T1", "a", 7000), 1);  // the manufacturer collapsed: last of all
    EXPECT_EQ(Keys(), (std::vector<std::string>{"M2/T3/d@1900", "M1/T1/a@7000"}));
}

TEST_F(Tree, NodeNamesAreTheTerminatedNameAndZerosWhateverFollowedIt) {
    format::IndexEntry key = Key("Maker", "TV", "Model", 1570);
    // Bytes after the terminator, as a caller's buffer or a record header may hold them.
    for (size_t i = 6; i < 21; ++i) key.manufacturer[i] = 'Z';
    for (size_t i = 3; i < 21; ++i) key.type[i] = static_cast<char>(0xFF);
    key.model = Field("01234567890123456789");
    ASSERT_EQ(AddIndexEntry(tree, key), 1);
    const index::ManufacturerNode& m = tree.manufacturers[0];
    EXPECT_EQ(m.name, format::NameFromString("Maker"));
    EXPECT_EQ(m.types[0].name, format::NameFromString("TV"));
    EXPECT_EQ(m.types[0].models[0].name[19], '9');
    EXPECT_EQ(m.types[0].models[0].name[20], '\0');
}

TEST_F(Tree, KeysWithoutTerminatorOrWithoutOffsetAreRefused) {
    format::IndexEntry key = Key("M", "T", "X", 1570);
    key.model.fill('x');
    EXPECT_EQ(AddIndexEntry(tree, key), 0);
    EXPECT_EQ(RemoveIndexEntry(tree, key), 0);
    key = Key("M", "T", "X", 0);
    EXPECT_EQ(AddIndexEntry(tree, key), 0);
    EXPECT_EQ(tree.manufacturerCount, 0);
    EXPECT_EQ(tree.manufacturers, nullptr);
}

// Each failing resize of an insert leaves every level consistent with its count; the
// levels appended before it stay, childless, and a later insert reuses them.
TEST_F(Tree, AFailedAllocationMidInsertLeavesConsistentLevels) {
    ASSERT_EQ(Add("M", "T", "a", 1600), 1);
    ASSERT_EQ(Add("M", "T", "b", 1700), 1);
    ASSERT_EQ(Add("M", "T", "c", 1800), 1);

    // An existing level that cannot grow keeps its nodes.
    InjectFault(FaultCall::Resize, 1);
    EXPECT_EQ(Add("M", "T", "d", 1900), 0);
    EXPECT_TRUE(platform::testing::FaultFired());
    EXPECT_EQ(Keys(), (std::vector<std::string>{"M/T/a@1600", "M/T/b@1700", "M/T/c@1800"}));

    // New manufacturer: the first resize fails, nothing is added.
    InjectFault(FaultCall::Resize, 1);
    EXPECT_EQ(Add("N", "U", "x", 2000), 0);
    EXPECT_EQ(tree.manufacturerCount, 1);
    EXPECT_EQ(index::FindManufacturer(tree, "N"), nullptr);

    // The second resize fails: a manufacturer without types remains.
    InjectFault(FaultCall::Resize, 2);
    EXPECT_EQ(Add("N", "U", "x", 2000), 0);
    ASSERT_EQ(tree.manufacturerCount, 2);
    EXPECT_EQ(tree.manufacturers[1].typeCount, 0);
    EXPECT_EQ(tree.manufacturers[1].types, nullptr);
    EXPECT_EQ(index::CountModels(tree), 3u);
    EXPECT_EQ(OffsetOf("N", "U", "x"), 0u);
    EXPECT_EQ(Remove("N", "U", "x"), 0);

    // The third resize fails: a type without models remains under it.
    EXPECT_EQ(Add("N", "U", "x", 2000), 1) << "the childless manufacturer is found again";
    EXPECT_EQ(tree.manufacturerCount, 2);
    InjectFault(FaultCall::Resize, 3);
    EXPECT_EQ(Add("O", "V", "y", 2100), 0);
    ASSERT_EQ(tree.manufacturerCount, 3);
    ASSERT_EQ(tree.manufacturers[2].typeCount, 1);
    EXPECT_EQ(tree.manufacturers[2].types[0].modelCount, 0);
    EXPECT_EQ(tree.manufacturers[2].types[0].models, nullptr);
    platform::testing::ClearFaults();

    EXPECT_EQ(Add("o", "v", "y", 2100), 1);
    EXPECT_EQ(tree.manufacturerCount, 3);
    EXPECT_EQ(Keys(), (std::vector<std::string>{"M/T/a@1600", "M/T/b@1700", "M/T/c@1800",
                                                "N/U/x@2000", "O/V/y@2100"}));
    // Everything removes and frees cleanly (the sanitizer build checks for leaks).
    EXPECT_EQ(Remove("N", "U", "x"), 1);
    EXPECT_EQ(Remove("M", "T", "b"), 1);
    EXPECT_EQ(Keys(), (std::vector<std::string>{"M/T/a@1600", "M/T/c@1800", "O/V/y@2100"}));
}

// A level holds at most 65535 nodes; the next insert is refused instead of wrapping the
// 16-bit count. The full level is laid out directly: filling it through inserts would take
// seconds of linear searches.
TEST_F(Tree, AFullLevelRefusesTheNextInsert) {
    ASSERT_EQ(Add("M", "T", "0", 1570), 1);
    index::TypeNode& type = tree.manufacturers[0].types[0];
    auto* models = static_cast<index::ModelNode*>(
        platform::Reallocate(type.models, sizeof(index::ModelNode) * 65535));
    ASSERT_NE(models, nullptr);
    for (uint32_t i = 0; i < 65535; ++i) {
        models[i].name = Field(std::to_string(i));
        models[i].recordOffset = 1570 + i;
    }
    type.models = models;
    type.modelCount = 65535;
    EXPECT_EQ(Add("M", "T", "65535", 99999), 0);
    EXPECT_EQ(type.modelCount, 65535);
    EXPECT_EQ(OffsetOf("M", "T", "65534"), 1570u + 65534u);
    EXPECT_EQ(OffsetOf("M", "T", "65535"), 0u);
    // Removing one makes room again.
    EXPECT_EQ(Remove("M", "T", "7"), 1);
    EXPECT_EQ(Add("M", "T", "65535", 99999), 1);
    EXPECT_EQ(OffsetOf("M", "T", "65535"), 99999u);
}

}  // namespace
}  // namespace varnel32::test
