#include "bridge/StringConversion.h"

#include <limits>

#include "external/managed/System/ArgumentOutOfRangeException.h"

namespace vyr::str {

WideString to_utfWide(std::string_view sUtf8) { return details::utfConvert<WideChar, char>(sUtf8); }

} // namespace vyr::str

namespace vyr::bridge::details {

std::int32_t managedLengthGet(std::size_t codeUnits) {
    if (codeUnits > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
        throw managed::System::ArgumentOutOfRangeException("Size of string exceeds INT_MAX.");
    }
    return static_cast<std::int32_t>(codeUnits);
}

} // namespace vyr::bridge::details

namespace managed {

template <>
Handle<System::String> marshal_as<Handle<System::String>, std::string>(const std::string& sUtf8) {
    // The whole string, NULs and what follows them included; no terminator
    // is needed.
    const std::string_view view(sUtf8.data(), sUtf8.size());
    // Decoded explicitly as UTF-8, never through a code page. The wide
    // string is released on every way out.
    const ::vyr::str::WideString wide = ::vyr::str::to_utfWide(view);
    const std::int32_t length = ::vyr::bridge::details::managedLengthGet(wide.size());
    return gcnew<System::String>(wide.data(), length);
}

} // namespace managed
