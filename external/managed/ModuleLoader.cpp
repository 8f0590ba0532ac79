#include "external/managed/ModuleLoader.h"

#include <climits>
#include <dlfcn.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace managed::runtime {
namespace {

namespace fs = std::filesystem;

// The file the host named and the path of the module file that the latest
// entry point call used. Guarded by `mutex`. A failed attempt leaves nothing
// here.
struct LoaderState {
    std::mutex mutex;
    fs::path file;
    fs::path loaded;
};

LoaderState& stateGet() {
    static LoaderState state;
    return state;
}

// The folder of the library that holds the address, as an absolute path;
// empty when unknown. The dynamic linker keeps the name a library was found
// under, which is relative when the search path that found it was (a
// relative LD_LIBRARY_PATH entry): rebuilt later, after the program changed
// its working folder, that name would point somewhere else. The linker also
// records the library's absolute folder when it loads it, resolving such a
// name against the working folder of that moment; that record is used.
} // namespace

fs::path libraryFolderGet(const void* callerAddress) {
    Dl_info info{};
    link_map* map = nullptr;
    if (callerAddress == nullptr ||
        ::dladdr1(callerAddress, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || map == nullptr ||
        map->l_name == nullptr || map->l_name[0] == '\0') {
        return {};
    }
    const fs::path name(map->l_name);
    if (name.is_absolute()) {
        return name.parent_path().lexically_normal();
    }
    // The link map is the library's handle to the dynamic linker.
    char origin[PATH_MAX + 1] = {};
    if (::dlinfo(map, RTLD_DI_ORIGIN, origin) != 0) {
        return {};
    }
    const fs::path folder(origin);
    return folder.is_absolute() ? folder.lexically_normal() : fs::path();
}

namespace {

// The folder of the running program, as the kernel names its file: an
// absolute path, which is also what "$ORIGIN" stands for in the program's
// own RUNPATH. Empty when unknown.
fs::path programFolderGet() {
    std::string target(PATH_MAX, '\0');
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", target.data(), target.size());
        if (length < 0) {
            return {};
        }
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            break;
        }
        target.resize(target.size() * 2);
    }
    const fs::path program(target);
    return program.is_absolute() ? program.parent_path().lexically_normal() : fs::path();
}

// The running program's own RUNPATH, or its RPATH when it has no RUNPATH (the
// dynamic linker ignores the RPATH then), as it stands in the program's
// dynamic section; empty when it has neither.
std::string programSearchPathGet() {
    struct Found {
        std::string text;
        bool boDone = false;
    } found;
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) -> int {
            // The program itself comes first.
            auto& result = *static_cast<Found*>(data);
            result.boDone = true;
            const ElfW(Dyn)* dynamic = nullptr;
            for (ElfW(Half) index = 0; index < info->dlpi_phnum; ++index) {
                if (info->dlpi_phdr[index].p_type == PT_DYNAMIC) {
                    dynamic = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + info->dlpi_phdr[index].p_vaddr);
                }
            }
            if (dynamic == nullptr) {
                return 1;
            }
            ElfW(Addr) strings = 0;
            const ElfW(Dyn)* runpath = nullptr;
            const ElfW(Dyn)* rpath = nullptr;
            for (const ElfW(Dyn)* entry = dynamic; entry->d_tag != DT_NULL; ++entry) {
                if (entry->d_tag == DT_STRTAB) {
                    strings = entry->d_un.d_ptr;
                } else if (entry->d_tag == DT_RUNPATH) {
                    runpath = entry;
                } else if (entry->d_tag == DT_RPATH) {
                    rpath = entry;
                }
            }
            const ElfW(Dyn)* const chosen = runpath != nullptr ? runpath : rpath;
            if (chosen == nullptr || strings == 0) {
                return 1;
            }
            // Some dynamic linkers relocate the string table's address in
            // place and some do not: take whichever lies in a loaded segment.
            const auto boMapped = [info](ElfW(Addr) address) {
                for (ElfW(Half) index = 0; index < info->dlpi_phnum; ++index) {
                    const ElfW(Phdr)& segment = info->dlpi_phdr[index];
                    const ElfW(Addr) start = info->dlpi_addr + segment.p_vaddr;
                    if (segment.p_type == PT_LOAD && address >= start && address < start + segment.p_memsz) {
                        return true;
                    }
                }
                return false;
            };
            if (!boMapped(strings)) {
                strings += info->dlpi_addr;
                if (!boMapped(strings)) {
                    return 1;
                }
            }
            result.text = reinterpret_cast<const char*>(strings + chosen->d_un.d_val);
            return 1;
        },
        &found);
    return found.text;
}

