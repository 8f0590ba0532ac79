#include "external/classification/XmlDocument.h"

#include <pugixml.hpp>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <istream>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <tuple>
#include <utility>

#include "Source/Core/Utilities/Cache/FileNames.h"
#include "external/platform/FileSystem.h"
#include "external/str/Utf.h"

namespace vyr::classification {
namespace {

// Names of the format (docs/file-format.md).
constexpr const char* kRootName = "classification";
constexpr const char* kVersionName = "version";
constexpr const char* kVersion = "1";
constexpr const char* kFlag1Name = "flag1";
constexpr const char* kFlag2Name = "flag2";
constexpr const char* kRelationName = "relation";
constexpr const char* kSecondRelationName = "secondRelation";
constexpr const char* kSourceName = "source";
constexpr const char* kClassifiedName = "classified";
constexpr const char* kIdName = "id";
constexpr const char* kTrue = "true";
constexpr const char* kFalse = "false";

// The text attributes of the root and the member each one holds.
struct TextField {
    const char* name;
    std::string Mapping::*member;
};
constexpr TextField kTextFields[] = {
    {"id", &Mapping::sId},       {"text2", &Mapping::sText2}, {"text3", &Mapping::sText3},
    {"text4", &Mapping::sText4}, {"text5", &Mapping::sText5}, {"text6", &Mapping::sText6},
    {"text7", &Mapping::sText7},
};

// The document is parsed in place; a doctype node is kept so that it can be
// refused, and the declaration so that its encoding can be checked.
constexpr unsigned kParseOptions = pugi::parse_default | pugi::parse_doctype | pugi::parse_declaration;
constexpr const char* kIndent = "  ";
constexpr unsigned kFormatOptions = pugi::format_indent;

// True when one of the eight bytes of `word` is below 0x20 or is 0xEF, the
// first byte of U+FFFE and U+FFFF; lets the scan below skip plain text eight
// bytes at a time.
constexpr bool boMayHoldNonXmlChar(std::uint64_t word) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    const std::uint64_t below20 = (word - kOnes * 0x20) & ~word & kHighs;
    const std::uint64_t flipped = word ^ (kOnes * 0xEF);
    const std::uint64_t isEf = (flipped - kOnes) & ~flipped & kHighs;
    return (below20 | isEf) != 0;
}

// The offset of the first character that XML 1.0 cannot carry, even as a
// character reference: C0 controls other than tab, line feed and carriage
// return, and the non-characters U+FFFE and U+FFFF. npos when there is none.
// Expects valid UTF-8.
std::size_t nonXmlCharOffset(std::string_view text) noexcept {
    const auto* const bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        if (size - i >= sizeof(std::uint64_t)) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i, sizeof word);
            if (!boMayHoldNonXmlChar(word)) {
                i += sizeof word;
                continue;
            }
        }
        const unsigned char c = bytes[i];
        if (c < 0x20) {
            if (c != '\t' && c != '\n' && c != '\r') {
                return i;
            }
        } else if (c == 0xEF && i + 2 < size && bytes[i + 1] == 0xBF && (bytes[i + 2] & 0xFE) == 0xBE) {
            return i;
        }
        ++i;
    }
    return std::string_view::npos;
}

// The offset of the first character reference to U+0000 ("&#0;", "&#x00;"),
// or npos. The parser would decode it into a terminator and silently cut the
// value short, so the raw text is checked before parsing.
std::size_t nulReferenceOffset(std::string_view text) noexcept {
    for (std::size_t at = text.find("&#"); at != std::string_view::npos; at = text.find("&#", at + 2)) {
        std::size_t i = at + 2;
        if (i < text.size() && (text[i] == 'x' || text[i] == 'X')) {
            ++i;
        }
        const std::size_t digits = i;
        while (i < text.size() && text[i] == '0') {
            ++i;
        }
        if (i > digits && i < text.size() && text[i] == ';') {
            return at;
        }
    }
    return std::string_view::npos;
}

