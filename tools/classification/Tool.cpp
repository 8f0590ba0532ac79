#include "tools/classification/Tool.h"

#include <locale.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <system_error>

#include "external/platform/FileSystem.h"

namespace vyr::tool {

namespace fs = std::filesystem;

namespace {

// By level (Sys, Shared, User).
constexpr std::array<std::string_view, 3> kLevelNames = {"sys", "shared", "user"};

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

std::string_view levelName(Level level) noexcept {
    return level >= cache::Sys && level <= cache::User ? kLevelNames[static_cast<std::size_t>(level)] : "?";
}

std::optional<Level> levelParse(std::string_view name) noexcept {
    const auto found = std::find(kLevelNames.begin(), kLevelNames.end(), name == "system" ? "sys" : name);
    return found == kLevelNames.end() ? std::nullopt : std::optional<Level>(Level(found - kLevelNames.begin()));
}

CLI::Option* idAdd(CLI::App& app, std::vector<IdArg>& ids, const std::string& name, std::optional<std::string>& id,
                   const std::string& description, const std::optional<std::string>* written) {
    static const CLI::Validator kId([](std::string& value) { return AdminWrapper::sIdProblemGet(value); }, "");
    ids.push_back({&id, written});
    return app.add_option(name, id, description)->type_name(name.starts_with("-") ? "ID" : "")->check(kId);
}

CLI::Option* levelAdd(CLI::App& app, const std::string& name, std::optional<std::string>& level,
                      const std::string& description, bool boWritable) {
    // "system" is the sys level's other name: its folder is called so.
    static const CLI::IsMember kAnyLevel({"sys", "system", "shared", "user"});
    // Sys is refused with what to do instead.
    static const CLI::Validator kWritableLevel(
        [](std::string& value) -> std::string {
            if (value == "sys" || value == "system") {
                return "sys is read-only: override it at shared or user";
            }
            return value == "shared" || value == "user" ? "" : value + " not in {shared,user}";
        },
        "{shared,user}");
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
    // The platform layer opens only a regular file: it never waits on a pipe in the file's place.
    platform::FileStamp stamp;
    const int error = platform::readRegular(path, bytes, stamp);
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

void vUnreadLevelsAdd(const Context& context, std::string_view id, const Cache* cache, std::vector<Warning>& warnings) {
    for (const auto& [level, folder] : context.folders) {
        const fs::path file = context.file(level, id);
        if (!boAnythingAt(file) || (cache != nullptr && cache->levels.count(level) != 0)) {
            continue;
        }
        std::string reason = sReadProblemGet(file);
        warnings.push_back({level, file, reason.empty() ? "the store did not read it" : std::move(reason)});
    }
}

void vWarningsPrint(const Context& context, const std::vector<Warning>& warnings) {
    for (const Warning& warning : warnings) {
        context.err << "vyr-classification " << context.command << ": warning: " << pathText(warning.path) << " (level "
                    << levelName(warning.level) << ") does not read: " << warning.message << '\n';
    }
}

int iDoneStatus(const std::vector<Warning>& warnings) { return warnings.empty() ? kExitSuccess : kExitWarned; }

std::string failureText(const classification::Failure& failure, std::string_view none) {
    const std::string text = failure.sWhat + (failure.sReason.empty() ? "" : ": " + failure.sReason);
    return text.empty() && none.empty() ? "" : ": " + (text.empty() ? std::string(none) : text);
}

EditSession::EditSession(const Context& context, std::string id, Level level)
    : context(context), id(std::move(id)), level(level), file(context.file(level, this->id)) {}

bool EditSession::boOpen(std::string_view notOver) {
    if (pReadableCacheGet(store, id) == nullptr) {
        vUnreadLevelsAdd(context, id, nullptr, warnings);
        vWarningsPrint(context, warnings);
        context.iFail(sMissingReason(context, id) + "; nothing changed");
        return false;
    }
    // The write access brings the cache up to the files.
    access.emplace(store.writeAccessGet(id));
    cache = store.cachesGet(id);
    vUnreadLevelsAdd(context, id, cache, warnings);
    // A file that does not read must not be written over: the store would
    // fill the level from another one and the file's own content would be lost.
    const auto own = std::find_if(warnings.begin(), warnings.end(), [&](const Warning& w) { return w.level == level; });
    const std::string reason = own == warnings.end() ? "" : own->message;
    warnings.erase(own, own == warnings.end() ? own : own + 1);
    vWarningsPrint(context, warnings);
    if (!reason.empty()) {
        context.iFail(pathText(file) + " does not read (" + reason + "); " + std::string(notOver));
    }
    return reason.empty();
}

bool EditSession::boMergedViewWhole(std::string_view what, std::string_view instead) const {
    if (warnings.empty()) {
        return true;
    }
    // Other levels than the one edited: boOpen refuses the edit when its own file does not read.
    const Warning& unread = warnings.front();
    context.iFail(std::string(what) + " from the merged view, which lacks level " +
                  std::string(levelName(unread.level)) + ": " + pathText(unread.path) +
                  " does not read; nothing changed. Mend that file first (vyr-classification check), or " +
                  std::string(instead));
    return false;
}

bool EditSession::boLock() {
    if (!access->boLockFile(level)) {
        context.iFail("cannot lock " + pathText(file) + " for writing" + failureText(access->failureGet()) +
                      "; nothing changed");
        return false;
    }
    return true;
}

bool EditSession::boWriteBack(std::string_view after) {
    if (!access->boWriteBack()) {
        context.iFail("could not write " + pathText(file) +
                      failureText(access->failureGet(), "the store did not write it") + std::string(after));
        return false;
    }
    access.reset(); // lets the level go
    return true;
}

} // namespace vyr::tool
