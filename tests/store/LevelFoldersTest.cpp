// Level folders and file records: the folders an admin derives from the
// directory service, file paths, folder creation, the reset of a level, and
// the file-time stamps.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "Source/Core/Utilities/Cache/FileRecord.h"
#include "Vyr/Libraries/Classification/VyrClassificationAdmin.h"
#include "tests/common/FileTimes.h"
#include "tests/store/StoreTestSupport.h"

namespace vyr::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kFilesFile = "Source/Core/Utilities/Cache/CacheFilesWithLevels.h";
constexpr const char* kLocatorPrefix =
    "vyr::utilities::CacheFilesAtLevels<class vyr::classification::CacheLevels<enum vyr::cache::Level>,enum "
    "vyr::cache::Level>::";

TEST(LevelFolders, AdminDerivesItsFoldersFromTheDirectoryService) {
    const TempFolder root;
    fs::create_directories(root / "shared-b" / "Classification");
    const std::vector<fs::path> sharedList = {root / "shared-a", root / "shared-b"};
    Directories::vSysDirectorySet(root / "sys");
    Directories::vSharedDirectoriesSet(sharedList);
    Directories::vUserDirectorySet(root / "user");
    const auto before = snapshotOf(root.path());

    const classification::Admin admin;
    EXPECT_EQ(admin.path(Sys), root / "sys" / "Resources" / "Classification");
    EXPECT_EQ(admin.path(User), root / "user" / "Classification");
    // The shared folder that holds the store's subfolder, with the subfolder appended.
    EXPECT_EQ(admin.path(Shared), Directories::directoryWithSubfolder(sharedList, "Classification") / "Classification");
    EXPECT_EQ(admin.path(Shared), root / "shared-b" / "Classification");
    EXPECT_EQ(admin.extension(), "xml");
    EXPECT_EQ(admin.sFolderName(), "Classification");
    EXPECT_TRUE(admin.caches.empty());
    EXPECT_TRUE(admin.files.empty());
    // Constructing creates no folder.
    EXPECT_EQ(snapshotOf(root.path()), before);

    // When no shared folder holds the subfolder, the service's answer is used as it is.
    fs::remove_all(root / "shared-b");
    const classification::Admin second;
    EXPECT_EQ(second.path(Shared), root / "shared-a" / "Classification");
}

TEST(LevelFolders, LevelWithoutAFolderReportsAndGivesARelativeFilePath) {
    TestAdmin admin;
    {
        const AssertCapture capture;
        EXPECT_EQ(admin.path(User), fs::path());
        const std::vector<Report> expected = {
            {"No path found at given level", std::string(kLocatorPrefix) + "path", kFilesFile, 0}};
        EXPECT_EQ(reportsGet(), expected);
        capture.clear();

        admin.vFilePathEnsure("X", User);
        EXPECT_EQ(admin.files.at("X").at(User).filePath, fs::path("X.xml"));
        EXPECT_EQ(reportsGet(), expected);
    }
    {
        const AssertCapture disabled(false);
        EXPECT_EQ(admin.path(Shared), fs::path());
        EXPECT_EQ(disabled.count(), 0U);
    }
}

TEST(LevelFolders, FileNameIsTheIdFollowedByADotAndXml) {
    const TempFolder root;
    TestAdmin admin;
    admin.vPathSet(root / "level", User);
    const auto fileOf = [&admin](const std::string& id) {
        admin.vFilePathEnsure(id, User);
        return admin.files.at(id).at(User).filePath;
    };
    EXPECT_EQ(fileOf("plain"), root / "level" / "plain.xml");
    EXPECT_EQ(fileOf("a.b"), root / "level" / "a.b.xml");
    EXPECT_EQ(fileOf("m.xml"), root / "level" / "m.xml.xml");
    EXPECT_EQ(fileOf("sub/x"), root / "level" / "sub" / "x.xml");
    EXPECT_EQ(fileOf("\xc3\xa9t\xc3\xa9"), root / "level" / "\xc3\xa9t\xc3\xa9.xml");
    EXPECT_THROW(admin.vFilePathEnsure("bad\xff", User), std::system_error);
}

