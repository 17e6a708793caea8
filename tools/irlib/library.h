// The tool's view of an open library: a thin owner of a LibraryHandle over the public C
// API, with names as std::string, blocks freed on every path, and open failures turned
// into one sentence. Everything the API can do goes through here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "varnel32.h"

namespace irlib {

using NameField = std::array<char, IR_NAME_FIELD_SIZE>;
// A name field holding `name` (cut to 20 bytes) and zeros after it.
NameField ToField(const std::string& name);

class Library {
public:
    enum class Access { Read, Write };

    Library() = default;
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    // Opens `path`; false with `error` set to the reason (without the path). A dirty file is
    // refused for reading; opened for writing it is rebuilt by the library (repaired()).
    bool Open(const std::string& path, Access access, bool overrideProtection,
              std::string& error);
    void Close();
    bool repaired() const { return repaired_; }

    std::vector<std::string> Manufacturers() const;
    // nullopt when the manufacturer (or type) is unknown.
    std::optional<std::vector<std::string>> Types(const std::string& manufacturer) const;
    std::optional<std::vector<std::string>> Models(const std::string& manufacturer,
                                                   const std::string& type) const;
    bool Exists(const std::string& manufacturer, const std::string& type,
                const std::string& model) const;
    // The record as IRFetchRemoteRecord returns it; false when unknown or damaged.
    bool Fetch(const std::string& manufacturer, const std::string& type,
               const std::string& model, std::vector<uint8_t>& image) const;
    bool Write(const std::vector<uint8_t>& image);
    bool Delete(const std::string& manufacturer, const std::string& type,
                const std::string& model);
    bool Compact();
    void SetExtraSpace(uint16_t amount);
    uint16_t ExtraSpace() const;

private:
    LibraryHandle* handle_ = nullptr;
    bool repaired_ = false;
};

// Creates an empty library; false with `error` set when the library refuses.
bool CreateLibraryFile(const std::string& path, uint32_t kindFlags, std::string& error);

// Reads the header below the API: true when the file has a verifying header, with its
// dirty flag and kind.
bool PeekHeader(const std::string& path, bool& dirty, uint32_t& kind);

}  // namespace irlib
