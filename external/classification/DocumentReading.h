#pragma once

// The reading rules of the mapping format (docs/file-format.md), by which
// XmlDocument reads a document into a Mapping and decides whether a file
// reads at all. Internal to the vyr_mapping library; never installed.

#include <pugixml.hpp>

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "external/classification/Mapping.h"
#include "external/classification/SourceListing.h"

namespace vyr::classification::format {

// Names of the format.
inline constexpr const char* kRootName = "classification";
inline constexpr const char* kVersionName = "version";
inline constexpr const char* kVersion = "1";
inline constexpr const char* kFlag1Name = "flag1";
inline constexpr const char* kFlag2Name = "flag2";
inline constexpr const char* kRelationName = "relation";
inline constexpr const char* kSecondRelationName = "secondRelation";
inline constexpr const char* kSourceName = "source";
inline constexpr const char* kClassifiedName = "classified";
inline constexpr const char* kIdName = "id";
inline constexpr const char* kTrue = "true";
inline constexpr const char* kFalse = "false";

// The text attributes of the root and the member each one holds.
struct TextField {
    const char* name;
    std::string Mapping::*member;
};
inline constexpr TextField kTextFields[] = {
    {"id", &Mapping::sId},       {"text2", &Mapping::sText2}, {"text3", &Mapping::sText3},
    {"text4", &Mapping::sText4}, {"text5", &Mapping::sText5}, {"text6", &Mapping::sText6},
    {"text7", &Mapping::sText7},
};

// The parser keeps a doctype node so that it can be refused, the
// declaration so that its encoding and place can be checked, comments so
// that their text can be checked, and (as for a fragment) text outside the
// root element, which it would otherwise skip, so that it can be refused.
inline constexpr unsigned kReadOptions = pugi::parse_default | pugi::parse_doctype | pugi::parse_declaration |
                                         pugi::parse_comments | pugi::parse_fragment;

// The parts one after the other, in one allocation.
[[nodiscard]] std::string joined(std::initializer_list<std::string_view> parts);

// The offset of the first character that XML 1.0 cannot carry, even as a
// character reference, or npos. Expects valid UTF-8.
[[nodiscard]] std::size_t nonXmlCharOffset(std::string_view text) noexcept;

// Whether the format can carry the text: valid UTF-8 made only of
// characters XML 1.0 can represent.
[[nodiscard]] bool boTextStorable(std::string_view text) noexcept;

// Why a text cannot be stored, naming it as `what`; empty when it can.
[[nodiscard]] std::string textProblem(std::string_view text, std::string_view what);
[[nodiscard]] std::string sourceIdProblem(std::string_view relationName, std::string_view source);
[[nodiscard]] std::string classifiedIdProblem(std::string_view relationName, std::string_view source,
                                              std::string_view id);

// The first text of the mapping that the format cannot carry, described, or
// an empty string when every text can be written.
[[nodiscard]] std::string mappingProblem(const Mapping& mapping);

// "line L, column C" of a byte offset of the document: lines end at a line
// feed, a carriage return and line feed pair, or a lone carriage return;
// columns count characters (UTF-8 code points) from 1, a byte order mark
// not included.
[[nodiscard]] std::string positionText(std::string_view document, std::size_t offset);

// What a read passed over in a document that it took, asked for by a
// person who keeps the file: an element or attribute without a namespace
// prefix that the format does not know where the format defines the
// content (inside the root, a relation, a source or a classified element),
// a source id listed again in one relation, and a root id other than
// `expectedId` (when that is not empty). One line each, in document order:
// "line L, column C: what; expected ...". A plain value.
struct Notes {
    std::string_view expectedId;
    std::vector<std::string> lines;
};

// Checks the document's bytes, parses a copy of them (made in `buffer`) and
// `document` with `options`, checks that the document is well-formed where
// the parser is lenient (repeated attributes, '<' in attribute values, text
// outside the root element, "--" in comments, a declaration not at the
// start or not of the form XML 1.0 gives it, a '&' that starts no
// well-formed reference, references to characters XML does not allow, "]]>"
// in text), and reads the mapping into `mapping`. An undeclared entity
// reference ("&name;") is kept as its text. The document's nodes point
// into `buffer`, which must outlive it and stay unchanged. False, with the
// reason and its line and column in `error`, for bytes that are not a
// mapping document. With `notes`, also notes what the read passed over.
// With `onlySource`, each relation of the mapping keeps only that source
// id's entry; the document is checked whole all the same, and `listing`,
// when given, says how the document lists that source id.
[[nodiscard]] bool boParseDocument(std::string_view bytes, std::unique_ptr<char[]>& buffer, unsigned options,
                                   pugi::xml_document& document, Mapping& mapping, std::string& error,
                                   Notes* notes = nullptr, const std::string_view* onlySource = nullptr,
                                   SourceListing* listing = nullptr);

} // namespace vyr::classification::format
