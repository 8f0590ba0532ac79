// Faults injected on real files: things in the way of level files and
// folders, files that change under a read, streams that fail while the
// store writes, hostile and huge documents, and huge ids and texts. Each
// case checks the answer the store gives and that nothing that was on disk
// is lost.

#include <gmock/gmock.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "Vyr/Libraries/Classification/VyrClassificationAdmin.h"
#include "external/classification/XmlDocument.h"
#include "external/platform/FileSystemKind.h"
#include "external/platform/SystemCalls.h"
#include "tests/common/StoreFixture.h"

namespace vyr::test {
namespace {

using classification::Admin;
using classification::XmlDocument;
using ::testing::Contains;

// An admin whose parse hook hands its next read to a test function first,
// so that a test can do to the file what another process could do between
// the store's status check and its parse. Owns that function; used by one
// thread.
class InterferingAdmin final : public Admin {
public:
    using Interference = std::function<bool(std::istream& stream, const Level& level, Cache& cache)>;

    // Requires: the admin's mutex is held (as for every read).
    bool boReadFromStream(std::istream& stream, const Level& level, Cache& cache) override {
        if (interference) {
            const Interference once = std::move(interference);
            interference = nullptr;
            return once(stream, level, cache);
        }
        return Admin::boReadFromStream(stream, level, cache);
    }

    void vUpdate(std::string_view id) {
        const std::lock_guard lock(mutex);
        vUpdateFromFiles(id);
    }

