#include "external/classification/DocumentTokens.h"

#include <cstdint>

#include "external/str/Utf.h"

namespace vyr::classification::format {
namespace {

constexpr std::size_t npos = std::string_view::npos;

bool boIsSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The first `c` at or after `at`, or npos: a plain loop, since what lies
// between the marks of a document is mostly a few bytes, where a call to
// the library's search costs more than the search.
std::size_t nearFind(std::string_view text, char c, std::size_t at) noexcept {
    for (; at < text.size(); ++at) {
        if (text[at] == c) {
            return at;
        }
    }
    return npos;
}

// The first byte of a value that decoding changes ('&', tab, line feed,
// carriage return) at or after `at`, or the value's size.
std::size_t decodedFrom(std::string_view raw, std::size_t at) noexcept {
    for (; at < raw.size(); ++at) {
        const char c = raw[at];
        if (c == '&' || c == '\t' || c == '\n' || c == '\r') {
            return at;
        }
    }
    return raw.size();
}

// The character a reference's name stands for ("lt", "#65", "#x41"), or
// nothing (0) for a name that is not one of XML's own.
char32_t referenceValue(std::string_view name) noexcept {
    constexpr std::pair<std::string_view, char32_t> kPredefined[] = {
        {"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''}};
    for (const auto& [entity, value] : kPredefined) {
        if (name == entity) {
            return value;
        }
    }
    if (name.size() < 2 || name[0] != '#') {
        return 0;
    }
    const bool boHex = name[1] == 'x';
    std::uint32_t value = 0;
    for (const char digit : name.substr(boHex ? 2 : 1)) {
        const std::uint32_t lower = static_cast<std::uint32_t>(digit | 0x20);
        const std::uint32_t part = digit >= '0' && digit <= '9' ? static_cast<std::uint32_t>(digit - '0')
                                   : boHex && lower >= 'a' && lower <= 'f' ? lower - 'a' + 10
                                                                            : 16;
        if (part >= (boHex ? 16U : 10U)) {
            return 0;
        }
        value = value * (boHex ? 16U : 10U) + part;
        if (value > 0x10FFFF) {
            return 0;
        }
    }
    return value;
}

} // namespace

bool Tokenizer::boPieceRead(std::size_t at, Piece& piece) const {
    piece = Piece();
    piece.start = at;
    if (at >= text_.size()) {
        return false;
    }
    if (text_[at] != '<') {
        const std::size_t next = nearFind(text_, '<', at);
        piece.end = next == npos ? text_.size() : next;
        piece.kind = Piece::Space;
        for (std::size_t p = at; p < piece.end; ++p) {
            if (!boIsSpace(text_[p])) {
                piece.kind = Piece::Other;
                break;
            }
        }
        return true;
    }
    const char second = at + 1 < text_.size() ? text_[at + 1] : '\0';
    if (second == '!') {
        const std::string_view rest = text_.substr(at);
        if (rest.starts_with("<!--")) {
            return boDelimitedRead(at, "<!--", "-->", Piece::Comment, piece);
        }
        if (rest.starts_with("<![CDATA[")) {
            return boDelimitedRead(at, "<![CDATA[", "]]>", Piece::Other, piece);
        }
        return false; // a document type, which reading refuses
    }
    if (second == '?') {
        return boDelimitedRead(at, "<?", "?>", Piece::Instruction, piece);
    }
    if (second == '/') {
        return boDelimitedRead(at, "</", ">", Piece::EndTag, piece);
    }
    piece.kind = Piece::Element;
    if (!boTagRead(at, piece.tag, [](const RawAttribute&) {})) {
        return false;
    }
    piece.end = piece.tag.end;
    return true;
}

bool Tokenizer::boDelimitedRead(std::size_t at, std::string_view open, std::string_view close, Piece::Kind kind,
                                Piece& piece) const {
    // The close is looked for after the opening: "<!-->-->" is one comment.
    const std::size_t found = text_.find(close, at + open.size());
    if (found == npos) {
        return false;
    }
    piece.kind = kind;
    piece.end = found + close.size();
    return true;
}

std::size_t Tokenizer::nameEnd(std::size_t at) const noexcept {
    while (at < text_.size() && !boIsSpace(text_[at]) && text_[at] != '/' && text_[at] != '>' && text_[at] != '=') {
        ++at;
    }
    return at;
}

std::size_t Tokenizer::spaceEnd(std::size_t at) const noexcept {
    while (at < text_.size() && boIsSpace(text_[at])) {
        ++at;
    }
    return at;
}

bool Tokenizer::boAttributeRead(std::size_t& at, RawAttribute& attribute) const {
    const std::size_t nameStart = at;
    at = nameEnd(at);
    attribute.name = text_.substr(nameStart, at - nameStart);
    at = spaceEnd(at);
    if (at >= text_.size() || text_[at] != '=') {
        return false;
    }
    at = spaceEnd(at + 1);
    if (at >= text_.size() || (text_[at] != '"' && text_[at] != '\'')) {
        return false;
    }
    const std::size_t valueEnd = nearFind(text_, text_[at], at + 1);
    if (valueEnd == npos) {
        return false;
    }
    attribute.valueStart = at + 1;
    attribute.value = text_.substr(at + 1, valueEnd - at - 1);
    at = valueEnd + 1;
    return true;
}

bool Tokenizer::boTagClose(std::size_t at, Tag& tag) const {
    if (text_[at] == '/') {
        if (at + 1 >= text_.size() || text_[at + 1] != '>') {
            return false;
        }
        tag.boSelfClosing = true;
        tag.close = at;
        tag.end = at + 2;
        return true;
    }
    tag.close = at;
    tag.end = at + 1;
    return true;
}

// Finds the element's end without cutting its content into pieces: only
// the '<' of each piece is looked at, and a start tag is read to its '>'
// past the quoted values, which is where boTagRead ends it in the bytes
// that reading accepts.
bool Tokenizer::boElementSkip(const Tag& tag, std::size_t& end) const {
    end = tag.end;
    if (tag.boSelfClosing) {
        return true;
    }
    const std::size_t size = text_.size();
    std::size_t at = tag.end;
    int depth = 1;
    while (depth > 0) {
        at = nearFind(text_, '<', at);
        if (at == npos || at + 1 >= size) {
            return false;
        }
        const char next = text_[at + 1];
        std::size_t found = npos;
        if (next == '/') {
            found = nearFind(text_, '>', at + 2);
            --depth;
        } else if (next == '?') {
            found = text_.find("?>", at + 2);
            found = found == npos ? npos : found + 1;
        } else if (next == '!') {
            const std::string_view rest = text_.substr(at);
            if (rest.starts_with("<!--")) {
                found = text_.find("-->", at + 4);
                found = found == npos ? npos : found + 2;
            } else if (rest.starts_with("<![CDATA[")) {
                found = text_.find("]]>", at + 9);
                found = found == npos ? npos : found + 2;
            }
        } else {
            found = startTagClose(at + 1);
            if (found != npos && text_[found - 1] != '/') {
                ++depth;
            }
        }
        if (found == npos) {
            return false;
        }
        at = found + 1;
    }
    end = at;
    return true;
}

std::size_t Tokenizer::startTagClose(std::size_t at) const noexcept {
    const std::size_t size = text_.size();
    while (at < size) {
        const char c = text_[at];
        if (c == '>') {
            return at;
        }
        if (c == '"' || c == '\'') {
            at = nearFind(text_, c, at + 1);
            if (at == npos) {
                return npos;
            }
        }
        ++at;
    }
    return npos;
}

std::string_view Tokenizer::leadOf(std::size_t at) const noexcept {
    std::size_t begin = at;
    while (begin > 0 && boIsSpace(text_[begin - 1])) {
        --begin;
    }
    return text_.substr(begin, at - begin);
}

void Tokenizer::vValueDecode(std::string_view raw, std::string& out) {
    out.clear();
    std::size_t at = 0;
    while (at < raw.size()) {
        const std::size_t special = decodedFrom(raw, at);
        out.append(raw.substr(at, special - at));
        at = special;
        if (at == raw.size()) {
            break;
        }
        if (raw[at] != '&') {
            // A carriage return and line feed pair is one space.
            at += raw[at] == '\r' && at + 1 < raw.size() && raw[at + 1] == '\n' ? 2 : 1;
            out += ' ';
            continue;
        }
        const std::size_t semicolon = raw.find(';', at);
        const char32_t value =
            semicolon == npos ? 0 : referenceValue(raw.substr(at + 1, semicolon - at - 1));
        if (value == 0) {
            out += '&'; // an entity that is not XML's own stays as its text
            ++at;
            continue;
        }
        str::vAppendUtf8(out, value);
        at = semicolon + 1;
    }
}

bool Tokenizer::boValueReadsAs(std::string_view raw, std::string_view text, std::string& scratch) {
    if (decodedFrom(raw, 0) == raw.size()) {
        return raw == text;
    }
    vValueDecode(raw, scratch);
    return scratch == text;
}

} // namespace vyr::classification::format
