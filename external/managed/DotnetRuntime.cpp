#include "external/managed/DotnetRuntime.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <utility>

#include "external/managed/ModuleLoader.h"
#include "external/managed/System/ArgumentOutOfRangeException.h"

#if VYR_HAVE_DOTNET_HOST
#include <coreclr_delegates.h>
#include <hostfxr.h>
#include <nethost.h>
#endif

namespace managed::runtime {
namespace {

namespace fs = std::filesystem;

// What a managed call of the entry assembly gives back when it fails: UTF-8
// texts allocated by the runtime with malloc, freed here.
struct EntryError {
    char* type = nullptr;
    char* message = nullptr;
    char* stackTrace = nullptr;
    std::uint64_t token = 0;
};

// The texts of the error, freed; the error is emptied.
struct ErrorTexts {
    std::string type;
    std::string message;
    std::string stackTrace;
    std::uint64_t token = 0;
};

ErrorTexts taken(EntryError& error) {
    ErrorTexts texts;
    for (auto [text, out] : {std::pair{&error.type, &texts.type}, std::pair{&error.message, &texts.message},
                             std::pair{&error.stackTrace, &texts.stackTrace}}) {
        if (*text != nullptr) {
            *out = *text;
            std::free(*text);
            *text = nullptr;
        }
    }
    texts.token = std::exchange(error.token, 0);
    return texts;
}

// What the module threw, as the host receives it.
[[noreturn]] void vManagedThrow(EntryError& error) {
    ErrorTexts texts = taken(error);
    if (texts.type == "System.ArgumentOutOfRangeException" && texts.token == 0) {
        throw System::ArgumentOutOfRangeException(std::move(texts.message), std::move(texts.stackTrace));
    }
    throw ManagedException(std::move(texts.type), std::move(texts.message), std::move(texts.stackTrace), texts.token);
}

// The entry assembly's methods (vyr.bridge.entry.Entry).
using StartFn = int (*)(const void* face, EntryError* error);
using ModuleCreateFn = int (*)(const char* path, std::size_t size, void** module, EntryError* error);
using RunBeginFn = int (*)(void* module, const void* node, const void* directories, void* admin,
                           void* definitionAdmin, void* callback, void** run, EntryError* error);
using ClassifyFn = int (*)(void* run, const char16_t* name, std::int32_t nameLength, const char16_t* filter,
                           std::int32_t filterLength, std::int32_t iLevel, std::int32_t outputLevel,
                           const char16_t* definition, std::int32_t definitionLength, EntryError* error);
using ClassifyNodesFn = int (*)(void* run, const char16_t* name, std::int32_t nameLength, EntryError* error);
using EndFn = void (*)(void* module, void* run);

struct Entry {
    ModuleCreateFn moduleCreate = nullptr;
    RunBeginFn runBegin = nullptr;
    ClassifyFn classify = nullptr;
    ClassifyNodesFn classifyNodes = nullptr;
    EndFn end = nullptr;
};

constexpr int kSucceeded = 0;
constexpr int kRefused = -1;

// The runtime of the process as this library knows it. Guarded by `mutex`.
struct RuntimeState {
    std::mutex mutex;
    fs::path folder;
    bool boEntryReady = false;
    Entry entry;
#if VYR_HAVE_DOTNET_HOST
    // Set once a runtime runs in the process.
    get_function_pointer_fn functionGet = nullptr;
    load_assembly_fn assemblyLoad = nullptr;
#endif
};

RuntimeState& stateGet() {
    static RuntimeState state;
    return state;
}

#if VYR_HAVE_DOTNET_HOST

constexpr const char* kConfigName = "VyrBridgeEntry.runtimeconfig.json";
constexpr const char* kEntryName = "VyrBridgeEntry.dll";
constexpr const char* kHostName = "libhostfxr.so";
// The assemblies of the default load context, each before those that use it.
constexpr const char* kAssemblies[] = {"VyrBridge.dll", "VyrDirectoriesBridge.dll", "VyrClassificationBridge.dll",
                                       "VyrDefinitionBridge.dll", kEntryName};

// What the .NET host wrote about the failure in progress on this thread.
thread_local std::string hostErrors;

void vHostErrorWrite(const char_t* message) {
    if (!hostErrors.empty()) {
        hostErrors += "; ";
    }
    hostErrors += message;
}

std::string hexCode(int code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(code));
    return text;
}

// The .NET host library: the one the process has loaded, else the one that
// nethost finds.
void* hostLibraryGet(const fs::path& folder) {
    if (void* const loaded = ::dlopen(kHostName, RTLD_LAZY | RTLD_NOLOAD)) {
        return loaded;
    }
    std::string path(4096, '\0');
    std::size_t size = path.size();
    get_hostfxr_parameters parameters{sizeof(get_hostfxr_parameters), nullptr,
                                      folder.empty() ? nullptr : folder.c_str()};
    const int found = ::get_hostfxr_path(path.data(), &size, &parameters);
    if (found != 0) {
        const char* const root = std::getenv("DOTNET_ROOT");
        const std::string where =
            folder.empty() ? std::string("DOTNET_ROOT (") + (root != nullptr ? root : "not set") +
                                 "), the install location file /etc/dotnet/install_location and the default "
                                 "folders /usr/share/dotnet and /usr/lib/dotnet"
                           : "the runtime folder named with vRuntimeFolderSet, " + folder.string();
        throw ModuleLoadException(kHostName, "no .NET runtime found: looked in " + where + " (nethost: " +
                                                 hexCode(found) +
                                                 "); install .NET 10 or later, or name its folder with DOTNET_ROOT "
                                                 "or managed::runtime::vRuntimeFolderSet");
    }
    path.resize(path.find('\0'));
    void* const library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* const reason = ::dlerror();
        throw ModuleLoadException(path, reason != nullptr ? reason : "it does not load");
    }
    return library;
}