    Interference interference;
};

// State of the replaced calls below; the test runs them on its own thread.
int gFsyncCalls = 0;
fs::path gSavedBehind; // the level file an "editor" saves while the temporary file is synced

int fsyncFailingSecond(int descriptor) {
    if (++gFsyncCalls == 2) { // the temporary file's sync comes first, the folder's second
        errno = EIO;
        return -1;
    }
    return ::fsync(descriptor);
}

int fsyncWithASaveBehind(int descriptor) {
    if (++gFsyncCalls == 1) {
        writeMapping(gSavedBehind, mappingOf("fruit", {{"apple", {"red"}}, {"kiwi", {"brown"}}}));
    }
    return ::fsync(descriptor);
}

// A writer that ignores the lock: it replaces the level file with its own
// version as the first temporary file is made, and then while each one is
// written.
std::string gTheirs;
void vTheirsPut() {
    const fs::path side = gSavedBehind.parent_path() / "theirs.xml";
    writeFile(side, gTheirs);
    fs::rename(side, gSavedBehind);
}
ssize_t writeWithAReplacementBehind(int descriptor, const void* buffer, size_t size) {
    const ssize_t written = ::write(descriptor, buffer, size);
    vTheirsPut();
    return written;
}
int openatWithAReplacementBehind(int folder, const char* name, int flags, mode_t mode) {
    const int descriptor = ::openat(folder, name, flags, mode);
    if ((flags & O_CREAT) != 0 && name[0] == '.' && gFsyncCalls++ == 0) {
        vTheirsPut();
    }
    return descriptor;
}

// Opens of a level file miss it `gMisses` times, as while another program
// renames a new version over it.
int gMissedOpens = 0;
int gMisses = 1;
int openatMissingOnce(int folder, const char* name, int flags, mode_t mode) {
    const std::string_view text(name);
    if (text.ends_with(".xml") && gMissedOpens++ < gMisses) {
        errno = ENOENT;
        return -1;
    }
    return ::openat(folder, name, flags, mode);
}

// Another program makes the level file just before a new one takes its name.
int renameat2AfterAFileIsMade(int fromFolder, const char* from, int toFolder, const char* to, unsigned flags) {
    writeFile(gSavedBehind, gTheirs);
    return ::renameat2(fromFolder, from, toFolder, to, flags);
}

// The mount table that the platform layer reads instead of this process's.
fs::path gMountTable;
int mountTableFake() { return ::open(gMountTable.c_str(), O_RDONLY | O_CLOEXEC); }

// The store fixture with two mappings of one classification.
class FaultInjectionTest : public StoreFixture {
protected:
    const Mapping fruit = mappingOf("fruit", {{"apple", {"red"}}, {"pear", {"green"}}});
    const Mapping fruitLater = mappingOf("fruit", {{"apple", {"yellow"}}, {"plum", {"blue"}}});
};

TEST_F(FaultInjectionTest, LevelFileThatIsAFolderIsSkippedAndKept) {
    vWriteLevel("fruit", cache::Sys, fruit);
    fs::create_directories(fileAt("fruit", cache::User));
    writeFile(fileAt("fruit", cache::User) / "inside.txt", "kept");
    fs::create_directories(fileAt("empty", cache::User));
    const auto before = snapshotOf(folder.path(), SnapshotOmits::FoldersAndLockFiles);

    AdminWrapper wrapper;
    // The Sys file answers; the folder at User is not a mapping.
    EXPECT_EQ(wrapper.sClassifiedIdGet("fruit", "apple"), "red");
    EXPECT_EQ(wrapper.pClassifiedIdsGet("empty", "apple"), nullptr);
    EXPECT_EQ(wrapper.sText2Get("empty"), "");
    {
        auto access = wrapper.writeAccessGet("fruit");
        EXPECT_FALSE(access.boLockFile(cache::User));
        EXPECT_FALSE(access.boAddMapping("apple", "green", cache::User));
    }
    EXPECT_FALSE(wrapper.boCreateClassification("empty", "2", "3", "4", "5", false, false, cache::User));

    EXPECT_TRUE(fs::is_directory(fileAt("fruit", cache::User)));
    EXPECT_TRUE(fs::is_directory(fileAt("empty", cache::User)));
    EXPECT_EQ(snapshotOf(folder.path(), SnapshotOmits::FoldersAndLockFiles), before);
}

TEST_F(FaultInjectionTest, PipeOrDeviceAtALevelPathIsNotRead) {
    // Opening a pipe would block, and a device like /dev/zero never ends:
    // both would hold the admin's lock for good. Neither is read.
    vWriteLevel("fruit", cache::Sys, fruit);
    fs::create_directories(levelFolder(cache::User));
    ASSERT_EQ(::mkfifo(fileAt("fruit", cache::User).c_str(), 0600), 0);
    fs::create_symlink("/dev/zero", fileAt("zeros", cache::User));

    AdminWrapper wrapper;
    EXPECT_EQ(wrapper.sClassifiedIdGet("fruit", "apple"), "red");
    EXPECT_EQ(wrapper.pClassifiedIdsGet("zeros", "apple"), nullptr);
    EXPECT_FALSE(wrapper.boClassificationExists("zeros"));
    {
        auto access = wrapper.writeAccessGet("fruit");
        EXPECT_FALSE(access.boLockFile(cache::User)); // the write-back would block on the pipe
    }
    EXPECT_TRUE(fs::is_fifo(fileAt("fruit", cache::User)));
}

TEST_F(FaultInjectionTest, LevelFolderThatIsAFileIsLeftAlone) {
    vWriteLevel("fruit", cache::Sys, fruit);
    writeFile(levelFolder(cache::User), "a file where the User folder belongs");
    const auto before = snapshotOf(folder.path(), SnapshotOmits::FoldersAndLockFiles);

    const AssertCapture asserts;
    AdminWrapper wrapper;
    {
        auto access = wrapper.writeAccessGet("fruit");
        EXPECT_FALSE(access.boLockFile(cache::User));
        EXPECT_FALSE(access.boAddMapping("apple", "green", cache::User));
    }
    EXPECT_FALSE(wrapper.boCreateClassification("fresh", "2", "3", "4", "5", false, false, cache::User));
    EXPECT_EQ(wrapper.sClassifiedIdGet("fruit", "apple"), "red");
    EXPECT_THAT(asserts.messages(), Contains("Didn't manage to create folder"));

    EXPECT_TRUE(fs::is_regular_file(levelFolder(cache::User)));
    EXPECT_EQ(snapshotOf(folder.path(), SnapshotOmits::FoldersAndLockFiles), before);
}

TEST_F(FaultInjectionTest, FileThatDisappearsBeforeTheOpenIsReadOnceItIsBack) {
    const fs::path file = fileAt("fruit", cache::User);
    vWriteLevel("fruit", cache::User, fruit);
    InterferingAdmin admin;
    const auto vanish = [&](std::istream&, const Level& level, Admin::Cache& cache) {
        fs::remove(file);
        std::ifstream reopened(file, std::ios::binary);
        return admin.Admin::boReadFromStream(reopened, level, cache);
    };

    // First read: nothing is stored, the stamp stays "never read".
    admin.interference = vanish;
    admin.vUpdate("fruit");
    EXPECT_TRUE(admin.boIsCached("fruit"));
    EXPECT_EQ(admin.sClassifiedIdGet("fruit", "apple"), "");
    EXPECT_EQ(admin.filesGet("fruit")[cache::User].lastWrite, 0);

    // The file is back: the next update reads it.
    vWriteLevel("fruit", cache::User, fruit);
    admin.vUpdate("fruit");
    EXPECT_EQ(admin.sClassifiedIdGet("fruit", "apple"), "red");
    const std::int64_t stamp = admin.filesGet("fruit")[cache::User].lastWrite;
    EXPECT_GT(stamp, 0);

    // A newer file vanishes during its re-read: the level keeps what it had,
    // and its stamp, so the file is read when it reappears.
    vWriteLevel("fruit", cache::User, fruitLater);
    setFileTime(file, std::chrono::seconds(10));
    admin.interference = vanish;
    admin.vUpdate("fruit");
    EXPECT_EQ(admin.sClassifiedIdGet("fruit", "apple"), "red");
    EXPECT_EQ(admin.filesGet("fruit")[cache::User].lastWrite, stamp);

    vWriteLevel("fruit", cache::User, fruitLater);
    setFileTime(file, std::chrono::seconds(20));
    admin.vUpdate("fruit");
    EXPECT_EQ(admin.sClassifiedIdGet("fruit", "apple"), "yellow");
    EXPECT_EQ(admin.sClassifiedIdGet("fruit", "plum"), "blue");
}

TEST_F(FaultInjectionTest, DocumentSeenHalfRewrittenIsNotStoredAndReadAgainLater) {
    vWriteLevel("fruit", cache::User, fruit);
    InterferingAdmin admin;
    // The read sees the first half of the document, as it would while
    // another process is writing the file.
    admin.interference = [&](std::istream& stream, const Level& level, Admin::Cache& cache) {
        const std::string whole{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
        std::istringstream half(whole.substr(0, whole.size() / 2));
        return admin.Admin::boReadFromStream(half, level, cache);
    };
    admin.vUpdate("fruit");
    EXPECT_EQ(admin.sClassifiedIdGet("fruit", "apple"), "");
    EXPECT_EQ(admin.filesGet("fruit")[cache::User].lastWrite, 0);

    // The file itself did not change; the next update reads it whole.
    admin.vUpdate("fruit");
    EXPECT_EQ(admin.sClassifiedIdGet("fruit", "apple"), "red");
}

TEST_F(FaultInjectionTest, PartialFileOnDiskIsNotStoredUntilItIsWhole) {
    const fs::path file = fileAt("fruit", cache::User);
    vWriteLevel("fruit", cache::User, fruit);
    AdminWrapper wrapper;
    EXPECT_EQ(wrapper.sClassifiedIdGet("fruit", "apple"), "red");

    // Another program is half way through rewriting the file.
    std::ostringstream later;
    Mapping laterMapping = fruitLater;
    ASSERT_TRUE(XmlDocument(laterMapping).boWrite(later));
    writeFile(file, later.str().substr(0, later.str().size() / 2));
    setFileTime(file, std::chrono::seconds(10));
    { auto access = wrapper.writeAccessGet("fruit"); }
    EXPECT_EQ(wrapper.sClassifiedIdGet("fruit", "apple"), "red");
    EXPECT_EQ(readFile(file), later.str().substr(0, later.str().size() / 2));

    // It has finished: the next update reads the whole document.
    writeFile(file, later.str());
    setFileTime(file, std::chrono::seconds(20));
    { auto access = wrapper.writeAccessGet("fruit"); }
    EXPECT_EQ(wrapper.sClassifiedIdGet("fruit", "apple"), "yellow");
}

TEST_F(FaultInjectionTest, StreamOverloadReportsAFullDevice) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full here";
    }
    Mapping mapping = fruit;
    std::ofstream full("/dev/full", std::ios::binary);
    ASSERT_TRUE(full.is_open());
    EXPECT_FALSE(XmlDocument(mapping).boWrite(full));
}

// A lock file that is a link or a pipe is never opened or followed: the
// level is not locked, and the failure names why.
TEST_F(FaultInjectionTest, LockFileThatIsNoRegularFileLocksNothing) {
    const fs::path file = fileAt("fruit", cache::User);
    vWriteLevel("fruit", cache::User, fruit);
    const fs::path lockFile = file.parent_path() / (file.filename().string() + ".lock");
    AdminWrapper wrapper;
    const AssertCapture capture;
    fs::create_symlink(folder / "elsewhere.lock", lockFile);
    auto linked = wrapper.writeAccessGet("fruit");
    EXPECT_FALSE(linked.boLockFile(cache::User));
    EXPECT_EQ(linked.failureGet().kind, classification::FailureKind::Link);
    fs::remove(lockFile);
    ASSERT_EQ(::mkfifo(lockFile.c_str(), 0600), 0);
    auto piped = wrapper.writeAccessGet("fruit");
    EXPECT_FALSE(piped.boLockFile(cache::User));
    EXPECT_EQ(piped.failureGet().kind, classification::FailureKind::NotRegularFile);
    EXPECT_EQ(capture.messages(),
              (std::vector<std::string>{"Level path is a symbolic link or leaves the level folder; not locked",
                                        "Lock file is not a regular file; not locked"}));
    EXPECT_FALSE(fs::exists(folder / "elsewhere.lock"));
}

TEST_F(FaultInjectionTest, LevelFileLeadingToADeviceIsNotLocked) {
    // A write-back through a device stream would fail (or block, for a
    // pipe): such a level is not locked, so no edit is taken that could not
    // be written. Write-backs that fail part way are covered below.
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full here";
    }
    const fs::path file = fileAt("fruit", cache::User);
    vWriteLevel("fruit", cache::User, fruit);
    const std::string before = readFile(file);
    AdminWrapper wrapper;
    {
        auto access = wrapper.writeAccessGet("fruit");
        // The level file now leads to a device that is always full; the
        // real one is set aside.
        fs::rename(file, folder / "aside.xml");
        fs::create_symlink("/dev/full", file);
        EXPECT_FALSE(access.boLockFile(cache::User));
        EXPECT_FALSE(access.boAddMapping("apple", "green", cache::User));
    }
    EXPECT_FALSE(wrapper.boMappingExists("fruit", "apple", "green"));
    EXPECT_TRUE(fs::is_symlink(file));
    EXPECT_EQ(readFile(folder / "aside.xml"), before);
}

