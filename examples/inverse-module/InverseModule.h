#pragma once

#include <cstdint>

#include "external/managed/CommonClassification/Modules/CommonClassificationModule.h"

namespace inverse {

namespace proxies = managed::vyr::bridge;

// A classification module that writes the inverse of a classification: for
// each pair (s, c) of MAPPING's merged view, the pair (c, s) into UPDATE at
// the output level, which it creates there when no level of it reads yet.
// The filter and the input level are not used. vClassifyNodes prints each
// node with the classified ids of its name in MAPPING.
//
// Holds the services that vInit bound, for the run that follows; one thread
// at a time, as every module object.
class InverseModule final : public managed::CommonClassification::Modules::CommonClassificationModule {
public:
    void vInit(managed::Handle<proxies::IDirectories> directories,
               managed::Handle<proxies::classification::Admin> classificationAdmin,
               managed::Handle<proxies::definition::Admin> definitionAdmin) override;
    void vClassify(
        managed::Handle<managed::System::String> classificationMappingName,
        managed::Handle<managed::System::String> classificationFilterMappingName, std::int32_t iLevel,
        std::int32_t outputLevel, managed::Handle<managed::System::String> definitionToUpdate,
        managed::Handle<proxies::classification::CommonClassificationCallback> classificationCallback) override;
    void vClassifyNodes(managed::Handle<managed::System::String> classificationMappingName,
                        managed::Handle<proxies::definition::Node> sourceNodes) override;

private:
    managed::Handle<proxies::IDirectories> directories_;
    managed::Handle<proxies::classification::Admin> classificationAdmin_;
    managed::Handle<proxies::definition::Admin> definitionAdmin_;
};

} // namespace inverse