// Why a text cannot be written or was not read, or an empty string when it
// is valid UTF-8 made of characters XML can carry.
std::string textProblem(std::string_view text, std::string_view what) {
    if (const std::size_t bad = str::invalidUtf8Offset(text); bad != std::string_view::npos) {
        return std::string(what) + " is not valid UTF-8 at byte " + std::to_string(bad) + " of the value";
    }
    if (const std::size_t bad = nonXmlCharOffset(text); bad != std::string_view::npos) {
        return std::string(what) + " holds a character that XML 1.0 cannot represent at byte " +
               std::to_string(bad) + " of the value";
    }
    return {};
}

std::string describeSource(std::string_view relationName, std::string_view sourceId) {
    std::string what(relationName);
    what += " source '";
    what += sourceId;
    what += '\'';
    return what;
}

std::string relationProblem(const Mapping::Relation& relation, std::string_view relationName) {
    for (const auto& [source, classified] : relation) {
        if (std::string problem = textProblem(source, std::string(relationName) + " source id"); !problem.empty()) {
            return problem;
        }
        for (const std::string& id : classified) {
            if (std::string problem = textProblem(id, "classified id of " + describeSource(relationName, source));
                !problem.empty()) {
                return problem;
            }
        }
    }
    return {};
}

// The first text of the mapping that the format cannot carry, described, or
// an empty string when every text can be written.
std::string mappingProblem(const Mapping& mapping) {
    for (const TextField& field : kTextFields) {
        if (std::string problem = textProblem(mapping.*field.member, field.name); !problem.empty()) {
            return problem;
        }
    }
    if (std::string problem = relationProblem(mapping.sourceToClassified, kRelationName); !problem.empty()) {
        return problem;
    }
    return relationProblem(mapping.secondRelation, kSecondRelationName);
}

void vAppendRelation(pugi::xml_node parent, const char* name, const Mapping::Relation& relation) {
    pugi::xml_node relationNode = parent.append_child(name);
    for (const auto& [source, classified] : relation) {
        pugi::xml_node sourceNode = relationNode.append_child(kSourceName);
        sourceNode.append_attribute(kIdName).set_value(source.data(), source.size());
        for (const std::string& id : classified) {
            sourceNode.append_child(kClassifiedName).append_attribute(kIdName).set_value(id.data(), id.size());
        }
    }
}

// The whole document of a mapping whose texts passed mappingProblem().
void vBuildDocument(const Mapping& mapping, pugi::xml_document& document) {
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version").set_value("1.0");
    declaration.append_attribute("encoding").set_value("UTF-8");

    pugi::xml_node root = document.append_child(kRootName);
    root.append_attribute(kVersionName).set_value(kVersion);
    for (const TextField& field : kTextFields) {
        const std::string& text = mapping.*field.member;
        root.append_attribute(field.name).set_value(text.data(), text.size());
    }
    root.append_attribute(kFlag1Name).set_value(mapping.boFlag1 ? kTrue : kFalse);
    root.append_attribute(kFlag2Name).set_value(mapping.boFlag2 ? kTrue : kFalse);
    vAppendRelation(root, kRelationName, mapping.sourceToClassified);
    vAppendRelation(root, kSecondRelationName, mapping.secondRelation);
}

// Reads the known structure of a parsed document into a mapping. Walks only
// root -> relation -> source -> classified, so arbitrarily deep nesting
// elsewhere costs nothing. Attribute values point into the parse buffer,
// which gives the offsets named in the reasons. Points at the buffer without
// owning it, owns the reason of a failure; thread-compatible.
class DocumentReader {
public:
    explicit DocumentReader(std::string_view buffer) noexcept : buffer_(buffer) {}

