#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "external/classification/DocumentTokens.h"
#include "external/classification/DocumentWriting.h"

namespace vyr::classification::format {

// A planned change of the bytes: [begin, end) of the document becomes
// [textBegin, textEnd) of the planned texts.
struct Edit {
    std::size_t begin;
    std::size_t end;
    std::size_t textBegin;
    std::size_t textEnd;
};

// Plans the changes among children of one kind (the sources of one
// relation, the classified ids of one source), told about them one by one
// in document order, within one parent element or several (a relation
// listed in two elements). A child that goes is removed with the
// whitespace that leads it. New children wait for the next child that
// stays and go before it, and before the comments right above it; after
// the last child that stays otherwise; at the end of the parent chosen for
// them when no child stays. A parent left with nothing but whitespace
// becomes an empty-element tag; a parent that is an empty-element tag is
// opened for new children. New children are led like a sibling (one of
// their kind first), else one step deeper than their parent. Points at the
// tokenizer and the new elements; appends to the caller's edits and texts.
// Thread-compatible.
class SiblingPlan {
public:
    SiblingPlan(const Tokenizer& tokenizer, std::string_view step, const char* childName, std::vector<Edit>& edits,
                std::string& texts)
        : tokenizer_(tokenizer), step_(step), childName_(childName), edits_(edits), texts_(texts) {}

    // A parent starts; `boGetsNew`: the new children go at its end when no
    // child stays.
    void vParentOpen(const Tag& parent, bool boGetsNew);
    void vSpace() noexcept {}
    // Text, a CDATA section or a processing instruction: ends a run of
    // comments.
    void vOther() noexcept;
    void vComment(std::size_t start) noexcept;
    // A child piece of `kind` starting at `start` that is no element: placed
    // as vSpace, vComment or vOther place it. False for an element, which
    // the caller places.
    bool boNonElementTake(Piece::Kind kind, std::size_t start) noexcept;
    // An element that is not one of the children planned.
    void vUnknown(const Tag& tag);
    void vRemoved(const Tag& tag, std::size_t end);
    void vStays(const Tag& tag, std::size_t end);
    void vAdd(const NewElement& element);
    // At the parent's end tag, which starts at `endTag`; `end` is after it
    // (both after the start tag of an empty-element tag).
    void vParentClose(std::size_t endTag, std::size_t end);
    // After the last parent: new children that wait go after the last child
    // that stays.
    void vFinish();

private:
    void vElementSeen(const Tag& tag);
    void vRemovalsFlush();
    void vAppendAtEnd(std::size_t endTag);
    void vPendingBefore(std::size_t at, std::string_view lead);

    const Tokenizer& tokenizer_;
    std::string_view step_;
    std::string_view childName_;
    std::vector<Edit>& edits_;
    std::string& texts_;
    std::vector<NewElement> pending_;
    // Of the whole plan.
    std::size_t lastStart_ = 0; // the last child that stays
    std::size_t lastEnd_ = 0;
    bool boAnyStays_ = false;
    // Of the parent open.
    Tag parent_;
    bool boGetsNew_ = false;
    std::vector<Edit> removals_;         // held while the parent may still become empty
    std::size_t run_ = std::string_view::npos; // where the comments right above the next child start
    bool boOnlyRemovedAndSpace_ = true;
    bool boWanted_ = false; // the first child named childName_ with a lead
    std::string_view wantedLead_;
    bool boFallback_ = false; // the first child element, or the first with a lead
    std::string_view fallbackLead_;
};

} // namespace vyr::classification::format
