#include "external/classification/EditableDocument.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <span>
#include <utility>
#include <vector>

#include "external/classification/DocumentReading.h"

namespace vyr::classification {

// The bytes of the document and their parse. Rendering patches the bytes,
// not the parse: every byte that no change touches is copied from the file
// as it was, so nothing the parser normalises (quotes, character references,
// line ends, spacing inside tags, the whitespace outside the root) can change
// by accident. The parse of the patched bytes is made when the next render
// needs it.
struct EditableDocument::Parsed {
    std::string text;
    // The parse of `text`: nodes point into `buffer`. Valid when boCurrent.
    std::string buffer;
    pugi::xml_document dom;
    bool boCurrent = false;
    // Why the document cannot be rendered; empty when it can.
    std::string unrenderable;
};

namespace {

using namespace format;
using Classified = std::set<std::string>;
constexpr std::size_t npos = std::string_view::npos;

// [begin, end) of the document's bytes becomes [textBegin, textEnd) of the
// planned texts.
struct Edit {
    std::size_t begin;
    std::size_t end;
    std::size_t textBegin;
    std::size_t textEnd;
};

bool boIsSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool boHasLineBreak(std::string_view text) noexcept { return text.find_first_of("\r\n") != npos; }

// An attribute value between `quote`s, escaped as XmlDocument::boWrite does.
void vAppendEscaped(std::string& out, std::string_view text, char quote) {
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char* replacement = nullptr;
        switch (text[i]) {
        case '&': replacement = "&amp;"; break;
        case '<': replacement = "&lt;"; break;
        case '"': replacement = quote == '"' ? "&quot;" : nullptr; break;
        case '\'': replacement = quote == '\'' ? "&apos;" : nullptr; break;
        case '\t': replacement = "&#09;"; break;
        case '\n': replacement = "&#10;"; break;
        case '\r': replacement = "&#13;"; break;
        default: break;
        }
        if (replacement != nullptr) {
            out.append(text.substr(run, i - run));
            out.append(replacement);
            run = i + 1;
        }
    }
    out.append(text.substr(run));
}

// An element a change adds: a source (with its classified ids), a classified
// id, or a whole relation element. Points into the target mapping.
struct NewElement {
    const char* name;
    std::string_view id;
    const Classified* classified = nullptr;
    const Mapping::Relation* relation = nullptr;
};

// The lead of a child of an element led by `lead`: one step deeper when
// the element starts a line, the same otherwise.
std::string innerLeadOf(std::string_view lead, std::string_view step) {
    return boHasLineBreak(lead) ? joined({lead, step}) : std::string(lead);
}

// A new element led by `lead`, written as XmlDocument::boWrite writes it,
// its children `step` deeper.
void vAppendNewElement(std::string& out, const NewElement& element, std::string_view lead, std::string_view step) {
    const std::string inner = innerLeadOf(lead, step);
    const std::string_view close = boHasLineBreak(lead) ? lead : std::string_view();
    out += '<';
    out += element.name;
    if (element.relation != nullptr) {
        out += '>';
        for (const auto& [source, classified] : *element.relation) {
            out += inner;
            vAppendNewElement(out, NewElement{kSourceName, source, &classified, nullptr}, inner, step);
        }
    } else {
        out += ' ';
        out += kIdName;
        out += "=\"";
        vAppendEscaped(out, element.id, '"');
        out += '"';
        if (element.classified == nullptr || element.classified->empty()) {
            out += " />";
            return;
        }
        out += '>';
        for (const std::string& classified : *element.classified) {
            out += inner;
            vAppendNewElement(out, NewElement{kClassifiedName, classified, nullptr, nullptr}, inner, step);
        }
    }
    out += close;
    out += "</";
    out += element.name;
    out += '>';
}

// Where new elements go: before or after a sibling, or at the end of the
// parent's content.
enum class Place { Before, After, End };

// A child element the edits remove, and a new element they add.
struct Removal {
    pugi::xml_node parent;
    pugi::xml_node child;
};
struct Addition {
    pugi::xml_node parent;
    pugi::xml_node anchor; // the sibling, or the parent for Place::End
    Place place;
    NewElement element;
};

// Orders the planned changes by their parent, so that each parent's are
// finished together.
template <class A, class B>
bool boParentBefore(const A& a, const B& b) noexcept {
    return std::less<const void*>()(a.parent.internal_object(), b.parent.internal_object());
}

// A source id whose set differs between the document and the target, with
// the elements that list it. `before` is null for a new source, `after` for
// an unlisted one; both point into the mappings.
struct SourceChange {
    std::string_view id;
    const Classified* before;
    const Classified* after;
    std::vector<pugi::xml_node> elements;
};

// The two relations, by the name of their element.
struct RelationField {
    const char* name;
    Mapping::Relation Mapping::*member;
};
constexpr RelationField kRelations[] = {
    {kRelationName, &Mapping::sourceToClassified},
    {kSecondRelationName, &Mapping::secondRelation},
};

// How a target differs from the mapping the document holds.
struct MappingDiff {
    bool boHeader = false; // a text or a flag
    std::vector<SourceChange> relations[std::size(kRelations)];

    [[nodiscard]] bool boEmpty() const noexcept {
        return !boHeader && relations[0].empty() && relations[1].empty();
    }
};

void vDiffRelation(const Mapping::Relation& before, const Mapping::Relation& after,
                   std::vector<SourceChange>& changes) {
    auto old = before.begin();
    auto now = after.begin();
    while (old != before.end() || now != after.end()) {
        if (now == after.end() || (old != before.end() && old->first < now->first)) {
            changes.push_back(SourceChange{old->first, &old->second, nullptr, {}});
            ++old;
        } else if (old == before.end() || now->first < old->first) {
            changes.push_back(SourceChange{now->first, nullptr, &now->second, {}});
            ++now;
        } else {
            if (old->second != now->second) {
                changes.push_back(SourceChange{old->first, &old->second, &now->second, {}});
            }
            ++old;
            ++now;
        }
    }
}

MappingDiff diffOf(const Mapping& base, const Mapping& target) {
    MappingDiff diff;
    diff.boHeader = base.boFlag1 != target.boFlag1 || base.boFlag2 != target.boFlag2;
    for (const TextField& field : kTextFields) {
        diff.boHeader = diff.boHeader || base.*field.member != target.*field.member;
    }
    for (std::size_t i = 0; i < std::size(kRelations); ++i) {
        vDiffRelation(base.*kRelations[i].member, target.*kRelations[i].member, diff.relations[i]);
    }
    return diff;
}

// The first text of the target that cannot be stored, as mappingProblem()
// names it. Only what the target changes needs a look: every text the
// document holds passed the same check when it was read.
std::string diffProblem(const Mapping& base, const Mapping& target, const MappingDiff& diff) {
    for (const TextField& field : kTextFields) {
        if (base.*field.member != target.*field.member) {
            if (std::string problem = textProblem(target.*field.member, field.name); !problem.empty()) {
                return problem;
            }
        }
    }
    for (std::size_t i = 0; i < std::size(kRelations); ++i) {
        for (const SourceChange& change : diff.relations[i]) {
            if (change.after == nullptr) {
                continue;
            }
            if (change.before == nullptr) {
                if (std::string problem = sourceIdProblem(kRelations[i].name, change.id); !problem.empty()) {
                    return problem;
                }
            }
            for (const std::string& id : *change.after) {
                if (change.before == nullptr || !change.before->contains(id)) {
                    if (std::string problem = classifiedIdProblem(kRelations[i].name, change.id, id);
                        !problem.empty()) {
                        return problem;
                    }
                }
            }
        }
    }
    return {};
}

// Makes `current`, the mapping the diff started from, equal to the target
// by the changes of the diff alone.
void vApplyDiff(const MappingDiff& diff, const Mapping& target, Mapping& current) {
    for (const TextField& field : kTextFields) {
        current.*field.member = target.*field.member;
    }
    current.boFlag1 = target.boFlag1;
    current.boFlag2 = target.boFlag2;
    for (std::size_t i = 0; i < std::size(kRelations); ++i) {
        Mapping::Relation& relation = current.*kRelations[i].member;
        const std::vector<SourceChange>& changes = diff.relations[i];
        // The changes come in key order: one walk through the relation beats
        // a search for each when there are many.
        const bool walk = changes.size() * 16 > relation.size();
        auto at = relation.begin();
        for (const SourceChange& change : changes) {
            if (walk) {
                while (at != relation.end() && std::string_view(at->first) < change.id) {
                    ++at;
                }
            } else {
                at = relation.lower_bound(std::string(change.id));
            }
            if (change.before == nullptr) {
                at = std::next(relation.emplace_hint(at, change.id, *change.after));
            } else if (at == relation.end() || at->first != change.id) {
                continue; // not from this mapping; cannot happen
            } else if (change.after == nullptr) {
                at = relation.erase(at);
            } else {
                at->second = *change.after;
                ++at;
            }
        }
    }
}

// Plans the byte edits that turn the document holding `base` into one
// holding `target`. Positions come from the parse: pugixml's names and
// values point into the parse buffer, which has the offsets of the bytes;
// with whitespace, comments and processing instructions kept as nodes, an
// element ends where its next sibling starts, or at its parent's end tag.
// Points at the bytes and the parse without owning them; thread-compatible.
class Patcher {
public:
    Patcher(std::string_view text, std::string_view buffer, pugi::xml_node root)
        : text_(text), buffer_(buffer), root_(root) {
        const pugi::xml_node after = root_.next_sibling();
        epilogStart_ = after ? start(after) : text_.size();
        vFindStep();
    }

