#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

#include "external/classification/Mapping.h"

namespace vyr::classification {

// Reads and writes one Mapping as an XML document (format: docs/file-format.md).
// Binds a reference to the mapping, which must outlive the document; built on
// the stack for each use. Thread-compatible.
class XmlDocument {
public:
    explicit XmlDocument(Mapping& mapping) noexcept : mapping_(mapping) {}

    // Fills the bound mapping from the whole stream. True only for a
    // well-formed mapping document whose text is valid UTF-8; on false the
    // mapping is unchanged and errorGet() says what failed and where.
    // A stream in the failed state gives false.
    [[nodiscard]] bool boRead(std::istream& stream);

    // Writes the complete document to the file at the UTF-8 path through a
    // temporary file in the same folder renamed over the target, so a failure
    // never leaves a partial file and never touches an existing one.
    [[nodiscard]] bool boWrite(std::string_view utf8Path) const;

    // Writes the document at the stream's position; true when the stream is
    // still good afterwards.
    bool boWrite(std::ostream& stream) const;

    // The reason of the last failed read or write, empty after a success.
    [[nodiscard]] const std::string& errorGet() const noexcept { return error_; }

private:
    Mapping& mapping_;
    mutable std::string error_;
};

} // namespace vyr::classification
