// Where the merged view comes from: `overrides`, every source id that a
// level decides over lower levels that list it too, and `cat`, each level
// file as it is on disk.

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tools/classification/CommandLine.h"
#include "tools/classification/CommandSupport.h"

namespace vyr::tool {

namespace fs = std::filesystem;

namespace {

// One source id of one classification that a level decides over lower
// levels: the deciding level first, then the levels it hides, highest
// first, each with its set. Points into the store's cache (valid while the
// store lives and nothing edits it).
struct Override {
    const std::string* id;
    const std::string* source;
    std::vector<std::pair<Level, const std::set<std::string>*>> levels;
};

void vOverridesCollect(const Cache& cache, const std::string& id, std::vector<Override>& overrides) {
    // The merged view lists every source id that some level lists.
    for (const auto& [source, classified] : cache.merged.sourceToClassified) {
        Override found{&id, &source, {}};
        for (const Level level : AdminWrapper::sourceLevelsGet(cache, source)) {
            found.levels.emplace_back(level, pLevelSetGet(cache, level, source));
        }
        if (found.levels.size() > 1) {
            overrides.push_back(std::move(found));
        }
    }
}

void vOverridesJson(const Context& context, const std::vector<Override>& overrides,
                    const std::vector<Warning>& warnings) {
    Json array = Json::array();
    for (const Override& found : overrides) {
        const auto& [level, classified] = found.levels.front();
        Json hides = Json::array();
        for (auto it = found.levels.begin() + 1; it != found.levels.end(); ++it) {
            hides.push_back({{"level", levelName(it->first)},
                             {"path", pathText(context.file(it->first, *found.id))},
                             {"classified", Json(*it->second)}});
        }
        array.push_back({{"id", *found.id},
                         {"source", *found.source},
                         {"level", levelName(level)},
                         {"path", pathText(context.file(level, *found.id))},
                         {"classified", Json(*classified)},
                         {"hides", std::move(hides)}});
    }
    vJsonWrite(context.out, {{"overrides", std::move(array)}, {"warnings", warningArray(warnings)}});
}

int iOverridesRun(const Context& context) {
    const std::optional<std::string>& id = context.args.id;
    // The ids: the one asked for, or every id with a file in a level folder.
    std::vector<std::string> ids;
    if (id) {
        ids.push_back(*id);
    } else {
        for (const LevelEntry& entry : levelEntriesGet(context.folders)) {
            if (entry.boIdValid && entry.boRegularFile && (ids.empty() || ids.back() != entry.id)) {
                ids.push_back(entry.id);
            }
        }
    }
    AdminWrapper store;
    std::vector<Override> overrides;
    std::vector<Warning> warnings;
    for (const std::string& each : ids) {
        const Cache* cache = pReadableCacheGet(store, each);
        const std::vector<Warning> unread = unreadLevelsGet(context, each, cache);
        warnings.insert(warnings.end(), unread.begin(), unread.end());
        if (cache == nullptr && id) {
            vWarningsPrint(context, warnings);
            return context.iFail(sMissingReason(context, each));
        }
        if (cache != nullptr) {
            vOverridesCollect(*cache, each, overrides);
        }
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
        bool boFirst = true;
        for (const auto& [level, classified] : found.levels) {
            context.out << (boFirst ? "  decides  " : "  hides    ");
            vPadded(context.out, levelName(level), 8);
            vPadded(context.out, classifiedList(classified), setWidth + 2);
            context.out << pathText(context.file(level, *found.id)) << '\n';
            boFirst = false;
        }
    }
    std::set<std::string_view> classifications;
    for (const Override& found : overrides) {
        classifications.insert(*found.id);
    }
    context.out << overrides.size() << (overrides.size() == 1 ? " override" : " overrides") << " in "
                << classifications.size() << (classifications.size() == 1 ? " classification" : " classifications")
                << '\n';
    return iDoneStatus(warnings);
}

int iCatRun(const Context& context) {
    const std::string& id = *context.args.id;
    std::vector<Warning> warnings;
    bool boAny = false;
    for (const auto& [level, folder] : context.folders) {
        const fs::path file = context.file(level, id);
        if (!boAnythingAt(file)) {
            continue;
        }
        std::string bytes;
        std::string reason;
        if (!boFileBytesGet(file, bytes, reason)) {
            warnings.push_back({level, file, reason});
            continue;
        }
        boAny = true;
        context.out << "# " << pathText(file) << " (level " << levelName(level) << ")\n" << bytes;
        if (!bytes.empty() && bytes.back() != '\n') {
            context.out << '\n';
        }
        // Shown as it is; the person learns that the store skips it.
        std::string problem = sReadProblemGet(file);
        if (!problem.empty()) {
            warnings.push_back({level, file, std::move(problem)});
        }
    }
    vWarningsPrint(context, warnings);
    return boAny ? iDoneStatus(warnings) : context.iFail(sMissingReason(context, id));
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

const Command kOverridesCommand{
    "overrides",
    "List every source id that a level decides over a lower level that lists it too, with the sets it hides",
    vOverridesDeclare, iOverridesRun};
const Command kCatCommand{"cat", "Print each level file of a classification as it is on disk, lowest level first",
                          vCatDeclare, iCatRun};

} // namespace vyr::tool
