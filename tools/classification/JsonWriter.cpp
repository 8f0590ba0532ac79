#include "tools/classification/JsonWriter.h"

#include <cstddef>
#include <cstdio>
#include <string>

#include "external/str/Utf.h"

namespace vyr::tool {

void JsonWriter::vValueBegin() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (open_.empty()) {
        return;
    }
    Open& current = open_.back();
    if (current.boOneLine) {
        out_ << (current.boHasMember ? ", " : "");
    } else {
        out_ << (current.boHasMember ? ",\n" : "\n") << std::string(2 * open_.size(), ' ');
    }
    current.boHasMember = true;
}

void JsonWriter::vClose(char bracket) {
    const Open closed = open_.back();
    open_.pop_back();
    if (closed.boHasMember && !closed.boOneLine) {
        out_ << '\n' << std::string(2 * open_.size(), ' ');
    }
    out_ << bracket;
    if (open_.empty()) {
        out_ << '\n';
    }
}

void JsonWriter::objectBegin() {
    vValueBegin();
    out_ << '{';
    open_.push_back({false, false});
}

void JsonWriter::objectEnd() { vClose('}'); }

void JsonWriter::arrayBegin(bool boOneLine) {
    vValueBegin();
    out_ << '[';
    open_.push_back({false, boOneLine});
}

void JsonWriter::arrayEnd() { vClose(']'); }

void JsonWriter::key(std::string_view name) {
    vValueBegin();
    vQuote(out_, name);
    out_ << ": ";
    afterKey_ = true;
}

void JsonWriter::string(std::string_view text) {
    vValueBegin();
    vQuote(out_, text);
}

void JsonWriter::boolean(bool value) {
    vValueBegin();
    out_ << (value ? "true" : "false");
}

void JsonWriter::number(long long value) {
    vValueBegin();
    out_ << value;
}

void JsonWriter::null() {
    vValueBegin();
    out_ << "null";
}

void JsonWriter::vQuote(std::ostream& out, std::string_view text) {
    out << '"';
    while (!text.empty()) {
        const std::size_t bad = str::invalidUtf8Offset(text);
        const std::string_view valid = text.substr(0, bad);
        for (const char c : valid) {
            switch (c) {
            case '"':
                out << "\\\"";
                break;
            case '\\':
                out << "\\\\";
                break;
            case '\n':
                out << "\\n";
                break;
            case '\r':
                out << "\\r";
                break;
            case '\t':
                out << "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                    out << escaped;
                } else {
                    out << c;
                }
            }
        }
        if (bad == std::string_view::npos) {
            break;
        }
        out << "\\ufffd";
        text.remove_prefix(bad + 1);
    }
    out << '"';
}

} // namespace vyr::tool
