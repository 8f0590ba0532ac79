#include "tools/classification/Commands.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <exception>
#include <map>
#include <set>
#include <string_view>
#include <system_error>
#include <vector>

#include <nlohmann/json.hpp>

#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"
#include "bridge/ClassificationEntryPoints.h"
#include "external/assert/Assert.h"
#include "external/classification/Mapping.h"
#include "external/definition/AdminWrapper.h"
#include "external/directories/Directories.h"
#include "tools/classification/ConsoleCallback.h"
#include "tools/classification/Display.h"

namespace vyr::tool {

namespace fs = std::filesystem;
using bridge::classification::AdminWrapper;
using classification::Mapping;
using Cache = AdminWrapper::Cache;
// Objects keep their members in the order they were added.
using Json = nlohmann::ordered_json;

namespace {

int iFail(const Context& context, std::string_view command, std::string_view message) {
    context.err << "vyr-classification " << command << ": " << message << '\n';
    return kExitFailed;
}

// Writes one JSON document, indented by two spaces. Text that is not valid
// UTF-8 has each offending byte replaced by U+FFFD, so the output always parses.
void vJsonWrite(std::ostream& out, const Json& document) {
    out << document.dump(2, ' ', false, Json::error_handler_t::replace) << '\n';
}

template <class Levels>
Json levelArray(const Levels& levels) {
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

// The store's level cache of the id, or null when no level of it reads.
// Asks boClassificationExists first: cachesGet inserts an empty entry for an
// unknown id.
const Cache* pReadableCacheGet(AdminWrapper& store, std::string_view id) {
    if (!store.boClassificationExists(id)) {
        return nullptr;
    }
    const Cache* cache = store.cachesGet(id);
    return cache->levels.empty() ? nullptr : cache;
}

// Why the id has no readable level, for a one-line error.
std::string sMissingReason(const Context& context, std::string_view id) {
    for (const auto& [level, folder] : context.folders) {
        if (boAnythingAt(filePathGet(context.folders, level, id))) {
            return "no file of " + idText(id) + " reads";
        }
    }
    return "no classification " + idText(id) + " in the level folders (see: vyr-classification list)";
}

// Something a person should know that did not stop the command: a level
// file that does not read, a level folder that does not exist, a mapping
// file where the store never looks. A plain value.
struct Warning {
    Level level;
    fs::path path;
    std::string message;
};

// One warning for each level file of the id that exists but that the store
// did not read (cache null: none read).
std::vector<Warning> unreadLevelsGet(const Context& context, std::string_view id, const Cache* cache) {
    std::vector<Warning> warnings;
    for (const auto& [level, folder] : context.folders) {
        const fs::path file = filePathGet(context.folders, level, id);
        if (!boAnythingAt(file) || (cache != nullptr && cache->levels.count(level) != 0)) {
            continue;
        }
        std::string reason = sReadProblemGet(file);
        warnings.push_back({level, file, reason.empty() ? "the store did not read it" : std::move(reason)});
    }
    return warnings;
}

// One line each on the error stream.
void vWarningsPrint(const Context& context, std::string_view command, const std::vector<Warning>& warnings) {
    for (const Warning& warning : warnings) {
        context.err << "vyr-classification " << command << ": warning: " << pathText(warning.path) << " (level "
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

// The assertion records of the store's write access and creation since the
// sink was last cleared: each one is a write that did not happen, with its
// reason.
std::vector<std::string> writeFailuresGet() {
    std::vector<std::string> messages;
    for (const assert::AssertInfoWrapper& record : assert::Assert::recordsGet()) {
        const std::string_view function = record->function();
        if (function.starts_with("vyr::classification::WriteAccess") ||
            function.starts_with("vyr::cache::CacheWriteAccess") ||
            function == "vyr::classification::Admin::boCreateClassification") {
            messages.emplace_back(record->message());
        }
    }
    return messages;
}

// One line of `show`: a pair of the view, or a source id with no classified
// id; the level that decided it and the lower levels that it overrides.
struct Row {
    const std::string* source;
    const std::string* classified; // null: the deciding level lists the source with no classified id
    Level level;
    std::vector<Level> overrides;
};

// The text attributes after the id, with their names.
std::array<std::pair<const char*, const std::string*>, 6> textsOf(const Mapping& mapping) {
    return {{{"text2", &mapping.sText2},
             {"text3", &mapping.sText3},
             {"text4", &mapping.sText4},
             {"text5", &mapping.sText5},
             {"text6", &mapping.sText6},
             {"text7", &mapping.sText7}}};
}

Json headerJson(const Mapping& top, Level level) {
    Json header = {{"level", levelName(level)}};
    for (const auto& [name, text] : textsOf(top)) {
        header[name] = *text;
    }
    header["flag1"] = top.boFlag1;
    header["flag2"] = top.boFlag2;
    return header;
}

void vHeaderText(std::ostream& out, const Mapping& top) {
    for (const auto& [name, text] : textsOf(top)) {
        if (!text->empty()) {
            out << "  " << name << ": " << displayText(*text) << '\n';
        }
    }
    out << "  flags: flag1=" << (top.boFlag1 ? "true" : "false") << " flag2=" << (top.boFlag2 ? "true" : "false")
        << '\n';
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

// The level that decides the source id in the merged view: the highest that
// lists it.
std::optional<Level> decidingLevel(const Cache& cache, std::string_view source) {
    for (auto it = cache.levels.rbegin(); it != cache.levels.rend(); ++it) {
        if (it->second.sourceToClassified.count(std::string(source)) != 0) {
            return it->first;
        }
    }
    return std::nullopt;
}

// "bolt -> iron, steel (decided by user)" for the merged view after an edit.
std::string sMergedLine(const Cache& cache, const std::string& source) {
    const std::optional<Level> level = decidingLevel(cache, source);
    if (!level) {
        return displayText(source) + " is not listed at any level";
    }
    return displayText(source) + " -> " + classifiedList(cache.merged.pClassifiedIdsGet(source)) + " (decided by " +
           std::string(levelName(*level)) + ")";
}

// Whether the mapping file at the level folder is one that the store reads.
bool boIsLevelFolder(const LevelFolders& folders, const fs::path& folder) {
    std::error_code error;
    return std::any_of(folders.begin(), folders.end(),
                       [&](const auto& entry) { return fs::equivalent(entry.second, folder, error); });
}

// Mapping files below the folders that the directory service names, in
// places where the store never reads: any "*.xml" file in a folder named
// like the store's folder, and any other file that reads as a mapping. Looks
// three folders deep and does not follow links.
std::vector<Warning> misplacedFilesGet(const LevelFolders& folders) {
    std::vector<Warning> warnings;
    std::set<fs::path> seen;
    for (const auto& [level, root] : levelRootsGet()) {
        std::error_code error;
        if (!fs::is_directory(root, error)) {
            continue;
        }
        for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error), end;
             !error && it != end; it.increment(error)) {
            if (it.depth() >= 3) {
                it.disable_recursion_pending();
            }
            const fs::path& path = it->path();
            std::error_code statusError;
            if (path.extension() != ".xml" || !it->is_regular_file(statusError) || it->is_symlink(statusError)) {
                continue;
            }
            const fs::path canonical = fs::weakly_canonical(path, statusError);
            if (!seen.insert(canonical).second || boIsLevelFolder(folders, path.parent_path())) {
                continue;
            }
            std::string parent = path.parent_path().filename().string();
            std::transform(parent.begin(), parent.end(), parent.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (parent == "classification" || sReadProblemGet(path).empty()) {
                warnings.push_back({level, path,
                                    "a mapping file where the store never reads; level " +
                                        std::string(levelName(level)) + " reads " + pathText(folders.at(level))});
            }
        }
    }
    return warnings;
}

} // namespace

int iFoldersRun(const Context& context) {
    for (const auto& [level, folder] : context.folders) {
        std::error_code error;
        vPadded(context.out, levelName(level), 8);
        context.out << pathText(folder) << (fs::is_directory(folder, error) ? "" : "  (missing)") << '\n';
    }
    return kExitSuccess;
}

int iListRun(const Context& context, bool boJson) {
    // The levels of each id, and those of them whose file does not read.
    std::map<std::string, std::pair<std::vector<Level>, std::vector<Level>>> found;
    std::vector<Warning> warnings;
    for (const LevelEntry& entry : levelEntriesGet(context.folders)) {
        if (entry.boIdValid && entry.boRegularFile) {
            auto& [levels, unread] = found[entry.id];
            levels.push_back(entry.level);
            std::string problem = sReadProblemGet(entry.path);
            if (!problem.empty()) {
                unread.push_back(entry.level);
                warnings.push_back({entry.level, entry.path, std::move(problem)});
            }
        }
    }
    if (boJson) {
        Json classifications = Json::array();
        for (const auto& [id, levels] : found) {
            classifications.push_back({{"id", id}, {"levels", levelArray(levels.first)}});
        }
        vJsonWrite(context.out, {{"classifications", classifications}, {"warnings", warningArray(warnings)}});
        return kExitSuccess;
    }
    std::size_t width = 0;
    for (const auto& entry : found) {
        width = std::max(width, displayWidth(displayText(entry.first)));
    }
    for (const auto& [id, levels] : found) {
        vPadded(context.out, displayText(id), width + 2);
        context.out << levelList(levels.first, " ");
        if (!levels.second.empty()) {
            context.out << "  (does not read: " << levelList(levels.second, " ") << ')';
        }
        context.out << '\n';
    }
    if (found.empty()) {
        context.out << "(no classification files in the level folders)\n";
    }
    return kExitSuccess;
}

int iShowRun(const Context& context, const ShowOptions& options) {
    AdminWrapper store;
    const Cache* cache = pReadableCacheGet(store, options.id);
    const std::vector<Warning> warnings = unreadLevelsGet(context, options.id, cache);
    vWarningsPrint(context, "show", warnings);
    if (cache == nullptr) {
        return iFail(context, "show", sMissingReason(context, options.id));
    }

    // The view: one level's own mapping, or the merged view.
    const Mapping* header = cache->pTopMappingGet();
    Level headerLevel = cache->levels.rbegin()->first;
    if (options.level) {
        const auto found = cache->levels.find(*options.level);
        if (found == cache->levels.end()) {
            const bool boFileThere = boAnythingAt(filePathGet(context.folders, *options.level, options.id));
            return iFail(context, "show",
                         idText(options.id) + " has no mapping at level " + std::string(levelName(*options.level)) +
                             (boFileThere ? " (its file does not read)" : " (no file there)"));
        }
        header = &found->second;
        headerLevel = found->first;
    }

    std::vector<Row> rows;
    const auto collect = [&](const auto& relation) {
        for (const auto& [source, classified] : relation) {
            if (options.source && source != *options.source) {
                continue;
            }
            Row row{&source, nullptr, headerLevel, {}};
            if (!options.level) {
                bool boDecided = false;
                for (auto it = cache->levels.rbegin(); it != cache->levels.rend(); ++it) {
                    if (it->second.sourceToClassified.count(source) == 0) {
                        continue;
                    }
                    if (!boDecided) {
                        row.level = it->first;
                        boDecided = true;
                    } else {
                        row.overrides.insert(row.overrides.begin(), it->first);
                    }
                }
            }
            if (classified.empty()) {
                if (!options.classified) {
                    rows.push_back(row);
                }
                continue;
            }
            for (const std::string& classifiedId : classified) {
                if (!options.classified || classifiedId == *options.classified) {
                    row.classified = &classifiedId;
                    rows.push_back(row);
                }
            }
        }
    };
    if (options.level) {
        collect(header->sourceToClassified);
    } else {
        collect(cache->merged.sourceToClassified);
    }
    const int status = warnings.empty() ? kExitSuccess : kExitFailed;

    if (options.boJson) {
        Json pairs = Json::array();
        for (const Row& row : rows) {
            pairs.push_back({{"source", *row.source},
                             {"classified", row.classified != nullptr ? Json(*row.classified) : Json(nullptr)},
                             {"level", levelName(row.level)},
                             {"overrides", levelArray(row.overrides)}});
        }
        vJsonWrite(context.out, {{"id", options.id},
                                 {"levels", levelArray(levelsOf(*cache))},
                                 {"view", options.level ? levelName(*options.level) : "merged"},
                                 {"header", headerJson(*header, headerLevel)},
                                 {"pairs", pairs},
                                 {"warnings", warningArray(warnings)}});
        return status;
    }

    std::ostream& out = context.out;
    out << displayText(options.id) << ": ";
    if (options.level) {
        out << "level " << levelName(*options.level) << " only\n";
    } else {
        out << "levels " << levelList(levelsOf(*cache), ", ") << "; header from " << levelName(headerLevel) << '\n';
    }
    vHeaderText(out, *header);
    if (rows.empty()) {
        out << "(no pairs" << (options.source || options.classified ? " match" : "") << ")\n";
        return status;
    }
    std::vector<std::pair<std::string, std::string>> shown;
    std::size_t sourceWidth = displayWidth("SOURCE");
    std::size_t classifiedWidth = displayWidth("CLASSIFIED");
    for (const Row& row : rows) {
        shown.emplace_back(displayText(*row.source), row.classified ? displayText(*row.classified) : "(none)");
        sourceWidth = std::max(sourceWidth, displayWidth(shown.back().first));
        classifiedWidth = std::max(classifiedWidth, displayWidth(shown.back().second));
    }
    vPadded(out, "SOURCE", sourceWidth + 2);
    vPadded(out, "CLASSIFIED", classifiedWidth + 2);
    out << (options.level ? "LEVEL" : "DECIDED BY") << '\n';
    for (std::size_t i = 0; i < rows.size(); ++i) {
        vPadded(out, shown[i].first, sourceWidth + 2);
        vPadded(out, shown[i].second, classifiedWidth + 2);
        out << levelName(rows[i].level);
        if (!rows[i].overrides.empty()) {
            out << " (overrides " << levelList(rows[i].overrides, ", ") << ')';
        }
        out << '\n';
    }
    return status;
}

int iCheckRun(const Context& context, bool boJson, bool boAllowMissing) {
    // One checked entry; a plain value.
    struct Result {
        Level level;
        fs::path path;
        std::string id;
        std::string error; // empty: the file reads
    };
    std::vector<Result> results;
    std::vector<Warning> warnings;
    for (const auto& [level, folder] : context.folders) {
        std::error_code error;
        if (boAnythingAt(folder) && !fs::is_directory(folder, error)) {
            results.push_back({level, folder, "", "the level folder is not a folder"});
        } else if (!boAnythingAt(folder) && !boAllowMissing) {
            warnings.push_back({level, folder, "the level folder does not exist"});
        }
    }
    for (const LevelEntry& entry : levelEntriesGet(context.folders)) {
        Result result{entry.level, entry.path, entry.id, ""};
        if (!entry.boIdValid) {
            result.error = "the file name is not valid UTF-8, so it names no classification id";
        } else {
            result.error = sReadProblemGet(entry.path);
        }
        results.push_back(std::move(result));
    }
    const std::vector<Warning> misplaced = misplacedFilesGet(context.folders);
    warnings.insert(warnings.end(), misplaced.begin(), misplaced.end());

    const auto failed = static_cast<std::size_t>(
        std::count_if(results.begin(), results.end(), [](const Result& result) { return !result.error.empty(); }));
    const char* notRead = failed == 1 ? " does not read" : " do not read";
    const std::string warned = warnings.empty() ? ""
                                                : "; " + std::to_string(warnings.size()) +
                                                      (warnings.size() == 1 ? " warning" : " warnings");
    if (boJson) {
        Json files = Json::array();
        for (const Result& result : results) {
            Json file = {{"path", pathText(result.path)},
                         {"level", levelName(result.level)},
                         {"id", result.id},
                         {"ok", result.error.empty()}};
            if (!result.error.empty()) {
                file["error"] = result.error;
            }
            files.push_back(std::move(file));
        }
        vJsonWrite(context.out, {{"files", files},
                                 {"checked", results.size()},
                                 {"failed", failed},
                                 {"warnings", warningArray(warnings)}});
    } else {
        for (const Result& result : results) {
            if (!result.error.empty()) {
                context.out << pathText(result.path) << ": " << result.error << '\n';
            }
        }
        for (const Warning& warning : warnings) {
            context.out << "warning: " << pathText(warning.path) << ": " << warning.message << '\n';
        }
        context.out << "checked " << results.size() << (results.size() == 1 ? " file: " : " files: ")
                    << (failed == 0 ? "all read" : std::to_string(failed) + notRead) << warned << '\n';
    }
    if (failed != 0) {
        context.err << "vyr-classification check: " << failed << " of " << results.size() << " files" << notRead
                    << warned << '\n';
        return kExitFailed;
    }
    if (!warnings.empty()) {
        context.err << "vyr-classification check: " << warned.substr(2)
                    << (boAllowMissing ? "" : " (--allow-missing passes over missing level folders)") << '\n';
        return kExitFailed;
    }
    return kExitSuccess;
}

int iCreateRun(const Context& context, const CreateOptions& options) {
    const fs::path file = filePathGet(context.folders, options.level, options.id);
    if (boAnythingAt(file)) {
        return iFail(context, "create",
                     idText(options.id) + " already has a file at level " + std::string(levelName(options.level)) +
                         ": " + pathText(file));
    }
    AdminWrapper store;
    assert::Assert::vClear();
    const bool boCreated = store.boCreateClassification(options.id, options.sText2, options.sText3, options.sText4,
                                                        options.sText5, options.boFlag1, options.boFlag2,
                                                        options.level);
    const std::vector<std::string> failures = writeFailuresGet();
    if (!boCreated || !failures.empty()) {
        return iFail(context, "create",
                     "could not write " + pathText(file) + (failures.empty() ? "" : ": " + failures.front()));
    }
    context.out << "created " << displayText(options.id) << " at level " << levelName(options.level) << ": "
                << pathText(file) << '\n';
    return kExitSuccess;
}

int iEditRun(const Context& context, const EditOptions& options) {
    const std::string_view command = options.command;
    const std::string level(levelName(options.level));
    const std::string& id = options.id;
    const std::string source = displayText(options.source);
    const std::string classified = displayText(options.classified);

    AdminWrapper store;
    const Cache* cache = pReadableCacheGet(store, id);
    const fs::path file = filePathGet(context.folders, options.level, id);
    std::vector<Warning> warnings = unreadLevelsGet(context, id, cache);
    // A file that does not read must not be written over: the store would
    // fill the level from another one and the file's own content would be lost.
    const auto atEditedLevel = std::find_if(warnings.begin(), warnings.end(),
                                            [&](const Warning& warning) { return warning.level == options.level; });
    if (atEditedLevel != warnings.end()) {
        const std::string reason = atEditedLevel->message;
        warnings.erase(atEditedLevel);
        vWarningsPrint(context, command, warnings);
        return iFail(context, command, pathText(file) + " does not read (" + reason + "); not writing over it");
    }
    vWarningsPrint(context, command, warnings);
    if (cache == nullptr) {
        return iFail(context, command, sMissingReason(context, id) + "; nothing changed");
    }
    const auto present = cache->levels.find(options.level);

    // A removal must find what it removes at the level itself: the merged
    // view may take it from another level, which this edit does not touch.
    const Mapping::Relation* atLevel = present == cache->levels.end() ? nullptr : &present->second.sourceToClassified;
    const auto sourceSet = [&]() -> const std::set<std::string>* {
        if (atLevel == nullptr) {
            return nullptr;
        }
        const auto found = atLevel->find(options.source);
        return found == atLevel->end() ? nullptr : &found->second;
    };
    switch (options.edit) {
    case Edit::Remove:
        if (sourceSet() == nullptr || sourceSet()->count(options.classified) == 0) {
            return iFail(context, command,
                         idText(id) + " has no pair " + source + " -> " + classified + " at level " + level +
                             "; nothing changed");
        }
        break;
    case Edit::RemoveSource:
        if (sourceSet() == nullptr || sourceSet()->empty()) {
            return iFail(context, command,
                         idText(id) + " maps " + source + " to nothing at level " + level + "; nothing changed");
        }
        break;
    case Edit::RemoveClassified:
        if (atLevel == nullptr || std::none_of(atLevel->begin(), atLevel->end(), [&](const auto& entry) {
                return entry.second.count(options.classified) != 0;
            })) {
            return iFail(context, command,
                         "no source id of " + idText(id) + " maps to " + classified + " at level " + level +
                             "; nothing changed");
        }
        break;
    case Edit::Inherit:
        if (sourceSet() == nullptr) {
            return iFail(context, command,
                         idText(id) + " does not list " + source + " at level " + level +
                             ", so the levels below decide it already; nothing changed");
        }
        break;
    case Edit::Add:
    case Edit::Set:
        break;
    }

    // What the person sees of the source id now, before any edit rebuilds it.
    const std::set<std::string>* seen = cache->merged.pClassifiedIdsGet(options.source);
    const std::set<std::string> mergedBefore = seen == nullptr ? std::set<std::string>() : *seen;

    std::string done;
    assert::Assert::vClear();
    {
        classification::WriteAccess access = store.writeAccessGet(id);
        if (!access.boLockFile(options.level)) {
            const std::vector<std::string> failures = writeFailuresGet();
            return iFail(context, command,
                         "cannot lock " + pathText(file) + " for writing" +
                             (failures.empty() ? "" : ": " + failures.front()) + "; nothing changed");
        }
        switch (options.edit) {
        case Edit::Add: {
            // "Add" keeps what the person saw: a level that does not list the
            // source id yet starts from its merged set, which it then decides.
            const auto levelNow = cache->levels.find(options.level);
            if (levelNow == cache->levels.end() || levelNow->second.sourceToClassified.count(options.source) == 0) {
                for (const std::string& kept : mergedBefore) {
                    (void)access.boAddMapping(options.source, kept, options.level);
                }
            }
            (void)access.boAddMapping(options.source, options.classified, options.level);
            done = "added " + source + " -> " + classified + " to " + displayText(id);
            break;
        }
        case Edit::Set:
            (void)access.boSetMapping(options.source, options.classified, options.level);
            done = "set " + source + " -> " + classified + " in " + displayText(id);
            break;
        case Edit::Remove:
            access.vMappingRemove(options.source, options.classified, options.level);
            done = "removed " + source + " -> " + classified + " from " + displayText(id);
            break;
        case Edit::RemoveSource:
            access.vMappedToSourceRemove(options.source, options.level);
            done = "removed every classified id of " + source + " from " + displayText(id);
            break;
        case Edit::RemoveClassified:
            access.vMappedToClassifiedRemove(options.classified, options.level);
            done = "removed " + classified + " from every source id of " + displayText(id);
            break;
        case Edit::Inherit:
            access.vMappedToSourceInherit(options.source, options.level);
            done = "level " + level + " of " + displayText(id) + " no longer lists " + source +
                   "; the levels below decide it";
            break;
        }
    } // the write access writes the level back into its file here
    const std::vector<std::string> failures = writeFailuresGet();
    if (!failures.empty()) {
        return iFail(context, command, "could not write " + pathText(file) + ": " + failures.front());
    }
    context.out << done << (options.edit == Edit::Inherit ? " (" : " at level " + level + " (") << pathText(file)
                << ")\n";

    const Cache& after = *store.cachesGet(id);
    if (options.edit == Edit::RemoveClassified) {
        const std::set<std::string>* sources = after.merged.pSourceIdsGet(options.classified);
        context.out << "merged view: "
                    << (sources == nullptr ? "no source id maps to " + classified
                                           : classifiedList(sources) + " -> " + classified)
                    << '\n';
    } else {
        context.out << "merged view: " << sMergedLine(after, options.source) << '\n';
    }
    return warnings.empty() ? kExitSuccess : kExitFailed;
}

int iClassifyRun(const Context& context, const ClassifyOptions& options, std::ostream* terminal) {
    AdminWrapper store;
    std::vector<Warning> warnings;
    for (const std::string* id : {&options.mapping, &options.filter}) {
        const Cache* cache = pReadableCacheGet(store, *id);
        const std::vector<Warning> unread = unreadLevelsGet(context, *id, cache);
        warnings.insert(warnings.end(), unread.begin(), unread.end());
        if (cache == nullptr) {
            vWarningsPrint(context, "classify", warnings);
            return iFail(context, "classify", sMissingReason(context, *id) + "; nothing changed");
        }
    }
    // The run writes the update classification at the output level; a file
    // there that does not read must not be written over.
    const fs::path file = filePathGet(context.folders, options.out, options.update);
    if (boAnythingAt(file)) {
        const Cache* update = pReadableCacheGet(store, options.update);
        if (update == nullptr || update->levels.count(options.out) == 0) {
            vWarningsPrint(context, "classify", warnings);
            return iFail(context, "classify", pathText(file) + " does not read; not writing over it");
        }
    }
    vWarningsPrint(context, "classify", warnings);

    bridge::definition::AdminWrapper definitions("vyr-classification");
    ConsoleCallback callback(context.out, terminal);
    assert::Assert::vClear();
    try {
        bridge::classification::vClassify(Directories::getInstance(), store, definitions, options.mapping,
                                          options.filter, options.in, options.out, options.update, &callback);
    } catch (const std::exception& error) {
        return iFail(context, "classify", error.what());
    }
    const std::vector<std::string> failures = writeFailuresGet();
    if (!failures.empty()) {
        return iFail(context, "classify", "could not write " + pathText(file) + ": " + failures.front());
    }
    return warnings.empty() ? kExitSuccess : kExitFailed;
}

} // namespace vyr::tool
