#pragma once

#include <string>

#include "Source/Core/Utilities/Cache/Level.h"
#include "external/platform/Export.h"

namespace vyr {
class DirectoriesInterface;
} // namespace vyr

namespace vyr::definition {
class Node;
} // namespace vyr::definition

namespace vyr::bridge::definition {
class AdminWrapper;
} // namespace vyr::bridge::definition

namespace vyr::classification {
class ClassificationUiCallbackInterface;
} // namespace vyr::classification

namespace vyr::bridge::classification {

class AdminWrapper;

// The bridge library's entry points. Each call creates a fresh classification
// module and fresh managed proxies around the caller's objects, initialises
// the module with the directory service and both admins, converts the
// strings from UTF-8 to managed UTF-16 strings and runs the module. Nothing
// is kept between calls and nothing is caught: whatever the conversion, a
// proxy or the module throws reaches the caller unchanged. The caller's
// objects must stay valid until the call returns. Calls share nothing but the
// store behind classificationAdmin, so they may run on several threads.
//
// The module is a .NET assembly, run under the .NET runtime that the first
// call that needs it starts in the process (external/managed/DotnetRuntime.h:
// where the runtime comes from; ModuleLoader.h: which file, and how a host
// names another). A runtime that cannot be started, or a module file that
// cannot be used, makes the call throw managed::runtime::ModuleLoadException
// before anything else is made; the next call tries again. What the module
// throws arrives as managed::runtime::ManagedException, except a store error
// it let through, which arrives as the very C++ exception the store threw.
// When the call returns, the write accesses the module left open are written
// back and every proxy made for it is closed.

// A classification run. The callback may be null; levels pass as their
// integer values, unchecked.
VYR_EXPORT void vClassify(const vyr::DirectoriesInterface& directories,
                          vyr::bridge::classification::AdminWrapper& classificationAdmin,
                          vyr::bridge::definition::AdminWrapper& definitionAdmin,
                          const std::string& sClassificationMappingName,
                          const std::string& sClassificationFilterMappingName, const vyr::cache::Level& iLevel,
                          const vyr::cache::Level& outputLevel, const std::string& sDefinitionToUpdate,
                          vyr::classification::ClassificationUiCallbackInterface* classificationCallback);

// A run over the given definition nodes.
VYR_EXPORT void vClassify(const vyr::DirectoriesInterface& directories,
                          vyr::bridge::classification::AdminWrapper& classificationAdmin,
                          vyr::bridge::definition::AdminWrapper& definitionAdmin,
                          const std::string& sClassificationMappingName, const vyr::definition::Node& sourceNodes);

} // namespace vyr::bridge::classification
