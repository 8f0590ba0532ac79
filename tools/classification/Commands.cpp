#include "tools/classification/Commands.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fstream>
#include <map>
#include <set>
#include <string_view>
#include <system_error>
#include <vector>

#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"
#include "bridge/ClassificationEntryPoints.h"
#include "external/classification/Mapping.h"
#include "external/classification/XmlDocument.h"
#include "external/definition/AdminWrapper.h"
#include "external/directories/Directories.h"
#include "tools/classification/ConsoleCallback.h"
#include "tools/classification/JsonWriter.h"

namespace vyr::tool {

namespace fs = std::filesystem;
using bridge::classification::AdminWrapper;
using classification::Mapping;
using Cache = AdminWrapper::Cache;

namespace {

int iFail(const Context& context, std::string_view command, std::string_view message) {
    context.err << "vyr-classification " << command << ": " << message << '\n';
    return kExitFailed;
}

// The level names as one JSON array on a line.
template <class Levels>
void levelArrayWrite(JsonWriter& json, const Levels& levels) {
    json.arrayBegin(true);
    for (const Level level : levels) {
        json.string(levelName(level));
    }
    json.arrayEnd();
}

std::string idText(std::string_view id) {
    std::string text;
    text.reserve(id.size() + 2);
    text.append(1, '\'').append(id).append(1, '\'');
    return text;
}

// The width of UTF-8 text in characters (code points), for aligning columns.
std::size_t textWidth(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

void vPadded(std::ostream& out, std::string_view text, std::size_t width) {
    out << text << std::string(width > textWidth(text) ? width - textWidth(text) : 0, ' ');
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
            return "no file of " + idText(id) + " reads (see: vyr-classification check)";
        }
    }
    return "no classification " + idText(id) + " in the level folders (see: vyr-classification list)";
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

void vHeaderJson(JsonWriter& json, const Mapping& top, Level level) {
    json.key("header");
    json.objectBegin();
    json.key("level");
    json.string(levelName(level));
    for (const auto& [name, text] : textsOf(top)) {
        json.key(name);
        json.string(*text);
    }
    json.key("flag1");
    json.boolean(top.boFlag1);
    json.key("flag2");
    json.boolean(top.boFlag2);
    json.objectEnd();
}

void vHeaderText(std::ostream& out, const Mapping& top) {
    for (const auto& [name, text] : textsOf(top)) {
        if (!text->empty()) {
            out << "  " << name << ": " << *text << '\n';
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
        text += (text.empty() ? "" : ", ") + id;
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
        return source + " is not listed at any level";
    }
    return source + " -> " + classifiedList(cache.merged.pClassifiedIdsGet(source)) + " (decided by " +
           std::string(levelName(*level)) + ")";
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
    std::map<std::string, std::vector<Level>> found;
    for (const LevelEntry& entry : levelEntriesGet(context.folders)) {
        if (entry.boIdValid && entry.boRegularFile) {
            found[entry.id].push_back(entry.level);
        }
    }
    if (boJson) {
        JsonWriter json(context.out);
        json.objectBegin();
        json.key("classifications");
        json.arrayBegin();
        for (const auto& [id, levels] : found) {
            json.objectBegin();
            json.key("id");
            json.string(id);
            json.key("levels");
            levelArrayWrite(json, levels);
            json.objectEnd();
        }
        json.arrayEnd();
        json.objectEnd();
        return kExitSuccess;
    }
    std::size_t width = 0;
    for (const auto& entry : found) {
        width = std::max(width, textWidth(entry.first));
    }
    for (const auto& [id, levels] : found) {
        vPadded(context.out, id, width + 2);
        context.out << levelList(levels, " ") << '\n';
    }
    if (found.empty()) {
        context.out << "(no classification files in the level folders)\n";
    }
    return kExitSuccess;
}

int iShowRun(const Context& context, const ShowOptions& options) {
    AdminWrapper store;
    const Cache* cache = pReadableCacheGet(store, options.id);
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
            return iFail(
                context, "show",
                idText(options.id) + " has no mapping at level " + std::string(levelName(*options.level)) +
                    (boFileThere ? " (its file does not read; see: vyr-classification check)" : " (no file there)"));
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

    if (options.boJson) {
        JsonWriter json(context.out);
        json.objectBegin();
        json.key("id");
        json.string(options.id);
        json.key("levels");
        levelArrayWrite(json, levelsOf(*cache));
        json.key("view");
        json.string(options.level ? levelName(*options.level) : "merged");
        vHeaderJson(json, *header, headerLevel);
        json.key("pairs");
        json.arrayBegin();
        for (const Row& row : rows) {
            json.objectBegin();
            json.key("source");
            json.string(*row.source);
            json.key("classified");
            if (row.classified != nullptr) {
                json.string(*row.classified);
            } else {
                json.null();
            }
            json.key("level");
            json.string(levelName(row.level));
            json.key("overrides");
            levelArrayWrite(json, row.overrides);
            json.objectEnd();
        }
        json.arrayEnd();
        json.objectEnd();
        return kExitSuccess;
    }

    std::ostream& out = context.out;
    out << options.id << ": ";
    if (options.level) {
        out << "level " << levelName(*options.level) << " only\n";
    } else {
        out << "levels " << levelList(levelsOf(*cache), ", ") << "; header from " << levelName(headerLevel) << '\n';
    }
    vHeaderText(out, *header);
    if (rows.empty()) {
        out << "(no pairs" << (options.source || options.classified ? " match" : "") << ")\n";
        return kExitSuccess;
    }
    std::size_t sourceWidth = textWidth("SOURCE");
    std::size_t classifiedWidth = textWidth("CLASSIFIED");
    for (const Row& row : rows) {
        sourceWidth = std::max(sourceWidth, textWidth(*row.source));
        classifiedWidth = std::max(classifiedWidth, row.classified ? textWidth(*row.classified) : 6);
    }
    vPadded(out, "SOURCE", sourceWidth + 2);
    vPadded(out, "CLASSIFIED", classifiedWidth + 2);
    out << (options.level ? "LEVEL" : "DECIDED BY") << '\n';
    for (const Row& row : rows) {
        vPadded(out, *row.source, sourceWidth + 2);
        vPadded(out, row.classified ? std::string_view(*row.classified) : "(none)", classifiedWidth + 2);
        out << levelName(row.level);
        if (!row.overrides.empty()) {
            out << " (overrides " << levelList(row.overrides, ", ") << ')';
        }
        out << '\n';
    }
    return kExitSuccess;
}

int iCheckRun(const Context& context, bool boJson) {
    // One checked entry; a plain value.
    struct Result {
        Level level;
        fs::path path;
        std::string id;
        std::string error; // empty: the file reads
    };
    std::vector<Result> results;
    for (const auto& [level, folder] : context.folders) {
        std::error_code error;
        if (boAnythingAt(folder) && !fs::is_directory(folder, error)) {
            results.push_back({level, folder, "", "the level folder is not a folder"});
        }
    }
    for (const LevelEntry& entry : levelEntriesGet(context.folders)) {
        Result result{entry.level, entry.path, entry.id, ""};
        if (!entry.boIdValid) {
            result.error = "the file name is not valid UTF-8, so it names no classification id";
        } else if (entry.boFolder) {
            result.error = "a folder stands where the mapping file should be";
        } else if (!entry.boRegularFile) {
            result.error = "not a regular file";
        } else {
            std::ifstream stream(entry.path, std::ios::in | std::ios::binary);
            if (!stream.is_open()) {
                result.error = std::string("cannot be opened: ") + std::strerror(errno);
            } else {
                Mapping mapping;
                classification::XmlDocument document(mapping);
                if (!document.boRead(stream)) {
                    result.error = document.errorGet();
                }
            }
        }
        results.push_back(std::move(result));
    }

    const auto failed = static_cast<std::size_t>(
        std::count_if(results.begin(), results.end(), [](const Result& result) { return !result.error.empty(); }));
    const char* notRead = failed == 1 ? " does not read" : " do not read";
    if (boJson) {
        JsonWriter json(context.out);
        json.objectBegin();
        json.key("files");
        json.arrayBegin();
        for (const Result& result : results) {
            json.objectBegin();
            json.key("path");
            json.string(pathText(result.path));
            json.key("level");
            json.string(levelName(result.level));
            json.key("id");
            json.string(result.id);
            json.key("ok");
            json.boolean(result.error.empty());
            if (!result.error.empty()) {
                json.key("error");
                json.string(result.error);
            }
            json.objectEnd();
        }
        json.arrayEnd();
        json.key("checked");
        json.number(static_cast<long long>(results.size()));
        json.key("failed");
        json.number(static_cast<long long>(failed));
        json.objectEnd();
    } else {
        for (const Result& result : results) {
            if (!result.error.empty()) {
                context.out << pathText(result.path) << ": " << result.error << '\n';
            }
        }
        context.out << "checked " << results.size() << (results.size() == 1 ? " file: " : " files: ")
                    << (failed == 0 ? "all read" : std::to_string(failed) + notRead) << '\n';
    }
    if (failed != 0) {
        context.err << "vyr-classification check: " << failed << " of " << results.size() << " files" << notRead
                    << '\n';
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
    if (!store.boCreateClassification(options.id, options.sText2, options.sText3, options.sText4, options.sText5,
                                      options.boFlag1, options.boFlag2, options.level)) {
        return iFail(context, "create",
                     "could not write " + idText(options.id) + " at level " + std::string(levelName(options.level)) +
                         ": " + pathText(file));
    }
    context.out << "created " << options.id << " at level " << levelName(options.level) << ": " << pathText(file)
                << '\n';
    return kExitSuccess;
}

int iEditRun(const Context& context, const EditOptions& options) {
    static const std::map<Edit, std::string_view> commands = {{Edit::Add, "add"},
                                                              {Edit::Set, "set"},
                                                              {Edit::Remove, "remove"},
                                                              {Edit::RemoveSource, "remove-source"},
                                                              {Edit::RemoveClassified, "remove-classified"}};
    const std::string_view command = commands.at(options.edit);
    const std::string level(levelName(options.level));
    const std::string& id = options.id;

    AdminWrapper store;
    const Cache* cache = pReadableCacheGet(store, id);
    if (cache == nullptr) {
        return iFail(context, command, sMissingReason(context, id) + "; nothing changed");
    }
    const fs::path file = filePathGet(context.folders, options.level, id);
    const auto present = cache->levels.find(options.level);
    // A file that does not read must not be written over: the store would
    // fill the level from another one and the file's own content would be lost.
    if (present == cache->levels.end() && boAnythingAt(file)) {
        return iFail(context, command,
                     pathText(file) + " does not read; not writing over it (see: vyr-classification check)");
    }

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
                         idText(id) + " has no pair " + options.source + " -> " + options.classified + " at level " +
                             level + "; nothing changed");
        }
        break;
    case Edit::RemoveSource:
        if (sourceSet() == nullptr || sourceSet()->empty()) {
            return iFail(context, command,
                         idText(id) + " maps " + options.source + " to nothing at level " + level +
                             "; nothing changed");
        }
        break;
    case Edit::RemoveClassified:
        if (atLevel == nullptr || std::none_of(atLevel->begin(), atLevel->end(), [&](const auto& entry) {
                return entry.second.count(options.classified) != 0;
            })) {
            return iFail(context, command,
                         "no source id of " + idText(id) + " maps to " + options.classified + " at level " + level +
                             "; nothing changed");
        }
        break;
    case Edit::Add:
    case Edit::Set:
        break;
    }

