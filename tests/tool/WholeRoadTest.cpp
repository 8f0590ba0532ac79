// The whole road, in a program that links only the bridge library and the
// sibling shared libraries: the host names the sample module by its file
// name, sets the level folders, calls the first entry point, which loads the
// sample from beside the bridge, and
// finds the module's result in the store (through the wrapper) and in the
// files (read again by a fresh store).

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
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
#include "tests/common/TestSupport.h"

namespace vyr::test {
namespace {

namespace fs = std::filesystem;
using bridge::classification::AdminWrapper;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Ids = std::set<std::string>;

// Keeps what a run reports. One run, one thread.
class RecordingCallback final : public classification::ClassificationUiCallbackInterface {
public:
    void vProgress(int iDone, int iTotal) override { progress.emplace_back(iDone, iTotal); }
    void vMessage(const std::string& sMessage) override { messages.push_back(sMessage); }

    std::vector<std::pair<int, int>> progress;
    std::vector<std::string> messages;
};

// Each test gets its own copy of the sample data, the directory service
// pointed at it and a fresh process-wide store. One thread.
class WholeRoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        managed::runtime::vModuleFileSet(VYR_SAMPLE_MODULE_FILE);
        fs::copy(VYR_SAMPLE_DATA, temp.path(), fs::copy_options::recursive);
        Directories::vSysDirectorySet(temp / "system");
        Directories::vSharedDirectoriesSet({temp / "shared"});
        Directories::vUserDirectorySet(temp / "user");
        AdminWrapper::vAdminReset(); // the next wrapper makes a store over these folders
    }
    void TearDown() override { AdminWrapper::vAdminReset(); }

    void vRun(cache::Level input, classification::ClassificationUiCallbackInterface* callback,
              const std::string& mapping = "materials") {
        AdminWrapper store;
        bridge::definition::AdminWrapper definitions("definitions");
        bridge::classification::vClassify(Directories::getInstance(), store, definitions, mapping, "approved-materials",
                                          input, cache::User, "approved-parts", callback);
    }

    // The classified ids of the source in approved-parts, empty when none.
    static Ids classifiedOf(AdminWrapper& store, const std::string& source) {
        const Ids* ids = store.pClassifiedIdsGet("approved-parts", source);
        return ids == nullptr ? Ids() : *ids;
    }

    [[nodiscard]] fs::path resultFile() const { return temp / "user" / "Classification" / "approved-parts.xml"; }

    TempFolder temp;
};

TEST_F(WholeRoadTest, TheModulesResultIsInTheStoreAndInTheFiles) {
    RecordingCallback callback;
    vRun(cache::User, &callback);

    AdminWrapper store;
    EXPECT_EQ(classifiedOf(store, "bolt"), Ids({"steel"}));
    EXPECT_EQ(classifiedOf(store, "bracket"), Ids({"aluminium"}));
    EXPECT_EQ(classifiedOf(store, "panel"), Ids({"glass", "polycarbonate"}));
    EXPECT_EQ(store.pClassifiedIdsGet("approved-parts", "clip"), nullptr);   // nylon is not allowed
    EXPECT_EQ(store.pClassifiedIdsGet("approved-parts", "gasket"), nullptr); // emptied at user
    EXPECT_EQ(store.pClassifiedIdsGet("approved-parts", "hinge"), nullptr);  // brass withdrawn at shared
    EXPECT_EQ(store.cachesGet("approved-parts")->levels.size(), 1U);
    EXPECT_EQ(store.cachesGet("approved-parts")->levels.count(cache::User), 1U);
    EXPECT_EQ(store.sText3Get("approved-parts"), "made by the sample classification module");

    EXPECT_EQ(callback.progress.size(), 6U);
    EXPECT_EQ(callback.progress.back(), std::make_pair(6, 6));
    EXPECT_THAT(callback.messages,
                ElementsAre(HasSubstr("reading materials up to level user"), "created approved-parts at level user",
                            "kept 4 pairs of 3 source ids; wrote them into approved-parts at level user"));

    // The file holds the result: a fresh store reads the same from it.
    ASSERT_TRUE(fs::is_regular_file(resultFile()));
    EXPECT_THAT(readFile(resultFile()), HasSubstr("<source id=\"panel\">\n      <classified id=\"glass\" />\n"
                                                  "      <classified id=\"polycarbonate\" />\n    </source>"));
    AdminWrapper::vAdminReset();
    AdminWrapper fresh;
    EXPECT_EQ(classifiedOf(fresh, "bolt"), Ids({"steel"}));
    EXPECT_EQ(classifiedOf(fresh, "bracket"), Ids({"aluminium"}));
    EXPECT_EQ(classifiedOf(fresh, "panel"), Ids({"glass", "polycarbonate"}));
    ASSERT_NE(fresh.pSourceIdsGet("approved-parts", "steel"), nullptr);
    EXPECT_EQ(*fresh.pSourceIdsGet("approved-parts", "steel"), Ids({"bolt"}));
}

TEST_F(WholeRoadTest, TheInputLevelBoundsWhatIsReadAndARerunReplacesTheResult) {
    vRun(cache::Shared, nullptr); // no callback: the run reports nothing and still works
    {
        AdminWrapper store;
        EXPECT_EQ(classifiedOf(store, "gasket"), Ids({"rubber"}));
        EXPECT_EQ(classifiedOf(store, "panel"), Ids({"glass"}));
    }
    // A run that keeps nothing of the gasket empties it where the first run wrote it.
    vRun(cache::User, nullptr);
    AdminWrapper::vAdminReset();
    AdminWrapper store;
    EXPECT_EQ(classifiedOf(store, "gasket"), Ids());
    EXPECT_EQ(classifiedOf(store, "panel"), Ids({"glass", "polycarbonate"}));
    EXPECT_THAT(readFile(resultFile()), HasSubstr("<source id=\"gasket\" />"));
}

TEST_F(WholeRoadTest, AFailedRunReachesTheHostAndWritesNothing) {
    EXPECT_THROW(vRun(cache::User, nullptr, "colours"), managed::runtime::ManagedException);
    EXPECT_FALSE(fs::exists(resultFile()));

    // The node run prints each node with what the mapping gives it.
    AdminWrapper store;
    bridge::definition::AdminWrapper definitions("definitions");
    definition::Node root("assembly");
    root.addChild(definition::Node("bracket"));
    ::testing::internal::CaptureStdout();
    bridge::classification::vClassify(Directories::getInstance(), store, definitions, "materials", root);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "module: nodes classified by materials\n"
                                                        "  assembly (1 child): not classified\n"
                                                        "    bracket (0 children): aluminium\n");
}

} // namespace
} // namespace vyr::test
