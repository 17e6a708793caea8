/*
 * A minimal host application: loads varnel32.dll at run time, resolves all nineteen exports
 * by name with GetProcAddress (the decorated standard-call names on 32-bit Windows, the
 * plain names on 64-bit), and runs create, open, write, list, fetch, delete and close
 * through standard-call function pointers. Exit status 0 when every step worked.
 * Usage: varnel32_host [library-file]   (default: varnel32_host.lib in the current dir)
 */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "varnel32.h"

#if defined(_WIN64)
#define EXPORT_NAME(name, bytes) #name
#else
#define EXPORT_NAME(name, bytes) "_" #name "@" #bytes
#endif

typedef int32_t(__stdcall *CreateFn)(int32_t, const char *, uint32_t);
typedef LibraryHandle *(__stdcall *OpenFn)(int32_t, IRWindow, const char *, uint32_t, uint32_t,
                                           uint32_t *);
typedef void(__stdcall *CloseFn)(LibraryHandle *);
typedef int32_t(__stdcall *HandleFn)(LibraryHandle *);
typedef int32_t(__stdcall *FilenameFn)(LibraryHandle *, char *);
typedef int32_t(__stdcall *SetExtraFn)(LibraryHandle *, uint32_t);
typedef uint16_t(__stdcall *GetExtraFn)(LibraryHandle *);
typedef NameList *(__stdcall *ListMakersFn)(LibraryHandle *);
typedef NameList *(__stdcall *ListTypesFn)(LibraryHandle *, const char *);
typedef NameList *(__stdcall *ListModelsFn)(LibraryHandle *, const char *, const char *);
typedef int32_t(__stdcall *NamesFn)(LibraryHandle *, const char *, const char *, const char *);
typedef RemoteRecord *(__stdcall *FetchFn)(LibraryHandle *, const char *, const char *,
                                           const char *);
typedef int32_t(__stdcall *WriteFn)(LibraryHandle *, const RemoteRecord *);
typedef void(__stdcall *FreeFn)(void *);

static const char *const kExportNames[19] = {
    EXPORT_NAME(IRCloseLibrary, 4),          EXPORT_NAME(IRCompactLibrary, 4),
    EXPORT_NAME(IRCreateLibrary, 12),        EXPORT_NAME(IRDeleteRemoteRecord, 16),
    EXPORT_NAME(IRDoesRemoteRecordExist, 16), EXPORT_NAME(IRFetchRemoteRecord, 16),
    EXPORT_NAME(IRFindAllManufacturers, 4),  EXPORT_NAME(IRFindAllModels, 12),
    EXPORT_NAME(IRFindAllTypes, 8),          EXPORT_NAME(IRFreeManufacturers, 4),
    EXPORT_NAME(IRFreeModels, 4),            EXPORT_NAME(IRFreeRemoteRecord, 4),
    EXPORT_NAME(IRFreeTypes, 4),             EXPORT_NAME(IRGetExtraSpaceAmount, 4),
    EXPORT_NAME(IRGetFilenameFromHandle, 8), EXPORT_NAME(IRIsCommandLibrary, 4),
    EXPORT_NAME(IROpenLibrary, 24),          EXPORT_NAME(IRSetExtraSpaceAmount, 8),
    EXPORT_NAME(IRWriteRemoteRecord, 8),
};
enum {
    kClose, kCompact, kCreate, kDelete, kExists, kFetch, kMakers, kModels, kTypes,
    kFreeMakers, kFreeModels, kFreeRecord, kFreeTypes, kGetExtra, kFilename, kIsCommand,
    kOpen, kSetExtra, kWrite
};

static int g_failures = 0;
static void Expect(int ok, const char *what) {
    if (!ok) {
        printf("host: FAILED: %s\n", what);
        ++g_failures;
    }
}

