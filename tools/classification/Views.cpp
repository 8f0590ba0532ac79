// The commands that show what the store sees: `folders`, `list`, `show`
// and `export` of the merged view or of one level's own mapping, and where
// the merged view comes from: `overrides`, every source id that a level
// decides over lower levels that list it too, and `cat`, each level file as
// it is on disk. A view is written row by row as the store's maps are
// walked, so that a large level costs no copy of its rows.

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

// Hands each row of the view to `visit`, in order, as the walk meets it.
using Rows = std::function<void(const std::function<void(const Row&)>& visit)>;

// Walks the view (the relation of the level or the merged one), filtered
// by --source and --classified; `level`: the level of a level's own view.
template <class Relation>
void vRowsWalk(const Context& context, const Cache& cache, const Relation& relation, Level level,
               const std::function<void(const Row&)>& visit) {
    const Args& args = context.args;
    for (const auto& [source, classified] : relation) {
        if (args.source && source != *args.source) {
            continue;
        }
        std::vector<Level> overrides;
        if (!args.level) {
            const std::vector<Level> levels = AdminWrapper::sourceLevelsGet(cache, source);
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
}

// The pairs of the view as aligned columns. The columns are as wide as
// their widest row: one walk to measure, one to write.
void vPairsTable(const Context& context, const Rows& rows) {
    const Args& args = context.args;
    std::ostream& out = context.out;
    const auto classifiedText = [](const Row& row) { return row.classified ? displayText(*row.classified) : "(none)"; };
    std::size_t count = 0;
    std::size_t sourceWidth = displayWidth("SOURCE");
    std::size_t classifiedWidth = displayWidth("CLASSIFIED");
    rows([&](const Row& row) {
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
    rows([&](const Row& row) {
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
        Json files = Json::object();
        Json head = {{"level", levelName(headerLevel)}};
        for (const Level level : levels) {
            files[std::string(levelName(level))] = pathText(context.file(level, *args.id));
        }
        for (const auto& [name, text] : texts) {
            head[name] = *text;
        }
        head["flag1"] = header.boFlag1;
        head["flag2"] = header.boFlag2;
        const Json document =
            context.command == "export"
                ? Json{{"id", *args.id}, {"view", shown}, {"pairs", nullptr}}
                : Json{{"id", *args.id}, {"levels", levelArray(cacheLevels)}, {"files", files}, {"view", shown},
                       {"header", head}, {"pairs", nullptr}, {"warnings", warningArray(warnings)}};
        vJsonWrite(out, document, "pairs", [&](const auto& write) {
            rows([&](const Row& row) {
                write({{"source", row.source},
                       {"classified", row.classified != nullptr ? Json(*row.classified) : Json(nullptr)},
                       {"level", levelName(row.level)},
                       {"overrides", levelArray(row.overrides)}});
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

// `show` and `export`.
int iShowRun(const Context& context) {
    const std::string& id = *context.args.id;
    AdminWrapper store;
    const Cache* cache = pReadableCacheGet(store, id);
    const std::vector<Warning> warnings = unreadLevelsGet(context, id, cache);
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
    const Mapping& header = context.args.level ? found->second : *cache->pTopMappingGet();
    const Rows rows = [&](const auto& visit) {
        if (context.args.level) {
            vRowsWalk(context, *cache, header.sourceToClassified, found->first, visit);
        } else {
            vRowsWalk(context, *cache, cache->merged.sourceToClassified, found->first, visit);
        }
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

void vOverridesJson(const Context& context, const std::vector<Override>& overrides,
                    const std::vector<Warning>& warnings) {
    Json array = Json::array();
    for (const Override& found : overrides) {
        Json hides = Json::array();
        for (const auto& [level, classified] : found.levels) {
            hides.push_back({{"level", levelName(level)},
                             {"path", pathText(context.file(level, *found.id))},
                             {"classified", Json(*classified)}});
        }
        Json decides = hides.front();
        hides.erase(hides.begin());
        array.push_back({{"id", *found.id}, {"source", *found.source}, {"level", decides["level"]},
                         {"path", decides["path"]}, {"classified", decides["classified"]}, {"hides", hides}});
    }
    vJsonWrite(context.out, {{"overrides", std::move(array)}, {"warnings", warningArray(warnings)}});
}

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
    for (const std::string& each : ids) {
        const Cache* cache = pReadableCacheGet(store, each);
        const std::vector<Warning> unread = unreadLevelsGet(context, each, cache);
        warnings.insert(warnings.end(), unread.begin(), unread.end());
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
                overrides.push_back(std::move(found));
            }
        }
        classifications += overrides.size() > before ? 1 : 0;
    }
    vWarningsPrint(context, warnings);
    if (context.args.boJson) {
        vOverridesJson(context, overrides, warnings);
        return iDoneStatus(warnings);
    }
    // One heading per source id, then one line per level: the deciding one,
    // then those it hides, with the set and the file; columns aligned.
    std::size_t setWidth = 0;
    for (const Override& found : overrides) {
        for (const auto& [level, classified] : found.levels) {
            setWidth = std::max(setWidth, displayWidth(classifiedList(classified)));
        }
    }
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
               "status 3; the view is made of the levels that read.");
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

} // namespace vyr::tool