// The write-back of a document larger than the process may write (a file
// size limit, as a full disk would do) fails part way; the file keeps its
// old document byte for byte.
TEST_F(FaultInjectionTest, WriteBackCutShortKeepsTheOldDocument) {
    const fs::path file = fileAt("fruit", cache::User);
    vWriteLevel("fruit", cache::User, fruit);
    const std::string before = readFile(file);

    const pid_t child = childStart([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{before.size() + 64, before.size() + 64};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        AdminWrapper::vAdminReset();
        AdminWrapper wrapper;
        auto access = wrapper.writeAccessGet("fruit");
        if (!access.boLockFile(cache::User)) {
            return 3;
        }
        for (int i = 0; i < 200; ++i) {
            if (!access.boAddMapping("source-" + std::to_string(i), "classified", cache::User)) {
                return 4;
            }
        }
        return 0;
    });
    ASSERT_EQ(childWait(child), 0);
    EXPECT_EQ(readFile(file), before);
}

// Writing a new file fails part way: no file, no temporary file, and the
// files that were there are kept.
TEST_F(FaultInjectionTest, DocumentWriteCutShortLeavesNothingBehind) {
    vWriteLevel("fruit", cache::Sys, fruit);
    vWriteLevel("other", cache::User, fruitLater);
    fs::create_directories(levelFolder(cache::Shared));
    const auto before = snapshotOf(folder.path(), SnapshotOmits::FoldersAndLockFiles);

    const pid_t child = childStart([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16, 16};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        AdminWrapper::vAdminReset();
        AdminWrapper wrapper;
        if (wrapper.boCreateClassification("fresh", "2", "3", "4", "5", false, false, cache::User)) {
            return 3;
        }
        // Making the missing Shared file from the Sys header fails the same
        // way, and so does the lock.
        auto access = wrapper.writeAccessGet("fruit");
        return access.boLockFile(cache::Shared) ? 4 : 0;
    });
    ASSERT_EQ(childWait(child), 0);
    EXPECT_EQ(snapshotOf(folder.path(), SnapshotOmits::FoldersAndLockFiles), before);
}

