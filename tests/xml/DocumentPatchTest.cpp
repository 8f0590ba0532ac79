#include "external/classification/DocumentPatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "external/classification/DocumentWriting.h"
#include "external/classification/XmlDocument.h"

namespace vyr::classification {
namespace {

std::string written(Mapping mapping) {
    std::ostringstream out;
    EXPECT_TRUE(XmlDocument(mapping).boWrite(out));
    return out.str();
}

// What XmlDocument::boRead makes of the bytes: accepted, mapping, reason.
std::pair<bool, Mapping> read(const std::string& bytes, std::string* error = nullptr) {
    std::istringstream in(bytes);
    Mapping mapping;
    XmlDocument document(mapping);
    const bool ok = document.boRead(in);
    if (error != nullptr) {
        *error = document.errorGet();
    }
    return {ok, mapping};
}

// The document patched toward the target; fails the test when it cannot be.
std::string patched(const std::string& base, const Mapping& target) {
    std::string out;
    std::string error;
    EXPECT_TRUE(boDocumentPatch(base, target, out, error)) << error << "\n" << base;
    return out;
}

// What every patch must give: a document that reads as the target, and
// that a patch toward the same target leaves as it is.
void vExpectHolds(const std::string& out, const Mapping& target, const std::string& base) {
    const auto [accepted, mapping] = read(out);
    EXPECT_TRUE(accepted && mapping == target) << base << "\n----\n" << out;
    EXPECT_EQ(patched(out, target), out) << base;
}

// A patch told about one source id changes in the document what the whole
// patch changes for it, given how reading found the document to list it,
// given nothing, and given a listing whose elements are not where it says.
void vExpectSourcePatchesAlike(const std::string& base, const Mapping& target) {
    std::set<std::string> sources = {"m"};
    for (const Mapping::Relation* relation : {&target.sourceToClassified, &target.secondRelation}) {
        for (const auto& entry : *relation) {
            sources.insert(entry.first);
        }
    }
    for (const std::string& source : sources) {
        Mapping whole;
        SourceListing listing;
        ASSERT_TRUE(XmlDocument(whole).boReadSource(base, source, &listing)) << base;
        Mapping one = target;
        for (Mapping::Relation* relation : {&one.sourceToClassified, &one.secondRelation}) {
            std::erase_if(*relation, [&](const auto& entry) { return entry.first != source; });
        }
        SourceListing wrong = listing;
        wrong.relations[0].boHasElement = !wrong.relations[0].boHasElement;
        wrong.relations[1].boOtherListed = !wrong.relations[1].boOtherListed;
        wrong.relations[0].at = base.size() / 2;
        wrong.relations[1].at = 0;
        // The target's header and entries of the source id, the document's other entries.
        Mapping expected = target;
        const Mapping original = read(base).second;
        for (auto [relation, other] : {std::pair{&expected.sourceToClassified, &original.sourceToClassified},
                                       std::pair{&expected.secondRelation, &original.secondRelation}}) {
            Mapping::Relation merged = *other;
            merged.erase(source);
            if (const auto found = relation->find(source); found != relation->end()) {
                merged.insert(*found);
            }
            *relation = std::move(merged);
        }
        const std::string out = patched(base, expected);
        for (const SourceListing* given : std::initializer_list<const SourceListing*>{&listing, nullptr, &wrong}) {
            std::string sourceOut;
            std::string error;
            EXPECT_TRUE(boDocumentSourcePatch(base, one, source, sourceOut, error, given)) << error;
            EXPECT_EQ(sourceOut, out) << base << "\n---- " << source;
        }
    }
}

// Ids as decoded and as a file may spell them.
const std::vector<std::pair<std::string, std::string>> kIds = {
    {"a", "a"}, {"b", "b"}, {"c", "c"}, {"d", "d"}, {"A", "&#65;"}, {"<x>", "&lt;x&gt;"},
    {"\xC3\xA9", "\xC3\xA9"}, {"", ""}, {"q\"'", "q&quot;&apos;"}, {"t\tn\n", "t&#9;n&#10;"},
};

// Random hand-written documents: comments, processing instructions, unknown
// attributes and elements everywhere, odd layouts and line ends, repeated
// source elements and classified ids. Every hand-written construct carries
// a unique marker; `kept` lists those that must survive any edit, `inSource`
// those that survive while their source stays listed.
class HandWritten {
public:
    explicit HandWritten(unsigned seed) : random_(seed) {
        newline_ = pick<std::string>({"\n", "\r\n", ""});
        step_ = newline_.empty() ? "" : pick<std::string>({"  ", "\t", "    ", ""});
    }

