#pragma once

#include <string>
#include <string_view>

#include "external/classification/Mapping.h"
#include "external/classification/SourceListing.h"

namespace vyr::classification {

// Writes into `out` the document `bytes` patched to hold `target`: the one
// way the store changes a level file that exists (docs/file-format.md,
// "Writing back an edited file"). `bytes` must be a document that
// XmlDocument::boRead accepts; the patch relies on that and checks nothing
// reading checks. It walks the bytes (twice, three times when a source id
// is listed twice), keeps no parse and builds no mapping of them, so a
// large document costs its bytes, the result's and, for a while, a list of
// its source ids.
//
// What differs from `target` is patched in, everything else is copied byte
// for byte (the declaration, a byte order mark, comments, processing
// instructions, text, unknown attributes and elements, references and
// quotes as they were written, the layout): a root attribute whose value
// differs gets the new value in its own quotes, a missing one is added
// after the last attribute; a source whose id the target lacks goes with
// its whole element (every element, when listed twice); a classified id
// that goes leaves every element of its source, a new one joins the
// source's first element; a new source gets a new element at its byte-order
// place among the sources. A document that `target` already describes
// comes back unchanged, so `out == bytes` tells that nothing is to be
// written.
//
// Where a shape cannot keep all its bytes, the smallest element that must
// change is rewritten:
// - a relation that has no element (`relation` or `secondRelation`
//   missing) gets a new element, written whole as XmlDocument::boWrite
//   writes one: there are no bytes to keep;
// - an empty-element tag (`<source id="s"/>`, `<relation/>`, a root
//   `<classification .../>`) that gains its first child is opened, its
//   end tag written new; an element whose last child goes, and which holds
//   nothing else but whitespace, becomes an empty-element tag (" />"), as
//   a new file has it; the whitespace inside it goes with it.
//
// False, with `out` unspecified and the reason in `error`, when a text of
// `target` that would be written cannot be stored (the reason is the one
// XmlDocument::boWrite gives for `target`).
[[nodiscard]] bool boDocumentPatch(std::string_view bytes, const Mapping& target, std::string& out,
                                   std::string& error);

// As boDocumentPatch, when only the source id `sourceId` may have changed:
// every other source element is copied as it is, whatever `target` says of
// it, so `target` need hold, of its relations, only the entries of
// `sourceId` (as XmlDocument::boReadSource reads them); its texts and flags
// are patched in as boDocumentPatch patches them. The source id's elements
// are patched toward its set in `target`, and go when `target` lacks it.
// The document is walked as boDocumentPatch walks it; no mapping of its
// other sources is built or compared.
//
// With `listing` (how reading found these very bytes to list the source
// id, XmlDocument::boReadSource), the walk that learns it is left out. When
// the patch changes only what lies inside the source id's elements (the
// target keeps it exactly where the bytes list it once), it goes straight
// to those elements, after checking that each is there; otherwise it walks
// the bytes once and checks on the way that they list the source id so,
// and walks them again without the listing when they do not. The result is
// what the patch without a listing gives.
[[nodiscard]] bool boDocumentSourcePatch(std::string_view bytes, const Mapping& target, std::string_view sourceId,
                                         std::string& out, std::string& error,
                                         const SourceListing* listing = nullptr);

} // namespace vyr::classification
