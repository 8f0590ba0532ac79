#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <optional>
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
#include "external/managed/ModuleLoader.h"
#include "tests/support/RecordingModule.h"

namespace {

using vyr::cache::Level;
using vyr::test::Record;
using vyr::test::Recorder;

const std::string kModuleCreated = "new CommonClassification.Modules.CommonClassificationModule";
const std::string kDirectoriesCreated = "new vyr.bridge.Directories";
const std::string kClassificationAdminCreated = "new vyr.bridge.classification.Admin";
const std::string kDefinitionAdminCreated = "new vyr.bridge.definition.Admin";
const std::string kCallbackCreated = "new vyr.bridge.classification.CommonClassificationCallback";
const std::string kNodeCreated = "new vyr.bridge.definition.Node";
const std::string kStringCreated = "new System.String";

// A callback the module never calls; only its address travels.
class SilentCallback final : public vyr::classification::ClassificationUiCallbackInterface {
public:
    void vProgress(int, int) override {}
    void vMessage(const std::string&) override {}
};

// Names the recording module to the runtime, as a host names its module,
// points the directory service at a folder of its own, records what the
// recording module sees, and calls the entry points with the caller's
// objects it holds. The runtime loads the module at the first call; this
// program also links it, to read its log, and the loader finds that same
// library.
class EntryPoints : public ::testing::Test {
protected:
    void SetUp() override {
        managed::runtime::vModuleFileSet(VYR_RECORDING_MODULE_PATH);
        static std::atomic<int> counter{0};
        folder_ = std::filesystem::temp_directory_path() /
                  ("vyr-entry-points-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(folder_);
        vyr::Directories::vSysDirectorySet(folder_ / "sys");
        vyr::Directories::vSharedDirectoriesSet({folder_ / "shared"});
        vyr::Directories::vUserDirectorySet(folder_ / "user");
        classificationAdmin_.emplace();
        Recorder::vStart();
    }

    void TearDown() override {
        Recorder::vStop();
        std::error_code error;
        std::filesystem::remove_all(folder_, error);
    }

    void vClassify(const std::string& sMapping, const std::string& sFilter, Level iLevel, Level outputLevel,
                   const std::string& sDefinition, vyr::classification::ClassificationUiCallbackInterface* callback) {
        vyr::bridge::classification::vClassify(vyr::Directories::getInstance(), *classificationAdmin_, definitionAdmin_,
                                               sMapping, sFilter, iLevel, outputLevel, sDefinition, callback);
    }

    void vClassifyNodes(const std::string& sMapping, const vyr::definition::Node& node) {
        vyr::bridge::classification::vClassify(vyr::Directories::getInstance(), *classificationAdmin_, definitionAdmin_,
                                               sMapping, node);
    }

    // The only record of that operation.
    static Record recordGet(const std::string& sOperation) {
        std::vector<Record> found;
        for (Record& record : Recorder::recordsGet()) {
            if (record.sOperation == sOperation) {
                found.push_back(std::move(record));
            }
        }
        EXPECT_EQ(found.size(), 1U) << sOperation;
        return found.empty() ? Record{} : found.front();
    }

    std::filesystem::path folder_;
    std::optional<vyr::bridge::classification::AdminWrapper> classificationAdmin_;
    vyr::bridge::definition::AdminWrapper definitionAdmin_{"definitions"};
};

TEST_F(EntryPoints, ClassifyBuildsModuleAndProxiesThenConvertsAndRuns) {
    SilentCallback callback;
    vClassify("Mapping", "Filter", Level::Shared, Level::User, "Definition", &callback);

    const std::vector<std::string> expected = {
        "construct",     kModuleCreated,  kDirectoriesCreated, kClassificationAdminCreated, kDefinitionAdminCreated,
        kCallbackCreated, "vInit",        kStringCreated,      kStringCreated,              kStringCreated,
        "vClassify"};
    ASSERT_EQ(Recorder::operationsGet(), expected);

    const std::vector<Record> records = Recorder::recordsGet();
    const void* module = records[0].object;
    EXPECT_EQ(records[1].object, module);
    const Record& init = records[6];
    EXPECT_EQ(init.object, module);
    EXPECT_EQ(init.arguments, (std::vector<const void*>{records[2].object, records[3].object, records[4].object}));
    EXPECT_EQ(init.natives, (std::vector<const void*>{&vyr::Directories::getInstance(), &*classificationAdmin_,
                                                      &definitionAdmin_}));

    // The definition to update is converted first, then the filter, then the
    // mapping name; the run takes them as mapping, filter, definition.
    const Record& run = records[10];
    EXPECT_EQ(run.object, module);
    EXPECT_EQ(run.arguments, (std::vector<const void*>{records[9].object, records[8].object, records[7].object,
                                                       records[5].object}));
    EXPECT_EQ(run.strings, (std::vector<std::u16string>{u"Mapping", u"Filter", u"Definition"}));
    EXPECT_EQ(run.integers, (std::vector<std::int32_t>{1, 2}));
    EXPECT_EQ(run.natives, (std::vector<const void*>{&callback}));
}

TEST_F(EntryPoints, NullCallbackGivesNullArgumentAndNoProxy) {
    vClassify("Mapping", "", Level::User, Level::Sys, "", nullptr);

    const std::vector<std::string> expected = {"construct",    kModuleCreated, kDirectoriesCreated,
                                               kClassificationAdminCreated, kDefinitionAdminCreated, "vInit",
                                               kStringCreated, kStringCreated,  kStringCreated, "vClassify"};
    ASSERT_EQ(Recorder::operationsGet(), expected);
    const Record run = recordGet("vClassify");
    ASSERT_EQ(run.arguments.size(), 4U);
    EXPECT_EQ(run.arguments[3], nullptr);
    EXPECT_EQ(run.natives, (std::vector<const void*>{nullptr}));
    EXPECT_EQ(run.integers, (std::vector<std::int32_t>{2, 0}));
}

TEST_F(EntryPoints, EachCallMakesItsOwnModuleAndCallbackProxy) {
    SilentCallback callback;
    vClassify("A", "B", Level::Sys, Level::User, "C", &callback);
    vClassify("A", "B", Level::Sys, Level::User, "C", &callback);

    int modules = 0;
    int callbackProxies = 0;
    std::vector<const void*> runModules;
    for (const Record& record : Recorder::recordsGet()) {
        modules += record.sOperation == kModuleCreated ? 1 : 0;
        callbackProxies += record.sOperation == kCallbackCreated ? 1 : 0;
        if (record.sOperation == "vClassify") {
            runModules.push_back(record.object);
        }
    }
    EXPECT_EQ(modules, 2);
    EXPECT_EQ(callbackProxies, 2);
    EXPECT_EQ(runModules.size(), 2U);
}

TEST_F(EntryPoints, ClassifyNodesMakesTheNodeProxyFirst) {
    vyr::definition::Node node("root");
    node.addChild(vyr::definition::Node("child"));
    const vyr::definition::Node& constNode = node;
    vClassifyNodes("Nodes", constNode);

    const std::vector<std::string> expected = {"construct",          kModuleCreated,
                                               kNodeCreated,         kDirectoriesCreated,
                                               kClassificationAdminCreated, kDefinitionAdminCreated,
                                               "vInit",              kStringCreated,
                                               "vClassifyNodes"};
    ASSERT_EQ(Recorder::operationsGet(), expected);

    const std::vector<Record> records = Recorder::recordsGet();
    const void* module = records[0].object;
    EXPECT_EQ(records[6].object, module);
    EXPECT_EQ(records[6].arguments, (std::vector<const void*>{records[3].object, records[4].object, records[5].object}));
    const Record& run = records[8];
    EXPECT_EQ(run.object, module);
    EXPECT_EQ(run.arguments, (std::vector<const void*>{records[7].object, records[2].object}));
    EXPECT_EQ(run.strings, (std::vector<std::u16string>{u"Nodes"}));
    // The caller's own node, not a copy.
    EXPECT_EQ(run.natives, (std::vector<const void*>{&node}));
}

TEST_F(EntryPoints, StringsReachTheModuleAsUtf16CodeUnits) {
    // Outside the Basic Multilingual Plane: four bytes, two code units.
    const std::string outsideBmp = "\xF0\x9F\x93\x90";
    const std::string withNul("before\0after", 12);
    vClassify(outsideBmp, withNul, Level::Sys, Level::Sys, "", nullptr);
    Record run = recordGet("vClassify");
    EXPECT_EQ(run.strings, (std::vector<std::u16string>{{char16_t(0xD83D), char16_t(0xDCD0)},
                                                        std::u16string(u"before\0after", 12), u""}));

    Recorder::vStart();
    const std::string plain = "Plain ASCII mapping name";
    vClassify("x", "\xC3\x9C" "bersicht", Level::Sys, Level::Sys, plain, nullptr);
    run = recordGet("vClassify");
    ASSERT_EQ(run.strings.size(), 3U);
    EXPECT_EQ(run.strings[0], u"x");
    EXPECT_EQ(run.strings[1], u"\u00DC" u"bersicht");
    EXPECT_EQ(run.strings[2], std::u16string(plain.begin(), plain.end()));

    Recorder::vStart();
    const vyr::definition::Node node;
    vClassifyNodes(outsideBmp + "z", node);
    EXPECT_EQ(recordGet("vClassifyNodes").strings,
              (std::vector<std::u16string>{{char16_t(0xD83D), char16_t(0xDCD0), u'z'}}));
}

TEST_F(EntryPoints, LevelsPassUnchecked) {
    vClassify("m", "f", static_cast<Level>(7), static_cast<Level>(-1), "d", nullptr);
    EXPECT_EQ(recordGet("vClassify").integers, (std::vector<std::int32_t>{7, -1}));
}

TEST_F(EntryPoints, FailedConversionStopsAfterInit) {
    const auto vExpectIllegalByteSequence = [](const auto& call) {
        try {
            call();
            ADD_FAILURE() << "invalid UTF-8 was accepted";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code(), std::make_error_code(std::errc::illegal_byte_sequence)) << error.what();
        }
    };
    const std::vector<std::string> throughInit = {"construct",    kModuleCreated, kDirectoriesCreated,
                                                  kClassificationAdminCreated, kDefinitionAdminCreated, "vInit"};

