// vyr-classification, run as a child process on a fresh copy of the sample
// data for every test: each command, its output and exit status, and what it
// leaves in the files.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/common/ChildProcess.h"

namespace vyr::test {
// The tests of runs that start the .NET runtime run in the plain build only:
// the runtime does not run in a sanitizer's process.
#define VYR_SKIP_WITHOUT_MODULES()                                                       \
    if (!VYR_RUNS_MODULES) {                                                             \
        GTEST_SKIP() << "the .NET runtime does not run in this build (sanitizers)";      \
    }

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

// Each test gets its own copy of the sample data and a folder for the
// children's outputs, both removed afterwards. One thread.
class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(io());
        fs::copy(VYR_SAMPLE_DATA, data(), fs::copy_options::recursive);
    }

    [[nodiscard]] fs::path data() const { return temp / "data"; }
    [[nodiscard]] fs::path io() const { return temp / "io"; }
    [[nodiscard]] fs::path sys(const std::string& file) const {
        return data() / "system" / "Resources" / "Classification" / file;
    }
    [[nodiscard]] fs::path shared(const std::string& file) const { return data() / "shared" / "Classification" / file; }
    [[nodiscard]] fs::path user(const std::string& file) const { return data() / "user" / "Classification" / file; }

    // The tool with --root on the copy, then the arguments.
    Outcome tool(std::vector<std::string> args) const {
        args.insert(args.begin(), {"--root", data().string()});
        return runProgram(VYR_TOOL_PATH, args, io());
    }

    // Whether python's json module reads the text.
    bool boJsonParses(const std::string& text) const {
        const fs::path input = io() / "input.json";
        writeFile(input, text);
        const std::vector<std::string> args{"-c", "import json,sys; json.load(sys.stdin)"};
        return runProgram(VYR_PYTHON3, args, io(), stdinFrom(input)).status == 0;
    }

    TempFolder temp;
};

// The lines of a text, without their line ends.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The table lines of `show`, without the header above them.
std::vector<std::string> tableOf(const std::string& out) {
    std::vector<std::string> lines = linesOf(out);
    const auto header =
        std::find_if(lines.begin(), lines.end(), [](const std::string& line) { return line.rfind("SOURCE", 0) == 0; });
    return header == lines.end() ? std::vector<std::string>() : std::vector<std::string>(header + 1, lines.end());
}

TEST_F(ToolTest, FoldersListAndCheckOnTheSampleData) {
    const Outcome folders = tool({"folders"});
    EXPECT_EQ(folders.status, 0);
    EXPECT_EQ(linesOf(folders.out),
              (std::vector<std::string>{"sys     " + (data() / "system/Resources/Classification").string(),
                                        "shared  " + (data() / "shared/Classification").string(),
                                        "user    " + (data() / "user/Classification").string()}));

    const Outcome list = tool({"list"});
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(linesOf(list.out),
              (std::vector<std::string>{"approved-materials  sys shared user", "materials           sys shared user"}));

    const Outcome check = tool({"check"});
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.out, "checked 6 files: all read\n");
    EXPECT_EQ(check.err, "");

    // The folder options one by one: a second shared folder without a
    // Classification subfolder is passed over, as the store does.
    fs::create_directories(temp / "other");
    const Outcome single =
        runProgram(VYR_TOOL_PATH,
                   {"--system", (data() / "system").string(), "--shared", (temp / "other").string(), "--shared",
                    (data() / "shared").string(), "--user", (temp / "other").string(), "list"},
                   io());
    EXPECT_EQ(single.status, 0);
    EXPECT_EQ(linesOf(single.out),
              (std::vector<std::string>{"approved-materials  sys shared", "materials           sys shared"}));
}

