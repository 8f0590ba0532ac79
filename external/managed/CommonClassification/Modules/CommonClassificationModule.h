#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "external/managed/Runtime.h"
#include "external/managed/System/String.h"
#include "external/managed/vyr/bridge/IDirectories.h"
#include "external/managed/vyr/bridge/classification/Admin.h"
#include "external/managed/vyr/bridge/classification/CommonClassificationCallback.h"
#include "external/managed/vyr/bridge/definition/Admin.h"
#include "external/managed/vyr/bridge/definition/Node.h"
#include "external/platform/Export.h"

namespace managed::CommonClassification::Modules {

// The managed classification module. Only declared here: a module library
// (an "assembly") defines its members and its Impl, and the program that
// loads the bridge decides which one it links. The class holds nothing but
// the pointer to its Impl, so callers create it without knowing more of it.
// Each object is used by one thread at a time.
//
// The members are exported one by one, not the class, so that the class
// itself and what is instantiated over it stay private to each library.
class CommonClassificationModule {
public:
    static constexpr std::string_view managedTypeName = "CommonClassification.Modules.CommonClassificationModule";

    struct Impl;

    VYR_EXPORT CommonClassificationModule();
    VYR_EXPORT ~CommonClassificationModule();
    CommonClassificationModule(const CommonClassificationModule&) = delete;
    CommonClassificationModule& operator=(const CommonClassificationModule&) = delete;

    // Binds the three services for the run that follows.
    VYR_EXPORT void vInit(Handle<vyr::bridge::IDirectories> directories,
                          Handle<vyr::bridge::classification::Admin> classificationAdmin,
                          Handle<vyr::bridge::definition::Admin> definitionAdmin);

    // A classification run; returns when the run is over. The callback may
    // be null.
    VYR_EXPORT void vClassify(Handle<System::String> classificationMappingName,
                              Handle<System::String> classificationFilterMappingName, std::int32_t iLevel,
                              std::int32_t outputLevel, Handle<System::String> definitionToUpdate,
                              Handle<vyr::bridge::classification::CommonClassificationCallback> classificationCallback);

    // A run over the given definition nodes; returns when the run is over.
    VYR_EXPORT void vClassifyNodes(Handle<System::String> classificationMappingName,
                                   Handle<vyr::bridge::definition::Node> sourceNodes);

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace managed::CommonClassification::Modules
