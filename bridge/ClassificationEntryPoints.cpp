#include "bridge/ClassificationEntryPoints.h"

#include <cstdint>

#include "bridge/StoreFace.h"
#include "bridge/StoreFaceInternal.h"
#include "bridge/StringConversion.h"
#include "external/managed/DotnetRuntime.h"
#include "external/managed/System/String.h"

namespace vyr::bridge::classification {
namespace {

using managed::Handle;
using managed::marshal_as;
using managed::runtime::ManagedException;
using managed::runtime::ModuleRun;
using ManagedString = managed::System::String;

// An address inside this library: the managed assemblies and the runtime's
// configuration lie in this library's folder, and a module is looked for
// there last.
const char kLibraryAnchor = 0;

// Runs the call's managed steps. A store error that the module let through
// reaches the host as the very C++ exception the store threw; every other
// managed exception as it arrived.
template <class Steps>
void vRun(Steps&& steps) {
    // The store is not reset while a run is in progress.
    const face::RunScope running;
    try {
        steps();
    } catch (const ManagedException& error) {
        if (error.nativeTokenGet() != 0) {
            face::vKeptErrorRethrow(error.nativeTokenGet());
        }
        throw;
    }
}

} // namespace

void vClassify(const vyr::DirectoriesInterface& directories,
               vyr::bridge::classification::AdminWrapper& classificationAdmin,
               vyr::bridge::definition::AdminWrapper& definitionAdmin, const std::string& sClassificationMappingName,
               const std::string& sClassificationFilterMappingName, const vyr::cache::Level& iLevel,
               const vyr::cache::Level& outputLevel, const std::string& sDefinitionToUpdate,
               vyr::classification::ClassificationUiCallbackInterface* classificationCallback) {
    vRun([&] {
        // The module first: one that cannot be loaded throws before any
        // proxy is made. Its end closes the proxies and the accesses left open.
        ModuleRun module(&kLibraryAnchor, vyr_face_get(VYR_FACE_VERSION));
        module.vInit(nullptr, &directories, &classificationAdmin, &definitionAdmin, classificationCallback);
        // Converted after vInit and in this order: a failed conversion leaves
        // the module initialised, converts none of the strings after it and
        // starts no run.
        const Handle<ManagedString> definitionToUpdate = marshal_as<Handle<ManagedString>>(sDefinitionToUpdate);
        const std::int32_t outputLevelValue = static_cast<std::int32_t>(outputLevel);
        const std::int32_t inputLevelValue = static_cast<std::int32_t>(iLevel);
        const Handle<ManagedString> filterMappingName =
            marshal_as<Handle<ManagedString>>(sClassificationFilterMappingName);
        const Handle<ManagedString> mappingName = marshal_as<Handle<ManagedString>>(sClassificationMappingName);
        module.vClassify(*mappingName, *filterMappingName, inputLevelValue, outputLevelValue, *definitionToUpdate);
    });
}

void vClassify(const vyr::DirectoriesInterface& directories,
               vyr::bridge::classification::AdminWrapper& classificationAdmin,
               vyr::bridge::definition::AdminWrapper& definitionAdmin, const std::string& sClassificationMappingName,
               const vyr::definition::Node& sourceNodes) {
    vRun([&] {
        ModuleRun module(&kLibraryAnchor, vyr_face_get(VYR_FACE_VERSION));
        // The node proxy is made first; the caller's node is handed on as it
        // is, and only the module decides what to do with it.
        module.vInit(&sourceNodes, &directories, &classificationAdmin, &definitionAdmin, nullptr);
        const Handle<ManagedString> mappingName = marshal_as<Handle<ManagedString>>(sClassificationMappingName);
        module.vClassifyNodes(*mappingName);
    });
}

} // namespace vyr::bridge::classification
