#include "external/classification/DocumentReading.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

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

// nonXmlCharOffset over a whole document, telling on the way whether it
// holds a '&' or a ']' at all: one pass over the bytes for the three.
// Eight bytes at a time, with exact byte-wise comparisons (no borrow runs
// from one byte into the next), so that the line feeds and tabs of every
// line of a document stay on the fast path.
std::size_t documentScan(std::string_view text, bool& boAmpersand, bool& boBracket) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kLows = 0x7F7F7F7F7F7F7F7FULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    // The high bit of each byte of the result is set where the byte equals `byte`.
    const auto equal = [](std::uint64_t word, unsigned char byte) {
        const std::uint64_t flipped = word ^ (kOnes * byte);
        return ~(((flipped & kLows) + kLows) | flipped) & kHighs;
    };
    const auto* const bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::uint64_t ampersands = 0;
    std::uint64_t brackets = 0;
    // Byte by byte from `from` to `to`: the offset of a character XML does
    // not allow, or npos.
    const auto slowScan = [&](std::size_t from, std::size_t to) {
        for (std::size_t at = from; at < to; ++at) {
            const unsigned char c = bytes[at];
            if (c < 0x20) {
                if (c != '\t' && c != '\n' && c != '\r') {
                    return at;
                }
            } else if (c == 0xEF && at + 2 < size && bytes[at + 1] == 0xBF && (bytes[at + 2] & 0xFE) == 0xBE) {
                return at;
            } else if (c == '&') {
                ampersands = 1;
            } else if (c == ']') {
                brackets = 1;
            }
        }
        return std::string_view::npos;
    };
    std::size_t i = 0;
    for (; size - i >= sizeof(std::uint64_t); i += sizeof(std::uint64_t)) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, sizeof word);
        // Below 0x20, and not a high byte: adding 0x60 to the low seven bits does not reach bit 7.
        const std::uint64_t below20 = ~(((word & kLows) + kOnes * 0x60) | word) & kHighs;
        const std::uint64_t controls = below20 & ~(equal(word, '\t') | equal(word, '\n') | equal(word, '\r'));
        ampersands |= equal(word, '&');
        brackets |= equal(word, ']');
        if ((controls | equal(word, 0xEF)) != 0) {
            if (const std::size_t bad = slowScan(i, i + sizeof word); bad != std::string_view::npos) {
                return bad;
            }
        }
    }
    const std::size_t bad = slowScan(i, size);
    boAmpersand = ampersands != 0;
    boBracket = brackets != 0;
    return bad;
}

