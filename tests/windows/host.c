/* A host program: loads varnel32.dll at run time, resolves all nineteen exports by name with
 * GetProcAddress (decorated standard-call names on 32-bit Windows, plain names on 64-bit) and
 * runs a short cycle through standard-call pointers. Usage: varnel32_host [library-file] */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "varnel32.h"

#if defined(_WIN64)
#define EXPORT_NAME(name, bytes) #name
#else
#define EXPORT_NAME(name, bytes) "_" #name "@" #bytes
#endif

/* The shapes the cycle below calls through. */
typedef int32_t(__stdcall *CreateFn)(int32_t, const char *, uint32_t);
typedef LibraryHandle *(__stdcall *OpenFn)(int32_t, IRWindow, const char *, uint32_t, uint32_t, uint32_t *);
typedef void(__stdcall *CloseFn)(LibraryHandle *);
typedef int32_t(__stdcall *HandleFn)(LibraryHandle *);
typedef NameList *(__stdcall *ListModelsFn)(LibraryHandle *, const char *, const char *);
typedef int32_t(__stdcall *NamesFn)(LibraryHandle *, const char *, const char *, const char *);
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
static int g_failures = 0;
static void Expect(int ok, const char *what) {
    if (!ok) ++g_failures, printf("host: FAILED: %s\n", what);
}

/* The export of that name and argument size, as the generic function pointer type that each
 * call casts to its own. */
#define EXPORT(name, bytes) ((void (*)(void))GetProcAddress(dll, EXPORT_NAME(name, bytes)))

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "varnel32_host.lib";
    HMODULE dll = LoadLibraryA("varnel32.dll");
    unsigned char record[IR_RECORD_ENTRIES_OFFSET];
    const char *m = (char *)record + IR_RECORD_MANUFACTURER_OFFSET, *t = (char *)record + IR_RECORD_TYPE_OFFSET;
    const char *mo = (char *)record + IR_RECORD_MODEL_OFFSET;
    uint32_t status = 99;
    LibraryHandle *h;
    NameList *list;
    int i;
    if (dll == NULL) {
        printf("host: cannot load varnel32.dll (error %lu)\n", (unsigned long)GetLastError());
        return 2;
    }
    for (i = 0; i < 19; ++i) Expect(GetProcAddress(dll, kExportNames[i]) != NULL, kExportNames[i]);
    if (g_failures != 0) return 1;

    /* A short cycle through pointers of each shape; tests/c_api_test.c covers the calls. */
    memset(record, 0, sizeof record);
    strcpy((char *)m, "Acme");
    strcpy((char *)t, "TV");
    strcpy((char *)mo, "X1");
    Expect(((CreateFn)EXPORT(IRCreateLibrary, 12))(0, path, 0) == 1, "create");
    h = ((OpenFn)EXPORT(IROpenLibrary, 24))(0, NULL, path, IRModeWrite, 0, &status);
    Expect(h != NULL && status == IROpenOk, "open for writing");
    if (h == NULL) return 1;
    Expect(((WriteFn)EXPORT(IRWriteRemoteRecord, 8))(h, (const RemoteRecord *)record) == 1, "write");
    list = ((ListModelsFn)EXPORT(IRFindAllModels, 12))(h, "Acme", "TV");
    Expect(list != NULL && IR_GET16(list) == 1, "models");
    ((FreeFn)EXPORT(IRFreeTypes, 4))(list);
    Expect(((NamesFn)EXPORT(IRDeleteRemoteRecord, 16))(h, m, t, mo) == 1, "delete");
    Expect(((HandleFn)EXPORT(IRCompactLibrary, 4))(h) == 1, "compact");
    ((CloseFn)EXPORT(IRCloseLibrary, 4))(h);
    DeleteFileA(path);
    FreeLibrary(dll);
    printf("host: %d names resolved, %s\n", 19, g_failures == 0 ? "all calls worked" : "FAILED");
    return g_failures == 0 ? 0 : 1;
}
