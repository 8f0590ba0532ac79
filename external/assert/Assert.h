#pragma once

#include <functional>
#include <iosfwd>
#include <vector>

#include "external/platform/Export.h"

namespace vyr::assert {

// The records are defined with the check pattern (assert/AssertInfo.h,
// assert/AssertInfoWrapper.h), which calls this sink: the sink names them
// only, so that the check's headers include the sink and never the reverse.
// A caller of recordsGet includes assert/AssertInfoWrapper.h.
class AssertInfo;
class AssertInfoWrapper;

// The process-wide assertion sink. Disabled by default. Thread-safe: the
// enabled flag is atomic, and the kept records and the listener are guarded
// by the sink's own mutex. The sink never calls into the classification
// store; a listener must not either (the store may hold its lock while it
// reports).
class VYR_EXPORT Assert {
public:
    using Listener = std::function<void(const AssertInfo&)>;

    static bool isEnabled() noexcept;
    // Keeps an owning copy of the record and passes it to the listener, if any.
    static void addAssert(const AssertInfo& info);

    // Host and test controls.
    static void vEnable(bool boEnabled) noexcept;
    static std::vector<AssertInfoWrapper> recordsGet();
    static void vClear();
    static void vPrint(std::ostream& out);
    // Called for every record as it arrives, under the sink's mutex.
    static void vListenerSet(Listener listener);
};

} // namespace vyr::assert
