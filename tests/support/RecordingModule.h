#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "external/managed/CommonClassification/Modules/CommonClassificationModule.h"
#include "external/platform/Export.h"

namespace vyr::test {

// One thing the recording module saw: a construction or call of the module,
// or a managed object that the runtime reported as created.
struct Record {
    // "new <managed type name>" for a reported creation; "construct",
    // "vInit", "vClassify" or "vClassifyNodes" for the module.
    std::string sOperation;
    // The created object, or the module whose operation ran.
    const void* object = nullptr;
    // The managed arguments' objects in parameter order; null for a null handle.
    std::vector<const void*> arguments;
    // The string arguments' UTF-16 code units, in parameter order.
    std::vector<std::u16string> strings;
    // The integer arguments, in parameter order.
    std::vector<std::int32_t> integers;
    // The native objects that the proxy arguments hand back, in parameter
    // order; null for a null callback.
    std::vector<const void*> natives;
};

// The log of the recording module, kept in the order things happened.
// Thread-safe: the log is guarded by the recorder's own mutex.
class VYR_EXPORT Recorder {
public:
    // Clears the log and any planned failure, and starts recording the
    // runtime's reported creations.
    static void vStart();
    // Stops recording creations; the log is kept.
    static void vStop();
    [[nodiscard]] static std::vector<Record> recordsGet();
    // The operations of the log alone, in order.
    [[nodiscard]] static std::vector<std::string> operationsGet();
    // Makes the module operation of that name ("construct", "vInit",
    // "vClassify", "vClassifyNodes") throw std::runtime_error("<operation>
    // failed") after recording itself; an empty name plans no failure.
    static void vFailureSet(std::string_view sOperation);
};

// The recording classification module: records its construction and each
// call with its arguments, and keeps the services that vInit bound, as a
// real module would for its run. One thread at a time per object; the log is
// the recorder's.
class RecordingModule final : public managed::CommonClassification::Modules::CommonClassificationModule {
public:
    RecordingModule();

    void vInit(managed::Handle<managed::vyr::bridge::IDirectories> directories,
               managed::Handle<managed::vyr::bridge::classification::Admin> classificationAdmin,
               managed::Handle<managed::vyr::bridge::definition::Admin> definitionAdmin) override;
    void vClassify(
        managed::Handle<managed::System::String> classificationMappingName,
        managed::Handle<managed::System::String> classificationFilterMappingName, std::int32_t iLevel,
        std::int32_t outputLevel, managed::Handle<managed::System::String> definitionToUpdate,
        managed::Handle<managed::vyr::bridge::classification::CommonClassificationCallback> classificationCallback)
        override;
    void vClassifyNodes(managed::Handle<managed::System::String> classificationMappingName,
                        managed::Handle<managed::vyr::bridge::definition::Node> sourceNodes) override;

private:
    managed::Handle<managed::vyr::bridge::IDirectories> directories_;
    managed::Handle<managed::vyr::bridge::classification::Admin> classificationAdmin_;
    managed::Handle<managed::vyr::bridge::definition::Admin> definitionAdmin_;
};

} // namespace vyr::test
