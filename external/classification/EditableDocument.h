#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "external/classification/Mapping.h"

namespace vyr::classification {

// A level file's document kept whole for editing (format:
// docs/file-format.md). Parses the file's bytes once, holds the mapping they
// carry, and writes a changed mapping back by changing only the bytes of
// what differs: comments, processing instructions, unknown attributes and
// elements, text, the declaration, a byte order mark and the layout of
// everything untouched stay byte for byte. A new file is written by
// XmlDocument::boWrite instead. Owns a copy of the bytes and their parsed
// form; thread-compatible. Movable; a moved-from document holds nothing.
class EditableDocument {
public:
    EditableDocument();
    ~EditableDocument();
    EditableDocument(EditableDocument&&) noexcept;
    EditableDocument& operator=(EditableDocument&&) noexcept;
    EditableDocument(const EditableDocument&) = delete;
    EditableDocument& operator=(const EditableDocument&) = delete;

    // Takes the whole file. True exactly when XmlDocument::boRead accepts the
    // same bytes, and then mappingGet() is the mapping it reads. False, with
    // the reason in errorGet() and the earlier document kept, otherwise.
    [[nodiscard]] bool boParse(std::string bytes);

    // The mapping the document holds: as parsed, or as last rendered.
    [[nodiscard]] const Mapping& mappingGet() const noexcept { return mapping_; }

    // Changes the document so that it holds `target` and writes the whole
    // document into `out`. Changes only what differs from mappingGet(): root
    // attributes whose value differs (added when missing), source elements
    // added (at their byte-order place among the existing ones, indented like
    // their neighbours), removed or changed (classified elements added or
    // removed inside them), a relation element created when it is missing.
    // Reading `out` gives exactly `target`; afterwards mappingGet() is
    // `target` and the next call starts from `out`. False, with the document
    // and `out` unchanged and the reason in errorGet(), when no document was
    // parsed, when a text of `target` cannot be stored (as
    // XmlDocument::boWrite refuses it), or when the document holds markup
    // that reading skips but a rewrite could not keep (a processing
    // instruction that is not well-formed).
    [[nodiscard]] bool boRender(const Mapping& target, std::string& out);

    // The reason of the last failure, empty after a success.
    [[nodiscard]] const std::string& errorGet() const noexcept { return error_; }

private:
    struct Parsed;

    [[nodiscard]] bool boParseAgain();

    Mapping mapping_;
    std::string error_;
    std::unique_ptr<Parsed> parsed_;
};

// Whether the bytes of a document that reads as a level file hold exactly
// the mapping: XmlDocument::boRead would read the same texts, flags and
// pairs. Builds no mapping of the bytes: parses them and walks them along
// the mapping, stopping at the first difference. False whenever it cannot
// tell at once, for a document that lists a source id or a classified id
// out of order or twice (which XmlDocument::boWrite never does): the caller
// then compares the long way. Meant for bytes known to read (checks less
// than reading does).
[[nodiscard]] bool boDocumentHolds(std::string_view bytes, const Mapping& mapping);

// Writes into `out` the document with `target` in place of the mapping it
// holds, byte for byte what EditableDocument::boParse(bytes) and then
// boRender(target, out) give, by walking the bytes (twice over the changed
// relation): it keeps no parse of them and builds no mapping, so a large
// document costs little more than its bytes, the result's and a list of its
// source ids. Meant for bytes known to read (checks less
// than reading does). False whenever it cannot tell at once, with `out`
// unspecified: the caller then takes the long way. That is the case for a
// change of the root's attributes or of the second relation, a document
// that lists a source id twice (ids may come in any order), lacks the
// relation element that changes or has it twice, holds a processing
// instruction, or spells an attribute with a raw tab or line break or an
// entity other than XML's own, and for a text the format cannot carry.
[[nodiscard]] bool boDocumentPatch(std::string_view bytes, const Mapping& target, std::string& out);

} // namespace vyr::classification
