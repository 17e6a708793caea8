// The signal codec (one item <-> one RecordEntry), record images with their #remote entry,
// the naming rules and JSON quoting. Import and export of whole trees are the CLI tests'.
#include <gtest/gtest.h>

#include <functional>

#include "json.h"
#include "names.h"
#include "remote_codec.h"
#include "signal_codec.h"

namespace irlib {
namespace {

using Type = Signal::Type;
const std::string kLong(57, 'x');
const Item kItems[] = {
    {.signal = {.name = "Power", .protocol = "NECext", .address = {7, 0, 16, 255}, .command = {2, 253, 0, 1}}},
    {.signal = {.protocol = "RC5", .command = {0x0C}}},
    {.signal = {.name = "Vol_up", .protocol = "SomeFutureProtocol"}},
    {.signal = {.name = kLong, .protocol = "NEC", .address = {1}}},
    {.signal = {.name = "Mute", .type = Type::Raw, .frequency = 455000, .dutyMillionths = 330000,
                .dutyDecimals = 2, .timings = {9000, 4500, 0, 65535, 65536, 1723211, 0xFFFFFFFFu}}},
    {.kind = Item::Kind::Comment, .text = " Credit: someone"},
    {.kind = Item::Kind::Verbatim, .text = "name: odd\ntype: learned", .name = "odd"},
};

// Decoding is fed damaged and foreign data too: it must refuse, never read past what it was
// given (the sanitizer build runs this; the data are vectors of exactly their size).
TEST(SignalCodec, ItemsComeBackAndMalformedEntriesAreRefused) {
    Item item;
    std::string error;
    for (const Item& original : kItems) {
        const Entry e = EncodeItem(original);
        EXPECT_EQ(HeadU16(e.head, kHeadDataLengthOffset), e.data.size());
        EXPECT_TRUE(DecodeItem(e.head, e.data, item, error)) << error;
        EXPECT_EQ(item, original) << original.signal.name;
    }
    const Item &parsed = kItems[0], &raw = kItems[4];
    const struct { const char* what; const Item& item; std::function<void(Entry&)> change; } cases[] = {
        {"truncated timing", raw, [](Entry& e) { e.data.pop_back(); }},
        {"timing count", raw, [](Entry& e) { e.head[5] = 3; }},
        {"name longer than the data", kItems[3], [](Entry& e) { e.data.resize(5); }},
        {"unknown flag", parsed, [](Entry& e) { e.head[1] = 0x80; }},
        {"unknown protocol code", parsed, [](Entry& e) { e.head[5] = 200; }},
        {"left-over bytes", parsed, [](Entry& e) { e.data.push_back(1); }},
        {"foreign kind", parsed, [](Entry& e) { e.head[0] = 0x55; }},
        {"#remote is not a signal", parsed, [](Entry& e) { e = EncodeInfo(RemoteInfo{}); }},
    };
    for (const auto& c : cases) {
        Entry e = EncodeItem(c.item);
        c.change(e);
        EXPECT_FALSE(DecodeItem(e.head, e.data, item, error)) << c.what;
    }
}

// A record image decodes back, skipping a #remote tag of a later version; every truncated
// image and a part number past the count are refused.
TEST(RemoteRecord, ImageDecodesBackAndDamageIsRefused) {
    const IrFile file{.filetype = "IR library file", .items = {kItems[5], kItems[0], kItems[4]}};
    std::vector<Entry> entries{EncodeInfo({"Maker", "", "model", "x/y.ir", "IR library file", {}, 2, 3})};
    entries[0].data.insert(entries[0].data.begin(), {99, 2, 'h', 'i'});
    entries[0].head[kHeadDataLengthOffset] += 4;
    for (const Item& item : file.items) entries.push_back(EncodeItem(item));
    auto image = BuildRecordImage(CatalogueNames{"TVs", "Acme", "Remote"}, entries);
    EXPECT_EQ(image.size() + 12 + 8 * entries.size(), StoredSize(entries));
    DecodedRemote d;
    std::string error;
    ASSERT_TRUE(DecodeRemote(image, d, error)) << error;
    EXPECT_EQ(d.file, file);
    EXPECT_EQ(d.info.path, "x/y.ir");
    for (auto end = image.begin(); end != image.end(); ++end)
        EXPECT_FALSE(DecodeRemote(std::vector(image.begin(), end), d, error)) << end - image.begin();
    entries[0].head[5] = 4;  // part 4 of 3
    EXPECT_FALSE(DecodeRemote(BuildRecordImage(CatalogueNames{"TVs", "Acme", "Remote"}, entries), d, error));
}

TEST(Names, ShortNamesStayDistinctPathsStayInsideAndJsonIsQuoted) {
    const std::string a = "SC-UltraSlimLine-Oscillating-Tower-Fan-5-Buttons";
    EXPECT_EQ(ShortenName(std::string(20, 'a')), std::string(20, 'a'));
    EXPECT_EQ(ShortenName(a), "SC-UltraSlimLin~" + ShortenName(a).substr(16, 4));
    std::string accents;  // two bytes each, never cut in half
    for (int i = 0; i < 12; ++i) accents += "\xC3\xA9";
    EXPECT_EQ(ShortenName(accents).substr(0, 15), accents.substr(0, 14) + "~");
    for (const char* bad : {"", "/etc/passwd", "../x.ir", "a/../../x.ir", "a//b.ir", "a/./b.ir", "a/"})
        EXPECT_FALSE(IsSafeRelativePath(bad)) << bad;
    EXPECT_EQ(JsonQuote("a\"b\\c\nd\x01\xC3\xA9\xC3\xFF"), "\"a\\\"b\\\\c\\nd\\u0001\xC3\xA9\\u00c3\\u00ff\"");
}

}  // namespace
}  // namespace irlib
