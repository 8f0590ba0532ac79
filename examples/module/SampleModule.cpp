// The sample classification module ("assembly") that the demo host, the
// command-line tool and the whole-road test run. It does one small but real
// run through the classification proxy, the way a real module would:
//
//   For the classification MAPPING, the FILTER classification and the
//   classification to UPDATE, keep each pair (s, c) of MAPPING whose
//   classified id c is allowed by FILTER, and write the kept pairs into
//   UPDATE at the output level.
//
//   c is allowed when FILTER's merged view maps c to "allow": a filter file
//   lists <source id="steel"><classified id="allow" /></source>.
//
//   The input level bounds what is read of MAPPING: only its levels at or
//   below iLevel count, and the highest of those that lists a source id
//   decides its set. With iLevel User (or above) that is the merged view the
//   store built; with Shared the user's own overrides are left out. FILTER is
//   always read through its whole merged view.
//
//   At the output level, each source id of which something is kept gets
//   exactly the kept set. A source id of which nothing is kept is emptied
//   there if that level already lists it (so a rerun clears what an earlier
//   run wrote) and left unlisted otherwise. UPDATE is created at the output
//   level when no level of it reads yet; when it exists at other levels only,
//   locking the output level makes its file from UPDATE's header.
//
// Progress and messages go to the callback when there is one; the run
// prints nothing itself. A failure (a missing classification, a level that
// cannot be written) is thrown as std::runtime_error and reaches the caller
// of the entry point unchanged; a failure of the store ends its message with
// the store's failure value (what failed and why). vClassifyNodes prints each node with its
// children count and its classified ids in the named classification.

#include "examples/module/SampleModule.h"

#include <cstdint>
#include <iostream>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

#include "Source/Core/Utilities/Cache/Level.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"
#include "external/classification/ClassificationUiCallbackInterface.h"
#include "external/classification/Mapping.h"
#include "external/definition/Node.h"
#include "external/str/Utf.h"

