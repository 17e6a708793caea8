/* Proves that varnel32.h is usable from plain C: a C program linked against the shared
 * library creates a library, writes, lists, fetches, deletes, compacts and reopens it. */
#include <stdio.h>
#include <string.h>

#include "varnel32.h"

static int failures = 0;
#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                               \
        }                                                             \
    } while (0)

static void name_field(char field[IR_NAME_FIELD_SIZE], const char *text) {
    memset(field, 0, IR_NAME_FIELD_SIZE);
    strncpy(field, text, IR_NAME_FIELD_SIZE - 1);
}

/* A RemoteRecord with one entry of `length` data bytes, built byte by byte. */
static size_t build_record(unsigned char *out, const char *m, const char *t, const char *mo,
                           uint16_t length) {
    size_t i;
    memset(out, 0, IR_RECORD_ENTRIES_OFFSET + IR_ENTRY_HEAD_SIZE + length);
    IR_PUT16(out + IR_RECORD_ENTRY_COUNT_OFFSET, 1);
    name_field((char *)out + IR_RECORD_MANUFACTURER_OFFSET, m);
    name_field((char *)out + IR_RECORD_TYPE_OFFSET, t);
    name_field((char *)out + IR_RECORD_MODEL_OFFSET, mo);
    out[IR_RECORD_ENTRIES_OFFSET] = 0x5A;
    IR_PUT16(out + IR_RECORD_ENTRIES_OFFSET + IR_ENTRY_DATA_LENGTH_OFFSET, length);
    for (i = 0; i < length; ++i) out[IR_RECORD_ENTRIES_OFFSET + IR_ENTRY_HEAD_SIZE + i] = (unsigned char)i;
    return IR_RECORD_ENTRIES_OFFSET + IR_ENTRY_HEAD_SIZE + length;
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "c_api_test.lib";
    unsigned char record[256];
    char m[IR_NAME_FIELD_SIZE], t[IR_NAME_FIELD_SIZE], mo[IR_NAME_FIELD_SIZE];
    char buffer[256];
    uint32_t status = 99;
    LibraryHandle *h;
    NameList *list;
    RemoteRecord *fetched;

    CHECK(IRCreateLibrary(0, path, 0) == 1);
    h = IROpenLibrary(0, NULL, path, IRModeWrite, 0, &status);
    CHECK(h != NULL && status == IROpenOk);
    if (h == NULL) return 1;
    CHECK(IRIsCommandLibrary(h) == 0);
    CHECK(IRGetExtraSpaceAmount(h) == 1024);
    CHECK(IRGetFilenameFromHandle(h, buffer) == 1 && strcmp(buffer, path) == 0);

    build_record(record, "Acme", "TV", "X100", 10);
    CHECK(IRWriteRemoteRecord(h, (const RemoteRecord *)record) == 1);
    build_record(record, "Acme", "TV", "X200", 3);
    CHECK(IRWriteRemoteRecord(h, (const RemoteRecord *)record) == 1);

    list = IRFindAllModels(h, "acme", "tv");
    CHECK(list != NULL && IR_GET16(list) == 2);
    CHECK(list != NULL && strcmp((const char *)list + IR_NAMELIST_NAMES_OFFSET + IR_NAME_FIELD_SIZE, "X200") == 0);
    IRFreeModels(list);

    name_field(m, "ACME");
    name_field(t, "Tv");
    name_field(mo, "x100");
    fetched = IRFetchRemoteRecord(h, m, t, mo);
    CHECK(fetched != NULL);
    if (fetched != NULL) {
        const unsigned char *p = (const unsigned char *)fetched;
        CHECK(IR_GET16(p) == 137);
        CHECK(IR_GET16(p + IR_RECORD_ENTRY_COUNT_OFFSET) == 1);
        CHECK(strcmp((const char *)p + IR_RECORD_MODEL_OFFSET, "X100") == 0);
        CHECK(p[IR_RECORD_ENTRIES_OFFSET + IR_ENTRY_HEAD_SIZE + 9] == 9);
    }
    IRFreeRemoteRecord(fetched);

    CHECK(IRDeleteRemoteRecord(h, m, t, mo) == 1);
    CHECK(IRDoesRemoteRecordExist(h, m, t, mo) == 0);
    CHECK(IRCompactLibrary(h) == 1);
    IRCloseLibrary(h);

    h = IROpenLibrary(0, NULL, path, IRModeReadOnly, 0, &status);
    CHECK(h != NULL && status == IROpenOk);
    list = IRFindAllManufacturers(h);
    CHECK(list != NULL && IR_GET16(list) == 1);
    IRFreeTypes(list);
    name_field(mo, "X200");
    CHECK(IRDoesRemoteRecordExist(h, m, t, mo) == 1);
    IRCloseLibrary(h);

    if (failures == 0) printf("c_api_cycle: 1 passed, 0 failed\n");
    return failures == 0 ? 0 : 1;
}
