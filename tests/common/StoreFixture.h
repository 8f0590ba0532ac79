#pragma once

// A fixture for tests of the process-wide store: the directory service
// points at base/sys, base/shared and base/user inside a fresh temporary
// folder, and the process-wide admin is reset around every test. Used by the
// test's own thread; forked children get a copy.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "Source/Core/Utilities/Cache/Level.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "external/classification/Mapping.h"
#include "external/directories/Directories.h"
#include "tests/common/TestSupport.h"

namespace vyr::test {

class StoreFixture : public ::testing::Test {
protected:
    void SetUp() override {
        vDirectoriesSet(folder.path());
        bridge::classification::AdminWrapper::vAdminReset();
    }
    void TearDown() override {
        bridge::classification::AdminWrapper::vAdminReset();
        vDirectoriesSet({});
    }

    // Points the directory service at base/sys, base/shared and base/user,
    // or clears it for an empty base.
    static void vDirectoriesSet(const std::filesystem::path& base) {
        if (base.empty()) {
            Directories::vSysDirectorySet({});
            Directories::vSharedDirectoriesSet({});
            Directories::vUserDirectorySet({});
            return;
        }
        Directories::vSysDirectorySet(base / "sys");
        Directories::vSharedDirectoriesSet({base / "shared"});
        Directories::vUserDirectorySet(base / "user");
    }

    // The level folders that an admin made now derives from the service.
    [[nodiscard]] std::filesystem::path levelFolder(cache::Level level) const {
        switch (level) {
        case cache::Sys:
            return folder / "sys" / "Resources" / "Classification";
        case cache::Shared:
            return folder / "shared" / "Classification";
        case cache::User:
            return folder / "user" / "Classification";
        }
        return {};
    }

    [[nodiscard]] std::filesystem::path fileAt(const std::string& id, cache::Level level) const {
        return levelFolder(level) / (id + ".xml");
    }

    void vWriteLevel(const std::string& id, cache::Level level, const classification::Mapping& mapping) const {
        ASSERT_TRUE(writeMapping(fileAt(id, level), mapping));
    }

    TempFolder folder;
};

} // namespace vyr::test
