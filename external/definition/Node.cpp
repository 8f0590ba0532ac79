#include "external/definition/Node.h"

namespace vyr::definition {

bool Node::boHasChildren() const { return !children_.empty(); }

} // namespace vyr::definition
