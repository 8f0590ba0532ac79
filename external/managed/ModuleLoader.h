#pragma once

#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "external/platform/Export.h"

// How the runtime finds the classification module's assembly file: at the
// first entry point call that needs it, not when the program starts, so a
// host that never classifies needs no module (and no .NET) at all.
//
// The module is the file the host names with vModuleFileSet, else the file
// named kModuleFileName. A path with a folder is loaded from there. A bare
// file name is looked for, in this order, in
//   1. the host program's own folder;
//   2. the folders of the host program's own RUNPATH (or RPATH, when it has
//      no RUNPATH), with "$ORIGIN" standing for the program's folder;
//   3. the bridge library's folder, where a module installed beside the
//      library lives;
// and the first file found is loaded. The folders the host ships come
// first, so that the host's own module is the one that runs. Every file is
// opened by its absolute path: nothing is ever looked up relative to the
// working folder, nor on the library search path (LD_LIBRARY_PATH, the
// system's folders). Once loaded, a module assembly stays loaded until the
// process ends (DotnetRuntime.h says how it is loaded).
//
// These calls belong to the runtime library (libvyr_managed), which every
// program that links the bridge library links too.
namespace managed::runtime {

// The file name the runtime looks for when the host names none.
inline constexpr const char* kModuleFileName = "VyrCommonClassification.dll";

// The module cannot be used: the file was not found, is not an assembly,
// lacks the module class or one of its methods, or was built against bridge
// assemblies of another major version; or no .NET runtime could be started
// for it (the file named is then what was looked for: the runtime's host
// library or the runtime configuration).
// Owns copies of the file name looked for, of the reason and of the folders
// looked in; immutable, so thread-safe.
class VYR_EXPORT ModuleLoadException : public std::exception {
public:
    ModuleLoadException(std::filesystem::path file, std::string sReason,
                        std::vector<std::filesystem::path> lookedIn = {});
    ~ModuleLoadException() override;

    // The file looked for, as named.
    [[nodiscard]] const std::filesystem::path& fileGet() const noexcept { return file_; }
    // Why it cannot be used, with the system's own words where it gave any.
    [[nodiscard]] const std::string& sReasonGet() const noexcept { return sReason_; }
    // The folders a bare file name was looked for in, in order, when it was
    // found in none; empty when the file was found (or named by its path)
    // but cannot be used.
    [[nodiscard]] const std::vector<std::filesystem::path>& lookedInGet() const noexcept { return lookedIn_; }
    // "Cannot load the classification module "<file>": <reason>"; when the
    // file was not found, the reason names each folder looked in and how to
    // name the module's file.
    [[nodiscard]] const char* what() const noexcept override;

private:
    std::filesystem::path file_;
    std::string sReason_;
    std::vector<std::filesystem::path> lookedIn_;
    std::string message_;
};

// Names the module assembly that the entry point calls from now on use: a
// bare file name (looked up like kModuleFileName) or a path. A relative path
// is made absolute here, against the working folder of this call, and never
// resolved again. An empty path goes back to kModuleFileName. Nothing is
// loaded here; a module loaded for an earlier name stays loaded and the
// objects made from it stay valid. Thread-safe; throws
// std::filesystem::filesystem_error when a relative path is given and the
// working folder cannot be determined.
VYR_EXPORT void vModuleFileSet(std::filesystem::path file);

// The file name the next entry point call looks for: kModuleFileName, or
// what the host named (a path made absolute). Thread-safe.
[[nodiscard]] VYR_EXPORT std::filesystem::path moduleFileGet();

// The absolute path of the module assembly file that the latest entry point
// call made its module from (the file it loaded, or had loaded before), so
// that a host can log which module runs; empty until a call has loaded one.
// A call whose module cannot be used leaves it as it was. Thread-safe.
[[nodiscard]] VYR_EXPORT std::filesystem::path moduleFileLoadedGet();

// The absolute path of the module file the next call uses: the file named,
// or the first found in the places above. Throws ModuleLoadException,
// naming each folder looked in, when it is nowhere. Thread-safe.
[[nodiscard]] VYR_EXPORT std::filesystem::path moduleFileFind(const void* callerAddress);

// Records the module file that a call made its module from. Thread-safe.
VYR_EXPORT void vModuleFileLoadedSet(std::filesystem::path file);

// The absolute folder of the loaded library that holds the address, as the
// dynamic linker recorded it when it loaded the library; empty when unknown.
[[nodiscard]] VYR_EXPORT std::filesystem::path libraryFolderGet(const void* address);

} // namespace managed::runtime