namespace managed::CommonClassification::Modules {
namespace {

using Relation = std::map<std::string, std::set<std::string>>;
using Store = ::vyr::bridge::classification::AdminWrapper;

// ": what failed: why", the store's failure value for the end of a
// message; empty when it holds no failure.
std::string failureText(const ::vyr::classification::Failure& failure) {
    return failure.sWhat.empty() ? "" : ": " + failure.sWhat + (failure.sReason.empty() ? "" : ": " + failure.sReason);
}

// The classified id by which a filter classification allows an id.
constexpr const char* kAllowed = "allow";

std::string utf8Get(const Handle<System::String>& text) {
    return text ? ::vyr::str::utf8FromUtf16(text->view()) : std::string();
}

std::string levelName(std::int32_t level) {
    switch (level) {
    case ::vyr::cache::Sys:
        return "sys";
    case ::vyr::cache::Shared:
        return "shared";
    case ::vyr::cache::User:
        return "user";
    default:
        return "level " + std::to_string(level);
    }
}

// True when the store holds at least one level of the id that reads.
// Asks boClassificationExists first: cachesGet inserts an empty entry for an
// unknown id, which the existence test would then count.
bool boHasLevels(Store& store, const std::string& id) {
    return store.boClassificationExists(id) && !store.cachesGet(id)->levels.empty();
}

// The id's pairs as seen from its levels at or below iLevel: the highest of
// those levels that lists a source id decides its set. A copy, so that the
// run's own edits cannot move it.
Relation relationUpToLevel(Store& store, const std::string& id, std::int32_t iLevel) {
    const Store::Cache& cache = *store.cachesGet(id);
    if (!cache.levels.empty() && cache.levels.rbegin()->first <= iLevel) {
        return {cache.merged.sourceToClassified.begin(), cache.merged.sourceToClassified.end()};
    }
    Relation relation;
    for (const auto& [level, mapping] : cache.levels) {
        if (level > iLevel) {
            break;
        }
        for (const auto& [source, classified] : mapping.sourceToClassified) {
            relation[source] = classified;
        }
    }
    return relation;
}

std::size_t pairCount(const Relation& relation) {
    std::size_t count = 0;
    for (const auto& entry : relation) {
        count += entry.second.size();
    }
    return count;
}

// Passes progress and messages on to the native callback, if there is one.
// Points at the caller's callback without owning it; one run, one thread.
class Reporter {
public:
    explicit Reporter(::vyr::classification::ClassificationUiCallbackInterface* callback) : callback_(callback) {}
    void message(const std::string& text) const {
        if (callback_ != nullptr) {
            callback_->vMessage(text);
        }
    }
    void progress(std::size_t done, std::size_t total) const {
        if (callback_ != nullptr) {
            callback_->vProgress(static_cast<int>(done), static_cast<int>(total));
        }
    }

private:
    ::vyr::classification::ClassificationUiCallbackInterface* callback_;
};

void vNodePrint(Store& store, const std::string& mappingId, const ::vyr::definition::Node& node, int depth) {
    std::cout << std::string(static_cast<std::size_t>(2 * depth + 2), ' ') << node.nameGet() << " ("
              << node.childrenGet().size() << (node.childrenGet().size() == 1 ? " child" : " children") << "): ";
    const std::set<std::string>* classified = store.pClassifiedIdsGet(mappingId, node.nameGet());
    if (classified == nullptr || classified->empty()) {
        std::cout << "not classified";
    } else {
        const char* separator = "";
        for (const std::string& classifiedId : *classified) {
            std::cout << separator << classifiedId;
            separator = ", ";
        }
    }
    std::cout << '\n';
    for (const ::vyr::definition::Node& child : node.childrenGet()) {
        vNodePrint(store, mappingId, child, depth + 1);
    }
}

} // namespace

void SampleModule::vInit(Handle<vyr::bridge::IDirectories> directories,
                         Handle<vyr::bridge::classification::Admin> classificationAdmin,
                         Handle<vyr::bridge::definition::Admin> definitionAdmin) {
    directories_ = std::move(directories);
    classificationAdmin_ = std::move(classificationAdmin);
    definitionAdmin_ = std::move(definitionAdmin);
}

void SampleModule::vClassify(Handle<System::String> classificationMappingName,
                             Handle<System::String> classificationFilterMappingName, std::int32_t iLevel,
                             std::int32_t outputLevel, Handle<System::String> definitionToUpdate,
                             Handle<vyr::bridge::classification::CommonClassificationCallback> classificationCallback) {
    Store& store = classificationAdmin_->nativeGet();
    const Reporter report(classificationCallback ? classificationCallback->nativeGet() : nullptr);
    const std::string mappingId = utf8Get(classificationMappingName);
    const std::string filterId = utf8Get(classificationFilterMappingName);
    const std::string updateId = utf8Get(definitionToUpdate);

    if (outputLevel != ::vyr::cache::Shared && outputLevel != ::vyr::cache::User) {
        throw std::runtime_error("output level " + levelName(outputLevel) + " is not writable (shared or user)");
    }
    for (const std::string* id : {&mappingId, &filterId}) {
        if (!boHasLevels(store, *id)) {
            throw std::runtime_error("no classification '" + *id + "' reads at any level");
        }
    }

    const Relation input = relationUpToLevel(store, mappingId, iLevel);
    report.message("reading " + mappingId + " up to level " + levelName(iLevel) + ": " +
                   std::to_string(pairCount(input)) + " pairs of " + std::to_string(input.size()) +
                   " source ids; keeping those that " + filterId + " allows");

    const auto level = static_cast<::vyr::cache::Level>(outputLevel);
    if (!boHasLevels(store, updateId)) {
        ::vyr::classification::Failure failure;
        if (!store.boCreateClassification(updateId, mappingId + " allowed by " + filterId,
                                          "made by the sample classification module", "", "", false, false, level,
                                          failure)) {
            throw std::runtime_error("cannot create '" + updateId + "' at level " + levelName(outputLevel) +
                                     failureText(failure));
        }
        report.message("created " + updateId + " at level " + levelName(outputLevel));
    }

    std::size_t keptPairs = 0;
    std::size_t keptSources = 0;
    {
        ::vyr::classification::WriteAccess access = store.writeAccessGet(updateId);
        if (!access.boLockFile(level)) {
            throw std::runtime_error("cannot open the file of '" + updateId + "' at level " + levelName(outputLevel) +
                                     " for writing" + failureText(access.failureGet()));
        }
        // The sources that the output level lists before the run.
        const Store::Cache& target = *store.cachesGet(updateId);
        std::set<std::string> listed;
        if (const auto found = target.levels.find(level); found != target.levels.end()) {
            for (const auto& [source, classified] : found->second.sourceToClassified) {
                if (!classified.empty()) {
                    listed.insert(source);
                }
            }
        }

        std::size_t done = 0;
        for (const auto& [source, classified] : input) {
            bool boFirst = true;
            for (const std::string& classifiedId : classified) {
                if (!store.boMappingExists(filterId, classifiedId, kAllowed)) {
                    continue;
                }
                const bool boWritten = boFirst ? access.boSetMapping(source, classifiedId, level)
                                               : access.boAddMapping(source, classifiedId, level);
                if (!boWritten) {
                    throw std::runtime_error("cannot edit '" + updateId + "' at level " + levelName(outputLevel) +
                                             failureText(access.failureGet()));
                }
                boFirst = false;
                ++keptPairs;
            }
            if (!boFirst) {
                ++keptSources;
            } else if (listed.count(source) != 0) {
                access.vMappedToSourceRemove(source, level);
            }
            report.progress(++done, input.size());
        }
        // Saved now, so that the run reports "wrote" only when it did.
        if (!access.boWriteBack()) {
            throw std::runtime_error("could not write '" + updateId + "' at level " + levelName(outputLevel) +
                                     " back into its file" + failureText(access.failureGet()));
        }
    }

    report.message("kept " + std::to_string(keptPairs) + " pairs of " + std::to_string(keptSources) +
                   " source ids; wrote them into " + updateId + " at level " + levelName(outputLevel));
}

void SampleModule::vClassifyNodes(Handle<System::String> classificationMappingName,
                                  Handle<vyr::bridge::definition::Node> sourceNodes) {
    Store& store = classificationAdmin_->nativeGet();
    const std::string mappingId = utf8Get(classificationMappingName);
    std::cout << "module: nodes classified by " << mappingId << '\n';
    vNodePrint(store, mappingId, sourceNodes->nativeGet(), 0);
}

} // namespace managed::CommonClassification::Modules
