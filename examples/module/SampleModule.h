#pragma once

#include <cstdint>

#include "external/managed/CommonClassification/Modules/CommonClassificationModule.h"

namespace managed::CommonClassification::Modules {

// The sample classification module (SampleModule.cpp says what a run does).
// Holds the services that vInit bound, for the run that follows; one thread
// at a time.
class SampleModule final : public CommonClassificationModule {
public:
    void vInit(Handle<vyr::bridge::IDirectories> directories,
               Handle<vyr::bridge::classification::Admin> classificationAdmin,
               Handle<vyr::bridge::definition::Admin> definitionAdmin) override;
    void vClassify(Handle<System::String> classificationMappingName,
                   Handle<System::String> classificationFilterMappingName, std::int32_t iLevel,
                   std::int32_t outputLevel, Handle<System::String> definitionToUpdate,
                   Handle<vyr::bridge::classification::CommonClassificationCallback> classificationCallback) override;
    void vClassifyNodes(Handle<System::String> classificationMappingName,
                        Handle<vyr::bridge::definition::Node> sourceNodes) override;

private:
    Handle<vyr::bridge::IDirectories> directories_;
    Handle<vyr::bridge::classification::Admin> classificationAdmin_;
    Handle<vyr::bridge::definition::Admin> definitionAdmin_;
};

} // namespace managed::CommonClassification::Modules
