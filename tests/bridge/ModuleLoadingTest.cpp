// A program that links the bridge library alone, with no module: it queries
// the store without any module library in the process, and each module
// library that cannot be used makes the entry points throw, naming the file
// and the reason, before anything is made or written. The next call tries
// again.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "Source/Core/Utilities/Cache/Level.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "bridge/ClassificationEntryPoints.h"
#include "external/classification/ClassificationUiCallbackInterface.h"
#include "external/definition/AdminWrapper.h"
#include "external/definition/Node.h"
#include "external/directories/Directories.h"
#include "external/managed/ModuleLoader.h"
#include "external/managed/Runtime.h"
#include "tests/common/TestSupport.h"

namespace vyr::test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// Counts what a run reports; no run should report anything here.
class CountingCallback final : public classification::ClassificationUiCallbackInterface {
public:
    void vProgress(int, int) override { ++calls; }
    void vMessage(const std::string&) override { ++calls; }
    int calls = 0;
};

// Every file below the folder, with its size.
std::vector<std::string> filesGet(const fs::path& folder) {
    std::vector<std::string> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path().string() + " " + std::to_string(entry.file_size()));
        }
    }
    return files;
}

TEST(ModuleLoading, QueriesNeedNoModuleAndAnUnusableModuleFailsTheEntryPoint) {
    TempFolder temp;
    fs::copy(VYR_SAMPLE_DATA, temp / "data", fs::copy_options::recursive);
    Directories::vSysDirectorySet(temp / "data" / "system");
    Directories::vSharedDirectoriesSet({temp / "data" / "shared"});
    Directories::vUserDirectorySet(temp / "data" / "user");
    std::atomic<int> created{0};
    managed::runtime::vAllocationObserverSet([&created](std::string_view, const void*) { ++created; });

    bridge::classification::AdminWrapper admin;
    EXPECT_EQ(admin.sClassifiedIdGet("materials", "bolt"), "steel");
    // The queries loaded no module, not even the one beside the bridge.
    Dl_info bridge{};
    ASSERT_NE(::dladdr(::dlsym(RTLD_DEFAULT, "_ZNK3vyr10definition4Node13boHasChildrenEv"), &bridge), 0);
    const fs::path bridgeFolder = fs::path(bridge.dli_fname).parent_path();
    const fs::path besideBridge = bridgeFolder / managed::runtime::kModuleFileName;
    EXPECT_EQ(::dlopen(besideBridge.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);

    const std::vector<std::string> filesBefore = filesGet(temp / "data");
    bridge::definition::AdminWrapper definitions("definitions");
    CountingCallback callback;
    const auto vClassify = [&] {
        bridge::classification::vClassify(Directories::getInstance(), admin, definitions, "materials",
                                          "approved-materials", cache::User, cache::User, "approved-parts",
                                          &callback);
    };
    const auto vClassifyNodes = [&] {
        bridge::classification::vClassify(Directories::getInstance(), admin, definitions, "materials",
                                          definition::Node("root"));
    };

    struct Case {
        fs::path file;
        std::vector<std::string> reason;
    };
    const fs::path missing = temp / "libVyrLater.so";
    const std::vector<Case> cases = {
        {missing, {missing.string() + ": cannot open shared object file"}},
        {"libVyrNoSuchModule.so",
         {"not in " + bridgeFolder.string(), "the library search failed: libVyrNoSuchModule.so: cannot open"}},
        {VYR_NO_FACTORY_LIBRARY_PATH,
         {"has no factory function vyrClassificationModuleCreate: ",
          "undefined symbol: vyrClassificationModuleCreate"}},
        {VYR_OTHER_VERSION_MODULE_PATH,
         {fs::canonical(VYR_OTHER_VERSION_MODULE_PATH).string() +
          " was built for module interface version 2; this runtime needs version 1"}},
    };
    for (const Case& failing : cases) {
        SCOPED_TRACE(failing.file);
        managed::runtime::vModuleFileSet(failing.file);
        for (int attempt = 0; attempt < 2; ++attempt) {
            try {
                attempt == 0 ? vClassify() : vClassifyNodes();
                ADD_FAILURE() << "an unusable module was used";
            } catch (const managed::runtime::ModuleLoadException& error) {
                EXPECT_EQ(error.fileGet(), failing.file);
                EXPECT_THAT(error.what(), StartsWith("Cannot load the classification module \"" +
                                                     failing.file.string() + "\": " + error.sReasonGet()));
                for (const std::string& part : failing.reason) {
                    EXPECT_THAT(error.sReasonGet(), HasSubstr(part));
                }
            }
        }
    }
    // Nothing was made, called or written.
    EXPECT_EQ(created.load(), 0);
    EXPECT_EQ(callback.calls, 0);
    EXPECT_EQ(filesGet(temp / "data"), filesBefore);

    // The next call tries again: the missing file is there now.
    fs::copy_file(VYR_RECORDING_MODULE_PATH, missing);
    managed::runtime::vModuleFileSet(missing);
    EXPECT_NO_THROW(vClassify());
    EXPECT_GT(created.load(), 0);

    managed::runtime::vModuleFileSet({});
    EXPECT_EQ(managed::runtime::moduleFileGet(), managed::runtime::kModuleFileName);
    managed::runtime::vAllocationObserverSet({});
}

} // namespace
} // namespace vyr::test
