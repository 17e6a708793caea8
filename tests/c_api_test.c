/* varnel32.h from plain C: a C program linked against the shared library creates a library,
 * writes, lists, fetches, deletes, compacts and reopens it. It calls through a table that
 * gives every export its exact signature, so that a change to one no longer compiles. */
#include <stdio.h>
#include <string.h>

#include "varnel32.h"

static const struct {
    int32_t(IRCALL *create)(int32_t, const char *, uint32_t);
    LibraryHandle *(IRCALL *open)(int32_t, IRWindow, const char *, uint32_t, uint32_t, uint32_t *);
    void(IRCALL *close)(LibraryHandle *);
    int32_t(IRCALL *isCommand)(LibraryHandle *), (IRCALL *compact)(LibraryHandle *);
    int32_t(IRCALL *filename)(LibraryHandle *, char *);
    int32_t(IRCALL *setExtra)(LibraryHandle *, uint32_t);
    uint16_t(IRCALL *getExtra)(LibraryHandle *);
    NameList *(IRCALL *manufacturers)(LibraryHandle *);
    NameList *(IRCALL *types)(LibraryHandle *, const char *);
    NameList *(IRCALL *models)(LibraryHandle *, const char *, const char *);
    int32_t(IRCALL *exists)(LibraryHandle *, const char *, const char *, const char *);
    RemoteRecord *(IRCALL *fetch)(LibraryHandle *, const char *, const char *, const char *);
    int32_t(IRCALL *write)(LibraryHandle *, const RemoteRecord *);
    int32_t(IRCALL *remove)(LibraryHandle *, const char *, const char *, const char *);
    void(IRCALL *freeManufacturers)(void *), (IRCALL *freeTypes)(void *);
    void(IRCALL *freeModels)(void *), (IRCALL *freeRecord)(void *);
} ir = {
    IRCreateLibrary, IROpenLibrary, IRCloseLibrary, IRIsCommandLibrary, IRCompactLibrary,
    IRGetFilenameFromHandle, IRSetExtraSpaceAmount, IRGetExtraSpaceAmount,
    IRFindAllManufacturers, IRFindAllTypes, IRFindAllModels, IRDoesRemoteRecordExist,
    IRFetchRemoteRecord, IRWriteRemoteRecord, IRDeleteRemoteRecord,
    IRFreeManufacturers, IRFreeTypes, IRFreeModels, IRFreeRemoteRecord,
};

static int failures = 0;
#define CHECK(cond) \
    ((cond) ? (void)0 : (void)(++failures, fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond)))

static void name_field(char *field, const char *text) {
    memset(field, 0, IR_NAME_FIELD_SIZE);
    strncpy(field, text, IR_NAME_FIELD_SIZE - 1);
}

/* A RemoteRecord with one entry of `length` zero data bytes, built byte by byte. */
static const RemoteRecord *build_record(unsigned char *out, const char *model, uint16_t length) {
    memset(out, 0, IR_RECORD_ENTRIES_OFFSET + IR_ENTRY_HEAD_SIZE + length);
    IR_PUT16(out + IR_RECORD_ENTRY_COUNT_OFFSET, 1);
    name_field((char *)out + IR_RECORD_MANUFACTURER_OFFSET, "Acme");
    name_field((char *)out + IR_RECORD_TYPE_OFFSET, "TV");
    name_field((char *)out + IR_RECORD_MODEL_OFFSET, model);
    IR_PUT16(out + IR_RECORD_ENTRIES_OFFSET + IR_ENTRY_DATA_LENGTH_OFFSET, length);
    return (const RemoteRecord *)out;
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "c_api_test.lib";
    unsigned char record[256];
    char m[IR_NAME_FIELD_SIZE], t[IR_NAME_FIELD_SIZE], mo[IR_NAME_FIELD_SIZE], buffer[256];
    uint32_t status = 99;
    LibraryHandle *h;
    NameList *list;
    RemoteRecord *fetched;

    CHECK(ir.create(0, path, 0) == 1);
    h = ir.open(0, NULL, path, IRModeWrite, 0, &status);
    CHECK(h != NULL && status == IROpenOk);
    if (h == NULL) return 1;
    CHECK(ir.isCommand(h) == 0 && ir.getExtra(h) == 1024);
    CHECK(ir.filename(h, buffer) == 1 && strcmp(buffer, path) == 0);
    CHECK(ir.write(h, build_record(record, "X100", 10)) == 1);
    CHECK(ir.setExtra(h, 0) == 1 && ir.write(h, build_record(record, "X200", 3)) == 1);

    CHECK((list = ir.models(h, "acme", "tv")) != NULL && IR_GET16(list) == 2);
    CHECK(list != NULL && strcmp((const char *)list + IR_NAMELIST_NAMES_OFFSET + IR_NAME_FIELD_SIZE, "X200") == 0);
    ir.freeModels(list);
    name_field(m, "ACME");
    name_field(t, "Tv");
    name_field(mo, "x100");
    fetched = ir.fetch(h, m, t, mo);
    CHECK(fetched != NULL && IR_GET16(fetched) == 137);
    CHECK(fetched != NULL && strcmp((const char *)fetched + IR_RECORD_MODEL_OFFSET, "X100") == 0);
    ir.freeRecord(fetched);
    CHECK(ir.remove(h, m, t, mo) == 1 && ir.exists(h, m, t, mo) == 0);
    CHECK(ir.compact(h) == 1);
    ir.close(h);

    /* Reopened read-only; the four IRFree functions release any block. */
    h = ir.open(0, NULL, path, IRModeReadOnly, 0, &status);
    CHECK(h != NULL && status == IROpenOk);
    CHECK((list = ir.manufacturers(h)) != NULL && IR_GET16(list) == 1);
    ir.freeTypes(list);
    CHECK((list = ir.types(h, "acme")) != NULL && IR_GET16(list) == 1);
    ir.freeManufacturers(list);
    ir.close(h);

    if (failures == 0) printf("c_api_cycle: 1 passed, 0 failed\n");
    return failures == 0 ? 0 : 1;
}
