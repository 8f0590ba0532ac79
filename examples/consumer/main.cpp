// A host program built outside the library's repository: it points the
// directory service at a folder of level folders, queries a classification
// through the store's outside face (AdminWrapper), edits it through a
// WriteAccess, and runs the sample classification module through the first
// entry point. It links the bridge library alone and names the sample by its
// file name: the runtime finds it beside the bridge and loads it at that
// call; the host then logs which module file ran.
//
// Usage: vyr-consumer FOLDER. FOLDER holds system/, shared/ and user/, laid
// out like examples/data; the run writes below FOLDER/user, so give it a
// copy. Exit status 0 when every step gives what the sample data promises.

#include <filesystem>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "Source/Core/Utilities/Cache/Level.h"                        // vyr::cache::Level, vyr::cache::User
#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h" // vyr::bridge::classification::AdminWrapper
#include "Vyr/Libraries/Classification/ClassificationWriteAccess.h"  // vyr::classification::WriteAccess, Failure
#include "assert/AssertInfoWrapper.h"                                // vyr::assert::AssertInfoWrapper
#include "external/assert/Assert.h"                                  // vyr::assert::Assert
#include "external/directories/Directories.h"                        // vyr::Directories
// For the classification run and the edit by another program below:
#include <cstdint>
#include <fstream>
#include <iterator>

#include "bridge/ClassificationEntryPoints.h"   // vyr::bridge::classification::vClassify
#include "external/definition/AdminWrapper.h"   // vyr::bridge::definition::AdminWrapper
#include "external/managed/ModuleLoader.h"      // managed::runtime::vModuleFileSet

namespace {

int failures = 0;

void check(bool boHolds, const std::string& what) {
    std::cout << (boHolds ? "ok:     " : "FAILED: ") << what << '\n';
    failures += boHolds ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: vyr-consumer FOLDER (a copy of examples/data)\n";
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    // Before the first store operation: the three level folders.
    vyr::Directories::vSysDirectorySet(folder / "system");
    vyr::Directories::vSharedDirectoriesSet({folder / "shared"}); // one or several shared folders
    vyr::Directories::vUserDirectorySet(folder / "user");
    vyr::assert::Assert::vEnable(true); // a broken precondition shows as an assertion record

    vyr::bridge::classification::AdminWrapper admin;
    const std::set<std::string>* panel = admin.pClassifiedIdsGet("materials", "panel");
    // A level file that does not read is left out of the view without a
    // word (no assertion record): ask what the load found.
    const std::vector<vyr::classification::Failure> unreadFiles = admin.readFailuresGet("materials");
    for (const vyr::classification::Failure& failure : unreadFiles) {
        std::cerr << failure.file << ": " << failure.sWhat << ": " << failure.sReason << '\n';
    }
    check(unreadFiles.empty(), "every level file of materials reads");
    check(panel != nullptr && *panel == std::set<std::string>{"glass", "polycarbonate"}, "panel -> glass, polycarbonate");
    const std::set<std::string>* gasket = admin.pClassifiedIdsGet("materials", "gasket");
    check(gasket != nullptr && gasket->empty(), "gasket: emptied by the user level");
    check(admin.pClassifiedIdsGet("materials", "washer") == nullptr, "washer: not listed");

    {
        // Unlike the tool's add, boAddMapping starts from the level's own set:
        // a source id that the level does not list yet gets CLASSIFIED alone.
        vyr::classification::WriteAccess access = admin.writeAccessGet("materials");
        if (!access.boLockFile(vyr::cache::User) || !access.boAddMapping("clip", "steel", vyr::cache::User) ||
            !access.boWriteBack()) {
            const vyr::classification::Failure& failure = access.failureGet();
            std::cerr << failure.file << ": " << failure.sWhat << ": " << failure.sReason << '\n';
            return 1;
        }
    } // the write access ends: its locks are released
    check(admin.sClassifiedIdGet("materials", "clip") == "steel", "clip -> steel, decided by the user level");

    vyr::bridge::definition::AdminWrapper definitions("consumer definitions");
    check(managed::runtime::moduleFileLoadedGet().empty(), "no module file loaded before the first run");
    managed::runtime::vModuleFileSet("VyrSampleClassification.dll");
    vyr::bridge::classification::vClassify(vyr::Directories::getInstance(), admin, definitions, "materials",
                                           "approved-materials", vyr::cache::User, vyr::cache::User,
                                           "approved-parts", nullptr);
    check(admin.boMappingExists("approved-parts", "clip", "steel"), "the module kept clip -> steel");
    const std::filesystem::path module = managed::runtime::moduleFileLoadedGet(); // absolute; empty before the first load
    check(module.is_absolute() && module.filename() == "VyrSampleClassification.dll" &&
              std::filesystem::is_regular_file(module),
          "the module that ran: " + module.string());

    // Another program edits a level file (here: by hand, replacing it);
    // the host sees the edit once it refreshes, and the change count moves.
    const std::uint64_t seen = admin.changeCountGet("materials"); // cheap: reads no file
    const std::filesystem::path file = folder / "user" / "Classification" / "materials.xml";
    std::string text;
    {
        std::ifstream in(file, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    const std::size_t end = text.find("</relation>");
    check(end != std::string::npos, "the user level has a relation element");
    if (end != std::string::npos) {
        text.insert(end, "<source id=\"washer\"><classified id=\"zinc\"/></source>");
        std::ofstream(folder / "edited.xml", std::ios::binary) << text;
        std::filesystem::rename(folder / "edited.xml", file);
    }
    check(!admin.boMappingExists("materials", "washer", "zinc"), "not seen before the refresh");
    vyr::classification::Failure failure;
    const bool boChanged = admin.boRefresh("materials", failure); // reads the files that changed
    check(boChanged && !failure.boFailed(), "the refresh reads the changed file");
    check(admin.boMappingExists("materials", "washer", "zinc") && admin.changeCountGet("materials") != seen,
          "washer -> zinc seen, the change count moved");
    check(!admin.boRefresh("materials"), "nothing more to refresh");

    // A user file that does not parse: the first query answers from the
    // levels that read, and only readFailuresGet tells.
    std::ofstream(folder / "shared" / "Classification" / "finishes.xml")
        << "<classification version=\"1\" id=\"finishes\"><relation><source id=\"bolt\">"
           "<classified id=\"zinc\"/></source></relation></classification>";
    std::ofstream(folder / "user" / "Classification" / "finishes.xml")
        << "<classification version=\"1\" id=\"finishes\"><relation>";
    check(admin.sClassifiedIdGet("finishes", "bolt") == "zinc", "finishes: bolt -> zinc from the shared level");
    const std::vector<vyr::classification::Failure> unread = admin.readFailuresGet("finishes");
    check(unread.size() == 1 && unread[0].level == vyr::cache::User &&
              unread[0].file == folder / "user" / "Classification" / "finishes.xml" &&
              unread[0].sReason.find("line 1, column") != std::string::npos,
          "readFailuresGet names the user file of finishes, with the place");

    // A fresh store reads the files again: the edit and the run reached them.
    vyr::bridge::classification::AdminWrapper::vAdminReset();
    vyr::bridge::classification::AdminWrapper fresh;
    check(fresh.boMappingExists("materials", "clip", "steel"), "materials.xml holds clip -> steel");
    check(fresh.boMappingExists("approved-parts", "panel", "glass"), "approved-parts.xml holds panel -> glass");
    check(vyr::assert::Assert::recordsGet().empty(), "no assertion records");
    return failures == 0 ? 0 : 1;
}
