// The catalogue tree's find, append, insert, remove and release. A search goes through the
// level's name table where it has one and scans the level otherwise; an append resizes
// the level's block to exactly one more node; a removal shifts the later siblings down, or
// releases the block when the level empties. Tables follow their level's changes.
#include "handle/catalogue.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace varnel32::index {
namespace {

constexpr uint16_t kMaxLevelCount = 0xFFFF;

// Below this many nodes a scan is as quick as hashing the name.
constexpr uint16_t kTableMinimum = 8;
constexpr uint32_t kPositionBits = 0xFFFFu;

void ReleaseTable(NameTable& table) {
    platform::Release(table.slots);
    table = NameTable{nullptr, 0};
}

// Fills `table` (its slots, at its capacity) with the positions of `nodes`. False, with
// the table released, when a name cannot be hashed: the level is scanned from then on.
template <typename Node>
bool FillTable(NameTable& table, const Node* nodes, uint16_t count) {
    std::memset(table.slots, 0, sizeof(uint32_t) * table.capacity);
    const uint32_t mask = table.capacity - 1;
    for (uint32_t position = 0; position < count; ++position) {
        uint32_t hash;
        if (!platform::HashName(nodes[position].name.data(), hash)) {
            ReleaseTable(table);
            return false;
        }
        uint32_t i = hash & mask;
        while (table.slots[i] != 0) i = (i + 1) & mask;
        table.slots[i] = (hash & ~kPositionBits) | (position + 1);
    }
    return true;
}

template <typename Node>
Node* FindIn(Node* nodes, uint16_t count, const NameTable& table, const char* name) {
    uint32_t hash;
    if (table.capacity != 0 && platform::HashName(name, hash)) {
        const uint32_t mask = table.capacity - 1;
        for (uint32_t i = hash & mask;; i = (i + 1) & mask) {
            const uint32_t slot = table.slots[i];
            if (slot == 0) return nullptr;
            if ((slot & ~kPositionBits) != (hash & ~kPositionBits)) continue;
            Node& node = nodes[(slot & kPositionBits) - 1];
            if (platform::NamesEqual(node.name.data(), name)) return &node;
        }
    }
    for (uint16_t i = 0; i < count; ++i) {
        if (platform::NamesEqual(nodes[i].name.data(), name)) return &nodes[i];
    }
    return nullptr;
}

// Grows `nodes` to count + 1 nodes and returns the new last one, or null (the level keeps
// its array, count and table) when the level is full or memory ran out. A level that
// reaches kTableMinimum nodes gets its table, and a table that would be more than half
// full doubles, before the level grows, so that either failing leaves everything as it was.
template <typename Node>
Node* AppendTo(Node*& nodes, uint16_t& count, NameTable& table, const char* name) {
    if (count == kMaxLevelCount) return nullptr;
    const uint32_t newCount = static_cast<uint32_t>(count) + 1;
    uint32_t hash = 0;
    const bool hashed = platform::HashName(name, hash);
    NameTable grown{nullptr, 0};
    if (hashed && newCount >= kTableMinimum && table.capacity < 2 * newCount) {
        grown.capacity = table.capacity == 0 ? 2u * kTableMinimum : 2 * table.capacity;
        while (grown.capacity < 2 * newCount) grown.capacity *= 2;
        // Through Reallocate, as every growth of the tree: a failure is an insert that ran
        // out of memory, whichever of the two blocks it hit.
        grown.slots = static_cast<uint32_t*>(platform::Reallocate(nullptr, sizeof(uint32_t) * grown.capacity));
        if (grown.slots == nullptr) return nullptr;
    }
    void* larger = platform::Reallocate(nodes, sizeof(Node) * newCount);
    if (larger == nullptr) {
        platform::Release(grown.slots);
        return nullptr;
    }
    nodes = static_cast<Node*>(larger);
    Node& node = nodes[count];
    ++count;
    std::memset(static_cast<void*>(&node), 0, sizeof(Node));
    node.name = format::NameFromString(name);
    if (grown.slots != nullptr) {
        ReleaseTable(table);
        table = grown;
        FillTable(table, nodes, count);
    } else if (table.capacity != 0) {
        const uint32_t mask = table.capacity - 1;
        uint32_t i = hash & mask;
        while (table.slots[i] != 0) i = (i + 1) & mask;
        table.slots[i] = (hash & ~kPositionBits) | count;
    }
    return &node;
}

// Removes nodes[at]; the caller has released what the node owned. The later nodes move
// down one place, so the table is filled again in place: nothing is allocated.
template <typename Node>
void RemoveAt(Node*& nodes, uint16_t& count, NameTable& table, Node* at) {
    if (count < 2) {
        platform::Release(nodes);
        nodes = nullptr;
        count = 0;
        ReleaseTable(table);
        return;
    }
    const size_t index = static_cast<size_t>(at - nodes);
    std::memmove(static_cast<void*>(at), at + 1, sizeof(Node) * (count - index - 1));
    --count;
    if (table.capacity != 0) FillTable(table, nodes, count);
}

}  // namespace

ManufacturerNode* FindManufacturer(const CatalogueIndex& index, const char* name) {
    return FindIn(index.manufacturers, index.manufacturerCount, index.manufacturerTable, name);
}

TypeNode* FindType(const ManufacturerNode& manufacturer, const char* name) {
    return FindIn(manufacturer.types, manufacturer.typeCount, manufacturer.typeTable, name);
}

