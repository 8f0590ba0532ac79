#include "tools/classification/Tool.h"

#include <locale.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <system_error>

namespace vyr::tool {

namespace fs = std::filesystem;

namespace {

// Calls visit(code point, its bytes) for each code point of the UTF-8 text,
// with -1 for a byte that starts no valid sequence. Decodes under C.UTF-8
// (built into the C library, so always there), which the visit runs under
// too, whatever the process's locale.
template <class Visit>
void vDecode(std::string_view text, Visit visit) {
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    const locale_t previous = ::uselocale(utf8);
    std::mbstate_t state{};
    for (std::size_t at = 0; at < text.size();) {
        // An ASCII byte is its own code point: only longer sequences need the decoder.
        wchar_t c = static_cast<unsigned char>(text[at]) < 0x80 ? text[at] : -1;
        const std::size_t length =
            c >= 0 ? (c != 0 ? 1 : 0) : std::mbrtowc(&c, text.data() + at, text.size() - at, &state);
        const bool boValid = length != 0 && length <= text.size() - at;
        state = boValid ? state : std::mbstate_t{};
        visit(boValid ? static_cast<long>(c) : (length == 0 ? 0L : -1L), text.substr(at, boValid ? length : 1));
        at += boValid ? length : 1;
    }
    ::uselocale(previous);
}

// The value as dump(2) writes it inside a document, `indent` spaces deep.
std::string dumped(const Json& value, std::size_t indent) {
    std::string text = value.dump(2, ' ', false, Json::error_handler_t::replace);
    for (std::size_t at = text.find('\n'); indent != 0 && at != std::string::npos; at = text.find('\n', at + 1)) {
        text.insert(at + 1, indent, ' ');
    }
    return text;
}

} // namespace

int Context::iFail(std::string_view message) const {
    err << "vyr-classification " << command << ": " << message << '\n';
    return kExitFailed;
}

fs::path Context::file(Level level, std::string_view id) const { return AdminWrapper().levelFilePathGet(id, level); }

Level Context::level() const { return *levelParse(args.level.value()); }

CLI::Option* idAdd(CLI::App& app, std::vector<IdArg>& ids, const std::string& name, std::optional<std::string>& id,
                   const std::string& description, const std::optional<std::string>* written) {
    static const CLI::Validator kId([](std::string& value) { return AdminWrapper::sIdProblemGet(value); }, "");
    ids.push_back({&id, written});
    return app.add_option(name, id, description)->type_name(name.starts_with("-") ? "ID" : "")->check(kId);
}

CLI::Option* levelAdd(CLI::App& app, const std::string& name, std::optional<std::string>& level,
                      const std::string& description, bool boWritable) {
    static const CLI::IsMember kAnyLevel(levelNamesGet(false));
    // A level the tool does not write is refused with what to do instead.
    static const std::string kWritableNames = "{" + CLI::detail::join(levelNamesGet(true), ",") + "}";
    static const CLI::Validator kWritableLevel(
        [](std::string& value) -> std::string {
            const std::optional<Level> parsed = levelParse(value);
            return parsed ? sLevelReadOnlyProblemGet(*parsed) : value + " not in " + kWritableNames;
        },
        kWritableNames);
    return app.add_option(name, level, description)
        ->type_name("LEVEL")
        ->check(boWritable ? kWritableLevel : kAnyLevel);
}

void vFooterSet(CLI::App& app, std::initializer_list<std::string_view> examples, std::string_view text,
                bool boDashNote) {
    std::string footer = "Example:";
    for (const std::string_view line : examples) {
        footer += "\n  " + std::string(line);
    }
    footer += text;
    if (boDashNote) {
        footer += "\n\nAn id that begins with '-' goes after '--', which ends the options:\n"
                  "  vyr-classification show -- -draft\n"
                  "  vyr-classification add materials --level user -- -bolt zinc";
    }
    app.footer(footer);
}

std::string displayText(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    vDecode(text, [&](long c, std::string_view bytes) {
        char escape[8] = {};
        if (c == '\t' || c == '\n' || c == '\r') {
            shown += c == '\t' ? "\\t" : c == '\n' ? "\\n" : "\\r";
        } else if ((c >= 0 && c < 0x20) || c == 0x7F || (c >= 0x80 && c < 0xA0)) {
            std::snprintf(escape, sizeof escape, c < 0x80 ? "\\x%02X" : "\\u%04X", static_cast<unsigned>(c));
            shown += escape;
        } else {
            shown.append(bytes);
        }
    });
    return shown;
}

std::size_t displayWidth(std::string_view text) {
    std::size_t width = 0;
    vDecode(text, [&](long c, std::string_view) {
        const int columns = c < 0 ? 1 : ::wcwidth(static_cast<wchar_t>(c));
        width += columns < 0 ? 1 : static_cast<std::size_t>(columns);
    });
    return width;
}

std::string idText(std::string_view id) { return "'" + displayText(id) + "'"; }

std::string classifiedList(const std::set<std::string>* classified) {
    if (classified == nullptr || classified->empty()) {
        return "(none)";
    }
    std::string text;
    for (const std::string& id : *classified) {
        text += (text.empty() ? "" : ", ") + displayText(id);
    }
    return text;
}

std::string pathText(const fs::path& path) { return path.string(); }

std::string shellWord(const std::string& text) {
    std::string word = "'";
    for (const char c : text) {
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return word + "'";
}

void vJsonWrite(std::ostream& out, const Json& document, std::string_view streamed, const JsonElements& elements) {
    const std::string text = dumped(document, 0);
    // The streamed member's null, as dump(2) writes a member of the object (no text holds a line end).
    const std::string member = "\n  " + dumped(Json(streamed), 0) + ": null";
    const std::size_t at = streamed.empty() ? std::string::npos : text.find(member);
    out << text.substr(0, at == std::string::npos ? at : at + member.size() - 4);
    if (at != std::string::npos) {
        const char* before = "[\n    ";
        elements([&](const Json& element) {
            out << before << dumped(element, 4);
            before = ",\n    ";
        });
        out << (*before == '[' ? "[]" : "\n  ]") << text.substr(at + member.size());
    }
    out << '\n';
}

bool boAnythingAt(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found;
}

std::string sReadProblemGet(const fs::path& path) {
    return AdminWrapper::levelFileProblemGet(path).value_or("not a regular file");
}

bool boFileBytesGet(const fs::path& path, std::string& bytes, std::string& reason) {
    // The store opens only a regular file: it never waits on a pipe in the file's place.
    const int error = AdminWrapper::fileBytesRead(path, bytes);
    reason = error == 0        ? ""
             : error == EINVAL ? "not a regular file"
                               : std::string("cannot be opened: ") + std::strerror(error);
    return error == 0;
}

const Cache* pReadableCacheGet(AdminWrapper& store, std::string_view id) {
    if (!store.boClassificationExists(id)) {
        return nullptr;
    }
    const Cache* cache = store.cachesGet(id);
    return cache->levels.empty() ? nullptr : cache;
}

std::string sMissingReason(const Context& context, std::string_view id) {
    for (const auto& [level, folder] : context.folders) {
        if (boAnythingAt(context.file(level, id))) {
            return "no file of " + idText(id) + " reads";
        }
    }
    return "no classification " + idText(id) + " in the level folders (see: vyr-classification list)";
}

int iSourceListedCheck(const Context& context, const Cache& cache, std::string_view id, const std::string& source,
                       std::string_view after) {
    if (!AdminWrapper::sourceLevelsGet(cache, source).empty()) {
        return kExitSuccess;
    }
    context.err << "vyr-classification " << context.command << ": no level of " << idText(id)
                << " lists the source id " << displayText(source) << " (see: vyr-classification show "
                << commandWord(std::string(id)) << ")" << after << '\n';
    return kExitNotListed;
}

std::string commandWord(const std::string& text) {
    const bool boPlain = !text.empty() && text.front() != '-' && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
               c == '.' || c == '/';
    });
    return boPlain ? text : shellWord(text);
}

const std::set<std::string>* pLevelSetGet(const Cache& cache, Level level, const std::string& source) {
    const auto present = cache.levels.find(level);
    if (present == cache.levels.end()) {
        return nullptr;
    }
    const auto found = present->second.sourceToClassified.find(source);
    return found == present->second.sourceToClassified.end() ? nullptr : &found->second;
}

std::string failureText(const classification::Failure& failure, std::string_view none) {
    const std::string text = failure.sWhat + (failure.sReason.empty() ? "" : ": " + failure.sReason);
    return text.empty() && none.empty() ? "" : ": " + (text.empty() ? std::string(none) : text);
}

} // namespace vyr::tool