static void PutName(void *field, const char *text) {
    memset(field, 0, IR_NAME_FIELD_SIZE);
    memcpy(field, text, strlen(text));
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "varnel32_host.lib";
    HMODULE dll = LoadLibraryA("varnel32.dll");
    /* Kept as the generic function pointer type and cast to each export's type when called. */
    void (*fn[19])(void);
    int i;
    if (dll == NULL) {
        printf("host: cannot load varnel32.dll (error %lu)\n", (unsigned long)GetLastError());
        return 2;
    }
    for (i = 0; i < 19; ++i) {
        fn[i] = (void (*)(void))GetProcAddress(dll, kExportNames[i]);
        if (fn[i] == NULL) {
            printf("host: varnel32.dll lacks %s\n", kExportNames[i]);
            ++g_failures;
        }
    }
    if (g_failures != 0) return 1;
    /* The four release names are one routine. */
    Expect(fn[kFreeMakers] == fn[kFreeModels] && fn[kFreeMakers] == fn[kFreeRecord] &&
               fn[kFreeMakers] == fn[kFreeTypes],
           "the IRFree names resolve to one address");

    {
        unsigned char record[IR_RECORD_ENTRIES_OFFSET + IR_ENTRY_HEAD_SIZE + 8];
        char maker[IR_NAME_FIELD_SIZE], type[IR_NAME_FIELD_SIZE], model[IR_NAME_FIELD_SIZE];
        uint32_t status = 99;
        char name[256];
        LibraryHandle *h;
        NameList *list;
        RemoteRecord *fetched;

        memset(record, 0, sizeof record);
        IR_PUT16(record + IR_RECORD_ENTRY_COUNT_OFFSET, 1);
        PutName(record + IR_RECORD_MANUFACTURER_OFFSET, "Acme");
        PutName(record + IR_RECORD_TYPE_OFFSET, "TV");
        PutName(record + IR_RECORD_MODEL_OFFSET, "X1");
        IR_PUT16(record + IR_RECORD_ENTRIES_OFFSET + IR_ENTRY_DATA_LENGTH_OFFSET, 8);
        memcpy(record + IR_RECORD_ENTRIES_OFFSET + IR_ENTRY_HEAD_SIZE, "\x01\x02\x03\x04power", 8);
        PutName(maker, "acme");
        PutName(type, "tv");
        PutName(model, "x1");

        Expect(((CreateFn)fn[kCreate])(0, path, 0) == 1, "create");
        h = ((OpenFn)fn[kOpen])(0, NULL, path, IRModeWrite, 0, &status);
        Expect(h != NULL && status == IROpenOk, "open for writing");
        if (h == NULL) return 1;
        Expect(((OpenFn)fn[kOpen])(0, NULL, path, IRModeReadOnly, 0, &status) == NULL &&
                   status == IROpenCannotOpenFile,
               "a second open of a file held for writing gets status 1");
        Expect(((GetExtraFn)fn[kGetExtra])(h) == 1024, "extra space of a new handle");
        Expect(((SetExtraFn)fn[kSetExtra])(h, 16) == 1, "set extra space");
        Expect(((HandleFn)fn[kIsCommand])(h) == 0, "an infrared library");
        Expect(((FilenameFn)fn[kFilename])(h, name) == 1 && strcmp(name, path) == 0, "filename");
        Expect(((WriteFn)fn[kWrite])(h, (const RemoteRecord *)record) == 1, "write");
        Expect(((NamesFn)fn[kExists])(h, maker, type, model) == 1, "exists");
        list = ((ListMakersFn)fn[kMakers])(h);
        Expect(list != NULL && IR_GET16(list) == 1, "manufacturers");
        ((FreeFn)fn[kFreeRecord])(list);
        list = ((ListTypesFn)fn[kTypes])(h, "Acme");
        Expect(list != NULL && IR_GET16(list) == 1, "types");
        ((FreeFn)fn[kFreeModels])(list);
        list = ((ListModelsFn)fn[kModels])(h, "Acme", "TV");
        Expect(list != NULL && IR_GET16(list) == 1, "models");
        ((FreeFn)fn[kFreeTypes])(list);
        ((CloseFn)fn[kClose])(h);

        h = ((OpenFn)fn[kOpen])(0, NULL, path, IRModeReadOnly, 0, &status);
        Expect(h != NULL && status == IROpenOk, "reopen read-only");
        if (h == NULL) return 1;
        fetched = ((FetchFn)fn[kFetch])(h, maker, type, model);
        Expect(fetched != NULL &&
                   memcmp((const unsigned char *)fetched + 2, record + 2, sizeof record - 2) == 0,
               "fetch returns the written record");
        ((FreeFn)fn[kFreeMakers])(fetched);
        Expect(((NamesFn)fn[kDelete])(h, maker, type, model) == 0, "no delete through a reader");
        ((CloseFn)fn[kClose])(h);

        h = ((OpenFn)fn[kOpen])(0, NULL, path, IRModeWrite, 0, &status);
        Expect(h != NULL, "reopen for writing");
        if (h == NULL) return 1;
        Expect(((NamesFn)fn[kDelete])(h, maker, type, model) == 1, "delete");
        Expect(((HandleFn)fn[kCompact])(h) == 1, "compact");
        Expect(((NamesFn)fn[kExists])(h, maker, type, model) == 0, "deleted");
        ((CloseFn)fn[kClose])(h);
    }
    DeleteFileA(path);
    FreeLibrary(dll);
    printf("host: %d names resolved, %s\n", 19, g_failures == 0 ? "all calls worked" : "FAILED");
    return g_failures == 0 ? 0 : 1;
}
