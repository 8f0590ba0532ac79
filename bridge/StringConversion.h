#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "external/managed/MarshalAs.h"
#include "external/managed/Runtime.h"
#include "external/managed/System/String.h"
#include "external/str/Utf.h"

namespace vyr::str {

// The UTF-16 form of the UTF-8 text. Throws std::system_error
// (std::errc::illegal_byte_sequence) on text that is not valid UTF-8.
[[nodiscard]] WideString to_utfWide(std::string_view sUtf8);

namespace details {

// The generic conversion behind to_utfWide: an empty string of the target
// type, filled by vUtfConvertImpl from the source text.
template <class To, class From>
[[nodiscard]] std::basic_string<To> utfConvert(std::basic_string_view<From> sUtfIn) {
    std::basic_string<To> result;
    vUtfConvertImpl<To, From>(result, sUtfIn);
    return result;
}

} // namespace details
} // namespace vyr::str

namespace vyr::bridge::details {

// The signed 32-bit length of a managed string of that many UTF-16 code
// units. More than INT_MAX code units throw the runtime's
// ArgumentOutOfRangeException with the message "Size of string exceeds
// INT_MAX.".
[[nodiscard]] std::int32_t managedLengthGet(std::size_t codeUnits);

} // namespace vyr::bridge::details

namespace managed {

// A managed string from UTF-8 text: every byte of the string counts,
// embedded NULs included. Throws std::system_error on text that is not
// valid UTF-8 and ArgumentOutOfRangeException past INT_MAX code units; no
// partial string is ever made.
template <>
Handle<System::String> marshal_as<Handle<System::String>, std::string>(const std::string& sUtf8);

} // namespace managed
