#pragma once

// Helpers for the store's tests: mappings written as literals, a level cache
// that counts its rebuilds, a small cache admin with no folders of its own,
// level folders set up through the directory service, and snapshots of a
// folder tree.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <istream>
#include <ostream>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Source/Core/Utilities/Cache/CacheAdminBase.h"
#include "Source/Core/Utilities/Cache/Level.h"
#include "Source/Resource/Classification/ClassificationCacheLevels.h"
#include "external/assert/Assert.h"
#include "external/classification/Mapping.h"
#include "external/classification/XmlDocument.h"
#include "external/directories/Directories.h"
#include "tests/common/TestSupport.h"

namespace vyr::classification {

// Readable failure messages for mappings.
inline void PrintTo(const Mapping& mapping, std::ostream* out) {
    *out << "{id '" << mapping.sId << "', texts '" << mapping.sText2 << "' '" << mapping.sText3 << "' '"
         << mapping.sText4 << "' '" << mapping.sText5 << "' '" << mapping.sText6 << "' '" << mapping.sText7
         << "', flags " << mapping.boFlag1 << mapping.boFlag2 << ", relation {";
    for (const auto& [source, classified] : mapping.sourceToClassified) {
        *out << " " << source << ":{";
        for (const std::string& id : classified) {
            *out << " " << id;
        }
        *out << " }";
    }
    *out << " }, second relation of " << mapping.secondRelation.size() << "}";
}

} // namespace vyr::classification

namespace vyr::test {

using cache::Level;
using cache::Shared;
using cache::Sys;
using cache::User;
using Cache = classification::CacheLevels<Level>;
using classification::Mapping;
using Relation = std::map<std::string, std::set<std::string>, std::less<>>;
using Pairs = std::set<std::pair<std::string, std::string>>;

// A mapping with the given id and relation; the other texts name the id so
// that copies can be told apart.
inline Mapping mappingOf(const std::string& id,
                         std::initializer_list<std::pair<const std::string, std::set<std::string>>> relation = {}) {
    Mapping mapping(id, id + "-2", id + "-3", id + "-4", id + "-5", true, false);
    mapping.sText6 = id + "-6";
    mapping.sText7 = id + "-7";
    for (const auto& [source, classified] : relation) {
        mapping.sourceToClassified[source] = classified;
    }
    return mapping;
}

// The merged view as the plain merge rule gives it: levels in ascending
// order, each listed source id's set replacing what a lower level gave it;
// the inverse relation computed from that result.
inline std::pair<Relation, Relation> referenceMerge(const std::map<Level, Mapping>& levels) {
    Relation sourceToClassified;
    for (const auto& [level, mapping] : levels) {
        for (const auto& [source, classified] : mapping.sourceToClassified) {
            sourceToClassified[source] = classified;
        }
    }
    Relation classifiedToSource;
    for (const auto& [source, classified] : sourceToClassified) {
        for (const std::string& id : classified) {
            classifiedToSource[id].insert(source);
        }
    }
    return {sourceToClassified, classifiedToSource};
}

// Each hashed index of the merged view that is built holds exactly the
// entries of its map: as many as the map, each map entry found at its own
// address, and the probe ids that the map lacks found in neither direction.
// The lookups build what the view builds when asked.
inline void expectIndexExact(const classification::CacheMerged<Level>& merged,
                             const std::vector<std::string>& probes, const std::string& where) {
    const auto [sourcesIndexed, classifiedIndexed] = merged.indexSizesGet();
    EXPECT_TRUE(sourcesIndexed == 0 || sourcesIndexed == merged.sourceToClassified.size()) << where;
    EXPECT_TRUE(classifiedIndexed == 0 || classifiedIndexed == merged.classifiedToSourceGet().size()) << where;
    for (const auto& [source, classified] : merged.sourceToClassified) {
        EXPECT_EQ(merged.pClassifiedIdsGet(source), &classified) << where << ", source id " << source;
    }
    for (const auto& [id, sources] : merged.classifiedToSourceGet()) {
        EXPECT_EQ(merged.pSourceIdsGet(id), &sources) << where << ", classified id " << id;
    }
    for (const std::string& id : probes) {
        if (merged.sourceToClassified.count(id) == 0) {
            EXPECT_EQ(merged.pClassifiedIdsGet(id), nullptr) << where << ", absent source id " << id;
        }
        if (merged.classifiedToSourceGet().count(id) == 0) {
            EXPECT_EQ(merged.pSourceIdsGet(id), nullptr) << where << ", absent classified id " << id;
        }
    }
}

// A level cache that counts how often its merged view was rebuilt.
// Thread-compatible, like the cache it extends.
class CountingCache : public Cache {
public:
    void vChanged() override {
        ++rebuilds;
        Cache::vChanged();
    }
    int rebuilds = 0;
};

// A cache admin with the store's file naming but no folder until a test
// sets one; lets the tests reach the level folder operations of the admin
// base without the directory service. Owns what its base owns.
class TestAdmin final : public cache::CacheAdminBase<Cache> {
public:
    [[nodiscard]] std::filesystem::path extension() const override { return "xml"; }
    [[nodiscard]] bool boReadFromStream(std::istream& stream, const Level& level, Cache& cache) override {
        Mapping mapping;
        classification::XmlDocument document(mapping);
        if (!document.boRead(stream)) {
            return false;
        }
        cache.vLevelSet(level, mapping, false);
        return true;
    }
    [[nodiscard]] std::string sFolderName() const override { return "Classification"; }
};

// Three base folders in a fresh temporary folder, handed to the directory
// service, and the level folders an admin derives from them:
//   sys/Resources/Classification, shared/Classification, user/Classification.
// Owns the temporary folder; the directory service keeps pointing at it, so
// an admin made from it must not outlive this object's use.
struct StoreFolders {
    explicit StoreFolders(bool boCreateLevelFolders = true) {
        Directories::vSysDirectorySet(root / "sys");
        Directories::vSharedDirectoriesSet({root / "shared"});
        Directories::vUserDirectorySet(root / "user");
        if (boCreateLevelFolders) {
            for (const auto& folder : {sysLevel, sharedLevel, userLevel}) {
                std::filesystem::create_directories(folder);
            }
        }
    }

