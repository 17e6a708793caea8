// The signal codec (one item <-> one RecordEntry), the #remote entry, record images and the
// naming rules; the split of large remotes is checked by importing one (cli_test). Decoding
// is fed damaged and foreign data too: it must refuse, never read past what it was given.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "json.h"
#include "names.h"
#include "remote_codec.h"
#include "signal_codec.h"

namespace irlib {
namespace {

Item Parsed(std::string name, std::string protocol) {
    Item item;
    item.signal.name = std::move(name);
    item.signal.protocol = std::move(protocol);
    item.signal.address = {0x07, 0x00, 0x10, 0xFF};
    item.signal.command = {0x02, 0xFD, 0x00, 0x01};
    return item;
}

Item Raw(std::string name, std::vector<uint32_t> timings) {
    Item item;
    item.signal.type = Signal::Type::Raw;
    item.signal.name = std::move(name);
    item.signal.frequency = 455000;
    item.signal.dutyMillionths = 330000;
    item.signal.dutyDecimals = 2;
    item.signal.timings = std::move(timings);
    return item;
}

Item Text(Item::Kind kind, std::string text, std::string name = "") {
    Item item;
    item.kind = kind;
    item.text = std::move(text);
    item.name = std::move(name);
    return item;
}

Item RoundTrip(const Item& item) {
    const Entry e = EncodeItem(item);
    EXPECT_EQ(HeadU16(e.head, kHeadDataLengthOffset), e.data.size());
    Item back;
    std::string error;
    EXPECT_TRUE(DecodeItem(e.head, e.data, back, error)) << error;
    return back;
}

TEST(SignalCodec, EveryKindOfItemComesBackUnchanged) {
    const std::string longName(57, 'x');
    const Item items[] = {
        Parsed("Power", "NECext"),
        Parsed("", "RC5"),
        Parsed("Vol_up", "SomeFutureProtocol"),
        Parsed(longName, "NEC"),
        Raw("Mute", {9000, 4500, 0, 65535, 65536, 1723211, 0xFFFFFFFFu}),
        Raw("Empty", {}),
        Raw("Ch_next_with_a_long_button_name", {1, 2, 3}),
        Text(Item::Kind::Comment, " Credit: someone"),
        Text(Item::Kind::Verbatim, "name: odd\ntype: learned", "odd"),
        Text(Item::Kind::Verbatim, "name: " + longName + "\nx: y", longName),
    };
    for (const Item& item : items) EXPECT_EQ(RoundTrip(item), item) << item.signal.name;
}

TEST(SignalCodec, RefusesMalformedEntries) {
    const auto changed = [](const Item& item, const std::function<void(Entry&)>& change) {
        Entry e = EncodeItem(item);
        change(e);
        return e;
    };
    const std::pair<const char*, Entry> cases[] = {
        {"truncated timing", changed(Raw("A", {300, 70000}), [](Entry& e) { e.data.pop_back(); })},
        {"timing count", changed(Raw("A", {300, 70000}), [](Entry& e) { e.head[5] = 3; })},
        {"name longer than the data", changed(Parsed(std::string(30, 'n'), "NEC"), [](Entry& e) { e.data.resize(5); })},
        {"unknown flag", changed(Parsed("A", "NEC"), [](Entry& e) { e.head[1] = 0x80; })},
        {"unknown protocol code", changed(Parsed("A", "NEC"), [](Entry& e) { e.head[5] = 200; })},
        {"left-over bytes", changed(Parsed("A", "NEC"), [](Entry& e) { e.data.push_back(1); })},
        {"foreign kind", changed(Parsed("A", "NEC"), [](Entry& e) { e.head[0] = 0x55; })},
        {"#remote is not a signal", EncodeInfo(RemoteInfo{})},
    };
    for (const auto& [what, e] : cases) {
        Item out;
        std::string error;
        EXPECT_FALSE(DecodeItem(e.head, e.data, out, error)) << what;
    }
}

// Random heads and data: decoding either succeeds or refuses, and never reads out of range
// (the sanitizer build runs this too).
TEST(SignalCodec, RandomBytesNeverCrashTheDecoders) {
    std::mt19937 rng(5);
    for (int i = 0; i < 20000; ++i) {
        std::array<uint8_t, kHeadSize> head{};
        for (auto& b : head) b = static_cast<uint8_t>(rng());
        head[0] = static_cast<uint8_t>(rng() % 6 == 5 ? 0x10 : rng() % 6);
        head[1] = static_cast<uint8_t>(rng() % 4);
        head[2] = 0;
        std::vector<uint8_t> data(rng() % 12);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        Item item;
        RemoteInfo info;
        std::string error;
        DecodeItem(head, data, item, error);
        DecodeInfo(head, data, info, error);
    }
}

TEST(RemoteInfo, RoundTripAndForwardCompatibility) {
    RemoteInfo info{"A manufacturer with a long name", "", "model", "x/y/z.ir", "IR library file",
                    std::nullopt, 2, 3};
    Entry e = EncodeInfo(info);
    EXPECT_EQ(HeadName(e.head), kInfoEntryName);
    RemoteInfo back;
    std::string error;
    ASSERT_TRUE(DecodeInfo(e.head, e.data, back, error)) << error;
    EXPECT_EQ(back, info);
    // A tag from a later version is skipped.
    e.data.insert(e.data.begin(), {99, 2, 'h', 'i'});
    ASSERT_TRUE(DecodeInfo(e.head, e.data, back, error)) << error;
    EXPECT_EQ(back, info);
    e.head[5] = 4;  // part 4 of 3
    EXPECT_FALSE(DecodeInfo(e.head, e.data, back, error));
}

// The names and path decoded back are checked through irlib import and export (cli_test).
TEST(RemoteRecord, ImageDecodesBackAndEveryTruncationIsRefused) {
    IrFile file;
    file.items = {Text(Item::Kind::Comment, " hi"), Parsed("Power", "NEC"), Raw("Mute", {1, 2})};
    std::vector<Entry> entries{EncodeInfo(RemoteInfo{})};
    for (const Item& item : file.items) entries.push_back(EncodeItem(item));
    const auto image = BuildRecordImage(CatalogueNames{"TVs", "Acme", "Remote"}, entries);
    EXPECT_EQ(image.size() + 12 + 8 * entries.size(), StoredSize(entries));
    DecodedRemote d;
    std::string error;
    ASSERT_TRUE(DecodeRemote(image, d, error)) << error;
    EXPECT_EQ(d.file, file);
    for (size_t n = 0; n < image.size(); ++n) {
        std::vector<uint8_t> cut(image.begin(), image.begin() + static_cast<long>(n));
        EXPECT_FALSE(DecodeRemote(cut, d, error)) << n;
    }
}

TEST(Names, ShorteningKeepsDistinctNamesApartAndPathsStayInside) {
    EXPECT_EQ(ShortenName(std::string(20, 'a')), std::string(20, 'a'));
    const std::string a = "SC-UltraSlimLine-Oscillating-Tower-Fan-5-Buttons";
    const std::string b = "SC-UltraSlimLine-Oscillating-Tower-Fan-Touch-Controls";
    EXPECT_EQ(ShortenName(a), ShortenName(a));
    EXPECT_EQ(ShortenName(a).substr(0, 16), "SC-UltraSlimLin~");
    EXPECT_EQ(ShortenName(a).size(), 20u);
    EXPECT_NE(ShortenName(a), ShortenName(b));
    // Multi-byte characters are never cut in half.
    std::string accents;
    for (int i = 0; i < 12; ++i) accents += "\xC3\xA9";
    EXPECT_EQ(ShortenName(accents).substr(0, 15), accents.substr(0, 14) + "~");
    // Suffixes for parts and forced hashes for collisions.
    EXPECT_EQ(FitName("VSX-921", "+2", "VSX-921"), "VSX-921+2");
    EXPECT_EQ(FitName(a, "+12", a).substr(17), "+12");
    EXPECT_NE(FitName("X", "", "p\n1", true), FitName("X", "", "p\n2", true));
    // Export paths stay inside their directory.
    EXPECT_TRUE(IsSafeRelativePath("TVs/Samsung/UE40.ir"));
    for (const char* bad : {"", "/etc/passwd", "../x.ir", "a/../../x.ir", "a//b.ir", "a/./b.ir", "a/"})
        EXPECT_FALSE(IsSafeRelativePath(bad)) << bad;
    EXPECT_EQ(SafeRelativePath("/a/../b.ir"), "a/_/b.ir");
    EXPECT_TRUE(IsSafeRelativePath(SafeRelativePath("../../x.ir")));
}

TEST(Json, QuotesControlCharactersAndInvalidUtf8) {
    EXPECT_EQ(JsonQuote("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
    EXPECT_EQ(JsonQuote("\xC3\xA9"), "\"\xC3\xA9\"");
    EXPECT_EQ(JsonQuote("\xC3"), "\"\\u00c3\"");
    EXPECT_EQ(JsonQuote("\xFF\xFE"), "\"\\u00ff\\u00fe\"");
}

}  // namespace
}  // namespace irlib
