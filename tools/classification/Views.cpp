// The commands that read: `folders`, `list`, `show` and `export` of the
// merged view or of one level's own mapping, where the merged view comes
// from (`overrides`, every source id that a level decides over lower levels
// that list it too; `cat`, each level file as it is on disk), and `check`.
// A view is written row by row as the store's maps are walked, so that a
// large level costs no copy of its rows.

#include <strings.h>

#include <tuple>

#include "external/directories/Directories.h"
#include "external/str/Utf.h"
#include "tools/classification/Tool.h"

namespace vyr::tool {

namespace fs = std::filesystem;
using classification::Mapping;

namespace {

// Writes the text and pads it with spaces to the width in columns.
void vPadded(std::ostream& out, std::string_view text, std::size_t width) {
    const std::size_t taken = displayWidth(text);
    out << text << std::string(width > taken ? width - taken : 0, ' ');
}

// The names of the levels, as a JSON array and as text.
Json levelArray(const std::vector<Level>& levels) {
    Json array = Json::array();
    for (const Level level : levels) {
        array.push_back(levelName(level));
    }
    return array;
}

std::string levelList(const std::vector<Level>& levels, std::string_view separator) {
    std::string text;
    for (const Level level : levels) {
        text += (text.empty() ? "" : std::string(separator)) + std::string(levelName(level));
    }
    return text;
}

// One entry of a level folder that the store's file-name parse takes for a
// level file: a mapping file, or something in its place. boIdValid is false
// when the name is not valid UTF-8 (id then holds the raw bytes).
struct LevelEntry {
    Level level;
    std::filesystem::path path;
    std::string id;
    bool boIdValid;
    bool boRegularFile;
};

// Every level file entry of every level folder, by id, then level. A level
// folder that does not exist has no entries.
std::vector<LevelEntry> levelEntriesGet(const LevelFolders& folders) {
    std::vector<LevelEntry> entries;
    for (const auto& [level, folder] : folders) {
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            std::optional<AdminWrapper::FileName> name = AdminWrapper::fileNameParse(it->path().filename().string());
            if (!name || name->type != AdminWrapper::FileType::Level) {
                continue;
            }
            std::error_code statusError;
            const bool boValid = str::boIsValidUtf8(name->id);
            entries.push_back({level, it->path(), std::move(name->id), boValid, it->is_regular_file(statusError)});
        }
    }
    std::sort(entries.begin(), entries.end(), [](const LevelEntry& left, const LevelEntry& right) {
        return std::tie(left.id, left.level) < std::tie(right.id, right.level);
    });
    return entries;
}

// The warnings as `--json` prints them.
Json warningArray(const std::vector<Warning>& warnings) {
    Json array = Json::array();
    for (const Warning& warning : warnings) {
        array.push_back(
            {{"level", levelName(warning.level)}, {"path", pathText(warning.path)}, {"message", warning.message}});
    }
    return array;
}

int iFoldersRun(const Context& context) {
    for (const auto& [level, folder] : context.folders) {
        std::error_code error;
        vPadded(context.out, levelName(level), 8);
        context.out << pathText(folder) << (fs::is_directory(folder, error) ? "" : "  (missing)") << '\n';
    }
    return kExitSuccess;
}

// When no file was found: where it looked, so that a run in the wrong folder shows itself.
int iNothingListed(const Context& context) {
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
        return context.iFail("none of the level folders exists: " + looked +
                             " (set --root or VYR_CLASSIFICATION_ROOT; see: vyr-classification folders)");
    }
    context.out << "(no classification files in the level folders: " << looked << ")\n";
    return kExitSuccess;
}