    // False when a position could not be found, a fault of this code rather
    // than of the document.
    bool boPlan(const Mapping& base, const Mapping& target, MappingDiff& diff, std::vector<Edit>& edits) {
        if (diff.boHeader) {
            vPlanRootAttributes(base, target, edits);
        }
        for (std::size_t i = 0; i < std::size(kRelations); ++i) {
            vPlanRelation(kRelations[i].name, target.*kRelations[i].member, diff.relations[i]);
        }
        std::stable_sort(removals_.begin(), removals_.end(), boParentBefore<Removal, Removal>);
        std::stable_sort(additions_.begin(), additions_.end(), boParentBefore<Addition, Addition>);
        auto removal = removals_.begin();
        auto addition = additions_.begin();
        while (removal != removals_.end() || addition != additions_.end()) {
            const pugi::xml_node parent =
                addition == additions_.end() ||
                        (removal != removals_.end() && boParentBefore(*removal, *addition))
                    ? removal->parent
                    : addition->parent;
            auto removalEnd = removal;
            while (removalEnd != removals_.end() && removalEnd->parent == parent) {
                ++removalEnd;
            }
            auto additionEnd = addition;
            while (additionEnd != additions_.end() && additionEnd->parent == parent) {
                ++additionEnd;
            }
            vFinish(parent, {removal, removalEnd}, {addition, additionEnd}, edits);
            removal = removalEnd;
            addition = additionEnd;
        }
        return !fault_;
    }

    // The texts the edits insert, one after the other.
    [[nodiscard]] std::string_view textsGet() const noexcept { return texts_; }

private:
    // ---- Positions in the bytes ----

    std::size_t offsetOf(const char* pointer) {
        const auto at = reinterpret_cast<std::uintptr_t>(pointer);
        const auto begin = reinterpret_cast<std::uintptr_t>(buffer_.data());
        if (at <= begin || at >= begin + buffer_.size()) {
            fault_ = true;
            return 1;
        }
        return at - begin;
    }

    char charAt(std::size_t at) const noexcept { return at < text_.size() ? text_[at] : '\0'; }

    std::size_t start(pugi::xml_node node) {
        std::size_t at = 0;
        switch (node.type()) {
        case pugi::node_element: at = offsetOf(node.name()) - 1; break;
        case pugi::node_pcdata: return offsetOf(node.value());
        case pugi::node_comment: at = offsetOf(node.value()) - std::min<std::size_t>(4, offsetOf(node.value())); break;
        case pugi::node_cdata: at = offsetOf(node.value()) - std::min<std::size_t>(9, offsetOf(node.value())); break;
        case pugi::node_pi:
        case pugi::node_declaration: at = offsetOf(node.name()) - std::min<std::size_t>(2, offsetOf(node.name())); break;
        default: fault_ = true; return 0;
        }
        if (charAt(at) != '<') {
            fault_ = true;
        }
        return at;
    }

    // Where the node's bytes end: the start of its next sibling, or the
    // start of its parent's end tag.
    std::size_t end(pugi::xml_node node) {
        if (const pugi::xml_node next = node.next_sibling()) {
            return start(next);
        }
        return contentEnd(node.parent());
    }

    // Where the end tag of an element that has one starts. Nothing between
    // the root's end tag and the next top-level node holds a '<'.
    std::size_t contentEnd(pugi::xml_node element) {
        const std::size_t after = element == root_ ? epilogStart_ : end(element);
        const std::size_t at = after == 0 ? npos : text_.rfind('<', after - 1);
        if (at == npos || charAt(at + 1) != '/') {
            fault_ = true;
            return after;
        }
        return at;
    }

    // [begin, end) of an attribute's value, between its quotes.
    std::pair<std::size_t, std::size_t> valueRange(pugi::xml_attribute attribute) {
        const std::size_t begin = offsetOf(attribute.value());
        const char quote = charAt(begin - 1);
        const std::size_t end = quote == '"' || quote == '\'' ? text_.find(quote, begin) : npos;
        if (end == npos) {
            fault_ = true;
            return {begin, begin};
        }
        return {begin, end};
    }

    struct StartTag {
        std::size_t trimmed; // where the spaces before `close` begin
        std::size_t close;   // the '>', or the '/' of "/>"
        bool boSelfClosing;
    };
    StartTag startTag(pugi::xml_node element) {
        std::size_t at = 0;
        if (const pugi::xml_attribute last = element.last_attribute()) {
            at = valueRange(last).second + 1;
        } else {
            at = offsetOf(element.name()) + std::strlen(element.name());
        }
        const std::size_t trimmed = at;
        while (boIsSpace(charAt(at))) {
            ++at;
        }
        const bool selfClosing = charAt(at) == '/' && charAt(at + 1) == '>';
        if (!selfClosing && charAt(at) != '>') {
            fault_ = true;
        }
        return {trimmed, at, selfClosing};
    }

    // The whitespace right before a node: the line break and indentation
    // that place it.
    std::string_view lead(pugi::xml_node node) {
        const std::size_t begin = start(node);
        std::size_t at = begin;
        while (at > 0 && boIsSpace(text_[at - 1])) {
            --at;
        }
        return text_.substr(at, begin - at);
    }

    static std::string_view indentOf(std::string_view lead) noexcept {
        const std::size_t lineBreak = lead.find_last_of("\r\n");
        return lineBreak == npos ? lead : lead.substr(lineBreak + 1);
    }

    // The indentation one level adds, as the root's children show it; two
    // spaces when they do not.
    void vFindStep() {
        const std::string_view rootIndent = indentOf(lead(root_));
        for (pugi::xml_node child = root_.first_child(); child; child = child.next_sibling()) {
            if (child.type() != pugi::node_element) {
                continue;
            }
            const std::string_view childLead = lead(child);
            const std::string_view childIndent = indentOf(childLead);
            if (boHasLineBreak(childLead) && childIndent.size() > rootIndent.size() &&
                childIndent.starts_with(rootIndent)) {
                step_ = childIndent.substr(rootIndent.size());
            }
            return;
        }
    }

