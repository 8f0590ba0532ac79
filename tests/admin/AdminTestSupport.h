#pragma once

// A fixture for the admin tests: the directory service points at a fresh
// temporary folder and the process-wide admin is reset around every test.
// Plus small helpers to write level files and to merge them the way the
// store's merged view must.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "Source/Core/Utilities/Cache/FileRecord.h"
#include "Source/Core/Utilities/Cache/Level.h"
#include "Vyr/Libraries/Classification/ClassificationAdminInstance.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "Vyr/Libraries/Classification/VyrClassificationAdmin.h"
#include "external/classification/Mapping.h"
#include "external/directories/Directories.h"
#include "tests/common/StoreFixture.h"
#include "tests/common/TestSupport.h"

namespace vyr::test {

namespace fs = std::filesystem;
using cache::Level;
using classification::Admin;
using classification::Mapping;
using bridge::classification::AdminWrapper;
using Pairs = std::set<std::pair<std::string, std::string>>;
using Relation = Mapping::Relation;

// A mapping with the given id, texts 2 to 6 and relation.
inline Mapping mappingMake(const std::string& id, const std::string& textPrefix, Relation relation = {}) {
    Mapping mapping(id, textPrefix + "2", textPrefix + "3", textPrefix + "4", textPrefix + "5", false, true);
    mapping.sText6 = textPrefix + "6";
    mapping.sourceToClassified = std::move(relation);
    return mapping;
}

// The pairs of a relation, as mappingsGet lists them.
inline Pairs pairsOf(const Relation& relation) {
    Pairs pairs;
    for (const auto& [source, classified] : relation) {
        for (const std::string& classifiedId : classified) {
            pairs.emplace(source, classifiedId);
        }
    }
    return pairs;
}

// The merge rule of the store, computed independently: the highest level
// that lists a source id decides its whole set.
inline Relation mergeOf(const std::map<Level, Mapping>& levels) {
    Relation merged;
    for (const auto& [level, mapping] : levels) {
        for (const auto& [source, classified] : mapping.sourceToClassified) {
            merged[source] = classified;
        }
    }
    return merged;
}

class AdminFixture : public StoreFixture {
protected:
    // The process-wide admin, created when there is none. Takes the owner's
    // lock, which is held while an admin is made (and takes its own mutex):
    // never call it with the admin's mutex held.
    static Admin& admin() { return *bridge::classification::adminInstanceGet(); }

    // Every level file of the id that reads, by level.
    std::map<Level, Mapping> filesOf(const std::string& id) const {
        std::map<Level, Mapping> levels;
        for (const Level level : {cache::Sys, cache::Shared, cache::User}) {
            Mapping mapping;
            if (fs::exists(fileAt(id, level)) && readMapping(fileAt(id, level), mapping)) {
                levels.emplace(level, std::move(mapping));
            }
        }
        return levels;
    }
};

} // namespace vyr::test
