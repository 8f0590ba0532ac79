#include "external/managed/CommonClassification/Modules/CommonClassificationModule.h"

namespace managed::CommonClassification::Modules {

// The key function: the interface's virtual table and type information are
// made here, in the runtime library, and nowhere else.
CommonClassificationModule::~CommonClassificationModule() = default;

} // namespace managed::CommonClassification::Modules