    // The lead of a new child of `parent`: that of an existing child
    // element (preferably one named `name`), else the parent's one level in.
    std::string childLead(pugi::xml_node parent, const char* name) {
        pugi::xml_node fallback;
        for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
            if (child.type() != pugi::node_element) {
                continue;
            }
            if (std::strcmp(child.name(), name) == 0 && !lead(child).empty()) {
                return std::string(lead(child));
            }
            if (!fallback || (lead(fallback).empty() && !lead(child).empty())) {
                fallback = child;
            }
        }
        if (fallback) {
            return std::string(lead(fallback));
        }
        return innerLead(lead(parent));
    }

    std::string innerLead(std::string_view lead) const { return innerLeadOf(lead, step_); }

    void vAppendElement(std::string& out, const NewElement& element, std::string_view lead) const {
        vAppendNewElement(out, element, lead, step_);
    }

    // ---- Planning ----

    void vInsert(pugi::xml_node anchor, Place place, const NewElement& element) {
        additions_.push_back(Addition{place == Place::End ? anchor : anchor.parent(), anchor, place, element});
    }

    using Survivors = std::vector<std::pair<std::string_view, pugi::xml_node>>;

    // Inserts new elements, visited in byte order, each before the first
    // surviving sibling (in document order) whose id is greater, after the
    // last one otherwise, or at the end of `parent` when none survives. The
    // first sibling greater than an id is the first whose running maximum
    // is, so one binary search finds it.
    template <class Ids, class MakeElement>
    void vInsertInOrder(const Survivors& survivors, pugi::xml_node parent, const Ids& ids, MakeElement make) {
        if (ids.empty()) {
            return;
        }
        std::vector<std::string_view>& runningMax = runningMax_;
        runningMax.clear();
        runningMax.reserve(survivors.size());
        for (const auto& survivor : survivors) {
            runningMax.push_back(runningMax.empty() ? survivor.first : std::max(runningMax.back(), survivor.first));
        }
        for (const auto& id : ids) {
            const NewElement element = make(id);
            const auto greater = std::upper_bound(runningMax.begin(), runningMax.end(), std::string_view(element.id));
            if (greater != runningMax.end()) {
                vInsert(survivors[static_cast<std::size_t>(greater - runningMax.begin())].second, Place::Before,
                        element);
            } else if (!survivors.empty()) {
                vInsert(survivors.back().second, Place::After, element);
            } else {
                vInsert(parent, Place::End, element);
            }
        }
    }

    void vPlanRootAttributes(const Mapping& base, const Mapping& target, std::vector<Edit>& edits) {
        std::string added;
        const auto set = [&](const char* name, std::string_view value) {
            if (const pugi::xml_attribute attribute = root_.attribute(name)) {
                const auto [begin, end] = valueRange(attribute);
                const std::size_t text = texts_.size();
                vAppendEscaped(texts_, value, charAt(begin - 1));
                edits.push_back(Edit{begin, end, text, texts_.size()});
                return;
            }
            added += ' ';
            added += name;
            added += "=\"";
            vAppendEscaped(added, value, '"');
            added += '"';
        };
        for (const TextField& field : kTextFields) {
            if (base.*field.member != target.*field.member) {
                set(field.name, target.*field.member);
            }
        }
        if (base.boFlag1 != target.boFlag1) {
            set(kFlag1Name, target.boFlag1 ? kTrue : kFalse);
        }
        if (base.boFlag2 != target.boFlag2) {
            set(kFlag2Name, target.boFlag2 ? kTrue : kFalse);
        }
        if (!added.empty()) {
            const std::size_t at = valueRange(root_.last_attribute()).second + 1;
            vEdit(edits, at, at, added);
        }
    }

    // The change of the source id or where it would be, looked for from
    // `from` on in doubling steps, so that a file in key order costs O(1) a
    // source; from the start when the id lies before `from`.
    using Changes = std::vector<SourceChange>;
    static Changes::iterator changeOf(Changes& changes, Changes::iterator from, std::string_view id) {
        if (from == changes.end() || id < from->id) {
            from = changes.begin();
        }
        std::size_t step = 1;
        while (static_cast<std::size_t>(changes.end() - from) > step && (from + step)->id < id) {
            from += static_cast<std::ptrdiff_t>(step);
            step *= 2;
        }
        const auto to = static_cast<std::size_t>(changes.end() - from) > step
                            ? from + static_cast<std::ptrdiff_t>(step) + 1
                            : changes.end();
        return std::lower_bound(from, to, id, [](const SourceChange& c, std::string_view v) { return c.id < v; });
    }

    void vPlanRelation(const char* name, const Mapping::Relation& after, std::vector<SourceChange>& changes) {
        if (changes.empty()) {
            return;
        }
        // One pass over the source elements: each finds its change, if any,
        // ahead of the one before.
        auto cursor = changes.begin();
        pugi::xml_node firstRelation;
        Survivors survivors;
        for (pugi::xml_node relation = root_.first_child(); relation; relation = relation.next_sibling()) {
            if (relation.type() != pugi::node_element || std::strcmp(relation.name(), name) != 0) {
                continue;
            }
            if (!firstRelation) {
                firstRelation = relation;
            }
            for (pugi::xml_node source = relation.first_child(); source; source = source.next_sibling()) {
                if (source.type() != pugi::node_element || std::strcmp(source.name(), kSourceName) != 0) {
                    continue;
                }
                const std::string_view id = source.attribute(kIdName).value();
                const auto change = cursor = changeOf(changes, cursor, id);
                if (change != changes.end() && change->id == id) {
                    change->elements.push_back(source);
                    if (change->after == nullptr) {
                        removals_.push_back(Removal{relation, source});
                        continue;
                    }
                }
                survivors.emplace_back(id, source);
            }
        }

        std::vector<const SourceChange*> added;
        for (const SourceChange& change : changes) {
            if (change.before == nullptr) {
                added.push_back(&change);
            } else if (change.after != nullptr) {
                vPlanClassified(change);
            }
        }
        if (added.empty()) {
            return;
        }
        if (!firstRelation) {
            // No element holds this relation yet: one new element holds it
            // all, before the second relation's element when it is the first
            // relation, at the end of the root otherwise.
            const NewElement element{name, {}, nullptr, &after};
            pugi::xml_node second;
            if (std::strcmp(name, kRelationName) == 0) {
                second = root_.child(kSecondRelationName);
            }
            vInsert(second ? second : root_, second ? Place::Before : Place::End, element);
            return;
        }
        vInsertInOrder(survivors, firstRelation, added, [](const SourceChange* change) {
            return NewElement{kSourceName, change->id, change->after, nullptr};
        });
    }

    // A source listed before and after with different sets: classified ids
    // leave every element of the source, new ones join its first element.
    void vPlanClassified(const SourceChange& change) {
        if (change.elements.empty()) {
            fault_ = true;
            return;
        }
        std::vector<std::string_view>& removed = removedIds_;
        removed.clear();
        std::set_difference(change.before->begin(), change.before->end(), change.after->begin(), change.after->end(),
                            std::back_inserter(removed));
        std::vector<std::string_view>& added = addedIds_;
        added.clear();
        std::set_difference(change.after->begin(), change.after->end(), change.before->begin(), change.before->end(),
                            std::back_inserter(added));
        Survivors& survivors = classifiedSurvivors_;
        survivors.clear();
        for (const pugi::xml_node source : change.elements) {
            for (pugi::xml_node classified = source.first_child(); classified;
                 classified = classified.next_sibling()) {
                if (classified.type() != pugi::node_element ||
                    std::strcmp(classified.name(), kClassifiedName) != 0) {
                    continue;
                }
                const std::string_view id = classified.attribute(kIdName).value();
                if (std::binary_search(removed.begin(), removed.end(), id)) {
                    removals_.push_back(Removal{source, classified});
                } else if (source == change.elements.front()) {
                    survivors.emplace_back(id, classified);
                }
            }
        }
        vInsertInOrder(survivors, change.elements.front(), added, [](std::string_view id) {
            return NewElement{kClassifiedName, id, nullptr, nullptr};
        });
    }

    // ---- Edits ----

