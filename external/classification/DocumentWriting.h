#pragma once

// How the mapping format is written (docs/file-format.md): the one escaper
// of attribute values and the one layout of elements, shared by
// XmlDocument, which writes a whole new document, and the patcher, which
// writes new elements into an existing one. Internal to the vyr_mapping
// library; never installed.

#include <set>
#include <string>
#include <string_view>

#include "external/classification/Mapping.h"

namespace vyr::classification::format {

// Appends an attribute value that stands between `quote`s (' or "): '&',
// '<' and that quote become entity references; tab, line feed and
// carriage return become character references, so that reading gives them
// back rather than spaces. Expects a text that boTextStorable accepts.
void vAppendAttributeValue(std::string& out, std::string_view text, char quote);

// An element the writer writes whole: a source with its classified ids, a
// classified id, or a relation element with all of its sources. Points
// into a mapping.
struct NewElement {
    const char* name;
    std::string_view id;
    const std::set<std::string>* classified = nullptr;
    const Mapping::Relation* relation = nullptr;
};

// The lead (whitespace before the element) of a child of an element led by
// `lead`: one `step` deeper when the element starts a line, the same
// otherwise.
[[nodiscard]] std::string innerLeadOf(std::string_view lead, std::string_view step);

// Appends the element, its children each on a line of their own led one
// `step` deeper than `lead`, its end tag led by `lead` (when `lead` starts
// a line). An element without children is an empty-element tag
// (`<source id="s" />`).
void vAppendNewElement(std::string& out, const NewElement& element, std::string_view lead, std::string_view step);

// Appends the whole document of a mapping whose texts mappingProblem()
// accepts: the declaration, the root with every text and flag, both
// relations, indented by two spaces, each line ended by a line feed.
void vAppendDocument(std::string& out, const Mapping& mapping);

} // namespace vyr::classification::format
