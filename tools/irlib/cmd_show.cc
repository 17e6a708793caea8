// show: one record with its names, sizes and every entry, as text, JSON or a .ir file.
#include <cstdio>

#include "cli.h"
#include "describe.h"
#include "library.h"
#include "names.h"
#include "remote_codec.h"

namespace irlib {

int RunShow(const Args& args) {
    const std::string& file = args.positional[0];
    const std::string m = ShortenName(args.positional[1]), t = ShortenName(args.positional[2]),
                      model = ShortenName(args.positional[3]);
    Library library;
    std::string error;
    if (!library.Open(file, Library::Access::Read, false, error)) return Fail(file, error);
    if (!library.Exists(m, t, model))
        return Fail(file, "no record " + m + " / " + t + " / " + model);
    std::vector<uint8_t> image;
    if (!library.Fetch(m, t, model, image))
        return Fail(file, "record " + m + " / " + t + " / " + model +
                              " is damaged ('irlib check' shows where)");
    CatalogueNames names;
    std::vector<RawEntry> entries;
    if (!SplitRecordImage(image, names, entries, error)) return Fail(file, error);
    DecodedRemote remote;
    std::string decodeError;
    const bool decoded = DecodeRemote(image, remote, decodeError);

    if (args.Has("--ir")) {
        if (!decoded) return Fail(file, "record is not an IR remote: " + decodeError);
        std::fputs(WriteIrFile(remote.file).c_str(), stdout);
        return kExitOk;
    }
    const size_t storedSize = image.size();  // a fetched record is its used size long
    if (args.Has("--json")) {
        Json out;
        out.BeginObject().Field("manufacturer", names.manufacturer).Field("type", names.type);
        out.Field("model", names.model).Field("usedSize", storedSize).Field("entryCount", entries.size());
        if (decoded) {
            out.Field("path", remote.info.path);
            out.Field("part", remote.info.part).Field("parts", remote.info.parts);
        }
        out.Key("entries").BeginArray();
        for (const RawEntry& e : entries) EntryJson(out, e.head, e.data);
        out.EndArray().EndObject();
        std::fputs(out.Text().c_str(), stdout);
        return kExitOk;
    }
    std::printf("manufacturer  %s\ntype          %s\nmodel         %s\n", names.manufacturer.c_str(),
                names.type.c_str(), names.model.c_str());
    std::printf("used size     %zu bytes, %zu entries\n", storedSize, entries.size());
    if (decoded) {
        std::printf("path          %s\n", remote.info.path.c_str());
        if (remote.info.parts > 1)
            std::printf("part          %u of %u\n", remote.info.part, remote.info.parts);
        if (remote.info.manufacturer != names.manufacturer || remote.info.type != names.type ||
            remote.info.model != names.model)
            std::printf("full names    %s / %s / %s\n", remote.info.manufacturer.c_str(),
                        remote.info.type.c_str(), remote.info.model.c_str());
    } else {
        std::printf("not an IR remote: %s\n", decodeError.c_str());
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        const RawEntry& e = entries[i];
        std::printf("entry %-3zu %-8s %s\n", i, EntryKindName(e.head[0]).c_str(),
                    EntryText(e.head, e.data).c_str());
        std::printf("          head %s name=\"%s\"\n", HeadFieldsText(e.head).c_str(),
                    HeadName(e.head).c_str());
    }
    return kExitOk;
}

}  // namespace irlib