    bool boIsSpaceNode(pugi::xml_node node) {
        if (node.type() != pugi::node_pcdata) {
            return false;
        }
        const std::size_t end = this->end(node);
        for (std::size_t at = start(node); at < end; ++at) {
            if (!boIsSpace(charAt(at))) {
                return false;
            }
        }
        return true;
    }

    // The first of the comments right above the element (only whitespace
    // between them), which describe it; the element when there are none.
    pugi::xml_node withCommentsAbove(pugi::xml_node element) {
        pugi::xml_node first = element;
        for (pugi::xml_node above = first.previous_sibling(); above; above = first.previous_sibling()) {
            if (boIsSpaceNode(above)) {
                above = above.previous_sibling();
            }
            if (!above || above.type() != pugi::node_comment) {
                break;
            }
            first = above;
        }
        return first;
    }

    // True when every child of the parent is a removed element or whitespace.
    bool boOnlyRemovedAndSpace(pugi::xml_node parent, std::span<const Removal> removals) {
        auto removal = removals.begin();
        for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
            if (removal != removals.end() && child == removal->child) {
                ++removal;
                continue;
            }
            if (!boIsSpaceNode(child)) {
                return false;
            }
        }
        return true;
    }

    // The edits under one parent. Its removals are in document order, its
    // additions in byte order; those with the same place go together.
    void vFinish(pugi::xml_node parent, std::span<const Removal> removals, std::span<const Addition> additions,
                 std::vector<Edit>& edits) {
        // An element left with nothing but whitespace becomes an empty-element
        // tag, as a new file has it.
        if (additions.empty() && parent != root_ && boOnlyRemovedAndSpace(parent, removals)) {
            vEdit(edits, startTag(parent).trimmed, end(parent), " />");
            return;
        }
        for (const Removal& removal : removals) {
            const std::size_t begin = start(removal.child);
            vEdit(edits, begin - lead(removal.child).size(), end(removal.child), {});
        }
        while (!additions.empty()) {
            std::size_t count = 1;
            while (count < additions.size() && additions[count].anchor == additions.front().anchor &&
                   additions[count].place == additions.front().place) {
                ++count;
            }
            const std::span<const Addition> group = additions.first(count);
            additions = additions.subspan(count);
            std::string& text = texts_;
            const std::size_t textBegin = text.size();
            switch (group.front().place) {
            case Place::Before: {
                const pugi::xml_node first = withCommentsAbove(group.front().anchor);
                const std::string_view before = lead(first);
                for (const Addition& addition : group) {
                    vAppendElement(text, addition.element, before);
                    text += before;
                }
                const std::size_t at = start(first);
                edits.push_back(Edit{at, at, textBegin, text.size()});
                break;
            }
            case Place::After: {
                const std::string_view before = lead(group.front().anchor);
                for (const Addition& addition : group) {
                    text += before;
                    vAppendElement(text, addition.element, before);
                }
                const std::size_t at = end(group.front().anchor);
                edits.push_back(Edit{at, at, textBegin, text.size()});
                break;
            }
            case Place::End: vAppendAtEnd(parent, group, edits); break;
            }
        }
    }

    // New elements at the end of the parent's content, before the
    // whitespace that indents its end tag; an empty-element tag is opened.
    void vAppendAtEnd(pugi::xml_node parent, std::span<const Addition> additions, std::vector<Edit>& edits) {
        const std::string inner = childLead(parent, additions.front().element.name);
        const std::string_view close = boHasLineBreak(inner) ? lead(parent) : std::string_view();
        std::string& text = texts_;
        const std::size_t textBegin = text.size();
        const StartTag tag = startTag(parent);
        if (tag.boSelfClosing) {
            text += '>';
        }
        for (const Addition& addition : additions) {
            text += inner;
            vAppendElement(text, addition.element, inner);
        }
        if (tag.boSelfClosing) {
            text += close;
            text += "</";
            text += parent.name();
            text += '>';
            edits.push_back(Edit{tag.trimmed, tag.close + 2, textBegin, text.size()});
            return;
        }
        const std::size_t endTag = contentEnd(parent);
        std::size_t at = endTag;
        while (at > tag.close + 1 && boIsSpace(charAt(at - 1))) {
            --at;
        }
        if (at == endTag) {
            text += close;
        }
        edits.push_back(Edit{at, at, textBegin, text.size()});
    }

    void vEdit(std::vector<Edit>& edits, std::size_t begin, std::size_t end, std::string_view text) {
        const std::size_t textBegin = texts_.size();
        texts_.append(text);
        edits.push_back(Edit{begin, end, textBegin, texts_.size()});
    }

    std::string_view text_;
    std::string_view buffer_;
    pugi::xml_node root_;
    std::string texts_;
    // Scratch space of the planning, kept to spare allocations.
    std::vector<std::string_view> removedIds_;
    std::vector<std::string_view> addedIds_;
    std::vector<std::string_view> runningMax_;
    Survivors classifiedSurvivors_;
    std::size_t epilogStart_ = 0;
    std::string step_ = "  ";
    bool fault_ = false;
    std::vector<Removal> removals_;
    std::vector<Addition> additions_;
};

// The bytes with the edits applied. False when two edits overlap, a fault
// of the planning.
bool boApply(std::string_view text, std::string_view texts, std::vector<Edit>& edits, std::string& out) {
    std::stable_sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) {
        return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
    });
    std::size_t size = text.size();
    std::size_t at = 0;
    for (const Edit& edit : edits) {
        if (edit.begin < at || edit.end < edit.begin || edit.end > text.size()) {
            return false;
        }
        size = size - (edit.end - edit.begin) + (edit.textEnd - edit.textBegin);
        at = edit.end;
    }
    out.clear();
    out.reserve(size);
    at = 0;
    for (const Edit& edit : edits) {
        out.append(text.substr(at, edit.begin - at));
        out.append(texts.substr(edit.textBegin, edit.textEnd - edit.textBegin));
        at = edit.end;
    }
    out.append(text.substr(at));
    return true;
}

// Walks the source elements of one relation's elements along the relation
// of the mapping: each must be the next source of the mapping, with exactly
// its classified ids, in order.
class RelationWalk {
public:
    explicit RelationWalk(const Mapping::Relation& relation) noexcept
        : at_(relation.begin()), end_(relation.end()) {}

    bool boElementHolds(pugi::xml_node relationNode) {
        for (pugi::xml_node source = relationNode.first_child(); source; source = source.next_sibling()) {
            if (source.type() != pugi::node_element || std::strcmp(source.name(), kSourceName) != 0) {
                continue;
            }
            const pugi::xml_attribute id = source.attribute(kIdName);
            if (!id || at_ == end_ || at_->first != id.value()) {
                return false;
            }
            auto classified = at_->second.begin();
            for (pugi::xml_node node = source.first_child(); node; node = node.next_sibling()) {
                if (node.type() != pugi::node_element || std::strcmp(node.name(), kClassifiedName) != 0) {
                    continue;
                }
                const pugi::xml_attribute classifiedId = node.attribute(kIdName);
                if (!classifiedId || classified == at_->second.end() || *classified != classifiedId.value()) {
                    return false;
                }
                ++classified;
            }
            if (classified != at_->second.end()) {
                return false;
            }
            ++at_;
        }
        return true;
    }

    [[nodiscard]] bool boDone() const noexcept { return at_ == end_; }

private:
    Mapping::Relation::const_iterator at_;
    Mapping::Relation::const_iterator end_;
};

// A flag as reading takes it: absent is false; anything but "true" or
// "false" does not read.
bool boFlagHolds(pugi::xml_node root, const char* name, bool expected) {
    const pugi::xml_attribute attribute = root.attribute(name);
    if (!attribute) {
        return !expected;
    }
    return std::strcmp(attribute.value(), expected ? kTrue : kFalse) == 0;
}

// ---- Patching a document known to read by walking its bytes ----

