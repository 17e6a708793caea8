// Reading every record of a library into buttons with codes.
#include "codes.h"

#include "remote_codec.h"

namespace irlib {

std::vector<StoredRemote> ReadAllRemotes(const Library& library, size_t& unreadable) {
    std::vector<StoredRemote> out;
    unreadable = 0;
    std::vector<uint8_t> image;
    std::string error;
    for (const auto& m : library.Manufacturers())
        for (const auto& t : library.Types(m).value_or(std::vector<std::string>{}))
            for (const auto& model : library.Models(m, t).value_or(std::vector<std::string>{})) {
                DecodedRemote decoded;
                if (!library.Fetch(m, t, model, image) || !DecodeRemote(image, decoded, error)) {
                    ++unreadable;
                    continue;
                }
                StoredRemote r{decoded.info.manufacturer, decoded.info.type, decoded.info.model,
                               decoded.info.path, std::move(decoded.file), {}};
                if (decoded.info.parts > 1) r.model += " (part " + std::to_string(decoded.info.part) + ")";
                out.push_back(std::move(r));
            }
    // Buttons point into each remote's own items, so they are filled once the vector stands.
    for (StoredRemote& r : out)
        for (const Item& item : r.file.items) {
            if (item.kind != Item::Kind::Signal) continue;
            Button b{item.signal.name, false, {}, nullptr};
            if (item.signal.type == Signal::Type::Parsed) {
                b.decoded = true;
                b.code = Canonical(CodeOf(item.signal));
            } else {
                b.raw = &item.signal;
                if (auto d = Decode(item.signal.timings, item.signal.frequency)) {
                    b.decoded = true;
                    b.code = Canonical(d->code);
                }
            }
            r.buttons.push_back(std::move(b));
        }
    return out;
}

}  // namespace irlib