    bool boRead(const pugi::xml_document& document, Mapping& mapping) {
        int elements = 0;
        for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling()) {
            if (node.type() == pugi::node_element && ++elements > 1) {
                return boFail("more than one root element", node.name());
            }
            if (node.type() == pugi::node_doctype) {
                return boFail("document type declarations are not accepted", node.value());
            }
            if (node.type() == pugi::node_declaration) {
                const pugi::xml_attribute encoding = node.attribute("encoding");
                if (encoding && !boIsUtf8Name(encoding.value())) {
                    return boFail(std::string("unsupported encoding '") + encoding.value() + "', expected UTF-8",
                                  encoding.value());
                }
            }
        }
        const pugi::xml_node root = document.document_element();
        if (std::strcmp(root.name(), kRootName) != 0) {
            return boFail(std::string("root element is '") + root.name() + "', expected '" + kRootName + "'",
                          root.name());
        }
        const pugi::xml_attribute version = root.attribute(kVersionName);
        if (!version) {
            return boFail("the root element has no version", root.name());
        }
        if (std::strcmp(version.value(), kVersion) != 0) {
            return boFail(std::string("unsupported version '") + version.value() + "'", version.value());
        }
        for (const TextField& field : kTextFields) {
            const pugi::xml_attribute attribute = root.attribute(field.name);
            if (attribute && !boTakeText(attribute.value(), field.name, mapping.*field.member)) {
                return false;
            }
        }
        if (!boReadFlag(root, kFlag1Name, mapping.boFlag1) || !boReadFlag(root, kFlag2Name, mapping.boFlag2)) {
            return false;
        }
        for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling()) {
            if (child.type() != pugi::node_element) {
                continue;
            }
            if (std::strcmp(child.name(), kRelationName) == 0) {
                if (!boReadRelation(child, mapping.sourceToClassified)) {
                    return false;
                }
            } else if (std::strcmp(child.name(), kSecondRelationName) == 0) {
                if (!boReadRelation(child, mapping.secondRelation)) {
                    return false;
                }
            }
        }
        return true;
    }

    [[nodiscard]] std::string errorTake() { return std::move(error_); }

private:
    static bool boIsUtf8Name(std::string_view name) noexcept {
        constexpr std::string_view kUtf8 = "utf-8";
        if (name.size() != kUtf8.size()) {
            return false;
        }
        for (std::size_t i = 0; i < name.size(); ++i) {
            const char lower = (name[i] >= 'A' && name[i] <= 'Z') ? static_cast<char>(name[i] - 'A' + 'a') : name[i];
            if (lower != kUtf8[i]) {
                return false;
            }
        }
        return true;
    }

    // Names the offset of `where` when it points into the parse buffer;
    // empty names and values live outside it.
    bool boFail(std::string reason, const char* where) {
        error_ = std::move(reason);
        const auto begin = reinterpret_cast<std::uintptr_t>(buffer_.data());
        const auto at = reinterpret_cast<std::uintptr_t>(where);
        if (at >= begin && at < begin + buffer_.size()) {
            error_ += " (near byte offset ";
            error_ += std::to_string(at - begin);
            error_ += ')';
        }
        return false;
    }

    // Checks a decoded value: character references may produce what the raw
    // text could not hold (control characters, surrogates, code points
    // beyond U+10FFFF).
    bool boCheckText(std::string_view text, std::string_view what, const char* where) {
        if (std::string problem = textProblem(text, what); !problem.empty()) {
            return boFail(std::move(problem), where);
        }
        return true;
    }

    bool boTakeText(const char* value, std::string_view what, std::string& target) {
        const std::string_view text(value);
        if (!boCheckText(text, what, value)) {
            return false;
        }
        target.assign(text);
        return true;
    }

    bool boReadFlag(pugi::xml_node root, const char* name, bool& flag) {
        const pugi::xml_attribute attribute = root.attribute(name);
        if (!attribute) {
            flag = false;
            return true;
        }
        if (std::strcmp(attribute.value(), kTrue) == 0) {
            flag = true;
            return true;
        }
        if (std::strcmp(attribute.value(), kFalse) == 0) {
            flag = false;
            return true;
        }
        return boFail(std::string(name) + " is '" + attribute.value() + "', expected 'true' or 'false'",
                      attribute.value());
    }

    // The id attribute of a source or classified element, checked.
    bool boReadId(pugi::xml_node node, std::string_view what, std::string_view& id) {
        const pugi::xml_attribute attribute = node.attribute(kIdName);
        if (!attribute) {
            return boFail(std::string(what) + " element without id", node.name());
        }
        id = attribute.value();
        return boCheckText(id, what, attribute.value());
    }

    // Files are written in key order, so inserting at the end is the
    // common case; repeated source elements merge their sets.
    bool boReadRelation(pugi::xml_node relationNode, Mapping::Relation& relation) {
        for (pugi::xml_node sourceNode = relationNode.first_child(); sourceNode;
             sourceNode = sourceNode.next_sibling()) {
            if (sourceNode.type() != pugi::node_element || std::strcmp(sourceNode.name(), kSourceName) != 0) {
                continue;
            }
            std::string_view sourceId;
            if (!boReadId(sourceNode, kSourceName, sourceId)) {
                return false;
            }
            std::set<std::string>& classified =
                relation
                    .emplace_hint(relation.end(), std::piecewise_construct, std::forward_as_tuple(sourceId),
                                  std::forward_as_tuple())
                    ->second;
            for (pugi::xml_node classifiedNode = sourceNode.first_child(); classifiedNode;
                 classifiedNode = classifiedNode.next_sibling()) {
                if (classifiedNode.type() != pugi::node_element ||
                    std::strcmp(classifiedNode.name(), kClassifiedName) != 0) {
                    continue;
                }
                std::string_view classifiedId;
                if (!boReadId(classifiedNode, kClassifiedName, classifiedId)) {
                    return false;
                }
                classified.emplace_hint(classified.end(), classifiedId);
            }
        }
        return true;
    }

    std::string_view buffer_;
    std::string error_;
};