template <class Function>
Function symbolGet(void* library, const char* name) {
    void* const symbol = ::dlsym(library, name);
    if (symbol == nullptr) {
        throw ModuleLoadException(kHostName, std::string("the .NET host library has no ") + name);
    }
    return reinterpret_cast<Function>(symbol);
}

// Starts the runtime from the configuration beside the bridge library, or
// joins the one the process runs.
// Requires: the state's mutex is held.
void vRuntimeStart(RuntimeState& state, const fs::path& bridgeFolder) {
    const fs::path config = bridgeFolder / kConfigName;
    std::error_code ignored;
    if (!fs::exists(config, ignored)) {
        throw ModuleLoadException(config, "the runtime configuration is not beside the bridge library; install the "
                                          "managed bridge assemblies there");
    }
    void* const host = hostLibraryGet(state.folder);
    const auto errorWriterSet = symbolGet<hostfxr_set_error_writer_fn>(host, "hostfxr_set_error_writer");
    const auto initialize =
        symbolGet<hostfxr_initialize_for_runtime_config_fn>(host, "hostfxr_initialize_for_runtime_config");
    const auto delegateGet = symbolGet<hostfxr_get_runtime_delegate_fn>(host, "hostfxr_get_runtime_delegate");
    const auto close = symbolGet<hostfxr_close_fn>(host, "hostfxr_close");

    hostErrors.clear();
    const hostfxr_error_writer_fn previous = errorWriterSet(vHostErrorWrite);
    hostfxr_handle context = nullptr;
    const int started = initialize(config.c_str(), nullptr, &context);
    void* functionGet = nullptr;
    void* assemblyLoad = nullptr;
    int delegates = started;
    if (started >= 0 && context != nullptr) {
        delegates = delegateGet(context, hdt_get_function_pointer, &functionGet);
        if (delegates >= 0) {
            delegates = delegateGet(context, hdt_load_assembly, &assemblyLoad);
        }
    }
    if (context != nullptr) {
        close(context);
    }
    errorWriterSet(previous);
    if (started < 0 || context == nullptr || delegates < 0) {
        throw ModuleLoadException(config, "the .NET runtime cannot be started from it (" +
                                              hexCode(started < 0 ? started : delegates) + ")" +
                                              (hostErrors.empty() ? "" : ": " + hostErrors));
    }
    state.functionGet = reinterpret_cast<get_function_pointer_fn>(functionGet);
    state.assemblyLoad = reinterpret_cast<load_assembly_fn>(assemblyLoad);
}

template <class Function>
Function entryMethodGet(RuntimeState& state, const char* name) {
    void* method = nullptr;
    const int found = state.functionGet("vyr.bridge.entry.Entry, VyrBridgeEntry", name,
                                        UNMANAGEDCALLERSONLY_METHOD, nullptr, nullptr, &method);
    if (found != 0 || method == nullptr) {
        throw ModuleLoadException(kEntryName, std::string("the entry assembly has no method ") + name + " (" +
                                                  hexCode(found) + ")");
    }
    return reinterpret_cast<Function>(method);
}