TEST(LevelFolders, AStoredPathIsKeptAfterAFolderChange) {
    const TempFolder root;
    TestAdmin admin;
    admin.vPathSet(root / "first", User);
    admin.vFilePathEnsure("X", User);
    admin.vLevelFolderChange(User, str::utf8FromPath(root / "second"));
    EXPECT_EQ(admin.path(User), root / "second");
    admin.vFilePathEnsure("X", User);
    EXPECT_EQ(admin.files.at("X").at(User).filePath, root / "first" / "X.xml");
    admin.vFilePathEnsure("Y", User);
    EXPECT_EQ(admin.files.at("Y").at(User).filePath, root / "second" / "Y.xml");
}

TEST(LevelFolders, FolderChangeWithInvalidTextThrowsAndLeavesTheLockFree) {
    const TempFolder root;
    TestAdmin admin;
    admin.vPathSet(root / "user", User);
    admin.vLevelInvalidate("cached", User);
    EXPECT_THROW(admin.vLevelFolderChange(User, "bad\xc0\x80"), std::system_error);
    EXPECT_EQ(admin.path(User), root / "user");
    ASSERT_TRUE(admin.mutex.try_lock());
    admin.mutex.unlock();
}

TEST(LevelFolders, CreatesANestedFolderWithItsMissingParents) {
    const TempFolder root;
    fs::create_directories(root / "A");
    TestAdmin admin;
    admin.vPathSet(root / "A" / "B" / "C", Shared);
    const AssertCapture capture;
    admin.vCreateFolderIfNotAtLevel(Shared);
    EXPECT_TRUE(fs::is_directory(root / "A" / "B" / "C"));
    EXPECT_EQ(capture.count(), 0U);
}

TEST(LevelFolders, AnExistingFolderIsLeftAsItIs) {
    const TempFolder root;
    writeFile(root / "level" / "kept.xml", "content");
    setFileTimeUtc(root / "level", utc(2020, 5, 1));
    const auto before = snapshotOf(root.path());
    const auto time = fs::last_write_time(root / "level");

    TestAdmin admin;
    admin.vPathSet(root / "level", User);
    const AssertCapture capture;
    admin.vCreateFolderIfNotAtLevel(User);
    EXPECT_EQ(snapshotOf(root.path()), before);
    EXPECT_EQ(fs::last_write_time(root / "level"), time);
    EXPECT_EQ(capture.count(), 0U);
}

TEST(LevelFolders, AFailingCreationReportsOnceAndReturns) {
    const TempFolder root;
    writeFile(root / "A" / "B", "a file in the way");
    writeFile(root / "F", "a file where the folder should be");
    const auto before = snapshotOf(root.path());
    TestAdmin admin;

    for (const fs::path& folder : {root / "A" / "B" / "C", root / "F"}) {
        admin.vPathSet(folder, User);
        {
            const AssertCapture capture;
            EXPECT_NO_THROW(admin.vCreateFolderIfNotAtLevel(User));
            const std::vector<Report> expected = {
                {"Didn't manage to create folder", std::string(kLocatorPrefix) + "vCreateFolderIfNotAtLevel",
                 kFilesFile, 0}};
            EXPECT_EQ(reportsGet(), expected) << folder;
        }
        {
            const AssertCapture disabled(false);
            EXPECT_NO_THROW(admin.vCreateFolderIfNotAtLevel(User));
            EXPECT_EQ(disabled.count(), 0U);
        }
        EXPECT_EQ(snapshotOf(root.path()), before);
    }
}

TEST(LevelFolders, CreatingALevelWithoutAFolderReportsBoth) {
    TestAdmin admin;
    const AssertCapture capture;
    EXPECT_NO_THROW(admin.vCreateFolderIfNotAtLevel(Shared));
    EXPECT_EQ(capture.messages(),
              (std::vector<std::string>{"No path found at given level", "Didn't manage to create folder"}));
}

// Loads two classifications, "both" with Sys and User files and "sysOnly"
// with a Sys file, and makes the merged view of "sysOnly" stale by storing a
// Shared level without rebuilding, so that a rebuild shows.
class LevelInvalidation : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(writeMapping(folders.fileAt("both", Sys), mappingOf("both", {{"s", {"a"}}, {"t", {"b"}}})));
        ASSERT_TRUE(writeMapping(folders.fileAt("both", User), mappingOf("both", {{"s", {"u"}}})));
        ASSERT_TRUE(writeMapping(folders.fileAt("sysOnly", Sys), mappingOf("sysOnly", {{"s", {"a"}}})));
        ASSERT_TRUE(admin.boClassificationExists("both"));
        ASSERT_TRUE(admin.boClassificationExists("sysOnly"));
        ASSERT_EQ(admin.caches.at("both").merged.sourceToClassified, (Relation{{"s", {"u"}}, {"t", {"b"}}}));
        admin.caches.at("sysOnly").vLevelSet(Shared, mappingOf("sysOnly", {{"s", {"shared"}}}), false);
        ASSERT_GT(admin.files.at("both").at(User).lastWrite, 0);
    }

    StoreFolders folders;
    classification::Admin admin;
};

