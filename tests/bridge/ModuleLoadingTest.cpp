// A program that links the bridge library alone: it queries the store with
// no runtime started, and each module file that cannot be used makes the
// entry points throw, naming the file and the reason, before anything is
// made or written; the next call tries again. The module is found in the
// program's folder, then beside the bridge library, and never in the working
// folder. The bridge needs no .NET library to load.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
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
#include "external/managed/DotnetRuntime.h"
#include "external/managed/ModuleLoader.h"
#include "tests/common/ChildProcess.h"
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

// The RUNPATH and RPATH strings of an executable or shared object, as
// readelf shows its dynamic section.
std::vector<std::string> searchPathsGet(const fs::path& file) {
    std::vector<std::string> paths;
    for (const std::string& line : commandLines("readelf -d '" + file.string() + "' 2>/dev/null")) {
        const std::size_t open = line.find('[');
        const std::size_t close = line.rfind(']');
        if ((line.find("(RUNPATH)") != std::string::npos || line.find("(RPATH)") != std::string::npos) &&
            open != std::string::npos && close != std::string::npos && close > open) {
            paths.push_back(line.substr(open + 1, close - open - 1));
        }
    }
    return paths;
}

// True for an ELF executable or shared object (not an object file).
bool boIsLinkedElf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::array<unsigned char, EI_NIDENT + 2> head{};
    if (!in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()))) {
        return false;
    }
    if (std::memcmp(head.data(), ELFMAG, SELFMAG) != 0 || head[EI_DATA] != ELFDATA2LSB) {
        return false;
    }
    const unsigned type = head[EI_NIDENT] | (static_cast<unsigned>(head[EI_NIDENT + 1]) << 8U);
    return type == ET_EXEC || type == ET_DYN;
}

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

