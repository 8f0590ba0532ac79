// `import`: applies the pairs of an exported view to one level, under one
// lock and one write-back.

#include <cstdint>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"
#include "external/assert/Assert.h"
#include "tools/classification/CommandSupport.h"
#include "tools/classification/Commands.h"
#include "tools/classification/Display.h"
#include "tools/classification/PairReading.h"

namespace vyr::tool {

namespace fs = std::filesystem;

namespace {

// What an import changes at the level, counted against the level's sets.
struct Changes {
    std::size_t sources = 0; // source ids whose entry at the level changes
    std::size_t listed = 0;  // of them, source ids the level did not list
    std::size_t added = 0;
    std::size_t removed = 0;
};

// The set that the source id gets at the level: the listed set with
// --replace; otherwise what it has there plus the listed ids, starting, as
// `add` does, from the merged set when the level does not list it yet. A
// union is made in `scratch`.
const std::set<std::string>& targetGet(const Cache& cache, Level level, const std::string& source,
                                       const std::set<std::string>& listed, bool boReplace,
                                       std::set<std::string>& scratch) {
    if (boReplace) {
        return listed;
    }
    const std::set<std::string>* atLevel = pLevelSetGet(cache, level, source);
    const std::set<std::string>* seen = atLevel != nullptr ? atLevel : cache.merged.pClassifiedIdsGet(source);
    scratch.clear();
    if (seen != nullptr) {
        scratch = *seen;
    }
    scratch.insert(listed.begin(), listed.end());
    return scratch;
}

// Counts what the import changes at the level; with an access that holds
// the level, makes those changes, and only those. Without one, stops at the
// first change: all that is asked then is whether there is any.
Changes changesApply(const Cache& cache, Level level, const Wanted& wanted, bool boReplace,
                     classification::WriteAccess* access) {
    static const std::set<std::string> kNone;
    Changes changes;
    std::set<std::string> scratch;
    std::vector<std::string> adding;
    std::vector<std::string> removing;
    for (const auto& [source, listed] : wanted) {
        const std::set<std::string>* atLevel = pLevelSetGet(cache, level, source);
        const std::set<std::string>& target = targetGet(cache, level, source, listed, boReplace, scratch);
        const std::set<std::string>& now = atLevel == nullptr ? kNone : *atLevel;
        if (atLevel != nullptr && now == target) {
            continue;
        }
        ++changes.sources;
        if (access == nullptr) {
            break;
        }
        changes.listed += atLevel == nullptr ? 1 : 0;
        adding.clear();
        removing.clear();
        std::set_difference(target.begin(), target.end(), now.begin(), now.end(), std::back_inserter(adding));
        std::set_difference(now.begin(), now.end(), target.begin(), target.end(), std::back_inserter(removing));
        changes.added += adding.size();
        changes.removed += removing.size();
        for (const std::string& classified : adding) {
            (void)access->boAddMapping(source, classified, level);
        }
        for (const std::string& classified : removing) {
            access->vMappingRemove(source, classified, level);
        }
        if (atLevel == nullptr && target.empty()) {
            // Listed with no classified id: the outside face lists a source
            // id only by adding a pair, which is then taken out again.
            (void)access->boAddMapping(source, source, level);
            access->vMappingRemove(source, source, level);
        }
    }
    return changes;
}

std::string changesText(const Changes& changes) {
    return std::to_string(changes.sources) + " changed (" + std::to_string(changes.added) +
           (changes.added == 1 ? " pair" : " pairs") + " added, " + std::to_string(changes.removed) + " removed; " +
           std::to_string(changes.listed) + " newly listed)";
}

} // namespace

int iImportRun(const Context& context, const ImportOptions& options, std::istream& in) {
    const std::string level(levelName(options.level));
    const std::string& id = options.id;
    const fs::path file = filePathGet(context.folders, options.level, id);

    // The whole input is read and checked before the store is touched. It
    // is parsed from memory: several times faster than from a stream.
    Wanted wanted;
    {
        std::string text;
        if (options.input == "-") {
            text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            text.reserve(text.size() + kPairsTextSpare);
        } else {
            std::string reason;
            if (!boFileBytesGet(options.input, text, reason, kPairsTextSpare)) {
                return iFail(context, "import", options.input + " " + reason + "; nothing changed");
            }
        }
        const std::string problem = sPairsRead(text, wanted);
        if (!problem.empty()) {
            const std::string from = options.input == "-" ? "standard input" : options.input;
            return iFail(context, "import", from + ": " + problem + "; nothing changed");
        }
    }

    AdminWrapper store;
    if (pReadableCacheGet(store, id) == nullptr) {
        vWarningsPrint(context, "import", unreadLevelsGet(context, id, nullptr));
        return iFail(context, "import", sMissingReason(context, id) + "; nothing changed");
    }
    std::optional<classification::WriteAccess> access(store.writeAccessGet(id));
    const Cache& cache = *store.cachesGet(id);
    std::vector<Warning> warnings = unreadLevelsGet(context, id, &cache);
    if (const std::optional<std::string> reason = editedLevelProblemTake(warnings, options.level)) {
        vWarningsPrint(context, "import", warnings);
        return iFail(context, "import", pathText(file) + " does not read (" + *reason + "); not writing over it");
    }
    vWarningsPrint(context, "import", warnings);

    const std::string done = "import of " + std::to_string(wanted.size()) +
                             (wanted.size() == 1 ? " source id" : " source ids") + " into " + displayText(id) +
                             " at level " + level + ": ";
    if (changesApply(cache, options.level, wanted, options.boReplace, nullptr).sources == 0) {
        context.out << done << "nothing changed (" << pathText(file) << ")\n";
        return iDoneStatus(warnings);
    }
    assert::Assert::vClear();
    if (!access->boLockFile(options.level)) {
        const std::vector<std::string> failures = writeFailuresGet();
        return iFail(context, "import",
                     "cannot lock " + pathText(file) + " for writing" +
                         (failures.empty() ? "" : ": " + failures.front()) + "; nothing changed");
    }
    // Counted again under the lock, against the file as it is now.
    const Changes changes = changesApply(cache, options.level, wanted, options.boReplace, &*access);
    // The write access writes the level back as it goes; each failure is an
    // assertion record. (An explicit boWriteBack first would make the
    // destructor copy the whole level once more to find nothing to do.)
    access.reset();
    const std::vector<std::string> failures = writeFailuresGet();
    if (!failures.empty()) {
        return iFail(context, "import", "could not write " + pathText(file) + ": " + failures.front());
    }
    context.out << done << changesText(changes) << " (" << pathText(file) << ")\n";
    return iDoneStatus(warnings);
}

} // namespace vyr::tool