// Decodes an attribute value as the parser does, for values without a raw
// tab, line feed or carriage return (which the parser turns into spaces)
// and without an entity other than XML's predefined ones and character
// references. False for any other value.
bool boAttributeDecode(std::string_view raw, std::string& out) {
    out.clear();
    std::size_t at = 0;
    while (at < raw.size()) {
        const std::size_t special = std::min(raw.find_first_of("&\t\n\r", at), raw.size());
        out.append(raw.substr(at, special - at));
        at = special;
        if (at == raw.size()) {
            break;
        }
        if (raw[at] != '&') {
            return false;
        }
        const std::size_t semicolon = raw.find(';', at);
        if (semicolon == npos) {
            return false;
        }
        const std::string_view name = raw.substr(at + 1, semicolon - at - 1);
        at = semicolon + 1;
        if (name == "lt") {
            out += '<';
        } else if (name == "gt") {
            out += '>';
        } else if (name == "amp") {
            out += '&';
        } else if (name == "quot") {
            out += '"';
        } else if (name == "apos") {
            out += '\'';
        } else if (name.size() > 1 && name[0] == '#') {
            const bool boHex = name[1] == 'x';
            const std::string_view digits = name.substr(boHex ? 2 : 1);
            if (digits.empty() || digits.size() > 8) {
                return false;
            }
            std::uint32_t code = 0;
            for (const char digit : digits) {
                std::uint32_t value = 16;
                if (digit >= '0' && digit <= '9') {
                    value = static_cast<std::uint32_t>(digit - '0');
                } else if (boHex && digit >= 'a' && digit <= 'f') {
                    value = static_cast<std::uint32_t>(digit - 'a' + 10);
                } else if (boHex && digit >= 'A' && digit <= 'F') {
                    value = static_cast<std::uint32_t>(digit - 'A' + 10);
                }
                if (value >= (boHex ? 16U : 10U)) {
                    return false;
                }
                code = code * (boHex ? 16U : 10U) + value;
            }
            if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
                return false;
            }
            if (code < 0x80) {
                out += static_cast<char>(code);
            } else if (code < 0x800) {
                out += static_cast<char>(0xC0 | (code >> 6));
                out += static_cast<char>(0x80 | (code & 0x3F));
            } else if (code < 0x10000) {
                out += static_cast<char>(0xE0 | (code >> 12));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (code & 0x3F));
            } else {
                out += static_cast<char>(0xF0 | (code >> 18));
                out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
                out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (code & 0x3F));
            }
        } else {
            return false;
        }
    }
    return true;
}

// A start tag as the bytes spell it.
struct Tag {
    std::size_t start = 0; // its '<'
    std::string_view name;
    std::size_t afterAttributes = 0; // after the last attribute's closing quote, or after the name
    std::size_t close = 0;           // the '>', or the '/' of "/>"
    std::size_t end = 0;             // after the tag
    bool boSelfClosing = false;
    bool boHasId = false;
    std::string_view id; // the raw value of the id attribute
};

// One piece of an element's content.
struct Piece {
    enum Kind { Space, Other, Comment, Element, EndTag };
    Kind kind = Other;
    std::size_t start = 0;
    std::size_t end = 0; // after the piece; for an element, after its start tag
    Tag tag;
};

// Walks the bytes of a document known to read: pieces of content one after
// the other, start tags with their attributes. Every method returns false
// on what it does not expect (a processing instruction, a document type),
// which sends the caller the long way. Points at the bytes; thread-compatible.
class Scanner {
public:
    explicit Scanner(std::string_view text) noexcept : text_(text) {}

    [[nodiscard]] std::string_view textGet() const noexcept { return text_; }

    // The start tag at `at`, its attributes passed to `attribute(name, raw
    // value, value start)`.
    template <class OnAttribute>
    bool boTagRead(std::size_t at, Tag& tag, OnAttribute attribute) const {
        tag = Tag();
        tag.start = at;
        std::size_t p = at + 1;
        while (p < text_.size() && !boIsSpace(text_[p]) && text_[p] != '/' && text_[p] != '>') {
            ++p;
        }
        tag.name = text_.substr(at + 1, p - at - 1);
        tag.afterAttributes = p;
        for (;;) {
            while (p < text_.size() && boIsSpace(text_[p])) {
                ++p;
            }
            if (p >= text_.size()) {
                return false;
            }
            if (text_[p] == '/') {
                if (p + 1 >= text_.size() || text_[p + 1] != '>') {
                    return false;
                }
                tag.boSelfClosing = true;
                tag.close = p;
                tag.end = p + 2;
                return true;
            }
            if (text_[p] == '>') {
                tag.close = p;
                tag.end = p + 1;
                return true;
            }
            const std::size_t nameStart = p;
            while (p < text_.size() && !boIsSpace(text_[p]) && text_[p] != '=') {
                ++p;
            }
            const std::string_view name = text_.substr(nameStart, p - nameStart);
            while (p < text_.size() && boIsSpace(text_[p])) {
                ++p;
            }
            if (p >= text_.size() || text_[p] != '=') {
                return false;
            }
            ++p;
            while (p < text_.size() && boIsSpace(text_[p])) {
                ++p;
            }
            if (p >= text_.size() || (text_[p] != '"' && text_[p] != '\'')) {
                return false;
            }
            const std::size_t valueEnd = text_.find(text_[p], p + 1);
            if (valueEnd == npos) {
                return false;
            }
            const std::string_view value = text_.substr(p + 1, valueEnd - p - 1);
            if (name == kIdName && !tag.boHasId) {
                tag.boHasId = true;
                tag.id = value;
            }
            attribute(name, value);
            p = valueEnd + 1;
            tag.afterAttributes = p;
        }
    }

    bool boTagRead(std::size_t at, Tag& tag) const {
        return boTagRead(at, tag, [](std::string_view, std::string_view) {});
    }

    // The piece of content at `at`.
    bool boPieceRead(std::size_t at, Piece& piece) const {
        piece = Piece();
        piece.start = at;
        if (at >= text_.size()) {
            return false;
        }
        if (text_[at] != '<') {
            const std::size_t next = text_.find('<', at);
            if (next == npos) {
                return false;
            }
            piece.end = next;
            piece.kind = Piece::Space;
            for (std::size_t p = at; p < next; ++p) {
                if (!boIsSpace(text_[p])) {
                    piece.kind = Piece::Other;
                    break;
                }
            }
            return true;
        }
        const std::string_view rest = text_.substr(at);
        if (rest.starts_with("<!--")) {
            const std::size_t close = text_.find("-->", at + 4);
            piece.kind = Piece::Comment;
            piece.end = close == npos ? npos : close + 3;
            return close != npos;
        }
        if (rest.starts_with("<![CDATA[")) {
            const std::size_t close = text_.find("]]>", at + 9);
            piece.end = close == npos ? npos : close + 3;
            return close != npos;
        }
        if (rest.starts_with("<?") || rest.starts_with("<!")) {
            return false;
        }
        if (rest.starts_with("</")) {
            const std::size_t close = text_.find('>', at);
            piece.kind = Piece::EndTag;
            piece.end = close == npos ? npos : close + 1;
            return close != npos;
        }
        piece.kind = Piece::Element;
        if (!boTagRead(at, piece.tag)) {
            return false;
        }
        piece.end = piece.tag.end;
        return true;
    }

    // Skips the content and end tag of the element whose start tag is
    // given; `end` becomes the position after the element.
    bool boElementSkip(const Tag& tag, std::size_t& end) const {
        end = tag.end;
        if (tag.boSelfClosing) {
            return true;
        }
        int depth = 1;
        Piece piece;
        while (depth > 0) {
            if (!boPieceRead(end, piece)) {
                return false;
            }
            end = piece.end;
            if (piece.kind == Piece::EndTag) {
                --depth;
            } else if (piece.kind == Piece::Element && !piece.tag.boSelfClosing) {
                ++depth;
            }
        }
        return true;
    }

