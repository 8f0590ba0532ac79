#include "external/classification/EditableDocument.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

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

TEST(EditableDocumentTest, EditsOfAWrittenFileGiveWhatAFreshWriteGives) {
    HandWritten random(7);
    for (int round = 0; round < 200; ++round) {
        Mapping current = edited(Mapping(), random);
        EditableDocument document;
        ASSERT_TRUE(document.boParse(written(current))) << document.errorGet();
        // Several renders in a row: each starts from the one before.
        for (int step = 0; step < 3; ++step) {
            current = edited(current, random);
            std::string out;
            ASSERT_TRUE(document.boRender(current, out)) << document.errorGet();
            EXPECT_EQ(out, written(current));
            EXPECT_TRUE(document.mappingGet() == current);
        }
    }
}

// The walk that tells a write-back that the file already holds the level:
// true for every file as the store writes it, never true for a mapping
// that differs in anything, and for hand-written documents true or unsure.
TEST(EditableDocumentTest, ADocumentHoldsOnlyTheMappingItReads) {
    HandWritten random(11);
    int held = 0;
    for (int round = 0; round < 300; ++round) {
        const Mapping mapping = edited(Mapping(), random);
        EXPECT_TRUE(boDocumentHolds(written(mapping), mapping));
        const Mapping other = edited(mapping, random);
        EXPECT_EQ(boDocumentHolds(written(mapping), other), other == mapping);

        const std::string hand = random.document();
        const auto [accepted, fromHand] = read(hand);
        if (!accepted) {
            continue;
        }
        held += boDocumentHolds(hand, fromHand) ? 1 : 0;
        const Mapping changed = edited(fromHand, random);
        if (changed != fromHand) {
            EXPECT_FALSE(boDocumentHolds(hand, changed)) << hand;
        }
    }
    EXPECT_GT(held, 0);
}

