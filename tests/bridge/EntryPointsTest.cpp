// The entry points under the real runtime, with the recording module: the
// order of the calls and what reaches the module, errors both ways, and what
// a run leaves behind.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Source/Core/Utilities/Cache/Level.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "bridge/ClassificationEntryPoints.h"
#include "external/classification/ClassificationUiCallbackInterface.h"
#include "external/definition/AdminWrapper.h"
#include "external/definition/Node.h"
#include "external/directories/Directories.h"
#include "external/managed/DotnetRuntime.h"
#include "external/managed/ModuleLoader.h"
#include "external/managed/System/ArgumentOutOfRangeException.h"
#include "tests/common/TestSupport.h"

namespace vyr::test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using cache::Level;

// The host's own error, thrown by its callback.
struct HostError : std::runtime_error {
    HostError() : std::runtime_error("the host's window is gone") { thrown = this; }
    static inline const HostError* thrown = nullptr;
};

class Callback final : public classification::ClassificationUiCallbackInterface {
public:
    void vProgress(int iDone, int iTotal) override { lines.push_back(std::to_string(iDone) + "/" + std::to_string(iTotal)); }
    void vMessage(const std::string& sMessage) override {
        if (boFail) {
            throw HostError();
        }
        lines.push_back(sMessage);
    }
    std::vector<std::string> lines;
    bool boFail = false;
};

// The recording module named to the runtime, a copy of the sample data as
// the store's folders, and the log the module writes.
class EntryPoints : public ::testing::Test {
protected:
    void SetUp() override {
        managed::runtime::vModuleFileSet(VYR_RECORDING_MODULE_PATH);
        fs::copy(VYR_SAMPLE_DATA, temp_ / "data", fs::copy_options::recursive);
        Directories::vSysDirectorySet(temp_ / "data" / "system");
        Directories::vSharedDirectoriesSet({temp_ / "data" / "shared"});
        Directories::vUserDirectorySet(temp_ / "data" / "user");
        admin_.emplace();
        log_ = temp_ / "log";
        ::setenv("VYR_RECORDING_LOG", log_.c_str(), 1);
    }

    // Plans what the module does from the next call on ("NAME=value" lines;
    // none plans nothing).
    void vPlan(const std::string& lines) { writeFile(log_.string() + ".plan", lines); }

    void vClassify(const std::string& sDefinition, Level outputLevel, Callback* callback) {
        bridge::classification::vClassify(Directories::getInstance(), *admin_, definitions_, "Mapping", "", Level::Shared,
                                          outputLevel, sDefinition, callback);
    }

    // The log's lines, emptied.
    std::vector<std::string> logTaken() {
        std::vector<std::string> lines;
        std::ifstream in(log_);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        in.close();
        fs::remove(log_);
        return lines;
    }

    TempFolder temp_;
    fs::path log_;
    std::optional<bridge::classification::AdminWrapper> admin_;
    bridge::definition::AdminWrapper definitions_{"definitions"};
};

// The UTF-16 code units of UTF-8 text, as the module records them.
std::string hex(std::u16string_view units) {
    std::ostringstream text;
    for (std::size_t index = 0; index < units.size(); ++index) {
        char unit[8];
        std::snprintf(unit, sizeof unit, "%s%04x", index == 0 ? "" : ",", static_cast<unsigned>(units[index]));
        text << unit;
    }
    return units.empty() ? "-" : text.str();
}

TEST_F(EntryPoints, BothEntryPointsCallTheModuleInOrderWithTheConvertedStrings) {
    Callback callback;
    // A character outside the Basic Multilingual Plane is two code units; an
    // empty string stays empty; a level outside the known ones passes as it is.
    vClassify("\xF0\x9D\x84\x9E" "a", static_cast<Level>(7), &callback);
    const std::string user = hex((temp_ / "data" / "user").u16string());
    EXPECT_THAT(logTaken(), ElementsAre("construct", "vInit " + user + " " + hex(u"definitions"),
                                        "vClassify " + hex(u"Mapping") + " - 1 7 d834,dd1e,0061 callback"));
    vClassify("", Level::User, nullptr);
    EXPECT_THAT(logTaken(), ElementsAre("construct", "vInit " + user + " " + hex(u"definitions"),
                                        "vClassify " + hex(u"Mapping") + " - 1 2 - no-callback"));

    definition::Node root("root");
    root.addChild(definition::Node("leaf"));
    bridge::classification::vClassify(Directories::getInstance(), *admin_, definitions_, "Mapping", root);
    EXPECT_THAT(logTaken(), ElementsAre("construct", "vInit " + user + " " + hex(u"definitions"),
                                        "vClassifyNodes " + hex(u"Mapping") + " " + hex(u"root") + " 1 True"));

    // A string that is not UTF-8 fails after vInit, and no run starts.
    EXPECT_THROW(vClassify("\xff", Level::User, nullptr), std::system_error);
    EXPECT_THAT(logTaken(), ElementsAre("construct", "vInit " + user + " " + hex(u"definitions")));
    EXPECT_EQ(managed::runtime::moduleFileLoadedGet(), fs::path(VYR_RECORDING_MODULE_PATH));
}

