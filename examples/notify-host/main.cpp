// A host that hears of changes to level files: it loads the ids it is
// given, waits with poll() on the store's change descriptor (for at most
// the poll interval when a folder is polled), refreshes, and prints each id
// whose view changed. Stops after the given number of changes, or after
// ten seconds without one.
//
//     notify-host FOLDER COUNT ID...
//
// FOLDER holds system/, shared/ and user/, as examples/data does.

#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Vyr/Libraries/Classification/ClassificationAdminWrapper.h"
#include "external/directories/Directories.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: notify-host FOLDER COUNT ID...\n");
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    vyr::Directories::vSysDirectorySet(folder / "system");
    vyr::Directories::vSharedDirectoriesSet({folder / "shared"});
    vyr::Directories::vUserDirectorySet(folder / "user");
    int remaining = std::atoi(argv[2]);

    vyr::bridge::classification::AdminWrapper store;
    for (int index = 3; index < argc; ++index) {
        (void)store.cachesGet(argv[index]);
    }
    for (const auto& watch : store.watchesGet()) {
        std::printf("%s %s%s%s\n", watch.boWatched ? "watched" : "polled", watch.folder.c_str(),
                    watch.sReason.empty() ? "" : ": ", watch.sReason.c_str());
    }
    std::printf("ready\n");
    std::fflush(stdout);

    vyr::classification::Failure failure;
    int quietMs = 0;
    while (remaining > 0 && quietMs < 10000) {
        // Zero right after the watch is made, so that what changed since the
        // ids were loaded is looked for at once; nothing when every folder
        // is watched and no file is held back; else the time to wait.
        const auto wait = store.refreshWaitGet();
        pollfd entry{store.changeDescriptorGet(), POLLIN, 0};
        const int timeout = wait ? static_cast<int>(wait->count()) : 1000;
        if (::poll(&entry, 1, timeout) == 0) {
            quietMs += timeout;
        }
        for (const std::string& id : store.changedRefresh(failure)) {
            std::printf("changed %s (%zu pairs)\n", id.c_str(), store.mappingsGet(id).size());
            --remaining;
            quietMs = 0;
        }
        if (failure.boFailed()) {
            std::printf("does not read: %s\n", failure.file.c_str());
        }
        std::fflush(stdout);
    }
    return remaining > 0 ? 1 : 0;
}
