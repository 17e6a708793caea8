// Entry descriptions. An entry that does not decode is shown, never refused: show and dump
// are how people look at records that other programs wrote or that are damaged.
#include "describe.h"

#include <cstdio>

namespace irlib {

std::string EntryKindName(uint8_t kind) {
    switch (static_cast<EntryKind>(kind)) {
    case EntryKind::Parsed: return "parsed";
    case EntryKind::Raw: return "raw";
    case EntryKind::Comment: return "comment";
    case EntryKind::Verbatim: return "verbatim";
    case EntryKind::Info: return "#remote";
    }
    return "unknown";
}

std::string HexBytes(std::span<const uint8_t> bytes, size_t max) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size() && i < max; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02x" : "%02x", bytes[i]);
        s += buf;
    }
    if (bytes.size() > max) s += " ...";
    return s;
}

std::string HeadFieldsText(std::span<const uint8_t, kHeadSize> head) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "b0=%u w1=0x%04x len=%u w5=%u b7=%u w8=0x%04x w10=0x%04x b12..18=",
                  head[fmt::kHeadByte0Offset], HeadU16(head, fmt::kHeadWord1Offset),
                  HeadU16(head, fmt::kHeadDataLengthOffset), HeadU16(head, fmt::kHeadWord5Offset),
                  head[fmt::kHeadByte7Offset], HeadU16(head, fmt::kHeadWord8Offset),
                  HeadU16(head, fmt::kHeadWord10Offset));
    return buf + HexBytes(head.subspan(fmt::kHeadBytes12Offset, fmt::kHeadBytes12Count));
}

std::string EntryText(std::span<const uint8_t, kHeadSize> head, std::span<const uint8_t> data) {
    std::string error;
    if (HeadKind(head) == static_cast<uint8_t>(EntryKind::Info)) {
        RemoteInfo info;
        if (!DecodeInfo(head, data, info, error)) return "undecodable #remote (" + error + "): " + HexBytes(data);
        std::string s = "part " + std::to_string(info.part) + " of " + std::to_string(info.parts);
        if (!info.manufacturer.empty()) s += ", manufacturer \"" + info.manufacturer + "\"";
        if (!info.type.empty()) s += ", type \"" + info.type + "\"";
        if (!info.model.empty()) s += ", model \"" + info.model + "\"";
        if (!info.path.empty()) s += ", path \"" + info.path + "\"";
        if (info.filetype) s += ", Filetype \"" + *info.filetype + "\"";
        if (info.version) s += ", Version \"" + *info.version + "\"";
        return s;
    }
    Item item;
    if (!DecodeItem(head, data, item, error)) return "not a signal (" + error + "): " + HexBytes(data);
    switch (item.kind) {
    case Item::Kind::Comment: return "#" + item.text;
    case Item::Kind::Verbatim: {
        std::string s = item.text;
        for (char& c : s)
            if (c == '\n') c = '|';
        return "\"" + item.name + "\": " + s;
    }
    case Item::Kind::Signal: break;
    }
    const Signal& s = item.signal;
    std::string text = "\"" + s.name + "\" ";
    if (s.type == Signal::Type::Parsed)
        return text + s.protocol + " address " + FormatHexBytes(s.address) + " command " +
               FormatHexBytes(s.command);
    text += std::to_string(s.frequency) + " Hz, duty " + FormatDuty(s.dutyMillionths, s.dutyDecimals) +
            ", " + std::to_string(s.timings.size()) + " timings:";
    for (uint32_t t : s.timings) text.append(" ").append(std::to_string(t));
    return text;
}

void EntryJson(Json& out, std::span<const uint8_t, kHeadSize> head, std::span<const uint8_t> data) {
    out.BeginObject();
    out.Field("kind", EntryKindName(HeadKind(head))).Field("name", HeadName(head));
    out.Key("head").BeginObject();
    out.Field("byte0", head[fmt::kHeadByte0Offset]).Field("word1", HeadU16(head, fmt::kHeadWord1Offset));
    out.Field("dataLength", HeadU16(head, fmt::kHeadDataLengthOffset));
    out.Field("word5", HeadU16(head, fmt::kHeadWord5Offset)).Field("byte7", head[fmt::kHeadByte7Offset]);
    out.Field("word8", HeadU16(head, fmt::kHeadWord8Offset));
    out.Field("word10", HeadU16(head, fmt::kHeadWord10Offset)).Key("bytes12").BeginArray();
    for (const uint8_t b : head.subspan(fmt::kHeadBytes12Offset, fmt::kHeadBytes12Count)) out.Number(unsigned{b});
    out.EndArray().EndObject();
    std::string error;
    if (HeadKind(head) == static_cast<uint8_t>(EntryKind::Info)) {
        RemoteInfo info;
        if (DecodeInfo(head, data, info, error)) {
            out.Key("remote").BeginObject().Field("part", info.part).Field("parts", info.parts);
            if (!info.manufacturer.empty()) out.Field("manufacturer", info.manufacturer);
            if (!info.type.empty()) out.Field("type", info.type);
            if (!info.model.empty()) out.Field("model", info.model);
            if (!info.path.empty()) out.Field("path", info.path);
            if (info.filetype) out.Field("filetype", *info.filetype);
            if (info.version) out.Field("version", *info.version);
            out.EndObject();
            out.EndObject();
            return;
        }
    } else {
        Item item;
        if (DecodeItem(head, data, item, error)) {
            if (item.kind == Item::Kind::Comment) {
                out.Field("comment", item.text);
            } else if (item.kind == Item::Kind::Verbatim) {
                out.Field("fullName", item.name).Field("verbatim", item.text);
            } else {
                const Signal& s = item.signal;
                out.Key("signal").BeginObject().Field("name", s.name);
                if (s.type == Signal::Type::Parsed) {
                    out.Field("type", "parsed").Field("protocol", s.protocol);
                    out.Field("address", FormatHexBytes(s.address)).Field("command", FormatHexBytes(s.command));
                } else {
                    out.Field("type", "raw").Field("frequency", s.frequency);
                    out.Field("dutyCycle", FormatDuty(s.dutyMillionths, s.dutyDecimals));
                    out.Key("timings").BeginArray();
                    for (uint32_t t : s.timings) out.Number(t);
                    out.EndArray();
                }
                out.EndObject();
            }
            out.EndObject();
            return;
        }
    }
    out.Field("error", error).Field("hex", HexBytes(data));
    out.EndObject();
}

}  // namespace irlib