TEST(ModuleLoading, QueriesNeedNoRuntimeAndAnUnusableModuleFailsTheEntryPoint) {
    TempFolder temp;
    fs::copy(VYR_SAMPLE_DATA, temp / "data", fs::copy_options::recursive);
    Directories::vSysDirectorySet(temp / "data" / "system");
    Directories::vSharedDirectoriesSet({temp / "data" / "shared"});
    Directories::vUserDirectorySet(temp / "data" / "user");

    bridge::classification::AdminWrapper admin;
    EXPECT_EQ(admin.sClassifiedIdGet("materials", "bolt"), "steel");
    // The queries started no runtime.
    EXPECT_EQ(::dlopen("libhostfxr.so", RTLD_LAZY | RTLD_NOLOAD), nullptr);
    EXPECT_EQ(::dlopen("libcoreclr.so", RTLD_LAZY | RTLD_NOLOAD), nullptr);
    Dl_info bridge{};
    ASSERT_NE(::dladdr(::dlsym(RTLD_DEFAULT, "_ZNK3vyr10definition4Node13boHasChildrenEv"), &bridge), 0);
    const fs::path bridgeFolder = fs::path(bridge.dli_fname).parent_path();
    const fs::path programFolder = fs::read_symlink("/proc/self/exe").parent_path();

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

    // No runtime where the host says it is: the call names what was looked
    // for and where, and the next call tries again.
    managed::runtime::vModuleFileSet(VYR_RECORDING_MODULE_PATH);
    managed::runtime::vRuntimeFolderSet(temp / "no-dotnet");
    try {
        vClassify();
        ADD_FAILURE() << "a runtime was started";
    } catch (const managed::runtime::ModuleLoadException& error) {
        EXPECT_EQ(error.fileGet(), "libhostfxr.so");
        EXPECT_THAT(error.sReasonGet(), HasSubstr("no .NET runtime found: looked in the runtime folder named with "
                                                  "vRuntimeFolderSet, " + (temp / "no-dotnet").string()));
    }
    EXPECT_EQ(::dlopen("libcoreclr.so", RTLD_LAZY | RTLD_NOLOAD), nullptr);
    managed::runtime::vRuntimeFolderSet({});

    struct Case {
        fs::path file;
        std::vector<std::string> reason;
    };
    const fs::path missing = temp / "VyrLater.dll";
    const fs::path text = temp / "Text.dll";
    writeFile(text, "not an assembly\n");
    const std::vector<Case> cases = {
        {missing, {"the file does not exist"}},
        {"VyrNoSuchModule.dll",
         {"not found in " + programFolder.string() + " (the program's folder), ",
          bridgeFolder.string() + " (the program's RUNPATH, the bridge library's folder); name the module's file "
                                  "with managed::runtime::vModuleFileSet"}},
        {text, {"the file is not a .NET assembly"}},
        {bridgeFolder / "VyrBridge.dll",
         {"the assembly VyrBridge has no public class CommonClassification.Modules.CommonClassificationModule"}},
        {VYR_WRONG_SIGNATURE_MODULE_PATH,
         {"has no public method void vClassify(System.String, System.String, System.Int32, System.Int32, "
          "System.String, vyr.bridge.classification.CommonClassificationCallback)"}},
        {VYR_OTHER_VERSION_MODULE_PATH,
         {"the module was built against VyrClassificationBridge 9.0.0.0, and these bridge assemblies are of "
          "major version 1"}},
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
                // The folders looked in, the host's own first, when none had the file.
                if (!failing.file.has_parent_path()) {
                    ASSERT_FALSE(error.lookedInGet().empty());
                    EXPECT_EQ(error.lookedInGet().front(), programFolder);
                    EXPECT_EQ(error.lookedInGet().back(), bridgeFolder);
                } else {
                    EXPECT_TRUE(error.lookedInGet().empty());
                }
            }
        }
    }
    // Nothing was called or written, and no module file was loaded.
    EXPECT_EQ(managed::runtime::moduleFileLoadedGet(), fs::path());
    EXPECT_EQ(callback.calls, 0);
    EXPECT_EQ(filesGet(temp / "data"), filesBefore);

    // The next call tries again: the missing file is there now, named by a
    // relative path that is resolved once, when it is named. It has the
    // assembly name of the module loaded from elsewhere below: each file has
    // a load context of its own.
    fs::copy_file(VYR_RECORDING_MODULE_PATH, missing);
    const fs::path workingFolder = fs::current_path();
    fs::current_path(temp.path());
    managed::runtime::vModuleFileSet(fs::path(".") / missing.filename());
    fs::current_path(workingFolder);
    EXPECT_EQ(managed::runtime::moduleFileGet(), missing);
    EXPECT_NO_THROW(vClassify());
    EXPECT_EQ(managed::runtime::moduleFileLoadedGet(), missing);
    managed::runtime::vModuleFileSet(VYR_RECORDING_MODULE_PATH);
    EXPECT_NO_THROW(vClassifyNodes());
    EXPECT_EQ(managed::runtime::moduleFileLoadedGet(), fs::path(VYR_RECORDING_MODULE_PATH));

    managed::runtime::vModuleFileSet({});
    EXPECT_EQ(managed::runtime::moduleFileGet(), managed::runtime::kModuleFileName);
}