    std::string document() {
        std::string prolog = pick<std::string>({"", "\xEF\xBB\xBF"}) +
                             pick<std::string>({"", "<?xml version=\"1.0\" encoding='utf-8'?>"}) + newline_;
        prolog += construct(kept_, {}, true) + newline_;
        std::string text = prolog + "<classification version=\"1\"";
        for (const char* name : {"id", "text2", "text5", "flag1", "flag2", "other"}) {
            if (coin()) {
                const std::string value = std::string(name).starts_with("flag") ? pick<std::string>({"true", "false"})
                                          : name == std::string("other")        ? marker()
                                                                                : spelled();
                const char quote = coin() ? '"' : '\'';
                text += pick<std::string>({" ", newline_ + step_ + " "}) + name + "=" + quote + value + quote;
                if (name == std::string("other")) {
                    kept_.push_back(std::string(name) + "=" + quote + value + quote);
                }
            }
        }
        const int children = count(5);
        text += children == 0 ? pick<std::string>({"/>", "></classification>"}) : ">";
        for (int i = children - 1; i > 0; --i) {
            text += newline_ + step_;
            const int kind = count(4);
            text += kind == 0   ? construct(kept_)
                    : kind == 1 ? std::string("<secondRelation/>")
                                : relation(kind == 2 ? "relation" : "secondRelation");
        }
        if (children != 0) {
            text += newline_ + "</classification>";
        }
        text += newline_ + construct(kept_, {}, true) + newline_;
        return text;
    }

    std::vector<std::string> kept_;
    std::vector<std::pair<std::string, std::string>> inSource_; // marker construct, relation + '/' + source id

    int count(int below) { return std::uniform_int_distribution<int>(0, below - 1)(random_); }
    bool coin() { return count(2) == 0; }
    template <class T>
    T pick(std::initializer_list<T> values) {
        return *(values.begin() + count(static_cast<int>(values.size())));
    }
    const std::pair<std::string, std::string>& anyId() { return kIds[static_cast<std::size_t>(count(kIds.size()))]; }

private:
    std::string marker() { return "[m" + std::to_string(++markers_) + "]"; }
    std::string spelled() { return anyId().second; }

    // A comment, processing instruction or unknown element (not outside
    // the root), noted in `into`.
    template <class Into>
    std::string construct(Into& into, const std::string& owner = {}, bool outside = false) {
        const std::string text = (outside ? pick<std::string>({"<!--", "<?pi "})
                                          : pick<std::string>({"<!--", "<?pi ", "<note u=\"", "<note>", "<![CDATA[", ""})) +
                                 marker();
        std::string whole = text.starts_with("<!--")       ? text + "-->"
                            : text.starts_with("<?")       ? text + "?>"
                            : text.starts_with("<![")      ? text + "]]>"
                            : text.starts_with("<note u=") ? text + "\"><relation><source id=\"z\"/></relation></note>"
                            : text.starts_with("<note>")   ? text + " text</note>"
                                                           : text + " text";
        if constexpr (std::is_same_v<Into, std::vector<std::string>>) {
            into.push_back(whole);
        } else {
            into.emplace_back(whole, owner);
        }
        return whole;
    }

    std::string relation(const std::string& name) {
        std::string text = "<" + name + ">";
        for (int i = count(5); i > 0; --i) {
            text += newline_ + step_ + step_;
            if (count(4) == 0) {
                text += construct(kept_);
                continue;
            }
            const auto& [id, spelling] = anyId();
            text += "<source id" + pick<std::string>({"=", " = "}) + "\"" + spelling + "\"" +
                    pick<std::string>({"", " extra=\"e\""});
            const int children = count(4);
            if (children == 0) {
                text += pick<std::string>({"/>", " />", "></source>"});
                continue;
            }
            text += ">";
            for (int j = children; j > 0; --j) {
                text += newline_ + step_ + step_ + step_;
                if (count(3) == 0) {
                    text += construct(inSource_, name + "/" + id);
                } else {
                    const char quote = coin() ? '"' : '\'';
                    text += "<classified id=" + (quote + spelled() + quote) +
                            pick<std::string>({"/>", " />", " extra=\"e\"/>", "></classified>"});
                }
            }
            text += newline_ + step_ + step_ + pick<std::string>({"</source>", "</source >"});
        }
        return text + newline_ + step_ + "</" + name + ">";
    }

