// The commands that show what the store sees: `folders`, `list`, and
// `show` and `export` of the merged view or of one level's own mapping.

#include <algorithm>
#include <map>

#include "tools/classification/CommandLine.h"
#include "tools/classification/CommandSupport.h"

namespace vyr::tool {

namespace fs = std::filesystem;
using classification::Mapping;

namespace {

// One line of `show`: a pair of the view, or a source id with no classified
// id; the level that decided it and the lower levels that it overrides.
// Points into the store's cache.
struct Row {
    const std::string* source;
    const std::string* classified; // null: the deciding level lists the source with no classified id
    Level level;
    std::vector<Level> overrides;
};

// The view `show` prints: the level whose header it shows (the one asked
// for, or the highest) and its rows. Points into the store's cache.
struct View {
    const Mapping* header;
    Level headerLevel;
    std::vector<Row> rows;
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
        for (const auto& [id, levels] : found) {
            classifications.push_back({{"id", id}, {"levels", levelArray(levels.first)}});
        }
        Json folders = Json::object();
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

// The rows of the view (the relation of the level or the merged one),
// filtered by --source and --classified.
template <class Relation>
void vRowsCollect(const Context& context, const Cache& cache, const Relation& relation, View& view) {
    const Args& args = context.args;
    for (const auto& [source, classified] : relation) {
        if (args.source && source != *args.source) {
            continue;
        }
        Row row{&source, nullptr, view.headerLevel, {}};
        if (!args.level) {
            const std::vector<Level> levels = AdminWrapper::sourceLevelsGet(cache, source);
            row.level = levels.front();
            row.overrides.assign(levels.rbegin(), levels.rend() - 1);
        }
        if (classified.empty() && !args.classified) {
            view.rows.push_back(row);
        }
        for (const std::string& classifiedId : classified) {
            if (!args.classified || classifiedId == *args.classified) {
                row.classified = &classifiedId;
                view.rows.push_back(row);
            }
        }
    }
}

void vViewJson(const Context& context, const Cache& cache, const View& view, const std::vector<Warning>& warnings) {
    const Args& args = context.args;
    const bool boExport = context.command == "export";
    Json pairs = Json::array();
    for (const Row& row : view.rows) {
        pairs.push_back({{"source", *row.source},
                         {"classified", row.classified != nullptr ? Json(*row.classified) : Json(nullptr)},
                         {"level", levelName(row.level)},
                         {"overrides", levelArray(row.overrides)}});
    }
    const std::string_view shown = args.level ? levelName(*levelParse(*args.level)) : "merged";
    if (boExport) {
        vJsonWrite(context.out, {{"id", *args.id}, {"view", shown}, {"pairs", std::move(pairs)}});
        return;
    }
    Json files = Json::object();
    for (const Level level : args.level ? std::vector<Level>{context.level()} : levelsOf(cache)) {
        files[std::string(levelName(level))] = pathText(context.file(level, *args.id));
    }
    Json header = {{"level", levelName(view.headerLevel)}};
    for (const auto& [name, text] : textsOf(*view.header)) {
        header[name] = *text;
    }
    header["flag1"] = view.header->boFlag1;
    header["flag2"] = view.header->boFlag2;
    vJsonWrite(context.out, {{"id", *args.id},
                             {"levels", levelArray(levelsOf(cache))},
                             {"files", std::move(files)},
                             {"view", shown},
                             {"header", std::move(header)},
                             {"pairs", std::move(pairs)},
                             {"warnings", warningArray(warnings)}});
}

void vViewText(const Context& context, const Cache& cache, const View& view) {
    const Args& args = context.args;
    std::ostream& out = context.out;
    out << displayText(*args.id) << ": ";
    if (args.level) {
        out << "level " << levelName(context.level()) << " only\n";
    } else {
        out << "levels " << levelList(levelsOf(cache), ", ") << "; header from " << levelName(view.headerLevel)
            << '\n';
    }
    for (const Level level : args.level ? std::vector<Level>{context.level()} : levelsOf(cache)) {
        out << "  " << levelName(level) << " file: " << pathText(context.file(level, *args.id)) << '\n';
    }
    for (const auto& [name, text] : textsOf(*view.header)) {
        if (!text->empty()) {
            out << "  " << name << ": " << displayText(*text) << '\n';
        }
    }
    out << "  flags: flag1=" << (view.header->boFlag1 ? "true" : "false")
        << " flag2=" << (view.header->boFlag2 ? "true" : "false") << '\n';
    if (view.rows.empty()) {
        out << "(no pairs" << (args.source || args.classified ? " match" : "") << ")\n";
        return;
    }
    std::vector<std::pair<std::string, std::string>> shown;
    std::size_t sourceWidth = displayWidth("SOURCE");
    std::size_t classifiedWidth = displayWidth("CLASSIFIED");
    for (const Row& row : view.rows) {
        shown.emplace_back(displayText(*row.source), row.classified ? displayText(*row.classified) : "(none)");
        sourceWidth = std::max(sourceWidth, displayWidth(shown.back().first));
        classifiedWidth = std::max(classifiedWidth, displayWidth(shown.back().second));
    }
    vPadded(out, "SOURCE", sourceWidth + 2);
    vPadded(out, "CLASSIFIED", classifiedWidth + 2);
    out << (args.level ? "LEVEL" : "DECIDED BY") << '\n';
    for (std::size_t i = 0; i < view.rows.size(); ++i) {
        vPadded(out, shown[i].first, sourceWidth + 2);
        vPadded(out, shown[i].second, classifiedWidth + 2);
        out << levelName(view.rows[i].level);
        if (!view.rows[i].overrides.empty()) {
            out << " (overrides " << levelList(view.rows[i].overrides, ", ") << ')';
        }
        out << '\n';
    }
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
    // The view: one level's own mapping, or the merged view.
    View view{cache->pTopMappingGet(), cache->levels.rbegin()->first, {}};
    if (context.args.level) {
        const auto found = cache->levels.find(context.level());
        if (found == cache->levels.end()) {
            const bool boFileThere = boAnythingAt(context.file(context.level(), id));
            return context.iFail(idText(id) + " has no mapping at level " + std::string(levelName(context.level())) +
                                 (boFileThere ? " (its file does not read)" : " (no file there)"));
        }
        view.header = &found->second;
        view.headerLevel = found->first;
    }
    if (context.args.level) {
        vRowsCollect(context, *cache, view.header->sourceToClassified, view);
    } else {
        vRowsCollect(context, *cache, cache->merged.sourceToClassified, view);
    }
    if (context.args.boJson || context.command == "export") {
        vViewJson(context, *cache, view, warnings);
    } else {
        vViewText(context, *cache, view);
    }
    return iDoneStatus(warnings);
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

} // namespace vyr::tool
