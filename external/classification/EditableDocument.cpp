#include "external/classification/EditableDocument.h"
#include <sstream>
#include "external/classification/XmlDocument.h"
namespace vyr::classification {
bool EditableDocument::boParse(std::string bytes) {
    std::istringstream in(std::move(bytes));
    XmlDocument document(mapping_);
    const bool ok = document.boRead(in);
    error_ = document.errorGet();
    return ok;
}
bool EditableDocument::boRender(const Mapping& target, std::string& out) {
    Mapping copy = target;
    std::ostringstream rendered;
    XmlDocument document(copy);
    if (!document.boWrite(rendered)) { error_ = document.errorGet(); return false; }
    out = std::move(rendered).str();
    mapping_ = target;
    return true;
}
}
