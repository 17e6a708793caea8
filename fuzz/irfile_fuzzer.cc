// Fuzz target: the input is the text of an .ir file for irlib's parser. Whatever it
// accepts, the writer must give back text that parses to the same file and writes to the
// same text again, so that an import followed by an export loses nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "irfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    irlib::IrFile file;
    std::string error;
    if (!irlib::ParseIrFile(text, file, error)) return 0;
    const std::string written = irlib::WriteIrFile(file);
    irlib::IrFile again;
    if (!irlib::ParseIrFile(written, again, error)) varnel32::fuzz::Broken("written text does not parse");
    if (!(again == file)) varnel32::fuzz::Broken("written text parses to another file");
    if (irlib::WriteIrFile(again) != written) varnel32::fuzz::Broken("writing is not stable");
    return 0;
}
