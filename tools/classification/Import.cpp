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

namespace vyr::tool {

namespace fs = std::filesystem;

namespace {

// The pairs to import, each source id with the classified ids listed for it
// (possibly none: a pair whose classified id is null lists the source id).
using Wanted = std::map<std::string, std::set<std::string>, std::less<>>;

// Reads the pairs of `export` (or `show --json`) output: an object whose
// "pairs" member is an array, or that array alone. Each pair is an object
// with a text "source" and a "classified" that is text or null; other
// members are passed over. Streams through the document, so that a large
// file is never held as a tree. One document, one thread.
class PairReader final : public nlohmann::json_sax<Json> {
public:
    explicit PairReader(Wanted& wanted) : wanted_(wanted) {}

    // Empty after a document that gave its pairs.
    [[nodiscard]] std::string problemGet() const {
        if (!problem_.empty()) {
            return problem_;
        }
        return boPairsSeen_ ? std::string() : "no \"pairs\" array";
    }

    bool null() override { return boScalar(nullptr); }
    bool boolean(bool) override { return boScalar("true or false"); }
    bool number_integer(number_integer_t) override { return boScalar("a number"); }
    bool number_unsigned(number_unsigned_t) override { return boScalar("a number"); }
    bool number_float(number_float_t, const string_t&) override { return boScalar("a number"); }
    bool binary(binary_t&) override { return boScalar("binary data"); }
    bool string(string_t& text) override {
        if (boInPair() && (key_ == "source" || key_ == "classified")) {
            const std::string problem = sTextProblemGet(text);
            if (!problem.empty()) {
                return boFail("its " + key_ + " id " + problem);
            }
            (key_ == "source" ? source_ : classified_) = std::move(text);
            return true;
        }
        return boScalar("text");
    }

    bool start_object(std::size_t) override {
        if (depth_ == 0) {
            boTopObject_ = true;
        } else if (boAtPairs()) {
            ++pairs_;
            source_.reset();
            classified_.reset();
            key_.clear();
        }
        ++depth_;
        return true;
    }
    bool key(string_t& key) override {
        if (depth_ == 1 && boTopObject_) {
            topKey_ = key;
        } else if (boInPair()) {
            key_ = key;
        }
        return true;
    }
    bool end_object() override {
        --depth_;
        if (boAtPairs()) {
            if (!source_) {
                return boFail("it has no \"source\" text");
            }
            // Exported pairs come sorted by source id: most land at the end.
            auto at = wanted_.end();
            if (wanted_.empty() || std::prev(at)->first < *source_) {
                at = wanted_.emplace_hint(at, std::move(*source_), std::set<std::string>());
            } else if (std::prev(at)->first == *source_) {
                --at;
            } else {
                at = wanted_.try_emplace(std::move(*source_)).first;
            }
            if (classified_) {
                at->second.emplace_hint(at->second.end(), std::move(*classified_));
            }
        }
        return true;
    }
    bool start_array(std::size_t) override {
        if (boAtPairs()) {
            return boScalar("an array");
        }
        ++depth_;
        if (!boPairsSeen_ && !boInPairs_ && (depth_ == 1 || (depth_ == 2 && boTopObject_ && topKey_ == "pairs"))) {
            boInPairs_ = true;
            pairsDepth_ = depth_;
        }
        return true;
    }
    bool end_array() override {
        if (boAtPairs()) {
            boInPairs_ = false;
            boPairsSeen_ = true;
        }
        --depth_;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override {
        // "[json.exception.parse_error.101] parse error at line 1, column 5: ...", without the bracket.
        const std::string text = error.what();
        const std::size_t from = text.find("] ");
        problem_ = from == std::string::npos ? text : text.substr(from + 2);
        return false;
    }

private:
    // Directly inside the pairs array, or directly inside one pair.
    [[nodiscard]] bool boAtPairs() const { return boInPairs_ && depth_ == pairsDepth_; }
    [[nodiscard]] bool boInPair() const { return boInPairs_ && depth_ == pairsDepth_ + 1; }

    // A value that is not an object: fine outside the pairs, an error as a
    // pair or as its source id, and as its classified id unless null.
    bool boScalar(const char* kind) {
        const std::string shown = kind == nullptr ? "null" : kind;
        if (boAtPairs()) {
            ++pairs_;
            return boFail("it is " + shown + ", not an object");
        }
        if (boInPair() && key_ == "source") {
            return boFail("its \"source\" is " + shown + ", not text");
        }
        if (boInPair() && key_ == "classified") {
            if (kind == nullptr) {
                classified_.reset();
                return true;
            }
            return boFail("its \"classified\" is " + shown + ", not text or null");
        }
        if (!boPairsSeen_ && depth_ == 1 && boTopObject_ && topKey_ == "pairs") {
            problem_ = "\"pairs\" is not an array";
            return false;
        }
        return true;
    }

    bool boFail(const std::string& message) {
        problem_ = "pair " + std::to_string(pairs_) + ": " + message;
        return false;
    }

    Wanted& wanted_;
    int depth_ = 0;
    int pairsDepth_ = 0;     // the depth of the pairs array's elements
    bool boInPairs_ = false; // the pairs array is open
    bool boPairsSeen_ = false;
    bool boTopObject_ = false;
    std::string topKey_;
    std::string key_;
    std::size_t pairs_ = 0;
    std::optional<std::string> source_;
    std::optional<std::string> classified_;
    std::string problem_;
};

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
        } else {
            std::string reason;
            if (!boFileBytesGet(options.input, text, reason)) {
                return iFail(context, "import", options.input + " " + reason + "; nothing changed");
            }
        }
        PairReader reader(wanted);
        (void)Json::sax_parse(text, &reader);
        const std::string problem = reader.problemGet();
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