    [[nodiscard]] std::filesystem::path levelFolder(Level level) const {
        return level == Sys ? sysLevel : level == Shared ? sharedLevel : userLevel;
    }
    [[nodiscard]] std::filesystem::path file(Level level, const std::string& id) const {
        return levelFolder(level) / (id + ".xml");
    }

    TempFolder root;
    std::filesystem::path sysLevel = root / "sys" / "Resources" / "Classification";
    std::filesystem::path sharedLevel = root / "shared" / "Classification";
    std::filesystem::path userLevel = root / "user" / "Classification";
};

// Every entry under the folder, by relative path: a file's content, or
// "<folder>" for a folder. Two equal snapshots mean nothing was created,
// removed or written in that tree.
inline std::map<std::string, std::string> treeSnapshot(const std::filesystem::path& folder) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        const std::string name = entry.path().lexically_relative(folder).string();
        entries[name] = entry.is_directory() ? std::string("<folder>") : readFile(entry.path());
    }
    return entries;
}

// Sets the file's last-write time to the given UTC time.
inline void setFileTimeUtc(const std::filesystem::path& file, std::chrono::sys_seconds time) {
    std::filesystem::last_write_time(
        file, std::chrono::time_point_cast<std::filesystem::file_time_type::duration>(
                  std::chrono::file_clock::from_sys(time)));
}

// The records the sink kept, as (message, function, file name) triples.
struct Report {
    std::string message;
    std::string function;
    std::string fileName;
    std::int32_t type;
    bool operator==(const Report&) const = default;
};
inline std::vector<Report> reportsGet() {
    std::vector<Report> reports;
    for (const auto& record : assert::Assert::recordsGet()) {
        reports.push_back({std::string(record->message()), std::string(record->function()),
                           std::string(record->fileName()), static_cast<std::int32_t>(record->type())});
    }
    return reports;
}

} // namespace vyr::test
