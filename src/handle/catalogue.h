// The catalogue index: the in-memory tree manufacturer -> type -> model -> record offset
// that every open handle owns. Each level is one exact-size array grown one node at a
// time through the allocation layer; siblings keep the order in which they were added,
// and a level of more than a few nodes has a hash table of their positions beside it.
// index/persistence.h loads and saves it; index/queries.cc answers the listing exports from
// it. It lives beside the handle, which holds it by value.
#pragma once

#include <cstdint>

#include "format/blocks.h"

namespace varnel32::index {

using format::Name;

// Positions of a level's nodes by the hash of their names (open addressing, linear
// probing). A slot holds the node's position + 1 in its low 16 bits (0: empty slot) and
// the top 16 bits of the name's hash above them, so that most probes that miss compare
// no name. Kept only for levels of kTableMinimum nodes or more; others are scanned.
struct NameTable {
    uint32_t* slots;
    uint32_t capacity;  // a power of two, at least twice the level's count; 0: no table
};

// The longest first read a fetch makes: longer records take a second one. Beyond this the
// bytes a wrong guess copies cost more than the read it saves.
inline constexpr uint16_t kLongestFirstRead = 16 * 1024;

struct ModelNode {
    Name name;
    // How many bytes a fetch reads first: the distance to the next record where the saved
    // index suggests it (0: unknown). Only a guess, which costs a second read when it is
    // short and a few copied bytes when it is long; it sits in what would be padding.
    uint16_t firstRead;
    uint32_t recordOffset;  // 0: no record
};

struct TypeNode {
    Name name;
    ModelNode* models;
    uint16_t modelCount;
    NameTable modelTable;
};

struct ManufacturerNode {
    Name name;
    TypeNode* types;
    uint16_t typeCount;
    NameTable typeTable;
};

// The root, held by value in the LibraryHandle.
struct CatalogueIndex {
    ManufacturerNode* manufacturers = nullptr;
    uint16_t manufacturerCount = 0;
    NameTable manufacturerTable{nullptr, 0};
};

// Lookups compare names without regard to letter case. A node reference stays valid only
// until the next append to, removal from or release of the array that holds it.
ManufacturerNode* FindManufacturer(const CatalogueIndex& index, const char* name);
TypeNode* FindType(const ManufacturerNode& manufacturer, const char* name);
ModelNode* FindModel(const TypeNode& type, const char* name);
// The model node of the record with these names, or null when there is none.
const ModelNode* FindRecord(const CatalogueIndex& index, const char* manufacturer,
                            const char* type, const char* model);
// The offset of the record with these names, or 0 when there is none.
uint32_t FindRecordOffset(const CatalogueIndex& index, const char* manufacturer,
                          const char* type, const char* model);

ManufacturerNode* AppendManufacturer(CatalogueIndex& index, const char* name);
TypeNode* AppendType(ManufacturerNode& manufacturer, const char* name);
ModelNode* AppendModel(TypeNode& type, const char* name, uint32_t recordOffset);

// Adds the key of `entry` (names and recordOffset; crc ignored). 0 when the model already
// exists (its offset is kept), a name lacks its terminator, the offset is 0, a level is
// full, or memory ran out; levels appended before a failure are not taken back.
int AddIndexEntry(CatalogueIndex& index, const format::IndexEntry& entry);
// Removes the key of `entry`, collapsing a type or manufacturer left without children.
// 0 when the key is not in the tree.
int RemoveIndexEntry(CatalogueIndex& index, const format::IndexEntry& entry);
void FreeCatalogueIndex(CatalogueIndex& index);
// Drops the models whose record offset is 0 and the levels that leaves empty, then puts
// every level in the order in which adding the records in file order would have added its
// nodes: models by record offset, a type or manufacturer by its first model. For a tree
// whose records only moved or went (a compaction): a rebuild gives the same tree when every
// record spells its names as the nodes do.
void ArrangeInFileOrder(CatalogueIndex& index);

// Number of models in the tree, which is the number of index entries a save writes.
uint32_t CountModels(const CatalogueIndex& index);

// An IndexEntry carrying three names and an offset, for AddIndexEntry/RemoveIndexEntry.
format::IndexEntry MakeKey(const Name& manufacturer, const Name& type, const Name& model,
                           uint32_t recordOffset);

}  // namespace varnel32::index