    std::mt19937 random_;
    std::string newline_;
    std::string step_;
    int markers_ = 0;
};

// A random edit of the mapping: texts, flags, pairs added and removed,
// sources listed empty, cleared and unlisted.
Mapping edited(const Mapping& base, HandWritten& random) {
    Mapping target = base;
    if (random.coin()) {
        target.sId = random.anyId().first;
        target.sText5 = random.anyId().first + " & more";
    }
    if (random.coin()) {
        target.boFlag2 = !target.boFlag2;
    }
    for (int i = random.count(6); i > 0; --i) {
        Mapping::Relation& relation = random.coin() ? target.sourceToClassified : target.secondRelation;
        const std::string source = random.anyId().first;
        switch (random.count(5)) {
        case 0: relation.erase(source); break;
        case 1: relation[source].clear(); break;
        case 2: relation[source].erase(random.anyId().first); break;
        default: relation[source].insert(random.anyId().first); break;
        }
    }
    return target;
}

TEST(DocumentPatchTest, EditsOfAWrittenFileGiveWhatAFreshWriteGives) {
    HandWritten random(7);
    for (int round = 0; round < 200; ++round) {
        Mapping current = edited(Mapping(), random);
        std::string document = written(current);
        // Several patches in a row: each starts from the one before.
        for (int step = 0; step < 3; ++step) {
            current = edited(current, random);
            document = patched(document, current);
            EXPECT_EQ(document, written(current));
        }
    }
}

// Hand-written documents of every shape the format allows (comments,
// processing instructions, unknown attributes and elements, odd layouts
// and line ends, sources listed twice, relations in two elements or none,
// an empty root): the mapping they hold gives them back unchanged, a text
// the format cannot carry is refused as the writer refuses it, and edits
// read back as the target and keep every hand-written construct.
TEST(DocumentPatchTest, EditsKeepEverythingTheyDoNotChange) {
    for (unsigned seed = 1; seed <= 400; ++seed) {
        HandWritten random(seed);
        const std::string base = random.document();
        const auto [accepted, mapping] = read(base);
        ASSERT_TRUE(accepted) << base;
        EXPECT_EQ(patched(base, mapping), base);

        Mapping refused = edited(mapping, random);
        refused.sourceToClassified["bell\x07"];
        std::string out = "untouched";
        std::string error;
        EXPECT_FALSE(boDocumentPatch(base, refused, out, error));
        std::ostringstream sink;
        XmlDocument writer(refused);
        EXPECT_FALSE(writer.boWrite(sink));
        EXPECT_EQ(error, writer.errorGet());

        std::set<std::string> unlisted; // sources whose element went, with what it held
        std::string document = base;
        Mapping current = mapping;
        for (int step = 0; step < 3; ++step) {
            const Mapping target = edited(current, random);
            for (const auto& [construct, owner] : random.inSource_) {
                const std::string id = owner.substr(owner.find('/') + 1);
                if (!(owner.starts_with("relation/") ? target.sourceToClassified : target.secondRelation).contains(id)) {
                    unlisted.insert(owner);
                }
            }
            document = patched(document, target);
            vExpectHolds(document, target, base);
            current = target;
            for (const std::string& construct : random.kept_) {
                EXPECT_NE(document.find(construct), std::string::npos) << construct << "\n" << base << "\n--\n" << document;
            }
            for (const auto& [construct, owner] : random.inSource_) {
                if (!unlisted.contains(owner)) {
                    EXPECT_NE(document.find(construct), std::string::npos) << construct << "\n" << base;
                }
            }
        }
    }
}

// A file as the store writes it, with what people add by hand in between
// its lines: comments, unknown elements, text, other line ends, classified
// ids repeated or out of order, a source element moved out of order.
std::string decorated(const std::string& file, HandWritten& random) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < file.size();) {
        const std::size_t end = file.find('\n', at);
        lines.push_back(file.substr(at, end - at));
        at = end + 1;
    }
    // Now and then the first source element moves to the end of its
    // relation, out of order.
    const auto first = std::find_if(lines.begin(), lines.end(),
                                    [](const std::string& line) { return line.find("<source ") != std::string::npos; });
    if (first != lines.end() && random.coin()) {
        auto last = first;
        while (last->find("/>") == std::string::npos && last->find("</source>") == std::string::npos) {
            ++last;
        }
        const auto closing = std::find_if(last, lines.end(), [](const std::string& line) {
            return line.find("</relation>") != std::string::npos;
        });
        std::rotate(first, last + 1, closing);
    }
    const std::string newline = random.pick<std::string>({"\n", "\r\n"});
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string indent = lines[i].substr(0, lines[i].find_first_not_of(' '));
        if (i >= 2 && random.count(4) == 0) {
            text += indent + random.pick<std::string>({"<!-- note -->", "<note>n</note>", "text", "<![CDATA[c]]>",
                                                       "<!-- a --> <!-- b -->"}) + newline;
        }
        text += lines[i] + newline;
        // A classified id listed again, or out of order.
        if (lines[i].find("<classified ") != std::string::npos && random.count(6) == 0) {
            text += lines[i] + newline;
        } else if (i + 1 < lines.size() && lines[i].find("<classified ") != std::string::npos &&
                   lines[i + 1].find("<classified ") != std::string::npos && random.count(4) == 0) {
            text.insert(text.size() - lines[i].size() - newline.size(), lines[i + 1] + newline);
            ++i;
        }
    }
    return text;
}

