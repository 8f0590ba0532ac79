#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <type_traits>

namespace vyr::str {

// A UTF-16 code unit and string: wchar_t where it is 16 bits wide, char16_t
// elsewhere.
using WideChar = std::conditional_t<sizeof(wchar_t) == 2, wchar_t, char16_t>;
using WideString = std::basic_string<WideChar>;

// The offset of the first byte that breaks UTF-8, or npos when the whole
// text is valid. The offset is that of the lead byte of the first ill-formed
// sequence: a stray continuation byte, a lead byte that never starts a
// sequence (0xC0, 0xC1, 0xF5..0xFF), a truncated sequence, an overlong form,
// an encoded surrogate (U+D800..U+DFFF) or a code point above U+10FFFF.
[[nodiscard]] std::size_t invalidUtf8Offset(std::string_view text) noexcept;

[[nodiscard]] inline bool boIsValidUtf8(std::string_view text) noexcept {
    return invalidUtf8Offset(text) == std::string_view::npos;
}

// Appends the UTF-8 form of one code point (at most U+10FFFF, not a
// surrogate) to `out`.
void vAppendUtf8(std::string& out, char32_t codePoint);

// Throws std::system_error (std::errc::illegal_byte_sequence) when the text
// is not valid UTF-8.
void vValidateUtf8(std::string_view text);

// A path from UTF-8 text, and the UTF-8 text of a path. Both validate and
// throw std::system_error (std::errc::illegal_byte_sequence) on text that is
// not valid UTF-8.
[[nodiscard]] std::filesystem::path pathFromUtf8(std::string_view text);
[[nodiscard]] std::string utf8FromPath(const std::filesystem::path& path);

// The conversions behind utf16FromUtf8 and utf8FromUtf16 below, which are the
// ones to call.
namespace details {

template <class To, class From>
inline constexpr bool kNoUtfConversion = false;

// Only the specialisations below exist. The primary template has a body so
// that the specialisations take the visibility of the library that defines
// them instead of being exported from it.
template <class To, class From>
void vUtfConvertImpl(std::basic_string<To>& /*out*/, std::basic_string_view<From> /*in*/) {
    static_assert(kNoUtfConversion<To, From>, "no UTF conversion between these character types");
}

// Fills the empty `out` with the UTF-16 form of the UTF-8 text. Throws
// std::system_error (std::errc::illegal_byte_sequence) on invalid UTF-8.
template <>
void vUtfConvertImpl<WideChar, char>(WideString& out, std::string_view in);

// Fills the empty `out` with the UTF-8 form of the UTF-16 text. Throws
// std::system_error (std::errc::illegal_byte_sequence) on an unpaired
// surrogate.
template <>
void vUtfConvertImpl<char, char16_t>(std::string& out, std::u16string_view in);

} // namespace details

// The UTF-16 form of UTF-8 text: one code unit per character of the Basic
// Multilingual Plane, a surrogate pair for each character above it. Throws
// std::system_error (std::errc::illegal_byte_sequence) on text that is not
// valid UTF-8.
[[nodiscard]] inline WideString utf16FromUtf8(std::string_view text) {
    WideString result;
    details::vUtfConvertImpl<WideChar, char>(result, text);
    return result;
}

// The UTF-8 form of UTF-16 text, such as the code units of a managed string
// (managed::System::String::view()). Throws std::system_error
// (std::errc::illegal_byte_sequence) on an unpaired surrogate.
[[nodiscard]] inline std::string utf8FromUtf16(std::u16string_view text) {
    std::string result;
    details::vUtfConvertImpl<char, char16_t>(result, text);
    return result;
}

} // namespace vyr::str
