// The maintenance export behind the C layer.
#pragma once

#include <cstdint>

#include "library/handle.h"

namespace varnel32::maintenance {

int32_t CompactLibrary(LibraryHandle* handle);

}  // namespace varnel32::maintenance
