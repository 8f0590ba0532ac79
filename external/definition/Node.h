#pragma once

#include <string>
#include <utility>
#include <vector>

#include "external/platform/Export.h"

namespace vyr::definition {

// A small tree node of the definition library: a name and child nodes,
// owned by value. Thread-compatible.
class Node {
public:
    Node() = default;
    explicit Node(std::string name) : name_(std::move(name)) {}

    Node& addChild(Node child) { return children_.emplace_back(std::move(child)); }
    [[nodiscard]] const std::string& nameGet() const noexcept { return name_; }
    [[nodiscard]] const std::vector<Node>& childrenGet() const noexcept { return children_; }

    // Exported: native hosts and the bridge's callers reach it by name.
    [[nodiscard]] VYR_EXPORT bool boHasChildren() const;

private:
    std::string name_;
    std::vector<Node> children_;
};

} // namespace vyr::definition
