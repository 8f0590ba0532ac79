#include "external/classification/XmlDocument.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <tuple>
#include <vector>

#include "Source/Core/Utilities/Cache/FileNames.h"
#include "external/platform/SystemCalls.h"

namespace vyr::classification {
namespace {

namespace fs = std::filesystem;

// A fresh folder under the system's temporary folder, removed with the test.
class XmlDocumentTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = fs::temp_directory_path() /
                  ("vyr-xml-" + std::to_string(::getpid()) + "-" + info->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    static std::string fileText(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    static void vWriteFile(const fs::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }

    fs::path folder_;
};

std::string written(Mapping mapping) {
    std::ostringstream out;
    EXPECT_TRUE(XmlDocument(mapping).boWrite(out));
    return out.str();
}

// Reads `text` into a mapping that starts as `start`; the result and reason.
struct ReadResult {
    bool ok;
    Mapping mapping;
    std::string error;
};
ReadResult readText(const std::string& text, const Mapping& start = Mapping()) {
    ReadResult result{false, start, {}};
    std::istringstream in(text);
    XmlDocument document(result.mapping);
    result.ok = document.boRead(in);
    result.error = document.errorGet();
    return result;
}

// A mapping whose every field is set, to tell "unchanged" apart from "reset".
Mapping sentinel() {
    Mapping mapping("sentinel", "t2", "t3", "t4", "t5", true, true);
    mapping.sText6 = "t6";
    mapping.sText7 = "t7";
    mapping.vMappingAdd("s", "c");
    mapping.secondRelation["x"].insert("y");
    return mapping;
}

const std::vector<std::string> kAwkwardTexts = {
    "",
    " ",
    "  leading",
    "trailing  ",
    "<>&\"'",
    "&amp; &#10; &lt; ]]> -->",
    "\t",
    "\n",
    "\r",
    "\r\n",
    "a\r\nb\n\rc\td",
    " \t\n\r ",
    "\xC3\xA9t\xC3\xA9",                 // U+00E9
    "\xF0\x9F\x98\x80",                 // U+1F600, outside the Basic Multilingual Plane
    "\xF4\x8F\xBF\xBF",                 // U+10FFFF
    "\xEF\xBF\xBD\xE2\x80\xA8\x7F\xC2\x85", // U+FFFD, U+2028, DEL, U+0085
};

Mapping awkwardMapping() {
    Mapping mapping;
    std::string* texts[] = {&mapping.sId,    &mapping.sText2, &mapping.sText3, &mapping.sText4,
                            &mapping.sText5, &mapping.sText6, &mapping.sText7};
    for (std::size_t i = 0; i < std::size(texts); ++i) {
        *texts[i] = kAwkwardTexts[(i * 3 + 1) % kAwkwardTexts.size()] + kAwkwardTexts[i];
    }
    mapping.boFlag1 = true;
    for (const std::string& source : kAwkwardTexts) {
        for (const std::string& classified : kAwkwardTexts) {
            mapping.vMappingAdd(source, classified);
        }
        mapping.secondRelation[source + "2"].insert(source);
    }
    mapping.sourceToClassified["listed with an empty set"];
    mapping.secondRelation["also empty"];
    return mapping;
}

TEST_F(XmlDocumentTest, RoundTripKeepsEveryFieldExactly) {
    for (const Mapping& original : {Mapping(), awkwardMapping(), sentinel()}) {
        const std::string text = written(original);
        const ReadResult read = readText(text, sentinel());
        ASSERT_TRUE(read.ok) << read.error << "\n" << text;
        EXPECT_EQ(read.mapping, original) << text;
        EXPECT_TRUE(read.error.empty());

        // The same through a file, and reading from the stream's position.
        Mapping copy = original;
        const fs::path path = folder_ / "m.xml";
        ASSERT_TRUE(XmlDocument(copy).boWrite(path.string()));
        EXPECT_EQ(fileText(path), text);
        std::istringstream positioned("ignored prefix" + text);
        positioned.seekg(14);
        Mapping again;
        ASSERT_TRUE(XmlDocument(again).boRead(positioned));
        EXPECT_EQ(again, original);
    }
    for (const bool flag1 : {false, true}) {
        for (const bool flag2 : {false, true}) {
            const Mapping flags("id", "", "", "", "", flag1, flag2);
            EXPECT_EQ(readText(written(flags)).mapping, flags);
        }
    }
}

TEST_F(XmlDocumentTest, WrittenDocumentIsVersionedAndEscapesLineBreaksInAttributes) {
    Mapping mapping("a\tb\nc\rd", "", "", "", "", false, true);
    const std::string text = written(mapping);
    EXPECT_NE(text.find("<classification version=\"1\""), std::string::npos) << text;
    EXPECT_NE(text.find("id=\"a&#09;b&#10;c&#13;d\""), std::string::npos) << text;
    EXPECT_NE(text.find("encoding=\"UTF-8\""), std::string::npos) << text;

    // The layout of docs/file-format.md's example, byte for byte.
    Mapping colours("colours", "Colours", "", "", "", true, false);
    colours.sourceToClassified = {{"apple", {"green", "red"}}, {"stone", {}}};
    EXPECT_EQ(written(colours),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<classification version=\"1\" id=\"colours\" text2=\"Colours\" text3=\"\" text4=\"\" text5=\"\" "
              "text6=\"\" text7=\"\" flag1=\"true\" flag2=\"false\">\n"
              "  <relation>\n    <source id=\"apple\">\n      <classified id=\"green\" />\n"
              "      <classified id=\"red\" />\n    </source>\n    <source id=\"stone\" />\n  </relation>\n"
              "  <secondRelation />\n</classification>\n");
}

TEST_F(XmlDocumentTest, ReadsHandWrittenDocumentsIgnoringWhatItDoesNotKnow) {
    const std::string text =
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<!-- comment --><?pi data?>\n"
        "<classification version=\"1\" id=\"m\" text3=\"three\" unknown=\"u\" flag2=\"true\">\n"
        "  <note><relation><source id=\"hidden\"/></relation></note>\n"
        "  <relation>\n"
        "    <source id=\"b\"><classified id=\"2\"/><classified id=\"1\"/><other id=\"x\"/>text</source>\n"
        "    <source id=\"a\"><classified id=\"1\" extra=\"e\"/></source>\n"
        "    <source id=\"b\"><classified id=\"3\"/><classified id=\"1\"/></source>\n"
        "    <source id=\"\"/>\n"
        "    <unknown/>\n"
        "  </relation>\n"
        "  <relation><source id=\"c\"/></relation>\n"
        "</classification>\n";
    const ReadResult read = readText(text, sentinel());
    ASSERT_TRUE(read.ok) << read.error;
    Mapping expected("m", "", "three", "", "", false, true);
    expected.sourceToClassified = {{"", {}}, {"a", {"1"}}, {"b", {"1", "2", "3"}}, {"c", {}}};
    EXPECT_EQ(read.mapping, expected);

    // Literal line breaks in attribute values are normalised the XML way.
    const ReadResult normalised = readText("<classification version=\"1\" id=\"a\r\nb\tc\"/>");
    ASSERT_TRUE(normalised.ok) << normalised.error;
    EXPECT_EQ(normalised.mapping.sId, "a b c");
}

TEST_F(XmlDocumentTest, RejectedDocumentsLeaveTheMappingUnchanged) {
    const std::string good = "<classification version=\"1\" id=\"x\">";
    const std::vector<std::string> rejected = {
        "",
        "   ",
        "not xml",
        "<classification version=\"1\">",
        "<classification version=\"1\"></classificatio>",
        "<classification version=\"1\" id=\"a\" id2=\"b/>",
        "<mapping version=\"1\"/>",
        "<classification/>",
        "<classification version=\"2\"/>",
        "<classification version=\"\"/>",
        "<classification version=\"1\" flag1=\"yes\"/>",
        "<classification version=\"1\"><relation><source/></relation></classification>",
        "<classification version=\"1\"><secondRelation><source id=\"s\"><classified/></source></secondRelation>"
        "</classification>",
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><classification version=\"1\"/>",
        "<classification version=\"1\" id=\"\x01\"/>",
        "<classification version=\"1\"><!-- \x1F --></classification>",
        "<classification version=\"1\" id=\"&#1;\"/>",
        "<classification version=\"1\" id=\"a&#0;b\"/>",
        "<classification version=\"1\" id=\"a&#x000;b\"/>",
        "<classification version=\"1\" id=\"&#xD800;\"/>",
        "<classification version=\"1\" id=\"&#x110000;\"/>",
        "<classification version=\"1\" id=\"&#xFFFE;\"/>",
        "<classification version=\"1\" id=\"\xEF\xBF\xBF\"/>",
        "<classification version=\"1\"/><classification version=\"1\"/>",
        std::string("\xFF\xFE<\0c\0/\0>\0", 10),
    };
    for (const std::string& text : rejected) {
        const ReadResult read = readText(text, sentinel());
        EXPECT_FALSE(read.ok) << text;
        EXPECT_EQ(read.mapping, sentinel()) << text;
        EXPECT_FALSE(read.error.empty()) << text;
    }

    // Every truncation of a written document fails.
    const std::string full = written(awkwardMapping());
    const std::size_t end = full.rfind("</classification>") + std::string("</classification>").size();
    for (std::size_t size = 0; size < end; size += 7) {
        const ReadResult read = readText(full.substr(0, size), sentinel());
        EXPECT_FALSE(read.ok) << size;
        EXPECT_EQ(read.mapping, sentinel()) << size;
    }
    EXPECT_TRUE(readText(full.substr(0, end)).ok);
}

TEST_F(XmlDocumentTest, ReasonsNameWhatAndWhere) {
    // Lines end at LF, CR LF or a lone CR; columns count characters from 1,
    // a byte order mark not included.
    const std::vector<std::pair<std::string, std::string>> reasons = {
        {"<classification version=\"1\"\n id=\"\xC3\xA9t\xC3\x28\"/>", "invalid UTF-8 at line 2, column 8"},
        {"\xEF\xBB\xBF<classification version=\"1\" id=\"\x01\"/>",
         "character not allowed in XML 1.0 at line 1, column 33"},
        {"<classification version=\"1\">\r\n\r<!-- \xF0\x9F\x98\x80 -->&#x0;",
         "reference to character U+0000 at line 3, column 11"},
        {"<classification version=\"1\">\r\n  <relation>\n  </classification>",
         "XML parse error: Start-end tags mismatch at line 3, column 5"},
        {"<classification version=\"1\">\n  <relation>\n    <source/>",
         "XML parse error: Start-end tags mismatch at line 3, column 13"},
        {"<classification version=\"1\">\n  <relation>\n    <source/>\n  </relation>\n</classification>",
         "source element without id (near line 3, column 6)"},
        {"<other/>", "root element is 'other', expected 'classification' (near line 1, column 2)"},
        {"<classification\tversion=\"7\"/>", "unsupported version '7' (near line 1, column 26)"},
    };
    for (const auto& [text, reason] : reasons) {
        const ReadResult read = readText(text);
        EXPECT_FALSE(read.ok) << text;
        EXPECT_EQ(read.error, reason) << text;
    }

    // The same deep inside a large document, past the first pieces that
    // the read copies and scans; a large plain document reads, and so does
    // one with a character beyond ASCII or a '&' or ']' far into it.
    std::string large = "<classification version=\"1\"><relation>\n";
    for (int index = 0; index < 400; ++index) {
        large += "  <source id=\"s" + std::to_string(index) + "\"><classified id=\"c\"/></source>\n";
    }
    const std::string end = "</relation></classification>\n";
    const std::vector<std::pair<std::string, std::string>> deep = {
        {large + "<!-- \xC3\x28 -->" + end, "invalid UTF-8 at line 402, column 6"},
        {large + "<!-- \x01 -->" + end, "character not allowed in XML 1.0 at line 402, column 6"},
        {large + "<!-- \xC3\xA9 \x01 -->" + end, "character not allowed in XML 1.0 at line 402, column 8"},
        {large + "<source id=\"&#0;\"/>" + end, "reference to character U+0000 at line 402, column 13"},
        {large + "a]]>" + end, "XML not well-formed: ']]>' in text at line 402, column 2"},
    };
    for (const auto& [text, reason] : deep) {
        const ReadResult read = readText(text);
        EXPECT_FALSE(read.ok) << reason;
        EXPECT_EQ(read.error, reason);
    }
    for (const std::string& tail : {std::string(), std::string("<!-- \xC3\xA9 -->"), std::string("a&amp;]")}) {
        const ReadResult read = readText(large + tail + end);
        EXPECT_TRUE(read.ok) << read.error;
        EXPECT_EQ(read.mapping.sourceToClassified.size(), 400U);
    }
}

TEST_F(XmlDocumentTest, WhatNoXmlParserTakesIsRefusedAndItsWellFormedNeighboursRead) {
    // Each refused document with its reason and place, then a neighbour
    // that differs only as far as needed to be well-formed, and reads.
    const std::string root = "<classification version=\"1\"";
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {root + " id=\"a&b\"/>", "entity reference not closed by ';' at line 1, column 34",
         root + " id=\"a&amp;b\"/>"},
        {root + "><relation>a & b</relation></classification>",
         "'&' that starts no reference (write '&amp;') at line 1, column 41",
         root + "><relation>a &amp; b</relation></classification>"},
        {root + " id=\"&#65\"/>", "malformed character reference at line 1, column 33", root + " id=\"&#65;\"/>"},
        {root + " id=\"&#xZZ;\"/>", "malformed character reference at line 1, column 33",
         root + " id=\"&#xAB;\"/>"},
        {root + " id=\"&#X41;\"/>", "malformed character reference at line 1, column 33",
         root + " id=\"&#x41;\"/>"},
        {root + " id=\"&#;\"/>", "malformed character reference at line 1, column 33", root + " id=\"&#59;\"/>"},
        {root + "><relation>\n a]]>b</relation></classification>", "']]>' in text at line 2, column 3",
         root + "><relation>\n a]]&gt;b<![CDATA[]]]]><![CDATA[>]]></relation></classification>"},
        {"<?xml encoding=\"UTF-8\"?>" + root + "/>", "XML declaration without version at line 1, column 1",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + root + "/>"},
        {"<?xml version=\"1.0\" standalone=\"maybe\"?>" + root + "/>",
         "standalone is 'maybe', expected 'yes' or 'no' at line 1, column 33",
         "<?xml version=\"1.0\" standalone=\"no\"?>" + root + "/>"},
        {"<?xml version=\"2.0\"?>" + root + "/>", "XML version '2.0', expected 1.0 at line 1, column 16",
         "<?xml version=\"1.0\"?>" + root + "/>"},
        {"<?xml version=\"1.0\" standalone=\"yes\" encoding=\"UTF-8\"?>" + root + "/>",
         "'encoding' out of place in the XML declaration at line 1, column 38",
         "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>" + root + "/>"},
        {root + "><relation>&#1;</relation></classification>",
         "reference to a character that XML 1.0 does not allow at line 1, column 39",
         root + "><relation>&#9;</relation></classification>"},
        {root + "><x a=\"&#xFFFF;\"/></classification>",
         "reference to a character that XML 1.0 does not allow at line 1, column 35",
         root + "><x a=\"&#xFFFD;\"/></classification>"},
        {root + "><x>&#xDFFF;</x></classification>",
         "reference to a character that XML 1.0 does not allow at line 1, column 32",
         root + "><x>&#xE000;&#x10FFFF;</x></classification>"},
        {root + "><x>&#99999999999;</x></classification>",
         "reference to a character that XML 1.0 does not allow at line 1, column 32",
         root + "><x><!-- a & b ]]> --><?p a & b ]]>?><![CDATA[a & b]]></x></classification>"},
        {root + " id=\"&a b;\"/>", "entity reference not closed by ';' at line 1, column 33",
         root + " id=\"&undeclared;\"/>"},
    };
    for (const auto& [refused, reason, neighbour] : cases) {
        const ReadResult read = readText(refused, sentinel());
        EXPECT_FALSE(read.ok) << refused;
        EXPECT_EQ(read.error, "XML not well-formed: " + reason) << refused;
        EXPECT_EQ(read.mapping, sentinel()) << refused;
        const ReadResult near = readText(neighbour);
        EXPECT_TRUE(near.ok) << neighbour << ": " << near.error;
    }
    // An undeclared entity keeps its text; the declared ones are decoded.
    EXPECT_EQ(readText(root + " id=\"&undeclared;&amp;&#x41;\"/>").mapping.sId, "&undeclared;&A");
}

TEST_F(XmlDocumentTest, FailedStreamsGiveFalse) {
    Mapping mapping = sentinel();
    XmlDocument document(mapping);

    std::ifstream missing(folder_ / "missing.xml");
    EXPECT_FALSE(document.boRead(missing));
    EXPECT_FALSE(document.errorGet().empty());

    std::istringstream failed(written(Mapping()));
    failed.setstate(std::ios::failbit);
    EXPECT_FALSE(document.boRead(failed));

    std::ifstream folder(folder_);
    EXPECT_FALSE(document.boRead(folder));
    EXPECT_EQ(mapping, sentinel());
}

TEST_F(XmlDocumentTest, EntityDeclarationsAreNeverExpanded) {
    std::string bomb = "<?xml version=\"1.0\"?>\n<!DOCTYPE classification [\n <!ENTITY a0 \"lol\">\n";
    for (int i = 1; i < 10; ++i) {
        bomb += " <!ENTITY a" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) {
            bomb += "&a" + std::to_string(i - 1) + ";";
        }
        bomb += "\">\n";
    }
    bomb += "]>\n<classification version=\"1\" id=\"&a9;\"><relation><source id=\"&a9;\"/></relation>"
            "</classification>\n";
    const ReadResult read = readText(bomb, sentinel());
    EXPECT_FALSE(read.ok);
    EXPECT_EQ(read.mapping, sentinel());
    EXPECT_NE(read.error.find("document type"), std::string::npos) << read.error;

