// Creating classifications: where the file goes, what the cache holds
// afterwards, and the cases in which nothing may be written.

#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "tests/common/FileTimes.h"
#include "tests/common/StoreFixture.h"

namespace vyr::test {
namespace {

class AdminCreationTest : public StoreFixture {
protected:
    // Every regular file and link under the temporary folder, relative to it.
    std::set<std::string> filesOnDisk() const {
        std::set<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(folder.path())) {
            // Lock files stay beside the files a writer has locked.
            if (!entry.is_directory() && entry.path().extension() != ".lock") {
                names.insert(fs::relative(entry.path(), folder.path()).generic_string());
            }
        }
        return names;
    }
};

TEST_F(AdminCreationTest, NewUserLevelAboveASysFile) {
    Mapping sys = mappingOf("colours", {{"apple", {"red"}}, {"sky", {"blue"}}}, "sys");
    vWriteLevel("colours", cache::Sys, sys);
    ASSERT_FALSE(fs::exists(levelFolder(cache::User)));

    AdminWrapper wrapper;
    ASSERT_TRUE(wrapper.boCreateClassification("colours", "t2", "t3", "t4", "t5", true, false, cache::User));

    // The folder was made and the file holds the new mapping alone.
    const fs::path file = fileAt("colours", cache::User);
    Mapping written;
    ASSERT_TRUE(readMapping(file, written));
    EXPECT_EQ(written, Mapping("colours", "t2", "t3", "t4", "t5", true, false));
    EXPECT_FALSE(fs::exists(levelFolder(cache::Shared)));

    // Texts from the new top mapping (sText6 is never set by creation),
    // pairs still from Sys.
    EXPECT_EQ(wrapper.sText2Get("colours"), "t2");
    EXPECT_EQ(wrapper.sText5Get("colours"), "t5");
    EXPECT_EQ(wrapper.sText6Get("colours"), "");
    EXPECT_TRUE(wrapper.boMappingExists("colours", "apple", "red"));
    EXPECT_EQ(wrapper.sSourceIdGet("colours", "blue"), "sky");
    {
        Admin& target = admin();
        const std::lock_guard lock(target.mutex);
        const Admin::Cache& cache = target.caches.find("colours")->second;
        EXPECT_EQ(cache.levels.at(cache::Sys), sys);
        EXPECT_EQ(cache.levels.at(cache::User), written);
        const utilities::FileRecord& record = target.files.find("colours")->second.at(cache::User);
        EXPECT_EQ(record.filePath, file);
        EXPECT_EQ(record.lastWrite, vyr::test::lastWriteTicksGet(file));
    }

    // The store does not read its own file again; a file put in its place,
    // even with the same time, is read at the next update.
    {
        Admin& target = admin();
        const std::lock_guard lock(target.mutex);
        EXPECT_FALSE(target.boUpdateFromFileAtLevel("colours", cache::User));
    }
    const fs::file_time_type stamp = fs::last_write_time(file);
    vWriteLevel("colours", cache::User, mappingOf("colours", {}, "other"));
    fs::last_write_time(file, stamp);
    { const auto access = wrapper.writeAccessGet("colours"); }
    EXPECT_EQ(wrapper.sText2Get("colours"), "other2");
}

TEST_F(AdminCreationTest, FirstCreationCachesTheId) {
    AdminWrapper wrapper;
    ASSERT_TRUE(wrapper.boCreateClassification("fresh", "a", "b", "c", "d", false, false, cache::Shared));
    EXPECT_TRUE(admin().boIsCached("fresh"));
    EXPECT_TRUE(fs::is_regular_file(fileAt("fresh", cache::Shared)));
    EXPECT_TRUE(wrapper.boClassificationExists("fresh"));
    EXPECT_EQ(wrapper.sText4Get("fresh"), "c");
    EXPECT_EQ(wrapper.pClassifiedIdsGet("fresh", "x"), nullptr);
}

TEST_F(AdminCreationTest, IdWithADotKeepsItWhole) {
    AdminWrapper wrapper;
    ASSERT_TRUE(wrapper.boCreateClassification("a.b", "x", "", "", "", false, false, cache::User));
    ASSERT_TRUE(wrapper.boCreateClassification("m.xml", "y", "", "", "", false, false, cache::User));
    EXPECT_EQ(filesOnDisk(), (std::set<std::string>{"user/Classification/a.b.xml",
                                                    "user/Classification/m.xml.xml"}));
    EXPECT_EQ(wrapper.sText2Get("a.b"), "x");
    EXPECT_EQ(wrapper.sText2Get("m.xml"), "y");

    // A fresh admin finds them under the same names.
    AdminWrapper::vAdminReset();
    AdminWrapper again;
    EXPECT_EQ(again.sText2Get("a.b"), "x");
    EXPECT_EQ(again.sText2Get("m.xml"), "y");
}

TEST_F(AdminCreationTest, SysWithTheSinkDisabledWritesWithoutReport) {
    fs::create_directories(levelFolder(cache::Sys));
    AssertCapture capture(false);
    AdminWrapper wrapper;
    EXPECT_TRUE(wrapper.boCreateClassification("base", "s2", "", "", "", false, false, cache::Sys));
    EXPECT_TRUE(fs::is_regular_file(fileAt("base", cache::Sys)));
    EXPECT_EQ(capture.count(), 0U);
    EXPECT_EQ(wrapper.sText2Get("base"), "s2");
}

TEST_F(AdminCreationTest, SysWithTheSinkEnabledWritesAndReportsOnce) {
    fs::create_directories(levelFolder(cache::Sys));
    AssertCapture capture;
    AdminWrapper wrapper;
    EXPECT_TRUE(wrapper.boCreateClassification("base", "s2", "", "", "", false, false, cache::Sys));
    EXPECT_TRUE(fs::is_regular_file(fileAt("base", cache::Sys)));
    EXPECT_EQ(capture.messages(), std::vector<std::string>{"You are not supposed to do changes at sys level."});
    EXPECT_EQ(capture.functions(), std::vector<std::string>{"vyr::classification::Admin::boCreateClassification"});
}

TEST_F(AdminCreationTest, SysFolderIsNeverCreated) {
    AdminWrapper wrapper;
    EXPECT_FALSE(wrapper.boCreateClassification("base", "s2", "", "", "", false, false, cache::Sys));
    EXPECT_FALSE(fs::exists(folder / "sys"));
    EXPECT_FALSE(admin().boIsCached("base"));
}

TEST_F(AdminCreationTest, ExistingFileIsNeverReplaced) {
    for (const bool boEnabled : {false, true}) {
        SCOPED_TRACE(boEnabled ? "sink enabled" : "sink disabled");
        AdminWrapper::vAdminReset();
        const std::string id = boEnabled ? "kept-enabled" : "kept-disabled";
        vWriteLevel(id, cache::User, mappingOf(id, {{"a", {"b"}}}, "old"));
        const std::string before = readFile(fileAt(id, cache::User));

        AssertCapture capture(boEnabled);
        AdminWrapper wrapper;
        // The update that creation runs first caches the id, so the report
        // comes when the sink is enabled.
        EXPECT_FALSE(wrapper.boCreateClassification(id, "new", "", "", "", false, false, cache::User));
        EXPECT_EQ(readFile(fileAt(id, cache::User)), before);
        EXPECT_EQ(wrapper.sText2Get(id), "old2");
        EXPECT_TRUE(wrapper.boMappingExists(id, "a", "b"));
        if (boEnabled) {
            EXPECT_EQ(capture.messages(), std::vector<std::string>{"Classification already exists."});
        } else {
            EXPECT_EQ(capture.count(), 0U);
        }

        // Once cached, the same again.
        capture.clear();
        EXPECT_FALSE(wrapper.boCreateClassification(id, "new", "", "", "", false, false, cache::User));
        EXPECT_EQ(readFile(fileAt(id, cache::User)), before);
        EXPECT_EQ(capture.count(), boEnabled ? 1U : 0U);

        // Another level of the same id has no file yet: created, no report.
        capture.clear();
        EXPECT_TRUE(wrapper.boCreateClassification(id, "new", "", "", "", false, false, cache::Shared));
        EXPECT_EQ(capture.count(), 0U);
        EXPECT_EQ(readFile(fileAt(id, cache::User)), before);
        EXPECT_EQ(wrapper.sText2Get(id), "old2");
    }
}

TEST_F(AdminCreationTest, ExistingLinkIsNotFollowedOrReplacedAndNotReported) {
    // A dangling link where the file would go: nothing reads it, so the id
    // is not cached and nothing is reported, but the place is taken.
    fs::create_directories(levelFolder(cache::User));
    const fs::path target = folder / "elsewhere.xml";
    fs::create_symlink(target, fileAt("linked", cache::User));

    AssertCapture capture;
    AdminWrapper wrapper;
    EXPECT_FALSE(wrapper.boCreateClassification("linked", "n", "", "", "", false, false, cache::User));
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(fs::is_symlink(fileAt("linked", cache::User)));
    EXPECT_FALSE(admin().boIsCached("linked"));
    EXPECT_EQ(capture.count(), 0U);
}

TEST_F(AdminCreationTest, LevelWithoutFolderWritesNothing) {
    const std::string id = "vyr-admin-folderless-" + std::to_string(::getpid());
    Admin local;
    local.folders.erase(cache::Shared);

    AssertCapture capture;
    EXPECT_FALSE(local.boCreateClassification(id, "n", "", "", "", false, false, cache::Shared));
    EXPECT_TRUE(filesOnDisk().empty());
    EXPECT_FALSE(fs::exists(fs::path("/") / (id + ".xml")));
    EXPECT_FALSE(fs::exists(fs::current_path() / (id + ".xml")));
    EXPECT_FALSE(local.boIsCached(id));
    const std::vector<std::string> messages = capture.messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(), "No path found at given level"), messages.end());

    // The other levels still work.
    EXPECT_TRUE(local.boCreateClassification(id, "n", "", "", "", false, false, cache::User));
    EXPECT_TRUE(fs::is_regular_file(fileAt(id, cache::User)));
}

TEST_F(AdminCreationTest, UnsafeIdsWriteNothing) {
    // A valid mapping where "../x" would lead from the User folder.
    vWriteLevel("x", cache::User, mappingOf("x", {}, "outside"));
    fs::rename(fileAt("x", cache::User), folder / "user" / "x.xml");
    const std::set<std::string> before = filesOnDisk();

    AdminWrapper wrapper;
    for (const std::string& id : std::vector<std::string>{"", "../x", "/abs", "a\\..\\..\\b", std::string("x\0y", 3),
                                                          "..", "a/../../b"}) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(wrapper.boCreateClassification(id, "n", "", "", "", false, false, cache::User));
        EXPECT_FALSE(wrapper.boCreateClassification(id, "n", "", "", "", false, false, cache::Shared));
        EXPECT_EQ(wrapper.sText2Get(id), "");
    }
    EXPECT_EQ(filesOnDisk(), before);
    EXPECT_FALSE(fs::exists("/abs.xml"));
}

} // namespace
} // namespace vyr::test
