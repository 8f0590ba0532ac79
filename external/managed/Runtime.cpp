#include "external/managed/Runtime.h"

#include <mutex>

namespace managed::runtime {
namespace {

// The installed observer. The mutex guards the pointer only; a report copies
// the pointer and calls the observer outside the lock, so an observer may
// itself create managed objects or install another observer.
struct ObserverSlot {
    std::mutex mutex;
    std::shared_ptr<const AllocationObserver> observer;
};

ObserverSlot& slotGet() {
    static ObserverSlot slot;
    return slot;
}

} // namespace

void vAllocationObserverSet(AllocationObserver observer) {
    std::shared_ptr<const AllocationObserver> installed;
    if (observer) {
        installed = std::make_shared<const AllocationObserver>(std::move(observer));
    }
    ObserverSlot& slot = slotGet();
    const std::lock_guard<std::mutex> lock(slot.mutex);
    slot.observer.swap(installed);
}

void vAllocationReport(std::string_view sManagedTypeName, const void* object) {
    std::shared_ptr<const AllocationObserver> observer;
    {
        ObserverSlot& slot = slotGet();
        const std::lock_guard<std::mutex> lock(slot.mutex);
        observer = slot.observer;
    }
    if (observer) {
        (*observer)(sManagedTypeName, object);
    }
}

} // namespace managed::runtime
