// libFuzzer target: any bytes a server may send as a listing, in both modes.
#include "platform/ftp/ListParser.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (bool mlsd : {false, true}) {
        for (const ftp::FindData& e : ftp::ParseListing(text, mlsd, 1781481600)) {
            // What the parser promises about every entry it returns.
            if (e.safe && (e.name.empty() || e.name == "." || e.name == ".." ||
                           e.name.find_first_of(std::string("/\\\0", 3)) != std::string::npos))
                __builtin_trap();
            if (e.isDots && e.safe)
                __builtin_trap();
        }
    }
    return 0;
}
