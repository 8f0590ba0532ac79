#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "external/classification/Mapping.h"
#include "external/classification/SourceListing.h"

namespace vyr::classification {

namespace format {
struct Notes;
} // namespace format

// Reads and writes one Mapping as an XML document (format: docs/file-format.md).
// Binds a reference to the mapping, which must outlive the document; built on
// the stack for each use. Thread-compatible.
class XmlDocument {
public:
    explicit XmlDocument(Mapping& mapping) noexcept : mapping_(mapping) {}

    // Fills the bound mapping from the rest of the stream. True only for a
    // well-formed mapping document whose text is valid UTF-8; on false the
    // mapping is unchanged and errorGet() says what failed and where.
    // A stream in the failed state gives false. Entities other than XML's
    // predefined ones are never expanded: a document type declaration is
    // refused.
    [[nodiscard]] bool boRead(std::istream& stream);
    // The same, and for a document that reads, one line in `notices` for
    // each thing the read passed over, in document order, each
    // "line L, column C: what; expected ...": an element or attribute
    // without a namespace prefix that the format does not know, inside the
    // root, a relation, a source or a classified element (ignored, and kept
    // on write-back; a prefixed one is an extension and passes), a source id
    // listed again in one relation (read as the union of its sets), and,
    // when `expectedId` is not empty, a root id other than it.
    [[nodiscard]] bool boRead(std::istream& stream, std::string_view expectedId, std::vector<std::string>& notices);
    // Reads the document in `bytes` as boRead reads it, checking all of it
    // (on false errorGet() gives the reason boRead would give), but keeps
    // of each relation only the entries of `sourceId`: a question about
    // one source id then costs the parse, not the whole relation. With
    // `listing`, also says there how the document lists the source id, for
    // a patch of these bytes (DocumentPatch.h).
    [[nodiscard]] bool boReadSource(std::string_view bytes, std::string_view sourceId,
                                    SourceListing* listing = nullptr);

    // Writes the complete document to the file at the UTF-8 path through a
    // temporary file in the same folder (named by the platform layer's
    // rule, as the store names its own), synced and renamed over the
    // target, then the folder synced, so a failure never leaves a partial
    // file and never touches an existing one. Replacing a file keeps its
    // owner, group, permission bits and extended attributes. False, with
    // nothing written, when a text of the mapping is not valid UTF-8 or
    // holds a character XML 1.0 cannot represent (a control character other
    // than tab, line feed or carriage return, U+FFFE, U+FFFF). Throws
    // std::system_error when the path is not valid UTF-8.
    [[nodiscard]] bool boWrite(std::string_view path) const;

    // Writes the document at the stream's position and flushes; true when
    // the stream is still good afterwards. False, with nothing written, for
    // a mapping that the format cannot carry (see above).
    bool boWrite(std::ostream& stream) const;

    // Whether the format can carry the text: valid UTF-8 made only of
    // characters XML 1.0 can represent.
    [[nodiscard]] static bool boTextStorable(std::string_view text) noexcept;
    // Why the format cannot carry the text, naming it `what` ("the id is
    // not valid UTF-8 at byte 3 of the value"), or empty when it can.
    [[nodiscard]] static std::string sTextProblemGet(std::string_view text, std::string_view what);

    // The reason of the last failed read or write, empty after a success.
    [[nodiscard]] const std::string& errorGet() const noexcept { return error_; }

private:
    bool boRender(std::string& bytes) const;
    // boRead, noting what it passes over when `notes` is not null.
    bool boReadNoting(std::istream& stream, format::Notes* notes);

    Mapping& mapping_;
    mutable std::string error_;
};

} // namespace vyr::classification