    // Without a declaration, an undeclared entity stays literal text.
    const ReadResult literal = readText("<classification version=\"1\" id=\"&a9;\"/>");
    ASSERT_TRUE(literal.ok) << literal.error;
    EXPECT_EQ(literal.mapping.sId, "&a9;");
}

TEST_F(XmlDocumentTest, DeepNestingDoesNotCrash) {
    constexpr int kDepth = 100000;
    std::string open;
    std::string close;
    for (int i = 0; i < kDepth; ++i) {
        open += "<n>";
        close += "</n>";
    }
    EXPECT_FALSE(readText(open + close).ok);
    EXPECT_FALSE(readText("<classification version=\"1\">" + open + "</classification>").ok);

    const ReadResult inside =
        readText("<classification version=\"1\">" + open + close +
                 "<relation><source id=\"s\"><classified id=\"c\">" + open + close +
                 "</classified>" + open + close + "</source></relation></classification>");
    ASSERT_TRUE(inside.ok) << inside.error;
    EXPECT_EQ(inside.mapping.sourceToClassified, (Mapping::Relation{{"s", {"c"}}}));
}

TEST_F(XmlDocumentTest, LargeMappingRoundTrips) {
    Mapping mapping("large", "", "", "", "", false, false);
    for (int i = 0; i < 100000; ++i) {
        const std::string source = "source-" + std::to_string(i);
        mapping.vMappingAdd(source, "classified-" + std::to_string(i % 97));
        mapping.vMappingAdd(source, "classified-" + std::to_string(i % 89 + 100));
    }
    const fs::path path = folder_ / "large.xml";
    ASSERT_TRUE(XmlDocument(mapping).boWrite(path.string()));
    std::ifstream in(path, std::ios::binary);
    Mapping read;
    XmlDocument document(read);
    ASSERT_TRUE(document.boRead(in)) << document.errorGet();
    EXPECT_EQ(read, mapping);

    // A stream that cannot tell its size, as a pipe, reads the same.
    struct UnseekableBuffer final : std::streambuf {
        explicit UnseekableBuffer(std::string text) : text_(std::move(text)) {
            setg(text_.data(), text_.data(), text_.data() + text_.size());
        }
        std::string text_;
    } unseekable(fileText(path));
    std::istream piped(&unseekable);
    Mapping readPiped;
    XmlDocument pipedDocument(readPiped);
    ASSERT_TRUE(pipedDocument.boRead(piped)) << pipedDocument.errorGet();
    EXPECT_EQ(readPiped, mapping);
}

TEST_F(XmlDocumentTest, WritingAFileReplacesItWholeOrNotAtAll) {
    const fs::path path = folder_ / "m.xml";
    vWriteFile(path, std::string(100000, 'x'));
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
    Mapping mapping = sentinel();
    ASSERT_TRUE(XmlDocument(mapping).boWrite(path.string()));
    EXPECT_EQ(fileText(path), written(mapping));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(listing(), std::vector<std::string>{"m.xml"});

    // Failures leave the folder as it was.
    const std::string before = fileText(path);
    fs::create_directory(folder_ / "folder");
    vWriteFile(folder_ / "file", "f");
    const std::vector<std::string> names = listing();
    for (const fs::path& target : {folder_ / "missing" / "m.xml", folder_ / "folder", folder_ / "file" / "m.xml",
                                   folder_ / "folder" / "", folder_ / "folder" / ".", folder_ / "folder" / ".."}) {
        XmlDocument document(mapping);
        EXPECT_FALSE(document.boWrite(target.string())) << target;
        EXPECT_FALSE(document.errorGet().empty()) << target;
        EXPECT_EQ(listing(), names) << target;
    }
    EXPECT_TRUE(fs::is_empty(folder_ / "folder"));
    EXPECT_EQ(fileText(folder_ / "file"), "f");

    // A text that XML cannot carry fails before anything is written.
    Mapping control = sentinel();
    control.sText5 = "bell\x07";
    EXPECT_FALSE(XmlDocument(control).boWrite(path.string()));
    EXPECT_EQ(fileText(path), before);
    EXPECT_EQ(listing(), names);

    EXPECT_THROW((void)XmlDocument(mapping).boWrite((folder_ / "bad\xFF.xml").string()), std::system_error);
    EXPECT_EQ(listing(), names);

    // A write that fails on the way (here the sync) keeps the old file and
    // leaves no temporary one; the error names the path and the reason.
    platform::systemCalls().fsync = [](int) {
        errno = EIO;
        return -1;
    };
    Mapping changed = sentinel();
    XmlDocument failing(changed);
    EXPECT_FALSE(failing.boWrite(path.string()));
    platform::vSystemCallsReset();
    EXPECT_NE(failing.errorGet().find("failed: "), std::string::npos) << failing.errorGet();
    EXPECT_EQ(fileText(path), before);
    EXPECT_EQ(listing(), names);

    // A bare file name is written into the working folder.
    const fs::path working = fs::current_path();
    fs::current_path(folder_ / "folder");
    const bool boBare = XmlDocument(mapping).boWrite("bare.xml");
    fs::current_path(working);
    EXPECT_TRUE(boBare);
    EXPECT_TRUE(fs::is_regular_file(folder_ / "folder" / "bare.xml"));
}

TEST_F(XmlDocumentTest, UnrepresentableTextsAreNotWritten) {
    const auto check = [](Mapping mapping, const char* what) {
        std::ostringstream out;
        XmlDocument document(mapping);
        EXPECT_FALSE(document.boWrite(out)) << what;
        EXPECT_TRUE(out.str().empty()) << what;
        EXPECT_FALSE(document.errorGet().empty()) << what;
    };
    Mapping mapping;
    mapping.sText7 = std::string("nul\0", 4);
    check(mapping, "NUL in a text");
    mapping = Mapping();
    mapping.vMappingAdd("s\x1B", "c");
    check(mapping, "escape in a source id");
    mapping = Mapping();
    mapping.secondRelation["s"].insert("\xEF\xBF\xBE");
    check(mapping, "U+FFFE in a classified id");
    mapping = Mapping();
    mapping.sId = "\xC0\xAF";
    check(mapping, "overlong UTF-8");

    // Found at any position, between characters that are fine.
    for (const std::string bad : {"\x01", "\x1F", "\xEF\xBF\xBF"}) {
        for (std::size_t at = 0; at <= 20; ++at) {
            mapping = Mapping();
            mapping.sText3 = std::string(20, '\t').insert(at, bad) + "\xEF\xBF\xBD";
            check(mapping, "text with a character XML cannot carry");
        }
    }
}

TEST_F(XmlDocumentTest, StreamWriteReportsAFullDevice) {
    if (!fs::exists("/dev/full")) {
        GTEST_SKIP() << "no /dev/full";
    }
    std::ofstream full("/dev/full", std::ios::binary);
    ASSERT_TRUE(full.is_open());
    Mapping mapping = sentinel();
    XmlDocument document(mapping);
    EXPECT_FALSE(document.boWrite(full));
    EXPECT_FALSE(document.errorGet().empty());
}

} // namespace
} // namespace vyr::classification
