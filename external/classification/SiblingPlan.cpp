#include "external/classification/SiblingPlan.h"

namespace vyr::classification::format {
namespace {

constexpr std::size_t npos = std::string_view::npos;

bool boIsSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool boHasLineBreak(std::string_view text) noexcept { return text.find_first_of("\r\n") != npos; }

} // namespace

void SiblingPlan::vParentOpen(const Tag& parent, bool boGetsNew) {
    parent_ = parent;
    boGetsNew_ = boGetsNew;
    removals_.clear();
    run_ = npos;
    boOnlyRemovedAndSpace_ = true;
    boWanted_ = false;
    boFallback_ = false;
}

void SiblingPlan::vOther() noexcept {
    run_ = npos;
    boOnlyRemovedAndSpace_ = false;
}

bool SiblingPlan::boNonElementTake(Piece::Kind kind, std::size_t start) noexcept {
    switch (kind) {
    case Piece::Space: vSpace(); return true;
    case Piece::Comment: vComment(start); return true;
    case Piece::Element: return false;
    default: vOther(); return true;
    }
}

void SiblingPlan::vComment(std::size_t start) noexcept {
    if (run_ == npos) {
        run_ = start;
    }
    boOnlyRemovedAndSpace_ = false;
}

void SiblingPlan::vUnknown(const Tag& tag) {
    vElementSeen(tag);
    run_ = npos;
    boOnlyRemovedAndSpace_ = false;
}

void SiblingPlan::vRemoved(const Tag& tag, std::size_t end) {
    vElementSeen(tag);
    run_ = npos;
    const std::size_t begin = tag.start - tokenizer_.leadOf(tag.start).size();
    removals_.push_back(Edit{begin, end, 0, 0});
    if (!boOnlyRemovedAndSpace_) {
        vRemovalsFlush();
    }
}

void SiblingPlan::vStays(const Tag& tag, std::size_t end) {
    vElementSeen(tag);
    const std::size_t first = run_ == npos ? tag.start : run_;
    run_ = npos;
    boOnlyRemovedAndSpace_ = false;
    vRemovalsFlush();
    if (!pending_.empty()) {
        vPendingBefore(first, tokenizer_.leadOf(first));
    }
    lastStart_ = tag.start;
    lastEnd_ = end;
    boAnyStays_ = true;
}

void SiblingPlan::vAdd(const NewElement& element) { pending_.push_back(element); }

void SiblingPlan::vPendingBefore(std::size_t at, std::string_view lead) {
    const std::size_t textBegin = texts_.size();
    for (const NewElement& element : pending_) {
        vAppendNewElement(texts_, element, lead, step_);
        texts_ += lead;
    }
    edits_.push_back(Edit{at, at, textBegin, texts_.size()});
    pending_.clear();
}

void SiblingPlan::vParentClose(std::size_t endTag, std::size_t end) {
    const bool boNew = boGetsNew_ && !boAnyStays_ && !pending_.empty();
    if (boNew) {
        vAppendAtEnd(endTag);
        pending_.clear();
    }
    if (!boNew && boOnlyRemovedAndSpace_ && !removals_.empty()) {
        const std::size_t textBegin = texts_.size();
        texts_ += " />";
        edits_.push_back(Edit{parent_.afterAttributes, end, textBegin, texts_.size()});
        removals_.clear();
    }
    vRemovalsFlush();
}

void SiblingPlan::vFinish() {
    if (pending_.empty() || !boAnyStays_) {
        return;
    }
    const std::string_view before = tokenizer_.leadOf(lastStart_);
    const std::size_t textBegin = texts_.size();
    for (const NewElement& element : pending_) {
        texts_ += before;
        vAppendNewElement(texts_, element, before, step_);
    }
    edits_.push_back(Edit{lastEnd_, lastEnd_, textBegin, texts_.size()});
    pending_.clear();
}

void SiblingPlan::vElementSeen(const Tag& tag) {
    const std::string_view lead = tokenizer_.leadOf(tag.start);
    if (!boWanted_ && tag.name == childName_ && !lead.empty()) {
        boWanted_ = true;
        wantedLead_ = lead;
    }
    if (!boFallback_ || (fallbackLead_.empty() && !lead.empty())) {
        boFallback_ = true;
        fallbackLead_ = lead;
    }
}

void SiblingPlan::vRemovalsFlush() {
    for (const Edit& removal : removals_) {
        edits_.push_back(Edit{removal.begin, removal.end, texts_.size(), texts_.size()});
    }
    removals_.clear();
}

// New children at the end of the parent's content, before the whitespace
// that indents its end tag; an empty-element tag is opened.
void SiblingPlan::vAppendAtEnd(std::size_t endTag) {
    const std::string_view parentLead = tokenizer_.leadOf(parent_.start);
    const std::string inner = boWanted_     ? std::string(wantedLead_)
                              : boFallback_ ? std::string(fallbackLead_)
                                            : innerLeadOf(parentLead, step_);
    const std::string_view close = boHasLineBreak(inner) ? parentLead : std::string_view();
    const std::size_t textBegin = texts_.size();
    if (parent_.boSelfClosing) {
        texts_ += '>';
    }
    for (const NewElement& element : pending_) {
        texts_ += inner;
        vAppendNewElement(texts_, element, inner, step_);
    }
    if (parent_.boSelfClosing) {
        texts_ += close;
        texts_ += "</";
        texts_ += parent_.name;
        texts_ += '>';
        edits_.push_back(Edit{parent_.afterAttributes, parent_.close + 2, textBegin, texts_.size()});
        return;
    }
    const std::string_view text = tokenizer_.textGet();
    std::size_t at = endTag;
    while (at > parent_.close + 1 && boIsSpace(text[at - 1])) {
        --at;
    }
    if (at == endTag) {
        texts_ += close;
    }
    edits_.push_back(Edit{at, at, textBegin, texts_.size()});
}

} // namespace vyr::classification::format
