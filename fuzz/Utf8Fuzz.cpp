// The UTF-8 decoder, both UTF conversions, the path helpers and the check
// that keeps an id inside its level folder, against a reference written
// here from the definition of well-formed UTF-8: each helper accepts exactly
// valid text, reports the offset of the first ill-formed sequence, and what
// it accepts converts back to the same bytes.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "Source/Core/Utilities/Cache/CacheFilesWithLevels.h"
#include "external/str/Utf.h"
#include "fuzz/FuzzCheck.h"

namespace {

using vyr::fuzz::vCheck;
namespace str = vyr::str;

constexpr std::size_t kNone = std::string_view::npos;

// Decodes the text code point by code point; the offset of the lead byte of
// the first sequence that is not well formed, or kNone. codePoints receives
// what was decoded before it.
std::size_t referenceInvalidOffset(std::string_view text, std::u32string& codePoints) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        char32_t codePoint = 0;
        char32_t smallest = 0;
        if (lead < 0x80) {
            length = 1;
            codePoint = lead;
        } else if ((lead & 0xE0U) == 0xC0U) {
            length = 2;
            codePoint = lead & 0x1FU;
            smallest = 0x80;
        } else if ((lead & 0xF0U) == 0xE0U) {
            length = 3;
            codePoint = lead & 0x0FU;
            smallest = 0x800;
        } else if ((lead & 0xF8U) == 0xF0U) {
            length = 4;
            codePoint = lead & 0x07U;
            smallest = 0x10000;
        } else {
            return i;
        }
        if (text.size() - i < length) {
            return i;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0U) != 0x80U) {
                return i;
            }
            codePoint = (codePoint << 6) | (next & 0x3FU);
        }
        if (codePoint < smallest || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return i;
        }
        codePoints.push_back(codePoint);
        i += length;
    }
    return kNone;
}

std::u16string utf16Of(const std::u32string& codePoints) {
    std::u16string units;
    for (const char32_t codePoint : codePoints) {
        if (codePoint < 0x10000) {
            units.push_back(static_cast<char16_t>(codePoint));
        } else {
            units.push_back(static_cast<char16_t>(0xD800 + ((codePoint - 0x10000) >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF)));
        }
    }
    return units;
}

bool boIsIllegalByteSequence(const std::system_error& error) {
    return error.code() == std::errc::illegal_byte_sequence;
}

void vCheckUtf8(std::string_view text) {
    std::u32string codePoints;
    const std::size_t expected = referenceInvalidOffset(text, codePoints);
    const bool valid = expected == kNone;

    vCheck(str::invalidUtf8Offset(text) == expected, "the decoder reports the first ill-formed sequence");
    vCheck(str::boIsValidUtf8(text) == valid, "the decoder accepts exactly valid UTF-8");

    bool thrown = false;
    try {
        str::vValidateUtf8(text);
    } catch (const std::system_error& error) {
        vCheck(boIsIllegalByteSequence(error), "validation throws illegal_byte_sequence");
        thrown = true;
    }
    vCheck(thrown == !valid, "validation throws exactly on invalid UTF-8");

    thrown = false;
    try {
        const std::filesystem::path path = str::pathFromUtf8(text);
        vCheck(path.native() == text, "a path keeps the bytes of its UTF-8 text");
        vCheck(str::utf8FromPath(path) == text, "a path converts back to the same UTF-8 text");
    } catch (const std::system_error& error) {
        vCheck(boIsIllegalByteSequence(error), "pathFromUtf8 throws illegal_byte_sequence");
        thrown = true;
    }
    vCheck(thrown == !valid, "pathFromUtf8 throws exactly on invalid UTF-8");

    thrown = false;
    try {
        str::WideString wide;
        str::details::vUtfConvertImpl<str::WideChar, char>(wide, text);
        vCheck(wide == utf16Of(codePoints), "UTF-8 converts to the expected UTF-16");
        std::string back;
        str::details::vUtfConvertImpl<char, char16_t>(back, wide);
        vCheck(back == text, "UTF-16 made from UTF-8 converts back to the same bytes");
    } catch (const std::system_error& error) {
        vCheck(boIsIllegalByteSequence(error), "the UTF-16 conversion throws illegal_byte_sequence");
        thrown = true;
    }
    vCheck(thrown == !valid, "the UTF-16 conversion throws exactly on invalid UTF-8");
}

// Arbitrary UTF-16: converts exactly when no surrogate is unpaired, and
// converts back to the same code units.
void vCheckUtf16(std::u16string_view units) {
    bool valid = true;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = units[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            valid = false;
            break;
        }
    }
    bool thrown = false;
    try {
        std::string narrow;
        str::details::vUtfConvertImpl<char, char16_t>(narrow, units);
        vCheck(str::boIsValidUtf8(narrow), "UTF-16 converts to valid UTF-8");
        str::WideString back;
        str::details::vUtfConvertImpl<str::WideChar, char>(back, narrow);
        vCheck(back == std::u16string(units), "UTF-8 made from UTF-16 converts back to the same code units");
    } catch (const std::system_error& error) {
        vCheck(boIsIllegalByteSequence(error), "the UTF-8 conversion throws illegal_byte_sequence");
        thrown = true;
    }
    vCheck(thrown == !valid, "the UTF-8 conversion throws exactly on an unpaired surrogate");
}

// An id the store accepts names a file inside the level folder: the folder,
// the id and ".xml" never leave the folder once normalised.
void vCheckIdStaysInFolder(std::string_view id) {
    const bool accepted = vyr::utilities::boIdStaysInFolder(id);
    if (id.empty() || id.find('\0') != kNone) {
        vCheck(!accepted, "an empty id or one with a NUL byte is refused");
    }
    if (!accepted || !str::boIsValidUtf8(id)) {
        return;
    }
    const std::filesystem::path folder = "/level/folder";
    std::filesystem::path file = folder / str::pathFromUtf8(id);
    file += ".xml";
    const std::filesystem::path relative = file.lexically_normal().lexically_relative(folder);
    vCheck(!relative.empty() && relative.is_relative() && *relative.begin() != "..",
           "an accepted id names a file inside its level folder");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vCheckUtf8(text);
    vCheckIdStaysInFolder(text);

    std::u16string units(size / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    vCheckUtf16(units);
    return 0;
}
