// Write access: the lock check, edits at locked levels, the write-back into
// the level files when the object goes, the creation of a missing level
// file, and what a process killed before its write-back leaves on disk.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Source/Core/Utilities/Cache/FileRecord.h"
#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"
#include "Vyr/Libraries/Classification/LevelMerge.h"
#include "Vyr/Libraries/Classification/VyrClassificationAdmin.h"
#include "external/classification/DocumentPatch.h"
#include "external/platform/FileSystemKind.h"
#include "tests/common/FileTimes.h"
#include "tests/store/StoreTestSupport.h"

namespace vyr::test {
namespace {

namespace fs = std::filesystem;
using classification::WriteAccess;
using classification::FailureKind;
using Records = std::map<Level, utilities::FileRecord>;

constexpr const char* kWriteAccessFile = "Vyr/Libraries/Classification/ClassificationWriteAccess.cpp";
constexpr const char* kLevelsFile = "Source/Resource/Classification/ClassificationCacheLevels.h";

// The bytes the store writes for the mapping.
std::string documentOf(Mapping mapping) {
    std::ostringstream out;
    EXPECT_TRUE(classification::XmlDocument(mapping).boWrite(out));
    return out.str();
}

Mapping readBack(const fs::path& file) {
    Mapping mapping;
    EXPECT_TRUE(readMapping(file, mapping)) << file;
    return mapping;
}

// A write access that also shows its lock table, for the cases that only
// the table reveals.
class InspectableAccess final : public WriteAccess {
public:
    using WriteAccess::WriteAccess;
    [[nodiscard]] const LockedFile* entryGet(Level level) const {
        const auto found = lockedFiles.find(level);
        return found == lockedFiles.end() ? nullptr : found->second.get();
    }
    [[nodiscard]] bool boHasEntry(Level level) const { return lockedFiles.count(level) != 0; }
    void vEmptyEntryAdd(Level level) { lockedFiles[level] = nullptr; }
};

// A level cache and its file records wired by hand to files in a temporary
// folder: "sys.xml", "shared.xml", "user.xml".
class DirectAccess : public ::testing::Test {
protected:
    void SetUp() override {
        records[Sys].filePath = fileOf(Sys);
        records[Shared].filePath = fileOf(Shared);
        records[User].filePath = fileOf(User);
    }
    [[nodiscard]] fs::path fileOf(Level level) const {
        return folder / (level == Sys ? "sys.xml" : level == Shared ? "shared.xml" : "user.xml");
    }