    // The definition to update is converted first: neither name is converted.
    vExpectIllegalByteSequence([this] { vClassify("Mapping", "Filter", Level::Sys, Level::User, "\xC3(", nullptr); });
    EXPECT_EQ(Recorder::operationsGet(), throughInit);

    // A bad filter name: the definition was converted, the mapping name not.
    Recorder::vStart();
    vExpectIllegalByteSequence([this] { vClassify("Mapping", "\xFF", Level::Sys, Level::User, "ok", nullptr); });
    std::vector<std::string> expected = throughInit;
    expected.push_back(kStringCreated);
    EXPECT_EQ(Recorder::operationsGet(), expected);

    Recorder::vStart();
    const vyr::definition::Node node;
    vExpectIllegalByteSequence([this, &node] { vClassifyNodes("\xED\xA0\x80", node); });
    expected = throughInit;
    expected.insert(expected.begin() + 2, kNodeCreated);
    EXPECT_EQ(Recorder::operationsGet(), expected);
}

TEST_F(EntryPoints, ModuleErrorsReachTheCallerUnchanged) {
    const vyr::definition::Node node;
    for (const char* operation : {"construct", "vInit", "vClassify"}) {
        SCOPED_TRACE(operation);
        Recorder::vStart();
        Recorder::vFailureSet(operation);
        try {
            vClassify("m", "f", Level::Sys, Level::Sys, "d", nullptr);
            ADD_FAILURE() << "the module's error was lost";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), std::string(operation) + " failed");
        }
        EXPECT_EQ(Recorder::operationsGet().back(), operation);
    }
    Recorder::vStart();
    Recorder::vFailureSet("vClassifyNodes");
    EXPECT_THROW(vClassifyNodes("m", node), std::runtime_error);
}