// The folders of the program's own RUNPATH (or RPATH), in order, with
// "$ORIGIN" expanded to the program's folder. An entry that would name
// something relative to the working folder (an empty or relative one) is
// left out, and so is one with any other substitution; in a secure-execution
// program (set-user-id) "$ORIGIN" entries are left out too, as the dynamic
// linker leaves them out there.
std::vector<fs::path> programRunpathFoldersGet(const fs::path& programFolder) {
    std::vector<fs::path> folders;
    const std::string text = programSearchPathGet();
    const bool boSecure = ::getauxval(AT_SECURE) != 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(':', start), text.size());
        std::string entry = text.substr(start, end - start);
        start = end + 1;
        bool boUsable = true;
        for (const std::string_view token : {"${ORIGIN}", "$ORIGIN"}) {
            for (std::size_t at = entry.find(token); at != std::string::npos; at = entry.find(token, at)) {
                const std::size_t after = at + token.size();
                if (boSecure || programFolder.empty() || (after < entry.size() && entry[after] != '/')) {
                    boUsable = false;
                    break;
                }
                entry.replace(at, token.size(), programFolder.string());
                at += programFolder.string().size();
            }
        }
        const fs::path folder(entry);
        if (boUsable && entry.find('$') == std::string::npos && folder.is_absolute()) {
            folders.push_back(folder.lexically_normal());
        }
    }
    return folders;
}

// A folder looked in for a bare file name, and why it was.
struct Place {
    fs::path folder;
    std::string roles;
};

// Where a bare file name is looked for, in order, each folder once (with
// every reason it is looked in): the program's own folder, the folders of
// the program's own RUNPATH (or RPATH), then the folder of the library that
// holds `callerAddress` (the bridge library), where a module installed
// beside it lives. The folders the host ships come first, so that the host's
// module is the one that runs. Only absolute folders: neither the library
// search path (LD_LIBRARY_PATH, the system's folders) nor the working folder
// ever supplies a module.
std::vector<Place> placesGet(const void* callerAddress) {
    std::vector<Place> places;
    const auto vAdd = [&places](fs::path folder, const char* role) {
        if (folder.empty()) {
            return;
        }
        const auto known = std::find_if(places.begin(), places.end(),
                                        [&folder](const Place& place) { return place.folder == folder; });
        if (known == places.end()) {
            places.push_back({std::move(folder), role});
        } else if (known->roles.find(role) == std::string::npos) {
            known->roles += std::string(", ") + role;
        }
    };
    const fs::path programFolder = programFolderGet();
    vAdd(programFolder, "the program's folder");
    for (fs::path& folder : programRunpathFoldersGet(programFolder)) {
        vAdd(std::move(folder), "the program's RUNPATH");
    }
    vAdd(libraryFolderGet(callerAddress), "the bridge library's folder");
    return places;
}

// The absolute path of the module file named `file`, which is absolute
// itself or a bare file name looked for in the places above; throws
// ModuleLoadException, naming the folders looked in, when a bare name is
// found nowhere.
fs::path libraryFind(const fs::path& file, const void* callerAddress) {
    if (file.is_absolute()) {
        return file;
    }
    const std::vector<Place> places = placesGet(callerAddress);
    std::vector<fs::path> lookedIn;
    std::string sLookedIn;
    for (const Place& place : places) {
        const fs::path candidate = place.folder / file;
        std::error_code ignored;
        if (fs::exists(candidate, ignored)) {
            return candidate;
        }
        lookedIn.push_back(place.folder);
        sLookedIn += (sLookedIn.empty() ? "" : ", ") + place.folder.string() + " (" + place.roles + ")";
    }
    if (sLookedIn.empty()) {
        sLookedIn = "any folder: none is known";
    }
    throw ModuleLoadException(
        file, "not found in " + sLookedIn + "; name the module's file with managed::runtime::vModuleFileSet",
        std::move(lookedIn));
}

} // namespace

ModuleLoadException::ModuleLoadException(std::filesystem::path file, std::string sReason,
                                         std::vector<std::filesystem::path> lookedIn)
    : file_(std::move(file)), sReason_(std::move(sReason)), lookedIn_(std::move(lookedIn)),
      message_("Cannot load the classification module \"" + file_.string() + "\": " + sReason_) {}

ModuleLoadException::~ModuleLoadException() = default;

const char* ModuleLoadException::what() const noexcept { return message_.c_str(); }

void vModuleFileSet(std::filesystem::path file) {
    // A path with a folder is resolved now, against the working folder the
    // host names it in, and never again later.
    if (file.has_parent_path() && !file.is_absolute()) {
        file = fs::absolute(file);
    }
    if (file.has_parent_path()) {
        file = file.lexically_normal();
    }
    LoaderState& state = stateGet();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.file = std::move(file);
}

std::filesystem::path moduleFileGet() {
    LoaderState& state = stateGet();
    const std::lock_guard<std::mutex> lock(state.mutex);
    return state.file.empty() ? fs::path(kModuleFileName) : state.file;
}

std::filesystem::path moduleFileLoadedGet() {
    LoaderState& state = stateGet();
    const std::lock_guard<std::mutex> lock(state.mutex);
    return state.loaded;
}

std::filesystem::path moduleFileFind(const void* callerAddress) {
    fs::path file;
    {
        LoaderState& state = stateGet();
        const std::lock_guard<std::mutex> lock(state.mutex);
        file = state.file.empty() ? fs::path(kModuleFileName) : state.file;
    }
    return libraryFind(file, callerAddress);
}

void vModuleFileLoadedSet(std::filesystem::path file) {
    LoaderState& state = stateGet();
    const std::lock_guard<std::mutex> lock(state.mutex);
    state.loaded = std::move(file);
}

} // namespace managed::runtime