// An edit whose ids the file format cannot hold is refused at once; the
// other edits of the same access still reach the file.
TEST_F(FaultInjectionTest, EditsTheFormatCannotCarryAreRefusedAndTheRestIsWritten) {
    const fs::path file = fileAt("fruit", cache::User);
    vWriteLevel("fruit", cache::User, fruit);
    AdminWrapper wrapper;
    for (const std::string& bad : {std::string("bell\x07"), std::string("broken\xff")}) {
        {
            const AssertCapture capture;
            auto access = wrapper.writeAccessGet("fruit");
            ASSERT_TRUE(access.boLockFile(cache::User));
            EXPECT_FALSE(access.boAddMapping(bad, "classified", cache::User));
            EXPECT_FALSE(access.boSetMapping("apple", bad, cache::User));
            EXPECT_TRUE(access.boAddMapping("good", bad.substr(0, 4), cache::User));
            EXPECT_EQ(capture.count(), 2U);
        }
        EXPECT_FALSE(wrapper.boMappingExists("fruit", bad, "classified"));
        Mapping onDisk;
        ASSERT_TRUE(boReadLevel("fruit", cache::User, onDisk));
        EXPECT_EQ(onDisk.sourceToClassified.at("apple"), std::set<std::string>{"red"});
        EXPECT_EQ(onDisk.sourceToClassified.at("good").count(bad.substr(0, 4)), 1U);
    }
}

