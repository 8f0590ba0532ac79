#include "external/classification/DocumentPatch.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "external/classification/DocumentReading.h"
#include "external/classification/DocumentTokens.h"
#include "external/classification/DocumentWriting.h"
#include "external/classification/SiblingPlan.h"

namespace vyr::classification {
namespace {

using namespace format;
using Classified = std::set<std::string>;
constexpr std::size_t npos = std::string_view::npos;

// The two relations, by the name of their element.
struct RelationField {
    const char* name;
    Mapping::Relation Mapping::*member;
};
constexpr RelationField kRelations[] = {
    {kRelationName, &Mapping::sourceToClassified},
    {kSecondRelationName, &Mapping::secondRelation},
};
constexpr std::size_t kRelationCount = std::size(kRelations);

// A source id listed in more than one source element: the union of their
// classified ids, and whether its first element was walked.
struct Repeated {
    Classified ids;
    bool boSeen = false;
};

// What the first walk learns of one relation.
struct RelationSurvey {
    bool boHasElement = false;
    // Decoded, until sorted out; told only about one source id, only its
    // listings, with whether any other source is listed.
    std::vector<std::string> sourceIds;
    bool boOtherListed = false;
    // The target's sources that no element lists, in byte order.
    std::vector<const Mapping::Relation::value_type*> added;
    bool boAnyStays = false; // some element lists a source the target keeps
    std::map<std::string, Repeated, std::less<>> repeated;
    // Of the second walk.
    std::size_t nextAdded = 0;                 // the first of `added` not yet planned
    bool boWalked = false;                     // an element was walked
    bool boAnyMax = false;                     // runningMax holds an id
    std::string runningMax;                    // the greatest id of a source that stays, so far
};

// A child of a source element, kept while the source is walked.
struct Child {
    Piece::Kind kind;
    std::size_t start;
    std::size_t end;
    Tag tag;        // for an element
    std::string id; // for a classified element, decoded
};

// One patch of a document: see boDocumentPatch. Points at the bytes, the
// target and the one source id it is told changed (null: any may have);
// owns the planned edits. Thread-compatible.
class Patcher {
public:
    Patcher(std::string_view text, const Mapping& target, const std::string_view* onlySource,
            const SourceListing* listing = nullptr) noexcept
        : tokens_(text), text_(text), target_(target), onlySource_(onlySource),
          listing_(onlySource != nullptr && listing != nullptr && listing->relations[0].listings <= 1 &&
                           listing->relations[1].listings <= 1
                       ? listing
                       : nullptr) {}

    bool boPatch(std::string& out, std::string& error);

private:
    bool boRootFind(Tag& root);
    void vRootAttributesPlan(const Tag& root);
    void vRootAttributeSet(const char* name, std::string_view value, const RawAttribute* present);
    bool boSurvey(const Tag& root);
    void vSurveyFromListing(const Tag& root);
    // Notes a source element seen by the walk, for the check of the listing.
    void vListingSeen(std::size_t kind, bool boOfSource, std::size_t start) noexcept {
        SourceListing::Relation& seen = seen_.relations[kind];
        if (boOfSource && seen.listings++ == 0) {
            seen.at = start;
        }
        seen.boOtherListed = seen.boOtherListed || !boOfSource;
    }
    [[nodiscard]] bool boInsideOnly() const;
    [[nodiscard]] bool boInsidePatch(const Tag& root);
    void vStepFromRoot(const Tag& root);
    bool boSurveyRelation(std::size_t kind, const Tag& relation, std::size_t& end, bool boRepeated);
    void vSurveySettle(std::size_t kind);
    bool boRootWalk(const Tag& root);
    bool boRelationNew(std::size_t kind);
    bool boNewSourceStorable(std::string_view source, const Classified& classified) noexcept;
    void vSourcesAdd(std::size_t kind, const std::string* below);
    bool boRelationWalk(std::size_t kind, const Tag& relation, std::size_t& end);
    bool boSourceWalk(std::size_t kind, const Tag& source, const Classified& target, std::size_t& end);
    bool boChildrenRead(const Tag& source, std::size_t& endTag, std::size_t& end);
    void vClassifiedPlan(const Tag& source, const Classified& target, std::size_t endTag, std::size_t end);
    void vStepFind(const Tag& root, const Tag& child);
    bool boStorable(std::string_view text) noexcept;
    bool boApply(std::string& out);
    // Whether the source id is one the patch leaves as the document has it.
    [[nodiscard]] bool boUntouched(std::string_view source) const noexcept {
        return onlySource_ != nullptr && source != *onlySource_;
    }

