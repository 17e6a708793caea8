/* The ABI list: every exported function with its exact signature. This file only compiles
 * when the header still declares each function with these argument and result types, so a
 * change to the public signatures cannot slip through unnoticed. Built for every target. */
#include "varnel32.h"

typedef int32_t(IRCALL *CreateFn)(int32_t, const char *, uint32_t);
typedef LibraryHandle *(IRCALL *OpenFn)(int32_t, IRWindow, const char *, uint32_t, uint32_t, uint32_t *);
typedef void(IRCALL *CloseFn)(LibraryHandle *);
typedef int32_t(IRCALL *HandleFn)(LibraryHandle *);
typedef int32_t(IRCALL *FilenameFn)(LibraryHandle *, char *);
typedef int32_t(IRCALL *SetExtraFn)(LibraryHandle *, uint32_t);
typedef uint16_t(IRCALL *GetExtraFn)(LibraryHandle *);
typedef NameList *(IRCALL *ListAllFn)(LibraryHandle *);
typedef NameList *(IRCALL *ListTypesFn)(LibraryHandle *, const char *);
typedef NameList *(IRCALL *ListModelsFn)(LibraryHandle *, const char *, const char *);
typedef int32_t(IRCALL *NamesFn)(LibraryHandle *, const char *, const char *, const char *);
typedef RemoteRecord *(IRCALL *FetchFn)(LibraryHandle *, const char *, const char *, const char *);
typedef int32_t(IRCALL *WriteFn)(LibraryHandle *, const RemoteRecord *);
typedef void(IRCALL *FreeFn)(void *);

struct AbiList {
    CreateFn create;
    OpenFn open;
    CloseFn close;
    HandleFn isCommand;
    FilenameFn filename;
    SetExtraFn setExtra;
    GetExtraFn getExtra;
    ListAllFn manufacturers;
    ListTypesFn types;
    ListModelsFn models;
    NamesFn exists;
    FetchFn fetch;
    WriteFn write;
    NamesFn remove;
    HandleFn compact;
    FreeFn freeManufacturers, freeTypes, freeModels, freeRecord;
};

const struct AbiList varnel32_abi_list = {
    IRCreateLibrary, IROpenLibrary, IRCloseLibrary, IRIsCommandLibrary,
    IRGetFilenameFromHandle, IRSetExtraSpaceAmount, IRGetExtraSpaceAmount,
    IRFindAllManufacturers, IRFindAllTypes, IRFindAllModels, IRDoesRemoteRecordExist,
    IRFetchRemoteRecord, IRWriteRemoteRecord, IRDeleteRemoteRecord, IRCompactLibrary,
    IRFreeManufacturers, IRFreeTypes, IRFreeModels, IRFreeRemoteRecord,
};
