// A host that reaches the bridge library through a relative library path
// and then changes its working folder before its first entry point call.
//
// Usage: vyr-working-folder-host FOLDER. Prints the name under which the
// dynamic linker found the bridge library, changes the working folder to
// FOLDER, runs the node entry point (which loads the module), and prints
// "ran" and the module file that ran. Exit status 0 when the run went through; 1 with the error on
// standard error otherwise.

#include <dlfcn.h>
#include <unistd.h>

#include <exception>
#include <iostream>

#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "bridge/ClassificationEntryPoints.h"
#include "external/definition/AdminWrapper.h"
#include "external/definition/Node.h"
#include "external/directories/Directories.h"
#include "external/managed/ModuleLoader.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: vyr-working-folder-host FOLDER\n";
        return 2;
    }
    Dl_info bridge{};
    if (::dladdr(reinterpret_cast<const void*>(&vyr::bridge::classification::AdminWrapper::vAdminReset), &bridge) ==
            0 ||
        bridge.dli_fname == nullptr) {
        std::cerr << "the bridge library is not known to the dynamic linker\n";
        return 1;
    }
    std::cout << bridge.dli_fname << '\n';
    if (::chdir(argv[1]) != 0) {
        std::cerr << "cannot change the working folder to " << argv[1] << '\n';
        return 1;
    }
    try {
        vyr::bridge::classification::AdminWrapper admin;
        vyr::bridge::definition::AdminWrapper definitions("working folder host");
        vyr::bridge::classification::vClassify(vyr::Directories::getInstance(), admin, definitions, "materials",
                                               vyr::definition::Node("root"));
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
    std::cout << "ran " << managed::runtime::moduleFileLoadedGet().string() << '\n';
    return 0;
}
