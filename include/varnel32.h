/*
 * varnel32.h: the public C interface of varnel32, a store for infrared remote-control
 * data kept in single library files. This header is the whole surface of the library:
 * nineteen functions, the values they take and return, and the byte layouts of the blocks
 * that cross the boundary. docs/file-format.md describes what the library writes to disk.
 *
 * Conventions
 *  1. Handles are opaque. IROpenLibrary returns a LibraryHandle pointer that stays valid
 *     until the IRCloseLibrary that matches it; the caller never looks inside. Read-only
 *     opens of one path with one mode word share a handle, so one IRCloseLibrary is owed
 *     for every successful IROpenLibrary.
 *  2. Failure is reported by the result alone: functions that do work return 1 for success
 *     and 0 for failure, functions that produce data return a new block or NULL, and
 *     IROpenLibrary also writes an IROpenStatus. There is no error text and no last-error
 *     state. Every pointer argument is tested: NULL is answered with the failure value.
 *  3. Blocks returned by the library (NameList, RemoteRecord) belong to the caller from the
 *     moment they are returned, outlive the handle, and are released only with one of the
 *     IRFree functions (all four release any block), never with the caller's own free().
 *  4. Arguments stay the caller's: the library copies what it keeps and holds no pointer
 *     into a caller's buffer after a call returns.
 *  5. Names of manufacturers, types and models are zero-terminated strings of at most 20
 *     characters in fields of IR_NAME_FIELD_SIZE (21) bytes, compared without regard to
 *     the letter case of ASCII letters.
 *  6. Calls on one handle must not overlap, except the listing and existence queries,
 *     which may run side by side with each other. Different handles may be used from
 *     different threads at once.
 *  7. All integers in blocks are little-endian and packed: 16- and 32-bit fields may stand
 *     at odd offsets. Read them with the IR_GET16/IR_GET32 helpers below, not by casting.
 *  8. On 32-bit Windows every function uses the standard-call convention and is exported
 *     under its decorated name (_IROpenLibrary@24 ...), ordinals 1 to 19.
 */
#ifndef VARNEL32_H
#define VARNEL32_H

#include <stdint.h>

#if defined(_WIN32)
#define IRCALL __stdcall
#else
#define IRCALL
#endif

#if defined(VARNEL32_BUILDING) && !defined(_WIN32)
#define IRAPI __attribute__((visibility("default")))
#else
#define IRAPI
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Handles and caller-side blocks ------------------------------------------------ */

typedef struct LibraryHandle LibraryHandle; /* opaque; see convention 1 */
typedef struct NameList NameList;           /* byte image, layout below */
typedef struct RemoteRecord RemoteRecord;   /* byte image, layout below */
typedef void *IRWindow;                     /* a platform window handle (HWND on Windows) */

#define IR_NAME_FIELD_SIZE 21

/* Mode word of IROpenLibrary. */
#define IRModeReadOnly 1u        /* open for reading; other readers may share the file */
#define IRModeWrite 2u           /* open for reading and writing, alone with the file */
#define IRModeRequireInfrared 4u /* the library must be an infrared library */
#define IRModeRequireKind8 8u    /* the library must be of kind 8 */

/* Options of IROpenLibrary. */
#define IROpenOverrideWriteProtection 1u

/* IROpenStatus, written by IROpenLibrary through its last argument. */
typedef uint32_t IROpenStatus;
#define IROpenOk 0u
#define IROpenCannotOpenFile 1u /* missing, inaccessible, or held open by another opener */
#define IROpenBadLibrary 2u     /* not a library, damaged, dirty read-only, or repair failed */
#define IROpenWrongKind 3u      /* the kind that the mode demands is missing */
#define IROpenBadArgument 4u    /* level above 1, no access bit, NULL or overlong path */
#define IROpenOutOfMemory 5u    /* no memory for the handle */
#define IROpenWriteProtected 6u /* write-protected library opened for writing */

/* Kind word of a library file. */
#define IRKindWriteProtected 1u
#define IRKindInfrared 2u
#define IRKindCommand 4u
#define IRKind8 8u

/* kindFlags of IRCreateLibrary. */
#define IRCreateWriteProtected 1u
#define IRCreateCommandLibrary 4u
#define IRCreateKind8 8u

