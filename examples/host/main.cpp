// The demo host: a native program that links the bridge library and a
// classification module, points the directory service at a folder, and
// calls both entry points the way a native application would.
//
// Usage: vyr-demo-host [FOLDER]. The level folders are FOLDER/sys,
// FOLDER/shared and FOLDER/user (default FOLDER: the working directory).

#include <filesystem>
#include <iostream>
#include <string>
#include <system_error>

#include "Source/Core/Utilities/Cache/Level.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "bridge/ClassificationEntryPoints.h"
#include "external/classification/ClassificationUiCallbackInterface.h"
#include "external/definition/AdminWrapper.h"
#include "external/definition/Node.h"
#include "external/directories/Directories.h"
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
    for (const char* level : {"sys", "shared", "user"}) {
        std::error_code error;
        std::filesystem::create_directories(base / level, error);
        if (error) {
            std::cerr << "cannot create " << (base / level).string() << ": " << error.message() << '\n';
            return 1;
        }
    }
    vyr::Directories::vSysDirectorySet(base / "sys");
    vyr::Directories::vSharedDirectoriesSet({base / "shared"});
    vyr::Directories::vUserDirectorySet(base / "user");

    vyr::bridge::classification::AdminWrapper classificationAdmin;
    vyr::bridge::definition::AdminWrapper definitionAdmin("demo definitions");
    ConsoleCallback callback;

    std::cout << "host: classification run\n";
    vyr::bridge::classification::vClassify(vyr::Directories::getInstance(), classificationAdmin, definitionAdmin,
                                           "Materials", "Materials filter", vyr::cache::Shared, vyr::cache::User,
                                           "Bauteile \xC3\x9C" "bersicht \xF0\x9F\x93\x90", &callback);

    vyr::definition::Node root("assembly");
    root.addChild(vyr::definition::Node("frame"));
    root.addChild(vyr::definition::Node("panel"));
    std::cout << "host: node run (root has children: " << (root.boHasChildren() ? "yes" : "no") << ")\n";
    vyr::bridge::classification::vClassify(vyr::Directories::getInstance(), classificationAdmin, definitionAdmin,
                                           "Materials", root);
    return 0;
}