    std::string done;
    {
        classification::WriteAccess access = store.writeAccessGet(id);
        if (!access.boLockFile(options.level)) {
            return iFail(context, command, "cannot open " + pathText(file) + " for writing; nothing changed");
        }
        switch (options.edit) {
        case Edit::Add:
            (void)access.boAddMapping(options.source, options.classified, options.level);
            done = "added " + options.source + " -> " + options.classified + " to " + id;
            break;
        case Edit::Set:
            (void)access.boSetMapping(options.source, options.classified, options.level);
            done = "set " + options.source + " -> " + options.classified + " in " + id;
            break;
        case Edit::Remove:
            access.vMappingRemove(options.source, options.classified, options.level);
            done = "removed " + options.source + " -> " + options.classified + " from " + id;
            break;
        case Edit::RemoveSource:
            access.vMappedToSourceRemove(options.source, options.level);
            done = "removed every classified id of " + options.source + " from " + id;
            break;
        case Edit::RemoveClassified:
            access.vMappedToClassifiedRemove(options.classified, options.level);
            done = "removed " + options.classified + " from every source id of " + id;
            break;
        }
    } // the write access writes the level back into its file here
    context.out << done << " at level " << level << " (" << pathText(file) << ")\n";

    const Cache& after = *store.cachesGet(id);
    if (options.edit == Edit::RemoveClassified) {
        const std::set<std::string>* sources = after.merged.pSourceIdsGet(options.classified);
        context.out << "merged view: "
                    << (sources == nullptr ? "no source id maps to " + options.classified
                                           : classifiedList(sources) + " -> " + options.classified)
                    << '\n';
    } else {
        context.out << "merged view: " << sMergedLine(after, options.source) << '\n';
    }
    return kExitSuccess;
}

int iClassifyRun(const Context& context, const ClassifyOptions& options, std::ostream* terminal) {
    AdminWrapper store;
    for (const std::string* id : {&options.mapping, &options.filter}) {
        if (pReadableCacheGet(store, *id) == nullptr) {
            return iFail(context, "classify", sMissingReason(context, *id) + "; nothing changed");
        }
    }
    // The run writes the update classification at the output level; a file
    // there that does not read must not be written over.
    const fs::path file = filePathGet(context.folders, options.out, options.update);
    if (boAnythingAt(file)) {
        const Cache* update = pReadableCacheGet(store, options.update);
        if (update == nullptr || update->levels.count(options.out) == 0) {
            return iFail(context, "classify",
                         pathText(file) + " does not read; not writing over it (see: vyr-classification check)");
        }
    }

    bridge::definition::AdminWrapper definitions("vyr-classification");
    ConsoleCallback callback(context.out, terminal);
    try {
        bridge::classification::vClassify(Directories::getInstance(), store, definitions, options.mapping,
                                          options.filter, options.in, options.out, options.update, &callback);
    } catch (const std::exception& error) {
        return iFail(context, "classify", error.what());
    }
    return kExitSuccess;
}

} // namespace vyr::tool