    TempFolder folder;
    CountingCache cache;
    Records records;
};

TEST_F(DirectAccess, EditsAtAnUnlockedLevelAreRefused) {
    ASSERT_TRUE(writeMapping(fileOf(Shared), mappingOf("m")));
    cache.vLevelSet(Sys, mappingOf("m", {{"s", {"a"}}}), false);
    cache.vLevelSet(Shared, mappingOf("m"), false);
    cache.vLevelSet(User, mappingOf("m", {{"s", {"u"}}}), true);
    const auto levelsBefore = cache.levels;
    const auto mergedBefore = cache.merged.sourceToClassified;

    for (const bool boEnabled : {true, false}) {
        {
            const AssertCapture capture(boEnabled);
            WriteAccess access(&cache, &records);
            ASSERT_TRUE(access.boLockFile(Shared)); // another level than the one edited
            EXPECT_FALSE(access.boAddMapping("s", "x", User));
            EXPECT_FALSE(access.boSetMapping("s", "x", User));
            access.vMappingRemove("s", "u", User);
            access.vMappedToSourceRemove("s", User);
            access.vMappedToClassifiedRemove("u", User);
            EXPECT_FALSE(access.boAddMapping("t", "x", Sys));

            if (boEnabled) {
                const std::string message = "File isn't locked";
                const std::string prefix = "vyr::classification::WriteAccess::";
                const std::vector<Report> expected = {
                    {message, prefix + "boAddMapping", kWriteAccessFile, 0},
                    {message, prefix + "boSetMapping", kWriteAccessFile, 0},
                    {message, prefix + "vMappingRemove", kWriteAccessFile, 0},
                    {message, prefix + "vMappedToSourceRemove", kWriteAccessFile, 0},
                    {message, prefix + "vMappedToClassifiedRemove", kWriteAccessFile, 0},
                    {message, prefix + "boAddMapping", kWriteAccessFile, 0},
                };
                EXPECT_EQ(reportsGet(), expected);
            } else {
                EXPECT_EQ(capture.count(), 0U);
            }
        }
        EXPECT_EQ(cache.levels, levelsBefore);
        EXPECT_EQ(cache.merged.sourceToClassified, mergedBefore);
        EXPECT_FALSE(fs::exists(fileOf(User)));
    }

    // No level value is refused as such: Sys is editable once locked.
    ASSERT_TRUE(writeMapping(fileOf(Sys), mappingOf("m", {{"s", {"a"}}})));
    WriteAccess access(&cache, &records);
    ASSERT_TRUE(access.boLockFile(Sys));
    EXPECT_TRUE(access.boAddMapping("t", "x", Sys));
    EXPECT_FALSE(access.boIsReadOnly());
}

TEST_F(DirectAccess, AnAddAtALockedUserLevelCopiesSysFirst) {
    ASSERT_TRUE(writeMapping(fileOf(User), mappingOf("m")));
    cache.vLevelSet(Sys, mappingOf("m", {{"s1", {"a"}}, {"s2", {"b"}}}), true);
    WriteAccess access(&cache, &records);
    ASSERT_TRUE(access.boLockFile(User));
    // The lock read the User file; a cache that lacks the level all the same
    // (its holder dropped it) gets it from the lowest level at the first add.
    cache.levels.erase(User);
    cache.rebuilds = 1;

    ASSERT_TRUE(access.boAddMapping("s1", "c", User));
    EXPECT_EQ(cache.rebuilds, 2);
    EXPECT_EQ(cache.levels.at(User).sourceToClassified, (Mapping::Relation{{"s1", {"a", "c"}}, {"s2", {"b"}}}));
    EXPECT_EQ(cache.levels.at(User).sId, "m");
    // The merged view shows the pair at once.
    ASSERT_NE(cache.merged.pClassifiedIdsGet("s1"), nullptr);
    EXPECT_EQ(*cache.merged.pClassifiedIdsGet("s1"), (std::set<std::string>{"a", "c"}));
    EXPECT_EQ(cache.merged.sSourceIdGet("c"), "s1");

    // The level exists now: the next edit refreshes s2 without a rebuild.
    ASSERT_TRUE(access.boSetMapping("s2", "d", User));
    EXPECT_EQ(cache.rebuilds, 2);
    EXPECT_EQ(*cache.merged.pClassifiedIdsGet("s2"), std::set<std::string>{"d"});
    EXPECT_EQ(cache.levels.at(Sys).sourceToClassified, (Mapping::Relation{{"s1", {"a"}}, {"s2", {"b"}}}));
}

TEST_F(DirectAccess, ARemovalAtALevelTheCacheLacksCreatesNothing) {
    ASSERT_TRUE(writeMapping(fileOf(User), mappingOf("m", {{"s", {"user"}}})));
    const std::string userFile = readFile(fileOf(User));
    cache.vLevelSet(Sys, mappingOf("m", {{"s", {"a"}}}), true);
    {
        WriteAccess access(&cache, &records);
        ASSERT_TRUE(access.boLockFile(User));
        cache.levels.erase(User);
        cache.vChanged();
        cache.rebuilds = 1;
        const AssertCapture capture;
        access.vMappingRemove("s", "a", User);
        access.vMappedToSourceRemove("s", User);
        access.vMappedToClassifiedRemove("a", User);
        const std::string message = "No cache to remove mapping from";
        const std::string prefix = "vyr::classification::CacheLevels<enum vyr::cache::Level>::";
        const std::vector<Report> expected = {
            {message, prefix + "vMappingRemove", kLevelsFile, 0},
            {message, prefix + "vMappedToSourceRemove", kLevelsFile, 0},
            {message, prefix + "vMappedToClassifiedRemove", kLevelsFile, 0},
        };
        EXPECT_EQ(reportsGet(), expected);
        EXPECT_EQ(cache.levels.count(User), 0U);
        EXPECT_EQ(cache.rebuilds, 1);
    }
    EXPECT_EQ(readFile(fileOf(User)), userFile);
}

TEST_F(DirectAccess, LockedLevelsAreReadUnderTheLockAndWrittenBackWithoutEdits) {
    const Mapping sys = mappingOf("sys", {{"s", {"a"}}});
    const Mapping shared = mappingOf("shared", {{"s", {"b"}}, {"t", {"c"}}});
    const Mapping user = mappingOf("user", {{"s", {"u"}}});
    ASSERT_TRUE(writeMapping(fileOf(Sys), sys));
    ASSERT_TRUE(writeMapping(fileOf(Shared), shared));
    ASSERT_TRUE(writeMapping(fileOf(User), user));
    // The cache holds older mappings than the files: the lock reads each again.
    cache.vLevelSet(Shared, mappingOf("shared"), false);
    cache.vLevelSet(User, mappingOf("user", {{"s", {"old"}}}), true);
    {
        WriteAccess access(&cache, &records);
        ASSERT_TRUE(access.boLockFile(User));
        ASSERT_TRUE(access.boLockFile(Shared));
        ASSERT_TRUE(access.boLockFile(Sys));
        EXPECT_EQ(cache.levels.at(User), user);
        EXPECT_EQ(*cache.merged.pClassifiedIdsGet("t"), std::set<std::string>{"c"});
    }
    for (const Level level : {Sys, Shared, User}) {
        EXPECT_EQ(readFile(fileOf(level)), documentOf(cache.levels.at(level)));
        EXPECT_EQ(records.at(level).lastWrite, vyr::test::lastWriteTicksGet(fileOf(level)));
    }
    EXPECT_EQ(readBack(fileOf(Shared)), shared);
}

// What a write-back could change about a file: its bytes, its identity and
// its last-write time.
struct FileState {
    std::string bytes;
    ino_t inode = 0;
    std::int64_t seconds = 0;
    long nanoseconds = 0;
    bool operator==(const FileState&) const = default;
};

FileState stateOf(const fs::path& file) {
    struct stat status {};
    EXPECT_EQ(::stat(file.c_str(), &status), 0) << file;
    return {readFile(file), status.st_ino, status.st_mtim.tv_sec, status.st_mtim.tv_nsec};
}

// A save that would give the file what it holds writes nothing, neither
// boWriteBack nor the destructor: the file keeps its bytes, its inode and
// its time, and the write-back succeeds. A real edit still lands, and so
// does a whole document that differs from the file only in a comment.
TEST_F(DirectAccess, ASaveThatChangesNothingLeavesTheFileAlone) {
    const Mapping original = mappingOf("m", {{"s", {"a"}}, {"t", {"b", "c"}}});
    cache.vLevelSet(Sys, mappingOf("m", {{"u", {"sys"}}}), true);
    const auto fileHolding = [&](const Mapping& mapping) {
        EXPECT_TRUE(writeMapping(fileOf(User), mapping));
        setFileTimeUtc(fileOf(User), utc(2020, 1, 1));
        return stateOf(fileOf(User));
    };
    struct Case {
        const char* name;
        std::function<void(WriteAccess&)> edits;
    };
    const Case cases[] = {
        {"a lock alone", [](WriteAccess&) {}},
        {"a set to the value the level holds",
         [](WriteAccess& access) { EXPECT_TRUE(access.boSetMapping("s", "a", User)); }},
        {"an add and an inherit of the same source",
         [](WriteAccess& access) {
             EXPECT_TRUE(access.boAddMapping("n", "x", User));
             access.vMappedToSourceInherit("n", User);
         }},
    };
    for (const Case& quiet : cases) {
        SCOPED_TRACE(quiet.name);
        const FileState before = fileHolding(original);
        {
            WriteAccess access(&cache, &records);
            ASSERT_TRUE(access.boLockFile(User));
            quiet.edits(access);
            EXPECT_TRUE(access.boWriteBack());
            EXPECT_FALSE(access.failureGet().boFailed());
            EXPECT_EQ(stateOf(fileOf(User)), before);
            quiet.edits(access); // once more, for the destructor
        }
        EXPECT_EQ(stateOf(fileOf(User)), before);
        EXPECT_EQ(cache.levels.at(User), original);
    }

    const FileState before = fileHolding(original);
    {
        WriteAccess access(&cache, &records);
        ASSERT_TRUE(access.boLockFile(User));
        ASSERT_TRUE(access.boSetMapping("s", "z", User));
    }
    EXPECT_NE(stateOf(fileOf(User)).inode, before.inode);
    EXPECT_EQ(readBack(fileOf(User)).sourceToClassified, (Mapping::Relation{{"s", {"z"}}, {"t", {"b", "c"}}}));

    // A level that the format cannot carry is not written back, over the
    // file or in place of one deleted meanwhile.
    {
        const AssertCapture capture;
        WriteAccess access(&cache, &records);
        ASSERT_TRUE(access.boLockFile(User));
        for (int pass = 0; pass < 2; ++pass) {
            cache.vLevelSet(User, mappingOf("m", {{"bell\x07", {"a"}}}), true);
            EXPECT_FALSE(access.boWriteBack());
            EXPECT_EQ(access.failureGet().kind, FailureKind::CannotStore);
            fs::remove(fileOf(User));
        }
    }
    // Nor is a new file made whose header the format cannot carry.
    {
        ASSERT_FALSE(cache.levels.empty());
        const Level highest = cache.levels.rbegin()->first;
        const Mapping saved = cache.levels.rbegin()->second;
        Mapping odd = saved;
        odd.sText2 = "bell\x07";
        cache.vLevelSet(highest, odd, true);
        const AssertCapture capture;
        WriteAccess access(&cache, &records);
        EXPECT_FALSE(access.boLockFile(User));
        const std::vector<std::string> messages = capture.messages();
        EXPECT_NE(std::find(messages.begin(), messages.end(),
                            "Level mapping cannot be stored in a level file; not created"),
                  messages.end());
        EXPECT_FALSE(fs::exists(fileOf(User)));
        cache.vLevelSet(highest, saved, true);
    }

    // A document given by hand is compared by its bytes: a comment is a change.
    const FileState plain = fileHolding(original);
    const std::string commented = plain.bytes + "<!-- checked -->\n";
    {
        // Only a locked level takes a document, and only one that reads.
        const AssertCapture capture;
        WriteAccess access(&cache, &records);
        std::string bytes;
        EXPECT_FALSE(access.boLevelReplace(User, commented));
        EXPECT_EQ(access.failureGet().kind, FailureKind::NotLocked);
        EXPECT_EQ(access.failureGet().sReason, "the level is not locked");
        EXPECT_FALSE(access.boLevelDocumentGet(User, bytes));
        ASSERT_TRUE(access.boLockFile(User));
        EXPECT_FALSE(access.boLevelReplace(User, "<not a mapping"));
        EXPECT_EQ(access.failureGet().kind, FailureKind::NotWellFormed);
        ASSERT_TRUE(access.boLevelDocumentGet(User, bytes));
        EXPECT_EQ(bytes, plain.bytes);
    }
    {
        WriteAccess access(&cache, &records);
        ASSERT_TRUE(access.boLockFile(User));
        ASSERT_TRUE(access.boLevelReplace(User, commented)) << access.failureGet().sReason;
        std::string given;
        ASSERT_TRUE(access.boLevelDocumentGet(User, given)); // the document, not the file
        EXPECT_EQ(given, commented);
        EXPECT_TRUE(access.boWriteBack());
    }
    EXPECT_EQ(readFile(fileOf(User)), commented);
    EXPECT_EQ(cache.levels.at(User), original);
    // The file's own bytes given back after an edit: the edit goes, and the
    // file is left alone.
    const FileState same = fileHolding(original);
    {
        WriteAccess access(&cache, &records);
        ASSERT_TRUE(access.boLockFile(User));
        ASSERT_TRUE(access.boAddMapping("s", "edited", User));
        ASSERT_TRUE(access.boLevelReplace(User, same.bytes));
        EXPECT_EQ(cache.levels.at(User), original);
    }
    EXPECT_EQ(stateOf(fileOf(User)), same);
}

TEST_F(DirectAccess, WritingBackAShorterMappingLeavesNoOldTail) {
    Mapping longer = mappingOf("m");
    for (int index = 0; index < 200; ++index) {
        longer.vMappingAdd("source-" + std::to_string(index), "classified-" + std::to_string(index));
    }
    ASSERT_TRUE(writeMapping(fileOf(User), longer));
    const auto longSize = fs::file_size(fileOf(User));
    const Mapping shorter = mappingOf("m", {{"s", {"a"}}});
    {
        WriteAccess access(&cache, &records);
        ASSERT_TRUE(access.boLockFile(User));
        cache.vLevelSet(User, shorter, true);
    }
    const std::string written = readFile(fileOf(User));
    EXPECT_LT(written.size(), longSize);
    EXPECT_EQ(written, documentOf(shorter));
    EXPECT_EQ(readBack(fileOf(User)), shorter);
}

TEST_F(DirectAccess, ALevelFileThatDoesNotReadIsNotLockedAndKeptByteForByte) {
    using namespace std::string_literals;
    const std::string content = "<not a mapping>\n\0 with a NUL and a tail\n"s;
    writeFile(fileOf(User), content);
    setFileTimeUtc(fileOf(User), utc(2020, 3, 4));
    const auto time = fs::last_write_time(fileOf(User));
    cache.vLevelSet(Sys, mappingOf("m", {{"s", {"a"}}}), true);
    {
        const AssertCapture capture;
        WriteAccess access(&cache, &records);
        EXPECT_FALSE(access.boLockFile(User));
        EXPECT_FALSE(access.boAddMapping("s", "b", User));
        ASSERT_GE(capture.count(), 1U);
        EXPECT_EQ(reportsGet().front().message, "Level file does not read; not locked");
    }
    EXPECT_EQ(readFile(fileOf(User)), content);
    EXPECT_EQ(fs::last_write_time(fileOf(User)), time);
    EXPECT_EQ(records.at(User).lastWrite, 0);
    EXPECT_EQ(cache.levels.count(User), 0U);
}

TEST_F(DirectAccess, AMappingTheFormatCannotCarryLeavesTheFileAsItWas) {
    const Mapping original = mappingOf("m", {{"s", {"a"}}});
    ASSERT_TRUE(writeMapping(fileOf(User), original));
    const std::string before = readFile(fileOf(User));
    Mapping unwritable = mappingOf("m", {{"s", {"a"}}});
    unwritable.sText2 = "control \x01 character";
    {
        WriteAccess access(&cache, &records);
        ASSERT_TRUE(access.boLockFile(User));
        // Edits refuse such ids; a mapping stored directly still never
        // reaches the file.
        const AssertCapture capture;
        EXPECT_FALSE(access.boAddMapping("s", "tab\tis fine but \x02 is not", User));
        EXPECT_EQ(cache.levels.at(User), original);
        cache.vLevelSet(User, unwritable, true);
        EXPECT_EQ(reportsGet().at(0).message, "Ids cannot be stored in a level file");
    }
    EXPECT_EQ(readFile(fileOf(User)), before);
    // The failed write-back reads the level again: the store agrees with
    // the file, and the failed edit cannot reach it later.
    EXPECT_EQ(cache.levels.at(User), original);
}

// Another program replaces the level file (a new file renamed over it) or
// rewrites it in place while the level is locked: the write-back reads the
// new content and puts the edits on top of it, cutting nothing.
TEST_F(DirectAccess, AFileReplacedWhileLockedGetsTheEditsOnTop) {
    const Mapping original = mappingOf("m", {{"s", {"old"}}, {"gone", {"g"}}});
    Mapping longer = mappingOf("m", {{"s", {"new"}}, {"gone", {"g"}}});
    for (int index = 0; index < 50; ++index) {
        longer.vMappingAdd("source-" + std::to_string(index), "replaced");
    }
    const std::vector<Mapping> replacements = {mappingOf("m", {{"s", {"x"}}}),
                                               mappingOf("m", {{"s", {"new"}}, {"gone", {"g"}}}), longer};
    ASSERT_EQ(documentOf(replacements[1]).size(), documentOf(original).size());
    for (const Mapping& replacement : replacements) {
        SCOPED_TRACE(replacement.sourceToClassified.size());
        ASSERT_TRUE(writeMapping(fileOf(User), original));
        records[User].lastWrite = 0;
        {
            WriteAccess access(&cache, &records);
            ASSERT_TRUE(access.boLockFile(User));
            ASSERT_TRUE(access.boAddMapping("new", "mine", User));
            access.vMappedToSourceRemove("gone", User);
            ASSERT_TRUE(writeMapping(fileOf(User), replacement)); // a temporary file renamed over the path
        }
        // The edits emptied "gone"; a replacement that no longer lists it
        // keeps it unlisted.
        Mapping expected = replacement;
        expected.sourceToClassified["new"] = {"mine"};
        if (replacement.sourceToClassified.count("gone") != 0) {
            expected.sourceToClassified["gone"] = {};
        }
        Mapping onDisk;
        EXPECT_TRUE(readMapping(fileOf(User), onDisk)) << readFile(fileOf(User));
        EXPECT_EQ(onDisk, expected);
        EXPECT_EQ(cache.levels.at(User), expected);
        EXPECT_EQ(*cache.merged.pClassifiedIdsGet("s"), replacement.sourceToClassified.at("s"));
    }
}

TEST_F(DirectAccess, LockingTwiceKeepsTheFirstEntryAndAFailedLockRecordsNothing) {
    ASSERT_TRUE(writeMapping(fileOf(User), mappingOf("m")));
    cache.vLevelSet(Sys, mappingOf("m"), true);
    InspectableAccess access(&cache, &records);
    ASSERT_TRUE(access.boLockFile(User));
    const auto* first = access.entryGet(User);
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(access.boLockFile(User));
    EXPECT_EQ(access.entryGet(User), first);

    // A folder where the file should be: it exists, so nothing is created,
    // and it cannot be opened as a file.
    fs::create_directories(fileOf(Shared));
    EXPECT_FALSE(access.boLockFile(Shared));
    EXPECT_FALSE(access.boHasEntry(Shared));
    EXPECT_FALSE(access.boAddMapping("s", "a", Shared));
    EXPECT_TRUE(fs::is_directory(fileOf(Shared)));
    EXPECT_EQ(cache.levels.count(Shared), 0U);
}

TEST_F(DirectAccess, ALockEntryWithoutAStreamIsReportedAndNotWritten) {
    cache.vLevelSet(User, mappingOf("m", {{"s", {"a"}}}), true);
    writeFile(fileOf(User), "kept");
    {
        const AssertCapture capture;
        {
            InspectableAccess access(&cache, &records);
            access.vEmptyEntryAdd(User);
            EXPECT_FALSE(access.boAddMapping("s", "b", User)); // an entry without a stream is no lock
            capture.clear();
        }
        const std::vector<Report> expected = {
            {"No file locked", "vyr::classification::WriteAccess::~WriteAccess", kWriteAccessFile, 0}};
        EXPECT_EQ(reportsGet(), expected);
    }
    EXPECT_EQ(readFile(fileOf(User)), "kept");
}

TEST_F(DirectAccess, AMovedAccessWritesBackOnceFromItsNewOwner) {
    cache.vLevelSet(Sys, mappingOf("m"), true);
    {
        WriteAccess first(&cache, &records);
        ASSERT_TRUE(first.boLockFile(User));
        ASSERT_TRUE(first.boAddMapping("s", "a", User));
        {
            WriteAccess second(std::move(first));
            EXPECT_TRUE(second.boAddMapping("s", "b", User));
        }
        EXPECT_EQ(readBack(fileOf(User)).sourceToClassified, (Mapping::Relation{{"s", {"a", "b"}}}));
        // The moved-from object refuses every lock and edit, with the level
        // named, and creates nothing.
        {
            const AssertCapture capture;
            EXPECT_FALSE(first.boLockFile(Shared));
            EXPECT_EQ(first.failureGet().kind, FailureKind::NotLocked);
            EXPECT_FALSE(first.boAddMapping("s", "c", Shared));
            EXPECT_EQ(first.failureGet().kind, FailureKind::NotLocked);
            EXPECT_EQ(first.failureGet().level, Shared);
            first.vCreateFileIfNotAtLevel(Shared);
            EXPECT_FALSE(fs::exists(fileOf(Shared)));
        }
        writeFile(fileOf(User), "after");
    }
    // The moved-from object held no lock any more.
    EXPECT_EQ(readFile(fileOf(User)), "after");
}

TEST_F(DirectAccess, CreatingALevelFileThatIsPresentDoesNothing) {
    const Mapping onDisk = mappingOf("disk", {{"s", {"a"}}});
    ASSERT_TRUE(writeMapping(fileOf(User), onDisk));
    setFileTimeUtc(fileOf(User), utc(2021, 1, 1));
    const auto before = snapshotOf(folder.path());
    cache.vLevelSet(Sys, mappingOf("sys", {{"s", {"b"}}}), true);
    const auto levels = cache.levels;

    WriteAccess access(&cache, &records);
    const AssertCapture capture;
    access.vCreateFileIfNotAtLevel(User);
    EXPECT_EQ(snapshotOf(folder.path()), before);
    EXPECT_EQ(cache.levels, levels);
    EXPECT_EQ(records.at(User).lastWrite, 0);
    EXPECT_EQ(capture.count(), 0U);

    // Something that cannot be read as a file is never replaced either.
    fs::create_directories(fileOf(Shared));
    access.vCreateFileIfNotAtLevel(Shared);
    EXPECT_TRUE(fs::is_directory(fileOf(Shared)));
    EXPECT_EQ(cache.levels, levels);
}

TEST_F(DirectAccess, CreatingALevelFileWithAnEmptyCacheReportsAndWritesNothing) {
    for (const bool boEnabled : {true, false}) {
        const AssertCapture capture(boEnabled);
        WriteAccess access(&cache, &records);
        access.vCreateFileIfNotAtLevel(User);
        EXPECT_FALSE(fs::exists(fileOf(User)));
        EXPECT_TRUE(cache.levels.empty());
        if (boEnabled) {
            const std::vector<Report> expected = {{"No cached definition in lower level",
                                                   "vyr::classification::WriteAccess::vCreateFileIfNotAtLevel",
                                                   kWriteAccessFile, 0}};
            EXPECT_EQ(reportsGet(), expected);
        } else {
            EXPECT_EQ(capture.count(), 0U);
        }
    }
    EXPECT_TRUE(fs::is_empty(folder.path()));
}

TEST_F(DirectAccess, CreatingTheGreatestLevelTakesItselfAsTemplate) {
    cache.vLevelSet(Sys, mappingOf("sys", {{"s", {"a"}}}), false);
    cache.vLevelSet(User, mappingOf("user", {{"s", {"u"}}, {"t", {"v"}}}), true);
    cache.levels.at(User).secondRelation["x"] = {"y"};
    const auto merged = cache.merged.sourceToClassified;

    WriteAccess access(&cache, &records);
    access.vCreateFileIfNotAtLevel(User);

    Mapping expected("user", "user-2", "user-3", "user-4", "user-5", true, false);
    EXPECT_EQ(cache.levels.at(User), expected); // texts 6 and 7 and both relations emptied
    EXPECT_EQ(cache.levels.at(Sys), mappingOf("sys", {{"s", {"a"}}}));
    EXPECT_EQ(cache.rebuilds, 1);
    EXPECT_EQ(cache.merged.sourceToClassified, merged); // not rebuilt
    EXPECT_EQ(readBack(fileOf(User)), expected);
    EXPECT_EQ(records.at(User).lastWrite, vyr::test::lastWriteTicksGet(fileOf(User)));
    EXPECT_GT(records.at(User).lastWrite, 0);

    // A lower level takes the greatest level present as template, too.
    access.vCreateFileIfNotAtLevel(Shared);
    EXPECT_EQ(cache.levels.at(Shared), expected);
    EXPECT_EQ(readBack(fileOf(Shared)), expected);
}

TEST_F(DirectAccess, CreatingALevelFileThatCannotBeWrittenKeepsTheMappingAndTheStamp) {
    records[User].filePath = folder / "missing-folder" / "user.xml";
    records[User].lastWrite = 42;
    cache.vLevelSet(Sys, mappingOf("sys", {{"s", {"a"}}}), true);
    WriteAccess access(&cache, &records);
    access.vCreateFileIfNotAtLevel(User);
    EXPECT_EQ(cache.levels.at(User), Mapping("sys", "sys-2", "sys-3", "sys-4", "sys-5", true, false));
    EXPECT_EQ(records.at(User).lastWrite, 42);
    EXPECT_FALSE(fs::exists(folder / "missing-folder"));
}

TEST(AdminWriteAccess, AnEditSeenAtOnceAndItsStampNotReadAgain) {
    const StoreFolders folders;
    const Mapping sys = mappingOf("w", {{"s1", {"a"}}, {"s2", {"b"}}});
    ASSERT_TRUE(writeMapping(folders.fileAt("w", Sys), sys));
    classification::Admin admin;
    {
        WriteAccess access = admin.writeAccessGet("w");
        // The missing User file is made by the lock, from the Sys header.
        ASSERT_TRUE(access.boLockFile(User));
        EXPECT_TRUE(fs::exists(folders.fileAt("w", User)));
        // An old time, so that a stamp taken before the write-back would show.
        setFileTimeUtc(folders.fileAt("w", User), utc(2020, 1, 1));
        ASSERT_TRUE(access.boAddMapping("s3", "c", User));
        EXPECT_EQ(admin.sClassifiedIdGet("w", "s3"), "c");
        EXPECT_EQ(admin.sClassifiedIdGet("w", "s1"), "a");
        EXPECT_EQ(admin.mappingsGet("w"), (Pairs{{"s1", "a"}, {"s2", "b"}, {"s3", "c"}}));
    }
    const Mapping user = readBack(folders.fileAt("w", User));
    EXPECT_EQ(user.sId, "w");
    EXPECT_EQ(user.sText2, "w-2");
    EXPECT_EQ(user.sText6, "");
    EXPECT_EQ(user.sourceToClassified, (Mapping::Relation{{"s3", {"c"}}}));

    // The stamp is the file's time as it stands after the write-back, so the
    // store does not read its own file again.
    utilities::FileRecord& record = admin.files.at("w").at(User);
    EXPECT_EQ(record.lastWrite, vyr::test::lastWriteTicksGet(folders.fileAt("w", User)));
    const std::lock_guard lock(admin.mutex);
    EXPECT_FALSE(admin.boUpdateFromFileAtLevel("w", User));
    admin.caches.at("w").mappingAtLevel(User).vMappingAdd("only", "in-memory");
    admin.vUpdateFromFiles("w");
    EXPECT_EQ(admin.caches.at("w").levels.at(User).sourceToClassified.count("only"), 1U);
}

// An id whose level file and lock file fit the file system's longest name
// but whose temporary file does not: the store refuses its edits and its
// creation at once, with the id-length rule's reason, instead of failing at
// the write-back.
TEST(AdminWriteAccess, AnIdTooLongForTheTemporaryFileIsRefusedAtTheEdit) {
    const StoreFolders folders;
    const std::string id(platform::fileNameMaxGet(folders.fileAt("w", User).parent_path()) - 20, 'i');
    // Written under a short name: the store's own write could not make it.
    ASSERT_TRUE(writeMapping(folders.fileAt("short", User), mappingOf(id, {{"s", {"a"}}})));
    fs::rename(folders.fileAt("short", User), folders.fileAt(id, User));
    const std::string before = readFile(folders.fileAt(id, User));
    classification::Admin admin;
    {
        WriteAccess access = admin.writeAccessGet(id);
        ASSERT_TRUE(access.boLockFile(User));
        const AssertCapture capture;
        EXPECT_FALSE(access.boAddMapping("s", "b", User));
        access.vMappingRemove("s", "a", User);
        EXPECT_EQ(access.failureGet().kind, classification::FailureKind::IdTooLong);
        EXPECT_EQ(access.failureGet().sWhat, "Classification id is too long for a level file");
        EXPECT_NE(access.failureGet().sReason.find("which allows ids of at most"), std::string::npos);
        EXPECT_EQ(access.failureGet().file, folders.fileAt(id, User));
        EXPECT_EQ(capture.count(), 2U);
        EXPECT_EQ(admin.mappingsGet(id), (Pairs{{"s", "a"}}));
    }
    EXPECT_EQ(readFile(folders.fileAt(id, User)), before);
    classification::Failure failure;
    EXPECT_FALSE(admin.boCreateClassification(id, "", "", "", "", false, false, Shared, failure));
    EXPECT_EQ(failure.kind, classification::FailureKind::IdTooLong);
    EXPECT_EQ(failure.sWhat, "Classification id is too long for a level file");
    EXPECT_FALSE(fs::exists(folders.fileAt(id, Shared)));
}

TEST(AdminWriteAccess, TwoAccessesShareTheCacheAndEachWritesBackItsOwnLevels) {
    const StoreFolders folders;
    ASSERT_TRUE(writeMapping(folders.fileAt("two", Shared), mappingOf("two", {{"s", {"shared"}}})));
    ASSERT_TRUE(writeMapping(folders.fileAt("two", User), mappingOf("two", {{"t", {"user"}}})));
    const std::string userBefore = readFile(folders.fileAt("two", User));
    classification::Admin admin;
    {
        WriteAccess second = admin.writeAccessGet("two");
        ASSERT_TRUE(second.boLockFile(User));
        {
            WriteAccess first = admin.writeAccessGet("two");
            ASSERT_TRUE(first.boLockFile(Shared));
            ASSERT_TRUE(first.boAddMapping("s", "shared-2", Shared));
            ASSERT_TRUE(second.boAddMapping("t", "user-2", User));
            // One cache: each sees the other's edit.
            EXPECT_EQ(admin.mappingsGet("two"),
                      (Pairs{{"s", "shared"}, {"s", "shared-2"}, {"t", "user"}, {"t", "user-2"}}));
        }
        EXPECT_EQ(readBack(folders.fileAt("two", Shared)).sourceToClassified,
                  (Mapping::Relation{{"s", {"shared", "shared-2"}}}));
        EXPECT_EQ(readFile(folders.fileAt("two", User)), userBefore);
    }
    EXPECT_EQ(readBack(folders.fileAt("two", User)).sourceToClassified,
              (Mapping::Relation{{"t", {"user", "user-2"}}}));
}

// A child process takes write access, locks the User level and edits it,
// then dies by SIGKILL before its write-back: killed by the parent after it
// says it is ready, or by itself.
TEST(KilledWriter, TheLevelFileIsLeftAsItWasAndReadable) {
    for (const bool boKillsItself : {false, true}) {
        SCOPED_TRACE(boKillsItself ? "killed by itself" : "killed by the parent");
        const StoreFolders folders;
        const Mapping original = mappingOf("k", {{"s", {"a"}}, {"t", {"b"}}});
        ASSERT_TRUE(writeMapping(folders.fileAt("k", Sys), mappingOf("k", {{"s", {"sys"}}})));
        ASSERT_TRUE(writeMapping(folders.fileAt("k", User), original));
        const std::string before = readFile(folders.fileAt("k", User));

        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = childStart([&] {
            ::close(ready[0]);
            classification::Admin admin;
            WriteAccess access = admin.writeAccessGet("k");
            if (!access.boLockFile(User) || !access.boSetMapping("s", "changed", User) ||
                !access.boAddMapping("u", "new", User)) {
                return 2;
            }
            access.vMappedToClassifiedRemove("b", User);
            if (boKillsItself) {
                ::raise(SIGKILL);
            }
            const char byte = 'r';
            if (::write(ready[1], &byte, 1) != 1) {
                return 3;
            }
            for (;;) {
                ::pause();
            }
        });
        ASSERT_GE(child, 0);
        ::close(ready[1]);
        if (!boKillsItself) {
            char byte = 0;
            EXPECT_EQ(::read(ready[0], &byte, 1), 1);
            ::kill(child, SIGKILL);
        }
        ::close(ready[0]);
        EXPECT_EQ(childWait(child), 128 + SIGKILL) << "the child did not die of SIGKILL";

        EXPECT_EQ(readFile(folders.fileAt("k", User)), before);
        EXPECT_EQ(readBack(folders.fileAt("k", User)), original);
    }
}

// What the format does not know survives a write-back: comments, unknown
// attributes and elements, and the layout of the sources the edit did not
// touch.
TEST_F(DirectAccess, HandWrittenContentSurvivesAnEditAtANeighbouringSource) {
    const std::string handWritten =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!-- kept by the workshop -->\n"
        "<classification version=\"1\" id=\"m\" owner=\"workshop\">\n"
        "  <relation>\n"
        "    <source id='a'>  <classified id=\"x\"/> <!-- checked 2026 --></source>\n"
        "    <source id=\"c\"><note>hand</note><classified id=\"z\" /></source>\n"
        "  </relation>\n"
        "  <future kind=\"v2\"/>\n"
        "</classification>\n";
    {
        std::ofstream(fileOf(User), std::ios::binary) << handWritten;
    }
    {
        WriteAccess access(&cache, &records);
        ASSERT_TRUE(access.boLockFile(User));
        ASSERT_TRUE(access.boAddMapping("b", "y", User));
        ASSERT_TRUE(access.boAddMapping("c", "w", User));
    }
    const std::string written = readFile(fileOf(User));
    for (const char* kept : {"<!-- kept by the workshop -->", "owner=\"workshop\"",
                             "<source id='a'>  <classified id=\"x\"/> <!-- checked 2026 --></source>",
                             "<note>hand</note>", "<future kind=\"v2\"/>"}) {
        EXPECT_NE(written.find(kept), std::string::npos) << kept << " in\n" << written;
    }
    Mapping onDisk;
    ASSERT_TRUE(readMapping(fileOf(User), onDisk));
    EXPECT_EQ(onDisk.sourceToClassified, (Mapping::Relation{{"a", {"x"}}, {"b", {"y"}}, {"c", {"w", "z"}}}));
}

// Write-backs of a file the store knows patch it, one after the other under
// one lock, into byte for byte what the patcher makes of the file before.
TEST_F(DirectAccess, WriteBacksGiveWhatTheDocumentRenders) {
    const std::string handWritten = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
                                    "<classification version=\"1\" id=\"m\">\r\n"
                                    "\t<relation>\r\n"
                                    "\t\t<!-- b is checked -->\r\n"
                                    "\t\t<source id=\"b\"><classified id=\"y\"/><classified id='x'/></source>\r\n"
                                    "\t\t<source id=\"d\" extra=\"kept\" />\r\n"
                                    "\t</relation>\r\n"
                                    "</classification>\r\n";
    std::ofstream(fileOf(User), std::ios::binary) << handWritten;
    std::string expected = handWritten;
    WriteAccess access(&cache, &records);
    ASSERT_TRUE(access.boLockFile(User));
    std::mt19937 random(5);
    const auto any = [&random](const char* ids) {
        return std::string(1, ids[std::uniform_int_distribution<std::size_t>(0, std::strlen(ids) - 1)(random)]);
    };
    for (int round = 0; round < 30; ++round) {
        for (int edit = std::uniform_int_distribution<int>(1, 3)(random); edit > 0; --edit) {
            switch (std::uniform_int_distribution<int>(0, 3)(random)) {
            case 0: ASSERT_TRUE(access.boAddMapping(any("abcde"), any("wxyz"), User)); break;
            case 1: ASSERT_TRUE(access.boSetMapping(any("abcde"), any("wxyz"), User)); break;
            case 2: access.vMappingRemove(any("abcde"), any("wxyz"), User); break;
            default: access.vMappedToSourceRemove(any("abcde"), User); break;
            }
        }
        ASSERT_TRUE(access.boWriteBack());
        std::string rendered;
        std::string reason;
        ASSERT_TRUE(classification::boDocumentPatch(expected, cache.levels.at(User), rendered, reason));
        ASSERT_EQ(readFile(fileOf(User)), rendered) << "round " << round;
        expected = std::move(rendered);
    }
}

// Documents that are not well-formed XML, though the parser takes them, are
// refused with the reason and its place: by a read and by a hand edit's
// replace, which leaves the level as it
// was. Their well-formed neighbours still read.
TEST_F(DirectAccess, DocumentsThatAreNotWellFormedAreRefusedEverywhere) {
    const auto document = [](const std::string& prolog, const std::string& inRelation, const std::string& epilog) {
        return prolog + "<classification version=\"1\" id=\"m\">\n  <relation>\n    " + inRelation +
               "\n  </relation>\n</classification>" + epilog;
    };
    const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    const std::string source = "<source id=\"a\"/>";
    std::string manyAttributes = "<classification version=\"1\"";
    for (const char name : std::string("abcdefghij")) {
        manyAttributes += std::string(" ") + name + "=\"\"";
    }
    const std::vector<std::pair<std::string, std::string>> refused = {
        {document(declaration, "<source id=\"a\" id=\"b\"/>", "\n"), "attribute 'id' repeated at line 4, column 20"},
        {document(declaration, "<source id=\"a\"><note x=\"1\" x=\"2\"/></source>", "\n"),
         "attribute 'x' repeated at line 4, column 32"},
        {manyAttributes + " c=\"\"/>", "attribute 'c' repeated at line 1, column 79"},
        {document(declaration, "<source id=\"a<b\"/>", "\n"), "'<' in the value of attribute 'id' at line 4, column 18"},
        {document(declaration, "<source id='&lt;\"<'/>", "\n"), "'<' in the value of attribute 'id' at line 4, column 22"},
        {document(declaration, source, "\nstray\n"), "text after the root element at line 7, column 1"},
        {document(declaration, source, "x"), "text after the root element at line 6, column 18"},
        {document(declaration, source, "<![CDATA[x]]>\n"), "text after the root element at line 6, column 18"},
        {document(declaration + "  stray\n", source, "\n"), "text before the root element at line 2, column 3"},
        {document(declaration, "<!-- a -- b -->", "\n"), "'--' inside a comment at line 4, column 12"},
        {document(declaration, source, "\n<!-- tail --->\n"), "'--' inside a comment at line 7, column 11"},
        {document(" " + declaration, source, "\n"),
         "XML declaration not at the start of the document at line 1, column 2"},
        {document(declaration + declaration, source, "\n"),
         "XML declaration not at the start of the document at line 2, column 1"},
        {document("<!-- first -->" + declaration, source, "\n"),
         "XML declaration not at the start of the document at line 1, column 15"},
        {document(declaration, source, "\n" + declaration),
         "XML declaration not at the start of the document at line 7, column 1"},
    };
    const std::vector<std::string> accepted = {
        document(declaration, source, "\n"),
        document("\xEF\xBB\xBF" + declaration, source, "\n<!-- end - of file -->\n<?pi data?>\n  \n"),
        document("<!---->\n", "<source id=\"&lt;a&#60;\" note='say \"hi\"'/><note x=\"1\" X=\"1\"/>", "\n"),
        document(declaration, "<source id=\"&nbsp;\"/>", "\r\n"),
        manyAttributes + "/>",
    };

    ASSERT_TRUE(writeMapping(fileOf(User), mappingOf("m", {{"kept", {"k"}}})));
    const std::string before = readFile(fileOf(User));
    {
        WriteAccess access(&cache, &records);
        ASSERT_TRUE(access.boLockFile(User));
        const Mapping locked = cache.levels.at(User);
        for (const auto& [text, where] : refused) {
            const std::string reason = "XML not well-formed: " + where;
            Mapping mapping = mappingOf("unchanged");
            std::istringstream in(text);
            classification::XmlDocument reading(mapping);
            EXPECT_FALSE(reading.boRead(in)) << text;
            EXPECT_EQ(reading.errorGet(), reason) << text;
            EXPECT_EQ(mapping, mappingOf("unchanged")) << text;

            EXPECT_FALSE(access.boLevelReplace(User, text)) << text;
            EXPECT_EQ(access.failureGet().sReason, reason) << text;
            EXPECT_EQ(cache.levels.at(User), locked) << text;
        }
    }
    EXPECT_EQ(readFile(fileOf(User)), before);

    WriteAccess access(&cache, &records);
    ASSERT_TRUE(access.boLockFile(User));
    for (const std::string& text : accepted) {
        Mapping mapping;
        std::istringstream in(text);
        classification::XmlDocument reading(mapping);
        EXPECT_TRUE(reading.boRead(in)) << reading.errorGet() << "\n" << text;
        EXPECT_TRUE(access.boLevelReplace(User, text)) << access.failureGet().sReason << "\n" << text;
        EXPECT_EQ(cache.levels.at(User), mapping) << text;
    }
    // An undeclared entity stays literal text.
    Mapping literal;
    std::istringstream in(accepted[3]);
    ASSERT_TRUE(classification::XmlDocument(literal).boRead(in));
    EXPECT_EQ(literal.sourceToClassified, (Mapping::Relation{{"&nbsp;", {}}}));
}

// The merge of a write-back: this store's edits since the base go on top of
// what another writer left in the file, pair by pair.
TEST(LevelMerge, EditsGoOnTopPairByPairAndNothingTheirsRemovedComesBack) {
    using Relation = Mapping::Relation;
    struct Case {
        const char* name;
        Relation base, ours, theirs, expected;
    };
    const Case cases[] = {
        {"theirs removed a pair of a source ours edited", {{"panel", {"glass"}}},
         {{"panel", {"glass", "metal"}}}, {{"panel", {}}}, {{"panel", {"metal"}}}},
        {"additions at disjoint sources", {{"a", {"x"}}}, {{"a", {"x"}}, {"b", {"y"}}},
         {{"a", {"x"}}, {"c", {"z"}}}, {{"a", {"x"}}, {"b", {"y"}}, {"c", {"z"}}}},
        {"ours unlisted a source theirs changed", {{"a", {"x"}}, {"b", {"y"}}}, {{"b", {"y"}}},
         {{"a", {"x", "w"}}, {"b", {"y"}}}, {{"b", {"y"}}}},
        {"ours removed from a source theirs unlisted", {{"a", {"x", "y"}}}, {{"a", {"x"}}}, {}, {}},
        {"ours listed a source theirs has", {}, {{"n", {}}}, {{"n", {"q"}}}, {{"n", {"q"}}}},
        {"untouched sources follow theirs", {{"a", {"x"}}, {"b", {"y"}}}, {{"a", {"x"}}, {"b", {"y", "z"}}},
         {{"a", {}}, {"b", {"y"}}}, {{"a", {}}, {"b", {"y", "z"}}}},
    };
    for (const Case& merge : cases) {
        SCOPED_TRACE(merge.name);
        Mapping base = mappingOf("m");
        Mapping ours = base;
        Mapping theirs = base;
        base.sourceToClassified = merge.base;
        ours.sourceToClassified = merge.ours;
        theirs.sourceToClassified = merge.theirs;
        EXPECT_EQ(classification::mergeLevel(base, ours, theirs).sourceToClassified, merge.expected);
        // The second relation merges the same way.
        base.secondRelation = merge.base;
        ours.secondRelation = merge.ours;
        theirs.secondRelation = merge.theirs;
        EXPECT_EQ(classification::mergeLevel(base, ours, theirs).secondRelation, merge.expected);
    }
    // Each header field follows the edits only where they changed it.
    Mapping base = mappingOf("m");
    Mapping ours = base;
    Mapping theirs = base;
    ours.sText2 = "mine";
    ours.boFlag2 = true;
    theirs.sText3 = "theirs";
    theirs.boFlag1 = !base.boFlag1;
    const Mapping merged = classification::mergeLevel(base, ours, theirs);
    EXPECT_EQ(merged.sText2, "mine");
    EXPECT_EQ(merged.sText3, "theirs");
    EXPECT_EQ(merged.boFlag1, theirs.boFlag1);
    EXPECT_TRUE(merged.boFlag2);
}

} // namespace
} // namespace vyr::test