TEST_F(ToolTest, TheRootComesFromTheEnvironmentAndListSaysWhereItLooked) {
    const auto withRoot = [&](const fs::path& root, std::vector<std::string> args) {
        args.insert(args.begin(), {"VYR_CLASSIFICATION_ROOT=" + root.string(), VYR_TOOL_PATH});
        return runProgram("/usr/bin/env", args, io());
    };
    EXPECT_EQ(withRoot(data(), {"list"}).out, tool({"list"}).out);
    // --root wins over the environment.
    fs::create_directories(temp / "empty" / "user" / "Classification");
    EXPECT_EQ(withRoot(temp / "empty", {"--root", data().string(), "list"}).out, tool({"list"}).out);

    const Outcome empty = withRoot(temp / "empty", {"list"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "(no classification files in the level folders: sys " +
                             (temp / "empty/system/Resources/Classification").string() + " (missing), shared " +
                             (temp / "empty/shared/Classification").string() + " (missing), user " +
                             (temp / "empty/user/Classification").string() + ")\n");
    const Outcome missing = withRoot(temp / "nowhere", {"list"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_THAT(missing.err, HasSubstr("list: VYR_CLASSIFICATION_ROOT (the default of --root): "));

    const Outcome wrong = runProgram(VYR_TOOL_PATH, {"--root", io().string(), "list"}, io());
    EXPECT_EQ(wrong.status, 1);
    EXPECT_THAT(wrong.err, HasSubstr("vyr-classification list: none of the level folders exists: sys " +
                                     (io() / "system/Resources/Classification").string() + " (missing)"));
}

// A command ends without taking the store down, and what it printed is
// all there, whether its standard output is a file or a pipe: the output
// is larger than a pipe holds, so the last of it leaves at the end.
TEST_F(ToolTest, OneShotOutputIsCompleteToAFileAndToAPipe) {
    constexpr int kSources = 6'000;
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<classification version=\"1\" id=\"large\">\n"
                      "  <relation>\n";
    for (int index = 0; index < kSources; ++index) {
        xml += "    <source id=\"s" + std::to_string(100'000 + index) + "\"><classified id=\"a\" />"
               "<classified id=\"b\" /></source>\n";
    }
    writeFile(user("large.xml"), xml + "  </relation>\n</classification>\n");

    const Outcome toFile = tool({"show", "large"});
    ASSERT_EQ(toFile.status, 0) << toFile.err;
    const std::vector<std::string> table = tableOf(toFile.out);
    ASSERT_EQ(table.size(), 2U * kSources);
    EXPECT_EQ(table.back(), "s" + std::to_string(100'000 + kSources - 1) + "  b           user");

    const std::string command = "'" + std::string(VYR_TOOL_PATH) + "' --root '" + data().string() + "' show large";
    FILE* const pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string piped;
    char block[4096];
    for (std::size_t read = 0; (read = std::fread(block, 1, sizeof block, pipe)) != 0;) {
        piped.append(block, read);
    }
    const int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(piped, toFile.out);
}

TEST_F(ToolTest, ShowTellsWhichLevelDecidedEachSource) {
    const Outcome merged = tool({"show", "materials"});
    ASSERT_EQ(merged.status, 0) << merged.err;
    const std::vector<std::string> lines = linesOf(merged.out);
    ASSERT_GE(lines.size(), 4U);
    EXPECT_EQ(lines[0], "materials: levels sys, shared, user; header from user");
    EXPECT_EQ(lines[1], "  sys file: " + sys("materials.xml").string());
    EXPECT_EQ(lines[2], "  shared file: " + shared("materials.xml").string());
    EXPECT_EQ(lines[3], "  user file: " + user("materials.xml").string());
    EXPECT_EQ(lines[4], "  text2: Materials of parts");
    EXPECT_EQ(lines[5], "  text3: My corrections");
    EXPECT_EQ(lines[6], "  flags: flag1=false flag2=false");
    EXPECT_EQ(tableOf(merged.out), (std::vector<std::string>{
                                       "bolt     steel          sys",
                                       "bracket  aluminium      shared (overrides sys)", // overridden
                                       "clip     nylon          shared",
                                       "gasket   (none)         user (overrides sys)", // emptied
                                       "hinge    brass          sys",
                                       "panel    glass          user (overrides sys)",
                                       "panel    polycarbonate  user (overrides sys)",
                                   }));

    const Outcome bySource = tool({"show", "materials", "--source", "gasket"});
    EXPECT_EQ(tableOf(bySource.out), (std::vector<std::string>{"gasket  (none)      user (overrides sys)"}));

    // Steel of the bracket is overridden by the shared level: only the bolt's stays.
    const Outcome byClassified = tool({"show", "materials", "--classified", "steel"});
    EXPECT_EQ(tableOf(byClassified.out), (std::vector<std::string>{"bolt    steel       sys"}));

    // "system" names the sys level too.
    const Outcome sysLevel = tool({"show", "materials", "--level", "system"});
    EXPECT_THAT(sysLevel.out, HasSubstr("materials: level sys only\n  sys file: " + sys("materials.xml").string() +
                                        "\n  text2: Materials of parts\n  text3: Company catalogue\n"));
    EXPECT_EQ(
        tableOf(sysLevel.out),
        (std::vector<std::string>{"bolt     steel       sys", "bracket  aluminium   sys", "bracket  steel       sys",
                                  "gasket   rubber      sys", "hinge    brass       sys", "panel    glass       sys"}));

    const Outcome noMatch = tool({"show", "materials", "--source", "bolt", "--classified", "zinc"});
    EXPECT_EQ(noMatch.status, 0);
    EXPECT_THAT(noMatch.out, HasSubstr("(no pairs match)\n"));

    const Outcome unknown = tool({"show", "screws"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err, "vyr-classification show: no classification 'screws' in the level folders "
                           "(see: vyr-classification list)\n");

    fs::remove(user("approved-materials.xml"));
    const Outcome noLevel = tool({"show", "approved-materials", "--level", "user"});
    EXPECT_EQ(noLevel.status, 1);
    EXPECT_THAT(noLevel.err, HasSubstr("'approved-materials' has no mapping at level user (no file there)"));
}

TEST_F(ToolTest, JsonOutputParsesAndCarriesTheSameContent) {
    const Outcome list = tool({"list", "--json"});
    EXPECT_EQ(list.status, 0);
    EXPECT_TRUE(boJsonParses(list.out)) << list.out;
    EXPECT_THAT(list.out, HasSubstr("\"id\": \"materials\""));

    const Outcome show = tool({"show", "materials", "--json"});
    EXPECT_EQ(show.status, 0);
    EXPECT_TRUE(boJsonParses(show.out)) << show.out;
    EXPECT_THAT(show.out, HasSubstr("\"view\": \"merged\""));
    EXPECT_THAT(show.out, HasSubstr("\"text3\": \"My corrections\""));
    const nlohmann::json shown = nlohmann::json::parse(show.out);
    EXPECT_EQ(shown["pairs"][3], nlohmann::json::parse(R"({"source": "gasket", "classified": null, "level": "user",
                                                           "overrides": ["sys"]})"));
    EXPECT_EQ(shown["warnings"], nlohmann::json::array());

    const Outcome level = tool({"show", "materials", "--level", "shared", "--json"});
    EXPECT_TRUE(boJsonParses(level.out)) << level.out;
    EXPECT_THAT(level.out, HasSubstr("\"view\": \"shared\""));

    // Texts that JSON must escape, and a file that does not read.
    ASSERT_EQ(tool({"create", "quotes", "--level", "user", "--text2", "say \"hi\"\\\ttab"}).status, 0);
    writeFile(shared("broken.xml"), "<classification version=\"1\"><relation>");
    const Outcome texts = tool({"show", "quotes", "--json"});
    EXPECT_TRUE(boJsonParses(texts.out)) << texts.out;
    EXPECT_THAT(texts.out, HasSubstr(R"("text2": "say \"hi\"\\\ttab")"));
    const Outcome check = tool({"check", "--json"});
    EXPECT_EQ(check.status, 1);
    EXPECT_TRUE(boJsonParses(check.out)) << check.out;
    EXPECT_THAT(check.out, HasSubstr("\"failed\": 1"));
}

TEST_F(ToolTest, CheckReportsEachFileThatDoesNotRead) {
    writeFile(shared("malformed.xml"), "<classification version=\"1\" id=\"malformed\"><relation>");
    writeFile(user("latin1.xml"), "<classification version=\"1\" id=\"caf\xE9\" />");
    fs::create_directories(sys("folder.xml"));
    // Taken by the parser, but not XML: each program could read it its own way.
    writeFile(shared("repeated.xml"), "<classification version=\"1\" id=\"repeated\" id=\"again\"/>");
    const std::string repeated = "XML not well-formed: attribute 'id' repeated at line 1, column 43";

    const Outcome check = tool({"check"});
    EXPECT_EQ(check.status, 1);
    const std::vector<std::string> lines = linesOf(check.out);
    ASSERT_EQ(lines.size(), 5U) << check.out;
    EXPECT_EQ(lines[0], sys("folder.xml").string() + ": a folder stands where the mapping file should be");
    EXPECT_EQ(lines[1], user("latin1.xml").string() + ": invalid UTF-8 at line 1, column 36");
    EXPECT_EQ(lines[2].rfind(shared("malformed.xml").string() + ": XML parse error: ", 0), 0U) << lines[2];
    EXPECT_THAT(lines[2], HasSubstr(" at line 1, column "));
    EXPECT_EQ(lines[3], shared("repeated.xml").string() + ": " + repeated);
    EXPECT_EQ(lines[4], "checked 10 files: 4 do not read");
    EXPECT_EQ(check.err, "vyr-classification check: 4 of 10 files do not read\n");
    EXPECT_THAT(tool({"show", "repeated"}).err,
                HasSubstr("warning: " + shared("repeated.xml").string() + " (level shared) does not read: " + repeated +
                          "\n"));

    // The files are still listed, marked when they do not read; the folder
    // is not a file. Like every command, list ends with status 3 then.
    const Outcome list = tool({"list"});
    EXPECT_EQ(list.status, 3);
    EXPECT_THAT(list.out, HasSubstr("malformed           shared  (does not read: shared)\n"));
    EXPECT_THAT(list.out, Not(HasSubstr("folder")));

    // Files that read before XML 1.0 was enforced whole are named too.
    writeFile(user("ampersand.xml"), "<classification version=\"1\" id=\"a & b\"/>");
    writeFile(user("declaration.xml"), "<?xml version=\"2.0\"?><classification version=\"1\"/>");
    const Outcome stricter = tool({"check"});
    EXPECT_THAT(stricter.out, HasSubstr(user("ampersand.xml").string() +
                                        ": XML not well-formed: '&' that starts no reference (write '&amp;') at "
                                        "line 1, column 35\n"));
    EXPECT_THAT(stricter.out, HasSubstr(user("declaration.xml").string() +
                                        ": XML not well-formed: XML version '2.0', expected 1.0 at line 1, column 16\n"));
}

// What every reader passes over in silence: names the format does not
// know (a prefixed one is an extension and passes), a source listed twice,
// a root id that is not the file's name. Each a warning with its place.
TEST_F(ToolTest, CheckWarnsAboutWhatTheReadPassesOver) {
    writeFile(shared("materials.xml"),
              "<classification version=\"1\" id=\"materials\" colour=\"red\" xmlns:ext=\"urn:example\" "
              "ext:owner=\"w\">\n"
              "  <relation>\n"
              "    <source id=\"clip\">\n"
              "      <clasified id=\"nylon\"/>\n"
              "      <ext:origin supplier=\"acme\"/>\n"
              "    </source>\n"
              "    <source id=\"bolt\" idd=\"x\"/>\n"
              "    <source id=\"clip\"><classified id=\"steel\" note=\"n\"/></source>\n"
              "  </relation>\n"
              "  <relations/>\n"
              "</classification>\n");
    writeFile(user("finishes.xml"), "<classification version=\"1\" id=\"finsihes\"/>");
    const std::string materials = "warning: " + shared("materials.xml").string() + ": ";
    const std::string ignored = " is not part of the format and is ignored; expected ";
    const Outcome check = tool({"check"});
    EXPECT_EQ(check.status, 3);
    EXPECT_EQ(linesOf(check.out),
              (std::vector<std::string>{
                  "warning: " + user("finishes.xml").string() +
                      ": line 1, column 33: the root's id is 'finsihes'; expected 'finishes' (the file's name)",
                  materials + "line 1, column 44: attribute 'colour' of 'classification'" + ignored +
                      "version, id, text2 to text7, flag1 or flag2",
                  materials + "line 4, column 7: element 'clasified' inside 'source'" + ignored + "classified",
                  materials + "line 7, column 23: attribute 'idd' of 'source'" + ignored + "id",
                  materials + "line 8, column 17: source 'clip' is listed again in 'relation' (first at line 3, "
                              "column 17) and is read as the union of both sets; expected each source once",
                  materials + "line 8, column 46: attribute 'note' of 'classified'" + ignored + "id",
                  materials + "line 10, column 3: element 'relations' inside 'classification'" + ignored +
                      "relation or secondRelation",
                  "checked 7 files: all read; 7 warnings"}));
    EXPECT_EQ(check.err, "vyr-classification check: 7 warnings\n");
    // The files read, as the format says: the misspelt classified id is not there.
    EXPECT_THAT(tableOf(tool({"show", "materials", "--source", "clip"}).out),
                ::testing::ElementsAre("clip    steel       shared"));
}

TEST_F(ToolTest, OverridesCatAndShowNameWhereEachPairComesFrom) {
    const Outcome overrides = tool({"overrides", "materials"});
    EXPECT_EQ(overrides.status, 0) << overrides.err;
    const auto line = [](const std::string& head, const std::string& level, const std::string& set,
                         const fs::path& file) {
        return head + level + std::string(8 - level.size(), ' ') + set + std::string(22 - set.size(), ' ') +
               file.string();
    };
    EXPECT_EQ(linesOf(overrides.out),
              (std::vector<std::string>{
                  "materials: bracket", line("  decides  ", "shared", "aluminium", shared("materials.xml")),
                  line("  hides    ", "sys", "aluminium, steel", sys("materials.xml")), "materials: gasket",
                  line("  decides  ", "user", "(none)", user("materials.xml")),
                  line("  hides    ", "sys", "rubber", sys("materials.xml")), "materials: panel",
                  line("  decides  ", "user", "glass, polycarbonate", user("materials.xml")),
                  line("  hides    ", "sys", "glass", sys("materials.xml")), "3 overrides in 1 classification"}));
    // Every classification: approved-materials' brass is emptied at shared.
    EXPECT_THAT(tool({"overrides"}).out, HasSubstr("approved-materials: brass\n"));
    EXPECT_THAT(tool({"overrides"}).out, HasSubstr("4 overrides in 2 classifications\n"));

    const nlohmann::json json = nlohmann::json::parse(tool({"overrides", "materials", "--json"}).out);
    ASSERT_EQ(json["overrides"].size(), 3U);
    EXPECT_EQ(json["overrides"][0], nlohmann::json({{"id", "materials"},
                                                    {"source", "bracket"},
                                                    {"level", "shared"},
                                                    {"path", shared("materials.xml").string()},
                                                    {"classified", {"aluminium"}},
                                                    {"hides",
                                                     {{{"level", "sys"},
                                                       {"path", sys("materials.xml").string()},
                                                       {"classified", {"aluminium", "steel"}}}}}}));
    EXPECT_EQ(nlohmann::json::parse(tool({"show", "materials", "--json"}).out)["files"],
              nlohmann::json({{"sys", sys("materials.xml").string()},
                              {"shared", shared("materials.xml").string()},
                              {"user", user("materials.xml").string()}}));
    EXPECT_EQ(tool({"overrides", "screws"}).status, 1);

    // cat: each file as it is, lowest level first.
    const Outcome cat = tool({"cat", "materials"});
    EXPECT_EQ(cat.status, 0) << cat.err;
    EXPECT_EQ(cat.out, "# " + sys("materials.xml").string() + " (level sys)\n" + readFile(sys("materials.xml")) +
                           "# " + shared("materials.xml").string() + " (level shared)\n" +
                           readFile(shared("materials.xml")) + "# " + user("materials.xml").string() +
                           " (level user)\n" + readFile(user("materials.xml")));
}

TEST_F(ToolTest, ExportAndImportCarryAViewUnderOneWriteBack) {
    // The merged view, exported and imported into a new classification,
    // gives the same view.
    const Outcome exported = tool({"export", "materials"});
    ASSERT_EQ(exported.status, 0) << exported.err;
    writeFile(io() / "materials.json", exported.out);
    ASSERT_EQ(tool({"create", "copy", "--level", "user"}).status, 0);
    const Outcome imported =
        tool({"import", "copy", "--level", "user", "--replace", (io() / "materials.json").string()});
    EXPECT_EQ(imported.status, 0) << imported.err;
    EXPECT_EQ(imported.out, "import of 6 source ids into copy at level user: 6 changed (6 pairs added, 0 removed; "
                            "6 newly listed) (" + user("copy.xml").string() + ")\n");
    const auto pairsOf = [](const std::string& json) {
        std::vector<std::pair<nlohmann::json, nlohmann::json>> pairs;
        const nlohmann::json document = nlohmann::json::parse(json);
        for (const nlohmann::json& pair : document["pairs"]) {
            pairs.emplace_back(pair["source"], pair["classified"]);
        }
        return pairs;
    };
    EXPECT_EQ(pairsOf(tool({"export", "copy"}).out), pairsOf(exported.out));

    // Again, from standard input: nothing changes, nothing is written.
    setFileTime(user("copy.xml"), std::chrono::seconds(-3600));
    Snapshot before = snapshotOf(data());
    const Outcome again = runProgram(
        VYR_TOOL_PATH, {"--root", data().string(), "import", "copy", "--level", "user", "--replace", "-"}, io(),
        stdinFrom(io() / "materials.json"));
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_THAT(again.out, HasSubstr("into copy at level user: nothing changed"));
    EXPECT_EQ(snapshotOf(data()), before);

    // Without --replace the listed ids join each set; a source id the level
    // does not list starts from its merged set, as with `add`. With
    // --replace each listed source id gets exactly its listed set.
    writeFile(io() / "edits.json", R"([{"source": "panel", "classified": "acrylic"},
                                       {"source": "hinge", "classified": "bronze"}])");
    const Outcome added = tool({"import", "materials", "--level", "user", (io() / "edits.json").string()});
    EXPECT_EQ(added.status, 0) << added.err;
    EXPECT_THAT(added.out, HasSubstr(": 2 changed (3 pairs added, 0 removed; 1 newly listed)"));
    EXPECT_EQ(tableOf(tool({"show", "materials", "--level", "user"}).out),
              (std::vector<std::string>{"gasket  (none)         user", "hinge   brass          user",
                                        "hinge   bronze         user", "panel   acrylic        user",
                                        "panel   glass          user", "panel   polycarbonate  user"}));
    const Outcome replaced =
        tool({"import", "materials", "--level", "user", "--replace", (io() / "edits.json").string()});
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_THAT(replaced.out, HasSubstr(": 2 changed (0 pairs added, 3 removed; 0 newly listed)"));
    EXPECT_EQ(tableOf(tool({"show", "materials", "--level", "user"}).out),
              (std::vector<std::string>{"gasket  (none)      user", "hinge   bronze      user",
                                        "panel   acrylic     user"}));

    // A file that does not hold pairs is refused whole, before anything is written.
    before = snapshotOf(data());
    writeFile(io() / "bad.json", R"({"pairs": [{"source": "bolt", "classified": "zinc"}, {"classified": "x"}]})");
    const Outcome bad = tool({"import", "materials", "--level", "user", (io() / "bad.json").string()});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "vyr-classification import: " + (io() / "bad.json").string() +
                           ": pair 2: it has no \"source\" text; nothing changed\n");
    writeFile(io() / "bad.json", "{\"pairs\": [\n  {\"source\": \"bolt\",}]}");
    EXPECT_THAT(tool({"import", "materials", "--level", "user", (io() / "bad.json").string()}).err,
                HasSubstr("parse error at line 2, column 21"));
    EXPECT_EQ(snapshotOf(data()), before);
}

TEST_F(ToolTest, ImportRefusesAClassifiedThatIsAnArrayOrAnObject) {
    const Snapshot before = snapshotOf(data());
    for (const std::string classified : {R"(["zinc"])", R"({"id": "zinc"})", "[]", "{}"}) {
        writeFile(io() / "odd.json", R"([{"source": "bolt", "classified": "iron"}, {"source": "panel", "classified": )" +
                                         classified + "}]");
        const Outcome odd =
            tool({"import", "materials", "--level", "user", "--replace", (io() / "odd.json").string()});
        EXPECT_EQ(odd.status, 1) << classified;
        EXPECT_EQ(odd.err, "vyr-classification import: " + (io() / "odd.json").string() + ": pair 2: its \"classified\" is " +
                               (classified[0] == '[' ? "an array" : "an object") + ", not text or null; nothing changed\n");
    }
    EXPECT_EQ(snapshotOf(data()), before);
}

TEST_F(ToolTest, EditRunsTheEditorUnderTheLockAndWritesOnlyWhatReads) {
    // Standard input must be a terminal: the tests give the tool one with
    // `script`, which also passes the answers on to it.
    const Snapshot untouched = snapshotOf(data());
    const Outcome noTerminal = tool({"edit", "materials", "--level", "user"});
    EXPECT_EQ(noTerminal.status, 2);
    EXPECT_THAT(noTerminal.err, HasSubstr("vyr-classification edit: standard input is not a terminal;"));
    EXPECT_EQ(snapshotOf(data()), untouched);

    const auto edit = [&](const std::string& editor, const std::string& answers) {
        writeFile(io() / "editor.sh", editor);
        fs::permissions(io() / "editor.sh", fs::perms::owner_all);
        writeFile(io() / "answers", answers);
        const std::string command = "env -u VISUAL TMPDIR='" + io().string() + "' EDITOR='" +
                                    (io() / "editor.sh").string() + "' '" +
                                    VYR_TOOL_PATH + "' --root '" + data().string() +
                                    "' edit materials --level user";
        return runProgram("/usr/bin/script", {"-qec", command, "/dev/null"}, io(), stdinFrom(io() / "answers"));
    };
    // While the editor runs, another edit of the level waits for the lock
    // and is refused, with its status, instead of being lost.
    const std::string other = "'" + std::string(VYR_TOOL_PATH) + "' --root '" + data().string() +
                              "' add materials bolt zinc --level user; echo $? > '" + (io() / "other").string() + "'";
    const Outcome changed =
        edit("#!/bin/sh\n" + other + "\nsed -i 's/id=\"glass\"/id=\"acrylic\"/' \"$1\"\n", "");
    EXPECT_EQ(changed.status, 0) << changed.out;
    EXPECT_THAT(changed.out, HasSubstr("vyr-classification add: cannot lock " + user("materials.xml").string()));
    EXPECT_EQ(readFile(io() / "other"), "1\n");
    EXPECT_THAT(changed.out, HasSubstr("edited materials at level user: 1 source id changed"));
    EXPECT_EQ(tableOf(tool({"show", "materials", "--source", "panel"}).out),
              (std::vector<std::string>{"panel   acrylic        user (overrides sys)",
                                        "panel   polycarbonate  user (overrides sys)"}));

    // The first run of the editor breaks the copy, the second mends it and
    // makes a change. The level file, as each run finds it, still reads.
    const std::string before = readFile(user("materials.xml"));
    const std::string breakThenFix = "#!/bin/sh\n"
                                     "n=$(ls '" + io().string() + "' | grep -c '^level-')\n"
                                     "cp '" + user("materials.xml").string() + "' '" + io().string() +
                                     "/level-'$n\n"
                                     "if [ $n = 0 ]; then printf '<broken' >> \"$1\"; "
                                     "else sed -i 's/<broken$//; s/\"polycarbonate\"/\"pmma\"/' \"$1\"; fi\n";
    const Outcome mended = edit(breakThenFix, "e\n");
    EXPECT_EQ(mended.status, 0) << mended.out;
    EXPECT_THAT(mended.out, HasSubstr("vyr-classification edit: the edited copy does not read: "));
    EXPECT_THAT(mended.out, HasSubstr("Edit it again (e) or discard the changes (d)? [e] "));
    EXPECT_EQ(readFile(io() / "level-0"), before);
    EXPECT_EQ(readFile(io() / "level-1"), before);
    EXPECT_THAT(readFile(user("materials.xml")), HasSubstr("<classified id=\"pmma\" />"));

    // Discarded: the level file keeps what it had, and its time.
    setFileTime(user("materials.xml"), std::chrono::seconds(-3600));
    const auto keptTime = fs::last_write_time(user("materials.xml"));
    const std::string kept = readFile(user("materials.xml"));
    const Outcome discarded = edit("#!/bin/sh\nprintf '<broken' >> \"$1\"\n", "d\n");
    EXPECT_EQ(discarded.status, 1) << discarded.out;
    EXPECT_THAT(discarded.out, HasSubstr("discarded; nothing changed; the copy stays in " + io().string() +
                                         "/vyr-classification-materials.user."));
    EXPECT_EQ(readFile(user("materials.xml")), kept);
    EXPECT_EQ(fs::last_write_time(user("materials.xml")), keptTime);
    EXPECT_EQ(tool({"check"}).status, 0);
}

TEST_F(ToolTest, CreateMakesAFileAndNeverReplacesOne) {
    const Outcome created = tool({"create", "finishes", "--level", "shared", "--text2", "Surface finishes", "--flag1"});
    EXPECT_EQ(created.status, 0) << created.err;
    EXPECT_EQ(created.out, "created finishes at level shared: " + shared("finishes.xml").string() + "\n");
    EXPECT_TRUE(fs::is_regular_file(shared("finishes.xml")));
    EXPECT_EQ(tool({"check"}).status, 0);
    const Outcome show = tool({"show", "finishes"});
    EXPECT_EQ(show.out, "finishes: levels shared; header from shared\n  shared file: " +
                            shared("finishes.xml").string() +
                            "\n  text2: Surface finishes\n  flags: flag1=true flag2=false\n(no pairs)\n");

    // An existing file is refused and left exactly as it was.
    setFileTime(user("materials.xml"), std::chrono::seconds(-3600));
    const Snapshot before = snapshotOf(data());
    const Outcome again = tool({"create", "materials", "--level", "user", "--text2", "other"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(again.err, "vyr-classification create: 'materials' already has a file at level user: " +
                             user("materials.xml").string() + "\n");
    EXPECT_EQ(snapshotOf(data()), before);
}

TEST_F(ToolTest, EditsReachTheFileAndTheMergedView) {
    const Outcome add = tool({"add", "materials", "panel", "acrylic", "--level", "user"});
    EXPECT_EQ(add.status, 0) << add.err;
    EXPECT_EQ(add.out, "added panel -> acrylic to materials at level user (" + user("materials.xml").string() +
                           ")\nmerged view: panel -> acrylic, glass, polycarbonate (decided by user)\n");
    EXPECT_THAT(readFile(user("materials.xml")),
                HasSubstr("<source id=\"panel\">\n      <classified id=\"acrylic\" />"));

    const Outcome set = tool({"set", "materials", "clip", "steel", "--level", "shared"});
    EXPECT_EQ(set.status, 0) << set.err;
    EXPECT_THAT(set.out, HasSubstr("merged view: clip -> steel (decided by shared)\n"));

    const Outcome remove = tool({"remove", "materials", "panel", "glass", "--level", "user"});
    EXPECT_EQ(remove.status, 0) << remove.err;
    EXPECT_THAT(remove.out, HasSubstr("merged view: panel -> acrylic, polycarbonate (decided by user)\n"));

    // remove without a classified id, and remove-source, empty the source
    // at the level: it stays listed there and still overrides sys.
    const Outcome removeAll = tool({"remove", "materials", "panel", "--level", "user"});
    EXPECT_EQ(removeAll.status, 0) << removeAll.err;
    EXPECT_THAT(removeAll.out, HasSubstr("merged view: panel -> (none) (decided by user)\n"));
    const Outcome removeSource = tool({"remove-source", "materials", "bracket", "--level", "shared"});
    EXPECT_EQ(removeSource.status, 0) << removeSource.err;
    EXPECT_THAT(readFile(shared("materials.xml")), HasSubstr("<source id=\"bracket\" />"));

    const Outcome removeClassified = tool({"remove-classified", "materials", "steel", "--level", "shared"});
    EXPECT_EQ(removeClassified.status, 0) << removeClassified.err;
    // The steel that stays comes from sys, and the line says so.
    EXPECT_THAT(removeClassified.out, HasSubstr("merged view: bolt -> steel (decided by sys)\n"));

    // What a fresh process reads back from the files.
    EXPECT_EQ(tableOf(tool({"show", "materials"}).out),
              (std::vector<std::string>{"bolt     steel       sys", "bracket  (none)      shared (overrides sys)",
                                        "clip     (none)      shared", "gasket   (none)      user (overrides sys)",
                                        "hinge    brass       sys", "panel    (none)      user (overrides sys)"}));
    EXPECT_EQ(tool({"check"}).status, 0);

    // Edits that change nothing say so, succeed, and leave the files and
    // their times alone: the pair removed comes from sys, which an edit at
    // user does not touch.
    ASSERT_EQ(tool({"add", "materials", "bolt", "zinc", "--level", "user"}).status, 0);
    ASSERT_EQ(tool({"set", "materials", "hinge", "bronze", "--level", "user"}).status, 0);
    for (const fs::path& file : {user("materials.xml"), shared("materials.xml")}) {
        setFileTime(file, std::chrono::seconds(-3600));
    }
    const Snapshot before = snapshotOf(data());
    const Outcome absent = tool({"remove", "materials", "hinge", "brass", "--level", "user"});
    EXPECT_EQ(absent.status, 0);
    EXPECT_EQ(absent.err, "");
    EXPECT_EQ(absent.out, "'materials' has no pair hinge -> brass at level user; nothing changed (" +
                              user("materials.xml").string() + ")\nmerged view: hinge -> bronze (decided by user)\n");
    for (const std::vector<std::string>& noOp : std::vector<std::vector<std::string>>{
             {"add", "materials", "bolt", "zinc", "--level", "user"},
             {"set", "materials", "hinge", "bronze", "--level", "user"},
             {"remove-source", "materials", "panel", "--level", "user"},
             {"remove-classified", "materials", "steel", "--level", "shared"},
             {"inherit", "materials", "clip", "--level", "user"}}) {
        const Outcome outcome = tool(noOp);
        EXPECT_EQ(outcome.status, 0) << noOp[0] << ": " << outcome.err;
        EXPECT_THAT(outcome.out, HasSubstr("; nothing changed (")) << noOp[0];
    }
    EXPECT_EQ(snapshotOf(data()), before);
    EXPECT_EQ(tool({"add", "screws", "a", "b", "--level", "user"}).status, 1);
}

TEST_F(ToolTest, EditsNeverWriteOverAFileThatDoesNotRead) {
    const std::string broken = "<classification version=\"1\" id=\"materials\"><relation>";
    writeFile(user("materials.xml"), broken);
    const Snapshot before = snapshotOf(data());
    const Outcome add = tool({"add", "materials", "bolt", "zinc", "--level", "user"});
    EXPECT_EQ(add.status, 1);
    EXPECT_EQ(add.err, "vyr-classification add: " + user("materials.xml").string() +
                           " does not read (XML parse error: Start-end tags mismatch at line 1, column 53); not "
                           "writing over it\n");
    const Outcome classify = tool({"classify", "approved-materials", "--filter", "approved-materials", "--in", "user",
                                   "--out", "user", "--update", "materials", "--module", VYR_SAMPLE_MODULE_FILE});
    EXPECT_EQ(classify.status, 1);
    EXPECT_EQ(snapshotOf(data()), before);
    EXPECT_EQ(readFile(user("materials.xml")), broken);

    // A pipe swapped in where the file was is never opened: show and check
    // return, naming it.
    fs::remove(user("materials.xml"));
    ASSERT_EQ(::mkfifo(user("materials.xml").c_str(), 0644), 0);
    const Outcome show = tool({"show", "materials"});
    EXPECT_EQ(show.status, 3);
    EXPECT_THAT(show.err, HasSubstr("not a regular file"));
    EXPECT_EQ(tool({"check"}).status, 1);
}

TEST_F(ToolTest, ClassifyWritesTheAllowedPairs) {
    VYR_SKIP_WITHOUT_MODULES();
    // The sample module is named by its file name; the runtime finds it
    // beside the bridge library, and the last line names the file that ran.
    const std::vector<std::string> run = {"classify", "materials", "--filter", "approved-materials", "--in",
                                          "user",     "--out",     "user",     "--update",           "approved-parts",
                                          "--module", VYR_SAMPLE_MODULE_FILE};
    const Outcome first = tool(run);
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.err, ""); // no terminal, no progress bar
    const fs::path sample = VYR_SAMPLE_MODULE_PATH;
    EXPECT_EQ(linesOf(first.out),
              (std::vector<std::string>{"reading materials up to level user: 6 pairs of 6 source ids; keeping those "
                                        "that approved-materials allows",
                                        "created approved-parts at level user",
                                        "kept 4 pairs of 3 source ids; wrote them into approved-parts at level user",
                                        "ran the module " + sample.string()}));
    EXPECT_TRUE(fs::is_regular_file(user("approved-parts.xml")));
    EXPECT_EQ(tableOf(tool({"show", "approved-parts"}).out),
              (std::vector<std::string>{"bolt     steel          user", "bracket  aluminium      user",
                                        "panel    glass          user", "panel    polycarbonate  user"}));

    // Reading only up to shared leaves out the user's own corrections: the
    // gasket keeps its rubber, the panel is glass alone. The rerun replaces
    // what the first run wrote.
    std::vector<std::string> shared = run;
    shared[5] = "shared";
    const Outcome second = tool(shared);
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_THAT(second.out, Not(HasSubstr("created")));
    EXPECT_EQ(tableOf(tool({"show", "approved-parts"}).out),
              (std::vector<std::string>{"bolt     steel       user", "bracket  aluminium   user",
                                        "gasket   rubber      user", "panel    glass       user"}));
    EXPECT_EQ(tool({"check"}).status, 0);

    // A missing filter fails before anything is written.
    const Snapshot before = snapshotOf(data());
    std::vector<std::string> missing = run;
    missing[3] = "approved-colours";
    const Outcome failed = tool(missing);
    EXPECT_EQ(failed.status, 1);
    EXPECT_EQ(failed.err, "vyr-classification classify: no classification 'approved-colours' in the level folders "
                          "(see: vyr-classification list); nothing changed\n");
    EXPECT_EQ(snapshotOf(data()), before);

    // Unnamed, the default module is looked for where the runtime looks and
    // is nowhere here: the message says where, and how to name one.
    const Outcome unnamed = tool(std::vector<std::string>(run.begin(), run.end() - 2));
    EXPECT_EQ(unnamed.status, 1);
    EXPECT_THAT(unnamed.err, StartsWith("vyr-classification classify: no classification module "
                                        "VyrCommonClassification.dll in " +
                                        fs::path(VYR_TOOL_PATH).parent_path().string() + ", "));
    EXPECT_THAT(unnamed.err, HasSubstr(sample.parent_path().string() + "; name one with --module FILE (the sample "
                                                                       "module: --module " VYR_SAMPLE_MODULE_FILE
                                                                       "); nothing changed\n"));
    EXPECT_EQ(snapshotOf(data()), before);
}

TEST_F(ToolTest, ClassifyDrawsAProgressBarOnlyOnATerminal) {
    VYR_SKIP_WITHOUT_MODULES();
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    const fs::path side = ptsname(terminal);
    // Held open here too, so that what the child wrote stays readable after it ends.
    const int sideHeld = ::open(side.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(sideHeld, 0);

    const Outcome run = runProgram(VYR_TOOL_PATH,
                                   {"--root", data().string(), "classify", "materials", "--filter",
                                    "approved-materials", "--in", "user", "--out", "user", "--update", "parts",
                                    "--module", VYR_SAMPLE_MODULE_FILE},
                                   io(), stderrTo(side));
    EXPECT_EQ(run.status, 0);
    EXPECT_THAT(run.out, HasSubstr("kept 4 pairs"));
    EXPECT_THAT(run.out, Not(HasSubstr("[")));

    ASSERT_EQ(fcntl(terminal, F_SETFL, O_NONBLOCK), 0);
    std::string drawn;
    char buffer[4096];
    for (ssize_t count; (count = ::read(terminal, buffer, sizeof buffer)) > 0;) {
        drawn.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(sideHeld);
    ::close(terminal);
    EXPECT_THAT(drawn, HasSubstr("\r[#####-------------------------] 1/6"));
    EXPECT_THAT(drawn, HasSubstr("\r[##############################] 6/6"));
}

TEST_F(ToolTest, BadUsageIsRejectedBeforeAnythingIsWritten) {
    const std::vector<std::vector<std::string>> usages = {
        {},
        {"bogus"},
        {"show"},
        {"show", "materials", "--level", "top"},
        {"show", "materials", "--frobnicate"},
        {"list", "extra"},
        {"create", "tools"},
        {"create", "tools", "--level", "sys"},
        {"create", "../escape", "--level", "user"},
        {"create", "", "--level", "user"},
        {"create", "tools", "--level", "user", "--text2", "bell\a"},
        {"add", "materials", "bolt", "--level", "user"},
        {"add", "materials", "bolt", "zinc", "--level", "everywhere"},
        {"add", "materials", "bolt", "\xFF", "--level", "user"},
        {"set", "materials", "bolt", "zinc"},
        {"remove-source", "materials", "--level", "user"},
        {"remove-classified", "materials", "steel", "--level", "sys"},
        {"classify", "materials", "--filter", "approved-materials", "--in", "user", "--out", "user"},
        {"classify", "materials", "--filter", "approved-materials", "--in", "all", "--out", "user", "--update", "x"},
        {"classify", "materials", "--filter", "approved-materials", "--in", "user", "--out", "sys", "--update", "x"},
        {"--root", "no-such-folder", "add", "materials", "bolt", "zinc", "--level", "user"},
    };
    const Snapshot before = snapshotOf(data());
    for (const std::vector<std::string>& usage : usages) {
        std::string shown;
        for (const std::string& arg : usage) {
            shown += " '" + arg + "'";
        }
        const Outcome outcome = tool(usage);
        EXPECT_EQ(outcome.status, 2) << shown;
        EXPECT_EQ(outcome.out, "") << shown;
        EXPECT_EQ(outcome.err.rfind("vyr-classification", 0), 0U) << shown << ": " << outcome.err;
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << shown << ": " << outcome.err;
    }
    EXPECT_EQ(snapshotOf(data()), before);

    EXPECT_EQ(tool({"bogus"}).err, "vyr-classification: unknown command 'bogus' (see: vyr-classification --help)\n");
    EXPECT_EQ(tool({"show", "materials", "--level", "top"}).err,
              "vyr-classification show: --level: top not in {sys,system,shared,user} "
              "(see: vyr-classification show --help)\n");
    // Sys is refused with what to do instead, wherever a level is written.
    for (const std::string command : {"add", "create", "classify"}) {
        const std::vector<std::string> usage =
            command == "add"      ? std::vector<std::string>{"add", "materials", "bolt", "zinc", "--level", "system"}
            : command == "create" ? std::vector<std::string>{"create", "tools", "--level", "sys"}
                                  : usages[usages.size() - 2];
        EXPECT_EQ(tool(usage).err, "vyr-classification " + command + ": " + (command == "classify" ? "--out" : "--level") +
                                       ": sys is read-only: override it at shared or user (see: vyr-classification " +
                                       command + " --help)\n");
    }
}

TEST_F(ToolTest, ASourceIdThatNoLevelListsIsStatusFour) {
    const Snapshot before = snapshotOf(data());
    for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
             {"show", "materials", "--source", "washer"},
             {"show", "materials", "--source", "washer", "--json"},
             {"inherit", "materials", "washer", "--level", "user"},
             {"remove", "materials", "washer", "steel", "--level", "user"},
             {"remove-source", "materials", "washer", "--level", "shared"}}) {
        const Outcome outcome = tool(command);
        EXPECT_EQ(outcome.status, 4) << command[0];
        EXPECT_EQ(outcome.out, "") << command[0];
        EXPECT_EQ(outcome.err, "vyr-classification " + command[0] +
                                   ": no level of 'materials' lists the source id washer (see: vyr-classification "
                                   "show materials)" +
                                   (command[0] == "show" ? "" : "; nothing changed") + "\n");
    }
    EXPECT_EQ(snapshotOf(data()), before);
    // Listed at some level, only not at the one asked: an answer, not a typo.
    const Outcome other = tool({"show", "materials", "--source", "hinge", "--level", "user"});
    EXPECT_EQ(other.status, 0) << other.err;
    EXPECT_THAT(other.out, HasSubstr("(no pairs match)\n"));
    EXPECT_EQ(tool({"inherit", "materials", "hinge", "--level", "user"}).status, 0);
    // A classified id that nothing maps to is no source id.
    EXPECT_EQ(tool({"show", "materials", "--classified", "wood"}).status, 0);
}

// A set computed from the merged view while a level file does not read
// would freeze the partial view into a file: such edits are refused, and
// edits that need no starting set go on.
TEST_F(ToolTest, NoSetIsWrittenFromAPartialView) {
    const std::string broken = "<classification version=\"1\" id=\"materials\"><relation>";
    writeFile(shared("materials.xml"), broken);
    const std::string warning = "vyr-classification add: warning: " + shared("materials.xml").string() +
                                " (level shared) does not read: XML parse error: Start-end tags mismatch at line 1, "
                                "column 53\n";
    const Snapshot before = snapshotOf(data());
    const Outcome add = tool({"add", "materials", "clip", "steel", "--level", "user"});
    EXPECT_EQ(add.status, 1);
    EXPECT_EQ(add.err, warning + "vyr-classification add: clip is not listed at level user, so add would start its "
                                 "set there from the merged view, which lacks level shared: " +
                           shared("materials.xml").string() +
                           " does not read; nothing changed. Mend that file first (vyr-classification check), or "
                           "give it exactly steel there with set, which needs no starting set: vyr-classification "
                           "set materials clip steel --level user\n");
    const fs::path pairs = io() / "pairs.json";
    writeFile(pairs, R"([{"source": "panel", "classified": "acrylic"}, {"source": "clip", "classified": "steel"}])");
    const Outcome import = tool({"import", "materials", "--level", "user", pairs.string()});
    EXPECT_EQ(import.status, 1);
    EXPECT_THAT(import.err, HasSubstr("import: clip is not listed at level user, so import would start its set there "
                                      "from the merged view, which lacks level shared: "));
    EXPECT_THAT(import.err, HasSubstr("or import with --replace, which needs no starting set"));
    const std::vector<std::string> classify = {"classify", "materials", "--filter", "approved-materials", "--in",
                                               "user", "--out", "user", "--update", "parts", "--module",
                                               VYR_SAMPLE_MODULE_FILE};
    const Outcome run = tool(classify);
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("classify: the run would read a view that lacks level shared: "));
    EXPECT_EQ(snapshotOf(data()), before);

    // The levels up to --in all read: the run goes on, with the warning.
    std::vector<std::string> upToSys = classify;
    upToSys[5] = "sys";
    if (VYR_RUNS_MODULES) {
        EXPECT_EQ(tool(upToSys).status, 3);
    }
    // Edits that need no starting set: set, an add where the level lists
    // the source id already, import --replace.
    EXPECT_EQ(tool({"set", "materials", "clip", "steel", "--level", "user"}).status, 3);
    EXPECT_EQ(tool({"add", "materials", "clip", "zinc", "--level", "user"}).status, 3);
    EXPECT_EQ(tool({"import", "materials", "--level", "user", "--replace", pairs.string()}).status, 3);
    EXPECT_EQ(readFile(shared("materials.xml")), broken);

    // The file mended, what the user level decides is what was written.
    fs::copy_file(VYR_SAMPLE_DATA "/shared/Classification/materials.xml", shared("materials.xml"),
                  fs::copy_options::overwrite_existing);
    EXPECT_THAT(tableOf(tool({"show", "materials", "--source", "clip"}).out),
                ::testing::ElementsAre("clip    steel       user (overrides shared)"));
}

TEST_F(ToolTest, HelpShowsAnExampleForEveryCommand) {
    const Outcome help = tool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("Example:\n  vyr-classification --root examples/data show materials"));
    for (const std::string command :
         {"folders", "list", "show", "overrides", "cat", "export", "import", "edit", "check", "create", "add", "set",
          "remove", "remove-source", "remove-classified", "inherit", "classify"}) {
        const Outcome outcome = tool({command, "--help"});
        EXPECT_EQ(outcome.status, 0) << command;
        EXPECT_THAT(outcome.out, HasSubstr("Usage: vyr-classification " + command)) << command;
        EXPECT_THAT(outcome.out, HasSubstr("Example:\n  vyr-classification ")) << command;
        EXPECT_THAT(outcome.out, Not(HasSubstr("ID ID"))) << command;
        EXPECT_EQ(outcome.err, "") << command;
        // Every command that takes ids says how to pass one that begins with '-'.
        if (command != "folders" && command != "list" && command != "check") {
            EXPECT_THAT(outcome.out, HasSubstr("An id that begins with '-' goes after '--'")) << command;
        }
    }
    EXPECT_THAT(tool({"show", "--help"}).out, HasSubstr("vyr-classification inherit ID SOURCE --level LEVEL"));
}

TEST_F(ToolTest, LevelFilesThatDoNotReadAreReportedLoudly) {
    const std::string broken = "<classification version=\"1\" id=\"materials\"><relation>";
    writeFile(user("materials.xml"), broken);
    const std::string warning = "warning: " + user("materials.xml").string() +
                                " (level user) does not read: XML parse error: Start-end tags mismatch at line 1, "
                                "column 53\n";

    // What reads is shown; the user file is named with its reason.
    const Outcome show = tool({"show", "materials"});
    EXPECT_EQ(show.status, 3);
    EXPECT_EQ(show.err, "vyr-classification show: " + warning);
    EXPECT_THAT(show.out, HasSubstr("materials: levels sys, shared; header from shared\n"));
    const Outcome json = tool({"show", "materials", "--json"});
    EXPECT_EQ(json.status, 3);
    const nlohmann::json warnings = nlohmann::json::parse(json.out)["warnings"];
    ASSERT_EQ(warnings.size(), 1U) << json.out;
    EXPECT_EQ(warnings[0]["path"], user("materials.xml").string());
    EXPECT_EQ(warnings[0]["level"], "user");

    EXPECT_THAT(tool({"list"}).out, HasSubstr("materials           sys shared user  (does not read: user)\n"));

    // An edit at another level is made, and ends with the warning and the
    // status that tells "done, with warnings" from "failed".
    const Outcome add = tool({"add", "materials", "clip", "steel", "--level", "shared"});
    EXPECT_EQ(add.status, 3);
    EXPECT_EQ(add.err, "vyr-classification add: " + warning);
    EXPECT_THAT(add.out, HasSubstr("merged view: clip -> nylon, steel (decided by shared)\n"));
    // A run that reads the levels up to shared only does not need the user file.
    if (VYR_RUNS_MODULES) {
        const Outcome classify = tool({"classify", "materials", "--filter", "approved-materials", "--in", "shared",
                                       "--out", "user", "--update", "parts", "--module", VYR_SAMPLE_MODULE_FILE});
        EXPECT_EQ(classify.status, 3);
        EXPECT_EQ(classify.err, "vyr-classification classify: " + warning);
    }
    EXPECT_EQ(readFile(user("materials.xml")), broken);
}

TEST_F(ToolTest, CheckNamesFilesThatCannotBeEditedWithTheFix) {
    // A link to a file elsewhere, and a file with a second name (a backup
    // made with hard links): both read, neither can be locked for an edit.
    fs::rename(user("materials.xml"), temp / "mine.xml");
    fs::create_symlink(temp / "mine.xml", user("materials.xml"));
    fs::create_hard_link(shared("materials.xml"), temp / "backup.xml");
    ASSERT_NE(tool({"add", "materials", "bolt", "zinc", "--level", "user"}).status, 0);
    // And a temporary file that a killed writer left.
    const fs::path left = user(".materials.xml.0123456789abcdef.tmp");
    writeFile(left, "<classification");

    const Outcome check = tool({"check"});
    EXPECT_EQ(check.status, 1);
    const std::vector<std::string> lines = linesOf(check.out);
    ASSERT_EQ(lines.size(), 6U) << check.out;
    EXPECT_EQ(lines[0], shared("materials.xml").string() + ": cannot be edited: it has 2 hard links, and the store "
                                                           "never writes a file that other names share");
    EXPECT_EQ(lines[2], user("materials.xml").string() + ": cannot be edited: it is a symbolic link (to " +
                            (temp / "mine.xml").string() + "), and the store never writes through a link");
    EXPECT_EQ(lines[4], "warning: " + left.string() +
                            ": a temporary file of materials.xml that a stopped writer left (unless an edit runs "
                            "now); fix: the next edit of 'materials' at level user removes it, or rm -- '" +
                            left.string() + "'");
    EXPECT_EQ(lines[5], "checked 6 files: 2 cannot be edited; 1 warning");
    EXPECT_EQ(check.err, "vyr-classification check: 2 of 6 files cannot be edited; 1 warning\n");

    // The fixes, run as printed, mend both.
    for (const std::size_t fix : {1U, 3U}) {
        ASSERT_EQ(lines[fix].rfind("  fix: ", 0), 0U) << lines[fix];
        const std::string command = lines[fix].substr(lines[fix].find(": ") + 2);
        EXPECT_EQ(runProgram("/bin/sh", {"-c", command.substr(command.find(": ") + 2)}, io()).status, 0) << command;
    }
    EXPECT_EQ(tool({"add", "materials", "bolt", "zinc", "--level", "user"}).status, 0);
    EXPECT_EQ(tool({"add", "materials", "bolt", "zinc", "--level", "shared"}).status, 0);
    EXPECT_FALSE(fs::exists(left));
    EXPECT_EQ(tool({"check"}).status, 0) << tool({"check"}).out;
}

TEST_F(ToolTest, CheckReportsMissingFoldersAndMisplacedFiles) {
    fs::create_directories(data() / "system" / "Classification");
    fs::rename(sys("materials.xml"), data() / "system" / "Classification" / "materials.xml");
    fs::remove_all(data() / "shared" / "Classification");

    const Outcome check = tool({"check"});
    EXPECT_EQ(check.status, 3);
    EXPECT_EQ(linesOf(check.out),
              (std::vector<std::string>{
                  "warning: " + (data() / "shared" / "Classification").string() + ": the level folder does not exist",
                  "warning: " + (data() / "system" / "Classification" / "materials.xml").string() +
                      ": a mapping file where the store never reads; level sys reads " +
                      (data() / "system" / "Resources" / "Classification").string(),
                  "checked 3 files: all read; 2 warnings"}));
    EXPECT_EQ(check.err, "vyr-classification check: 2 warnings (--allow-missing passes over missing level "
                         "folders)\n");

    const Outcome allowed = tool({"check", "--allow-missing", "--json"});
    EXPECT_EQ(allowed.status, 3);
    const nlohmann::json report = nlohmann::json::parse(allowed.out);
    EXPECT_EQ(report["checked"], 3);
    ASSERT_EQ(report["warnings"].size(), 1U) << allowed.out;
    EXPECT_EQ(report["warnings"][0]["level"], "sys");

    fs::remove(data() / "system" / "Classification" / "materials.xml");
    EXPECT_EQ(tool({"check", "--allow-missing"}).status, 0);
}

TEST_F(ToolTest, EditsMeanWhatTheySayAndInheritUndoesAnOverride) {
    // The user level does not list the bracket yet: it starts from what the
    // person sees (shared's aluminium), not from nothing.
    const Outcome add = tool({"add", "materials", "bracket", "zinc", "--level", "user"});
    EXPECT_EQ(add.status, 0) << add.err;
    EXPECT_THAT(add.out, HasSubstr("merged view: bracket -> aluminium, zinc (decided by user)\n"));
    const Outcome set = tool({"set", "materials", "hinge", "bronze", "--level", "user"});
    EXPECT_THAT(set.out, HasSubstr("merged view: hinge -> bronze (decided by user)\n"));

    // Undoing the overrides, also one that a removal left empty.
    ASSERT_EQ(tool({"remove", "materials", "bracket", "--level", "user"}).status, 0);
    const Outcome inherit = tool({"inherit", "materials", "bracket", "--level", "user"});
    EXPECT_EQ(inherit.status, 0) << inherit.err;
    EXPECT_EQ(inherit.out, "level user of materials no longer lists bracket; the levels below decide it (" +
                               user("materials.xml").string() + ")\nmerged view: bracket -> aluminium (decided by "
                                                                "shared)\n");
    EXPECT_EQ(tool({"inherit", "materials", "hinge", "--level", "user"}).status, 0);
    EXPECT_EQ(tool({"inherit", "materials", "gasket", "--level", "user"}).status, 0);
    EXPECT_EQ(tableOf(tool({"show", "materials"}).out),
              (std::vector<std::string>{"bolt     steel          sys", "bracket  aluminium      shared (overrides sys)",
                                        "clip     nylon          shared", "gasket   rubber         sys",
                                        "hinge    brass          sys", "panel    glass          user (overrides sys)",
                                        "panel    polycarbonate  user (overrides sys)"}));

    // Nothing to undo: the level does not list the source id.
    const Snapshot before = snapshotOf(data());
    const Outcome nothing = tool({"inherit", "materials", "hinge", "--level", "user"});
    EXPECT_EQ(nothing.status, 0);
    EXPECT_THAT(nothing.out, HasSubstr("'materials' does not list hinge at level user, so the levels below decide it "
                                       "already; nothing changed"));
    EXPECT_EQ(snapshotOf(data()), before);
}

// Needs the store to report a failed write-back as an assertion record of
// its write access; until it does, the tool cannot know and this fails.
TEST_F(ToolTest, AWriteBackThatFailsIsAFailure) {
    const std::string before = readFile(user("materials.xml"));
    const std::string large(4000, 'x');
    // A file size limit of two blocks: the old document fits, the new one
    // does not.
    const Outcome add = runProgram("/bin/sh",
                                   {"-c", "ulimit -f 2; exec \"$0\" \"$@\"", VYR_TOOL_PATH, "--root", data().string(),
                                    "add", "materials", "panel", large, "--level", "user"},
                                   io());
    EXPECT_EQ(add.status, 1);
    EXPECT_EQ(add.out, "");
    EXPECT_EQ(linesOf(add.err).size(), 1U) << add.err;
    EXPECT_EQ(add.err.rfind("vyr-classification add: could not write " + user("materials.xml").string() + ": ", 0),
              0U)
        << add.err;
    EXPECT_EQ(readFile(user("materials.xml")), before);
}

TEST_F(ToolTest, IdsTooLongForAFileNameAreRefusedFirst) {
    const long limit = ::pathconf(data().c_str(), _PC_NAME_MAX);
    ASSERT_GT(limit, 30);
    const auto length = static_cast<std::size_t>(limit);
    const Snapshot before = snapshotOf(data());
    // The file name is the id and ".xml"; the store's temporary file name
    // adds 22 bytes more.
    const Outcome create = tool({"create", std::string(length - 25, 'a'), "--level", "user"});
    EXPECT_EQ(create.status, 2);
    EXPECT_EQ(create.err, "vyr-classification create: the id is " + std::to_string(length - 25) +
                              " bytes long, too long for level user: its file name and the store's temporary file "
                              "name must fit in " +
                              std::to_string(length) + " bytes, which allows ids of at most " +
                              std::to_string(length - 26) + " bytes; nothing changed\n");
    EXPECT_EQ(tool({"add", std::string(length, 'a'), "s", "c", "--level", "user"}).status, 2);
    const Outcome show = tool({"show", std::string(length - 3, 'a')});
    EXPECT_EQ(show.status, 2);
    EXPECT_THAT(show.err, HasSubstr("its file name must fit in"));
    EXPECT_EQ(snapshotOf(data()), before);

    EXPECT_EQ(tool({"create", std::string(length - 26, 'a'), "--level", "user"}).status, 0);
}

TEST_F(ToolTest, IdsOfAnyShapeReachTheTextOutputIntact) {
    // Ids that begin with '-' follow "--".
    const Outcome dash = tool({"add", "materials", "--level", "user", "--", "-rivet", "-steel"});
    EXPECT_EQ(dash.status, 0) << dash.err;
    EXPECT_THAT(dash.out, HasSubstr("merged view: -rivet -> -steel (decided by user)\n"));
    ASSERT_EQ(tool({"create", "--level", "user", "--", "-draft"}).status, 0);
    EXPECT_EQ(tool({"show", "--", "-draft"}).status, 0);

    // A control character is escaped, wide characters take two columns.
    ASSERT_EQ(tool({"add", "materials", "tab\tbed", "\xE9\x92\xA2", "--level", "user"}).status, 0);
    ASSERT_EQ(tool({"add", "materials", "\xE8\x9E\xBA\xE6\xA0\x93", "nut", "--level", "user"}).status, 0);
    const std::vector<std::string> table = tableOf(tool({"show", "materials", "--level", "user"}).out);
    // Columns of 10 and 15: "tab\\tbed" is 8 wide, "polycarbonate" 13.
    EXPECT_THAT(table, ::testing::Contains("tab\\tbed  \xE9\x92\xA2" + std::string(13, ' ') + "user"));
    EXPECT_THAT(table, ::testing::Contains("\xE8\x9E\xBA\xE6\xA0\x93" + std::string(6, ' ') + "nut" +
                                           std::string(12, ' ') + "user"));

    // An unknown option is named; a removal keeps the name it was given.
    EXPECT_EQ(tool({"add", "materials", "bolt", "zinc", "--lvl", "user"}).err,
              "vyr-classification add: unknown option '--lvl' (see: vyr-classification add --help)\n");
    EXPECT_THAT(tool({"remove", "materials", "hinge", "--level", "user"}).out,
                HasSubstr("'materials' maps hinge to nothing at level user; nothing changed"));
}

TEST_F(ToolTest, VerbosePrintsTheLibrarysAssertionRecords) {
    // A file where the user level folder should be: write access reports
    // that it cannot make the folder, and the edit at shared goes on.
    fs::remove_all(data() / "user" / "Classification");
    writeFile(data() / "user" / "Classification", "not a folder");
    const Outcome quiet = tool({"add", "materials", "bolt", "zinc", "--level", "shared"});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");

    const Outcome verbose = tool({"--verbose", "add", "materials", "bolt", "iron", "--level", "shared"});
    EXPECT_EQ(verbose.status, 0) << verbose.err;
    EXPECT_THAT(verbose.err,
                HasSubstr("assertion: Didn't manage to create folder (vyr::utilities::CacheFilesAtLevels<class "
                          "vyr::classification::CacheLevels<enum vyr::cache::Level>,enum vyr::cache::Level>::"
                          "vCreateFolderIfNotAtLevel, Source/Core/Utilities/Cache/CacheFilesWithLevels.h:"));
    EXPECT_THAT(verbose.out, HasSubstr("merged view: bolt -> iron, steel, zinc (decided by shared)\n"));
}

TEST_F(ToolTest, ManPageAndCompletionComeFromTheToolsHelp) {
    // The page is made from --help at build time: every command is in it.
    const std::string page = readFile(VYR_MAN_PAGE);
    EXPECT_THAT(page, HasSubstr(".TH VYR-CLASSIFICATION \"1\""));
    EXPECT_THAT(page, HasSubstr("\\-\\-root"));
    for (const std::string command : {"folders", "list", "show", "overrides", "cat", "export", "import", "edit",
                                      "check", "create", "add", "set", "remove", "remove-source", "remove-classified",
                                      "inherit", "classify"}) {
        EXPECT_THAT(page, HasSubstr(".SS \"" + command + "\"\n.nf\n")) << command;
        EXPECT_THAT(tool({"--help"}).out, HasSubstr("\n  " + command + " ")) << command;
    }

    // The completion offers commands, levels and the ids that `list` finds
    // in the folders named on the command line.
    const auto complete = [&](const std::string& words) {
        const std::string script = "source '" + std::string(VYR_COMPLETION) + "'; COMP_WORDS=(" + words +
                                   "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _vyr_classification; "
                                   "printf '%s\\n' \"${COMPREPLY[@]}\"";
        return linesOf(runProgram("/bin/bash", {"-c", script}, io()).out);
    };
    const std::string prefix = std::string(VYR_TOOL_PATH) + " --root '" + data().string() + "' ";
    EXPECT_EQ(complete(prefix + "rem"),
              (std::vector<std::string>{"remove", "remove-source", "remove-classified"}));
    EXPECT_EQ(complete(prefix + "show ''"), (std::vector<std::string>{"approved-materials", "materials"}));
    EXPECT_EQ(complete(prefix + "add materials --level ''"), (std::vector<std::string>{"shared", "user"}));
    EXPECT_EQ(complete(prefix + "import materials --re"), (std::vector<std::string>{"--replace"}));
}

TEST_F(ToolTest, DemoPrintsCommandsThatCanBePasted) {
    VYR_SKIP_WITHOUT_MODULES();
    // The demo's build folder: the tool, and the copy the demo makes.
    fs::create_directories(temp / "build" / "tools");
    fs::create_symlink(VYR_TOOL_PATH, temp / "build" / "tools" / "vyr-classification");
    const Outcome demo = runProgram("/bin/bash", {VYR_DEMO_SCRIPT, (temp / "build").string()}, io());
    ASSERT_EQ(demo.status, 0) << demo.err;
    std::size_t pasted = 0;
    for (const std::string& line : linesOf(demo.out)) {
        if (line.rfind("$ ", 0) == 0) {
            const Outcome again = runProgram("/bin/bash", {"-c", line.substr(2)}, io());
            EXPECT_EQ(again.status, 0) << line << ": " << again.err;
            ++pasted;
        }
    }
    EXPECT_EQ(pasted, 5U);
}

TEST_F(ToolTest, DemoHostRunsOnTheSampleData) {
    VYR_SKIP_WITHOUT_MODULES();
    const Outcome host = runProgram(VYR_DEMO_HOST_PATH, {data().string()}, io());
    EXPECT_EQ(host.status, 0) << host.err;
    EXPECT_THAT(host.out, HasSubstr("host: approved-parts now holds\n  bolt -> steel\n  bracket -> aluminium\n"
                                    "  panel -> glass\n  panel -> polycarbonate\n"));
    EXPECT_THAT(host.out, HasSubstr("host: progress 6/6\n"));
    EXPECT_THAT(host.out, HasSubstr("host: the module that ran: " VYR_SAMPLE_MODULE_PATH "\n"));
    EXPECT_THAT(host.out, HasSubstr("module: nodes classified by approved-parts\n"
                                    "  assembly (2 children): not classified\n"
                                    "    bolt (0 children): steel\n"
                                    "    panel (0 children): glass, polycarbonate\n"));
    EXPECT_TRUE(fs::is_regular_file(user("approved-parts.xml")));
}

} // namespace
} // namespace vyr::test