TEST(EditableDocumentTest, EditsKeepEverythingTheyDoNotChange) {
    for (unsigned seed = 1; seed <= 400; ++seed) {
        HandWritten random(seed);
        const std::string base = random.document();
        const auto [accepted, mapping] = read(base);
        ASSERT_TRUE(accepted) << base;
        EditableDocument document;
        ASSERT_TRUE(document.boParse(base)) << document.errorGet() << "\n" << base;
        ASSERT_TRUE(document.mappingGet() == mapping) << base;

        // The mapping it holds gives the bytes it was given.
        std::string out;
        ASSERT_TRUE(document.boRender(mapping, out));
        EXPECT_EQ(out, base);

        // A text the format cannot carry is refused, and nothing changes.
        Mapping refused = edited(mapping, random);
        refused.sourceToClassified["bell\x07"];
        out = "untouched";
        EXPECT_FALSE(document.boRender(refused, out));
        std::ostringstream sink;
        XmlDocument writer(refused);
        EXPECT_FALSE(writer.boWrite(sink));
        EXPECT_EQ(document.errorGet(), writer.errorGet());
        EXPECT_EQ(out, "untouched");
        EXPECT_TRUE(document.mappingGet() == mapping);

        std::set<std::string> unlisted; // sources whose element went, with what it held
        for (int step = 0; step < 3; ++step) {
            const Mapping target = edited(document.mappingGet(), random);
            for (const auto& [construct, owner] : random.inSource_) {
                const std::string id = owner.substr(owner.find('/') + 1);
                if (!(owner.starts_with("relation/") ? target.sourceToClassified : target.secondRelation).contains(id)) {
                    unlisted.insert(owner);
                }
            }
            ASSERT_TRUE(document.boRender(target, out)) << document.errorGet() << "\n" << base;
            EXPECT_TRUE(read(out).first && read(out).second == target) << base << "\n----\n" << out;
            for (const std::string& construct : random.kept_) {
                EXPECT_NE(out.find(construct), std::string::npos) << construct << "\n" << base << "\n----\n" << out;
            }
            for (const auto& [construct, owner] : random.inSource_) {
                if (!unlisted.contains(owner)) {
                    EXPECT_NE(out.find(construct), std::string::npos) << construct << "\n" << base << "\n--\n" << out;
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

// The one-pass patch of a document known to read gives exactly what its
// parse and render give, whenever it can tell; for files as the store
// writes them, decorated by hand, it can when only the pairs change.
TEST(EditableDocumentTest, APatchInOnePassGivesWhatARenderGives) {
    int patched = 0;
    int tried = 0;
    for (unsigned seed = 1; seed <= 400; ++seed) {
        HandWritten random(seed);
        const std::vector<std::string> documents = {random.document(),
                                                    decorated(written(edited(Mapping(), random)), random)};
        for (std::size_t kind = 0; kind < documents.size(); ++kind) {
            const std::string& base = documents[kind];
            const auto [accepted, mapping] = read(base);
            if (!accepted) {
                continue;
            }
            for (int step = 0; step < 3; ++step) {
                Mapping target = edited(mapping, random);
                if (random.count(4) != 0) { // the pairs alone change
                    target.sId = mapping.sId;
                    target.sText5 = mapping.sText5;
                    target.boFlag2 = mapping.boFlag2;
                    target.secondRelation = mapping.secondRelation;
                }
                EditableDocument document;
                ASSERT_TRUE(document.boParse(base));
                std::string rendered;
                const bool boRendered = document.boRender(target, rendered);
                std::string out;
                const bool boPatched = boDocumentPatch(base, target, out);
                if (kind == 1 && target.sId == mapping.sId && target.sText5 == mapping.sText5 &&
                    target.boFlag2 == mapping.boFlag2 && target.secondRelation == mapping.secondRelation &&
                    !target.sourceToClassified.contains("bell\x07")) {
                    ++tried;
                    EXPECT_TRUE(boPatched) << base;
                }
                if (boPatched) {
                    ++patched;
                    ASSERT_TRUE(boRendered) << base;
                    EXPECT_EQ(out, rendered) << base << "\n----\n" << rendered;
                }
            }
        }
    }
    EXPECT_GT(tried, 300);
    EXPECT_GT(patched, tried);

    // Hand-written shapes that a byte scanner could misread, each with
    // whether adding a source must still take the one pass.
    const std::pair<std::string, bool> shapes[] = {
        {"<classification version=\"1\">\n  <relation>\n    <!-- <source id=\"x\"/> - > ]]> -->\n"
         "    <source id=\"b\"><![CDATA[<classified id=\"y\"/>]]><classified id=\"g\"/></source>\n"
         "    <note a=\"/>\"><source id=\"n\"/></note>\n    <x:source id=\"p\" xmlns:x=\"u\"/>\n"
         "    <source id=\"d\" />\n  </relation>\n</classification>\n",
         true},
        {"<classification version='1'>\n  <relation>\n    <source\n      x='>' id = 'a>b/c\"d'\n      >\n"
         "      <classified\tid=\"o'k\" y=\"/>\" /></source >\n    <source id=\"k\" z='1'\n    />\n"
         "  </relation >\n</classification >",
         true},
        {"<classification version=\"1\"><relation><source id=\"a\"/><source id=\"&#x41;&amp;\"/>"
         "<source id=\"&#233;\"><classified id=\"&lt;x&gt;\"/><classified id=\"&#x3C;x>\"/></source>"
         "<source id=\"Z\"/><source id=\"\xF0\x9F\x98\x80\"/></relation></classification>",
         true},
        {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<classification version=\"1\">\r\n"
         "\t<relation>\r\n\t\t<source id=\"b\">\r\n\t\t\t<classified id=\"x\"/>\r\n\t\t</source>\r\n"
         "\t</relation>\r\n</classification>\r\n<!-- end -->\r\n",
         true},
        {"<classification version=\"1\">\n  <secondRelation><source id=\"s\"/></secondRelation>\n"
         "  <relation a=\"1\" />\n</classification>",
         true},
        {"<classification version=\"1\"><relation>&#32;<source id=\"b\">\xC2\xA0<classified id=\"x\">t<u/>"
         "</classified></source>\n  <source id=\"\"><classified id=\"\"/></source>text</relation></classification>",
         true},
        {"<classification version=\"1\"><relation><source id=\"a\"/></relation>"
         "<relation><source id=\"b\"/></relation></classification>",
         false},
        {"<classification version=\"1\"><secondRelation/></classification>", false},
    };
    for (const auto& [base, boAddPatched] : shapes) {
        const auto [accepted, mapping] = read(base);
        ASSERT_TRUE(accepted) << base;
        std::vector<Mapping> targets = {mapping, mapping, mapping, mapping, mapping};
        targets[1].sourceToClassified[""].emplace("c");
        targets[2].sourceToClassified["m"];
        targets[3].vMappingAdd("\xF4\x8F\xBF\xBD", "c");
        targets[4].sourceToClassified.clear();
        for (const auto& [source, classified] : mapping.sourceToClassified) {
            for (Mapping target : {mapping, mapping, mapping}) {
                targets.push_back(target);
            }
            targets[targets.size() - 3].vUnlistSource(source);
            targets[targets.size() - 2].vRemoveFromSource(source);
            targets[targets.size() - 1].vMappingAdd(source, "n");
        }
        for (std::size_t i = 0; i < targets.size(); ++i) {
            EditableDocument document;
            ASSERT_TRUE(document.boParse(base));
            std::string rendered;
            ASSERT_TRUE(document.boRender(targets[i], rendered)) << base;
            std::string out;
            const bool boPatched = boDocumentPatch(base, targets[i], out);
            if (i == 2) {
                EXPECT_EQ(boPatched, boAddPatched) << base;
            }
            if (boPatched) {
                EXPECT_EQ(out, rendered) << base << "\n----\n" << rendered;
            }
        }
    }
}

TEST(EditableDocumentTest, ParsesExactlyWhatReadingAccepts) {
    const std::string good = written(Mapping("m", "", "", "", "", true, false));
    std::vector<std::string> inputs = {
        good,
        "<classification version=\"1\"><?pi!odd?><relation><source id=\"s\"/></relation></classification>",
        "<?pi?x?><classification version=\"1\"/>",
        "<classification version=\"2\"/>",
        "<classification version=\"1\">\n  <relation>\n</classification>",
        "<classification version=\"1\"><!-- open",
    };
    HandWritten random(99);
    for (int i = 0; i < 200; ++i) {
        std::string text = random.document();
        text.erase(static_cast<std::size_t>(random.count(static_cast<int>(text.size()))), 1);
        inputs.push_back(text);
    }
    for (const std::string& text : inputs) {
        std::string readError;
        const auto [accepted, mapping] = read(text, &readError);
        EditableDocument document;
        ASSERT_EQ(document.boParse(text), accepted) << text;
        if (!accepted) {
            EXPECT_EQ(document.errorGet(), readError) << text;
            continue;
        }
        EXPECT_TRUE(document.mappingGet() == mapping) << text;
        std::string out;
        Mapping target = mapping;
        target.sText7 = "changed";
        if (!document.boRender(target, out)) {
            // Only a processing instruction that reading skips as malformed
            // stops a rewrite, which would lose it.
            EXPECT_NE(document.errorGet().find("processing instruction at line 1, column"), std::string::npos)
                << document.errorGet();
            EXPECT_TRUE(document.mappingGet() == mapping);
        } else {
            EXPECT_TRUE(read(out).first && read(out).second == target) << text;
        }
    }
    std::string out;
    EXPECT_FALSE(EditableDocument().boRender(Mapping(), out));
}

} // namespace
} // namespace vyr::classification