int iListRun(const Context& context) {
    // The levels of each id, and those of them whose file does not read.
    std::map<std::string, std::pair<std::vector<Level>, std::vector<Level>>> found;
    std::vector<Warning> warnings;
    for (const LevelEntry& entry : levelEntriesGet(context.folders)) {
        if (entry.boIdValid && entry.boRegularFile) {
            auto& [levels, unread] = found[entry.id];
            levels.push_back(entry.level);
            if (std::string problem = sReadProblemGet(entry.path); !problem.empty()) {
                unread.push_back(entry.level);
                warnings.push_back({entry.level, entry.path, std::move(problem)});
            }
        }
    }
    if (context.args.boJson) {
        Json classifications = Json::array();
        Json folders = Json::object();
        for (const auto& [id, levels] : found) {
            classifications.push_back({{"id", id}, {"levels", levelArray(levels.first)}});
        }
        for (const auto& [level, folder] : context.folders) {
            folders[std::string(levelName(level))] = pathText(folder);
        }
        vJsonWrite(context.out,
                   {{"classifications", classifications}, {"folders", folders}, {"warnings", warningArray(warnings)}});
        return iDoneStatus(warnings);
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
    vWarningsPrint(context, warnings);
    return found.empty() ? iNothingListed(context) : iDoneStatus(warnings);
}

// One line of `show`: a pair of the view, or a source id with no classified
// id; the level that decided it and the lower levels that it overrides.
// Points into the store's cache and the walk that hands it out.
struct Row {
    const std::string& source;
    const std::string* classified; // null: the deciding level lists the source with no classified id
    Level level;
    const std::vector<Level>& overrides;
};

// Hands each row of the view to `visit` in walk order; without boLevels, level and overrides are unset.
using Rows = std::function<void(bool boLevels, const std::function<void(const Row&)>& visit)>;

// The pairs of the view as aligned columns. The columns are as wide as
// their widest row: one walk to measure, one to write.
void vPairsTable(const Context& context, const Rows& rows) {
    const Args& args = context.args;
    std::ostream& out = context.out;
    const auto classifiedText = [](const Row& row) { return row.classified ? displayText(*row.classified) : "(none)"; };
    std::size_t count = 0;
    std::size_t sourceWidth = displayWidth("SOURCE");
    std::size_t classifiedWidth = displayWidth("CLASSIFIED");
    rows(false, [&](const Row& row) {
        ++count;
        sourceWidth = std::max(sourceWidth, displayWidth(displayText(row.source)));
        classifiedWidth = std::max(classifiedWidth, displayWidth(classifiedText(row)));
    });
    if (count == 0) {
        out << "(no pairs" << (args.source || args.classified ? " match" : "") << ")\n";
        return;
    }
    vPadded(out, "SOURCE", sourceWidth + 2);
    vPadded(out, "CLASSIFIED", classifiedWidth + 2);
    out << (args.level ? "LEVEL" : "DECIDED BY") << '\n';
    rows(true, [&](const Row& row) {
        vPadded(out, displayText(row.source), sourceWidth + 2);
        vPadded(out, classifiedText(row), classifiedWidth + 2);
        out << levelName(row.level);
        if (!row.overrides.empty()) {
            out << " (overrides " << levelList(row.overrides, ", ") << ')';
        }
        out << '\n';
    });
}

// Writes the view as text, or as JSON for `show --json` and `export`.
void vViewWrite(const Context& context, const Cache& cache, const Mapping& header, Level headerLevel,
                const Rows& rows, const std::vector<Warning>& warnings) {
    const Args& args = context.args;
    std::ostream& out = context.out;
    // The levels that read, lowest first; the files shown are theirs, or the one level's.
    std::vector<Level> cacheLevels;
    for (const auto& entry : cache.levels) {
        cacheLevels.push_back(entry.first);
    }
    const std::vector<Level> levels = args.level ? std::vector<Level>{context.level()} : cacheLevels;
    const std::array<std::pair<const char*, const std::string*>, 6> texts = {
        {{"text2", &header.sText2}, {"text3", &header.sText3}, {"text4", &header.sText4},
         {"text5", &header.sText5}, {"text6", &header.sText6}, {"text7", &header.sText7}}};
    if (args.boJson || context.command == "export") {
        const std::string_view shown = args.level ? levelName(context.level()) : "merged";
        const Json head = {{"level", levelName(headerLevel)}, {"text2", header.sText2}, {"text3", header.sText3},
                           {"text4", header.sText4},          {"text5", header.sText5}, {"text6", header.sText6},
                           {"text7", header.sText7},          {"flag1", header.boFlag1}, {"flag2", header.boFlag2}};
        Json files = Json::object();
        for (const Level level : levels) {
            files[std::string(levelName(level))] = pathText(context.file(level, *args.id));
        }
        const Json document =
            context.command == "export"
                ? Json{{"id", *args.id}, {"view", shown}, {"pairs", nullptr}}
                : Json{{"id", *args.id}, {"levels", levelArray(cacheLevels)}, {"files", files}, {"view", shown},
                       {"header", head}, {"pairs", nullptr}, {"warnings", warningArray(warnings)}};
        vJsonWrite(out, document, "pairs", [&](const auto& write) {
            rows(true, [&](const Row& row) {
                write({{"source", row.source},
                       {"classified", row.classified != nullptr ? Json(*row.classified) : Json(nullptr)},
                       {"level", levelName(row.level)}, {"overrides", levelArray(row.overrides)}});
            });
        });
        return;
    }
    out << displayText(*args.id) << ": ";
    if (args.level) {
        out << "level " << levelName(context.level()) << " only\n";
    } else {
        out << "levels " << levelList(levels, ", ") << "; header from " << levelName(headerLevel) << '\n';
    }
    for (const Level level : levels) {
        out << "  " << levelName(level) << " file: " << pathText(context.file(level, *args.id)) << '\n';
    }
    for (const auto& [name, text] : texts) {
        if (!text->empty()) {
            out << "  " << name << ": " << displayText(*text) << '\n';
        }
    }
    out << "  flags: flag1=" << (header.boFlag1 ? "true" : "false") << " flag2=" << (header.boFlag2 ? "true" : "false")
        << '\n';
    vPairsTable(context, rows);
}

// `show` and `export`. A question about one source id (--source) reads
// only that source id's entries from the level files, through the store,
// instead of loading the whole classification: the same view of it.
int iShowRun(const Context& context) {
    const std::string& id = *context.args.id;
    AdminWrapper store;
    std::optional<Cache> oneSource;
    if (context.args.source) {
        oneSource.emplace(store.sourceCacheRead(id, *context.args.source));
    }
    const Cache* cache = !oneSource ? pReadableCacheGet(store, id) : oneSource->levels.empty() ? nullptr : &*oneSource;
    std::vector<Warning> warnings;
    vUnreadLevelsAdd(context, id, cache, warnings);
    vWarningsPrint(context, warnings);
    if (cache == nullptr) {
        return context.iFail(sMissingReason(context, id));
    }
    // The view: one level's own mapping, or the merged view with the highest level's header.
    const auto found = context.args.level ? cache->levels.find(context.level()) : std::prev(cache->levels.end());
    if (found == cache->levels.end()) {
        const bool boFileThere = boAnythingAt(context.file(context.level(), id));
        return context.iFail(idText(id) + " has no mapping at level " + std::string(levelName(context.level())) +
                             (boFileThere ? " (its file does not read)" : " (no file there)"));
    }
    if (context.args.source) {
        // A mistyped source id is not an empty answer.
        if (const int status = iSourceListedCheck(context, *cache, id, *context.args.source); status != kExitSuccess) {
            return status;
        }
    }
    const Mapping& header = context.args.level ? found->second : *cache->pTopMappingGet();
    // The rows of the view (the level's own relation, or the merged one),
    // filtered by --source and --classified.
    const Args& args = context.args;
    const Rows rows = [&](bool boLevels, const auto& visit) {
        const auto walk = [&](const auto& relation) {
            for (const auto& [source, classified] : relation) {
                if (args.source && source != *args.source) {
                    continue;
                }
                Level level = found->first;
                std::vector<Level> overrides;
                if (!args.level && boLevels) {
                    const std::vector<Level> levels = AdminWrapper::sourceLevelsGet(*cache, source);
                    level = levels.front();
                    overrides.assign(levels.rbegin(), levels.rend() - 1);
                }
                if (classified.empty() && !args.classified) {
                    visit({source, nullptr, level, overrides});
                }
                for (const std::string& classifiedId : classified) {
                    if (!args.classified || classifiedId == *args.classified) {
                        visit({source, &classifiedId, level, overrides});
                    }
                }
            }
        };
        args.level ? walk(header.sourceToClassified) : walk(cache->merged.sourceToClassified);
    };
    vViewWrite(context, *cache, header, found->first, rows, warnings);
    return iDoneStatus(warnings);
}

// One source id of one classification that a level decides over lower
// levels: the deciding level first, then the levels it hides, highest
// first, each with its set. Points into the store's cache (valid while the
// store lives and nothing edits it).
struct Override {
    const std::string* id;
    const std::string* source;
    std::vector<std::pair<Level, const std::set<std::string>*>> levels;
};

int iOverridesRun(const Context& context) {
    const std::optional<std::string>& id = context.args.id;
    // The ids: the one asked for, or every id with a file in a level folder.
    std::vector<std::string> ids(id ? 1 : 0, id.value_or(""));
    for (const LevelEntry& entry : id ? std::vector<LevelEntry>{} : levelEntriesGet(context.folders)) {
        if (entry.boIdValid && entry.boRegularFile && (ids.empty() || ids.back() != entry.id)) {
            ids.push_back(entry.id);
        }
    }
    AdminWrapper store;
    std::vector<Override> overrides;
    std::vector<Warning> warnings;
    std::size_t classifications = 0;
    std::size_t setWidth = 0; // of the text output's set column
    for (const std::string& each : ids) {
        const Cache* cache = pReadableCacheGet(store, each);
        vUnreadLevelsAdd(context, each, cache, warnings);
        if (cache == nullptr && id) {
            vWarningsPrint(context, warnings);
            return context.iFail(sMissingReason(context, each));
        }
        const std::size_t before = overrides.size();
        // The merged view lists every source id that some level lists.
        static const std::remove_cvref_t<decltype(cache->merged.sourceToClassified)> kNone;
        for (const auto& entry : cache != nullptr ? cache->merged.sourceToClassified : kNone) {
            Override found{&each, &entry.first, {}};
            for (const Level level : AdminWrapper::sourceLevelsGet(*cache, entry.first)) {
                found.levels.emplace_back(level, pLevelSetGet(*cache, level, entry.first));
            }
            if (found.levels.size() > 1) {
                for (const auto& [level, classified] : found.levels) {
                    setWidth = std::max(setWidth, displayWidth(classifiedList(classified)));
                }
                overrides.push_back(std::move(found));
            }
        }
        classifications += overrides.size() > before ? 1 : 0;
    }
    vWarningsPrint(context, warnings);
    if (context.args.boJson) {
        Json array = Json::array();
        for (const Override& found : overrides) {
            Json hides = Json::array();
            for (const auto& [level, classified] : found.levels) {
                hides.push_back({{"level", levelName(level)}, {"path", pathText(context.file(level, *found.id))},
                                 {"classified", Json(*classified)}});
            }
            Json decides = hides.front();
            hides.erase(hides.begin());
            array.push_back({{"id", *found.id}, {"source", *found.source}, {"level", decides["level"]},
                             {"path", decides["path"]}, {"classified", decides["classified"]}, {"hides", hides}});
        }
        vJsonWrite(context.out, {{"overrides", std::move(array)}, {"warnings", warningArray(warnings)}});
        return iDoneStatus(warnings);
    }
    // One heading per source id, then one line per level: the deciding one,
    // then those it hides, with the set and the file; columns aligned.
    for (const Override& found : overrides) {
        context.out << displayText(*found.id) << ": " << displayText(*found.source) << '\n';
        for (const auto& [level, classified] : found.levels) {
            context.out << (level == found.levels.front().first ? "  decides  " : "  hides    ");
            vPadded(context.out, levelName(level), 8);
            vPadded(context.out, classifiedList(classified), setWidth + 2);
            context.out << pathText(context.file(level, *found.id)) << '\n';
        }
    }
    context.out << overrides.size() << (overrides.size() == 1 ? " override" : " overrides") << " in "
                << classifications << (classifications == 1 ? " classification" : " classifications") << '\n';
    return iDoneStatus(warnings);
}

int iCatRun(const Context& context) {
    const std::string& id = *context.args.id;
    std::vector<Warning> warnings;
    bool boAny = false;
    for (const auto& [level, folder] : context.folders) {
        const fs::path file = context.file(level, id);
        std::string bytes;
        std::string reason;
        if (!boAnythingAt(file)) {
            continue;
        }
        if (!boFileBytesGet(file, bytes, reason)) {
            warnings.push_back({level, file, reason});
            continue;
        }
        boAny = true;
        context.out << "# " << pathText(file) << " (level " << levelName(level) << ")\n" << bytes;
        context.out << (!bytes.empty() && bytes.back() != '\n' ? "\n" : "");
        // Let go of the bytes before the store reads the file for its reason.
        std::string().swap(bytes);
        // Shown as it is; the person learns that the store skips it.
        if (std::string problem = sReadProblemGet(file); !problem.empty()) {
            warnings.push_back({level, file, std::move(problem)});
        }
    }
    vWarningsPrint(context, warnings);
    return boAny ? iDoneStatus(warnings) : context.iFail(sMissingReason(context, id));
}

void vFoldersDeclare(CLI::App& app, Args&, std::vector<IdArg>&) {
    vFooterSet(app, {"vyr-classification --root examples/data folders"}, "", false);
}

void vListDeclare(CLI::App& app, Args& args, std::vector<IdArg>&) {
    app.add_flag("--json", args.boJson, "Print JSON");
    vFooterSet(app, {"vyr-classification --root examples/data list"}, "", false);
}

void vShowDeclare(CLI::App& app, Args& args, std::vector<IdArg>& ids) {
    idAdd(app, ids, "ID", args.id, "Classification id")->required();
    textAdd(app, "--source", args.source, "Only this source id");
    textAdd(app, "--classified", args.classified, "Only pairs with this classified id");
    levelAdd(app, "--level", args.level, "Show this level's own mapping instead", false);
    app.add_flag("--json", args.boJson, "Print JSON");
    vFooterSet(app,
               {"vyr-classification show materials", "vyr-classification show materials --source panel",
                "vyr-classification show materials --level sys --json"},
               "\n\nA source id is decided by the highest level that lists it; \"(overrides sys)\" names the\n"
               "lower levels it hides. To undo an override, so that the levels below decide again:\n"
               "  vyr-classification inherit ID SOURCE --level LEVEL\n"
               "A level file that exists but does not read gets a warning line on standard error and\n"
               "status 3; the view is made of the levels that read. A --source that no level lists\n"
               "ends with status 4.");
}

void vExportDeclare(CLI::App& app, Args& args, std::vector<IdArg>& ids) {
    idAdd(app, ids, "ID", args.id, "Classification id")->required();
    levelAdd(app, "--level", args.level, "Export this level's own mapping instead", false);
    vFooterSet(app, {"vyr-classification export materials --level user > user.json"},
               "\n\nThe pairs have the shape of 'show --json': {\"source\": S, \"classified\": C or null,\n"
               "\"level\": L, \"overrides\": [...]}; a null classified id lists the source id with none.");
}

void vOverridesDeclare(CLI::App& app, Args& args, std::vector<IdArg>& ids) {
    idAdd(app, ids, "ID", args.id, "Only this classification (default: every one)");
    app.add_flag("--json", args.boJson, "Print JSON");
    vFooterSet(app, {"vyr-classification overrides", "vyr-classification overrides materials --json"},
               "\n\nEach override names the level that decides and its file, then each lower\n"
               "level that lists the source id too, with the set it hides and its file.");
}

void vCatDeclare(CLI::App& app, Args& args, std::vector<IdArg>& ids) {
    idAdd(app, ids, "ID", args.id, "Classification id")->required();
    vFooterSet(app, {"vyr-classification cat materials"}, "\n\nEach file comes under a line \"# <path> (level LEVEL)\".");
}

// `check`: every level file read as the store reads it, what that read
// passes over in a file that reads (as the store reports it), the files the
// store will not lock for an edit, and what does not belong: missing level
// folders, mapping files where the store never reads, temporary files that
// a stopped writer left, and level folders whose file system does not share
// locks between machines.

constexpr const char* kFolderMissing = "the level folder does not exist";

// Mapping files below the folders that the directory service names for a
// level (the system folder, each shared folder, the user folder), in places
// where the store never reads: any level file name in a folder named like
// a level folder, and any other file that reads as a mapping. Looks three
// folders deep and does not follow links.
void vMisplacedFilesAdd(const LevelFolders& folders, std::vector<Warning>& warnings) {
    const DirectoriesInterface& directories = Directories::getInstance();
    std::vector<std::pair<Level, fs::path>> roots{{cache::Sys, directories.sysDirectoryGet()}};
    for (const fs::path& shared : directories.sharedDirectoriesGet()) {
        roots.emplace_back(cache::Shared, shared);
    }
    roots.emplace_back(cache::User, directories.userDirectoryGet());
    std::set<fs::path> seen;
    for (const auto& [level, root] : roots) {
        std::error_code error;
        for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error), end;
             !error && it != end; it.increment(error)) {
            if (it.depth() >= 3) {
                it.disable_recursion_pending();
            }
            const fs::path& path = it->path();
            std::error_code statusError;
            const std::optional<AdminWrapper::FileName> name = AdminWrapper::fileNameParse(path.filename().string());
            if (!name || name->type != AdminWrapper::FileType::Level || !it->is_regular_file(statusError) ||
                it->is_symlink(statusError) || !seen.insert(fs::weakly_canonical(path, statusError)).second ||
                std::any_of(folders.begin(), folders.end(), [&](const auto& folder) {
                    return fs::equivalent(folder.second, path.parent_path(), statusError);
                })) {
                continue;
            }
            // A folder named like the level's own folder, in any case.
            if (::strcasecmp(path.parent_path().filename().c_str(), folders.at(level).filename().c_str()) == 0 ||
                sReadProblemGet(path).empty()) {
                warnings.push_back({level, path,
                                    "a mapping file where the store never reads; level " +
                                        std::string(levelName(level)) + " reads " + pathText(folders.at(level))});
            }
        }
    }
}

