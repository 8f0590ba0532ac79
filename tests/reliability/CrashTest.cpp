// A child process takes write access to a classification, locks its User
// file, changes one pair and writes it back by destroying the access; it is
// killed with SIGKILL at a random moment: before the lock, while locked, or
// during the write-back. After every kill the file must still read and hold
// either the mapping it had before the cycle or the one the child was
// writing: no file is ever torn.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <iostream>
#include <random>
#include <string>

#include "tests/common/StoreFixture.h"

namespace vyr::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCycles = 300;
constexpr int kSources = 1500;
const std::string kId = "crash";
const std::string kShort = "short";
const std::string kLong = "a-classified-id-long-enough-to-move-every-byte-after-it";

// Two mappings that differ in their first pair only, by enough bytes that a
// document mixed from both cannot read as either. Large enough (about
// 150 KB) that writing the document takes many system calls, each a moment
// a kill can land in.
Mapping mappingWith(const std::string& firstClassified) {
    Relation relation;
    for (int source = 0; source < kSources; ++source) {
        char name[32];
        std::snprintf(name, sizeof name, "source-%04d", source);
        relation[name] = {source == 0 ? firstClassified : "classified-id-of-" + std::string(name)};
    }
    return mappingOf(kId, relation);
}

// Where the child is: it reports each step on a pipe.
enum Step : char { Started = 'S', Locked = 'L', Edited = 'E' };

// Waits by spinning: a sleep is too coarse to place a kill inside a
// write-back.
void vSpin(std::chrono::nanoseconds delay) {
    const auto until = Clock::now() + delay;
    while (Clock::now() < until) {
    }
}

// The store fixture with the writer child and the pipe it reports on.
class CrashTest : public StoreFixture {
protected:
    // Starts a child that sets the first pair to the classified id and
    // reports its steps on the pipe.
    pid_t writerStart(const std::string& classified, int reportFd, int readFd) {
        return childStart([&] {
            ::close(readFd);
            const auto report = [reportFd](Step step) { (void)!::write(reportFd, &step, 1); };
            report(Started);
            AdminWrapper::vAdminReset();
            AdminWrapper wrapper;
            auto access = wrapper.writeAccessGet(kId);
            if (!access.boLockFile(cache::User)) {
                return 3;
            }
            report(Locked);
            if (!access.boSetMapping("source-0000", classified, cache::User)) {
                return 4;
            }
            report(Edited);
            return 0;
        });
    }

    // Reads steps until the wanted one; false when the child is gone first.
    static bool boStepAwait(int readFd, Step wanted) {
        char step = 0;
        while (::read(readFd, &step, 1) == 1) {
            if (step == wanted) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(CrashTest, KilledWriterLeavesTheOldOrTheNewMapping) {
    const Mapping shortMapping = mappingWith(kShort);
    const Mapping longMapping = mappingWith(kLong);
    vWriteLevel(kId, cache::User, shortMapping);

    // How long a whole write-back takes here, from the child's last report
    // to its end, measured on runs that are not killed.
    std::chrono::nanoseconds writeBack{0};
    std::chrono::nanoseconds whole{0};
    bool holdsShort = true;
    for (int run = 0; run < 4; ++run) {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        const auto start = Clock::now();
        const pid_t child = writerStart(holdsShort ? kLong : kShort, pipeFds[1], pipeFds[0]);
        ::close(pipeFds[1]);
        ASSERT_TRUE(boStepAwait(pipeFds[0], Edited));
        const auto edited = Clock::now();
        ASSERT_EQ(childWait(child), 0);
        ::close(pipeFds[0]);
        writeBack = std::max(writeBack, std::chrono::nanoseconds(Clock::now() - edited));
        whole = std::max(whole, std::chrono::nanoseconds(Clock::now() - start));
        holdsShort = !holdsShort;
        Mapping read;
        ASSERT_TRUE(boReadLevel(kId, cache::User, read));
        ASSERT_EQ(read, holdsShort ? shortMapping : longMapping);
    }

    std::mt19937 random(20240611);
    int torn = 0;
    int kept = 0;
    int written = 0;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const Mapping& before = holdsShort ? shortMapping : longMapping;
        const Mapping& after = holdsShort ? longMapping : shortMapping;
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        const pid_t child = writerStart(holdsShort ? kLong : kShort, pipeFds[1], pipeFds[0]);
        ::close(pipeFds[1]);

        // A quarter of the kills fall anywhere in the child's run (mostly
        // before the lock), a quarter while it is locked and editing, the
        // rest within the write-back.
        const auto phase = random() % 4;
        if (phase == 0) {
            boStepAwait(pipeFds[0], Started);
            vSpin(std::chrono::nanoseconds(random() % static_cast<std::uint64_t>(whole.count())));
        } else if (phase == 1) {
            if (boStepAwait(pipeFds[0], Locked)) {
                vSpin(std::chrono::nanoseconds(random() % static_cast<std::uint64_t>(writeBack.count())));
            }
        } else if (boStepAwait(pipeFds[0], Edited)) {
            vSpin(std::chrono::nanoseconds(random() % static_cast<std::uint64_t>(writeBack.count() * 3 / 2)));
        }
        ::kill(child, SIGKILL);
        childWait(child);
        ::close(pipeFds[0]);

        Mapping read;
        if (boReadLevel(kId, cache::User, read) && (read == before || read == after)) {
            if (read == before) {
                ++kept;
            } else {
                ++written;
                holdsShort = !holdsShort;
            }
            continue;
        }
        ++torn;
        vWriteLevel(kId, cache::User, before);
    }
    std::cout << "torn files: " << torn << " of " << kCycles << "\n"
              << "old mapping kept: " << kept << ", new mapping written: " << written << std::endl;
    // The write-back goes through a temporary file renamed over the level
    // file, so a kill at any moment leaves the old or the new document.
    EXPECT_EQ(torn, 0);
}

} // namespace
} // namespace vyr::test
