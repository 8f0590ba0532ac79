#pragma once

#include <string>
#include <string_view>

#include "external/str/Utf.h"

namespace vyr::tool {

// Why the text cannot be stored in a mapping file, or empty when it can:
// it must be UTF-8 that XML 1.0 can carry.
[[nodiscard]] inline std::string sTextProblemGet(std::string_view text) {
    if (!str::boIsValidUtf8(text)) {
        return "is not valid UTF-8";
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') {
            return "holds a control character that a mapping file cannot carry";
        }
        // U+FFFE and U+FFFF are EF BF BE and EF BF BF.
        if (byte == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
            (static_cast<unsigned char>(text[i + 2]) & 0xFE) == 0xBE) {
            return "holds U+FFFE or U+FFFF, which a mapping file cannot carry";
        }
    }
    return {};
}

} // namespace vyr::tool
