#pragma once

#include <functional>
#include <memory>
#include <string_view>
#include <utility>

#include "external/platform/Export.h"

// The small part of the managed runtime that the bridge needs: handles to
// collected objects, their creation, and a process-wide allocation observer
// in the manner of a runtime profiling interface.
namespace managed {

// A handle to a managed object. The runtime collects the object once the last
// handle is gone; nothing disposes of it explicitly.
template <class T>
using Handle = std::shared_ptr<T>;

namespace runtime {

// Called with the managed type name and the address of every object that
// gcnew creates, right after its construction, on the creating thread.
using AllocationObserver = std::function<void(std::string_view sManagedTypeName, const void* object)>;

// Installs the process-wide observer, replacing any earlier one; an empty
// function removes it. Thread-safe; an observer that is being called when
// another is installed finishes its call.
VYR_EXPORT void vAllocationObserverSet(AllocationObserver observer);

// Reports one creation to the observer, if any. Used by gcnew.
VYR_EXPORT void vAllocationReport(std::string_view sManagedTypeName, const void* object);

} // namespace runtime

// Creates a managed object of type T, which names itself in its static member
// managedTypeName, and reports it to the allocation observer.
template <class T, class... Args>
[[nodiscard]] Handle<T> gcnew(Args&&... args) {
    Handle<T> object = std::make_shared<T>(std::forward<Args>(args)...);
    runtime::vAllocationReport(T::managedTypeName, object.get());
    return object;
}

} // namespace managed
