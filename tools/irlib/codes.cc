// Reading every record of a library into buttons with codes.
#include "codes.h"

#include <algorithm>

#include "library.h"
#include "remote_codec.h"
#include "scan.h"

namespace irlib {

bool ForEachRemote(const std::string& path, const std::function<void(const StoredRemote&)>& visit,
                   size_t& unreadable, std::string& error) {
    unreadable = 0;
    Library library;
    if (!library.Open(path, Library::Access::Read, false, error)) return false;
    std::vector<uint8_t> bytes;
    fmt::LibraryHeader header;
    if (!LoadLibraryFile(path, bytes, header, error)) return false;
    const Walk walk = WalkExtents(bytes, std::min<uint32_t>(header.dataEnd, static_cast<uint32_t>(bytes.size())));
    unreadable = walk.gaps.size();
    for (const ExtentScan& x : walk.extents) {
        if (x.deleted()) continue;
        DecodedRemote decoded;
        if (!x.problems.empty() || !DecodeRemote(RecordImage(bytes, x), decoded, error)) {
            ++unreadable;
            continue;
        }
        StoredRemote r{decoded.info.manufacturer, decoded.info.type, decoded.info.model,
                       decoded.info.path, std::move(decoded.file), {}};
        if (decoded.info.parts > 1) r.model += " (part " + std::to_string(decoded.info.part) + ")";
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
        visit(r);
    }
    error.clear();
    return true;
}

}  // namespace irlib
