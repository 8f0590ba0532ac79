#pragma once

// The bytes of a mapping document cut into the pieces that the patcher
// (DocumentPatch.h) plans with. Internal to the vyr_mapping library; never
// installed.

#include <cstddef>
#include <string>
#include <string_view>

namespace vyr::classification::format {

// A start tag as the bytes spell it. Positions are byte offsets.
struct Tag {
    std::size_t start = 0; // its '<'
    std::string_view name;
    std::size_t afterAttributes = 0; // after the last attribute's closing quote, or after the name
    std::size_t close = 0;           // the '>', or the '/' of "/>"
    std::size_t end = 0;             // after the tag
    bool boSelfClosing = false;
    bool boHasId = false;
    std::string_view id; // the raw value of the id attribute
};

// One piece of content: whitespace, other text (characters, a CDATA
// section), a comment, a processing instruction (the declaration too), the
// start tag of an element, or an end tag.
struct Piece {
    enum Kind { Space, Other, Comment, Instruction, Element, EndTag };
    Kind kind = Other;
    std::size_t start = 0;
    std::size_t end = 0; // after the piece; for an element, after its start tag
    Tag tag;             // for an element
};

// An attribute of a start tag: its name and its value between the quotes,
// as spelled, and where that value starts.
struct RawAttribute {
    std::string_view name;
    std::string_view value;
    std::size_t valueStart = 0;
};

// Cuts bytes that XmlDocument::boRead accepted into pieces; it checks
// nothing that reading checks already, and every method returns false on
// bytes it does not expect (which reading never accepts). Points at the
// bytes; thread-compatible.
class Tokenizer {
public:
    explicit Tokenizer(std::string_view text) noexcept : text_(text) {}

    [[nodiscard]] std::string_view textGet() const noexcept { return text_; }

    // The piece at `at`.
    [[nodiscard]] bool boPieceRead(std::size_t at, Piece& piece) const;

    // The start tag at `at`; each attribute is handed to `attribute`, a
    // function taking a RawAttribute and returning nothing.
    template <class OnAttribute>
    [[nodiscard]] bool boTagRead(std::size_t at, Tag& tag, OnAttribute attribute) const {
        tag = Tag();
        tag.start = at;
        std::size_t p = nameEnd(at + 1);
        tag.name = text_.substr(at + 1, p - at - 1);
        tag.afterAttributes = p;
        RawAttribute raw;
        for (;;) {
            p = spaceEnd(p);
            if (p >= text_.size()) {
                return false;
            }
            if (text_[p] == '/' || text_[p] == '>') {
                return boTagClose(p, tag);
            }
            if (!boAttributeRead(p, raw)) {
                return false;
            }
            if (raw.name == "id" && !tag.boHasId) {
                tag.boHasId = true;
                tag.id = raw.value;
            }
            attribute(raw);
            tag.afterAttributes = p;
        }
    }

    // Skips the content and end tag of the element whose start tag is
    // given; `end` becomes the position after the element.
    [[nodiscard]] bool boElementSkip(const Tag& tag, std::size_t& end) const;

    // The whitespace right before a position.
    [[nodiscard]] std::string_view leadOf(std::size_t at) const noexcept;

    // The value of an attribute as reading gives it: a raw tab, line feed or
    // carriage return (or a carriage return and line feed pair) becomes a
    // space, XML's predefined entities and character references become
    // their characters, any other entity reference stays as its text.
    static void vValueDecode(std::string_view raw, std::string& out);
    // Whether the raw value reads as `text`, without building it when no
    // reference or raw whitespace asks for decoding.
    [[nodiscard]] static bool boValueReadsAs(std::string_view raw, std::string_view text, std::string& scratch);

private:
    [[nodiscard]] std::size_t nameEnd(std::size_t at) const noexcept;
    [[nodiscard]] std::size_t spaceEnd(std::size_t at) const noexcept;
    // The attribute at `at`; `at` moves past its closing quote.
    [[nodiscard]] bool boAttributeRead(std::size_t& at, RawAttribute& attribute) const;
    [[nodiscard]] bool boTagClose(std::size_t at, Tag& tag) const;
    // The '>' that ends the start tag whose name begins at `at`, past
    // quoted values; npos when there is none.
    [[nodiscard]] std::size_t startTagClose(std::size_t at) const noexcept;
    // A piece that starts with `open` and ends after `close`.
    [[nodiscard]] bool boDelimitedRead(std::size_t at, std::string_view open, std::string_view close,
                                       Piece::Kind kind, Piece& piece) const;

    std::string_view text_;
};

} // namespace vyr::classification::format
