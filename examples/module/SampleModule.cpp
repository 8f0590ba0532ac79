// The sample classification module used by the demo host: it reports what
// the bridge hands it, so a person can follow a call from the host through
// the bridge into the module.

#include <cstdint>
#include <iostream>
#include <string>
#include <utility>

#include "external/directories/Directories.h"
#include "external/managed/CommonClassification/Modules/CommonClassificationModule.h"
#include "external/str/Utf.h"

namespace managed::CommonClassification::Modules {
namespace {

std::string utf8Get(const Handle<System::String>& text) {
    if (!text) {
        return "(null)";
    }
    std::string result;
    ::vyr::str::details::vUtfConvertImpl<char, char16_t>(result, text->view());
    return result;
}

} // namespace

// The services bound by vInit, held for the run that follows.
struct CommonClassificationModule::Impl {
    Handle<vyr::bridge::IDirectories> directories;
    Handle<vyr::bridge::classification::Admin> classificationAdmin;
    Handle<vyr::bridge::definition::Admin> definitionAdmin;
};

CommonClassificationModule::CommonClassificationModule() : impl_(std::make_unique<Impl>()) {}

CommonClassificationModule::~CommonClassificationModule() = default;

void CommonClassificationModule::vInit(Handle<vyr::bridge::IDirectories> directories,
                                       Handle<vyr::bridge::classification::Admin> classificationAdmin,
                                       Handle<vyr::bridge::definition::Admin> definitionAdmin) {
    impl_->directories = std::move(directories);
    impl_->classificationAdmin = std::move(classificationAdmin);
    impl_->definitionAdmin = std::move(definitionAdmin);

    const ::vyr::DirectoriesInterface& service = impl_->directories->nativeGet();
    std::cout << "module: vInit\n"
              << "  system folder: " << ::vyr::str::utf8FromPath(service.sysDirectoryGet()) << '\n';
    for (const std::filesystem::path& folder : service.sharedDirectoriesGet()) {
        std::cout << "  shared folder: " << ::vyr::str::utf8FromPath(folder) << '\n';
    }
    std::cout << "  user folder: " << ::vyr::str::utf8FromPath(service.userDirectoryGet()) << '\n'
              << "  definition admin: " << impl_->definitionAdmin->nativeGet().nameGet() << '\n';
}

void CommonClassificationModule::vClassify(
    Handle<System::String> classificationMappingName, Handle<System::String> classificationFilterMappingName,
    std::int32_t iLevel, std::int32_t outputLevel, Handle<System::String> definitionToUpdate,
    Handle<vyr::bridge::classification::CommonClassificationCallback> classificationCallback) {
    std::cout << "module: vClassify\n"
              << "  mapping: " << utf8Get(classificationMappingName) << " ("
              << classificationMappingName->Length() << " code units)\n"
              << "  filter mapping: " << utf8Get(classificationFilterMappingName) << '\n'
              << "  input level: " << iLevel << ", output level: " << outputLevel << '\n'
              << "  definition to update: " << utf8Get(definitionToUpdate) << '\n'
              << "  callback: " << (classificationCallback ? "yes" : "none") << '\n';
    if (classificationCallback) {
        ::vyr::classification::ClassificationUiCallbackInterface* callback = classificationCallback->nativeGet();
        callback->vMessage("sample module: run over " + utf8Get(classificationMappingName));
        callback->vProgress(1, 1);
    }
}

void CommonClassificationModule::vClassifyNodes(Handle<System::String> classificationMappingName,
                                                Handle<vyr::bridge::definition::Node> sourceNodes) {
    const ::vyr::definition::Node& node = sourceNodes->nativeGet();
    std::cout << "module: vClassifyNodes\n"
              << "  mapping: " << utf8Get(classificationMappingName) << '\n'
              << "  node: " << node.nameGet() << " with " << node.childrenGet().size() << " children\n";
}

} // namespace managed::CommonClassification::Modules
