#pragma once

// The store's level folders in a fresh temporary folder, and a fixture for
// tests of the process-wide store built on them. Plus a child process that
// holds a level's lock, for the tests across processes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <utility>

#include "Source/Core/Utilities/Cache/Level.h"
#include "Vyr/Libraries/Classification/ClassificationAdminInstance.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "Vyr/Libraries/Classification/VyrClassificationAdmin.h"
#include "external/classification/Mapping.h"
#include "external/directories/Directories.h"
#include "tests/common/ChildProcess.h"
#include "tests/common/Mappings.h"
#include "tests/common/TestSupport.h"

namespace vyr::test {

namespace fs = std::filesystem;
using bridge::classification::AdminWrapper;
using classification::Admin;
using cache::Shared;
using cache::Sys;
using cache::User;

// Three base folders in a fresh temporary folder, handed to the directory
// service, and the level folders an admin derives from them:
//   sys/Resources/Classification, shared/Classification, user/Classification.
// Owns the temporary folder and clears the service when it goes, so an
// admin made from it must not outlive it. Used by one thread; forked
// children get a copy.
class StoreFolders {
public:
    explicit StoreFolders(bool boCreateLevelFolders = true) {
        vDirectoriesSet(folder.path());
        if (boCreateLevelFolders) {
            for (const Level level : {Sys, Shared, User}) {
                fs::create_directories(levelFolder(level));
            }
        }
    }
    StoreFolders(const StoreFolders&) = delete;
    StoreFolders& operator=(const StoreFolders&) = delete;
    ~StoreFolders() { vDirectoriesSet({}); }

    // Points the directory service at base/sys, base/shared and base/user,
    // or clears it for an empty base.
    static void vDirectoriesSet(const fs::path& base) {
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
    [[nodiscard]] fs::path levelFolder(Level level) const {
        switch (level) {
        case Sys:
            return folder / "sys" / "Resources" / "Classification";
        case Shared:
            return folder / "shared" / "Classification";
        case User:
            return folder / "user" / "Classification";
        }
        return {};
    }

    [[nodiscard]] fs::path fileAt(const std::string& id, Level level) const {
        return levelFolder(level) / (id + ".xml");
    }

    TempFolder folder;
};

// A fixture for tests of the process-wide store: level folders as above
// (not created), and the process-wide admin reset around every test.
class StoreFixture : public ::testing::Test, public StoreFolders {
protected:
    StoreFixture() : StoreFolders(false) {}

    void SetUp() override { AdminWrapper::vAdminReset(); }
    void TearDown() override {
        AdminWrapper::vAdminReset();
        vDirectoriesSet({});
    }

    // The process-wide admin, created when there is none. Takes the owner's
    // lock, which is held while an admin is made (and takes its own mutex):
    // never call it with the admin's mutex held.
    static classification::Admin& admin() { return *bridge::classification::adminInstanceGet(); }

    void vWriteLevel(const std::string& id, Level level, const Mapping& mapping) const {
        ASSERT_TRUE(writeMapping(fileAt(id, level), mapping));
    }

    // The mapping in the level file; false when it does not read.
    bool boReadLevel(const std::string& id, Level level, Mapping& mapping) const {
        return readMapping(fileAt(id, level), mapping);
    }

    // Every level file of the id that reads, by level.
    [[nodiscard]] std::map<Level, Mapping> filesOf(const std::string& id) const {
        std::map<Level, Mapping> levels;
        for (const Level level : {Sys, Shared, User}) {
            Mapping mapping;
            if (fs::exists(fileAt(id, level)) && boReadLevel(id, level, mapping)) {
                levels.emplace(level, std::move(mapping));
            }
        }
        return levels;
    }
};

// Starts a child that locks the id's user level, adds the pair there, writes
// one byte to `ready` and holds the lock until a byte arrives on `release`
// (or the parent's write end closes: the child closes its own). Status 3
// when it could not lock or add. The caller made both pipes and closes them.
inline pid_t lockHolderStart(const std::string& id, const std::string& source, const std::string& classified,
                             const int (&ready)[2], const int (&release)[2]) {
    return childStart([&] {
        ::close(release[1]);
        AdminWrapper::vAdminReset();
        AdminWrapper wrapper;
        auto access = wrapper.writeAccessGet(id);
        if (!access.boLockFile(User) || !access.boAddMapping(source, classified, User)) {
            return 3;
        }
        (void)!::write(ready[1], "r", 1);
        char ignored = 0;
        (void)!::read(release[0], &ignored, 1);
        return 0;
    });
}

} // namespace vyr::test
