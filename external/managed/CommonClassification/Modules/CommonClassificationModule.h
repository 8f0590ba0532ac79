#pragma once

#include <cstdint>
#include <string_view>
#include <type_traits>

#include "external/managed/Runtime.h"
#include "external/managed/System/String.h"
#include "external/managed/vyr/bridge/IDirectories.h"
#include "external/managed/vyr/bridge/classification/Admin.h"
#include "external/managed/vyr/bridge/classification/CommonClassificationCallback.h"
#include "external/managed/vyr/bridge/definition/Admin.h"
#include "external/managed/vyr/bridge/definition/Node.h"
#include "external/platform/Export.h"

// The interface of the classification module, the one "assembly" that lives
// outside the system: a separate shared library that the runtime loads at
// the first entry point call that needs it (external/managed/ModuleLoader.h).
// A module library implements CommonClassificationModule and exports the
// C factory vyrClassificationModuleCreate, most simply through
// VYR_CLASSIFICATION_MODULE below (or the CMake function
// vyr_classification_module, which writes that line for it).
namespace managed::CommonClassification::Modules {

// The version of this interface: of the class below, of the factory and of
// every proxy and runtime type they name. It changes whenever a change here
// would break a module built before it; the runtime refuses a module built
// for another version.
inline constexpr std::uint32_t kModuleInterfaceVersion = 1;

// The classification module. Each entry point call creates one object
// through the module library's factory, then, in this order:
//
//   first entry point:  vInit, then vClassify;
//   second entry point: vInit, then vClassifyNodes.
//
// The proxies and strings passed in are created for the call; the native
// objects behind the proxies belong to the host and may be used only until
// the run operation returns. Whatever a member throws reaches the host
// unchanged. Each object is used by one thread at a time; two calls on two
// threads use two objects.
//
// Its virtual table and type information live in the runtime library, so
// that every library sees one type.
class VYR_EXPORT CommonClassificationModule {
public:
    static constexpr std::string_view managedTypeName = "CommonClassification.Modules.CommonClassificationModule";

    CommonClassificationModule(const CommonClassificationModule&) = delete;
    CommonClassificationModule& operator=(const CommonClassificationModule&) = delete;
    virtual ~CommonClassificationModule();

    // Binds the three services for the run that follows.
    virtual void vInit(Handle<vyr::bridge::IDirectories> directories,
                       Handle<vyr::bridge::classification::Admin> classificationAdmin,
                       Handle<vyr::bridge::definition::Admin> definitionAdmin) = 0;

    // A classification run; returns when the run is over. The levels are the
    // integer values of vyr::cache::Level, unchecked. The callback may be
    // null.
    virtual void
    vClassify(Handle<System::String> classificationMappingName, Handle<System::String> classificationFilterMappingName,
              std::int32_t iLevel, std::int32_t outputLevel, Handle<System::String> definitionToUpdate,
              Handle<vyr::bridge::classification::CommonClassificationCallback> classificationCallback) = 0;

    // A run over the given definition nodes; returns when the run is over.
    virtual void vClassifyNodes(Handle<System::String> classificationMappingName,
                                Handle<vyr::bridge::definition::Node> sourceNodes) = 0;

protected:
    CommonClassificationModule() = default;
};

namespace details {

// The body of the factory that VYR_CLASSIFICATION_MODULE defines.
template <class ModuleClass>
std::uint32_t moduleFactoryRun(std::uint32_t iInterfaceVersion, CommonClassificationModule** module) {
    static_assert(std::is_base_of_v<CommonClassificationModule, ModuleClass>,
                  "a classification module derives from CommonClassificationModule");
    static_assert(std::is_default_constructible_v<ModuleClass>,
                  "a classification module is created with its default constructor");
    if (module != nullptr && iInterfaceVersion == kModuleInterfaceVersion) {
        *module = new ModuleClass();
    }
    return kModuleInterfaceVersion;
}

} // namespace details
} // namespace managed::CommonClassification::Modules

extern "C" {

// The module library's factory: the one function the runtime looks up in
// it, by the name kModuleFactoryName. `iInterfaceVersion` is the version the
// runtime was built for. The factory returns the version the module was
// built for, and when `module` is not null and both versions are equal it
// also stores a new module object there, which the caller owns and destroys
// through the virtual destructor. With a null `module` it only answers the
// version. Whatever the module's constructor throws passes to the caller.
VYR_EXPORT std::uint32_t
vyrClassificationModuleCreate(std::uint32_t iInterfaceVersion,
                              managed::CommonClassification::Modules::CommonClassificationModule** module);

} // extern "C"

namespace managed::CommonClassification::Modules {

inline constexpr const char* kModuleFactoryName = "vyrClassificationModuleCreate";
using ModuleFactory = decltype(&vyrClassificationModuleCreate);

} // namespace managed::CommonClassification::Modules

// Defines the module library's factory for ModuleClass, a default-
// constructible class derived from CommonClassificationModule. Write it once
// in one source file of the module library, at global scope:
//
//   VYR_CLASSIFICATION_MODULE(my::MyModule)
#define VYR_CLASSIFICATION_MODULE(ModuleClass)                                                                        \
    extern "C" VYR_EXPORT std::uint32_t vyrClassificationModuleCreate(                                              \
        std::uint32_t iInterfaceVersion,                                                                            \
        ::managed::CommonClassification::Modules::CommonClassificationModule** module) {                            \
        return ::managed::CommonClassification::Modules::details::moduleFactoryRun<ModuleClass>(iInterfaceVersion,   \
                                                                                                 module);           \
    }
