// Listings copy a level's names in tree order into one block of the final size; a failed
// allocation gives no list at all.
#include "index/queries.h"

#include <algorithm>

#include "format/endian.h"
#include "platform/platform.h"

namespace varnel32::index {
namespace {

constexpr size_t kCountSize = 2;

template <typename Node>
void* ListLevel(const Node* nodes, uint16_t count) {
    auto* block = static_cast<uint8_t*>(
        platform::AllocateZeroed(kCountSize + format::NAME_FIELD_SIZE * size_t{count}));
    if (block == nullptr) return nullptr;
    for (size_t n = 0; n < count; ++n) {
        const format::Name& name = nodes[n].name;
        std::copy(name.begin(), name.end(), block + kCountSize + format::NAME_FIELD_SIZE * n);
    }
    format::Store16(block, count);
    return block;
}

}  // namespace

bool CopyNameField(const char* field, format::Name& out) {
    std::copy(field, field + format::NAME_FIELD_SIZE, out.begin());
    return format::HasTerminator(out);
}

void* ListManufacturers(const LibraryHandle* handle) {
    if (handle == nullptr) return nullptr;
    return ListLevel(handle->index.manufacturers, handle->index.manufacturerCount);
}

void* ListTypes(const LibraryHandle* handle, const char* manufacturer) {
    if (handle == nullptr || manufacturer == nullptr) return nullptr;
    const ManufacturerNode* m = FindManufacturer(handle->index, manufacturer);
    if (m == nullptr) return nullptr;
    return ListLevel(m->types, m->typeCount);
}

void* ListModels(const LibraryHandle* handle, const char* manufacturer, const char* type) {
    if (handle == nullptr || manufacturer == nullptr || type == nullptr) return nullptr;
    const ManufacturerNode* m = FindManufacturer(handle->index, manufacturer);
    if (m == nullptr) return nullptr;
    const TypeNode* t = FindType(*m, type);
    if (t == nullptr) return nullptr;
    return ListLevel(t->models, t->modelCount);
}

int32_t RecordExists(const LibraryHandle* handle, const char* manufacturer, const char* type,
                     const char* model) {
    if (handle == nullptr || manufacturer == nullptr || type == nullptr || model == nullptr) {
        return 0;
    }
    format::Name m, t, mo;
    if (!CopyNameField(manufacturer, m) || !CopyNameField(type, t) || !CopyNameField(model, mo)) {
        return 0;
    }
    return FindRecordOffset(handle->index, m.data(), t.data(), mo.data()) != 0 ? 1 : 0;
}

void FreeResultBlock(void* block) { platform::Release(block); }

}  // namespace varnel32::index