// The lines of a document that lie outside the elements of the given
// sources (spelled as the writer spells their ids) and outside relation
// tags, which a patch may rewrite.
std::vector<std::string> linesOutside(const std::string& document, const std::set<std::string>& sources) {
    std::vector<std::string> lines;
    bool boInside = false;
    for (std::size_t at = 0; at < document.size();) {
        const std::size_t end = std::min(document.find('\n', at), document.size());
        const std::string line = document.substr(at, end - at);
        at = end + 1;
        bool boChanged = line.find("elation") != std::string::npos;
        for (const std::string& source : sources) {
            std::string tag = "<source id=\"";
            format::vAppendAttributeValue(tag, source, '"');
            if (line.find(tag + "\"") != std::string::npos) {
                boChanged = true;
                boInside = line.find("/>") == std::string::npos && line.find("</source>") == std::string::npos;
            }
        }
        if (!boChanged && !boInside) {
            lines.push_back(line);
        }
        boInside = boInside && line.find("</source>") == std::string::npos;
    }
    return lines;
}

// How many bytes of `before` a patch replaced: those outside the longest
// common prefix and suffix of the two.
std::size_t bytesReplaced(std::string_view before, std::string_view after) {
    std::size_t prefix = 0;
    while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix]) {
        ++prefix;
    }
    std::size_t suffix = 0;
    while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
           before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix]) {
        ++suffix;
    }
    return before.size() - prefix - suffix;
}

