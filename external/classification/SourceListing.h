#pragma once

#include <cstddef>

namespace vyr::classification {

// How a document lists one source id, relation by relation (`relation`
// first, then `secondRelation`): what the patcher otherwise learns in a
// walk of its own before it patches that source id. Reading gives it
// (XmlDocument::boReadSource); the patcher checks it against the document
// as it patches, so a listing that does not fit the bytes costs the walk it
// would have saved, never a different document. A plain value.
struct SourceListing {
    struct Relation {
        bool boHasElement = false;  // the root holds an element of the relation
        std::size_t listings = 0;   // the source elements of the id in it
        bool boOtherListed = false; // a source element of another id in it

        bool operator==(const Relation&) const = default;
    };
    Relation relations[2];

    bool operator==(const SourceListing&) const = default;
};

} // namespace vyr::classification
