#pragma once

#include <exception>
#include <filesystem>
#include <string>

#include "external/managed/CommonClassification/Modules/CommonClassificationModule.h"
#include "external/managed/Runtime.h"
#include "external/platform/Export.h"

// How the runtime finds and loads the classification module's library: at
// the first entry point call that needs it, not when the program starts, so
// a host that never classifies needs no module at all.
//
// The library is looked up by a file name, kModuleFileName unless the host
// names another with vModuleFileSet. A bare file name is looked for in the
// folder of the library that asks for the module (the bridge library); a
// name with a folder in it is loaded from there. Every file is opened by its
// absolute path: nothing is ever looked up relative to the working folder or
// on the library search path. Once loaded, a module library stays loaded
// until the process ends.
namespace managed::runtime {

// The file name the runtime looks for when the host names none.
inline constexpr const char* kModuleFileName = "libVyrCommonClassification.so";

// The module library cannot be used: the file was not found or does not
// load, it has no factory, or it was built for another interface version.
// Owns copies of the file name looked for and of the reason; immutable, so
// thread-safe.
class VYR_EXPORT ModuleLoadException : public std::exception {
public:
    ModuleLoadException(std::filesystem::path file, std::string sReason);
    ~ModuleLoadException() override;

    // The file looked for, as named.
    [[nodiscard]] const std::filesystem::path& fileGet() const noexcept { return file_; }
    // Why it cannot be used, with the system's own words where it gave any.
    [[nodiscard]] const std::string& sReasonGet() const noexcept { return sReason_; }
    // "Cannot load the classification module "<file>": <reason>"
    [[nodiscard]] const char* what() const noexcept override;

private:
    std::filesystem::path file_;
    std::string sReason_;
    std::string message_;
};

// Names the module library that the entry point calls from now on use: a
// bare file name (looked up like kModuleFileName) or a path. A relative path
// is made absolute here, against the working folder of this call, and never
// resolved again. An empty path goes back to kModuleFileName. Nothing is
// loaded here; a library loaded for an earlier name stays loaded and the
// objects made from it stay valid. Thread-safe; throws
// std::filesystem::filesystem_error when a relative path is given and the
// working folder cannot be determined.
VYR_EXPORT void vModuleFileSet(std::filesystem::path file);

// The file name the next entry point call looks for: kModuleFileName, or
// what the host named (a path made absolute). Thread-safe.
[[nodiscard]] VYR_EXPORT std::filesystem::path moduleFileGet();

// Creates a module object through the factory of the module library, which
// is loaded first if no call has loaded it yet. `callerAddress` is any
// address inside the library that asks: its folder, as the dynamic linker
// recorded it when it loaded that library, is where a bare file name is
// looked for. Reports the object to the allocation observer, as
// gcnew does. Throws ModuleLoadException when the library cannot be used;
// nothing is kept of a failed attempt, so the next call tries again.
// Whatever the module's constructor throws passes unchanged. Thread-safe.
[[nodiscard]] VYR_EXPORT Handle<CommonClassification::Modules::CommonClassificationModule>
moduleCreate(const void* callerAddress);

} // namespace managed::runtime
