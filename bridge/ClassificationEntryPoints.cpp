#include "bridge/ClassificationEntryPoints.h"

#include <cstdint>

#include "bridge/StringConversion.h"
#include "external/managed/CommonClassification/Modules/CommonClassificationModule.h"
#include "external/managed/ModuleLoader.h"
#include "external/managed/Runtime.h"
#include "external/managed/System/String.h"
#include "external/managed/vyr/bridge/Directories.h"
#include "external/managed/vyr/bridge/IDirectories.h"
#include "external/managed/vyr/bridge/classification/Admin.h"
#include "external/managed/vyr/bridge/classification/CommonClassificationCallback.h"
#include "external/managed/vyr/bridge/definition/Admin.h"
#include "external/managed/vyr/bridge/definition/Node.h"

namespace vyr::bridge::classification {
namespace {

using managed::gcnew;
using managed::Handle;
using managed::marshal_as;
using Module = managed::CommonClassification::Modules::CommonClassificationModule;
using ManagedString = managed::System::String;

// An address inside this library: the runtime looks for the module library
// in this library's folder first.
const char kLibraryAnchor = 0;

// Step one of each entry point: the module object, made by the module
// library, which the runtime loads at the first call that needs it. A module
// that cannot be loaded throws here, before anything else is made.
Handle<Module> moduleNew() { return managed::runtime::moduleCreate(&kLibraryAnchor); }

} // namespace

void vClassify(const vyr::DirectoriesInterface& directories,
               vyr::bridge::classification::AdminWrapper& classificationAdmin,
               vyr::bridge::definition::AdminWrapper& definitionAdmin, const std::string& sClassificationMappingName,
               const std::string& sClassificationFilterMappingName, const vyr::cache::Level& iLevel,
               const vyr::cache::Level& outputLevel, const std::string& sDefinitionToUpdate,
               vyr::classification::ClassificationUiCallbackInterface* classificationCallback) {
    const Handle<Module> module = moduleNew();
    const Handle<managed::vyr::bridge::IDirectories> directoriesProxy =
        gcnew<managed::vyr::bridge::Directories>(directories);
    const auto classificationAdminProxy = gcnew<managed::vyr::bridge::classification::Admin>(classificationAdmin);
    const auto definitionAdminProxy = gcnew<managed::vyr::bridge::definition::Admin>(definitionAdmin);
    Handle<managed::vyr::bridge::classification::CommonClassificationCallback> callbackProxy;
    if (classificationCallback != nullptr) {
        callbackProxy = gcnew<managed::vyr::bridge::classification::CommonClassificationCallback>(classificationCallback);
    }

    module->vInit(directoriesProxy, classificationAdminProxy, definitionAdminProxy);

    // Converted after vInit and in this order: a failed conversion leaves the
    // module initialised, converts none of the strings after it and starts
    // no run.
    const Handle<ManagedString> definitionToUpdate = marshal_as<Handle<ManagedString>>(sDefinitionToUpdate);
    const std::int32_t outputLevelValue = static_cast<std::int32_t>(outputLevel);
    const std::int32_t inputLevelValue = static_cast<std::int32_t>(iLevel);
    const Handle<ManagedString> filterMappingName = marshal_as<Handle<ManagedString>>(sClassificationFilterMappingName);
    const Handle<ManagedString> mappingName = marshal_as<Handle<ManagedString>>(sClassificationMappingName);

    module->vClassify(mappingName, filterMappingName, inputLevelValue, outputLevelValue, definitionToUpdate,
                      callbackProxy);
}

void vClassify(const vyr::DirectoriesInterface& directories,
               vyr::bridge::classification::AdminWrapper& classificationAdmin,
               vyr::bridge::definition::AdminWrapper& definitionAdmin, const std::string& sClassificationMappingName,
               const vyr::definition::Node& sourceNodes) {
    const Handle<Module> module = moduleNew();
    // The node proxy takes the nodes it may edit, hence a non-const node;
    // the caller's node is handed on as it is, and only the module decides
    // what to do with it.
    const auto nodeProxy =
        gcnew<managed::vyr::bridge::definition::Node>(const_cast<vyr::definition::Node&>(sourceNodes));
    const Handle<managed::vyr::bridge::IDirectories> directoriesProxy =
        gcnew<managed::vyr::bridge::Directories>(directories);
    const auto classificationAdminProxy = gcnew<managed::vyr::bridge::classification::Admin>(classificationAdmin);
    const auto definitionAdminProxy = gcnew<managed::vyr::bridge::definition::Admin>(definitionAdmin);

    module->vInit(directoriesProxy, classificationAdminProxy, definitionAdminProxy);

    const Handle<ManagedString> mappingName = marshal_as<Handle<ManagedString>>(sClassificationMappingName);

    module->vClassifyNodes(mappingName, nodeProxy);
}

} // namespace vyr::bridge::classification
