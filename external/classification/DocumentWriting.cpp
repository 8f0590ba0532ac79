#include "external/classification/DocumentWriting.h"

#include "external/classification/DocumentReading.h"

namespace vyr::classification::format {
namespace {

bool boHasLineBreak(std::string_view text) noexcept { return text.find_first_of("\r\n") != std::string_view::npos; }

void vAppendAttribute(std::string& out, std::string_view name, std::string_view value) {
    out += ' ';
    out += name;
    out += "=\"";
    vAppendAttributeValue(out, value, '"');
    out += '"';
}

} // namespace

void vAppendAttributeValue(std::string& out, std::string_view text, char quote) {
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

std::string innerLeadOf(std::string_view lead, std::string_view step) {
    return boHasLineBreak(lead) ? joined({lead, step}) : std::string(lead);
}

void vAppendNewElement(std::string& out, const NewElement& element, std::string_view lead, std::string_view step) {
    out += '<';
    out += element.name;
    const bool boEmpty = element.relation != nullptr ? element.relation->empty()
                                                     : element.classified == nullptr || element.classified->empty();
    if (element.relation == nullptr) {
        vAppendAttribute(out, kIdName, element.id);
    }
    if (boEmpty) {
        out += " />";
        return;
    }
    out += '>';
    const std::string inner = innerLeadOf(lead, step);
    if (element.relation != nullptr) {
        for (const auto& [source, classified] : *element.relation) {
            out += inner;
            vAppendNewElement(out, NewElement{kSourceName, source, &classified, nullptr}, inner, step);
        }
    } else {
        for (const std::string& classified : *element.classified) {
            out += inner;
            vAppendNewElement(out, NewElement{kClassifiedName, classified, nullptr, nullptr}, inner, step);
        }
    }
    if (boHasLineBreak(lead)) {
        out += lead;
    }
    out += "</";
    out += element.name;
    out += '>';
}

void vAppendDocument(std::string& out, const Mapping& mapping) {
    constexpr std::string_view kLead = "\n  ";
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<";
    out += kRootName;
    vAppendAttribute(out, kVersionName, kVersion);
    for (const TextField& field : kTextFields) {
        vAppendAttribute(out, field.name, mapping.*field.member);
    }
    vAppendAttribute(out, kFlag1Name, mapping.boFlag1 ? kTrue : kFalse);
    vAppendAttribute(out, kFlag2Name, mapping.boFlag2 ? kTrue : kFalse);
    out += '>';
    out += kLead;
    vAppendNewElement(out, NewElement{kRelationName, {}, nullptr, &mapping.sourceToClassified}, kLead, "  ");
    out += kLead;
    vAppendNewElement(out, NewElement{kSecondRelationName, {}, nullptr, &mapping.secondRelation}, kLead, "  ");
    out += "\n</";
    out += kRootName;
    out += ">\n";
}

} // namespace vyr::classification::format
