#pragma once

#include <ostream>
#include <string_view>
#include <vector>

namespace vyr::tool {

// Writes one JSON document to a stream, indented by two spaces, with the
// commas and nesting kept right by the writer. Text that is not valid UTF-8
// has each offending byte replaced by U+FFFD, so the output always parses.
// Points at the stream without owning it. Thread-compatible.
class JsonWriter {
public:
    explicit JsonWriter(std::ostream& out) : out_(out) {}

    void objectBegin();
    void objectEnd();
    // An array of plain values may be kept on one line.
    void arrayBegin(bool boOneLine = false);
    void arrayEnd();
    // The next member's name, inside an object.
    void key(std::string_view name);
    void string(std::string_view text);
    void boolean(bool value);
    void number(long long value);
    void null();

    // Escapes the text as a JSON string, quotes included.
    static void vQuote(std::ostream& out, std::string_view text);

private:
    void vValueBegin();
    void vClose(char bracket);

    std::ostream& out_;
    // One entry per open object or array.
    struct Open {
        bool boHasMember;
        bool boOneLine;
    };
    std::vector<Open> open_;
    bool afterKey_ = false;
};

} // namespace vyr::tool