    // The whitespace right before a position.
    [[nodiscard]] std::string_view leadOf(std::size_t at) const noexcept {
        std::size_t begin = at;
        while (begin > 0 && boIsSpace(text_[begin - 1])) {
            --begin;
        }
        return text_.substr(begin, at - begin);
    }

private:
    std::string_view text_;
};

// Plans the changes among the children of one element (a relation's
// sources, or a source's classified ids), told about them one by one in
// document order, as the Patcher plans them for a document that lists each
// id once and in byte order: a child that goes is removed with the
// whitespace that leads it; new children wait for the next child that
// stays and go before it (and before the comments right above it), after
// the last one that stays otherwise, or at the end of the parent's content
// when none stays; a parent left with nothing but whitespace becomes an
// empty-element tag. Points at the scanner and the new elements; writes
// into the caller's edits and texts.
class ChildrenPlan {
public:
    ChildrenPlan(const Scanner& scanner, std::string_view step, const Tag& parent, const char* childName,
                 std::vector<Edit>& edits, std::string& texts)
        : scanner_(scanner), step_(step), parent_(parent), childName_(childName), edits_(edits), texts_(texts) {}

    void vSpace() noexcept {}
    // Text or a CDATA section: ends a run of comments.
    void vOther() noexcept {
        run_ = npos;
        boOnlyRemovedAndSpace_ = false;
    }
    void vComment(std::size_t start) noexcept {
        if (run_ == npos) {
            run_ = start;
        }
        boOnlyRemovedAndSpace_ = false;
    }
    // An element that is not one of the children planned.
    void vUnknown(const Tag& tag) {
        vElementSeen(tag);
        run_ = npos;
        boOnlyRemovedAndSpace_ = false;
    }
    void vRemoved(const Tag& tag, std::size_t end) {
        vElementSeen(tag);
        run_ = npos;
        const std::size_t begin = tag.start - scanner_.leadOf(tag.start).size();
        removals_.push_back(Edit{begin, end, 0, 0});
        if (!boOnlyRemovedAndSpace_) {
            vRemovalsFlush();
        }
    }
    void vStays(const Tag& tag, std::size_t end) {
        vElementSeen(tag);
        const std::size_t first = run_ == npos ? tag.start : run_;
        run_ = npos;
        boOnlyRemovedAndSpace_ = false;
        vRemovalsFlush();
        if (!pending_.empty()) {
            const std::string_view before = scanner_.leadOf(first);
            const std::size_t textBegin = texts_.size();
            for (const NewElement& element : pending_) {
                vAppendNewElement(texts_, element, before, step_);
                texts_ += before;
            }
            edits_.push_back(Edit{first, first, textBegin, texts_.size()});
            pending_.clear();
        }
        lastStart_ = tag.start;
        lastEnd_ = end;
        boAnyStays_ = true;
    }
    void vAdd(const NewElement& element) {
        pending_.push_back(element);
        boAnyAdded_ = true;
    }

    // At the parent's end tag, which starts at `endTag`; `end` is after it.
    void vFinish(std::size_t endTag, std::size_t end) {
        if (!pending_.empty()) {
            if (boAnyStays_) {
                const std::string_view before = scanner_.leadOf(lastStart_);
                const std::size_t textBegin = texts_.size();
                for (const NewElement& element : pending_) {
                    texts_ += before;
                    vAppendNewElement(texts_, element, before, step_);
                }
                edits_.push_back(Edit{lastEnd_, lastEnd_, textBegin, texts_.size()});
            } else {
                vAppendAtEnd(endTag);
            }
            pending_.clear();
        }
        if (!boAnyAdded_ && boOnlyRemovedAndSpace_ && !removals_.empty()) {
            const std::size_t textBegin = texts_.size();
            texts_ += " />";
            edits_.push_back(Edit{parent_.afterAttributes, end, textBegin, texts_.size()});
            removals_.clear();
        }
        vRemovalsFlush();
    }

private:
    void vElementSeen(const Tag& tag) {
        const std::string_view lead = scanner_.leadOf(tag.start);
        if (!boWanted_ && tag.name == childName_ && !lead.empty()) {
            boWanted_ = true;
            wantedLead_ = lead;
        }
        if (!boFallback_ || (fallbackLead_.empty() && !lead.empty())) {
            boFallback_ = true;
            fallbackLead_ = lead;
        }
    }

    void vRemovalsFlush() {
        for (const Edit& removal : removals_) {
            edits_.push_back(Edit{removal.begin, removal.end, texts_.size(), texts_.size()});
        }
        removals_.clear();
    }

    void vAppendAtEnd(std::size_t endTag) {
        const std::string inner = boWanted_     ? std::string(wantedLead_)
                                  : boFallback_ ? std::string(fallbackLead_)
                                                : innerLeadOf(scanner_.leadOf(parent_.start), step_);
        const std::string_view close =
            boHasLineBreak(inner) ? scanner_.leadOf(parent_.start) : std::string_view();
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
        const std::string_view text = scanner_.textGet();
        std::size_t at = endTag;
        while (at > parent_.close + 1 && boIsSpace(text[at - 1])) {
            --at;
        }
        if (at == endTag) {
            texts_ += close;
        }
        edits_.push_back(Edit{at, at, textBegin, texts_.size()});
    }

    const Scanner& scanner_;
    std::string_view step_;
    const Tag& parent_;
    std::string_view childName_;
    std::vector<Edit>& edits_;
    std::string& texts_;
    std::vector<NewElement> pending_;
    std::vector<Edit> removals_; // held while the parent may still become empty
    std::size_t run_ = npos;     // where the comments right above the next child start
    std::size_t lastStart_ = 0;  // the last child that stays
    std::size_t lastEnd_ = 0;
    bool boAnyStays_ = false;
    bool boAnyAdded_ = false;
    bool boOnlyRemovedAndSpace_ = true;
    bool boWanted_ = false; // the first child named childName_ with a lead
    std::string_view wantedLead_;
    bool boFallback_ = false; // the first child element, or the first with a lead
    std::string_view fallbackLead_;
};

// Patches a document known to read by walking its bytes: see boDocumentPatch.
class StreamPatcher {
public:
    explicit StreamPatcher(std::string_view text) noexcept : scanner_(text), text_(text) {}