// The record of one checked entry, as `check --json` prints it and the
// text output reads it: its path, level and id, whether it reads, and if
// not, why ("error").
Json fileRecord(Level level, const fs::path& path, const std::string& id, const std::string& error) {
    Json file = {{"path", pathText(path)}, {"level", levelName(level)}, {"id", id}, {"ok", error.empty()}};
    if (!error.empty()) {
        file["error"] = error;
    }
    return file;
}

// Adds why the store will not lock a level file that reads ("cannot_edit"),
// and the command that mends it ("fix"), to its record.
void vEditProblemAdd(const fs::path& path, Json& file) {
    std::error_code error;
    const std::string quoted = shellWord(pathText(path));
    const AdminWrapper::LockRefusal refusal = AdminWrapper::lockRefusalGet(path);
    if (refusal == AdminWrapper::LockRefusal::SymbolicLink) {
        const fs::path target = fs::canonical(path, error);
        file["cannot_edit"] = "it is a symbolic link (to " + pathText(target) +
                              "), and the store never writes through a link";
        file["fix"] = "replace the link with a copy of its target: cp --remove-destination -- " +
                      shellWord(pathText(target)) + " " + quoted;
    } else if (refusal == AdminWrapper::LockRefusal::SeveralNames) {
        const std::string own = shellWord(pathText(path) + ".own");
        file["cannot_edit"] = "it has " + std::to_string(fs::hard_link_count(path, error)) +
                              " hard links, and the store never writes a file that other names share";
        file["fix"] = "give it a copy of its own: cp -p -- " + quoted + " " + own + " && mv -- " + own + " " + quoted;
    }
}