// The rest of the stream from its position, read in large blocks. False on
// a stream that is failed before or broken while reading. A seekable stream
// announces its size, so a file is usually read in one block; the
// announcement is only a hint (folders and devices report odd sizes), and a
// huge one is ignored rather than allocated up front.
bool boReadAll(std::istream& stream, std::string& buffer) {
    constexpr std::size_t kLargestHint = std::size_t{1} << 26;
    std::size_t expected = 0;
    if (std::streambuf* const source = stream.rdbuf()) {
        const auto start = source->pubseekoff(0, std::ios_base::cur, std::ios_base::in);
        if (start != std::streampos(-1)) {
            const auto end = source->pubseekoff(0, std::ios_base::end, std::ios_base::in);
            if (end != std::streampos(-1) && source->pubseekpos(start, std::ios_base::in) == start && end > start) {
                const auto announced = static_cast<std::size_t>(end - start);
                expected = announced <= kLargestHint ? announced : 0;
            }
        }
    }
    // One byte more than expected, so that a stream of the announced size
    // ends within the first block.
    constexpr std::size_t kMinimumBlock = 64 * 1024;
    std::size_t used = 0;
    buffer.resize(expected + 1 > kMinimumBlock ? expected + 1 : kMinimumBlock);
    for (;;) {
        stream.read(buffer.data() + used, static_cast<std::streamsize>(buffer.size() - used));
        used += static_cast<std::size_t>(stream.gcount());
        if (!stream) {
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(used);
    return !stream.bad();
}

// Collects pugixml's output in a string. Thread-compatible.
class StringWriter final : public pugi::xml_writer {
public:
    explicit StringWriter(std::string& out) noexcept : out_(out) {}
    void write(const void* data, std::size_t size) override { out_.append(static_cast<const char*>(data), size); }

private:
    std::string& out_;
};

std::string errnoText(int error) { return std::error_code(error, std::generic_category()).message(); }

} // namespace

bool XmlDocument::boTextStorable(std::string_view text) noexcept {
    return str::invalidUtf8Offset(text) == std::string_view::npos && nonXmlCharOffset(text) == std::string_view::npos;
}

bool XmlDocument::boRead(std::istream& stream) {
    error_.clear();
    if (!stream) {
        error_ = "the stream is not readable";
        return false;
    }
    std::string buffer;
    if (!boReadAll(stream, buffer)) {
        error_ = "reading the stream failed after " + std::to_string(buffer.size()) + " bytes";
        return false;
    }
    if (const std::size_t bad = str::invalidUtf8Offset(buffer); bad != std::string::npos) {
        error_ = "invalid UTF-8 at byte offset " + std::to_string(bad);
        return false;
    }
    if (const std::size_t bad = nonXmlCharOffset(buffer); bad != std::string::npos) {
        error_ = "character not allowed in XML 1.0 at byte offset " + std::to_string(bad);
        return false;
    }
    if (const std::size_t bad = nulReferenceOffset(buffer); bad != std::string::npos) {
        error_ = "reference to character U+0000 at byte offset " + std::to_string(bad);
        return false;
    }

    pugi::xml_document document;
    const pugi::xml_parse_result parsed =
        document.load_buffer_inplace(buffer.data(), buffer.size(), kParseOptions, pugi::encoding_utf8);
    if (!parsed) {
        error_ = std::string("XML parse error: ") + parsed.description() + " at byte offset " +
                 std::to_string(parsed.offset);
        return false;
    }

    Mapping read;
    DocumentReader reader(buffer);
    if (!reader.boRead(document, read)) {
        error_ = reader.errorTake();
        return false;
    }
    mapping_ = std::move(read);
    return true;
}

bool XmlDocument::boWrite(std::string_view utf8Path) const {
    error_.clear();
    const std::filesystem::path target = str::pathFromUtf8(utf8Path);
    const std::filesystem::path name = target.filename();
    if (name.empty() || name == "." || name == "..") {
        error_ = "'" + std::string(utf8Path) + "' does not name a file";
        return false;
    }
    if (std::string problem = mappingProblem(mapping_); !problem.empty()) {
        error_ = std::move(problem);
        return false;
    }
    pugi::xml_document document;
    vBuildDocument(mapping_, document);
    std::string bytes;
    StringWriter writer(bytes);
    document.save(writer, kIndent, kFormatOptions, pugi::encoding_utf8);

    // A temporary file in the target's folder, synced and renamed over the
    // target, then the folder synced: the target holds the old document or
    // the whole new one. Replacing a file keeps its owner, group,
    // permissions and extended attributes.
    platform::Folder folder;
    const std::filesystem::path parent = target.parent_path();
    if (const int error = folder.open(parent.empty() ? std::filesystem::path(".") : parent,
                                      parent.empty() ? std::filesystem::path(".") / name : target);
        error != 0) {
        error_ = "cannot open the folder of '" + std::string(utf8Path) + "': " + errnoText(error);
        return false;
    }
    const platform::FileProbe existing = folder.probe(folder.nameGet());
    platform::PendingFile pending;
    std::string_view kept;
    int error = pending.create(folder, cache::temporaryFileName(folder.nameGet(), cache::temporaryUniqueGet()));
    if (error == 0 && existing.kind == platform::FileKind::Regular) {
        error = pending.attributesTake(folder.nameGet(), existing.stamp, kept);
    }
    if (error == 0) {
        error = pending.write(bytes);
    }
    bool boPublished = false;
    if (error == 0) {
        error = pending.publish(folder.nameGet(), true, boPublished);
    }
    if (error != 0) {
        error_ = "writing '" + std::string(utf8Path) + "' failed: " + errnoText(error);
        return false;
    }
    return true;
}

bool XmlDocument::boWrite(std::ostream& stream) const {
    error_.clear();
    if (std::string problem = mappingProblem(mapping_); !problem.empty()) {
        error_ = std::move(problem);
        return false;
    }
    pugi::xml_document document;
    vBuildDocument(mapping_, document);
    document.save(stream, kIndent, kFormatOptions, pugi::encoding_utf8);
    stream.flush();
    if (!stream.good()) {
        error_ = "the stream failed while writing";
        return false;
    }
    return true;
}

} // namespace vyr::classification