TEST_F(FaultInjectionTest, DeepNestingNeverOverflowsTheStack) {
    constexpr int kDepth = 100000;
    std::string open;
    std::string close;
    for (int depth = 0; depth < kDepth; ++depth) {
        open += "<a>";
        close += "</a>";
    }
    const std::string head = R"(<classification version="1" id="deep" text2="deep text">)";
    const std::string pairs = R"(<relation><source id="s"><classified id="c"/></source></relation>)";
    // Nested deep inside the root, where the reader never descends: the
    // document reads.
    writeFile(fileAt("deep", cache::User), head + open + close + pairs + "</classification>");
    // Nested as the root, and left open: refused.
    writeFile(fileAt("rooted", cache::User), open + close);
    writeFile(fileAt("open", cache::User), head + open);
    const auto before = snapshotOf(folder.path(), SnapshotOmits::FoldersAndLockFiles);

    AdminWrapper wrapper;
    EXPECT_EQ(wrapper.sText2Get("deep"), "deep text");
    EXPECT_TRUE(wrapper.boMappingExists("deep", "s", "c"));
    EXPECT_EQ(wrapper.pClassifiedIdsGet("rooted", "s"), nullptr);
    EXPECT_EQ(wrapper.sText2Get("open"), "");
    EXPECT_EQ(snapshotOf(folder.path(), SnapshotOmits::FoldersAndLockFiles), before);
}

TEST_F(FaultInjectionTest, FiftyMegabyteMappingReadsEditsAndWritesBack) {
    constexpr int kSources = 100;
    constexpr int kClassifiedPerSource = 4000;
    const std::string padding(100, 'c');
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                       "<classification version=\"1\" id=\"big\" text2=\"big\">\n  <relation>\n";
    for (int source = 0; source < kSources; ++source) {
        text += "    <source id=\"source-" + std::to_string(source) + "\">\n";
        for (int classified = 0; classified < kClassifiedPerSource; ++classified) {
            text += "      <classified id=\"" + padding + std::to_string(classified) + "\" />\n";
        }
        text += "    </source>\n";
    }
    text += "  </relation>\n</classification>\n";
    ASSERT_GE(text.size(), 50u * 1000 * 1000);
    const fs::path file = fileAt("big", cache::User);
    writeFile(file, text);
    text = std::string();

    AdminWrapper wrapper;
    const std::set<std::string>* classified = wrapper.pClassifiedIdsGet("big", "source-7");
    ASSERT_NE(classified, nullptr);
    EXPECT_EQ(classified->size(), static_cast<std::size_t>(kClassifiedPerSource));
    {
        auto access = wrapper.writeAccessGet("big");
        ASSERT_TRUE(access.boLockFile(cache::User));
        EXPECT_TRUE(access.boAddMapping("source-7", "added", cache::User));
    }
    Mapping back;
    ASSERT_TRUE(readMapping(file, back));
    EXPECT_EQ(back.sourceToClassified.size(), static_cast<std::size_t>(kSources));
    EXPECT_EQ(back.sourceToClassified["source-7"].size(), static_cast<std::size_t>(kClassifiedPerSource + 1));
    EXPECT_EQ(back.sourceToClassified["source-7"].count("added"), 1u);
}

TEST_F(FaultInjectionTest, MegabyteIdsAndTexts) {
    const std::string huge(1 << 20, 'x');
    AdminWrapper wrapper;

    // An id of a megabyte names no file the system can hold: absent, and
    // nothing is created for it.
    EXPECT_FALSE(wrapper.boClassificationExists(huge));
    EXPECT_EQ(wrapper.sText2Get(huge), "");
    EXPECT_FALSE(wrapper.boCreateClassification(huge, "2", "3", "4", "5", false, false, cache::User));
    {
        auto access = wrapper.writeAccessGet(huge);
        EXPECT_FALSE(access.boLockFile(cache::User));
    }
    EXPECT_TRUE(snapshotOf(folder.path(), SnapshotOmits::FoldersAndLockFiles).empty());

    // Texts and ids of a megabyte inside a file are written and read back.
    ASSERT_TRUE(wrapper.boCreateClassification("long", huge, "3", "4", "5", false, false, cache::User));
    {
        auto access = wrapper.writeAccessGet("long");
        ASSERT_TRUE(access.boLockFile(cache::User));
        EXPECT_TRUE(access.boAddMapping(huge, huge + "c", cache::User));
    }
    AdminWrapper::vAdminReset();
    AdminWrapper fresh;
    EXPECT_EQ(fresh.sText2Get("long"), huge);
    EXPECT_TRUE(fresh.boMappingExists("long", huge, huge + "c"));
}

TEST_F(FaultInjectionTest, IdThatIsNotUtf8ThrowsAndReleasesTheLock) {
    vWriteLevel("fruit", cache::User, fruit);
    AdminWrapper wrapper;
    const std::string broken = "fruit\xc3";
    EXPECT_THROW((void)wrapper.sText2Get(broken), std::system_error);
    EXPECT_THROW((void)wrapper.writeAccessGet(broken), std::system_error);
    EXPECT_THROW((void)wrapper.boCreateClassification(broken, "2", "3", "4", "5", false, false, cache::User),
                 std::system_error);
    // The admin's lock was released on the way out.
    EXPECT_EQ(wrapper.sClassifiedIdGet("fruit", "apple"), "red");
}