TEST_F(EntryPoints, ConcurrentCallsRunSeparateModules) {
    constexpr int kCallsPerThread = 20;
    SilentCallback callback;
    const auto vCalls = [this, &callback] {
        for (int call = 0; call < kCallsPerThread; ++call) {
            vClassify("Mapping", "Filter", Level::Shared, Level::User, "Definition", &callback);
        }
    };
    std::thread first(vCalls);
    std::thread second(vCalls);
    first.join();
    second.join();

    int runs = 0;
    for (const Record& record : Recorder::recordsGet()) {
        if (record.sOperation == "vClassify") {
            ++runs;
            EXPECT_EQ(record.strings, (std::vector<std::u16string>{u"Mapping", u"Filter", u"Definition"}));
        }
    }
    EXPECT_EQ(runs, 2 * kCallsPerThread);
}

TEST(NodeExport, BridgeAnswersForTheDefinitionLibrary) {
    vyr::definition::Node leaf("leaf");
    vyr::definition::Node parent("parent");
    parent.addChild(vyr::definition::Node("child"));
    EXPECT_FALSE(leaf.boHasChildren());
    EXPECT_TRUE(parent.boHasChildren());

    // This program has no definition library of its own: the function it
    // called is the one the bridge library exports.
    void* const function = ::dlsym(RTLD_DEFAULT, "_ZNK3vyr10definition4Node13boHasChildrenEv");
    ASSERT_NE(function, nullptr);
    Dl_info info{};
    ASSERT_NE(::dladdr(function, &info), 0);
    // The program loads the bridge library by its SONAME.
    EXPECT_EQ(std::filesystem::path(info.dli_fname).filename(), VYR_BRIDGE_SONAME);
}

} // namespace
