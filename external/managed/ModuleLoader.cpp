#include "external/managed/ModuleLoader.h"

#include <climits>
#include <dlfcn.h>
#include <link.h>

#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

namespace managed::runtime {
namespace {

namespace fs = std::filesystem;
using CommonClassification::Modules::CommonClassificationModule;
using CommonClassification::Modules::kModuleFactoryName;
using CommonClassification::Modules::kModuleInterfaceVersion;
using CommonClassification::Modules::ModuleFactory;

// The file the host named and the factories of the libraries loaded so far,
// by the name they were looked up under. Guarded by `mutex`. A failed
// attempt leaves nothing here.
struct LoaderState {
    std::mutex mutex;
    fs::path file;
    std::map<fs::path, ModuleFactory> factories;
};

LoaderState& stateGet() {
    static LoaderState state;
    return state;
}

// The loader's last error, in its own words.
std::string dlErrorGet() {
    const char* const text = ::dlerror();
    return text != nullptr ? std::string(text) : std::string("no reason given");
}

// The folder of the library that holds the address, as an absolute path;
// empty when unknown. The dynamic linker keeps the name a library was found
// under, which is relative when the search path that found it was (a
// relative LD_LIBRARY_PATH entry): rebuilt later, after the program changed
// its working folder, that name would point somewhere else. The linker also
// records the library's absolute folder when it loads it, resolving such a
// name against the working folder of that moment; that record is used.
fs::path callerFolderGet(const void* callerAddress) {
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

// The absolute path of the module library named `file`, which is absolute
// itself or a bare file name; throws ModuleLoadException when a bare name is
// found nowhere. A bare name is looked for in the folder of the library that
// holds `callerAddress` (the bridge library), by its absolute path: neither
// the library search path nor the working folder ever supplies a module.
fs::path libraryFind(const fs::path& file, const void* callerAddress) {
    if (file.is_absolute()) {
        return file;
    }
    const fs::path folder = callerFolderGet(callerAddress);
    if (!folder.empty()) {
        const fs::path candidate = folder / file;
        std::error_code ignored;
        if (fs::exists(candidate, ignored)) {
            return candidate;
        }
    }
    throw ModuleLoadException(
        file, "not found in " + (folder.empty() ? std::string("the bridge library's folder, which is unknown")
                                                : folder.string() + " (the bridge library's folder)") +
                  "; name the module's file with managed::runtime::vModuleFileSet");
}

// The path the loader opened the library from.
std::string loadedPathGet(void* handle, const fs::path& fallback) {
    const link_map* map = nullptr;
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr &&
        map->l_name[0] != '\0') {
        return map->l_name;
    }
    return fallback.string();
}

// Loads the library named `file` and checks its factory and its interface
// version. A file that is found but does not load is an error of its own,
// not a reason to look further. A library that fails a check is closed
// again (none of its module code has run but its factory's version answer),
// so that a corrected file is read afresh by the next attempt.
ModuleFactory libraryLoad(const fs::path& file, const void* callerAddress) {
    const fs::path found = libraryFind(file, callerAddress);
    void* const handle = ::dlopen(found.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        throw ModuleLoadException(file, dlErrorGet());
    }
    const std::string path = loadedPathGet(handle, found);
    ::dlerror();
    void* const symbol = ::dlsym(handle, kModuleFactoryName);
    if (symbol == nullptr) {
        const std::string reason = dlErrorGet();
        ::dlclose(handle);
        throw ModuleLoadException(file, path + " has no factory function " + kModuleFactoryName + ": " + reason);
    }
    const auto factory = reinterpret_cast<ModuleFactory>(symbol);
    const std::uint32_t version = factory(kModuleInterfaceVersion, nullptr);
    if (version != kModuleInterfaceVersion) {
        ::dlclose(handle);
        throw ModuleLoadException(file, path + " was built for module interface version " + std::to_string(version) +
                                            "; this runtime needs version " +
                                            std::to_string(kModuleInterfaceVersion));
    }
    return factory;
}

} // namespace

ModuleLoadException::ModuleLoadException(std::filesystem::path file, std::string sReason)
    : file_(std::move(file)), sReason_(std::move(sReason)),
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

Handle<CommonClassificationModule> moduleCreate(const void* callerAddress) {
    fs::path file;
    ModuleFactory factory = nullptr;
    {
        // Held while loading, so that two first calls load the library once.
        LoaderState& state = stateGet();
        const std::lock_guard<std::mutex> lock(state.mutex);
        file = state.file.empty() ? fs::path(kModuleFileName) : state.file;
        const auto found = state.factories.find(file);
        if (found != state.factories.end()) {
            factory = found->second;
        } else {
            factory = libraryLoad(file, callerAddress);
            state.factories.emplace(file, factory);
        }
    }

    // The module's constructor runs outside the lock: it may take its time.
    CommonClassificationModule* created = nullptr;
    const std::uint32_t version = factory(kModuleInterfaceVersion, &created);
    if (version != kModuleInterfaceVersion || created == nullptr) {
        // A factory that breaks its contract; an object it made for another
        // version is left alone, since its layout is unknown here.
        throw ModuleLoadException(file, "its factory made no module for interface version " +
                                            std::to_string(kModuleInterfaceVersion));
    }
    std::unique_ptr<CommonClassificationModule> owned(created);
    Handle<CommonClassificationModule> module(std::move(owned));
    vAllocationReport(CommonClassificationModule::managedTypeName, module.get());
    return module;
}

} // namespace managed::runtime