// Calls of the platform layer failing on purpose: each failure is reported
// with its reason, the file keeps what it held, and the store is read again
// so that it agrees with the file. A save that lands while the temporary
// file is synced is merged, not overwritten.
TEST_F(FaultInjectionTest, FailingSystemCallsAreReportedAndTheStoreAgreesWithTheFile) {
    const fs::path file = fileAt("fruit", cache::User);
    struct Case {
        const char* name;
        void (*inject)(platform::SystemCalls&);
        const char* message;
        bool boWritten;
    };
    // Every failing call of a write path (fchmod, fchown and a lost lock at
    // its confirmation among them) is made by the write-path sweep. Here are
    // the faults it does not make (a write that writes nothing, a lock lost
    // with an input/output error) and the one failure after which the file
    // is the new one: the store must then hold the edit it wrote.
    const Case cases[] = {
        {"write returns 0",
         [](platform::SystemCalls& calls) { calls.write = [](int, const void*, size_t) -> ssize_t { return 0; }; },
         "Level file could not be written back: input/output error", false},
        {"folder fsync", [](platform::SystemCalls& calls) { calls.fsync = &fsyncFailingSecond; },
         "Level file was written back, but the folder could not be synced: input/output error", true},
        // A lock the system lost while it was held: nothing is renamed.
        {"lock lost, input/output error",
         [](platform::SystemCalls& calls) { calls.fcntlLock = [](int, int, struct flock*) { return errno = EIO, -1; }; },
         "Level file could not be written back: its lock cannot be confirmed: input/output error", false},
    };
    for (const Case& fault : cases) {
        SCOPED_TRACE(fault.name);
        vWriteLevel("fruit", cache::User, fruit);
        const std::string before = readFile(file);
        AdminWrapper::vAdminReset();
        AdminWrapper wrapper;
        const AssertCapture capture;
        {
            const SystemCallsRestore restore;
            gFsyncCalls = 0;
            auto access = wrapper.writeAccessGet("fruit");
            ASSERT_TRUE(access.boLockFile(cache::User));
            fault.inject(platform::systemCalls());
            ASSERT_TRUE(access.boAddMapping("fig", "purple", cache::User));
        }
        EXPECT_THAT(capture.messages(), Contains(fault.message));
        EXPECT_EQ(readFile(file) == before, !fault.boWritten);
        EXPECT_EQ(wrapper.boMappingExists("fruit", "fig", "purple"), fault.boWritten);
        for (const auto& entry : fs::directory_iterator(file.parent_path())) {
            EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
        }
    }

    // A file being replaced reads, never as missing; a lock on a read-only
    // file system names the reason.
    {
        vWriteLevel("fruit", cache::User, fruit);
        AdminWrapper::vAdminReset();
        AdminWrapper wrapper;
        const SystemCallsRestore restore;
        gMissedOpens = 0;
        platform::systemCalls().openat = &openatMissingOnce;
        EXPECT_TRUE(wrapper.boMappingExists("fruit", "apple", "red"));
        EXPECT_EQ(gMissedOpens, 2);
        // The write-back's read under the lock looks for a file missing
        // through all its retries once more, from the start.
        {
            auto access = wrapper.writeAccessGet("fruit");
            ASSERT_TRUE(access.boLockFile(cache::User));
            ASSERT_TRUE(access.boAddMapping("fig", "purple", cache::User));
            gMissedOpens = 0;
            gMisses = 9;
            EXPECT_TRUE(access.boWriteBack()) << access.failureGet().sWhat;
            EXPECT_GE(gMissedOpens, 10);
            gMisses = 1;
        }
        EXPECT_TRUE(wrapper.boMappingExists("fruit", "fig", "purple"));
        platform::vSystemCallsReset();
        platform::systemCalls().openat = [](int folder, const char* name, int flags, mode_t mode) {
            return std::string_view(name).ends_with(".lock") ? (errno = EROFS, -1) : ::openat(folder, name, flags, mode);
        };
        const AssertCapture capture;
        auto access = wrapper.writeAccessGet("fruit");
        EXPECT_FALSE(access.boLockFile(cache::User));
        EXPECT_EQ(capture.messages(), std::vector<std::string>{"Level file cannot be locked: read-only file system"});
        platform::vSystemCallsReset();
        platform::systemCalls().fcntlLock = [](int, int, struct flock*) { return errno = ENOLCK, -1; };
        capture.clear();
        EXPECT_FALSE(access.boLockFile(cache::User));
        EXPECT_EQ(capture.messages(), std::vector<std::string>{"Level file cannot be locked: no locks available"});
    }

    // An editor saves while the temporary file is synced: both edits stay.
    {
        vWriteLevel("fruit", cache::User, fruit);
        AdminWrapper::vAdminReset();
        AdminWrapper wrapper;
        const AssertCapture capture;
        {
            const SystemCallsRestore restore;
            gFsyncCalls = 0;
            gSavedBehind = file;
            auto access = wrapper.writeAccessGet("fruit");
            ASSERT_TRUE(access.boLockFile(cache::User));
            platform::systemCalls().fsync = &fsyncWithASaveBehind;
            ASSERT_TRUE(access.boAddMapping("fig", "purple", cache::User));
        }
        EXPECT_EQ(capture.count(), 0U);
        Mapping onDisk;
        ASSERT_TRUE(boReadLevel("fruit", cache::User, onDisk));
        EXPECT_EQ(onDisk.sourceToClassified,
                  (Mapping::Relation{{"apple", {"red"}}, {"fig", {"purple"}}, {"kiwi", {"brown"}}}));
        EXPECT_TRUE(wrapper.boMappingExists("fruit", "kiwi", "brown"));
    }

    // Another program makes the level file as a new one is published: its
    // file stays, and the lock reads it.
    {
        vWriteLevel("fruit", cache::Shared, fruit);
        const fs::path shared = fileAt("fruit", cache::Shared);
        fs::remove(file);
        gSavedBehind = file;
        Mapping theirs = fruitLater;
        std::ostringstream rendered;
        ASSERT_TRUE(XmlDocument(theirs).boWrite(rendered));
        gTheirs = rendered.str();
        AdminWrapper::vAdminReset();
        AdminWrapper wrapper;
        const AssertCapture capture;
        {
            const SystemCallsRestore restore;
            platform::systemCalls().renameat2 = &renameat2AfterAFileIsMade;
            auto access = wrapper.writeAccessGet("fruit");
            EXPECT_TRUE(access.boLockFile(cache::User)) << access.failureGet().sWhat;
        }
        EXPECT_EQ(capture.count(), 0U);
        EXPECT_EQ(readFile(file), gTheirs);
        EXPECT_TRUE(wrapper.boMappingExists("fruit", "plum", "blue"));
        fs::remove(shared);
    }

    // A writer that ignores the lock replaces the file during every attempt:
    // the write-back gives up after a few merges and writes nothing over it.
    {
        vWriteLevel("fruit", cache::User, fruit);
        gTheirs = readFile(file);
        AdminWrapper::vAdminReset();
        AdminWrapper wrapper;
        const AssertCapture capture;
        {
            const SystemCallsRestore restore;
            gSavedBehind = file;
            auto access = wrapper.writeAccessGet("fruit");
            ASSERT_TRUE(access.boLockFile(cache::User));
            gFsyncCalls = 0;
            platform::systemCalls().write = &writeWithAReplacementBehind;
            platform::systemCalls().openat = &openatWithAReplacementBehind;
            ASSERT_TRUE(access.boAddMapping("fig", "purple", cache::User));
            EXPECT_FALSE(access.boWriteBack());
            EXPECT_EQ(access.failureGet().kind, classification::FailureKind::KeepsChanging);
        }
        EXPECT_EQ(readFile(file), gTheirs);
        EXPECT_FALSE(wrapper.boMappingExists("fruit", "fig", "purple"));
    }
}

