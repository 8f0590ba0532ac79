// Which file an id names: dots and subfolders work, and ids that would
// leave their level folder (or name another file) are never turned into a
// file path, so reading, locking and creating touch nothing.

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Source/Core/Utilities/Cache/FileNames.h"
#include "Vyr/Libraries/Classification/VyrClassificationAdmin.h"
#include "tests/store/StoreTestSupport.h"

namespace vyr::test {
namespace {

namespace fs = std::filesystem;
using classification::WriteAccess;

// What an unsafe id would reach, and a readable decoy mapping planted there.
struct UnsafeId {
    std::string id;
    std::vector<fs::path> decoys;
};

TEST(UnsafeIds, ReadingLockingAndCreatingTouchNothing) {
    const StoreFolders folders;
    const fs::path user = folders.levelFolder(User);
    const fs::path outside = folders.folder / "user";
    const std::string absolute = (folders.folder / "outside").string();
    const std::vector<UnsafeId> unsafeIds = {
        {"", {user / ".xml"}},
        {std::string("a\0b", 3), {user / "a", user / "a.xml"}},
        {absolute, {folders.folder / "outside.xml"}},
        {"/tmp/x", {}},
        {"..", {user / "...xml", outside / ".xml"}},
        {"a/../../b", {outside / "b.xml"}},
        {"..\\x", {user / "..\\x.xml", outside / "x.xml"}},
        {"a\\..\\..\\b", {user / "a\\..\\..\\b.xml"}},
    };
    for (const UnsafeId& unsafe : unsafeIds) {
        for (const fs::path& decoy : unsafe.decoys) {
            ASSERT_TRUE(writeMapping(decoy, mappingOf("decoy", {{"s", {"decoy"}}})));
        }
    }
    const bool boTmpXExisted = fs::exists("/tmp/x.xml");
    const std::string tmpXBefore = boTmpXExisted ? readFile("/tmp/x.xml") : std::string();
    const auto before = snapshotOf(folders.folder.path());

    classification::Admin admin;
    for (const UnsafeId& unsafe : unsafeIds) {
        const std::string& id = unsafe.id;
        SCOPED_TRACE("id '" + id + "'");
        EXPECT_FALSE(admin.boClassificationExists(id));
        EXPECT_EQ(admin.pClassifiedIdsGet(id, "s"), nullptr);
        EXPECT_EQ(admin.sClassifiedIdGet(id, "s"), "");
        {
            WriteAccess access = admin.writeAccessGet(id);
            for (const Level level : {Sys, Shared, User}) {
                EXPECT_FALSE(access.boLockFile(level));
                EXPECT_FALSE(access.boAddMapping("s", "c", level));
            }
        }
        // The lock left the cache as it was: writeAccessGet's empty entry.
        EXPECT_TRUE(admin.caches.at(id).levels.empty());
        EXPECT_TRUE(admin.caches.at(id).merged.sourceToClassified.empty());
        for (const auto& [level, record] : admin.files.at(id)) {
            EXPECT_TRUE(record.filePath.empty()) << record.filePath;
        }
        EXPECT_FALSE(admin.boCreateClassification(id, "t2", "t3", "t4", "t5", false, false, User));
        EXPECT_EQ(snapshotOf(folders.folder.path()), before);
    }
    EXPECT_EQ(fs::exists("/tmp/x.xml"), boTmpXExisted);
    if (boTmpXExisted) {
        EXPECT_EQ(readFile("/tmp/x.xml"), tmpXBefore);
    }
}

TEST(FileNames, IdsWithDotsNameTheirOwnFile) {
    const StoreFolders folders;
    // Files that a name built by replacing the extension would reach instead.
    ASSERT_TRUE(writeMapping(folders.fileAt("a", User), mappingOf("a", {{"s", {"wrong"}}})));
    ASSERT_TRUE(writeMapping(folders.levelFolder(User) / "m.xml", mappingOf("m", {{"s", {"wrong"}}})));
    ASSERT_TRUE(writeMapping(folders.levelFolder(User) / "a.b.xml", mappingOf("a.b", {{"s", {"a.b"}}})));
    ASSERT_TRUE(writeMapping(folders.levelFolder(User) / "m.xml.xml", mappingOf("m.xml", {{"s", {"m.xml"}}})));

    classification::Admin admin;
    EXPECT_EQ(admin.sClassifiedIdGet("a.b", "s"), "a.b");
    EXPECT_EQ(admin.sClassifiedIdGet("m.xml", "s"), "m.xml");
    EXPECT_EQ(admin.files.at("a.b").at(User).filePath, folders.levelFolder(User) / "a.b.xml");
    EXPECT_EQ(admin.files.at("m.xml").at(Shared).filePath, folders.levelFolder(Shared) / "m.xml.xml");

    // A level file made by a lock gets the same name.
    {
        WriteAccess access = admin.writeAccessGet("a.b");
        ASSERT_TRUE(access.boLockFile(Shared));
        ASSERT_TRUE(access.boAddMapping("t", "shared", Shared));
    }
    Mapping written;
    ASSERT_TRUE(readMapping(folders.levelFolder(Shared) / "a.b.xml", written));
    EXPECT_EQ(written.sourceToClassified, (Mapping::Relation{{"t", {"shared"}}}));
    EXPECT_FALSE(fs::exists(folders.levelFolder(Shared) / "a.xml"));
}

TEST(FileNames, AnIdWithASubfolderWorks) {
    const StoreFolders folders;
    const fs::path file = folders.levelFolder(User) / "sub" / "x.xml";
    ASSERT_TRUE(writeMapping(file, mappingOf("sub/x", {{"s", {"a"}}})));

    classification::Admin admin;
    EXPECT_EQ(admin.sClassifiedIdGet("sub/x", "s"), "a");
    {
        WriteAccess access = admin.writeAccessGet("sub/x");
        ASSERT_TRUE(access.boLockFile(User));
        ASSERT_TRUE(access.boAddMapping("s", "b", User));
    }
    Mapping written;
    ASSERT_TRUE(readMapping(file, written));
    EXPECT_EQ(written.sourceToClassified, (Mapping::Relation{{"s", {"a", "b"}}}));
}

TEST(FileNames, TheParseTellsEachNameItsKindAndId) {
    using cache::FileType;
    // Every name the store makes parses back to its kind and id.
    for (const std::string id : {"m", "a.b", "m.xml", "x.tmp", "x.lock", ".hidden", "caf\xC3\xA9", "1:x"}) {
        const std::string level = cache::levelFileName(id);
        const std::vector<std::pair<std::string, FileType>> made = {
            {level, FileType::Level},
            {cache::lockFileName(level), FileType::Lock},
            {cache::temporaryFileName(level, 0x0123456789abcdefULL), FileType::Temporary},
            {cache::temporaryFileName(level, cache::temporaryUniqueGet()), FileType::Temporary}};
        for (const auto& [name, type] : made) {
            const std::optional<cache::ParsedFileName> parsed = cache::parseFileName(name);
            ASSERT_TRUE(parsed.has_value()) << name;
            EXPECT_EQ(parsed->type, type) << name;
            EXPECT_EQ(parsed->id, id) << name;
        }
    }
    // Names the store never makes.
    for (const std::string name : {"", ".xml", ".xml.lock", "m.json", "m.lock", "m.tmp", "m.xml.tmp",
                                   ".m.xml.0123456789ABCDEF.tmp", ".m.xml.0123.tmp", "m.xml.0123456789abcdef.tmp",
                                   "..xml.0123456789abcdef.tmp", ".m.xml_0123456789abcdef.tmp",
                                   ".0123456789abcdef.tmp"}) {
        EXPECT_FALSE(cache::parseFileName(name).has_value()) << name;
    }
}

} // namespace
} // namespace vyr::test
