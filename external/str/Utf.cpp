#include "external/str/Utf.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>

namespace vyr::str {
namespace {

// Length of the leading run of ASCII bytes, eight bytes at a time where it can.
std::size_t asciiPrefixLength(std::string_view text) noexcept {
    const char* const data = text.data();
    const std::size_t size = text.size();
    std::size_t offset = 0;
    for (; offset + sizeof(std::uint64_t) <= size; offset += sizeof(std::uint64_t)) {
        std::uint64_t word;
        std::memcpy(&word, data + offset, sizeof word);
        if ((word & 0x8080808080808080ULL) != 0) {
            break;
        }
    }
    while (offset < size && static_cast<unsigned char>(data[offset]) < 0x80) {
        ++offset;
    }
    return offset;
}

// Decodes the multi-byte sequence that starts at text[offset] (a byte of 0x80
// or above). Returns its length and sets codePoint, or returns 0 when the
// sequence is ill-formed: a continuation byte or 0xC0, 0xC1, 0xF5..0xFF as
// lead byte, a sequence cut short, an overlong form, an encoded surrogate or
// a code point above U+10FFFF.
std::size_t decodeSequence(std::string_view text, std::size_t offset, char32_t& codePoint) noexcept {
    const auto byteAt = [&text](std::size_t index) { return static_cast<unsigned char>(text[index]); };
    const unsigned char lead = byteAt(offset);

    std::size_t length = 0;
    // The range the second byte must fall in; it is narrower than 0x80..0xBF
    // after the lead bytes where overlong forms, surrogates or code points
    // past U+10FFFF would otherwise start.
    unsigned char secondMin = 0x80;
    unsigned char secondMax = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1FU;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0FU;
        if (lead == 0xE0) {
            secondMin = 0xA0;
        } else if (lead == 0xED) {
            secondMax = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07U;
        if (lead == 0xF0) {
            secondMin = 0x90;
        } else if (lead == 0xF4) {
            secondMax = 0x8F;
        }
    } else {
        return 0;
    }
    if (text.size() - offset < length) {
        return 0;
    }
    const unsigned char second = byteAt(offset + 1);
    if (second < secondMin || second > secondMax) {
        return 0;
    }
    codePoint = (codePoint << 6) | (second & 0x3FU);
    for (std::size_t index = 2; index < length; ++index) {
        const unsigned char next = byteAt(offset + index);
        if ((next & 0xC0U) != 0x80U) {
            return 0;
        }
        codePoint = (codePoint << 6) | (next & 0x3FU);
    }
    return length;
}

[[noreturn]] void vThrowInvalidUtf8(std::size_t offset) {
    throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence),
                            "invalid UTF-8 at byte " + std::to_string(offset));
}

[[noreturn]] void vThrowInvalidUtf16(std::size_t offset) {
    throw std::system_error(std::make_error_code(std::errc::illegal_byte_sequence),
                            "unpaired UTF-16 surrogate at code unit " + std::to_string(offset));
}

} // namespace

std::size_t invalidUtf8Offset(std::string_view text) noexcept {
    std::size_t offset = asciiPrefixLength(text);
    while (offset < text.size()) {
        if (static_cast<unsigned char>(text[offset]) < 0x80) {
            ++offset;
            continue;
        }
        char32_t codePoint = 0;
        const std::size_t length = decodeSequence(text, offset, codePoint);
        if (length == 0) {
            return offset;
        }
        offset += length;
    }
    return std::string_view::npos;
}

void vAppendUtf8(std::string& out, char32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

void vValidateUtf8(std::string_view text) {
    const std::size_t offset = invalidUtf8Offset(text);
    if (offset != std::string_view::npos) {
        vThrowInvalidUtf8(offset);
    }
}

std::filesystem::path pathFromUtf8(std::string_view text) {
    vValidateUtf8(text);
    // A char8_t source is taken as UTF-8 on every platform: the bytes as they
    // are where narrow paths are bytes, converted where paths are wide.
    return std::filesystem::path(std::u8string_view(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

std::string utf8FromPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    std::string result(reinterpret_cast<const char*>(text.data()), text.size());
    // Where narrow paths are bytes nothing has checked them yet.
    vValidateUtf8(result);
    return result;
}

namespace details {

template <>
void vUtfConvertImpl<WideChar, char>(WideString& out, std::string_view in) {
    out.clear();
    std::size_t offset = asciiPrefixLength(in);
    // Plain ASCII, the common case: one code unit per byte.
    out.assign(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(offset));
    if (offset == in.size()) {
        return;
    }
    // A UTF-16 form never has more code units than the UTF-8 form has bytes.
    out.reserve(in.size());
    while (offset < in.size()) {
        const auto lead = static_cast<unsigned char>(in[offset]);
        if (lead < 0x80) {
            out.push_back(static_cast<WideChar>(lead));
            ++offset;
            continue;
        }
        char32_t codePoint = 0;
        const std::size_t length = decodeSequence(in, offset, codePoint);
        if (length == 0) {
            out.clear();
            vThrowInvalidUtf8(offset);
        }
        if (codePoint < 0x10000) {
            out.push_back(static_cast<WideChar>(codePoint));
        } else {
            const char32_t above = codePoint - 0x10000;
            out.push_back(static_cast<WideChar>(0xD800 + (above >> 10)));
            out.push_back(static_cast<WideChar>(0xDC00 + (above & 0x3FF)));
        }
        offset += length;
    }
}

template <>
void vUtfConvertImpl<char, char16_t>(std::string& out, std::u16string_view in) {
    out.clear();
    out.reserve(in.size());
    for (std::size_t index = 0; index < in.size(); ++index) {
        char32_t codePoint = in[index];
        if (codePoint >= 0xD800 && codePoint <= 0xDFFF) {
            const bool boHighWithLow = codePoint <= 0xDBFF && index + 1 < in.size() && in[index + 1] >= 0xDC00 &&
                                       in[index + 1] <= 0xDFFF;
            if (!boHighWithLow) {
                out.clear();
                vThrowInvalidUtf16(index);
            }
            codePoint = 0x10000 + ((codePoint - 0xD800) << 10) + (in[index + 1] - 0xDC00);
            ++index;
        }
        vAppendUtf8(out, codePoint);
    }
}

} // namespace details
} // namespace vyr::str