ModelNode* FindModel(const TypeNode& type, const char* name) {
    return FindIn(type.models, type.modelCount, type.modelTable, name);
}

const ModelNode* FindRecord(const CatalogueIndex& index, const char* manufacturer,
                            const char* type, const char* model) {
    const ManufacturerNode* m = FindManufacturer(index, manufacturer);
    if (m == nullptr) return nullptr;
    const TypeNode* t = FindType(*m, type);
    if (t == nullptr) return nullptr;
    return FindModel(*t, model);
}

uint32_t FindRecordOffset(const CatalogueIndex& index, const char* manufacturer,
                          const char* type, const char* model) {
    const ModelNode* node = FindRecord(index, manufacturer, type, model);
    return node == nullptr ? 0 : node->recordOffset;
}

ManufacturerNode* AppendManufacturer(CatalogueIndex& index, const char* name) {
    return AppendTo(index.manufacturers, index.manufacturerCount, index.manufacturerTable, name);
}

TypeNode* AppendType(ManufacturerNode& manufacturer, const char* name) {
    return AppendTo(manufacturer.types, manufacturer.typeCount, manufacturer.typeTable, name);
}

ModelNode* AppendModel(TypeNode& type, const char* name, uint32_t recordOffset) {
    ModelNode* node = AppendTo(type.models, type.modelCount, type.modelTable, name);
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
        RemoveAt(type->models, type->modelCount, type->modelTable, model);
        return 1;
    }
    platform::Release(type->models);
    ReleaseTable(type->modelTable);
    if (manufacturer->typeCount >= 2) {
        RemoveAt(manufacturer->types, manufacturer->typeCount, manufacturer->typeTable, type);
        return 1;
    }
    platform::Release(manufacturer->types);
    ReleaseTable(manufacturer->typeTable);
    RemoveAt(index.manufacturers, index.manufacturerCount, index.manufacturerTable, manufacturer);
    return 1;
}

void FreeCatalogueIndex(CatalogueIndex& index) {
    for (uint16_t i = 0; i < index.manufacturerCount; ++i) {
        ManufacturerNode& manufacturer = index.manufacturers[i];
        for (uint16_t j = 0; j < manufacturer.typeCount; ++j) {
            platform::Release(manufacturer.types[j].models);
            ReleaseTable(manufacturer.types[j].modelTable);
        }
        platform::Release(manufacturer.types);
        ReleaseTable(manufacturer.typeTable);
    }
    platform::Release(index.manufacturers);
    ReleaseTable(index.manufacturerTable);
    index.manufacturers = nullptr;
    index.manufacturerCount = 0;
}

void ArrangeInFileOrder(CatalogueIndex& index) {
    for (uint16_t i = index.manufacturerCount; i-- > 0;) {
        ManufacturerNode& manufacturer = index.manufacturers[i];
        for (uint16_t j = manufacturer.typeCount; j-- > 0;) {
            TypeNode& type = manufacturer.types[j];
            for (uint16_t k = type.modelCount; k-- > 0;) {
                if (type.models[k].recordOffset == 0) RemoveAt(type.models, type.modelCount, type.modelTable, &type.models[k]);
            }
            if (type.modelCount == 0) RemoveAt(manufacturer.types, manufacturer.typeCount, manufacturer.typeTable, &type);
        }
        if (manufacturer.typeCount == 0) {
            RemoveAt(index.manufacturers, index.manufacturerCount, index.manufacturerTable, &manufacturer);
        }
    }
    // Offsets are unique, so no two nodes compare equal and the sort needs no stability.
    const auto firstModel = [](const TypeNode& type) { return type.models[0].recordOffset; };
    const auto firstRecord = [&](const ManufacturerNode& m) { return firstModel(m.types[0]); };
    const auto refill = [](auto* nodes, uint16_t count, NameTable& table) {
        if (table.capacity != 0) FillTable(table, nodes, count);
    };
    for (uint16_t i = 0; i < index.manufacturerCount; ++i) {
        ManufacturerNode& manufacturer = index.manufacturers[i];
        for (uint16_t j = 0; j < manufacturer.typeCount; ++j) {
            TypeNode& type = manufacturer.types[j];
            const auto earlier = [](const ModelNode& a, const ModelNode& b) { return a.recordOffset < b.recordOffset; };
            if (!std::is_sorted(type.models, type.models + type.modelCount, earlier)) {
                std::sort(type.models, type.models + type.modelCount, earlier);
                refill(type.models, type.modelCount, type.modelTable);
            }
        }
        const auto earlier = [&](const TypeNode& a, const TypeNode& b) { return firstModel(a) < firstModel(b); };
        if (!std::is_sorted(manufacturer.types, manufacturer.types + manufacturer.typeCount, earlier)) {
            std::sort(manufacturer.types, manufacturer.types + manufacturer.typeCount, earlier);
            refill(manufacturer.types, manufacturer.typeCount, manufacturer.typeTable);
        }
    }
    const auto earlier = [&](const ManufacturerNode& a, const ManufacturerNode& b) {
        return firstRecord(a) < firstRecord(b);
    };
    ManufacturerNode* const begin = index.manufacturers;
    ManufacturerNode* const end = begin + index.manufacturerCount;
    if (!std::is_sorted(begin, end, earlier)) {
        std::sort(begin, end, earlier);
        refill(begin, index.manufacturerCount, index.manufacturerTable);
    }
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