    template <class Visit>
    bool boChildrenWalk(const Tag& parent, std::size_t& end, Visit visit);

    Tokenizer tokens_;
    std::string_view text_;
    const Mapping& target_;
    const std::string_view* onlySource_;
    // How the document lists onlySource_, when the caller knows (a source
    // id listed at most once in each relation), and what the walk saw.
    const SourceListing* listing_;
    SourceListing seen_;
    std::string step_ = "  ";
    std::size_t rootAfterAttributes_ = 0;
    RelationSurvey surveys_[kRelationCount];
    std::vector<SiblingPlan> plans_;
    std::vector<Edit> edits_;
    std::string texts_;
    bool boStorable_ = true;
    // Scratch space, kept to spare allocations.
    std::string value_;
    std::vector<Child> children_;
    std::vector<std::string_view> ids_;
    std::vector<std::string_view> added_;
};

// Visits the pieces inside the element, up to its end tag; `end` becomes
// the position after the element. `visit(piece, at)` may move `at` past
// an element's content and returns false to stop.
template <class Visit>
bool Patcher::boChildrenWalk(const Tag& parent, std::size_t& end, Visit visit) {
    end = parent.end;
    if (parent.boSelfClosing) {
        return true;
    }
    Piece piece;
    std::size_t at = parent.end;
    for (;;) {
        if (!tokens_.boPieceRead(at, piece)) {
            return false;
        }
        at = piece.end;
        if (piece.kind == Piece::EndTag) {
            end = at;
            return true;
        }
        if (!visit(piece, at)) {
            return false;
        }
    }
}

bool Patcher::boPatch(std::string& out, std::string& error) {
    Tag root;
    if (listing_ != nullptr) {
        // Only inside the source id's elements: straight to them. Else one
        // walk with what the listing says; a walk that finds the document
        // otherwise, or fails, is done again with a survey.
        if (boInsideOnly() && boRootFind(root)) {
            if (boInsidePatch(root) && boApply(out)) {
                return true;
            }
            return Patcher(text_, target_, onlySource_).boPatch(out, error);
        }
        if (boRootFind(root)) {
            vSurveyFromListing(root);
            vRootAttributesPlan(root);
            if (boRootWalk(root) && boStorable_ && seen_ == *listing_ && boApply(out)) {
                return true;
            }
        }
        return Patcher(text_, target_, onlySource_).boPatch(out, error);
    }
    if (!boRootFind(root) || !boSurvey(root)) {
        error = "the changes could not be placed in the document";
        return false;
    }
    vRootAttributesPlan(root);
    if (!boRootWalk(root) || !boStorable_) {
        error = boStorable_ ? std::string("the changes could not be placed in the document") : mappingProblem(target_);
        return false;
    }
    if (!boApply(out)) {
        error = "the changes could not be placed in the document";
        return false;
    }
    return true;
}

// The indentation one level adds, from the root's first child element, as
// the survey finds it.
void Patcher::vStepFromRoot(const Tag& root) {
    Piece piece;
    for (std::size_t at = root.end; !root.boSelfClosing && tokens_.boPieceRead(at, piece); at = piece.end) {
        if (piece.kind == Piece::Element) {
            vStepFind(root, piece.tag);
            break;
        }
        if (piece.kind == Piece::EndTag) {
            break;
        }
    }
}

// Whether the patch changes nothing but what lies inside the source id's
// elements (and the root's attributes): the target keeps the source id in
// each relation exactly where the document lists it once, and no other
// source. No source element then comes or goes, and the walk of every
// other one plans nothing.
bool Patcher::boInsideOnly() const {
    for (std::size_t kind = 0; kind < kRelationCount; ++kind) {
        const Mapping::Relation& target = target_.*kRelations[kind].member;
        const bool boKept = target.count(std::string(*onlySource_)) != 0;
        if (target.size() != (boKept ? 1U : 0U) || listing_->relations[kind].listings != (boKept ? 1U : 0U)) {
            return false;
        }
    }
    return true;
}

// The patch when boInsideOnly holds: the root's attributes, and each
// element of the source id walked where the listing puts it, as the walk
// of its relation would walk it. False when the bytes there are not that
// element.
bool Patcher::boInsidePatch(const Tag& root) {
    vStepFromRoot(root);
    vRootAttributesPlan(root);
    Piece piece;
    for (std::size_t kind = 0; kind < kRelationCount; ++kind) {
        const SourceListing::Relation& listed = listing_->relations[kind];
        if (listed.listings == 0) {
            continue;
        }
        std::size_t end = 0;
        if (listed.at <= root.start || !tokens_.boPieceRead(listed.at, piece) || piece.kind != Piece::Element ||
            piece.tag.name != kSourceName || !Tokenizer::boValueReadsAs(piece.tag.id, *onlySource_, value_) ||
            !boSourceWalk(kind, piece.tag, (target_.*kRelations[kind].member).begin()->second, end)) {
            return false;
        }
    }
    return boStorable_;
}

// What the survey would learn, from the listing: the indentation one level
// adds, and for each relation whether it has an element and which sources
// are listed.
void Patcher::vSurveyFromListing(const Tag& root) {
    vStepFromRoot(root);
    for (std::size_t kind = 0; kind < kRelationCount; ++kind) {
        const SourceListing::Relation& listed = listing_->relations[kind];
        RelationSurvey& survey = surveys_[kind];
        survey.boHasElement = listed.boHasElement;
        survey.boOtherListed = listed.boOtherListed;
        survey.sourceIds.assign(listed.listings, std::string(*onlySource_));
        vSurveySettle(kind);
    }
}

// The root's start tag, after the byte order mark, the declaration,
// whitespace, comments and processing instructions.
bool Patcher::boRootFind(Tag& root) {
    std::size_t at = text_.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    Piece piece;
    for (;;) {
        if (!tokens_.boPieceRead(at, piece)) {
            return false;
        }
        if (piece.kind == Piece::Element) {
            root = piece.tag;
            return root.name == kRootName;
        }
        if (piece.kind != Piece::Space && piece.kind != Piece::Comment && piece.kind != Piece::Instruction) {
            return false;
        }
        at = piece.end;
    }
}

void Patcher::vRootAttributesPlan(const Tag& root) {
    RawAttribute present[std::size(kTextFields) + 2];
    bool boPresent[std::size(kTextFields) + 2] = {};
    const auto index = [](std::string_view name) {
        for (std::size_t i = 0; i < std::size(kTextFields); ++i) {
            if (name == kTextFields[i].name) {
                return i;
            }
        }
        return name == kFlag1Name ? std::size(kTextFields) : name == kFlag2Name ? std::size(kTextFields) + 1 : npos;
    };
    rootAfterAttributes_ = root.afterAttributes;
    Tag tag;
    (void)tokens_.boTagRead(root.start, tag, [&](const RawAttribute& attribute) {
        if (const std::size_t i = index(attribute.name); i != npos) {
            present[i] = attribute;
            boPresent[i] = true;
        }
    });
    for (std::size_t i = 0; i < std::size(kTextFields); ++i) {
        vRootAttributeSet(kTextFields[i].name, target_.*kTextFields[i].member, boPresent[i] ? &present[i] : nullptr);
    }
    const bool flags[] = {target_.boFlag1, target_.boFlag2};
    const char* const names[] = {kFlag1Name, kFlag2Name};
    for (std::size_t i = 0; i < 2; ++i) {
        const std::size_t at = std::size(kTextFields) + i;
        // A missing flag reads as false.
        if (boPresent[at] || flags[i]) {
            vRootAttributeSet(names[i], flags[i] ? kTrue : kFalse, boPresent[at] ? &present[at] : nullptr);
        }
    }
}

// A root attribute whose value differs gets the value in its own quotes;
// a missing one whose value is not the empty text is added after the last
// attribute.
void Patcher::vRootAttributeSet(const char* name, std::string_view value, const RawAttribute* present) {
    if (present == nullptr ? value.empty() : Tokenizer::boValueReadsAs(present->value, value, value_)) {
        return;
    }
    if (!boStorable(value)) {
        return;
    }
    const std::size_t textBegin = texts_.size();
    if (present != nullptr) {
        vAppendAttributeValue(texts_, value, text_[present->valueStart - 1]);
        edits_.push_back(
            Edit{present->valueStart, present->valueStart + present->value.size(), textBegin, texts_.size()});
        return;
    }
    texts_ += ' ';
    texts_ += name;
    texts_ += "=\"";
    vAppendAttributeValue(texts_, value, '"');
    texts_ += '"';
    edits_.push_back(Edit{rootAfterAttributes_, rootAfterAttributes_, textBegin, texts_.size()});
}


// The first walk: which relations have an element, the indentation one
// level adds (as the root's first child element shows it; two spaces when
// it does not), and for each relation which sources are new and which are
// listed twice.
bool Patcher::boSurvey(const Tag& root) {
    bool boFirst = true;
    std::size_t end = 0;
    const auto relations = [&](bool boRepeated) {
        return boChildrenWalk(root, end, [&](const Piece& piece, std::size_t& at) {
            if (piece.kind != Piece::Element) {
                return true;
            }
            if (boFirst && !boRepeated) {
                boFirst = false;
                vStepFind(root, piece.tag);
            }
            for (std::size_t kind = 0; kind < kRelationCount; ++kind) {
                if (piece.tag.name == kRelations[kind].name) {
                    return boSurveyRelation(kind, piece.tag, at, boRepeated);
                }
            }
            return tokens_.boElementSkip(piece.tag, at);
        });
    };
    if (!relations(false)) {
        return false;
    }
    bool boAnyRepeated = false;
    for (std::size_t kind = 0; kind < kRelationCount; ++kind) {
        vSurveySettle(kind);
        boAnyRepeated = boAnyRepeated || !surveys_[kind].repeated.empty();
    }
    // The classified ids of sources listed twice, which only a second look
    // gathers.
    return !boAnyRepeated || relations(true);
}

void Patcher::vStepFind(const Tag& root, const Tag& child) {
    const auto indentOf = [](std::string_view lead) {
        const std::size_t lineBreak = lead.find_last_of("\r\n");
        return lineBreak == npos ? lead : lead.substr(lineBreak + 1);
    };
    const std::string_view rootIndent = indentOf(tokens_.leadOf(root.start));
    const std::string_view childLead = tokens_.leadOf(child.start);
    const std::string_view childIndent = indentOf(childLead);
    if (childLead.find_first_of("\r\n") != npos && childIndent.size() > rootIndent.size() &&
        childIndent.starts_with(rootIndent)) {
        step_ = childIndent.substr(rootIndent.size());
    }
}

// One relation element in the first walk: the ids of its sources; with
// `boRepeated`, the classified ids of the sources listed twice.
bool Patcher::boSurveyRelation(std::size_t kind, const Tag& relation, std::size_t& end, bool boRepeated) {
    RelationSurvey& survey = surveys_[kind];
    survey.boHasElement = true;
    return boChildrenWalk(relation, end, [&](const Piece& piece, std::size_t& at) {
        if (piece.kind != Piece::Element) {
            return true;
        }
        if (piece.tag.name == kSourceName && !boRepeated && onlySource_ != nullptr) {
            if (Tokenizer::boValueReadsAs(piece.tag.id, *onlySource_, value_)) {
                survey.sourceIds.emplace_back(*onlySource_);
            } else {
                survey.boOtherListed = true;
            }
        } else if (piece.tag.name == kSourceName && !boRepeated) {
            Tokenizer::vValueDecode(piece.tag.id, value_);
            survey.sourceIds.push_back(value_);
        } else if (piece.tag.name == kSourceName) {
            Tokenizer::vValueDecode(piece.tag.id, value_);
            const auto found = survey.repeated.find(value_);
            if (found != survey.repeated.end()) {
                return boChildrenWalk(piece.tag, at, [&](const Piece& child, std::size_t& childAt) {
                    if (child.kind == Piece::Element && child.tag.name == kClassifiedName) {
                        Tokenizer::vValueDecode(child.tag.id, value_);
                        found->second.ids.insert(value_);
                    }
                    return child.kind != Piece::Element || tokens_.boElementSkip(child.tag, childAt);
                });
            }
        }
        return tokens_.boElementSkip(piece.tag, at);
    });
}

// Sorts the source ids of the relation out: the target's sources that no
// element lists, whether any listed one stays, and those listed twice.
void Patcher::vSurveySettle(std::size_t kind) {
    RelationSurvey& survey = surveys_[kind];
    std::vector<std::string>& ids = survey.sourceIds;
    if (!std::is_sorted(ids.begin(), ids.end())) {
        std::sort(ids.begin(), ids.end());
    }
    for (auto twice = std::adjacent_find(ids.begin(), ids.end()); twice != ids.end();
         twice = std::adjacent_find(twice + 1, ids.end())) {
        survey.repeated.try_emplace(*twice);
    }
    const Mapping::Relation& target = target_.*kRelations[kind].member;
    if (onlySource_ != nullptr) {
        survey.boAnyStays = survey.boOtherListed;
    }
    auto listed = ids.cbegin();
    for (const auto& entry : target) {
        while (listed != ids.cend() && *listed < entry.first) {
            ++listed;
        }
        if (listed != ids.cend() && *listed == entry.first) {
            survey.boAnyStays = true;
        } else {
            survey.added.push_back(&entry);
        }
    }
    std::vector<std::string>().swap(ids);
}

// The second walk: plans the changes of every relation element, and new
// relation elements where a relation has none: the first relation's before
// the second's element, at the end of the root otherwise.
bool Patcher::boRootWalk(const Tag& root) {
    plans_.reserve(kRelationCount);
    for (std::size_t kind = 0; kind < kRelationCount; ++kind) {
        plans_.emplace_back(tokens_, step_, kSourceName, edits_, texts_);
    }
    // New relation elements are led like the root's first child element
    // (or the first that starts a line): there is no element of their name.
    SiblingPlan rootPlan(tokens_, step_, "", edits_, texts_);
    rootPlan.vParentOpen(root, true);
    bool boFirstPlaced = false;
    std::size_t end = 0;
    const bool boWalked = boChildrenWalk(root, end, [&](const Piece& piece, std::size_t& at) {
        if (rootPlan.boNonElementTake(piece.kind, piece.start)) {
            return true;
        }
        for (std::size_t kind = 0; kind < kRelationCount; ++kind) {
            if (piece.tag.name != kRelations[kind].name) {
                continue;
            }
            seen_.relations[kind].boHasElement = true;
            if (kind == 1 && !boFirstPlaced && boRelationNew(0)) {
                boFirstPlaced = true;
                rootPlan.vAdd(NewElement{kRelations[0].name, {}, nullptr, &target_.sourceToClassified});
                rootPlan.vStays(piece.tag, piece.tag.end);
            } else {
                rootPlan.vUnknown(piece.tag);
            }
            return boRelationWalk(kind, piece.tag, at);
        }
        rootPlan.vUnknown(piece.tag);
        return tokens_.boElementSkip(piece.tag, at);
    });
    if (!boWalked) {
        return false;
    }
    for (std::size_t kind = boFirstPlaced ? 1 : 0; kind < kRelationCount; ++kind) {
        if (boRelationNew(kind)) {
            rootPlan.vAdd(NewElement{kRelations[kind].name, {}, nullptr, &(target_.*kRelations[kind].member)});
        }
    }
    const std::size_t endTag = root.boSelfClosing ? root.end : text_.rfind('<', end - 1);
    rootPlan.vParentClose(endTag, end);
    for (std::size_t kind = 0; kind < kRelationCount; ++kind) {
        vSourcesAdd(kind, nullptr);
        plans_[kind].vFinish();
    }
    return true;
}

// Whether the relation needs an element of its own, written whole: it has
// none, and the target lists sources in it. Its texts are checked.
bool Patcher::boRelationNew(std::size_t kind) {
    const Mapping::Relation& relation = target_.*kRelations[kind].member;
    if (surveys_[kind].boHasElement || relation.empty()) {
        return false;
    }
    for (const auto& [source, classified] : relation) {
        (void)boNewSourceStorable(source, classified);
    }
    return true;
}

bool Patcher::boNewSourceStorable(std::string_view source, const Classified& classified) noexcept {
    bool boAll = boStorable(source);
    for (const std::string& id : classified) {
        boAll = boStorable(id) && boAll;
    }
    return boAll;
}

// The new sources of the relation, in byte order, whose ids are below
// `below` (all of them when it is null), become new children of the plan.
void Patcher::vSourcesAdd(std::size_t kind, const std::string* below) {
    RelationSurvey& survey = surveys_[kind];
    for (; survey.nextAdded < survey.added.size(); ++survey.nextAdded) {
        const auto* entry = survey.added[survey.nextAdded];
        if (below != nullptr && !(entry->first < *below)) {
            break;
        }
        if (boNewSourceStorable(entry->first, entry->second)) {
            plans_[kind].vAdd(NewElement{kSourceName, entry->first, &entry->second, nullptr});
        }
    }
}

// One relation element: a source the target lacks goes, one it keeps is
// walked, new sources go before the first one that stays whose id, or that
// of one before it, is greater. The first element of a relation in which
// no source stays takes all new sources at its end.
bool Patcher::boRelationWalk(std::size_t kind, const Tag& relation, std::size_t& end) {
    RelationSurvey& survey = surveys_[kind];
    SiblingPlan& plan = plans_[kind];
    const bool boGetsNew = !survey.boAnyStays && !survey.boWalked;
    survey.boWalked = true;
    plan.vParentOpen(relation, boGetsNew);
    const Mapping::Relation& target = target_.*kRelations[kind].member;
    const bool boWalked = boChildrenWalk(relation, end, [&](const Piece& piece, std::size_t& at) {
        if (plan.boNonElementTake(piece.kind, piece.start)) {
            return true;
        }
        if (piece.tag.name != kSourceName) {
            plan.vUnknown(piece.tag);
            return tokens_.boElementSkip(piece.tag, at);
        }
        // Told about one source id, with no new source left to place: any
        // other source only stays, and the greatest id so far is of no
        // more use.
        if (onlySource_ != nullptr && survey.nextAdded == survey.added.size() &&
            !Tokenizer::boValueReadsAs(piece.tag.id, *onlySource_, value_)) {
            vListingSeen(kind, false, piece.tag.start);
            if (!tokens_.boElementSkip(piece.tag, at)) {
                return false;
            }
            plan.vStays(piece.tag, at);
            return true;
        }
        Tokenizer::vValueDecode(piece.tag.id, value_);
        const bool boKept = boUntouched(value_);
        if (onlySource_ != nullptr) {
            vListingSeen(kind, !boKept, piece.tag.start);
        }
        const auto found = boKept ? target.end() : target.find(value_);
        if (found == target.end() || boKept) {
            if (!tokens_.boElementSkip(piece.tag, at)) {
                return false;
            }
            if (!boKept) {
                plan.vRemoved(piece.tag, at);
                return true;
            }
        } else if (!boSourceWalk(kind, piece.tag, found->second, at)) {
            return false;
        } else {
            Tokenizer::vValueDecode(piece.tag.id, value_); // the walk used value_ as scratch space
        }
        if (!survey.boAnyMax || survey.runningMax < value_) {
            survey.boAnyMax = true;
            survey.runningMax = value_;
        }
        vSourcesAdd(kind, &survey.runningMax);
        plan.vStays(piece.tag, at);
        return true;
    });
    if (!boWalked) {
        return false;
    }
    if (boGetsNew) {
        vSourcesAdd(kind, nullptr);
    }
    plan.vParentClose(relation.boSelfClosing ? relation.end : text_.rfind('<', end - 1), end);
    return true;
}

// A source element that stays: classified ids the target lacks leave it;
// when it is the source's first element, the target's ids that no element
// of the source lists join it. `end` becomes the position after it.
bool Patcher::boSourceWalk(std::size_t kind, const Tag& source, const Classified& target, std::size_t& end) {
    std::size_t endTag = 0;
    if (!boChildrenRead(source, endTag, end)) {
        return false;
    }
    ids_.clear();
    bool boRemoves = false;
    for (const Child& child : children_) {
        if (child.kind == Piece::Element && child.tag.name == kClassifiedName) {
            ids_.push_back(child.id);
            boRemoves = boRemoves || !target.contains(child.id);
        }
    }
    std::sort(ids_.begin(), ids_.end());
    ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
    added_.clear();
    RelationSurvey& survey = surveys_[kind];
    Tokenizer::vValueDecode(source.id, value_);
    if (const auto repeated = survey.repeated.find(value_); repeated != survey.repeated.end()) {
        if (!std::exchange(repeated->second.boSeen, true)) {
            std::set_difference(target.begin(), target.end(), repeated->second.ids.begin(),
                                repeated->second.ids.end(), std::back_inserter(added_));
        }
    } else {
        std::set_difference(target.begin(), target.end(), ids_.begin(), ids_.end(), std::back_inserter(added_));
    }
    if (!boRemoves && added_.empty()) {
        return true;
    }
    vClassifiedPlan(source, target, endTag, end);
    return true;
}

// The children of a source element into children_, with the classified
// ids decoded.
bool Patcher::boChildrenRead(const Tag& source, std::size_t& endTag, std::size_t& end) {
    children_.clear();
    endTag = source.end;
    const bool boRead = boChildrenWalk(source, end, [&](const Piece& piece, std::size_t& at) {
        Child child{piece.kind, piece.start, at, piece.tag, {}};
        if (piece.kind == Piece::Element) {
            if (!tokens_.boElementSkip(piece.tag, at)) {
                return false;
            }
            child.end = at;
            if (piece.tag.name == kClassifiedName) {
                Tokenizer::vValueDecode(piece.tag.id, child.id);
            }
        }
        children_.push_back(std::move(child));
        return true;
    });
    if (boRead && !source.boSelfClosing) {
        endTag = text_.rfind('<', end - 1);
    }
    return boRead;
}

// Plans the classified ids of a source element along the target's: the
// ids in added_ are new, those the target lacks go.
void Patcher::vClassifiedPlan(const Tag& source, const Classified& target, std::size_t endTag, std::size_t end) {
    SiblingPlan plan(tokens_, step_, kClassifiedName, edits_, texts_);
    plan.vParentOpen(source, true);
    auto next = added_.begin();
    const auto addBelow = [&](const std::string_view* below) {
        for (; next != added_.end() && (below == nullptr || *next < *below); ++next) {
            if (boStorable(*next)) {
                plan.vAdd(NewElement{kClassifiedName, *next, nullptr, nullptr});
            }
        }
    };
    std::string_view runningMax;
    for (const Child& child : children_) {
        if (plan.boNonElementTake(child.kind, child.start)) {
            continue;
        }
        if (child.tag.name != kClassifiedName) {
            plan.vUnknown(child.tag);
        } else if (!target.contains(child.id)) {
            plan.vRemoved(child.tag, child.end);
        } else {
            runningMax = std::max(runningMax, std::string_view(child.id));
            addBelow(&runningMax);
            plan.vStays(child.tag, child.end);
        }
    }
    addBelow(nullptr);
    plan.vParentClose(endTag, end);
    plan.vFinish();
}

bool Patcher::boStorable(std::string_view text) noexcept {
    boStorable_ = boStorable_ && boTextStorable(text);
    return boStorable_;
}

// The bytes with the edits applied. False when two edits overlap, a fault
// of the planning.
bool Patcher::boApply(std::string& out) {
    std::stable_sort(edits_.begin(), edits_.end(), [](const Edit& a, const Edit& b) {
        return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
    });
    std::size_t size = text_.size();
    std::size_t at = 0;
    for (const Edit& edit : edits_) {
        if (edit.begin < at || edit.end < edit.begin || edit.end > text_.size()) {
            return false;
        }
        size = size - (edit.end - edit.begin) + (edit.textEnd - edit.textBegin);
        at = edit.end;
    }
    out.clear();
    out.reserve(size);
    at = 0;
    for (const Edit& edit : edits_) {
        out.append(text_.substr(at, edit.begin - at));
        out.append(std::string_view(texts_).substr(edit.textBegin, edit.textEnd - edit.textBegin));
        at = edit.end;
    }
    out.append(text_.substr(at));
    return true;
}

} // namespace

bool boDocumentPatch(std::string_view bytes, const Mapping& target, std::string& out, std::string& error) {
    error.clear();
    return Patcher(bytes, target, nullptr).boPatch(out, error);
}

bool boDocumentSourcePatch(std::string_view bytes, const Mapping& target, std::string_view sourceId, std::string& out,
                           std::string& error, const SourceListing* listing) {
    error.clear();
    return Patcher(bytes, target, &sourceId, listing).boPatch(out, error);
}

} // namespace vyr::classification
