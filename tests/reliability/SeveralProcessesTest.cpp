// Eight processes add pairs to the same level of one classification at the
// same time, each through its own write access: writeAccessGet, boLockFile,
// one addition, destruction. The lock between processes and the re-read
// under it keep every pair; a reader process polling the file all the while
// never finds it unreadable.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "tests/reliability/ReliabilitySupport.h"

namespace vyr::test {
namespace {

constexpr int kProcesses = 8;
constexpr int kAdditions = 50;
const std::string kId = "shared";

std::string sourceOf(int process, int addition) {
    return "process-" + std::to_string(process) + "-pair-" + std::to_string(addition);
}

// The reliability fixture; the processes are forked in the test.
class SeveralProcessesTest : public ReliabilityFixture {};

TEST_F(SeveralProcessesTest, ConcurrentAdditionsAreAllKeptAndTheFileAlwaysReads) {
    vWriteLevel(kId, cache::User, mappingMake(kId));

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

} // namespace
} // namespace vyr::test
