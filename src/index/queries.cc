// Listings copy a level's names in tree order into one block of the final size; a failed
// allocation gives no list at all.
#include "index/queries.h"

#include <cstring>

#include "format/blocks.h"
#include "format/endian.h"
#include "platform/platform.h"

namespace varnel32::index {
namespace {

template <typename Node>
void* ListLevel(const Node* nodes, uint16_t count) {
    auto* block = static_cast<uint8_t*>(
        platform::AllocateZeroed(format::kNameListNamesOffset + format::NAME_FIELD_SIZE * size_t{count}));
    if (block == nullptr) return nullptr;
    // memcpy: a copy from char to uint8_t would go byte by byte.
    for (size_t n = 0; n < count; ++n) {
        std::memcpy(block + format::kNameListNamesOffset + format::NAME_FIELD_SIZE * n, nodes[n].name.data(),
                    format::NAME_FIELD_SIZE);
    }
    format::Store16(block + format::kNameListCountOffset, count);
    return block;
}

}  // namespace

void* ListManufacturers(const LibraryHandle* handle) {
    return ListLevel(handle->index.manufacturers, handle->index.manufacturerCount);
}

void* ListTypes(const LibraryHandle* handle, const char* manufacturer) {
    const ManufacturerNode* m = FindManufacturer(handle->index, manufacturer);
    if (m == nullptr) return nullptr;
    return ListLevel(m->types, m->typeCount);
}

void* ListModels(const LibraryHandle* handle, const char* manufacturer, const char* type) {
    const ManufacturerNode* m = FindManufacturer(handle->index, manufacturer);
    if (m == nullptr) return nullptr;
    const TypeNode* t = FindType(*m, type);
    if (t == nullptr) return nullptr;
    return ListLevel(t->models, t->modelCount);
}

int32_t RecordExists(const LibraryHandle* handle, const char* manufacturer, const char* type,
                     const char* model) {
    format::Name m, t, mo;
    if (!format::CopyNameField(manufacturer, m) || !format::CopyNameField(type, t) ||
        !format::CopyNameField(model, mo)) {
        return 0;
    }
    return FindRecordOffset(handle->index, m.data(), t.data(), mo.data()) != 0 ? 1 : 0;
}

void FreeResultBlock(void* block) { platform::Release(block); }

}  // namespace varnel32::index