// The bytes outside the changed sources stay the same: in files as the
// store writes them, decorated by hand, every line outside a changed
// source's element is kept, in order; in the table of hostile shapes, a
// new source is one insertion (an empty-element tag it opens aside), and
// every patch reads back as its target.
TEST(DocumentPatchTest, BytesOutsideTheChangedSourcesStay) {
    int tried = 0;
    for (unsigned seed = 1; seed <= 400; ++seed) {
        HandWritten random(seed);
        const std::string base = decorated(written(edited(Mapping(), random)), random);
        const auto [accepted, mapping] = read(base);
        if (!accepted) {
            continue; // a source moved out of order across another's end tag
        }
        ++tried;
        Mapping target = mapping;
        target.sourceToClassified = edited(mapping, random).sourceToClassified;
        const std::string out = patched(base, target);
        vExpectHolds(out, target, base);
        std::set<std::string> changed;
        for (const Mapping::Relation* relation : {&mapping.sourceToClassified, &std::as_const(target.sourceToClassified)}) {
            for (const auto& [source, classified] : *relation) {
                const auto before = mapping.sourceToClassified.find(source);
                const auto after = target.sourceToClassified.find(source);
                if (before == mapping.sourceToClassified.end() || after == target.sourceToClassified.end() ||
                    before->second != after->second) {
                    changed.insert(source);
                }
            }
        }
        EXPECT_EQ(linesOutside(out, changed), linesOutside(base, changed)) << base << "\n----\n" << out;
    }
    EXPECT_GT(tried, 250);

    // Hand-written shapes that a byte scanner could misread.
    const std::string shapes[] = {
        "<classification version=\"1\">\n  <relation>\n    <!-- <source id=\"x\"/> - > ]]> -->\n"
        "    <source id=\"b\"><![CDATA[<classified id=\"y\"/>]]><classified id=\"g\"/></source>\n"
        "    <note a=\"/>\"><source id=\"n\"/></note>\n    <x:source id=\"p\" xmlns:x=\"u\"/>\n"
        "    <source id=\"d\" />\n  </relation>\n</classification>\n",
        "<classification version='1'>\n  <relation>\n    <source\n      x='>' id = 'a>b/c\"d'\n      >\n"
        "      <classified\tid=\"o'k\" y=\"/>\" /></source >\n    <source id=\"k\" z='1'\n    />\n"
        "  </relation >\n</classification >",
        "<classification version=\"1\"><relation><source id=\"a\"/><source id=\"&#x41;&amp;\"/>"
        "<source id=\"&#233;\"><classified id=\"&lt;x&gt;\"/><classified id=\"&#x3C;x>\"/></source>"
        "<source id=\"Z\"/><source id=\"\xF0\x9F\x98\x80\"/></relation></classification>",
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<classification version=\"1\">\r\n"
        "\t<relation>\r\n\t\t<source id=\"b\">\r\n\t\t\t<classified id=\"x\"/>\r\n\t\t</source>\r\n"
        "\t</relation>\r\n</classification>\r\n<!-- end -->\r\n",
        "<classification version=\"1\">\n  <secondRelation><source id=\"s\"/></secondRelation>\n"
        "  <relation a=\"1\" />\n</classification>",
        "<classification version=\"1\"><relation>&#32;<source id=\"b\">\xC2\xA0<classified id=\"x\">t<u/>"
        "</classified></source>\n  <source id=\"\"><classified id=\"\"/></source>text</relation></classification>",
        "<classification version=\"1\"><relation><source id=\"a\"/></relation>"
        "<relation><source id=\"b\"/><source id=\"a\"><classified id=\"c\"/></source></relation></classification>",
        "<classification version=\"1\"><secondRelation/></classification>",
        "<classification version=\"1\">\n\t<relation>\n\t\t<source id=\"a\"/>\n\t</relation>\n</classification>\n",
        "<?pi?x?><classification version=\"1\" id=\"t\tab\r\nx\" flag1='&#116;rue'/>",
        "<classification version=\"1\"><?pi!odd?><relation><source id=\"s\"><?x?></source></relation></classification>",
        "<classification version=\"1\"><!-->--><relation><source id=\"&#0065;&#x0042;&unknown;\"/></relation>"
        "</classification>",
    };
    for (const std::string& base : shapes) {
        const auto [accepted, mapping] = read(base);
        ASSERT_TRUE(accepted) << base;
        std::vector<Mapping> targets = {mapping, mapping, mapping, mapping, mapping, mapping};
        targets[1].sourceToClassified[""].emplace("c");
        targets[2].sourceToClassified["m"];
        targets[3].vMappingAdd("\xF4\x8F\xBF\xBD", "c");
        targets[4].sourceToClassified.clear();
        targets[5].sId = "new \"id\"";
        targets[5].boFlag1 = !mapping.boFlag1;
        targets[5].sText7 = "<&>";
        for (const auto& [source, classified] : mapping.sourceToClassified) {
            for (Mapping target : {mapping, mapping, mapping}) {
                targets.push_back(target);
            }
            targets[targets.size() - 3].vUnlistSource(source);
            targets[targets.size() - 2].vRemoveFromSource(source);
            targets[targets.size() - 1].vMappingAdd(source, "n");
        }
        EXPECT_EQ(patched(base, mapping), base);
        for (std::size_t i = 1; i < targets.size(); ++i) {
            const std::string out = patched(base, targets[i]);
            vExpectHolds(out, targets[i], base);
            if (i == 2 && !mapping.sourceToClassified.contains("m")) {
                EXPECT_LE(bytesReplaced(base, out), 3U) << base << "\n----\n" << out;
            }
            vExpectSourcePatchesAlike(base, targets[i]);
        }
    }
}

} // namespace
} // namespace vyr::classification
