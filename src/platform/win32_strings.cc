// Name and path comparison on Windows: both through lstrcmpiA, as every other Windows
// program compares them. Windows file names do not distinguish letter case, so two
// spellings of one path are one file and share one read-only handle. lstrcmpiA also folds
// the letters of the user's code page beyond ASCII, as the Windows shell does.
#include <windows.h>

#include "platform/platform.h"

namespace varnel32::platform {

bool NamesEqual(const char* a, const char* b) { return lstrcmpiA(a, b) == 0; }

bool PathsEqual(const char* a, const char* b) { return lstrcmpiA(a, b) == 0; }

// lstrcmpiA may call names equal whose bytes differ in more than ASCII case (letters of
// the user's code page, ligatures), so no hash of the bytes is safe: lookups scan.
bool HashName(const char*, uint32_t&) { return false; }

}  // namespace varnel32::platform
