#pragma once
// TEMPORARY STUB (replaced by the real one on merge)
#include <string>
#include "external/classification/Mapping.h"
namespace vyr::classification {
class EditableDocument {
public:
    [[nodiscard]] bool boParse(std::string bytes);
    [[nodiscard]] const Mapping& mappingGet() const noexcept { return mapping_; }
    [[nodiscard]] bool boRender(const Mapping& target, std::string& out);
    [[nodiscard]] const std::string& errorGet() const noexcept { return error_; }
private:
    Mapping mapping_;
    std::string error_;
};
}
