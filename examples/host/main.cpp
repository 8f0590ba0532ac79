// The demo host: a native program that links the bridge library alone,
// names the sample classification module by its file name (the runtime
// finds it beside the bridge and loads it at the first entry point call),
// points the directory service at a folder of level folders, and calls both
// entry points the way a native application would. It reaches the store only
// through the bridge's outside face.
//
// Usage: vyr-demo-host [FOLDER]. FOLDER holds system/, shared/ and user/,
// laid out like examples/data (default FOLDER: the working directory). The
// run keeps the pairs of "materials" that "approved-materials" allows and
// writes them into "approved-parts" at the user level, then prints them.

#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "Source/Core/Utilities/Cache/Level.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "bridge/ClassificationEntryPoints.h"
#include "external/classification/ClassificationUiCallbackInterface.h"
#include "external/definition/AdminWrapper.h"
#include "external/definition/Node.h"
#include "external/directories/Directories.h"
#include "external/managed/ModuleLoader.h"
#include "external/str/Utf.h"

namespace {

// Shows the module's progress and messages on standard output. Stateless.
class ConsoleCallback final : public vyr::classification::ClassificationUiCallbackInterface {
public:
    void vProgress(int iDone, int iTotal) override { std::cout << "host: progress " << iDone << '/' << iTotal << '\n'; }
    void vMessage(const std::string& sMessage) override { std::cout << "host: message: " << sMessage << '\n'; }
};

} // namespace

int main(int argc, char** argv) {
    const std::filesystem::path base = argc > 1 ? vyr::str::pathFromUtf8(argv[1]) : std::filesystem::current_path();
    vyr::Directories::vSysDirectorySet(base / "system");
    vyr::Directories::vSharedDirectoriesSet({base / "shared"});
    vyr::Directories::vUserDirectorySet(base / "user");

    vyr::bridge::classification::AdminWrapper classificationAdmin;
    vyr::bridge::definition::AdminWrapper definitionAdmin("demo definitions");
    ConsoleCallback callback;

    std::cout << "host: classification run\n";
    managed::runtime::vModuleFileSet(VYR_SAMPLE_MODULE_FILE);
    try {
        vyr::bridge::classification::vClassify(vyr::Directories::getInstance(), classificationAdmin, definitionAdmin,
                                               "materials", "approved-materials", vyr::cache::User, vyr::cache::User,
                                               "approved-parts", &callback);
    } catch (const std::exception& error) {
        std::cerr << "host: the run failed: " << error.what() << '\n';
        return 1;
    }
    std::cout << "host: the module that ran: " << managed::runtime::moduleFileLoadedGet().string() << '\n';

    std::cout << "host: approved-parts now holds\n";
    const auto& merged = classificationAdmin.cachesGet("approved-parts")->merged.sourceToClassified;
    for (const auto& [source, classified] : merged) {
        for (const std::string& classifiedId : classified) {
            std::cout << "  " << source << " -> " << classifiedId << '\n';
        }
    }

    vyr::definition::Node root("assembly");
    root.addChild(vyr::definition::Node("bolt"));
    root.addChild(vyr::definition::Node("panel"));
    std::cout << "host: node run (root has children: " << (root.boHasChildren() ? "yes" : "no") << ")\n";
    vyr::bridge::classification::vClassify(vyr::Directories::getInstance(), classificationAdmin, definitionAdmin,
                                           "approved-parts", root);
    return 0;
}