/*
 * NameList: u16 count at offset 0, then count names of 21 bytes each, back to back;
 * name i starts at offset 2 + 21 * i. The block is exactly 2 + 21 * count bytes.
 *
 * RemoteRecord: u16 usedSize at 0 (filled by a fetch, ignored by a write), u16 entryCount
 * at 2, 21-byte manufacturer at 4, type at 25, model at 46, then entryCount RecordEntry
 * items back to back from offset 67.
 *
 * RecordEntry: a 40-byte head followed by its data. Only dataLength (u16 at head offset 3)
 * is interpreted; the library stores and returns every other byte unchanged:
 * u8 at 0, u16 at 1, u16 dataLength at 3, u16 at 5, u8 at 7, u16 at 8, u16 at 10,
 * seven u8 at 12, a 21-byte field at 19; data at 40. The next entry starts at
 * 40 + dataLength. A fetched record ends in 12 + 8 * entryCount zero bytes.
 */
#define IR_NAMELIST_COUNT_OFFSET 0
#define IR_NAMELIST_NAMES_OFFSET 2
#define IR_RECORD_USED_SIZE_OFFSET 0
#define IR_RECORD_ENTRY_COUNT_OFFSET 2
#define IR_RECORD_MANUFACTURER_OFFSET 4
#define IR_RECORD_TYPE_OFFSET 25
#define IR_RECORD_MODEL_OFFSET 46
#define IR_RECORD_ENTRIES_OFFSET 67
#define IR_ENTRY_HEAD_SIZE 40
#define IR_ENTRY_DATA_LENGTH_OFFSET 3
#define IR_ENTRY_NAME_OFFSET 19

/* Little-endian reads and writes of unaligned fields inside caller-side blocks. */
#define IR_GET16(p) \
    ((uint16_t)(((const unsigned char *)(p))[0] | (((const unsigned char *)(p))[1] << 8)))
#define IR_GET32(p)                                                                     \
    ((uint32_t)((const unsigned char *)(p))[0] |                                        \
     ((uint32_t)((const unsigned char *)(p))[1] << 8) |                                 \
     ((uint32_t)((const unsigned char *)(p))[2] << 16) |                                \
     ((uint32_t)((const unsigned char *)(p))[3] << 24))
#define IR_PUT16(p, v)                                                \
    do {                                                              \
        ((unsigned char *)(p))[0] = (unsigned char)((v) & 0xFF);      \
        ((unsigned char *)(p))[1] = (unsigned char)(((v) >> 8) & 0xFF); \
    } while (0)

/* ---- Lifecycle ------------------------------------------------------------------------ */

/* Creates (or replaces) an empty library file at `path`: a 1570-byte header, no records.
 * `level` above 1 is refused; `kindFlags` (low byte) chooses the kind: 4 command, else
 * 8 kind-8, else infrared, plus 1 for write protection. Fails, changing nothing, when the
 * file is held open by anyone. Returns 1 when the whole header was written, else 0.
 * Shows the busy cursor. Leaves nothing open. */
IRAPI int32_t IRCALL IRCreateLibrary(int32_t level, const char *path, uint32_t kindFlags);

/* Opens the library at `path` (at most 255 characters) and returns its handle, or NULL.
 * `mode` needs IRModeReadOnly or IRModeWrite; IRModeReadOnly wins when both are set.
 * `options` bit IROpenOverrideWriteProtection lets IRModeWrite open a write-protected
 * library. `*status` receives an IROpenStatus on every return (a NULL `status` is
 * answered with NULL). A file left dirty by an unfinished session is refused read-only
 * with a message box owned by `ownerWindow`, and repaired when opened for writing after a
 * prompt. The handle belongs to the library; release it with IRCloseLibrary. */
IRAPI LibraryHandle *IRCALL IROpenLibrary(int32_t level, IRWindow ownerWindow, const char *path,
                                          uint32_t mode, uint32_t options, uint32_t *status);

/* Gives up one reference to `library`. The last one saves the catalogue when the handle
 * changed the file, closes the file and frees the handle. NULL does nothing. */
IRAPI void IRCALL IRCloseLibrary(LibraryHandle *library);

/* 1 when the library is not an infrared library (a command or kind-8 library), 0 when it
 * is, and 0 for NULL. */