// Reads every entry of the level folders, and finds what does not belong.
// A temporary file exists only while its writer holds the level's lock (the
// next lock removes what a stopped one left); a file system that keeps
// record locks on this machine lets writers on two machines both lock a
// level file.
void vFindingsGet(const Context& context, Json& files, std::vector<Warning>& warnings) {
    std::vector<Warning> stale;
    std::vector<Warning> unshared;
    for (const auto& [level, folder] : context.folders) {
        std::error_code error;
        if (boAnythingAt(folder) && !fs::is_directory(folder, error)) {
            files.push_back(fileRecord(level, folder, "", "the level folder is not a folder"));
        } else if (!boAnythingAt(folder) && !context.args.boAllowMissing) {
            warnings.push_back({level, folder, kFolderMissing});
        }
        const std::size_t first = stale.size();
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            const std::optional<AdminWrapper::FileName> name = AdminWrapper::fileNameParse(it->path().filename().string());
            if (name && name->type == AdminWrapper::FileType::Temporary) {
                stale.push_back({level, it->path(),
                                 "a temporary file of " + AdminWrapper::levelFileNameGet(name->id) +
                                     " that a stopped writer left (unless an edit runs now); fix: " +
                                     (sLevelReadOnlyProblemGet(level).empty() ? "the next edit of " + idText(name->id) + " at level " +
                                                                std::string(levelName(level)) + " removes it, or "
                                                          : std::string()) +
                                     "rm -- " + shellWord(pathText(it->path()))});
            }
        }
        std::sort(stale.begin() + static_cast<std::ptrdiff_t>(first), stale.end(),
                  [](const Warning& left, const Warning& right) { return left.path < right.path; });
        if (const auto kind = AdminWrapper::fileSystemKindGet(folder); kind && !kind->boLocksShared) {
            unshared.push_back({level, folder,
                                "the file system does not share locks between machines (" + kind->lockReason +
                                    "): writers on two machines can both lock a level file here and overwrite "
                                    "each other's edits"});
        }
    }
    for (const LevelEntry& entry : levelEntriesGet(context.folders)) {
        Json file = fileRecord(entry.level, entry.path, entry.id,
                               entry.boIdValid ? sReadProblemGet(entry.path)
                                               : "the file name is not valid UTF-8, so it names no classification id");
        // What the store's read passes over in a file that reads: a typo
        // there is silently ignored by every program.
        if (!file.contains("error")) {
            for (std::string& notice : AdminWrapper::levelFileNoticesGet(entry.path, entry.id)) {
                warnings.push_back({entry.level, entry.path, std::move(notice)});
            }
        }
        // A level the tool does not write has nothing to mend for an edit.
        if (!file.contains("error") && sLevelReadOnlyProblemGet(entry.level).empty()) {
            vEditProblemAdd(entry.path, file);
        }
        files.push_back(std::move(file));
    }
    vMisplacedFilesAdd(context.folders, warnings);
    warnings.insert(warnings.end(), stale.begin(), stale.end());
    warnings.insert(warnings.end(), unshared.begin(), unshared.end());
}