TEST_F(EntryPoints, ErrorsReachTheHostAsTheirOwnTypes) {
    // What the module throws: its type, message and stack trace.
    for (const char* operation : {"construct", "vInit", "vClassify"}) {
        SCOPED_TRACE(operation);
        vPlan(std::string("VYR_RECORDING_THROW=") + operation + "\n");
        try {
            vClassify("x", Level::User, nullptr);
            ADD_FAILURE() << "nothing thrown";
        } catch (const managed::runtime::ManagedException& error) {
            EXPECT_EQ(error.sTypeNameGet(), "System.InvalidOperationException");
            EXPECT_EQ(error.sMessageGet(), std::string(operation) + " failed");
            EXPECT_THAT(error.sStackTraceGet(), HasSubstr("CommonClassificationModule"));
        }
    }
    vPlan("VYR_RECORDING_THROW=vClassify:range\n");
    try {
        vClassify("x", Level::User, nullptr);
        ADD_FAILURE() << "nothing thrown";
    } catch (const managed::System::ArgumentOutOfRangeException& error) {
        EXPECT_THAT(error.Message(), HasSubstr("vClassify out of range"));
        EXPECT_THAT(error.sStackTraceGet(), HasSubstr("CommonClassificationModule"));
    }
    // A native error inside a call the module made: the very exception the
    // host's callback threw, unless the module wrapped it.
    vPlan("VYR_RECORDING_CALLBACK=1\n");
    Callback callback;
    callback.boFail = true;
    try {
        vClassify("x", Level::User, &callback);
        ADD_FAILURE() << "nothing thrown";
    } catch (const HostError& error) {
        EXPECT_EQ(&error, HostError::thrown);
    }
    EXPECT_THAT(callback.lines, ElementsAre("1/2"));
    vPlan("VYR_RECORDING_CALLBACK=1\nVYR_RECORDING_WRAP=1\n");
    try {
        vClassify("x", Level::User, &callback);
        ADD_FAILURE() << "nothing thrown";
    } catch (const managed::runtime::ManagedException& error) {
        EXPECT_EQ(error.sTypeNameGet(), "System.InvalidOperationException");
        EXPECT_EQ(error.sMessageGet(), "the callback failed");
    }
}

TEST_F(EntryPoints, ARunClosesItsProxiesAndWritesBackWhatTheModuleLeftOpen) {
    vPlan("VYR_RECORDING_KEEP=1\nVYR_RECORDING_LEAVE=materials\n");
    vClassify("x", Level::User, nullptr);
    // The access the module left open was written back, and its lock let go.
    EXPECT_THAT(readFile(temp_ / "data" / "user" / "Classification" / "materials.xml"), HasSubstr("left"));
    {
        auto access = admin_->writeAccessGet("materials");
        EXPECT_TRUE(access.boLockFile(Level::User));
    }
    vPlan("VYR_RECORDING_KEEP=1\n");
    logTaken();
    vClassify("x", Level::User, nullptr);
    EXPECT_THAT(logTaken(), ::testing::Contains("kept is closed"));
}

TEST_F(EntryPoints, TwoThreadsRunTwoModulesAtOnce) {
    std::vector<std::thread> threads;
    for (int index = 0; index < 2; ++index) {
        threads.emplace_back([this] { vClassify("x", Level::User, nullptr); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    const std::vector<std::string> lines = logTaken();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "construct"), 2);
    EXPECT_EQ(lines.size(), 6U);
}

} // namespace
} // namespace vyr::test