IRAPI int32_t IRCALL IRIsCommandLibrary(LibraryHandle *library);

/* Copies the handle's path with its terminator into `buffer`, which must hold 256 bytes,
 * and returns 1. A NULL `library` writes one zero byte into `buffer` (when it is not NULL)
 * and returns 0. */
IRAPI int32_t IRCALL IRGetFilenameFromHandle(LibraryHandle *library, char *buffer);

/* Sets the spare bytes that records written through this handle get beyond their used
 * size (low 16 bits of `amount`; 1024 on a new handle). 1, or 0 for NULL. */
IRAPI int32_t IRCALL IRSetExtraSpaceAmount(LibraryHandle *library, uint32_t amount);

/* The handle's extra space, or 0xFFFF for NULL. */
IRAPI uint16_t IRCALL IRGetExtraSpaceAmount(LibraryHandle *library);

/* ---- Catalogue ----------------------------------------------------------------------- */

/* All manufacturers in the order they were first added, as a new NameList (count 0 for an
 * empty library). NULL for a NULL handle or when memory runs out. Caller frees. */
IRAPI NameList *IRCALL IRFindAllManufacturers(LibraryHandle *library);

/* The types of one manufacturer (a zero-terminated name). NULL when the manufacturer is
 * unknown, for NULL arguments, or when memory runs out. Caller frees. */
IRAPI NameList *IRCALL IRFindAllTypes(LibraryHandle *library, const char *manufacturer);

/* The models of one manufacturer and type. NULL when either is unknown, for NULL
 * arguments, or when memory runs out. Caller frees. */
IRAPI NameList *IRCALL IRFindAllModels(LibraryHandle *library, const char *manufacturer,
                                       const char *type);

/* 1 when a record with these names exists. Each name points to a full 21-byte field that
 * holds its terminator. 0 otherwise and for any NULL argument. Reads no file. */
IRAPI int32_t IRCALL IRDoesRemoteRecordExist(LibraryHandle *library, const char *manufacturer,
                                             const char *type, const char *model);

/* Release a block that the library returned (any kind: the four are one routine).
 * NULL does nothing. */
IRAPI void IRCALL IRFreeManufacturers(void *block);
IRAPI void IRCALL IRFreeTypes(void *block);
IRAPI void IRCALL IRFreeModels(void *block);
IRAPI void IRCALL IRFreeRemoteRecord(void *block);

/* ---- Records ------------------------------------------------------------------------- */

/* Stores `record` (a RemoteRecord image, which stays the caller's), replacing a record
 * with the same names. The handle must have been opened with IRModeWrite. Returns 1 when
 * stored, 0 on any failure: NULL arguments, a read-only handle, a name without its
 * terminator, a record whose size with the extra space exceeds 65535 bytes, or a failed
 * read or write. */
IRAPI int32_t IRCALL IRWriteRemoteRecord(LibraryHandle *library, const RemoteRecord *record);

/* Reads one record, verifying every block, into a new RemoteRecord whose length is its
 * usedSize. NULL when the names are unknown, a block is damaged, memory runs out, or an
 * argument is NULL. Names are 21-byte fields. Caller frees with an IRFree function. */
IRAPI RemoteRecord *IRCALL IRFetchRemoteRecord(LibraryHandle *library, const char *manufacturer,
                                               const char *type, const char *model);

/* Deletes one record (IRModeWrite needed). Returns 1 when deleted, 0 for unknown names, a
 * read-only handle, NULL arguments, or a failed read or write. The deletion that fills the
 * 255th free slot compacts the file at once. */
IRAPI int32_t IRCALL IRDeleteRemoteRecord(LibraryHandle *library, const char *manufacturer,
                                          const char *type, const char *model);

/* ---- Maintenance --------------------------------------------------------------------- */

/* Squeezes deleted records out of the file and rewrites its catalogue (IRModeWrite
 * needed). 1 when compacted or nothing to do; 0 for NULL, a read-only handle, or a
 * failure. Shows the busy cursor while it works. */
IRAPI int32_t IRCALL IRCompactLibrary(LibraryHandle *library);

#ifdef __cplusplus
}
#endif

#endif /* VARNEL32_H */
