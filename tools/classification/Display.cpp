#include "tools/classification/Display.h"

#include <locale.h>

#include <cstdio>
#include <cwchar>

namespace vyr::tool {

namespace {

// One code point decoded from UTF-8, with the bytes it took; a byte that
// starts no valid sequence is returned alone with code point -1.
struct Decoded {
    long codePoint;
    std::size_t length;
};

Decoded decode(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        return {lead, 1};
    }
    const std::size_t length = lead >= 0xF0 && lead < 0xF5 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 && lead < 0xE0 ? 2 : 0;
    if (length == 0 || at + length > text.size()) {
        return {-1, 1};
    }
    long codePoint = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return {-1, 1};
        }
        codePoint = (codePoint << 6) | (byte(at + i) & 0x3F);
    }
    return {codePoint, length};
}

// The C library knows the width of every character under a UTF-8 locale;
// C.UTF-8 is built into the C library, so it is always there.
int columnsOf(long codePoint) {
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    if (utf8 == static_cast<locale_t>(nullptr)) {
        return 1;
    }
    const locale_t previous = ::uselocale(utf8);
    const int columns = ::wcwidth(static_cast<wchar_t>(codePoint));
    ::uselocale(previous);
    return columns < 0 ? 1 : columns;
}

} // namespace

std::string displayText(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const Decoded decoded = decode(text, at);
        const long c = decoded.codePoint;
        char escape[8] = {};
        if (c == '\t' || c == '\n' || c == '\r') {
            shown += c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r";
        } else if ((c >= 0 && c < 0x20) || c == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned>(c));
            shown += escape;
        } else if (c >= 0x80 && c < 0xA0) {
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
            shown += escape;
        } else {
            shown.append(text.substr(at, decoded.length));
        }
        at += decoded.length;
    }
    return shown;
}

std::size_t displayWidth(std::string_view text) {
    std::size_t width = 0;
    for (std::size_t at = 0; at < text.size();) {
        const Decoded decoded = decode(text, at);
        width += decoded.codePoint < 0 ? 1 : static_cast<std::size_t>(columnsOf(decoded.codePoint));
        at += decoded.length;
    }
    return width;
}

void vPadded(std::ostream& out, std::string_view text, std::size_t width) {
    const std::size_t taken = displayWidth(text);
    out << text << std::string(width > taken ? width - taken : 0, ' ');
}

} // namespace vyr::tool
