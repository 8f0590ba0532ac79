#include "tools/classification/CommandSupport.h"

#include <locale.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cwchar>
#include <cstring>

#include "external/platform/FileSystem.h"

namespace vyr::tool {

namespace fs = std::filesystem;

int Context::iFail(std::string_view message) const {
    err << "vyr-classification " << command << ": " << message << '\n';
    return kExitFailed;
}

fs::path Context::file(Level level, std::string_view id) const { return AdminWrapper().levelFilePathGet(id, level); }

Level Context::level() const { return *levelParse(args.level.value()); }

void vJsonWrite(std::ostream& out, const Json& document) {
    out << document.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

Json levelArray(const std::vector<Level>& levels) {
    Json array = Json::array();
    for (const Level level : levels) {
        array.push_back(levelName(level));
    }
    return array;
}

std::string idText(std::string_view id) {
    std::string text = displayText(id);
    text.insert(text.begin(), '\'');
    text.push_back('\'');
    return text;
}

std::string levelList(const std::vector<Level>& levels, std::string_view separator) {
    std::string text;
    for (const Level level : levels) {
        text += (text.empty() ? "" : std::string(separator)) + std::string(levelName(level));
    }
    return text;
}

std::vector<Level> levelsOf(const Cache& cache) {
    std::vector<Level> levels;
    for (const auto& entry : cache.levels) {
        levels.push_back(entry.first);
    }
    return levels;
}

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

std::vector<Warning> unreadLevelsGet(const Context& context, std::string_view id, const Cache* cache) {
    std::vector<Warning> warnings;
    for (const auto& [level, folder] : context.folders) {
        const fs::path file = context.file(level, id);
        if (!boAnythingAt(file) || (cache != nullptr && cache->levels.count(level) != 0)) {
            continue;
        }
        std::string reason = sReadProblemGet(file);
        warnings.push_back({level, file, reason.empty() ? "the store did not read it" : std::move(reason)});
    }
    return warnings;
}

void vWarningsPrint(const Context& context, const std::vector<Warning>& warnings) {
    for (const Warning& warning : warnings) {
        context.err << "vyr-classification " << context.command << ": warning: " << pathText(warning.path) << " (level "
                    << levelName(warning.level) << ") does not read: " << warning.message << '\n';
    }
}

Json warningArray(const std::vector<Warning>& warnings) {
    Json array = Json::array();
    for (const Warning& warning : warnings) {
        array.push_back(
            {{"level", levelName(warning.level)}, {"path", pathText(warning.path)}, {"message", warning.message}});
    }
    return array;
}

int iDoneStatus(const std::vector<Warning>& warnings) {
    return warnings.empty() ? kExitSuccess : kExitWarned;
}

std::string sMergedLine(const Cache& cache, const std::string& source) {
    const std::vector<Level> levels = AdminWrapper::sourceLevelsGet(cache, source);
    if (levels.empty()) {
        return displayText(source) + " is not listed at any level";
    }
    return displayText(source) + " -> " + classifiedList(cache.merged.pClassifiedIdsGet(source)) + " (decided by " +
           std::string(levelName(levels.front())) + ")";
}

const std::set<std::string>* pLevelSetGet(const Cache& cache, Level level, const std::string& source) {
    const auto present = cache.levels.find(level);
    if (present == cache.levels.end()) {
        return nullptr;
    }
    const auto found = present->second.sourceToClassified.find(source);
    return found == present->second.sourceToClassified.end() ? nullptr : &found->second;
}

std::string shellWord(const std::string& text) {
    std::string word = "'";
    for (const char c : text) {
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return word + "'";
}

bool boFileBytesGet(const fs::path& path, std::string& bytes, std::string& reason) {
    // The platform layer opens nothing but a regular file, and never waits
    // on a pipe put in the file's place.
    platform::FileStamp stamp;
    const int error = platform::readRegular(path, bytes, stamp);
    reason = error == 0        ? ""
             : error == EINVAL ? "not a regular file"
                               : std::string("cannot be opened: ") + std::strerror(error);
    return error == 0;
}

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
        wchar_t c = 0;
        const std::size_t length = std::mbrtowc(&c, text.data() + at, text.size() - at, &state);
        const bool boValid = length != 0 && length <= text.size() - at;
        state = boValid ? state : std::mbstate_t{};
        visit(boValid ? static_cast<long>(c) : (length == 0 ? 0L : -1L), text.substr(at, boValid ? length : 1));
        at += boValid ? length : 1;
    }
    ::uselocale(previous);
}

} // namespace

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

void vPadded(std::ostream& out, std::string_view text, std::size_t width) {
    const std::size_t taken = displayWidth(text);
    out << text << std::string(width > taken ? width - taken : 0, ' ');
}

} // namespace vyr::tool
