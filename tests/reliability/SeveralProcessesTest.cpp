// Eight processes add pairs to the same level of one classification at the
// same time, each through its own write access: writeAccessGet, boLockFile,
// one addition, destruction. Nothing serialises the processes, so a
// write-back can replace a file that another process wrote after this one
// read it, and pairs get lost. The test measures how many survive and
// checks that the file reads at the end; it does not expect a number.

#include <gtest/gtest.h>
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

TEST_F(SeveralProcessesTest, ConcurrentAdditionsLeaveAReadableFile) {
    vWriteLevel(kId, cache::User, mappingMake(kId));

    // The children wait on this pipe until the parent closes it, so that
    // they start together.
    int startFds[2];
    ASSERT_EQ(::pipe(startFds), 0);
    std::vector<pid_t> children;
    for (int process = 0; process < kProcesses; ++process) {
        children.push_back(childStart([&, process] {
            ::close(startFds[1]);
            char ignored = 0;
            (void)!::read(startFds[0], &ignored, 1);
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
    ::close(startFds[0]);
    ::close(startFds[1]);
    for (const pid_t child : children) {
        EXPECT_EQ(childWait(child), 0);
    }

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
}

} // namespace
} // namespace vyr::test
