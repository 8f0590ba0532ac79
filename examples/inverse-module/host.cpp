// A host that ships its own classification module: it names the module's
// file to the runtime, then runs it through the first entry point on a copy
// of the sample data and checks what it wrote.
//
// Usage: vyr-inverse-host MODULE FOLDER. MODULE is the module library's
// file; FOLDER holds system/, shared/ and user/ like examples/data, and the
// run writes below FOLDER/user. Exit status 0 when the inverse is there.

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

namespace {

class ConsoleCallback final : public vyr::classification::ClassificationUiCallbackInterface {
public:
    void vProgress(int iDone, int iTotal) override { std::cout << "progress " << iDone << '/' << iTotal << '\n'; }
    void vMessage(const std::string& sMessage) override { std::cout << "message: " << sMessage << '\n'; }
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: vyr-inverse-host MODULE FOLDER\n";
        return 2;
    }
    // Before the first entry point call; nothing is loaded yet.
    managed::runtime::vModuleFileSet(std::filesystem::absolute(argv[1]));

    const std::filesystem::path folder = argv[2];
    vyr::Directories::vSysDirectorySet(folder / "system");
    vyr::Directories::vSharedDirectoriesSet({folder / "shared"});
    vyr::Directories::vUserDirectorySet(folder / "user");
    vyr::bridge::classification::AdminWrapper admin;
    vyr::bridge::definition::AdminWrapper definitions("inverse host definitions");
    ConsoleCallback callback;
    try {
        vyr::bridge::classification::vClassify(vyr::Directories::getInstance(), admin, definitions, "materials", "",
                                               vyr::cache::User, vyr::cache::User, "parts-by-material", &callback);
        vyr::definition::Node root("panel");
        root.addChild(vyr::definition::Node("bolt"));
        vyr::bridge::classification::vClassify(vyr::Directories::getInstance(), admin, definitions, "materials",
                                               root);
    } catch (const managed::runtime::ModuleLoadException& error) {
        std::cerr << error.what() << '\n'; // the file looked for, and why it cannot be used
        return 1;
    } catch (const std::exception& error) {
        std::cerr << "the run failed: " << error.what() << '\n';
        return 1;
    }

    const bool boOk = admin.boMappingExists("parts-by-material", "steel", "bolt") &&
                      admin.boMappingExists("parts-by-material", "polycarbonate", "panel") &&
                      admin.pClassifiedIdsGet("parts-by-material", "bolt") == nullptr;
    std::cout << (boOk ? "parts-by-material holds the inverse of materials\n" : "FAILED: the inverse is not there\n");
    return boOk ? 0 : 1;
}