// A write-back that the system refuses gives its reason as a value: the
// level, the file, what failed, the error number and its text. Its record
// keeps its message and names the operation called: boWriteBack, or the
// destructor when that was the write-back. A creation that fails gives its
// reason the same way.
TEST_F(FaultInjectionTest, AFailedWriteBackGivesItsReasonAsAValueAndItsRecordNamesTheCall) {
    const fs::path file = fileAt("fruit", cache::User);
    vWriteLevel("fruit", cache::User, fruit);
    const std::string before = readFile(file);
    AdminWrapper wrapper;
    const AssertCapture capture;
    const SystemCallsRestore restore;
    const auto fullDisk = [](int, const void*, size_t) -> ssize_t { return errno = ENOSPC, -1; };
    {
        auto access = wrapper.writeAccessGet("fruit");
        ASSERT_TRUE(access.boLockFile(cache::User));
        platform::systemCalls().write = fullDisk;
        ASSERT_TRUE(access.boAddMapping("fig", "purple", cache::User));
        EXPECT_FALSE(access.boWriteBack());
        const classification::Failure& failure = access.failureGet();
        EXPECT_TRUE(failure.boFailed());
        EXPECT_EQ(failure.level, cache::User);
        EXPECT_EQ(failure.file, file);
        EXPECT_EQ(failure.kind, classification::FailureKind::SystemError);
        EXPECT_EQ(failure.sWhat, "Level file could not be written back");
        EXPECT_EQ(failure.error, ENOSPC);
        EXPECT_EQ(failure.sReason, "no space left on device");
        EXPECT_EQ(capture.messages(),
                  std::vector<std::string>{"Level file could not be written back: no space left on device"});
        EXPECT_EQ(capture.functions(), std::vector<std::string>{"vyr::classification::WriteAccess::boWriteBack"});

        // The next operation starts empty; the destructor's write-back fails too.
        capture.clear();
        ASSERT_TRUE(access.boAddMapping("fig", "purple", cache::User));
        EXPECT_FALSE(access.failureGet().boFailed());
    }
    EXPECT_EQ(capture.functions(), std::vector<std::string>{"vyr::classification::WriteAccess::~WriteAccess"});
    EXPECT_EQ(readFile(file), before);

    classification::Failure failure;
    EXPECT_FALSE(wrapper.boCreateClassification("fresh", "t", "", "", "", false, false, cache::User, failure));
    EXPECT_EQ(failure.level, cache::User);
    EXPECT_EQ(failure.file, fileAt("fresh", cache::User));
    EXPECT_EQ(failure.kind, classification::FailureKind::SystemError);
    EXPECT_EQ(failure.error, ENOSPC);
    EXPECT_FALSE(wrapper.boCreateClassification("fruit", "t", "", "", "", false, false, cache::User, failure));
    EXPECT_EQ(failure.kind, classification::FailureKind::Exists);
    EXPECT_EQ(failure.error, 0);
    platform::vSystemCallsReset();
    EXPECT_TRUE(wrapper.boCreateClassification("fresh", "t", "", "", "", false, false, cache::User, failure));
    EXPECT_FALSE(failure.boFailed());
    EXPECT_TRUE(failure.file.empty());
}

