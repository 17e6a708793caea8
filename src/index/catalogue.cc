// The catalogue tree's find, append, insert, remove and release. Searches are linear scans
// of one level; an append resizes the level's block to exactly one more node; a removal
// shifts the later siblings down, or releases the block when the level empties.
#include "index/catalogue.h"

#include <cstring>

#include "platform/platform.h"

namespace varnel32::index {
namespace {

constexpr uint16_t kMaxLevelCount = 0xFFFF;

template <typename Node>
Node* FindIn(Node* nodes, uint16_t count, const char* name) {
    for (uint16_t i = 0; i < count; ++i) {
        if (platform::NamesEqual(nodes[i].name.data(), name)) return &nodes[i];
    }
    return nullptr;
}

// Grows `nodes` to count + 1 nodes and returns the new last one, or null (the level keeps
// its array and count) when the level is full or memory ran out.
template <typename Node>
Node* AppendTo(Node*& nodes, uint16_t& count, const char* name) {
    if (count == kMaxLevelCount) return nullptr;
    void* grown = platform::Reallocate(nodes, sizeof(Node) * (static_cast<size_t>(count) + 1));
    if (grown == nullptr) return nullptr;
    nodes = static_cast<Node*>(grown);
    Node& node = nodes[count];
    ++count;
    std::memset(static_cast<void*>(&node), 0, sizeof(Node));
    node.name = format::NameFromString(name);
    return &node;
}

// Removes nodes[at]; the caller has released what the node owned.
template <typename Node>
void RemoveAt(Node*& nodes, uint16_t& count, Node* at) {
    if (count < 2) {
        platform::Release(nodes);
        nodes = nullptr;
        count = 0;
        return;
    }
    const size_t index = static_cast<size_t>(at - nodes);
    std::memmove(static_cast<void*>(at), at + 1, sizeof(Node) * (count - index - 1));
    --count;
}

}  // namespace

ManufacturerNode* FindManufacturer(const CatalogueIndex& index, const char* name) {
    return FindIn(index.manufacturers, index.manufacturerCount, name);
}

TypeNode* FindType(const ManufacturerNode& manufacturer, const char* name) {
    return FindIn(manufacturer.types, manufacturer.typeCount, name);
}

ModelNode* FindModel(const TypeNode& type, const char* name) {
    return FindIn(type.models, type.modelCount, name);
}

uint32_t FindRecordOffset(const CatalogueIndex& index, const char* manufacturer,
                          const char* type, const char* model) {
    const ManufacturerNode* m = FindManufacturer(index, manufacturer);
    if (m == nullptr) return 0;
    const TypeNode* t = FindType(*m, type);
    if (t == nullptr) return 0;
    const ModelNode* node = FindModel(*t, model);
    return node == nullptr ? 0 : node->recordOffset;
}

ManufacturerNode* AppendManufacturer(CatalogueIndex& index, const char* name) {
    return AppendTo(index.manufacturers, index.manufacturerCount, name);
}

TypeNode* AppendType(ManufacturerNode& manufacturer, const char* name) {
    return AppendTo(manufacturer.types, manufacturer.typeCount, name);
}

ModelNode* AppendModel(TypeNode& type, const char* name, uint32_t recordOffset) {
    ModelNode* node = AppendTo(type.models, type.modelCount, name);
    if (node != nullptr) node->recordOffset = recordOffset;
    return node;
}

int AddIndexEntry(CatalogueIndex& index, const format::IndexEntry& entry) {
    // Every name in the tree is terminated and every model has a record: the comparisons
    // rely on the first, and the record store's lookups on the second.
    if (!format::HasTerminator(entry.manufacturer) || !format::HasTerminator(entry.type) ||
        !format::HasTerminator(entry.model) || entry.recordOffset == 0) {
        return 0;
    }
    const char* m = entry.manufacturer.data();
    const char* t = entry.type.data();
    const char* model = entry.model.data();
    ManufacturerNode* manufacturer = FindManufacturer(index, m);
    if (manufacturer == nullptr) {
        manufacturer = AppendManufacturer(index, m);
        if (manufacturer == nullptr) return 0;
        TypeNode* type = AppendType(*manufacturer, t);
        if (type == nullptr) return 0;
        return AppendModel(*type, model, entry.recordOffset) != nullptr ? 1 : 0;
    }
    TypeNode* type = FindType(*manufacturer, t);
    if (type == nullptr) {
        type = AppendType(*manufacturer, t);
        if (type == nullptr) return 0;
        return AppendModel(*type, model, entry.recordOffset) != nullptr ? 1 : 0;
    }
    if (FindModel(*type, model) != nullptr) return 0;
    return AppendModel(*type, model, entry.recordOffset) != nullptr ? 1 : 0;
}

int RemoveIndexEntry(CatalogueIndex& index, const format::IndexEntry& entry) {
    if (!format::HasTerminator(entry.manufacturer) || !format::HasTerminator(entry.type) ||
        !format::HasTerminator(entry.model)) {
        return 0;
    }
    ManufacturerNode* manufacturer = FindManufacturer(index, entry.manufacturer.data());
    if (manufacturer == nullptr) return 0;
    TypeNode* type = FindType(*manufacturer, entry.type.data());
    if (type == nullptr) return 0;
    ModelNode* model = FindModel(*type, entry.model.data());
    if (model == nullptr) return 0;

    if (type->modelCount >= 2) {
        RemoveAt(type->models, type->modelCount, model);
        return 1;
    }
    platform::Release(type->models);
    if (manufacturer->typeCount >= 2) {
        RemoveAt(manufacturer->types, manufacturer->typeCount, type);
        return 1;
    }
    platform::Release(manufacturer->types);
    RemoveAt(index.manufacturers, index.manufacturerCount, manufacturer);
    return 1;
}

void FreeCatalogueIndex(CatalogueIndex& index) {
    for (uint16_t i = 0; i < index.manufacturerCount; ++i) {
        ManufacturerNode& manufacturer = index.manufacturers[i];
        for (uint16_t j = 0; j < manufacturer.typeCount; ++j) {
            platform::Release(manufacturer.types[j].models);
        }
        platform::Release(manufacturer.types);
    }
    platform::Release(index.manufacturers);
    index.manufacturers = nullptr;
    index.manufacturerCount = 0;
}

uint32_t CountModels(const CatalogueIndex& index) {
    uint32_t count = 0;
    for (uint16_t i = 0; i < index.manufacturerCount; ++i) {
        const ManufacturerNode& manufacturer = index.manufacturers[i];
        for (uint16_t j = 0; j < manufacturer.typeCount; ++j) {
            count += manufacturer.types[j].modelCount;
        }
    }
    return count;
}

format::IndexEntry MakeKey(const Name& manufacturer, const Name& type, const Name& model,
                           uint32_t recordOffset) {
    format::IndexEntry entry;
    entry.manufacturer = manufacturer;
    entry.type = type;
    entry.model = model;
    entry.recordOffset = recordOffset;
    return entry;
}

}  // namespace varnel32::index
