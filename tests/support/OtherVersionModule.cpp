// A module library as a later interface version would build it: its factory
// answers that version and makes no module for this one.

#include "external/managed/CommonClassification/Modules/CommonClassificationModule.h"

extern "C" VYR_EXPORT std::uint32_t
vyrClassificationModuleCreate(std::uint32_t /*iInterfaceVersion*/,
                              managed::CommonClassification::Modules::CommonClassificationModule** /*module*/) {
    return managed::CommonClassification::Modules::kModuleInterfaceVersion + 1;
}
