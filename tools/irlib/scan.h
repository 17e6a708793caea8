// Reading a library file below the API, for check, dump, salvage and stats: the whole file
// in memory, judged and walked by the library's own checker (maintenance/check.h), whose
// names irlib uses as its own.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "format/blocks.h"
#include "maintenance/check.h"

namespace irlib {

namespace fmt = varnel32::format;
using varnel32::check::BlockCheck;
using varnel32::check::CheckBlock;
using varnel32::check::EntryScan;
using varnel32::check::ExtentScan;
using varnel32::check::FieldText;
using varnel32::check::Hex32;
using varnel32::check::SameName;
using varnel32::check::Unreadable;
using varnel32::check::Violation;
using varnel32::check::Walk;
using varnel32::check::WalkExtents;

bool LoadFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);
// A journal beside `path` whose header verifies: a changing call was cut short, and the
// next open for writing undoes it (reading the file through the API is refused until then).
bool HotJournalBeside(const std::string& path);
// LoadFile, then the header: false with `error` set when the file cannot be read or its
// header does not verify; otherwise `header` holds the decoded header.
bool LoadLibraryFile(const std::string& path, std::vector<uint8_t>& bytes,
                     fmt::LibraryHeader& header, std::string& error);

// The RemoteRecord image of a live extent, from the entries that verified.
std::vector<uint8_t> RecordImage(std::span<const uint8_t> file, const ExtentScan& extent);

std::string KindText(uint32_t kind);

}  // namespace irlib
