// Several processes at one level of one classification. Eight add pairs at
// the same time, each through its own write access: writeAccessGet,
// boLockFile, one addition, destruction. The lock between processes and the
// re-read under it keep every pair, no waiter starves behind a holder that
// locks again at once, and a reader process polling the file all the while
// never finds it unreadable. A writer stopped while it waits for the lock
// keeps nobody out.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "Source/Core/Utilities/Cache/CacheWriteAccess.h"
#include "tests/common/StoreFixture.h"

namespace vyr::test {
namespace {

constexpr int kProcesses = 8;
constexpr int kAdditions = 50;
const std::string kId = "shared";

std::string sourceOf(int process, int addition) {
    return "process-" + std::to_string(process) + "-pair-" + std::to_string(addition);
}

// The store fixture; the processes are forked in the test.
class SeveralProcessesTest : public StoreFixture {};

TEST_F(SeveralProcessesTest, ConcurrentAdditionsAreAllKeptAndTheFileAlwaysReads) {
    vWriteLevel(kId, cache::User, mappingOf(kId));

    StartGate gate;
    std::vector<pid_t> children;
    for (int process = 0; process < kProcesses; ++process) {
        children.push_back(childStart([&, process] {
            gate.vWait();
            AdminWrapper::vAdminReset();
            AdminWrapper wrapper;
            for (int addition = 0; addition < kAdditions; ++addition) {
                auto access = wrapper.writeAccessGet(kId);
                if (!access.boLockFile(cache::User)) {
                    return 3;
                }
                if (!access.boAddMapping(sourceOf(process, addition), "classified", cache::User)) {
                    return 4;
                }
            }
            return 0;
        }));
    }
    // The reader counts the times it found the file unreadable, until the
    // parent closes its pipe.
    int stopFds[2];
    ASSERT_EQ(::pipe(stopFds), 0);
    const pid_t reader = childStart([&] {
        ::close(stopFds[1]);
        gate.vLeave();
        ::fcntl(stopFds[0], F_SETFL, O_NONBLOCK);
        int unreadable = 0;
        char ignored = 0;
        while (::read(stopFds[0], &ignored, 1) < 0) {
            Mapping seen;
            unreadable += boReadLevel(kId, cache::User, seen) ? 0 : 1;
        }
        return unreadable > 0 ? 3 : 0;
    });
    ::close(stopFds[0]);
    gate.vOpen();
    for (const pid_t child : children) {
        EXPECT_EQ(childWait(child), 0);
    }
    ::close(stopFds[1]);
    EXPECT_EQ(childWait(reader), 0) << "the reader found the file unreadable";

    Mapping result;
    ASSERT_TRUE(boReadLevel(kId, cache::User, result));
    int kept = 0;
    for (int process = 0; process < kProcesses; ++process) {
        for (int addition = 0; addition < kAdditions; ++addition) {
            const auto found = result.sourceToClassified.find(sourceOf(process, addition));
            kept += found != result.sourceToClassified.end() && found->second.count("classified") == 1 ? 1 : 0;
        }
    }
    std::cout << "pairs kept: " << kept << " of " << kProcesses * kAdditions << std::endl;
    EXPECT_EQ(kept, kProcesses * kAdditions);
}

// Whether some process announces itself as waiting for the lock of the
// lock file (a read lock from byte 2 on, see platform::FileLock).
bool boWaiterAnnounced(const fs::path& lockFile) {
    const int descriptor = ::open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = 2;
    range.l_len = 0; // to the end
    const bool boAnnounced = ::fcntl(descriptor, F_OFD_GETLK, &range) == 0 && range.l_type != F_UNLCK;
    ::close(descriptor);
    return boAnnounced;
}

// A writer stopped (SIGSTOP) while it waits for the lock holds nothing that
// others need: once the holder lets go, another writer gets the lock after
// at most a short yield, again and again, and the stopped one, continued,
// gets it too.
TEST_F(SeveralProcessesTest, AWriterStoppedWhileItWaitsKeepsNobodyOut) {
    vWriteLevel(kId, cache::User, mappingOf(kId));
    const fs::path lockFile = fileAt(kId, cache::User).string() + ".lock";
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t holder = lockHolderStart(kId, "holder", "classified", ready, release);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    const pid_t waiter = childStart([&] {
        for (const int fd : {ready[0], ready[1], release[0], release[1]}) {
            ::close(fd);
        }
        AdminWrapper::vAdminReset();
        AdminWrapper wrapper;
        auto access = wrapper.writeAccessGet(kId);
        return access.boLockFile(cache::User) && access.boAddMapping("waiter", "classified", cache::User) ? 0 : 3;
    });
    // The waiter is stopped only once it waits: polled, since nothing else
    // tells when it has found the lock held.
    const auto giveUp = std::chrono::steady_clock::now() + cache::kLockWait;
    while (!boWaiterAnnounced(lockFile) && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(boWaiterAnnounced(lockFile));
    ASSERT_EQ(::kill(waiter, SIGSTOP), 0);
    (void)!::write(release[1], "g", 1);
    EXPECT_EQ(childWait(holder), 0);

    AdminWrapper::vAdminReset();
    AdminWrapper wrapper;
    for (const char* source : {"first", "second"}) {
        const AssertCapture capture;
        const auto start = std::chrono::steady_clock::now();
        auto access = wrapper.writeAccessGet(kId);
        EXPECT_TRUE(access.boLockFile(cache::User)) << source;
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(access.boAddMapping(source, "classified", cache::User));
        EXPECT_EQ(capture.count(), 0U) << (capture.count() > 0 ? capture.messages().front() : "");
        std::cout << "lock taken beside a stopped waiter after "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() << " ms" << std::endl;
    }
    ASSERT_EQ(::kill(waiter, SIGCONT), 0);
    EXPECT_EQ(childWait(waiter), 0);
    for (const int fd : {ready[0], ready[1], release[0], release[1]}) {
        ::close(fd);
    }

    Mapping result;
    ASSERT_TRUE(boReadLevel(kId, cache::User, result));
    for (const char* source : {"holder", "first", "second", "waiter"}) {
        EXPECT_EQ(result.sourceToClassified.count(source), 1U) << source;
    }
}

} // namespace
} // namespace vyr::test
