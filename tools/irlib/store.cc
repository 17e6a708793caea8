// StoreRemote: the naming and splitting rules that keep an import lossless.
#include "store.h"

#include <limits>

namespace irlib {
namespace {

struct Identity {
    bool ours = false;  // a record this tool can read
    std::string path;
    uint16_t part = 1;
    uint16_t parts = 1;
};

Identity IdentityOf(const Library& library, const std::string& manufacturer,
                    const std::string& type, const std::string& model) {
    Identity id;
    std::vector<uint8_t> image;
    if (!library.Fetch(manufacturer, type, model, image)) return id;
    DecodedRemote remote;
    std::string error;
    if (!DecodeRemote(image, remote, error)) return id;
    id.ours = true;
    id.path = remote.info.path;
    id.part = remote.info.part;
    id.parts = remote.info.parts;
    return id;
}

}  // namespace

std::vector<StoredPart> FindParts(const Library& library, const std::string& manufacturer,
                                  const std::string& type, const std::string& path) {
    std::vector<StoredPart> found;
    const auto models = library.Models(manufacturer, type);
    if (!models) return found;
    for (const std::string& model : *models) {
        const Identity id = IdentityOf(library, manufacturer, type, model);
        if (id.ours && id.path == path) found.push_back({model, id.part, id.parts});
    }
    return found;
}

bool StoreRemote(Library& library, const std::string& path, const CatalogueNames& originals,
                 const IrFile& file, size_t limit, StoreResult& result, std::string& error) {
    result = StoreResult{};
    CatalogueNames stored{ShortenName(originals.type), ShortenName(originals.manufacturer), ""};
    if (stored.type != originals.type) result.shortened.push_back({"type", originals.type, stored.type});
    if (stored.manufacturer != originals.manufacturer)
        result.shortened.push_back({"manufacturer", originals.manufacturer, stored.manufacturer});

    std::vector<Entry> entries;
    entries.reserve(file.items.size());
    for (const Item& item : file.items) {
        std::string longName;
        entries.push_back(EncodeItem(item, &longName));
        if (!longName.empty())
            result.shortened.push_back({"button", longName, HeadName(entries.back().head)});
        (item.kind == Item::Kind::Comment ? result.comments : result.signals)++;
    }

    // Room for the #remote entry is kept in every part whether or not it is needed, so that
    // a name chosen later (a collision) can never push a part over the limit.
    RemoteInfo full{originals.manufacturer, originals.type, originals.model, path,
                    file.filetype, file.version};
    const size_t reserved = EncodeInfo(full).StoredSize();
    std::vector<std::vector<Entry>> parts;
    if (!SplitEntries(entries, limit, reserved, parts, error)) return false;
    if (parts.size() > std::numeric_limits<uint16_t>::max()) {  // the part fields are 16 bits
        error = "too large even for splitting";
        return false;
    }
    const auto count = static_cast<uint16_t>(parts.size());

    // An earlier import of this path in the other layout (one record, or parts) is found
    // by its names now and removed once the new layout is written.
    auto holdsThisPath = [&](const std::string& model) {
        if (!library.Exists(stored.manufacturer, stored.type, model)) return false;
        const Identity id = IdentityOf(library, stored.manufacturer, stored.type, model);
        return id.ours && id.path == path;
    };
    const bool otherLayout = count == 1 ? holdsThisPath(FitName(originals.model, "+1", originals.model))
                                        : holdsThisPath(ShortenName(originals.model));

    std::vector<std::string> written;
    uint16_t oldParts = 0;
    auto undo = [&] {
        for (const std::string& model : written) library.Delete(stored.manufacturer, stored.type, model);
    };
    for (uint16_t k = 1; k <= count; ++k) {
        const std::string suffix = count == 1 ? "" : "+" + std::to_string(k);
        const std::string wanted = FitName(originals.model, suffix, originals.model);
        std::string model;
        std::string otherPath;  // set when the wanted name belongs to another remote
        for (unsigned attempt = 0; attempt < 1000 && model.empty(); ++attempt) {
            const std::string candidate =
                attempt == 0 ? wanted
                             : FitName(originals.model, suffix,
                                       path + "\n" + std::to_string(attempt), true);
            if (!library.Exists(stored.manufacturer, stored.type, candidate)) {
                model = candidate;
                break;
            }
            const Identity id = IdentityOf(library, stored.manufacturer, stored.type, candidate);
            if (id.ours && id.path == path && id.part == k) {
                model = candidate;
                result.replaced = true;
                if (k == 1) oldParts = id.parts;
                break;
            }
            // Taken by another remote (or by a record this tool cannot read): never merged.
            if (attempt == 0) otherPath = id.ours ? id.path : "(not an IR remote)";
        }
        if (model.empty()) {
            undo();
            error = "no free model name for '" + originals.model + "'";
            return false;
        }
        if (!otherPath.empty()) result.collisions.push_back({wanted, model, otherPath});

        RemoteInfo info;
        info.part = k;
        info.parts = count;
        if (stored.manufacturer != originals.manufacturer) info.manufacturer = originals.manufacturer;
        if (stored.type != originals.type) info.type = originals.type;
        if (model != originals.model) info.model = originals.model;
        if (path != DefaultPath(originals)) info.path = path;
        if (file.filetype != kDefaultFiletype) info.filetype = file.filetype;
        if (file.version != kDefaultVersion) info.version = file.version;
        const bool needInfo = info != RemoteInfo{};
        std::vector<Entry> recordEntries;
        recordEntries.reserve(parts[k - 1].size() + 1);
        if (needInfo) recordEntries.push_back(EncodeInfo(info));
        for (Entry& e : parts[k - 1]) recordEntries.push_back(std::move(e));
        stored.model = model;
        if (!library.Write(BuildRecordImage(stored, recordEntries))) {
            undo();
            error = "the library refused to write record '" + model + "'";
            return false;
        }
        written.push_back(model);
        result.partModels.push_back(model);
    }
    result.stored = stored;
    result.stored.model = result.partModels.front();
    if (ShortenName(originals.model) != originals.model)
        result.shortened.push_back({"model", originals.model, result.stored.model});

    // A remote that grew or shrank since it was stored leaves records of its old layout
    // behind; every new part says how many parts there are, the old ones do not agree.
    if (otherLayout || (oldParts != 0 && oldParts != count)) {
        for (const StoredPart& p : FindParts(library, stored.manufacturer, stored.type, path))
            if (p.parts != count) library.Delete(stored.manufacturer, stored.type, p.model);
    }
    return true;
}

}  // namespace irlib