// Copies the text to `copy` and tells whether it is plain: ASCII only,
// with no control character but tab, line feed and carriage return, so that
// it is valid UTF-8 and holds no character XML 1.0 refuses; tells on the
// way whether it holds a '&' or a ']'. Most documents are plain, and for
// them this one pass, which the copy for the parser needs anyway, stands
// for the exact scans, which find the first offending byte of the others.
// Each piece is looked at while it is still in the cache from its copy, in
// blocks of a fixed length that the compiler turns into vector
// instructions. Stops early, with the copy unfinished, at a text that is
// not plain.
bool boPlainCopy(std::string_view text, char* copy, bool& boAmpersand, bool& boBracket) noexcept {
    constexpr std::size_t kBlock = 64;
    constexpr std::size_t kPiece = 64 * kBlock;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    unsigned char high = 0;
    unsigned char control = 0;
    unsigned char ampersand = 0;
    unsigned char bracket = 0;
    const auto take = [&](unsigned char c) {
        high |= c;
        control |= static_cast<unsigned char>((c < 0x20) & (c != '\t') & (c != '\n') & (c != '\r'));
        ampersand |= static_cast<unsigned char>(c == '&');
        bracket |= static_cast<unsigned char>(c == ']');
    };
    for (std::size_t at = 0; at < size;) {
        const std::size_t end = size - at > kPiece ? at + kPiece : size;
        std::memcpy(copy + at, bytes + at, end - at);
        for (; end - at >= kBlock; at += kBlock) {
            for (std::size_t i = 0; i < kBlock; ++i) {
                take(bytes[at + i]);
            }
        }
        for (; at < end; ++at) {
            take(bytes[at]);
        }
        if ((high & 0x80) != 0 || control != 0) {
            return false;
        }
    }
    boAmpersand = ampersand != 0;
    boBracket = bracket != 0;
    return true;
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

// The reason followed by where it lies in the document.
std::string locatedAt(std::string_view reason, std::string_view document, std::size_t offset) {
    return joined({reason, " at ", positionText(document, offset)});
}

// Reads the known structure of a parsed document into a mapping, and checks
// on the way what the parser lets through but XML 1.0 does not allow: a
// repeated attribute, a raw '<' in an attribute value, text outside the
// root element, "--" inside a comment, an XML declaration anywhere but at
// the very start or without its version first (1.x), a standalone other
// than yes or no, a '&' that starts no well-formed reference, a character
// reference to a character XML does not allow, "]]>" in text. Expects a parse with kReadOptions' node kinds (comments,
// and with parse_fragment the text outside the root element, are nodes).
// The elements of the mapping are checked as they are read, so that the
// large part of a document is visited once; every other subtree is walked
// for the checks alone, without recursion, so that nesting depth costs no
// stack. Names and values point into the parse buffer, a copy of the bytes,
// which gives the offsets of the reasons. Points at the bytes and the buffer
// without owning them; thread-compatible.
class DocumentReader {
public:
    // `boAmpersand` and `boBracket`: whether the bytes hold a '&' and a
    // ']' anywhere, so that documents without them (most) skip the checks
    // of references and of "]]>" in text. `notes`, when given, collects
    // what the read passes over. `onlySource`, when given, is the one
    // source id whose entries the relations keep; every other is checked
    // all the same.
    DocumentReader(std::string_view bytes, std::string_view buffer, bool boAmpersand, bool boBracket,
                   Notes* notes, const std::string_view* onlySource = nullptr,
                   SourceListing* listing = nullptr) noexcept
        : bytes_(bytes), buffer_(buffer), boReferences_(boAmpersand && bytes.find("&#") != std::string_view::npos),
          boAmpersand_(boAmpersand), boBracket_(boBracket), notes_(notes), onlySource_(onlySource),
          listing_(listing) {}

    bool boRead(const pugi::xml_document& document, Mapping& mapping) {
        const pugi::xml_node root = document.document_element();
        if (!root) {
            // The parse for fragments lets a document without an element
            // through; say it as the parser does without that option.
            error_ = locatedAt("XML parse error: No document element found", bytes_,
                               bytes_.empty() ? 0 : bytes_.size() - 1);
            return false;
        }
        if (!boReadTopLevel(document)) {
            return false;
        }
        if (!boCheckAttributes(root)) {
            return false;
        }
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
        if (notes_ != nullptr) {
            vNoteRootAttributes(root);
        }
        for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling()) {
            bool boOk = true;
            if (child.type() != pugi::node_element) {
                boOk = boCheckOther(child);
            } else if (std::strcmp(child.name(), kRelationName) == 0) {
                boOk = boReadRelation(child, mapping.sourceToClassified, listedIn(0));
            } else if (std::strcmp(child.name(), kSecondRelationName) == 0) {
                boOk = boReadRelation(child, mapping.secondRelation, listedIn(1));
            } else {
                vNoteElement(child, "relation or secondRelation");
                boOk = boCheckSubtree(child);
            }
            if (!boOk) {
                return false;
            }
        }
        return true;
    }

    // Why the document was refused, with the place when it has one.
    [[nodiscard]] std::string errorTake() { return std::move(error_); }

private:
    static constexpr const char* kWhitespace = " \t\r\n";
    static constexpr std::string_view kRootAttributes[] = {kVersionName, "id",      "text2",    "text3",   "text4",
                                                           "text5",      "text6",   "text7",    kFlag1Name, kFlag2Name};

    // Whether the format leaves the name to others: a prefixed name (an
    // extension's) or a namespace declaration.
    static bool boForeignName(std::string_view name) noexcept {
        return name.find(':') != std::string_view::npos || name == "xmlns";
    }

    // Notes, when asked, one line at the name or value `where`.
    void vNote(const char* where, std::string_view text) {
        const std::size_t offset = offsetOf(where);
        notes_->lines.push_back(
            offset == std::string_view::npos ? std::string(text) : joined({positionText(bytes_, offset), ": ", text}));
    }

    // Notes each attribute of the element without a prefix other than
    // `known` (an empty name: none is known).
    void vNoteAttributes(pugi::xml_node node, std::string_view known) {
        for (pugi::xml_attribute attribute = node.first_attribute(); attribute; attribute = attribute.next_attribute()) {
            const std::string_view name = attribute.name();
            if (!boForeignName(name) && name != known) {
                vNote(attribute.name(), joined({"attribute '", name, "' of '", node.name(),
                                                "' is not part of the format and is ignored; expected ",
                                                known.empty() ? "none" : known}));
            }
        }
    }

    // Notes an element without a prefix where the format expects `expected`.
    void vNoteElement(pugi::xml_node node, std::string_view expected) {
        if (notes_ != nullptr && !boForeignName(node.name())) {
            const std::size_t name = offsetOf(node.name());
            vNote(name == std::string_view::npos || name == 0 ? node.name() : buffer_.data() + name - 1,
                  joined({"element '", node.name(), "' inside '", node.parent().name(),
                          "' is not part of the format and is ignored; expected ", expected}));
        }
    }

    // Notes the root's attributes that the format does not know, and a
    // root id other than the one the file's name gives, in document order.
    void vNoteRootAttributes(pugi::xml_node root) {
        const std::string_view expected = notes_->expectedId;
        if (!expected.empty() && !root.attribute(kIdName)) {
            vNote(root.name(), joined({"the root has no id; expected id=\"", expected, "\" (the file's name)"}));
        }
        for (pugi::xml_attribute attribute = root.first_attribute(); attribute; attribute = attribute.next_attribute()) {
            const std::string_view name = attribute.name();
            if (name == kIdName && !expected.empty() && expected != attribute.value()) {
                vNote(attribute.value(), joined({"the root's id is '", attribute.value(), "'; expected '", expected,
                                                 "' (the file's name)"}));
            } else if (!boForeignName(name) &&
                       std::find(std::begin(kRootAttributes), std::end(kRootAttributes), name) ==
                           std::end(kRootAttributes)) {
                vNote(attribute.name(), joined({"attribute '", name, "' of '", root.name(),
                                                "' is not part of the format and is ignored; expected version, id, "
                                                "text2 to text7, flag1 or flag2"}));
            }
        }
    }
    // Up to this many attributes on one element are compared pair by pair;
    // beyond, their names go into a hash set.
    static constexpr std::size_t kPairwiseNames = 8;

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

    static std::string outsideText(bool boAfterRoot) {
        return boAfterRoot ? "text after the root element" : "text before the root element";
    }

    // The offset of a name or value in the bytes; npos for the parser's
    // own empty strings, which live outside the buffer.
    std::size_t offsetOf(const char* pointer) const noexcept {
        const auto begin = reinterpret_cast<std::uintptr_t>(buffer_.data());
        const auto at = reinterpret_cast<std::uintptr_t>(pointer);
        return at >= begin && at < begin + buffer_.size() ? at - begin : std::string_view::npos;
    }

    // A document that breaks a rule of the format, near `where` when it
    // points into the buffer.
    bool boFail(std::string_view reason, const char* where) {
        const std::size_t offset = offsetOf(where);
        error_ = offset == std::string_view::npos ? std::string(reason)
                                                  : joined({reason, " (near ", positionText(bytes_, offset), ")"});
        return false;
    }

    // A document that is not well-formed XML, at the byte `offset`.
    bool boMalformed(std::string_view reason, std::size_t offset) {
        error_ = locatedAt(joined({"XML not well-formed: ", reason}), bytes_, offset);
        return false;
    }

    // The nodes beside the root element, and the bytes after the last one.
    bool boReadTopLevel(const pugi::xml_document& document) {
        bool boRootSeen = false;
        for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling()) {
            switch (node.type()) {
            case pugi::node_element:
                if (boRootSeen) {
                    return boFail("more than one root element", node.name());
                }
                boRootSeen = true;
                break;
            case pugi::node_doctype: return boFail("document type declarations are not accepted", node.value());
            case pugi::node_declaration: {
                if (!boCheckDeclaration(node) || !boCheckAttributes(node)) {
                    return false;
                }
                const pugi::xml_attribute encoding = node.attribute("encoding");
                if (encoding && !boIsUtf8Name(encoding.value())) {
                    return boFail(joined({"unsupported encoding '", encoding.value(), "', expected UTF-8"}),
                                  encoding.value());
                }
                break;
            }
            case pugi::node_pcdata:
            case pugi::node_cdata:
                if (!boCheckOutsideText(node, boRootSeen)) {
                    return false;
                }
                break;
            default:
                if (!boCheckOther(node)) {
                    return false;
                }
                break;
            }
        }
        // The parse for fragments drops the last character of trailing
        // text; a well-formed document ends with a '>' and whitespace.
        if (const std::size_t last = bytes_.find_last_not_of(kWhitespace);
            last != std::string_view::npos && bytes_[last] != '>') {
            const std::size_t close = bytes_.rfind('>', last);
            return boMalformed(outsideText(true), bytes_.find_first_not_of(kWhitespace, close + 1));
        }
        return true;
    }

    static bool boSameName(const char* a, const char* b) noexcept {
        while (*a != '\0' && *a == *b) {
            ++a;
            ++b;
        }
        return *a == *b;
    }

    // Checks the attributes of an element or declaration, and gives the
    // value of the one named `wanted` in `wantedValue` (null when there is
    // none). One attribute is the common case and costs one look at its
    // value. The name of no attribute is the empty text, which no attribute
    // has.
    bool boCheckAttributes(pugi::xml_node node, const char* wanted, const char*& wantedValue,
                           std::size_t& wantedSize) {
        wantedValue = nullptr;
        pugi::xml_attribute attribute = node.first_attribute();
        const char* firstName = attribute.name();
        if (*firstName == '\0') {
            return true;
        }
        const char* value = attribute.value();
        std::size_t size = 0;
        if (!boCheckValue(firstName, value, size)) {
            return false;
        }
        if (boSameName(firstName, wanted)) {
            wantedValue = value;
            wantedSize = size;
        }
        attribute = attribute.next_attribute();
        const char* name = attribute.name();
        if (*name == '\0') {
            return true;
        }
        names_.clear();
        seen_.clear();
        names_.emplace_back(firstName);
        for (; *name != '\0'; attribute = attribute.next_attribute(), name = attribute.name()) {
            if (boRepeated(name)) {
                return boMalformed(joined({"attribute '", name, "' repeated"}), offsetOf(name));
            }
            value = attribute.value();
            if (!boCheckValue(name, value, size)) {
                return false;
            }
            if (wantedValue == nullptr && boSameName(name, wanted)) {
                wantedValue = value;
                wantedSize = size;
            }
        }
        return true;
    }

    bool boCheckAttributes(pugi::xml_node node) {
        const char* ignored = nullptr;
        std::size_t ignoredSize = 0;
        return boCheckAttributes(node, "", ignored, ignoredSize);
    }

    // Whether an earlier attribute of the element has the name; notes it.
    bool boRepeated(std::string_view name) {
        if (seen_.empty()) {
            for (const std::string_view earlier : names_) {
                if (earlier == name) {
                    return true;
                }
            }
            names_.push_back(name);
            if (names_.size() > kPairwiseNames) {
                seen_.insert(names_.begin(), names_.end());
            }
            return false;
        }
        return !seen_.insert(name).second;
    }

    // The decoded value holds a '<' when the raw one does, or when a
    // reference stands for it; only then are the raw bytes looked at. They
    // run from where the value starts to its closing quote.
    // `size` becomes the decoded value's length.
    bool boCheckValue(const char* name, const char* value, std::size_t& size) {
        // A malformed or undeclared reference stays in the decoded value as
        // its text, '&' included; only a character reference ("&#") can
        // leave none. So a value is looked at raw only when it may hold one.
        if (boAmpersand_ && (boReferences_ || std::strchr(value, '&') != nullptr)) {
            // The raw value runs from where the value starts to its closing
            // quote, which it cannot hold.
            if (const std::size_t begin = offsetOf(value); begin != std::string_view::npos && begin > 0) {
                const std::size_t end = bytes_.find(bytes_[begin - 1], begin);
                if (!boCheckReferences(begin, end == std::string_view::npos ? bytes_.size() : end)) {
                    return false;
                }
            }
        }
        // A plain loop: values are short, and this runs for every attribute.
        const char* at = value;
        while (*at != '\0' && *at != '<') {
            ++at;
        }
        size = static_cast<std::size_t>(at - value);
        if (*at == '\0') {
            return true;
        }
        size += std::strlen(at);
        const std::size_t begin = offsetOf(value);
        if (begin == std::string_view::npos || begin == 0) {
            return true;
        }
        const std::size_t end = bytes_.find(bytes_[begin - 1], begin);
        const std::size_t raw = bytes_.substr(begin, end - begin).find('<');
        if (raw == std::string_view::npos) {
            return true;
        }
        return boMalformed(joined({"'<' in the value of attribute '", name, "'"}), begin + raw);
    }

    // A node that is not an element: only a comment has something to check.
    // The first "--" after a comment's start must be its end.
    bool boCheckOther(pugi::xml_node node) {
        if (node.type() == pugi::node_pcdata) {
            return (!boAmpersand_ && !boBracket_) || boCheckElementText(node);
        }
        if (node.type() != pugi::node_comment) {
            return true;
        }
        const std::size_t begin = offsetOf(node.value());
        if (begin == std::string_view::npos) {
            return true;
        }
        const std::size_t dashes = bytes_.find("--", begin);
        if (dashes == std::string_view::npos || dashes + 2 >= bytes_.size() || bytes_[dashes + 2] == '>') {
            return true;
        }
        return boMalformed("'--' inside a comment", dashes);
    }

    static bool boNameStart(unsigned char c) noexcept {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || c >= 0x80;
    }
    static bool boNameChar(unsigned char c) noexcept {
        return boNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
    }
    // A character XML 1.0 allows in a document.
    static bool boXmlChar(std::uint32_t c) noexcept {
        return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
               (c >= 0x10000 && c <= 0x10FFFF);
    }

    // Every '&' of the raw text [begin, end) starts a well-formed reference:
    // "&#" decimal digits ";" or "&#x" hexadecimal digits ";" naming a
    // character XML allows, or "&" name ";". An entity name that is not
    // declared is kept as its text, as the format allows.
    bool boCheckReferences(std::size_t begin, std::size_t end) {
        // Searched within the text only: a document with one '&' must not
        // cost a search to its end for every value.
        const std::string_view text = bytes_.substr(0, end);
        for (std::size_t at = text.find('&', begin); at != std::string_view::npos; at = text.find('&', at + 1)) {
            std::size_t i = at + 1;
            if (i < end && bytes_[i] == '#') {
                const bool boHex = ++i < end && bytes_[i] == 'x';
                i += boHex ? 1 : 0;
                const std::size_t digits = i;
                std::uint32_t value = 0;
                for (; i < end; ++i) {
                    const char c = bytes_[i];
                    std::uint32_t digit = 0;
                    if (c >= '0' && c <= '9') {
                        digit = static_cast<std::uint32_t>(c - '0');
                    } else if (boHex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
                        digit = static_cast<std::uint32_t>((c | 0x20) - 'a' + 10);
                    } else {
                        break;
                    }
                    value = std::min<std::uint32_t>(value * (boHex ? 16 : 10) + digit, 0x110000);
                }
                if (i == digits || i >= end || bytes_[i] != ';') {
                    return boMalformed("malformed character reference", at);
                }
                if (!boXmlChar(value)) {
                    return boMalformed("reference to a character that XML 1.0 does not allow", at);
                }
                continue;
            }
            if (i >= end || !boNameStart(static_cast<unsigned char>(bytes_[i]))) {
                return boMalformed("'&' that starts no reference (write '&amp;')", at);
            }
            while (i < end && boNameChar(static_cast<unsigned char>(bytes_[i]))) {
                ++i;
            }
            if (i >= end || bytes_[i] != ';') {
                return boMalformed("entity reference not closed by ';'", at);
            }
        }
        return true;
    }

    // Text inside an element: its references, and no "]]>" (only a CDATA
    // section ends so). The raw text runs to the next '<'.
    bool boCheckElementText(pugi::xml_node node) {
        const std::size_t begin = offsetOf(node.value());
        if (begin == std::string_view::npos) {
            return true;
        }
        std::size_t end = bytes_.find('<', begin);
        end = end == std::string_view::npos ? bytes_.size() : end;
        if (boBracket_) {
            if (const std::size_t close = bytes_.substr(begin, end - begin).find("]]>");
                close != std::string_view::npos) {
                return boMalformed("']]>' in text", begin + close);
            }
        }
        // As for attribute values (boCheckValue): only text that may hold a
        // malformed reference is looked at for references.
        return !boAmpersand_ || (!boReferences_ && std::strchr(node.value(), '&') == nullptr) ||
               boCheckReferences(begin, end);
    }

    // Only a byte order mark may come before the declaration, which gives
    // the version (1.x), then perhaps the encoding, then perhaps standalone
    // ("yes" or "no"), and nothing else.
    bool boCheckDeclaration(pugi::xml_node node) {
        const std::size_t name = offsetOf(node.name());
        const std::size_t start = bytes_.starts_with("\xEF\xBB\xBF") ? 3 : 0;
        if (name != start + 2 && name != std::string_view::npos) {
            return boMalformed("XML declaration not at the start of the document", name >= 2 ? name - 2 : name);
        }
        const std::size_t declaration = name == std::string_view::npos ? start : name - 2;
        pugi::xml_attribute attribute = node.first_attribute();
        if (!attribute || std::strcmp(attribute.name(), "version") != 0) {
            return boMalformed("XML declaration without version", declaration);
        }
        const std::string_view version = attribute.value();
        if (version.size() < 3 || !version.starts_with("1.") ||
            version.find_first_not_of("0123456789", 2) != std::string_view::npos) {
            const std::size_t at = offsetOf(attribute.value());
            return boMalformed(joined({"XML version '", version, "', expected 1.0"}),
                               at == std::string_view::npos ? declaration : at);
        }
        attribute = attribute.next_attribute();
        if (attribute && std::strcmp(attribute.name(), "encoding") == 0) {
            attribute = attribute.next_attribute();
        }
        if (attribute && std::strcmp(attribute.name(), "standalone") == 0) {
            if (std::strcmp(attribute.value(), "yes") != 0 && std::strcmp(attribute.value(), "no") != 0) {
                const std::size_t at = offsetOf(attribute.value());
                return boMalformed(joined({"standalone is '", attribute.value(), "', expected 'yes' or 'no'"}),
                                   at == std::string_view::npos ? declaration : at);
            }
            attribute = attribute.next_attribute();
        }
        if (attribute) {
            const std::size_t at = offsetOf(attribute.name());
            return boMalformed(joined({"'", attribute.name(), "' out of place in the XML declaration"}),
                               at == std::string_view::npos ? declaration : at);
        }
        return true;
    }

    // Outside the root element, text may only be whitespace.
    bool boCheckOutsideText(pugi::xml_node node, bool boAfterRoot) {
        const std::size_t begin = offsetOf(node.value());
        if (begin == std::string_view::npos) {
            return true;
        }
        if (node.type() == pugi::node_cdata) {
            return boMalformed(outsideText(boAfterRoot), begin >= 9 ? begin - 9 : begin);
        }
        const std::size_t text = bytes_.find_first_not_of(kWhitespace, begin);
        if (text == std::string_view::npos || bytes_[text] == '<') {
            return true;
        }
        return boMalformed(outsideText(boAfterRoot), text);
    }

    // Checks `top` and everything inside it, in document order.
    bool boCheckSubtree(pugi::xml_node top) {
        pugi::xml_node node = top;
        while (true) {
            if (node.type() == pugi::node_element ? !boCheckAttributes(node) : !boCheckOther(node)) {
                return false;
            }
            if (const pugi::xml_node child = node.first_child()) {
                node = child;
                continue;
            }
            while (node != top && !node.next_sibling()) {
                node = node.parent();
            }
            if (node == top) {
                return true;
            }
            node = node.next_sibling();
        }
    }

    // Checks a decoded value: character references may produce what the raw
    // text could not hold (control characters, surrogates, code points
    // beyond U+10FFFF). The bytes were checked whole before the parse, so
    // without a character reference in them every value is sound.
    bool boCheckText(std::string_view text, std::string_view what, const char* where) {
        if (!boReferences_) {
            return true;
        }
        if (std::string problem = textProblem(text, what); !problem.empty()) {
            return boFail(problem, where);
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

    // Checks a source or classified element and its attributes, and gives
    // its id attribute, checked.
    bool boReadId(pugi::xml_node node, std::string_view what, std::string_view& id) {
        const char* value = nullptr;
        std::size_t size = 0;
        if (!boCheckAttributes(node, kIdName, value, size)) {
            return false;
        }
        if (value == nullptr) {
            return boFail(joined({what, " element without id"}), node.name());
        }
        id = std::string_view(value, size);
        return boCheckText(id, what, value);
    }

    // Where the listing of the one source id notes the relation of that
    // index, which has an element; null when no listing is asked for.
    SourceListing::Relation* listedIn(std::size_t index) noexcept {
        if (listing_ == nullptr) {
            return nullptr;
        }
        listing_->relations[index].boHasElement = true;
        return &listing_->relations[index];
    }

    // Counts a source element in the listing of the one source id, when
    // one is asked for: where the first of that id starts, or that another
    // id is listed.
    void vListed(SourceListing::Relation* listed, bool boOther, pugi::xml_node sourceNode) const noexcept {
        if (listed != nullptr) {
            if (!boOther && listed->listings++ == 0) {
                listed->at = offsetOf(sourceNode.name()) - 1; // the name follows its '<'
            }
            listed->boOtherListed = listed->boOtherListed || boOther;
        }
    }

    // Whether the child is the element `expected`. Any other child is
    // checked as every node is (and noted when it is another element);
    // `boOk` becomes false when that check fails.
    bool boExpectedElement(pugi::xml_node node, const char* expected, bool& boOk) {
        if (node.type() != pugi::node_element) {
            boOk = boCheckOther(node);
            return false;
        }
        if (boSameName(node.name(), expected)) {
            return true;
        }
        vNoteElement(node, expected);
        boOk = boCheckSubtree(node);
        return false;
    }

    // Files are written in key order, so inserting at the end is the
    // common case; repeated source elements merge their sets. `listed`:
    // where the listings of the one source id are counted, or null.
    bool boReadRelation(pugi::xml_node relationNode, Mapping::Relation& relation,
                        SourceListing::Relation* listed) {
        if (!boCheckAttributes(relationNode)) {
            return false;
        }
        // Where each source id was first listed, when notes are asked for.
        std::map<std::string_view, const char*> firstListed;
        if (notes_ != nullptr) {
            vNoteAttributes(relationNode, "");
        }
        for (pugi::xml_node sourceNode = relationNode.first_child(); sourceNode;
             sourceNode = sourceNode.next_sibling()) {
            if (bool boOk = true; !boExpectedElement(sourceNode, kSourceName, boOk)) {
                if (!boOk) {
                    return false;
                }
                continue;
            }
            std::string_view sourceId;
            if (!boReadId(sourceNode, kSourceName, sourceId)) {
                return false;
            }
            if (notes_ != nullptr) {
                vNoteAttributes(sourceNode, kIdName);
                const auto [first, boFirst] = firstListed.emplace(sourceId, sourceId.data());
                if (!boFirst) {
                    vNote(sourceId.data(), joined({"source '", sourceId, "' is listed again in '", relationNode.name(),
                                                   "' (first at ", positionText(bytes_, offsetOf(first->second)),
                                                   ") and is read as the union of both sets; expected each source "
                                                   "once"}));
                }
            }
            const bool boOther = onlySource_ != nullptr && sourceId != *onlySource_;
            vListed(listed, boOther, sourceNode);
            std::set<std::string>* classified =
                boOther
                    ? nullptr
                    : &relation
                           .emplace_hint(relation.end(), std::piecewise_construct, std::forward_as_tuple(sourceId),
                                         std::forward_as_tuple())
                           ->second;
            if (!boReadClassified(sourceNode, classified)) {
                return false;
            }
        }
        return true;
    }

    // The classified ids of one source element, checked; kept in
    // `classified` unless it is null (a source id the read passes over).
    bool boReadClassified(pugi::xml_node sourceNode, std::set<std::string>* classified) {
        for (pugi::xml_node classifiedNode = sourceNode.first_child(); classifiedNode;
             classifiedNode = classifiedNode.next_sibling()) {
            if (bool boOk = true; !boExpectedElement(classifiedNode, kClassifiedName, boOk)) {
                if (!boOk) {
                    return false;
                }
                continue;
            }
            std::string_view classifiedId;
            if (!boReadId(classifiedNode, kClassifiedName, classifiedId)) {
                return false;
            }
            if (notes_ != nullptr) {
                vNoteAttributes(classifiedNode, kIdName);
            }
            for (pugi::xml_node inside = classifiedNode.first_child(); inside; inside = inside.next_sibling()) {
                if (inside.type() == pugi::node_element) {
                    vNoteElement(inside, "none");
                }
                if (!boCheckSubtree(inside)) {
                    return false;
                }
            }
            if (classified != nullptr) {
                classified->emplace_hint(classified->end(), classifiedId);
            }
        }
        return true;
    }

    std::string_view bytes_;
    std::string_view buffer_;
    bool boReferences_; // whether the bytes hold a character reference
    bool boAmpersand_;  // whether they hold a '&'
    bool boBracket_;    // whether they hold a ']'
    std::vector<std::string_view> names_; // of the element's attributes so far
    std::unordered_set<std::string_view> seen_; // the same, once there are many
    std::string error_;
    Notes* notes_; // null unless what the read passes over is asked for
    const std::string_view* onlySource_; // null: the relations keep every source id
    SourceListing* listing_;             // null unless the listing of onlySource_ is asked for
};

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

bool boParseDocument(std::string_view bytes, std::unique_ptr<char[]>& buffer, unsigned options,
                     pugi::xml_document& document, Mapping& mapping, std::string& error, Notes* notes,
                     const std::string_view* onlySource, SourceListing* listing) {
    // The parser works in place, so it gets a copy: the bytes stay intact
    // for the checks and for the line and column of a reason.
    buffer = std::make_unique_for_overwrite<char[]>(bytes.size());
    bool boAmpersand = false;
    bool boBracket = false;
    if (!boPlainCopy(bytes, buffer.get(), boAmpersand, boBracket)) {
        if (const std::size_t bad = str::invalidUtf8Offset(bytes); bad != std::string_view::npos) {
            error = locatedAt("invalid UTF-8", bytes, bad);
            return false;
        }
        if (const std::size_t bad = documentScan(bytes, boAmpersand, boBracket); bad != std::string_view::npos) {
            error = locatedAt("character not allowed in XML 1.0", bytes, bad);
            return false;
        }
        std::memcpy(buffer.get(), bytes.data(), bytes.size());
    }
    // A reference needs a '&'.
    if (const std::size_t bad = boAmpersand ? nulReferenceOffset(bytes) : std::string_view::npos;
        bad != std::string_view::npos) {
        error = locatedAt("reference to character U+0000", bytes, bad);
        return false;
    }

    const pugi::xml_parse_result parsed =
        document.load_buffer_inplace(buffer.get(), bytes.size(), options, pugi::encoding_utf8);
    if (!parsed) {
        error = locatedAt(joined({"XML parse error: ", parsed.description()}), bytes,
                          static_cast<std::size_t>(parsed.offset));
        return false;
    }

    SourceListing listed;
    DocumentReader reader(bytes, std::string_view(buffer.get(), bytes.size()), boAmpersand, boBracket, notes,
                          onlySource, onlySource != nullptr && listing != nullptr ? &listed : nullptr);
    if (!reader.boRead(document, mapping)) {
        error = reader.errorTake();
        return false;
    }
    if (onlySource != nullptr && listing != nullptr) {
        *listing = listed;
    }
    return true;
}

} // namespace vyr::classification::format
