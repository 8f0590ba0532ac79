#pragma once

#include <cstddef>

namespace vyr::classification {

// How a document lists one source id, relation by relation (`relation`
// first, then `secondRelation`): what the patcher otherwise learns in a
// walk of its own before it patches that source id, and where its
// elements are. Reading gives it (XmlDocument::boReadSource), for the bytes
// it read and for no others: a patch that changes only what lies inside
// the id's elements goes straight to them. A plain value.
struct SourceListing {
    struct Relation {
        bool boHasElement = false;  // the root holds an element of the relation
        std::size_t listings = 0;   // the source elements of the id in it
        bool boOtherListed = false; // a source element of another id in it
        std::size_t at = 0;         // where the first source element of the id starts (its '<')

        bool operator==(const Relation&) const = default;
    };
    Relation relations[2];

    bool operator==(const SourceListing&) const = default;
};

} // namespace vyr::classification
