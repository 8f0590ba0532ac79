#include "external/classification/DocumentReading.h"

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "external/str/Utf.h"

namespace vyr::classification::format {
namespace {

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

std::string relationProblem(const Mapping::Relation& relation, std::string_view relationName) {
    for (const auto& [source, classified] : relation) {
        if (std::string problem = sourceIdProblem(relationName, source); !problem.empty()) {
            return problem;
        }
        for (const std::string& id : classified) {
            if (std::string problem = classifiedIdProblem(relationName, source, id); !problem.empty()) {
                return problem;
            }
        }
    }
    return {};
}

// Reads the known structure of a parsed document into a mapping. Walks only
// root -> relation -> source -> classified, so arbitrarily deep nesting
// elsewhere costs nothing. Attribute values point into the parse buffer,
// which gives the offsets of the reasons. Points at the buffer without
// owning it; thread-compatible.
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
                    return boFail(joined({"unsupported encoding '", encoding.value(), "', expected UTF-8"}),
                                  encoding.value());
                }
            }
        }
        const pugi::xml_node root = document.document_element();
        if (std::strcmp(root.name(), kRootName) != 0) {
            return boFail(joined({"root element is '", root.name(), "', expected '", kRootName, "'"}), root.name());
        }
        const pugi::xml_attribute version = root.attribute(kVersionName);
        if (!version) {
            return boFail("the root element has no version", root.name());
        }
        if (std::strcmp(version.value(), kVersion) != 0) {
            return boFail(joined({"unsupported version '", version.value(), "'"}), version.value());
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

    // The reason of the failure, and the offset it names or npos.
    [[nodiscard]] std::string reasonTake() { return std::move(reason_); }
    [[nodiscard]] std::size_t offsetGet() const noexcept { return offset_; }

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

    // Keeps the offset of `where` when it points into the parse buffer;
    // empty names and values live outside it.
    bool boFail(std::string reason, const char* where) {
        reason_ = std::move(reason);
        const auto begin = reinterpret_cast<std::uintptr_t>(buffer_.data());
        const auto at = reinterpret_cast<std::uintptr_t>(where);
        if (at >= begin && at < begin + buffer_.size()) {
            offset_ = at - begin;
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
        return boFail(joined({name, " is '", attribute.value(), "', expected 'true' or 'false'"}), attribute.value());
    }

    // The id attribute of a source or classified element, checked.
    bool boReadId(pugi::xml_node node, std::string_view what, std::string_view& id) {
        const pugi::xml_attribute attribute = node.attribute(kIdName);
        if (!attribute) {
            return boFail(joined({what, " element without id"}), node.name());
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
    std::string reason_;
    std::size_t offset_ = std::string_view::npos;
};

// The reason followed by where it lies in the document.
std::string locatedAt(std::string_view reason, std::string_view document, std::size_t offset) {
    return joined({reason, " at ", positionText(document, offset)});
}

} // namespace

std::string joined(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (const std::string_view part : parts) {
        size += part.size();
    }
    std::string text;
    text.reserve(size);
    for (const std::string_view part : parts) {
        text.append(part);
    }
    return text;
}

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

bool boTextStorable(std::string_view text) noexcept {
    return str::invalidUtf8Offset(text) == std::string_view::npos && nonXmlCharOffset(text) == std::string_view::npos;
}

std::string textProblem(std::string_view text, std::string_view what) {
    if (const std::size_t bad = str::invalidUtf8Offset(text); bad != std::string_view::npos) {
        return joined({what, " is not valid UTF-8 at byte ", std::to_string(bad), " of the value"});
    }
    if (const std::size_t bad = nonXmlCharOffset(text); bad != std::string_view::npos) {
        return joined({what, " holds a character that XML 1.0 cannot represent at byte ", std::to_string(bad),
                       " of the value"});
    }
    return {};
}

std::string sourceIdProblem(std::string_view relationName, std::string_view source) {
    return boTextStorable(source) ? std::string() : textProblem(source, joined({relationName, " source id"}));
}

std::string classifiedIdProblem(std::string_view relationName, std::string_view source, std::string_view id) {
    return boTextStorable(id) ? std::string()
                              : textProblem(id, joined({"classified id of ", relationName, " source '", source, "'"}));
}

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

std::string positionText(std::string_view document, std::size_t offset) {
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    const std::size_t end = offset < document.size() ? offset : document.size();
    std::size_t line = 1;
    std::size_t column = 1;
    std::size_t i = document.starts_with(kByteOrderMark) && end >= kByteOrderMark.size() ? kByteOrderMark.size() : 0;
    for (; i < end; ++i) {
        const auto c = static_cast<unsigned char>(document[i]);
        if (c == '\n' || (c == '\r' && (i + 1 == document.size() || document[i + 1] != '\n'))) {
            ++line;
            column = 1;
        } else if (c != '\r' && (c & 0xC0) != 0x80) {
            ++column;
        }
    }
    return joined({"line ", std::to_string(line), ", column ", std::to_string(column)});
}

bool boParseDocument(std::string_view bytes, std::string& buffer, unsigned options, pugi::xml_document& document,
                     Mapping& mapping, std::string& error) {
    if (const std::size_t bad = str::invalidUtf8Offset(bytes); bad != std::string_view::npos) {
        error = locatedAt("invalid UTF-8", bytes, bad);
        return false;
    }
    if (const std::size_t bad = nonXmlCharOffset(bytes); bad != std::string_view::npos) {
        error = locatedAt("character not allowed in XML 1.0", bytes, bad);
        return false;
    }
    if (const std::size_t bad = nulReferenceOffset(bytes); bad != std::string_view::npos) {
        error = locatedAt("reference to character U+0000", bytes, bad);
        return false;
    }

    // The parser works in place, so it gets a copy: the bytes stay intact
    // for the line and column of a reason.
    buffer.assign(bytes);
    const pugi::xml_parse_result parsed =
        document.load_buffer_inplace(buffer.data(), buffer.size(), options, pugi::encoding_utf8);
    if (!parsed) {
        error = locatedAt(joined({"XML parse error: ", parsed.description()}), bytes,
                          static_cast<std::size_t>(parsed.offset));
        return false;
    }

    DocumentReader reader(buffer);
    if (!reader.boRead(document, mapping)) {
        error = reader.reasonTake();
        if (const std::size_t offset = reader.offsetGet(); offset != std::string_view::npos) {
            error += joined({" (near ", positionText(bytes, offset), ")"});
        }
        return false;
    }
    return true;
}

} // namespace vyr::classification::format