TEST_F(LevelInvalidation, FolderChangeResetsTheLevelOfEveryCachedClassification) {
    const std::int64_t sysStamp = admin.files.at("both").at(Sys).lastWrite;
    const fs::path userFile = admin.files.at("both").at(User).filePath;
    const TempFolder other;

    admin.vLevelFolderChange(User, str::utf8FromPath(other.path()));

    EXPECT_EQ(admin.path(User), other.path());
    for (const char* id : {"both", "sysOnly"}) {
        EXPECT_EQ(admin.caches.at(id).levels.count(User), 0U) << id;
        EXPECT_EQ(admin.files.at(id).at(User).lastWrite, 0) << id;
    }
    EXPECT_EQ(admin.caches.at("both").merged.sourceToClassified, (Relation{{"s", {"a"}}, {"t", {"b"}}}));
    // Rebuilt although it had no User level.
    EXPECT_EQ(admin.caches.at("sysOnly").merged.sourceToClassified, (Relation{{"s", {"shared"}}}));
    EXPECT_EQ(admin.files.at("both").at(Sys).lastWrite, sysStamp);
    EXPECT_EQ(admin.files.at("both").at(User).filePath, userFile);

    // The next update reads the level again, from the path it already had.
    const std::lock_guard lock(admin.mutex);
    admin.vUpdateFromFiles("both");
    EXPECT_EQ(admin.caches.at("both").merged.sourceToClassified, (Relation{{"s", {"u"}}, {"t", {"b"}}}));
}

TEST_F(LevelInvalidation, UserLevelInvalidateOfACachedIdKeepsTheOtherLevels) {
    const std::int64_t sysStamp = admin.files.at("both").at(Sys).lastWrite;
    cache::CacheAdminBase<Cache>& base = admin;
    base.vUserLevelInvalidate("both");

    const Cache& cache = admin.caches.at("both");
    ASSERT_EQ(cache.levels.size(), 1U);
    EXPECT_EQ(cache.levels.count(Sys), 1U);
    EXPECT_EQ(cache.merged.sourceToClassified, (Relation{{"s", {"a"}}, {"t", {"b"}}}));
    EXPECT_EQ(cache.merged.classifiedToSourceGet(), (Relation{{"a", {"s"}}, {"b", {"t"}}}));
    EXPECT_EQ(admin.files.at("both").at(User).lastWrite, 0);
    EXPECT_EQ(admin.files.at("both").at(Sys).lastWrite, sysStamp);
}

TEST_F(LevelInvalidation, UserLevelInvalidateOfAnUncachedIdCachesItEmpty) {
    ASSERT_FALSE(admin.boIsCached("new"));
    admin.vUserLevelInvalidate("new");
    ASSERT_TRUE(admin.boIsCached("new"));
    const Cache& cache = admin.caches.at("new");
    EXPECT_EQ(cache.id, "");
    EXPECT_TRUE(cache.levels.empty());
    EXPECT_TRUE(cache.merged.sourceToClassified.empty());
    const utilities::FileRecord& record = admin.files.at("new").at(User);
    EXPECT_EQ(record.lastWrite, 0);
    EXPECT_TRUE(record.filePath.empty());
}

