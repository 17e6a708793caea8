// Library over the public API, and the host hooks that keep the library's message boxes
// from reaching the terminal: the tool reports every open failure in its own words, and a
// command-line tool must never wait for a dialog to be dismissed.
#include "library.h"

#include <sys/stat.h>

#include <cstring>
#include <fstream>

#include "format/blocks.h"
#include "names.h"
#include "varnel32_host.h"

extern "C" {
// The executable exports these (see tools/irlib/CMakeLists.txt) so the library finds them.
void* varnel32_host_load_cursor(uint32_t) { return nullptr; }
void* varnel32_host_set_cursor(void*) { return nullptr; }
void varnel32_host_message_beep(uint32_t) {}
int32_t varnel32_host_message_box(void*, const char*, const char*, uint32_t) { return 1; }
}

namespace irlib {
namespace {

std::vector<std::string> Names(NameList* list) {
    std::vector<std::string> names;
    if (list == nullptr) return names;
    const auto* bytes = reinterpret_cast<const unsigned char*>(list);
    const uint16_t count = IR_GET16(bytes + IR_NAMELIST_COUNT_OFFSET);
    for (uint16_t i = 0; i < count; ++i) {
        const char* p = reinterpret_cast<const char*>(bytes + IR_NAMELIST_NAMES_OFFSET +
                                                      size_t{IR_NAME_FIELD_SIZE} * i);
        names.emplace_back(p, strnlen(p, IR_NAME_FIELD_SIZE));
    }
    IRFreeManufacturers(list);
    return names;
}

}  // namespace

NameField ToField(const std::string& name) {
    NameField field{};
    std::memcpy(field.data(), name.data(), name.size() < kMaxName ? name.size() : kMaxName);
    return field;
}

bool PeekHeader(const std::string& path, bool& dirty, uint32_t& kind) {
    std::ifstream in(path, std::ios::binary);
    fmt::HeaderBytes bytes{};
    if (!in.read(reinterpret_cast<char*>(bytes.data()), bytes.size())) return false;
    if (!fmt::Verify(fmt::BlockKind::Header, bytes)) return false;
    const auto header = fmt::DecodeLibraryHeader(bytes);
    dirty = header.dirty != 0;
    kind = header.kind;
    return true;
}

bool CreateLibraryFile(const std::string& path, uint32_t kindFlags, std::string& error) {
    if (path.size() >= fmt::kPathSize) {
        error = "path too long (" + std::to_string(fmt::kPathSize - 1) + " bytes at most)";
        return false;
    }
    if (!IRCreateLibrary(0, path.c_str(), kindFlags)) {
        error = "cannot create (no access, or the file is open elsewhere)";
        return false;
    }
    return true;
}

Library::~Library() { Close(); }

void Library::Close() {
    if (handle_ != nullptr) IRCloseLibrary(handle_);
    handle_ = nullptr;
}

bool Library::Open(const std::string& path, Access access, bool overrideProtection,
                   std::string& error) {
    Close();
    repaired_ = false;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = access == Access::Write ? "no such file ('irlib create' makes a new library)"
                                        : "no such file";
        return false;
    }
    if (path.size() >= fmt::kPathSize) {
        error = "path too long (" + std::to_string(fmt::kPathSize - 1) + " bytes at most)";
        return false;
    }
    bool dirty = false;
    uint32_t kind = 0;
    const bool headerOk = PeekHeader(path, dirty, kind);
    if (headerOk && dirty && access == Access::Read) {
        error = "not closed properly (dirty); 'irlib compact' rebuilds it, 'irlib salvage' "
                "copies out what is intact";
        return false;
    }
    uint32_t status = IROpenOk;
    const uint32_t mode = access == Access::Write ? IRModeWrite : IRModeReadOnly;
    handle_ = IROpenLibrary(0, nullptr, path.c_str(), mode,
                            overrideProtection ? IROpenOverrideWriteProtection : 0u, &status);
    if (handle_ != nullptr) {
        repaired_ = headerOk && dirty;
        return true;
    }
    switch (status) {
    case IROpenCannotOpenFile:
        error = "cannot open (no access, or in use by another program)";
        break;
    case IROpenBadLibrary:
        error = headerOk && dirty ? "not closed properly, and rebuilding it failed; 'irlib "
                                    "salvage' copies out what is intact"
                                  : "not a library file, or its header is damaged ('irlib "
                                    "check' shows where)";
        break;
    case IROpenWrongKind: error = "wrong kind of library"; break;
    case IROpenBadArgument: error = "bad path"; break;
    case IROpenOutOfMemory: error = "out of memory"; break;
    case IROpenWriteProtected:
        error = "write-protected library (--override-protection writes anyway)";
        break;
    default: error = "cannot open (status " + std::to_string(status) + ")"; break;
    }
    return false;
}

std::vector<std::string> Library::Manufacturers() const {
    return Names(IRFindAllManufacturers(handle_));
}

std::optional<std::vector<std::string>> Library::Types(const std::string& manufacturer) const {
    NameList* list = IRFindAllTypes(handle_, manufacturer.c_str());
    if (list == nullptr) return std::nullopt;
    return Names(list);
}

std::optional<std::vector<std::string>> Library::Models(const std::string& manufacturer,
                                                        const std::string& type) const {
    NameList* list = IRFindAllModels(handle_, manufacturer.c_str(), type.c_str());
    if (list == nullptr) return std::nullopt;
    return Names(list);
}

bool Library::Exists(const std::string& manufacturer, const std::string& type,
                     const std::string& model) const {
    const NameField m = ToField(manufacturer), t = ToField(type), mo = ToField(model);
    return IRDoesRemoteRecordExist(handle_, m.data(), t.data(), mo.data()) == 1;
}

bool Library::Fetch(const std::string& manufacturer, const std::string& type,
                    const std::string& model, std::vector<uint8_t>& image) const {
    const NameField m = ToField(manufacturer), t = ToField(type), mo = ToField(model);
    RemoteRecord* record = IRFetchRemoteRecord(handle_, m.data(), t.data(), mo.data());
    if (record == nullptr) return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(record);
    const uint16_t used = IR_GET16(bytes + IR_RECORD_USED_SIZE_OFFSET);
    image.assign(bytes, bytes + used);
    IRFreeRemoteRecord(record);
    return true;
}

bool Library::Write(const std::vector<uint8_t>& image) {
    return IRWriteRemoteRecord(handle_, reinterpret_cast<const RemoteRecord*>(image.data())) == 1;
}

bool Library::Delete(const std::string& manufacturer, const std::string& type,
                     const std::string& model) {
    const NameField m = ToField(manufacturer), t = ToField(type), mo = ToField(model);
    return IRDeleteRemoteRecord(handle_, m.data(), t.data(), mo.data()) == 1;
}

bool Library::Compact() { return IRCompactLibrary(handle_) == 1; }

void Library::SetExtraSpace(uint16_t amount) { IRSetExtraSpaceAmount(handle_, amount); }

uint16_t Library::ExtraSpace() const { return IRGetExtraSpaceAmount(handle_); }

}  // namespace irlib
