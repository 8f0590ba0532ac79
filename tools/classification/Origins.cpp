// Where the merged view comes from: `overrides`, every source id that a
// level decides over lower levels that list it too, and `cat`, each level
// file as it is on disk.

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tools/classification/CommandSupport.h"
#include "tools/classification/Commands.h"
#include "tools/classification/Display.h"

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
        for (auto it = cache.levels.rbegin(); it != cache.levels.rend(); ++it) {
            const auto listed = it->second.sourceToClassified.find(source);
            if (listed != it->second.sourceToClassified.end()) {
                found.levels.emplace_back(it->first, &listed->second);
            }
        }
        if (found.levels.size() > 1) {
            overrides.push_back(std::move(found));
        }
    }
}

Json idArray(const std::set<std::string>& ids) {
    Json array = Json::array();
    for (const std::string& id : ids) {
        array.push_back(id);
    }
    return array;
}

} // namespace

int iOverridesRun(const Context& context, const std::optional<std::string>& id, bool boJson) {
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
            vWarningsPrint(context, "overrides", warnings);
            return iFail(context, "overrides", sMissingReason(context, each));
        }
        if (cache != nullptr) {
            vOverridesCollect(*cache, each, overrides);
        }
    }
    vWarningsPrint(context, "overrides", warnings);
    const auto file = [&](const Override& found, Level level) {
        return pathText(filePathGet(context.folders, level, *found.id));
    };

    if (boJson) {
        Json array = Json::array();
        for (const Override& found : overrides) {
            const auto& [level, classified] = found.levels.front();
            Json hides = Json::array();
            for (auto it = found.levels.begin() + 1; it != found.levels.end(); ++it) {
                hides.push_back({{"level", levelName(it->first)},
                                 {"path", file(found, it->first)},
                                 {"classified", idArray(*it->second)}});
            }
            array.push_back({{"id", *found.id},
                             {"source", *found.source},
                             {"level", levelName(level)},
                             {"path", file(found, level)},
                             {"classified", idArray(*classified)},
                             {"hides", std::move(hides)}});
        }
        vJsonWrite(context.out, {{"overrides", std::move(array)}, {"warnings", warningArray(warnings)}});
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
            context.out << file(found, level) << '\n';
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

int iCatRun(const Context& context, const std::string& id) {
    std::vector<Warning> warnings;
    bool boAny = false;
    for (const auto& [level, folder] : context.folders) {
        const fs::path file = filePathGet(context.folders, level, id);
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
    vWarningsPrint(context, "cat", warnings);
    if (!boAny) {
        return iFail(context, "cat", sMissingReason(context, id));
    }
    return iDoneStatus(warnings);
}

} // namespace vyr::tool
