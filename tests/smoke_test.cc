#include "support/test_support.h"

namespace varnel32::test {
namespace {

class Smoke : public LibraryTest {};

TEST_F(Smoke, WholeCycle) {
    LibraryHandle* h = CreateAndOpen("a.lib");
    Put(h, MakeRemoteRecord("Sony", "TV", "KV-1", {MakeEntry(1, 10), MakeEntry(2, 20)}));
    IRCloseLibrary(h);
    h = Open(Path("a.lib"), IRModeReadOnly);
    ASSERT_NE(h, nullptr);
    NameList* list = IRFindAllManufacturers(h);
    EXPECT_EQ(NamesOf(list), std::vector<std::string>{"Sony"});
    IRFreeManufacturers(list);
    format::Name m = Field("sony"), t = Field("tv"), mo = Field("kv-1");
    RemoteRecord* r = IRFetchRemoteRecord(h, m.data(), t.data(), mo.data());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(IR_GET16(r), 205);
    IRFreeRemoteRecord(r);
    IRCloseLibrary(h);
}

}  // namespace
}  // namespace varnel32::test