int iCheckRun(const Context& context) {
    Json files = Json::array();
    std::vector<Warning> found;
    vFindingsGet(context, files, found);
    const std::size_t checked = files.size();
    const auto count = [&](const char* member) {
        return std::size_t(std::count_if(files.begin(), files.end(), [&](const Json& f) { return f.contains(member); }));
    };
    const std::size_t failed = count("error");
    const std::size_t stuck = count("cannot_edit");
    // "2 do not read, 1 cannot be edited"; the error line says "of N files" after the first count.
    std::string counts;
    for (const auto& [n, verb] : {std::pair(failed, failed == 1 ? " does not read" : " do not read"),
                                  std::pair(stuck, " cannot be edited")}) {
        counts += n == 0 ? "" : (counts.empty() ? "" : ", ") + std::to_string(n) + verb;
    }
    const std::string warnings =
        found.empty() ? "" : "; " + std::to_string(found.size()) + (found.size() == 1 ? " warning" : " warnings");
    if (context.args.boJson) {
        vJsonWrite(context.out, {{"files", files}, {"checked", checked}, {"failed", failed}, {"cannot_edit", stuck},
                                 {"warnings", warningArray(found)}});
    } else {
        const auto text = [](const Json& file, const char* member) { return file[member].get<std::string>(); };
        for (const Json& file : files) {
            if (file.contains("error")) {
                context.out << text(file, "path") << ": " << text(file, "error") << '\n';
            } else if (file.contains("cannot_edit")) {
                context.out << text(file, "path") << ": cannot be edited: " << text(file, "cannot_edit")
                            << "\n  fix: " << text(file, "fix") << '\n';
            }
        }
        for (const Warning& warning : found) {
            context.out << "warning: " << pathText(warning.path) << ": " << warning.message << '\n';
        }
        context.out << "checked " << checked << (checked == 1 ? " file: " : " files: ")
                    << (counts.empty() ? "all read" : counts) << warnings << '\n';
    }
    if (!counts.empty()) {
        counts.insert(counts.find(' '), " of " + std::to_string(checked) + " files");
        context.err << "vyr-classification check: " << counts << warnings << '\n';
        return kExitFailed;
    }
    if (!found.empty()) {
        const bool boFolderMissing = std::any_of(found.begin(), found.end(),
                                                 [](const Warning& warning) { return warning.message == kFolderMissing; });
        context.err << "vyr-classification check: " << warnings.substr(2)
                    << (boFolderMissing ? " (--allow-missing passes over missing level folders)" : "") << '\n';
        return kExitWarned;
    }
    return kExitSuccess;
}