// The file system of a level folder, found in the mount table by the
// folder's device number: whether it shares locks between machines (and
// why not), and whether it is a network or FUSE file system. Without a
// mount table, statfs alone tells the type.
TEST_F(FaultInjectionTest, FileSystemsThatDoNotShareLocksAreNamed) {
    const SystemCallsRestore restore;
    struct stat status {};
    ASSERT_EQ(::stat(folder.path().c_str(), &status), 0);
    const std::string device = std::to_string(major(status.st_dev)) + ":" + std::to_string(minor(status.st_dev));
    gMountTable = folder / "mountinfo";
    platform::systemCalls().mountTableOpen = &mountTableFake;
    struct Case {
        const char* entry; // type, source and file-system options
        bool boRemote;
        const char* lockReason;
    };
    const Case cases[] = {
        {"cifs //server/levels rw,vers=3.1.1,cache=strict,nobrl,actimeo=1", true, "CIFS mounted with nobrl"},
        {"cifs //server/levels rw,vers=3.1.1,cache=strict", true, ""},
        {"nfs server:/levels rw,vers=3,nolock,local_lock=all", true, "NFS mounted with nolock"},
        {"nfs server:/levels rw,vers=3,local_lock=posix", true, "NFS mounted with local_lock=posix"},
        {"nfs4 server:/levels rw,vers=4.2,local_lock=none", true, ""},
        {"fuse.sshfs user@server:/levels rw,user_id=0", true, "FUSE file system fuse.sshfs"},
        {"ext4 /dev/sda1 rw", false, ""},
    };
    for (const Case& mounted : cases) {
        SCOPED_TRACE(mounted.entry);
        // Another file system with the options comes first; only the
        // folder's own device counts.
        writeFile(gMountTable, "20 1 0:9999 / /other rw - cifs //other/share rw,nobrl\n"
                               "21 1 " + device + " / /mnt/level\\040folders rw,relatime shared:7 - " +
                                   mounted.entry + "\n");
        platform::FileSystemKind kind;
        ASSERT_EQ(platform::fileSystemKindGet(folder.path(), kind), 0);
        EXPECT_EQ(kind.mountPoint, "/mnt/level folders");
        EXPECT_EQ(kind.boRemote, mounted.boRemote);
        EXPECT_EQ(kind.boLocksShared, std::string_view(mounted.lockReason).empty());
        EXPECT_EQ(kind.lockReason, mounted.lockReason);
    }

    platform::systemCalls().mountTableOpen = [] { return errno = ENOENT, -1; };
    platform::systemCalls().statfs = [](const char*, struct statfs* fileSystem) {
        *fileSystem = {};
        fileSystem->f_type = 0x65735546; // FUSE
        return 0;
    };
    platform::FileSystemKind kind;
    ASSERT_EQ(platform::fileSystemKindGet(folder.path(), kind), 0);
    EXPECT_EQ(kind.type, "fuse");
    EXPECT_TRUE(kind.boRemote);
    EXPECT_FALSE(kind.boLocksShared);
    EXPECT_EQ(platform::fileSystemKindGet(folder / "missing", kind), ENOENT);
}

} // namespace
} // namespace vyr::test