    bool boPatch(const Mapping& target, std::string& out) {
        std::size_t at = 0;
        if (text_.starts_with("\xEF\xBB\xBF")) {
            at = 3;
        }
        // The declaration, then whitespace and comments before the root.
        if (text_.substr(at).starts_with("<?xml") && at + 5 < text_.size() &&
            (boIsSpace(text_[at + 5]) || text_[at + 5] == '?')) {
            const std::size_t close = text_.find("?>", at);
            if (close == npos) {
                return false;
            }
            at = close + 2;
        }
        Piece piece;
        for (;;) {
            if (!scanner_.boPieceRead(at, piece)) {
                return false;
            }
            if (piece.kind == Piece::Element) {
                break;
            }
            if (piece.kind != Piece::Space && piece.kind != Piece::Comment) {
                return false;
            }
            at = piece.end;
        }
        Tag root;
        bool boHeader = true;
        std::string value;
        const std::size_t rootStart = piece.start;
        if (!scanner_.boTagRead(rootStart, root, [&](std::string_view name, std::string_view raw) {
                boHeader = boHeader && boRootAttributeHolds(name, raw, target, value);
            })) {
            return false;
        }
        // Every attribute of the header that the target gives a value must
        // be there or read as its default.
        if (!boHeader || root.name != kRootName || root.boSelfClosing || !boMissingHeaderHolds(target)) {
            return false;
        }
        const std::string_view rootIndent = indentOf(scanner_.leadOf(rootStart));
        bool boFirstElement = true;
        bool boRelation = false;
        bool boSecond = false;
        at = root.end;
        for (;;) {
            if (!scanner_.boPieceRead(at, piece)) {
                return false;
            }
            if (piece.kind == Piece::EndTag) {
                at = piece.end;
                break;
            }
            if (piece.kind != Piece::Element) {
                at = piece.end;
                continue;
            }
            if (boFirstElement) {
                boFirstElement = false;
                const std::string_view childLead = scanner_.leadOf(piece.start);
                const std::string_view childIndent = indentOf(childLead);
                if (boHasLineBreak(childLead) && childIndent.size() > rootIndent.size() &&
                    childIndent.starts_with(rootIndent)) {
                    step_ = childIndent.substr(rootIndent.size());
                }
            }
            if (piece.tag.name == kRelationName || piece.tag.name == kSecondRelationName) {
                const bool boFirst = piece.tag.name == kRelationName;
                bool& boSeen = boFirst ? boRelation : boSecond;
                if (boSeen) {
                    return false;
                }
                boSeen = true;
                const std::size_t editsBefore = edits_.size();
                if (!boRelationWalk(piece.tag, boFirst ? target.sourceToClassified : target.secondRelation,
                                    at)) {
                    return false;
                }
                // The second relation is only compared: a change of it
                // takes the long way.
                if (!boFirst && edits_.size() != editsBefore) {
                    return false;
                }
                continue;
            }
            if (!scanner_.boElementSkip(piece.tag, at)) {
                return false;
            }
        }
        if ((!boRelation && !target.sourceToClassified.empty()) || (!boSecond && !target.secondRelation.empty())) {
            return false;
        }
        // After the root only whitespace, comments and processing
        // instructions can stand; one of the latter takes the long way.
        while (at < text_.size()) {
            if (text_[at] != '<') {
                const std::size_t next = text_.find('<', at);
                if (next == npos) {
                    break;
                }
                at = next;
                continue;
            }
            if (!scanner_.boPieceRead(at, piece) || piece.kind != Piece::Comment) {
                return false;
            }
            at = piece.end;
        }
        return boApply(text_, texts_, edits_, out);
    }

private:
    static std::string_view indentOf(std::string_view lead) noexcept {
        const std::size_t lineBreak = lead.find_last_of("\r\n");
        return lineBreak == npos ? lead : lead.substr(lineBreak + 1);
    }

    bool boRootAttributeHolds(std::string_view name, std::string_view raw, const Mapping& target,
                              std::string& value) {
        for (const TextField& field : kTextFields) {
            if (name == field.name) {
                seen_.push_back(field.name);
                return boAttributeDecode(raw, value) && value == target.*field.member;
            }
        }
        if (name == kFlag1Name || name == kFlag2Name) {
            seen_.push_back(name == kFlag1Name ? kFlag1Name : kFlag2Name);
            const bool expected = name == kFlag1Name ? target.boFlag1 : target.boFlag2;
            return boAttributeDecode(raw, value) && value == (expected ? kTrue : kFalse);
        }
        return true;
    }

    // A text attribute that is missing reads as empty, a flag as false.
    bool boMissingHeaderHolds(const Mapping& target) const {
        const auto seen = [this](const char* name) {
            return std::find(seen_.begin(), seen_.end(), name) != seen_.end();
        };
        for (const TextField& field : kTextFields) {
            if (!seen(field.name) && !(target.*field.member).empty()) {
                return false;
            }
        }
        return (seen(kFlag1Name) || !target.boFlag1) && (seen(kFlag2Name) || !target.boFlag2);
    }

    // Whether the new source and its classified ids can be stored.
    static bool boStorable(std::string_view source, const Classified& classified) {
        if (!boTextStorable(source)) {
            return false;
        }
        return std::all_of(classified.begin(), classified.end(),
                           [](const std::string& id) { return boTextStorable(id); });
    }

    // The source ids that the relation element's source elements give,
    // decoded and sorted, into sourceIds_. False when one is listed twice.
    bool boSourceIdsCollect(const Tag& relation) {
        sourceIds_.clear();
        bool boSorted = true;
        std::size_t at = relation.end;
        Piece piece;
        while (!relation.boSelfClosing) {
            if (!scanner_.boPieceRead(at, piece)) {
                return false;
            }
            if (piece.kind == Piece::EndTag) {
                break;
            }
            at = piece.end;
            if (piece.kind != Piece::Element) {
                continue;
            }
            if (piece.tag.name == kSourceName) {
                if (!piece.tag.boHasId || !boAttributeDecode(piece.tag.id, id_)) {
                    return false;
                }
                boSorted = boSorted && (sourceIds_.empty() || sourceIds_.back() < id_);
                sourceIds_.push_back(id_);
            }
            if (!scanner_.boElementSkip(piece.tag, at)) {
                return false;
            }
        }
        if (!boSorted) {
            std::sort(sourceIds_.begin(), sourceIds_.end());
            if (std::adjacent_find(sourceIds_.begin(), sourceIds_.end()) != sourceIds_.end()) {
                return false;
            }
        }
        return true;
    }

    // The sources of one relation element along the target's relation;
    // `end` becomes the position after the element. A source element whose
    // id the target lacks goes; a new source goes before the first element
    // that stays whose id, or that of one before it, is greater.
    bool boRelationWalk(const Tag& relation, const Mapping::Relation& target, std::size_t& end) {
        if (!boSourceIdsCollect(relation)) {
            return false;
        }
        std::vector<const Mapping::Relation::value_type*> added; // in byte order
        auto listed = sourceIds_.cbegin();
        for (const auto& entry : target) {
            while (listed != sourceIds_.cend() && *listed < entry.first) {
                ++listed;
            }
            if (listed == sourceIds_.cend() || *listed != entry.first) {
                if (!boStorable(entry.first, entry.second)) {
                    return false;
                }
                added.push_back(&entry);
            }
        }
        std::vector<std::string>().swap(sourceIds_);

        ChildrenPlan plan(scanner_, step_, relation, kSourceName, edits_, texts_);
        auto next = added.cbegin();
        const auto vAddBelow = [&](const std::string* below) {
            for (; next != added.cend() && (below == nullptr || (*next)->first < *below); ++next) {
                plan.vAdd(NewElement{kSourceName, (*next)->first, &(*next)->second, nullptr});
            }
        };
        std::string runningMax;
        bool boAnyStays = false;
        std::size_t at = relation.end;
        Piece piece;
        while (!relation.boSelfClosing) {
            if (!scanner_.boPieceRead(at, piece)) {
                return false;
            }
            if (piece.kind == Piece::EndTag) {
                vAddBelow(nullptr);
                plan.vFinish(piece.start, piece.end);
                break;
            }
            at = piece.end;
            switch (piece.kind) {
            case Piece::Space: plan.vSpace(); continue;
            case Piece::Comment: plan.vComment(piece.start); continue;
            case Piece::Other: plan.vOther(); continue;
            default: break;
            }
            const Tag tag = piece.tag;
            if (tag.name != kSourceName) {
                if (!scanner_.boElementSkip(tag, at)) {
                    return false;
                }
                plan.vUnknown(tag);
                continue;
            }
            if (!boAttributeDecode(tag.id, id_)) {
                return false;
            }
            const auto found = target.find(id_);
            if (found == target.end()) {
                if (!scanner_.boElementSkip(tag, at)) {
                    return false;
                }
                plan.vRemoved(tag, at);
                continue;
            }
            if (!boSourceWalk(tag, found->second, at)) {
                return false;
            }
            if (!boAnyStays || runningMax < found->first) {
                runningMax = found->first;
                boAnyStays = true;
            }
            vAddBelow(&runningMax);
            plan.vStays(tag, at);
        }
        if (relation.boSelfClosing) {
            end = relation.end;
            vAddBelow(nullptr);
            plan.vFinish(relation.end, relation.end);
            return true;
        }
        end = piece.end;
        return true;
    }