TEST(ModuleLoading, TheProbeOrderHoldsAndNothingIsTakenFromTheWorkingFolder) {
    // A host's folder: the program in bin/, and in lib/ the libraries it
    // needs under the names it asks for, with the managed assemblies beside
    // the bridge. The host is started with the relative library path "lib",
    // so the dynamic linker knows the bridge as "lib/libvyr_bridge.so.N".
    TempFolder temp;
    const fs::path host = temp / "host";
    fs::create_directories(host / "lib");
    fs::create_directories(host / "bin");
    const fs::path program = host / "bin" / fs::path(VYR_WORKING_FOLDER_HOST_PATH).filename();
    fs::copy_file(VYR_WORKING_FOLDER_HOST_PATH, program);
    const fs::path libraries = fs::path(VYR_BRIDGE_SONAME_FILE).parent_path();
    for (const fs::path library : {VYR_BRIDGE_SONAME_FILE, VYR_MANAGED_SONAME_FILE, VYR_DIRECTORIES_SONAME_FILE,
                                   VYR_ASSERT_SINK_SONAME_FILE}) {
        fs::create_symlink(library, host / "lib" / library.filename());
    }
    for (const char* managed : {"VyrBridge.dll", "VyrDirectoriesBridge.dll", "VyrClassificationBridge.dll",
                                "VyrDefinitionBridge.dll", "VyrBridgeEntry.dll", "VyrBridgeEntry.runtimeconfig.json"}) {
        fs::create_symlink(libraries / managed, host / "lib" / managed);
    }
    // The module under the default name in the program's folder and beside
    // the bridge: the program's folder comes first.
    const fs::path inProgramFolder = host / "bin" / managed::runtime::kModuleFileName;
    const fs::path besideBridge = host / "lib" / managed::runtime::kModuleFileName;
    fs::copy_file(VYR_RECORDING_MODULE_PATH, inProgramFolder);
    fs::copy_file(VYR_RECORDING_MODULE_PATH, besideBridge);
    // The folder it moves to before its first entry point call holds modules
    // where the relative names lead: under the library path, and in the
    // working folder itself.
    const fs::path elsewhere = temp / "elsewhere";
    fs::create_directories(elsewhere / "lib");
    fs::copy_file(VYR_RECORDING_MODULE_PATH, elsewhere / "lib" / managed::runtime::kModuleFileName);
    fs::copy_file(VYR_RECORDING_MODULE_PATH, elsewhere / managed::runtime::kModuleFileName);
    RunSettings inHost;
    inHost.workingFolder = host;
    inHost.environment = {"LD_LIBRARY_PATH=lib"};
    const std::string bridgeName = "lib/" + fs::path(VYR_BRIDGE_SONAME_FILE).filename().string() + "\n";

    const Outcome first = runProgram(program, {elsewhere.string()}, temp / "io-first", inHost);
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.out, bridgeName + "ran " + inProgramFolder.string() + "\n");

    fs::remove(inProgramFolder);
    const Outcome second = runProgram(program, {elsewhere.string()}, temp / "io-second", inHost);
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(second.out, bridgeName + "ran " + besideBridge.string() + "\n");

    // With no module in the host's folders, none is found: the message names
    // the bridge's real folder, and nothing from the working folder runs.
    fs::remove(besideBridge);
    const Outcome missing = runProgram(program, {elsewhere.string()}, temp / "io-missing", inHost);
    EXPECT_EQ(missing.status, 1);
    EXPECT_THAT(missing.err, HasSubstr(", " + (host / "lib").string() + " (the bridge library's folder); "));

    // No RUNPATH or RPATH in the build tree has an empty entry, which the
    // dynamic linker would take for the working folder.
    int checked = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator entry(VYR_BUILD_DIR, fs::directory_options::skip_permission_denied, error),
         end;
         !error && entry != end; entry.increment(error)) {
        if (!entry->is_regular_file(error) || entry->is_symlink(error) || !boIsLinkedElf(entry->path())) {
            continue;
        }
        ++checked;
        for (const std::string& searchPath : searchPathsGet(entry->path())) {
            const std::string padded = ":" + searchPath + ":";
            EXPECT_EQ(padded.find("::"), std::string::npos) << entry->path() << ": [" << searchPath << "]";
        }
    }
    EXPECT_GT(checked, 10);
}

TEST(ModuleLoading, TheBridgeNeedsNoDotnetAndNoModuleToLoad) {
    // nethost is linked in, hostfxr opened at run time: no library of .NET
    // is needed to load the bridge or the runtime library. Nor is the
    // module, which the runtime library loads at run time.
    for (const fs::path library : {VYR_BRIDGE_SONAME_FILE, VYR_MANAGED_SONAME_FILE}) {
        int needed = 0;
        for (const std::string& line : commandLines("readelf -d '" + library.string() + "'")) {
            if (line.find("(NEEDED)") != std::string::npos) {
                ++needed;
                for (const char* name : {"hostfxr", "nethost", "coreclr", "module", "VyrCommonClassification"}) {
                    EXPECT_EQ(line.find(name), std::string::npos) << line;
                }
            }
        }
        EXPECT_GT(needed, 0) << library;
    }
}

} // namespace
} // namespace vyr::test
