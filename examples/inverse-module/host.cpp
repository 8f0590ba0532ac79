// A host that ships its own classification module: under the runtime's
// default file name, in the lib folder beside its bin folder, which its
// RUNPATH ($ORIGIN/../lib) names. It never names the module; the runtime
// finds it there, ahead of anything beside the bridge library. The host runs
// it through both entry points on a copy of the sample data, logs which
// module file ran, and checks what it wrote.
//
// Usage: vyr-inverse-host FOLDER. FOLDER holds system/, shared/ and user/
// like examples/data, and the run writes below FOLDER/user. Prints
// "module: <file>" for the module file that ran. Exit status 0 when the
// inverse is there.

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
    if (argc != 2) {
        std::cerr << "usage: vyr-inverse-host FOLDER\n";
        return 2;
    }
    // Before the first entry point call no module file is loaded.
    if (!managed::runtime::moduleFileLoadedGet().empty()) {
        std::cerr << "FAILED: a module file is loaded before the first call\n";
        return 1;
    }

    const std::filesystem::path folder = argv[1];
    vyr::Directories::vSysDirectorySet(folder / "system");
    vyr::Directories::vSharedDirectoriesSet({folder / "shared"});
    vyr::Directories::vUserDirectorySet(folder / "user");
    vyr::bridge::classification::AdminWrapper admin;
    vyr::bridge::definition::AdminWrapper definitions("inverse host definitions");
    ConsoleCallback callback;
    try {
        vyr::bridge::classification::vClassify(vyr::Directories::getInstance(), admin, definitions, "materials", "",
                                               vyr::cache::User, vyr::cache::User, "parts-by-material", &callback);
        std::cout << "module: " << managed::runtime::moduleFileLoadedGet().string() << '\n';
        vyr::definition::Node root("panel");
        root.addChild(vyr::definition::Node("bolt"));
        vyr::bridge::classification::vClassify(vyr::Directories::getInstance(), admin, definitions, "materials",
                                               root);
    } catch (const managed::runtime::ModuleLoadException& error) {
        std::cerr << error.what() << '\n'; // the file looked for, and where, or why it cannot be used
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
