// A host of the bridge library alone. Usage: vyr-bridge-host FOLDER ID, with
// FOLDER laid out like examples/data; prints ID's merged pairs, one
// "source classified" a line.
//
// vEveryHostOperation names every operation that the installed headers
// declare for a host. It has external linkage, so it is compiled and linked
// although nothing calls it: the program links only if each of them is
// exported from the shared libraries that Vyr::bridge brings (the bridge,
// the directory service, the assertion sink, the runtime), or defined in its
// header.

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "Source/Core/Utilities/Cache/Level.h"
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"
#include "assert/AssertInfoWrapper.h"
#include "bridge/ClassificationEntryPoints.h"
#include "external/assert/Assert.h"
#include "external/classification/Mapping.h"
#include "external/definition/AdminWrapper.h"
#include "external/definition/Node.h"
#include "external/directories/Directories.h"
#include "external/managed/ModuleLoader.h"
#include "external/managed/System/ArgumentOutOfRangeException.h"

using vyr::bridge::classification::AdminWrapper;

void vEveryHostOperation(AdminWrapper& admin, const std::string& id, const std::string& source,
                         const std::string& classified, const std::filesystem::path& folder) {
    constexpr vyr::cache::Level kLevel = vyr::cache::User;

    // The store's outside face.
    AdminWrapper other;
    (void)other.boClassificationExists(id);
    (void)admin.boCreateClassification(id, id, id, id, id, false, false, kLevel);
    (void)admin.cachesGet(id);
    (void)admin.sText2Get(id);
    (void)admin.sText3Get(id);
    (void)admin.sText6Get(id);
    (void)admin.sText4Get(id);
    (void)admin.sText5Get(id);
    (void)admin.boMappingExists(id, source, classified);
    (void)admin.pClassifiedIdsGet(id, source);
    (void)admin.pSourceIdsGet(id, classified);
    (void)admin.mappingsGet(id);
    (void)admin.sClassifiedIdGet(id, source);
    (void)admin.sSourceIdGet(id, classified);
    (void)admin.boRefresh(id);
    (void)admin.changeCountGet(id);
    (void)AdminWrapper::levelFileProblemGet(folder);
    {
        vyr::classification::WriteAccess access = admin.writeAccessGet(id);
        (void)access.boLockFile(kLevel);
        (void)access.boAddMapping(source, classified, kLevel);
        (void)access.boSetMapping(source, classified, kLevel);
        access.vMappingRemove(source, classified, kLevel);
        access.vMappedToSourceRemove(source, kLevel);
        access.vMappedToClassifiedRemove(classified, kLevel);
        access.vMappedToSourceInherit(source, kLevel);
        std::string bytes;
        (void)access.boLevelDocumentGet(kLevel, bytes);
        (void)access.boLevelReplace(kLevel, bytes);
        access.vCreateFileIfNotAtLevel(kLevel);
        (void)access.boIsReadOnly();
        (void)access.boWriteBack();
        vyr::classification::WriteAccess moved(std::move(access));
    }
    AdminWrapper::vAdminReset();

    // The entry points and the definition library.
    vyr::bridge::definition::AdminWrapper definitions("definitions");
    vyr::definition::Node nodes("root");
    nodes.addChild(vyr::definition::Node("child"));
    (void)nodes.boHasChildren();
    vyr::bridge::classification::vClassify(vyr::Directories::getInstance(), admin, definitions, id, id, kLevel,
                                           kLevel, id, nullptr);
    vyr::bridge::classification::vClassify(vyr::Directories::getInstance(), admin, definitions, id, nodes);

    // The mapping value type.
    vyr::classification::Mapping mapping(id, id, id, id, id, false, false);
    mapping.vMappingAdd(source, classified);
    mapping.vMappingSet(source, classified);
    mapping.vRemoveMapping(source, classified);
    mapping.vRemoveFromSource(source);
    mapping.vRemoveFromClassified(classified);
    mapping.vUnlistSource(source);
    mapping.vSet(vyr::classification::Mapping());

    // The directory service.
    vyr::Directories::vSysDirectorySet(folder);
    vyr::Directories::vSharedDirectoriesSet({folder});
    vyr::Directories::vUserDirectorySet(folder);
    const vyr::DirectoriesInterface& directories = vyr::Directories::getInstance();
    (void)directories.sysDirectoryGet();
    (void)directories.sharedDirectoriesGet();
    (void)directories.userDirectoryGet();
    (void)vyr::Directories::directoryWithSubfolder({folder}, id);

    // The assertion sink.
    vyr::assert::Assert::vEnable(true);
    (void)vyr::assert::Assert::isEnabled();
    vyr::assert::Assert::addAssert(vyr::assert::AssertInfo(vyr::assert::Type::Advisory, id, id, id, 1));
    (void)vyr::assert::Assert::recordsGet();
    vyr::assert::Assert::vPrint(std::cout);
    vyr::assert::Assert::vClear();
    vyr::assert::Assert::vListenerSet({});

    // The runtime: the module's file, and the errors an entry point throws.
    managed::runtime::vModuleFileSet(folder);
    (void)managed::runtime::moduleFileGet();
    const managed::runtime::ModuleLoadException loadError(folder, id);
    std::cout << loadError.what() << loadError.fileGet() << loadError.sReasonGet();
    const managed::System::ArgumentOutOfRangeException rangeError(id);
    std::cout << rangeError.what();
}

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    vyr::Directories::vSysDirectorySet(folder / "system");
    vyr::Directories::vSharedDirectoriesSet({folder / "shared"});
    vyr::Directories::vUserDirectorySet(folder / "user");
    AdminWrapper admin;
    for (const auto& [source, classified] : admin.mappingsGet(argv[2])) {
        std::cout << source << ' ' << classified << '\n';
    }
    return 0;
}
