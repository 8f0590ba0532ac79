#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <string>

#include "external/managed/System/String.h"
#include "external/platform/Export.h"

// The .NET runtime in the host's process, and the module runs the entry
// points make with it.
//
// The runtime starts at the first entry point call that needs it, never when
// a library loads: a host that never classifies never starts it and needs no
// .NET. Starting it: the .NET host library (libhostfxr.so) is the one the
// process has loaded already, else the one that nethost finds in the
// runtime folder a host named (vRuntimeFolderSet), else in the standard
// places (the DOTNET_ROOT environment variable, the install location file
// /etc/dotnet/install_location, the default folder /usr/share/dotnet or
// /usr/lib/dotnet). Never on PATH, never in the working folder. It starts the
// runtime from the configuration installed beside the bridge library
// (VyrBridgeEntry.runtimeconfig.json: .NET 10, or a newer major version when
// 10 is missing), or joins the runtime the process runs already when that one
// satisfies the configuration. Then it loads the bridge assemblies and the
// entry assembly beside the bridge library into the default load context and
// hands them the store's C face.
//
// When that fails, the call throws ModuleLoadException (ModuleLoader.h),
// naming what was looked for and where, with the .NET host's own words; no
// run starts and the next call tries again. Once a runtime is running in the
// process it stays until the process ends (a process has one runtime, never
// unloaded): later failures to load the entry assembly are retried against
// it, and vRuntimeFolderSet no longer matters.

namespace managed::runtime {

// An exception that a module's managed code threw and did not catch, as the
// host receives it: the managed type's full name ("System.InvalidOperationException"),
// its message and its stack trace. A native exception of the store that
// crossed the module unhandled does not arrive as this type: the host gets
// the very C++ exception the store threw. Owns copies of its texts;
// immutable, so thread-safe.
class VYR_EXPORT ManagedException : public std::exception {
public:
    ManagedException(std::string sTypeName, std::string sMessage, std::string sStackTrace,
                     std::uint64_t nativeToken = 0);
    ~ManagedException() override;

    [[nodiscard]] const std::string& sTypeNameGet() const noexcept { return sTypeName_; }
    [[nodiscard]] const std::string& sMessageGet() const noexcept { return sMessage_; }
    [[nodiscard]] const std::string& sStackTraceGet() const noexcept { return sStackTrace_; }
    // The key under which the bridge keeps the native exception that this
    // one stands for (a store error the module let through); 0 for none.
    [[nodiscard]] std::uint64_t nativeTokenGet() const noexcept { return nativeToken_; }
    // "<type name>: <message>".
    [[nodiscard]] const char* what() const noexcept override;

private:
    std::string sTypeName_;
    std::string sMessage_;
    std::string sStackTrace_;
    std::uint64_t nativeToken_;
    std::string what_;
};

// Names the folder of the .NET installation to start the runtime from (the
// folder holding host/fxr/); an empty path goes back to the standard places.
// Matters only until a runtime has started in the process. Thread-safe.
VYR_EXPORT void vRuntimeFolderSet(std::filesystem::path folder);

// One module object and the run made with it, for one entry point call.
// Destroying it ends the call: the write accesses that the module left open
// are written back and released, every proxy made for the call is closed
// (a module that kept one gets ObjectDisposedException), and the module
// object is left to the runtime. Each managed call throws ManagedException
// for what the module threw, or managed::System::ArgumentOutOfRangeException
// for that managed type. Not copyable; one thread.
class VYR_EXPORT ModuleRun {
public:
    // Starts the runtime if no call did yet, then makes a module object from
    // the module file (ModuleLoader.h), handing the managed side `face`, the
    // bridge library's store face table. `callerAddress` is an address
    // inside the bridge library, whose folder holds the managed assemblies.
    // Throws ModuleLoadException when the runtime or the module cannot be
    // had; what the module's constructor throws arrives as ManagedException.
    ModuleRun(const void* callerAddress, const void* face);
    ~ModuleRun();
    ModuleRun(const ModuleRun&) = delete;
    ModuleRun& operator=(const ModuleRun&) = delete;

    // Makes the proxies around the caller's objects (the node first when it
    // is given; the callback only when it is not null), then calls vInit.
    void vInit(const void* node, const void* directories, void* admin, void* definitionAdmin, void* callback);
    // The module's runs, with managed strings made from exactly these code
    // units.
    void vClassify(const System::String& name, const System::String& filter, std::int32_t iLevel,
                   std::int32_t outputLevel, const System::String& definition);
    void vClassifyNodes(const System::String& name);

private:
    void* module_ = nullptr;
    void* run_ = nullptr;
};

} // namespace managed::runtime
