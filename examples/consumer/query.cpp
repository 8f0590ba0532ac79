// A host that only queries: it links the bridge library alone and needs no
// classification module. Usage: vyr-query FOLDER ID SOURCE, with FOLDER laid
// out like examples/data; prints SOURCE's classified ids in ID, one a line.
#include <filesystem>
#include <iostream>
#include <set>
#include <string>

#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "external/directories/Directories.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    vyr::Directories::vSysDirectorySet(folder / "system");
    vyr::Directories::vSharedDirectoriesSet({folder / "shared"});
    vyr::Directories::vUserDirectorySet(folder / "user");
    vyr::bridge::classification::AdminWrapper admin;
    const std::set<std::string>* classified = admin.pClassifiedIdsGet(argv[2], argv[3]);
    for (const std::string& id : classified != nullptr ? *classified : std::set<std::string>{}) {
        std::cout << id << '\n';
    }
    return classified != nullptr ? 0 : 1;
}
