#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

} // namespace vyr::test