TEST(FileTimes, StampsAreTicksSince1601AndOrderLikeTheFileTimes) {
    const TempFolder root;
    const fs::path file = root / "f.xml";
    writeFile(file, "x");
    std::map<Level, utilities::FileRecord> records;
    records[User].filePath = file;

    setFileTimeUtc(file, utc(1970, 1, 1));
    EXPECT_EQ(vyr::test::lastWriteTicksGet(file), 116444736000000000);
    setFileTimeUtc(file, utc(2020, 1, 1));
    TestAdmin::vLastWriteUpdate(records, User);
    const std::int64_t stamp = records.at(User).lastWrite;
    EXPECT_EQ(stamp, 132223104000000000);

    // An older file is not newer than its stamp; a newer one is.
    setFileTimeUtc(file, utc(2019, 12, 31));
    EXPECT_LT(vyr::test::lastWriteTicksGet(file), stamp);
    setFileTimeUtc(file, utc(2020, 1, 2));
    EXPECT_GT(vyr::test::lastWriteTicksGet(file), stamp);

    // A file written now has a positive stamp, later than both.
    writeFile(file, "y");
    TestAdmin::vLastWriteUpdate(records, User);
    EXPECT_GT(records.at(User).lastWrite, 132223104000000000);
    // Before 1970 is still positive.
    setFileTimeUtc(file, utc(1900, 1, 1));
    EXPECT_GT(vyr::test::lastWriteTicksGet(file), 0);

    // A time that cannot be read, on a record created on the way.
    records[Shared].filePath = root / "missing.xml";
    TestAdmin::vLastWriteUpdate(records, Shared);
    EXPECT_EQ(records.at(Shared).lastWrite, std::numeric_limits<std::int64_t>::min());
    TestAdmin::vLastWriteUpdate(records, Sys);
    EXPECT_EQ(records.at(Sys).lastWrite, std::numeric_limits<std::int64_t>::min());
}

// A level file is read again when its time, size or identity differs from
// what the store last read: a restore with an older time, a rewrite that
// keeps the time, times far outside the standard clock's range. An
// unchanged file is never read twice.
TEST(FileTimes, AFileThatChangedInAnyWayIsReadAgainAndAnUnchangedOneNot) {
    const StoreFolders folders;
    const fs::path file = folders.fileAt("f", User);
    ASSERT_TRUE(writeMapping(file, mappingOf("f", {{"s", {"first"}}})));
    setFileTimeUtc(file, utc(2022, 6, 1));
    classification::Admin admin;
    ASSERT_EQ(admin.sClassifiedIdGet("f", "s"), "first");
    const auto update = [&] {
        const std::lock_guard lock(admin.mutex);
        const bool boRead = admin.boUpdateFromFileAtLevel("f", User);
        admin.caches.at("f").vChanged();
        return boRead;
    };
    EXPECT_FALSE(update());

    ASSERT_TRUE(writeMapping(file, mappingOf("f", {{"s", {"older"}}})));
    setFileTimeUtc(file, utc(2022, 5, 1));
    EXPECT_TRUE(update());
    EXPECT_EQ(admin.sClassifiedIdGet("f", "s"), "older");

    // Same time, same size, another file renamed in.
    ASSERT_TRUE(writeMapping(file, mappingOf("f", {{"s", {"same!"}}})));
    setFileTimeUtc(file, utc(2022, 5, 1));
    EXPECT_TRUE(update());
    EXPECT_EQ(admin.sClassifiedIdGet("f", "s"), "same!");
    EXPECT_FALSE(update());

    // Times beyond the standard clocks' ranges (before 1970, after 2262, as
    // far as the file system holds them) read and order.
    std::int64_t previous = std::numeric_limits<std::int64_t>::min();
    for (const std::int64_t seconds : {-2147000000LL, -1LL, 0LL, 9300000000LL, 14800000000LL}) {
        SCOPED_TRACE(seconds);
        const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
        EXPECT_TRUE(update());
        const std::int64_t stamp = admin.files.at("f").at(User).lastWrite;
        EXPECT_GT(stamp, previous);
        EXPECT_NE(stamp, utilities::kFileTimeUnknown);
        previous = stamp;
        EXPECT_FALSE(update());
    }
    EXPECT_EQ(admin.sClassifiedIdGet("f", "s"), "same!");

    // The conversion itself saturates instead of overflowing, and keeps the
    // order of times before 1601 and far after 2262.
    EXPECT_EQ(vyr::test::ticksFromUnix(0, 0), platform::kTicksFrom1601To1970);
    EXPECT_LT(vyr::test::ticksFromUnix(-20000000000LL, 0), vyr::test::ticksFromUnix(-2500000000LL, 0));
    EXPECT_LT(vyr::test::ticksFromUnix(-2500000000LL, 0), vyr::test::ticksFromUnix(-2500000000LL, 100));
    EXPECT_EQ(vyr::test::ticksFromUnix(std::numeric_limits<std::int64_t>::max(), 0),
              std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(vyr::test::ticksFromUnix(std::numeric_limits<std::int64_t>::min(), 0), utilities::kFileTimeUnknown + 1);
    EXPECT_EQ(vyr::test::fileTimeTicks(fs::file_time_type::min()) < vyr::test::fileTimeTicks(fs::file_time_type::max()),
              true);
}

} // namespace
} // namespace vyr::test