// Loads the managed assemblies beside the bridge library and hands them the
// face. Requires: the state's mutex is held, and a runtime runs.
void vEntryLoad(RuntimeState& state, const fs::path& bridgeFolder, const void* face) {
    for (const char* name : kAssemblies) {
        const fs::path assembly = bridgeFolder / name;
        const int loaded = state.assemblyLoad(assembly.c_str(), nullptr, nullptr);
        if (loaded != 0) {
            throw ModuleLoadException(assembly, "the managed bridge assembly does not load (" + hexCode(loaded) + ")");
        }
    }
    Entry entry;
    const auto start = entryMethodGet<StartFn>(state, "Start");
    entry.moduleCreate = entryMethodGet<ModuleCreateFn>(state, "ModuleCreate");
    entry.runBegin = entryMethodGet<RunBeginFn>(state, "RunBegin");
    entry.classify = entryMethodGet<ClassifyFn>(state, "Classify");
    entry.classifyNodes = entryMethodGet<ClassifyNodesFn>(state, "ClassifyNodes");
    entry.end = entryMethodGet<EndFn>(state, "End");
    EntryError error;
    if (start(face, &error) != kSucceeded) {
        throw ModuleLoadException(bridgeFolder / kEntryName, taken(error).message);
    }
    state.entry = entry;
    state.boEntryReady = true;
}

#endif

// The entry assembly's methods, the runtime started first when no call
// started it yet.
Entry entryGet(const void* callerAddress, const void* face) {
    RuntimeState& state = stateGet();
    const std::lock_guard lock(state.mutex);
    if (state.boEntryReady) {
        return state.entry;
    }
#if VYR_HAVE_DOTNET_HOST
    const fs::path bridgeFolder = libraryFolderGet(callerAddress);
    if (state.functionGet == nullptr) {
        vRuntimeStart(state, bridgeFolder);
    }
    vEntryLoad(state, bridgeFolder, face);
    return state.entry;
#else
    static_cast<void>(callerAddress);
    static_cast<void>(face);
    throw ModuleLoadException(moduleFileGet(), "this bridge library was built without .NET (the SDK's host pack was "
                                               "not found when it was built), so it cannot run a managed module");
#endif
}

std::int32_t lengthOf(const System::String& text) { return text.Length(); }

} // namespace

ManagedException::ManagedException(std::string sTypeName, std::string sMessage, std::string sStackTrace,
                                   std::uint64_t nativeToken)
    : sTypeName_(std::move(sTypeName)), sMessage_(std::move(sMessage)), sStackTrace_(std::move(sStackTrace)),
      nativeToken_(nativeToken), what_(sTypeName_ + ": " + sMessage_) {}

ManagedException::~ManagedException() = default;

const char* ManagedException::what() const noexcept { return what_.c_str(); }

void vRuntimeFolderSet(std::filesystem::path folder) {
    RuntimeState& state = stateGet();
    const std::lock_guard lock(state.mutex);
    state.folder = std::move(folder);
}

ModuleRun::ModuleRun(const void* callerAddress, const void* face) {
    const Entry entry = entryGet(callerAddress, face);
    const fs::path file = moduleFileFind(callerAddress);
    const std::string path = file.string();
    EntryError error;
    const int made = entry.moduleCreate(path.data(), path.size(), &module_, &error);
    if (made == kRefused) {
        throw ModuleLoadException(file, taken(error).message);
    }
    if (made != kSucceeded) {
        vManagedThrow(error);
    }
    vModuleFileLoadedSet(file);
}

ModuleRun::~ModuleRun() {
    if (module_ != nullptr || run_ != nullptr) {
        stateGet().entry.end(module_, run_);
    }
}

void ModuleRun::vInit(const void* node, const void* directories, void* admin, void* definitionAdmin,
                      void* callback) {
    EntryError error;
    if (stateGet().entry.runBegin(module_, node, directories, admin, definitionAdmin, callback, &run_, &error) !=
        kSucceeded) {
        vManagedThrow(error);
    }
}

void ModuleRun::vClassify(const System::String& name, const System::String& filter, std::int32_t iLevel,
                          std::int32_t outputLevel, const System::String& definition) {
    EntryError error;
    if (stateGet().entry.classify(run_, name.view().data(), lengthOf(name), filter.view().data(), lengthOf(filter),
                                  iLevel, outputLevel, definition.view().data(), lengthOf(definition),
                                  &error) != kSucceeded) {
        vManagedThrow(error);
    }
}

void ModuleRun::vClassifyNodes(const System::String& name) {
    EntryError error;
    if (stateGet().entry.classifyNodes(run_, name.view().data(), lengthOf(name), &error) != kSucceeded) {
        vManagedThrow(error);
    }
}

} // namespace managed::runtime
