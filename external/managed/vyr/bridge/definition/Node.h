#pragma once

#include <string_view>

#include "external/definition/Node.h"

namespace managed::vyr::bridge::definition {

// Managed proxy of a native definition node. Points at the caller's node
// without owning it; the definition bridge's proxies take nodes they may
// edit, so the reference is non-const. Immutable after construction.
class Node {
public:
    static constexpr std::string_view managedTypeName = "vyr.bridge.definition.Node";

    explicit Node(::vyr::definition::Node& node) noexcept : node_(node) {}
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // Valid while the call that made the proxy runs.
    [[nodiscard]] ::vyr::definition::Node& nativeGet() const noexcept { return node_; }

private:
    ::vyr::definition::Node& node_;
};

} // namespace managed::vyr::bridge::definition
