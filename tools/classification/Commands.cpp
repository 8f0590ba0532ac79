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

#include "Source/Core/Utilities/Cache/FileNames.h"
#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"
#include "bridge/ClassificationEntryPoints.h"
#include "external/assert/Assert.h"
#include "external/classification/Mapping.h"
#include "external/definition/AdminWrapper.h"
#include "external/directories/Directories.h"
#include "external/managed/ModuleLoader.h"
#include "external/platform/FileSystemKind.h"
#include "external/str/Utf.h"
#include "tools/classification/CommandSupport.h"
#include "tools/classification/ConsoleCallback.h"
#include "tools/classification/Display.h"

namespace vyr::tool {

namespace fs = std::filesystem;
using classification::Mapping;

namespace {

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

// The text as one shell word: in single quotes, each quote inside written as '\''.
std::string shellWord(const std::string& text) {
    std::string word = "'";
    for (const char c : text) {
        word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return word + "'";
}

// Why the store will not lock a level file that reads, and the command
// that mends it. A plain value.
struct EditProblem {
    std::string reason;
    std::string fix;
};

std::optional<EditProblem> editProblemGet(const fs::path& path) {
    std::error_code error;
    const std::string file = shellWord(pathText(path));
    if (fs::is_symlink(fs::symlink_status(path, error))) {
        const fs::path target = fs::canonical(path, error);
        return EditProblem{"it is a symbolic link (to " + pathText(target) +
                               "), and the store never writes through a link",
                           "replace the link with a copy of its target: cp --remove-destination -- " +
                               shellWord(pathText(target)) + " " + file};
    }
    const std::uintmax_t links = fs::hard_link_count(path, error);
    if (!error && links > 1) {
        const std::string own = shellWord(pathText(path) + ".own");
        return EditProblem{"it has " + std::to_string(links) +
                               " hard links, and the store never writes a file that other names share",
                           "give it a copy of its own: cp -p -- " + file + " " + own + " && mv -- " + own + " " + file};
    }
    return std::nullopt;
}

// The temporary files in the level folders that a writer of the store
// stopped before it renamed them (every writer holds the level's lock while
// its temporary file exists, and the next lock removes what is left).
std::vector<Warning> staleTemporaryFilesGet(const LevelFolders& folders) {
    std::vector<Warning> warnings;
    for (const auto& [level, folder] : folders) {
        std::error_code error;
        std::vector<fs::path> found;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            if (cache::levelFileOfTemporary(it->path().filename().string())) {
                found.push_back(it->path());
            }
        }
        std::sort(found.begin(), found.end());
        for (const fs::path& path : found) {
            const std::string levelFile = *cache::levelFileOfTemporary(path.filename().string());
            const std::optional<std::string> id = cache::idOfLevelFileName(levelFile);
            warnings.push_back({level, path,
                                "a temporary file of " + levelFile +
                                    " that a stopped writer left (unless an edit runs now); fix: " +
                                    (id && level != cache::Sys ? "the next edit of " + idText(*id) + " at level " +
                                                                     std::string(levelName(level)) + " removes it, or "
                                                               : std::string()) +
                                    "rm -- " + shellWord(pathText(path))});
        }
    }
    return warnings;
}

// The level folders whose file system keeps record locks on this machine:
// writers on two machines can both lock a level file there.
std::vector<Warning> unsharedLockFoldersGet(const LevelFolders& folders) {
    std::vector<Warning> warnings;
    for (const auto& [level, folder] : folders) {
        platform::FileSystemKind kind;
        if (platform::fileSystemKindGet(folder, kind) == 0 && !kind.boLocksShared) {
            warnings.push_back({level, folder,
                                "the file system does not share locks between machines (" + kind.lockReason +
                                    "): writers on two machines can both lock a level file here and overwrite "
                                    "each other's edits"});
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
        Json folders = Json::object();
        for (const auto& [level, folder] : context.folders) {
            folders[std::string(levelName(level))] = pathText(folder);
        }
        vJsonWrite(context.out,
                   {{"classifications", classifications}, {"folders", folders}, {"warnings", warningArray(warnings)}});
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
        // Where it looked, so that a run in the wrong folder shows itself.
        bool boAnyFolder = false;
        std::string looked;
        for (const auto& [level, folder] : context.folders) {
            std::error_code error;
            const bool boFolder = fs::is_directory(folder, error);
            boAnyFolder = boAnyFolder || boFolder;
            looked += (looked.empty() ? "" : ", ") + std::string(levelName(level)) + " " + pathText(folder) +
                      (boFolder ? "" : " (missing)");
        }
        if (!boAnyFolder) {
            return iFail(context, "list",
                         "none of the level folders exists: " + looked +
                             " (set --root or VYR_CLASSIFICATION_ROOT; see: vyr-classification folders)");
        }
        context.out << "(no classification files in the level folders: " << looked << ")\n";
    }
    return kExitSuccess;
}

int iShowRun(const Context& context, const ShowOptions& options) {
    const std::string_view command = options.boExport ? "export" : "show";
    AdminWrapper store;
    const Cache* cache = pReadableCacheGet(store, options.id);
    const std::vector<Warning> warnings = unreadLevelsGet(context, options.id, cache);
    vWarningsPrint(context, command, warnings);
    if (cache == nullptr) {
        return iFail(context, command, sMissingReason(context, options.id));
    }

    // The view: one level's own mapping, or the merged view.
    const Mapping* header = cache->pTopMappingGet();
    Level headerLevel = cache->levels.rbegin()->first;
    if (options.level) {
        const auto found = cache->levels.find(*options.level);
        if (found == cache->levels.end()) {
            const bool boFileThere = boAnythingAt(filePathGet(context.folders, *options.level, options.id));
            return iFail(context, command,
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
    const int status = iDoneStatus(warnings);
    // The levels of the view, each with its file.
    const std::vector<Level> viewLevels = options.level ? std::vector<Level>{*options.level} : levelsOf(*cache);
    const std::string_view view = options.level ? levelName(*options.level) : "merged";

    if (options.boJson || options.boExport) {
        Json pairs = Json::array();
        for (const Row& row : rows) {
            pairs.push_back({{"source", *row.source},
                             {"classified", row.classified != nullptr ? Json(*row.classified) : Json(nullptr)},
                             {"level", levelName(row.level)},
                             {"overrides", levelArray(row.overrides)}});
        }
        if (options.boExport) {
            vJsonWrite(context.out, {{"id", options.id}, {"view", view}, {"pairs", std::move(pairs)}});
            return status;
        }
        Json files = Json::object();
        for (const Level level : viewLevels) {
            files[std::string(levelName(level))] = pathText(filePathGet(context.folders, level, options.id));
        }
        vJsonWrite(context.out, {{"id", options.id},
                                 {"levels", levelArray(levelsOf(*cache))},
                                 {"files", std::move(files)},
                                 {"view", view},
                                 {"header", headerJson(*header, headerLevel)},
                                 {"pairs", std::move(pairs)},
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
    for (const Level level : viewLevels) {
        out << "  " << levelName(level) << " file: " << pathText(filePathGet(context.folders, level, options.id))
            << '\n';
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
    static constexpr const char* kFolderMissing = "the level folder does not exist";
    // One checked entry; a plain value.
    struct Result {
        Level level;
        fs::path path;
        std::string id;
        std::string error; // empty: the file reads
        std::optional<EditProblem> editProblem;
    };
    std::vector<Result> results;
    std::vector<Warning> warnings;
    for (const auto& [level, folder] : context.folders) {
        std::error_code error;
        if (boAnythingAt(folder) && !fs::is_directory(folder, error)) {
            results.push_back({level, folder, "", "the level folder is not a folder", std::nullopt});
        } else if (!boAnythingAt(folder) && !boAllowMissing) {
            warnings.push_back({level, folder, kFolderMissing});
        }
    }
    for (const LevelEntry& entry : levelEntriesGet(context.folders)) {
        Result result{entry.level, entry.path, entry.id, "", std::nullopt};
        if (!entry.boIdValid) {
            result.error = "the file name is not valid UTF-8, so it names no classification id";
        } else {
            result.error = sReadProblemGet(entry.path);
        }
        // The sys level is read-only: nothing edits its files.
        if (result.error.empty() && entry.level != cache::Sys) {
            result.editProblem = editProblemGet(entry.path);
        }
        results.push_back(std::move(result));
    }
    const std::vector<Warning> misplaced = misplacedFilesGet(context.folders);
    warnings.insert(warnings.end(), misplaced.begin(), misplaced.end());
    const std::vector<Warning> stale = staleTemporaryFilesGet(context.folders);
    warnings.insert(warnings.end(), stale.begin(), stale.end());
    const std::vector<Warning> unshared = unsharedLockFoldersGet(context.folders);
    warnings.insert(warnings.end(), unshared.begin(), unshared.end());

    const auto failed = static_cast<std::size_t>(
        std::count_if(results.begin(), results.end(), [](const Result& result) { return !result.error.empty(); }));
    const auto stuck = static_cast<std::size_t>(std::count_if(
        results.begin(), results.end(), [](const Result& result) { return result.editProblem.has_value(); }));
    // "2 do not read, 1 cannot be edited"; the error line says "of N files" after the first count.
    std::string found;
    std::string foundOf;
    const auto count = [&](std::size_t n, const char* one, const char* many) {
        if (n != 0) {
            const std::string verb = n == 1 ? one : many;
            foundOf += foundOf.empty() ? std::to_string(n) + " of " + std::to_string(results.size()) + " files" + verb
                                       : ", " + std::to_string(n) + verb;
            found += (found.empty() ? "" : ", ") + std::to_string(n) + verb;
        }
    };
    count(failed, " does not read", " do not read");
    count(stuck, " cannot be edited", " cannot be edited");
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
            if (result.editProblem) {
                file["cannot_edit"] = result.editProblem->reason;
                file["fix"] = result.editProblem->fix;
            }
            files.push_back(std::move(file));
        }
        vJsonWrite(context.out, {{"files", files},
                                 {"checked", results.size()},
                                 {"failed", failed},
                                 {"cannot_edit", stuck},
                                 {"warnings", warningArray(warnings)}});
    } else {
        for (const Result& result : results) {
            if (!result.error.empty()) {
                context.out << pathText(result.path) << ": " << result.error << '\n';
            } else if (result.editProblem) {
                context.out << pathText(result.path) << ": cannot be edited: " << result.editProblem->reason
                            << "\n  fix: " << result.editProblem->fix << '\n';
            }
        }
        for (const Warning& warning : warnings) {
            context.out << "warning: " << pathText(warning.path) << ": " << warning.message << '\n';
        }
        context.out << "checked " << results.size() << (results.size() == 1 ? " file: " : " files: ")
                    << (found.empty() ? "all read" : found) << warned << '\n';
    }
    if (!found.empty()) {
        context.err << "vyr-classification check: " << foundOf << warned << '\n';
        return kExitFailed;
    }
    if (!warnings.empty()) {
        const bool boFolderMissing = std::any_of(warnings.begin(), warnings.end(), [](const Warning& warning) {
            return warning.message == kFolderMissing;
        });
        context.err << "vyr-classification check: " << warned.substr(2)
                    << (boFolderMissing ? " (--allow-missing passes over missing level folders)" : "") << '\n';
        return kExitWarned;
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
    const fs::path file = filePathGet(context.folders, options.level, id);

    AdminWrapper store;
    if (pReadableCacheGet(store, id) == nullptr) {
        vWarningsPrint(context, command, unreadLevelsGet(context, id, nullptr));
        return iFail(context, command, sMissingReason(context, id) + "; nothing changed");
    }
    // The write access brings the cache up to the files; what it shows now
    // tells whether the edit changes anything at all.
    std::optional<classification::WriteAccess> access(store.writeAccessGet(id));
    const Cache& cache = *store.cachesGet(id);
    std::vector<Warning> warnings = unreadLevelsGet(context, id, &cache);
    // A file that does not read must not be written over: the store would
    // fill the level from another one and the file's own content would be lost.
    if (const std::optional<std::string> reason = editedLevelProblemTake(warnings, options.level)) {
        vWarningsPrint(context, command, warnings);
        return iFail(context, command, pathText(file) + " does not read (" + *reason + "); not writing over it");
    }
    vWarningsPrint(context, command, warnings);

    // An edit that would change nothing at the level: say so and leave the
    // file alone (the write access writes back every level it locked).
    // Removals look at the level itself: the merged view may take a pair
    // from another level, which this edit does not touch.
    const std::set<std::string>* atLevel = pLevelSetGet(cache, options.level, options.source);
    std::string unchanged;
    switch (options.edit) {
    case Edit::Add:
        if (atLevel != nullptr && atLevel->count(options.classified) != 0) {
            unchanged = idText(id) + " already has " + source + " -> " + classified + " at level " + level;
        }
        break;
    case Edit::Set:
        if (atLevel != nullptr && atLevel->size() == 1 && atLevel->count(options.classified) != 0) {
            unchanged = idText(id) + " already maps " + source + " to " + classified + " alone at level " + level;
        }
        break;
    case Edit::Remove:
        if (atLevel == nullptr || atLevel->count(options.classified) == 0) {
            unchanged = idText(id) + " has no pair " + source + " -> " + classified + " at level " + level;
        }
        break;
    case Edit::RemoveSource:
        if (atLevel == nullptr || atLevel->empty()) {
            unchanged = idText(id) + " maps " + source + " to nothing at level " + level;
        }
        break;
    case Edit::RemoveClassified: {
        const auto present = cache.levels.find(options.level);
        if (present == cache.levels.end() ||
            std::none_of(present->second.sourceToClassified.begin(), present->second.sourceToClassified.end(),
                         [&](const auto& entry) { return entry.second.count(options.classified) != 0; })) {
            unchanged = "no source id of " + idText(id) + " maps to " + classified + " at level " + level;
        }
        break;
    }
    case Edit::Inherit:
        if (atLevel == nullptr) {
            unchanged = idText(id) + " does not list " + source + " at level " + level +
                        ", so the levels below decide it already";
        }
        break;
    }

    std::string done;
    if (unchanged.empty()) {
        assert::Assert::vClear();
        if (!access->boLockFile(options.level)) {
            const std::vector<std::string> failures = writeFailuresGet();
            return iFail(context, command,
                         "cannot lock " + pathText(file) + " for writing" +
                             (failures.empty() ? "" : ": " + failures.front()) + "; nothing changed");
        }
        switch (options.edit) {
        case Edit::Add: {
            // "Add" keeps what the person sees: a level that does not list
            // the source id yet starts from its merged set (as read under
            // the lock), which it then decides.
            if (pLevelSetGet(cache, options.level, options.source) == nullptr) {
                const std::set<std::string>* seen = cache.merged.pClassifiedIdsGet(options.source);
                const std::set<std::string> mergedBefore = seen == nullptr ? std::set<std::string>() : *seen;
                for (const std::string& kept : mergedBefore) {
                    (void)access->boAddMapping(options.source, kept, options.level);
                }
            }
            (void)access->boAddMapping(options.source, options.classified, options.level);
            done = "added " + source + " -> " + classified + " to " + displayText(id);
            break;
        }
        case Edit::Set:
            (void)access->boSetMapping(options.source, options.classified, options.level);
            done = "set " + source + " -> " + classified + " in " + displayText(id);
            break;
        case Edit::Remove:
            access->vMappingRemove(options.source, options.classified, options.level);
            done = "removed " + source + " -> " + classified + " from " + displayText(id);
            break;
        case Edit::RemoveSource:
            access->vMappedToSourceRemove(options.source, options.level);
            done = "removed every classified id of " + source + " from " + displayText(id);
            break;
        case Edit::RemoveClassified:
            access->vMappedToClassifiedRemove(options.classified, options.level);
            done = "removed " + classified + " from every source id of " + displayText(id);
            break;
        case Edit::Inherit:
            access->vMappedToSourceInherit(options.source, options.level);
            done = "level " + level + " of " + displayText(id) + " no longer lists " + source +
                   "; the levels below decide it";
            break;
        }
        const std::string failure = sWriteBackFailureGet(*access);
        access.reset(); // lets the level go
        if (!failure.empty()) {
            return iFail(context, command, "could not write " + pathText(file) + ": " + failure);
        }
        context.out << done << (options.edit == Edit::Inherit ? " (" : " at level " + level + " (")
                    << pathText(file) << ")\n";
    } else {
        context.out << unchanged << "; nothing changed (" << pathText(file) << ")\n";
    }

    const Cache& after = *store.cachesGet(id);
    if (options.edit == Edit::RemoveClassified) {
        // Each source id that still maps to it, with the level that gives it.
        const std::set<std::string>* sources = after.merged.pSourceIdsGet(options.classified);
        if (sources == nullptr || sources->empty()) {
            context.out << "merged view: no source id maps to " << classified << '\n';
        } else {
            constexpr std::size_t kShown = 10;
            std::size_t shown = 0;
            for (const std::string& kept : *sources) {
                if (shown++ == kShown) {
                    context.out << "merged view: ... and " << sources->size() - kShown << " more\n";
                    break;
                }
                context.out << "merged view: " << sMergedLine(after, kept) << '\n';
            }
        }
    } else {
        context.out << "merged view: " << sMergedLine(after, options.source) << '\n';
    }
    return iDoneStatus(warnings);
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
        if (!options.module.empty()) {
            managed::runtime::vModuleFileSet(str::pathFromUtf8(options.module));
        }
        bridge::classification::vClassify(Directories::getInstance(), store, definitions, options.mapping,
                                          options.filter, options.in, options.out, options.update, &callback);
    } catch (const managed::runtime::ModuleLoadException& error) {
        if (error.lookedInGet().empty()) {
            return iFail(context, "classify", error.what());
        }
        std::string lookedIn;
        for (const fs::path& folder : error.lookedInGet()) {
            lookedIn += (lookedIn.empty() ? "" : ", ") + pathText(folder);
        }
        return iFail(context, "classify",
                     "no classification module " + pathText(error.fileGet()) + " in " + lookedIn +
                         "; name one with --module FILE (the sample module: --module " + kSampleModuleFile +
                         "); nothing changed");
    } catch (const std::exception& error) {
        const fs::path ran = managed::runtime::moduleFileLoadedGet();
        return iFail(context, "classify",
                     std::string(error.what()) + (ran.empty() ? "" : " (module " + pathText(ran) + ")"));
    }
    context.out << "ran the module " << pathText(managed::runtime::moduleFileLoadedGet()) << '\n';
    const std::vector<std::string> failures = writeFailuresGet();
    if (!failures.empty()) {
        return iFail(context, "classify", "could not write " + pathText(file) + ": " + failures.front());
    }
    return iDoneStatus(warnings);
}

} // namespace vyr::tool