void vCheckDeclare(CLI::App& app, Args& args, std::vector<IdArg>&) {
    app.add_flag("--json", args.boJson, "Print JSON");
    app.add_flag("--allow-missing", args.boAllowMissing, "A level folder that does not exist is no warning");
    vFooterSet(app, {"vyr-classification --root examples/data check"},
               "\n\nA file at level shared or user that reads but that the store will not lock for an\n"
               "edit (a symbolic link, a file with several hard links) is reported with the command\n"
               "that mends it. A level folder whose file system does not share locks between\n"
               "machines (CIFS mounted with nobrl, NFS with nolock or local_lock, many FUSE file\n"
               "systems) is a warning. So is what the store's read passes over in a file that reads,\n"
               "each with its line and column: an element or attribute without a namespace prefix\n"
               "that the format does not know (a prefixed one, ext:name, is an extension), a source\n"
               "id listed twice in one relation (read as the union), a root id other than the\n"
               "file's name. Status 1 when a file does not read or cannot be edited, 3 when there\n"
               "are only warnings.",
               false);
}

} // namespace

const Command kFoldersCommand{"folders", "Print where the three level folders are", vFoldersDeclare, iFoldersRun};
const Command kListCommand{"list", "List every classification id found in a level folder, with its levels",
                           vListDeclare, iListRun};
const Command kShowCommand{
    "show", "Show the merged view, one line per pair, with the level that decided each source id", vShowDeclare,
    iShowRun};
const Command kExportCommand{"export",
                             "Print the merged view, or one level's own mapping, as JSON that 'import' reads",
                             vExportDeclare, iShowRun};
const Command kOverridesCommand{
    "overrides",
    "List every source id that a level decides over a lower level that lists it too, with the sets it hides",
    vOverridesDeclare, iOverridesRun};
const Command kCatCommand{"cat", "Print each level file of a classification as it is on disk, lowest level first",
                          vCatDeclare, iCatRun};

const Command kCheckCommand{"check",
                            "Read every mapping file; report those that do not read, missing level folders "
                            "and mapping files where the store never reads",
                            vCheckDeclare, iCheckRun};

} // namespace vyr::tool