    // The classified ids of a source element that stays, in any order and
    // possibly repeated: patched when their set differs from the target's. `end` becomes the position after the
    // element.
    bool boSourceWalk(const Tag& source, const Classified& target, std::size_t& end) {
        children_.clear();
        std::size_t at = source.end;
        Piece piece;
        std::size_t endTag = source.end;
        end = source.end;
        while (!source.boSelfClosing) {
            if (!scanner_.boPieceRead(at, piece)) {
                return false;
            }
            at = piece.end;
            if (piece.kind == Piece::EndTag) {
                endTag = piece.start;
                end = piece.end;
                break;
            }
            Child child{piece.kind, piece.start, at, piece.tag, {}};
            if (piece.kind == Piece::Element) {
                if (!scanner_.boElementSkip(piece.tag, at)) {
                    return false;
                }
                child.end = at;
                if (piece.tag.name == kClassifiedName &&
                    (!piece.tag.boHasId || !boAttributeDecode(piece.tag.id, child.id))) {
                    return false;
                }
            }
            children_.push_back(std::move(child));
        }
        // Unchanged: the ids listed, each once, are exactly the target's.
        ids_.clear();
        for (const Child& child : children_) {
            if (child.kind == Piece::Element && child.tag.name == kClassifiedName) {
                ids_.push_back(child.id);
            }
        }
        std::sort(ids_.begin(), ids_.end());
        ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
        if (std::equal(ids_.begin(), ids_.end(), target.begin(), target.end())) {
            return true;
        }
        // Every element of a removed id goes; a new id goes before the first
        // element that stays whose id, or that of one before it, is greater.
        added_.clear();
        std::set_difference(target.begin(), target.end(), ids_.begin(), ids_.end(), std::back_inserter(added_));
        if (!std::all_of(added_.begin(), added_.end(), [](std::string_view id) { return boTextStorable(id); })) {
            return false;
        }
        ChildrenPlan plan(scanner_, step_, source, kClassifiedName, edits_, texts_);
        auto next = added_.begin();
        std::string_view runningMax;
        for (const Child& child : children_) {
            switch (child.kind) {
            case Piece::Space: plan.vSpace(); continue;
            case Piece::Comment: plan.vComment(child.start); continue;
            case Piece::Other: plan.vOther(); continue;
            default: break;
            }
            if (child.tag.name != kClassifiedName) {
                plan.vUnknown(child.tag);
                continue;
            }
            if (!target.contains(child.id)) {
                plan.vRemoved(child.tag, child.end);
                continue;
            }
            runningMax = std::max(runningMax, std::string_view(child.id));
            for (; next != added_.end() && *next < runningMax; ++next) {
                plan.vAdd(NewElement{kClassifiedName, *next, nullptr, nullptr});
            }
            plan.vStays(child.tag, child.end);
        }
        for (; next != added_.end(); ++next) {
            plan.vAdd(NewElement{kClassifiedName, *next, nullptr, nullptr});
        }
        plan.vFinish(endTag, end);
        return true;
    }

    // A child of a source element, kept while the source is walked.
    struct Child {
        Piece::Kind kind;
        std::size_t start;
        std::size_t end;
        Tag tag;        // for an element
        std::string id; // for a classified element, decoded
    };

    Scanner scanner_;
    std::string_view text_;
    std::string_view step_ = "  ";
    std::vector<Edit> edits_;
    std::string texts_;
    std::vector<const char*> seen_; // the header attributes the root has
    std::string id_;
    std::vector<std::string> sourceIds_; // of the relation element walked
    // Scratch space of the walk of one source element, kept to spare
    // allocations.
    std::vector<Child> children_;
    std::vector<std::string_view> ids_;   // its classified ids, sorted, each once
    std::vector<std::string_view> added_; // the target's ids it lacks
};

} // namespace

bool boDocumentHolds(std::string_view bytes, const Mapping& mapping) {
    // The parser decodes in place, so it works on a copy; with the reading's
    // options, it decodes the values exactly as reading does.
    std::string buffer(bytes);
    pugi::xml_document document;
    if (!document.load_buffer_inplace(buffer.data(), buffer.size(), kReadOptions, pugi::encoding_utf8)) {
        return false;
    }
    const pugi::xml_node root = document.document_element();
    if (std::strcmp(root.name(), kRootName) != 0) {
        return false;
    }
    for (const TextField& field : kTextFields) {
        const pugi::xml_attribute attribute = root.attribute(field.name);
        if (mapping.*field.member != (attribute ? attribute.value() : "")) {
            return false;
        }
    }
    if (!boFlagHolds(root, kFlag1Name, mapping.boFlag1) || !boFlagHolds(root, kFlag2Name, mapping.boFlag2)) {
        return false;
    }
    RelationWalk relation(mapping.sourceToClassified);
    RelationWalk second(mapping.secondRelation);
    for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling()) {
        if (child.type() != pugi::node_element) {
            continue;
        }
        if (std::strcmp(child.name(), kRelationName) == 0) {
            if (!relation.boElementHolds(child)) {
                return false;
            }
        } else if (std::strcmp(child.name(), kSecondRelationName) == 0 && !second.boElementHolds(child)) {
            return false;
        }
    }
    return relation.boDone() && second.boDone();
}

bool boDocumentPatch(std::string_view bytes, const Mapping& target, std::string& out) {
    return StreamPatcher(bytes).boPatch(target, out);
}

EditableDocument::EditableDocument() = default;
EditableDocument::~EditableDocument() = default;
EditableDocument::EditableDocument(EditableDocument&&) noexcept = default;
EditableDocument& EditableDocument::operator=(EditableDocument&&) noexcept = default;

bool EditableDocument::boParse(std::string bytes) {
    error_.clear();
    auto parsed = std::make_unique<Parsed>();
    parsed->text = std::move(bytes);
    Mapping read;
    std::string editError;
    if (boParseDocument(parsed->text, parsed->buffer, kEditOptions, parsed->dom, read, editError)) {
        parsed->boCurrent = true;
    } else {
        // The parse for editing is stricter only about processing
        // instructions that are not well-formed. Whether the bytes read, and
        // why not, is the reading's own verdict.
        std::string buffer;
        pugi::xml_document document;
        read = Mapping();
        if (!boParseDocument(parsed->text, buffer, kReadOptions, document, read, error_)) {
            return false;
        }
        parsed->unrenderable =
            joined({"the document holds markup that reading skips but a rewrite could not keep (", editError, ")"});
        std::string().swap(parsed->buffer);
        parsed->dom.reset();
    }
    mapping_ = std::move(read);
    parsed_ = std::move(parsed);
    return true;
}

bool EditableDocument::boParseAgain() {
    Mapping read;
    std::string reason;
    if (!boParseDocument(parsed_->text, parsed_->buffer, kEditOptions, parsed_->dom, read, reason) ||
        read != mapping_) {
        error_ = joined({"the document as last rendered does not read back as its mapping",
                         reason.empty() ? "" : ": ", reason});
        return false;
    }
    parsed_->boCurrent = true;
    return true;
}

bool EditableDocument::boRender(const Mapping& target, std::string& out) {
    error_.clear();
    if (!parsed_) {
        error_ = "no document was parsed";
        return false;
    }
    if (!parsed_->unrenderable.empty()) {
        error_ = parsed_->unrenderable;
        return false;
    }
    MappingDiff diff = diffOf(mapping_, target);
    if (std::string problem = diffProblem(mapping_, target, diff); !problem.empty()) {
        error_ = std::move(problem);
        return false;
    }
    if (diff.boEmpty()) {
        out = parsed_->text;
        return true;
    }
    if (!parsed_->boCurrent && !boParseAgain()) {
        return false;
    }
    std::vector<Edit> edits;
    Patcher patcher(parsed_->text, parsed_->buffer, parsed_->dom.document_element());
    std::string rendered;
    if (!patcher.boPlan(mapping_, target, diff, edits) ||
        !boApply(parsed_->text, patcher.textsGet(), edits, rendered)) {
        error_ = "the changes could not be placed in the document";
        return false;
    }
    out = rendered;
    parsed_->text = std::move(rendered);
    parsed_->dom.reset();
    std::string().swap(parsed_->buffer);
    parsed_->boCurrent = false;
    vApplyDiff(diff, target, mapping_);
    return true;
}

} // namespace vyr::classification
