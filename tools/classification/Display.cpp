#include "tools/classification/Display.h"

#include <locale.h>

#include <cstdio>
#include <cwchar>

namespace vyr::tool {

namespace {

// Calls visit(code point, its bytes) for each code point of the UTF-8 text,
// with -1 for a byte that starts no valid sequence. Decodes under C.UTF-8
// (built into the C library, so always there), which the visit runs under
// too, whatever the process's locale.
template <class Visit>
void vDecode(std::string_view text, Visit visit) {
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    const locale_t previous = ::uselocale(utf8);
    std::mbstate_t state{};
    for (std::size_t at = 0; at < text.size();) {
        wchar_t c = 0;
        const std::size_t length = std::mbrtowc(&c, text.data() + at, text.size() - at, &state);
        const bool boValid = length != 0 && length <= text.size() - at;
        state = boValid ? state : std::mbstate_t{};
        visit(boValid ? static_cast<long>(c) : (length == 0 ? 0L : -1L), text.substr(at, boValid ? length : 1));
        at += boValid ? length : 1;
    }
    ::uselocale(previous);
}

} // namespace

std::string displayText(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    vDecode(text, [&](long c, std::string_view bytes) {
        char escape[8] = {};
        if (c == '\t' || c == '\n' || c == '\r') {
            shown += c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r";
        } else if ((c >= 0 && c < 0x20) || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
            std::snprintf(escape, sizeof escape, c < 0x80 ? "\\x%02X" : "\\u%04X", static_cast<unsigned>(c));
            shown += escape;
        } else {
            shown.append(bytes);
        }
    });
    return shown;
}

std::size_t displayWidth(std::string_view text) {
    std::size_t width = 0;
    vDecode(text, [&](long c, std::string_view) {
        const int columns = c < 0 ? 1 : ::wcwidth(static_cast<wchar_t>(c));
        width += columns < 0 ? 1 : static_cast<std::size_t>(columns);
    });
    return width;
}

void vPadded(std::ostream& out, std::string_view text, std::size_t width) {
    const std::size_t taken = displayWidth(text);
    out << text << std::string(width > taken ? width - taken : 0, ' ');
}

} // namespace vyr::tool
