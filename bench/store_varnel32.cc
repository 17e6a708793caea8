// This library as a benchmark store, through its public interface only.
#include <algorithm>
#include <cstring>
#include <filesystem>

#include "stores.h"
#include "varnel32.h"

namespace bench {
namespace {

struct State {
    LibraryHandle* handle = nullptr;
};

struct Fields {
    char m[IR_NAME_FIELD_SIZE], t[IR_NAME_FIELD_SIZE], mo[IR_NAME_FIELD_SIZE];
    Fields(const std::string& a, const std::string& b, const std::string& c) {
        Copy(m, a);
        Copy(t, b);
        Copy(mo, c);
    }
    static void Copy(char* field, const std::string& name) {
        std::memset(field, 0, IR_NAME_FIELD_SIZE);
        std::memcpy(field, name.data(), std::min<size_t>(name.size(), 20));
    }
};

size_t Count(NameList* list) {
    if (list == nullptr) return 0;
    const size_t n = IR_GET16(reinterpret_cast<const uint8_t*>(list));
    IRFreeModels(list);
    return n;
}

const char* NameAt(const NameList* list, unsigned i) {
    return reinterpret_cast<const char*>(list) + IR_NAMELIST_NAMES_OFFSET + IR_NAME_FIELD_SIZE * i;
}

bool Open(void* self, const std::string& path) {
    uint32_t status = 0;
    auto* s = static_cast<State*>(self);
    s->handle = IROpenLibrary(0, nullptr, path.c_str(), IRModeWrite, 0, &status);
    return s->handle != nullptr;
}

void Close(void* self) {
    auto* s = static_cast<State*>(self);
    if (s->handle != nullptr) IRCloseLibrary(s->handle);
    s->handle = nullptr;
}

bool Load(void* self, const std::string& path, const Dataset& data) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    if (IRCreateLibrary(0, path.c_str(), 0) != 1 || !Open(self, path)) return false;
    auto* s = static_cast<State*>(self);
    bool ok = true;
    for (const Record& r : data.records) {
        ok = IRWriteRemoteRecord(s->handle, reinterpret_cast<const RemoteRecord*>(r.image.data())) == 1 && ok;
    }
    Close(self);
    return ok;
}

size_t Browse(void* self) {
    LibraryHandle* h = static_cast<State*>(self)->handle;
    NameList* makers = IRFindAllManufacturers(h);
    if (makers == nullptr) return 0;
    const unsigned makerCount = IR_GET16(reinterpret_cast<const uint8_t*>(makers));
    size_t names = makerCount;
    for (unsigned i = 0; i < makerCount; ++i) {
        NameList* types = IRFindAllTypes(h, NameAt(makers, i));
        if (types == nullptr) continue;
        const unsigned typeCount = IR_GET16(reinterpret_cast<const uint8_t*>(types));
        names += typeCount;
        for (unsigned j = 0; j < typeCount; ++j) names += Count(IRFindAllModels(h, NameAt(makers, i), NameAt(types, j)));
        IRFreeTypes(types);
    }
    IRFreeManufacturers(makers);
    return names;
}

size_t Fetch(void* self, const Record& r) {
    const Fields f(r.manufacturer, r.type, r.model);
    RemoteRecord* got = IRFetchRemoteRecord(static_cast<State*>(self)->handle, f.m, f.t, f.mo);
    if (got == nullptr) return 0;
    const size_t n = IR_GET16(reinterpret_cast<const uint8_t*>(got));
    IRFreeRemoteRecord(got);
    return n;
}

bool Exists(void* self, const std::string& m, const std::string& t, const std::string& mo) {
    const Fields f(m, t, mo);
    return IRDoesRemoteRecordExist(static_cast<State*>(self)->handle, f.m, f.t, f.mo) == 1;
}

bool Write(void* self, const Record&, const std::vector<uint8_t>& image) {
    return IRWriteRemoteRecord(static_cast<State*>(self)->handle,
                               reinterpret_cast<const RemoteRecord*>(image.data())) == 1;
}

bool Remove(void* self, const Record& r) {
    const Fields f(r.manufacturer, r.type, r.model);
    return IRDeleteRemoteRecord(static_cast<State*>(self)->handle, f.m, f.t, f.mo) == 1;
}

bool Compact(void* self) { return IRCompactLibrary(static_cast<State*>(self)->handle) == 1; }

}  // namespace

Store Varnel32Store() {
    return {"varnel32",
            [] { return static_cast<void*>(new State); },
            [](void* self) { delete static_cast<State*>(self); },
            Load, Open, Browse, Fetch, Exists, Write, Remove, Compact, Close,
            [](const std::string& path) {
                std::error_code ec;
                std::filesystem::remove(path, ec);
            }};
}

}  // namespace bench
