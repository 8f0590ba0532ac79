// vyr-classification, run as a child process on a fresh copy of the sample
// data for every test: each command, its output and exit status, and what it
// leaves in the files.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/tool/ToolTestSupport.h"

namespace vyr::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

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
        return runProgram(VYR_PYTHON3, {"-c", "import json,sys; json.load(sys.stdin)"}, io(), input).status == 0;
    }

    TempFolder temp;
};

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

TEST_F(ToolTest, ShowTellsWhichLevelDecidedEachSource) {
    const Outcome merged = tool({"show", "materials"});
    ASSERT_EQ(merged.status, 0) << merged.err;
    const std::vector<std::string> lines = linesOf(merged.out);
    ASSERT_GE(lines.size(), 4U);
    EXPECT_EQ(lines[0], "materials: levels sys, shared, user; header from user");
    EXPECT_EQ(lines[1], "  text2: Materials of parts");
    EXPECT_EQ(lines[2], "  text3: My corrections");
    EXPECT_EQ(lines[3], "  flags: flag1=false flag2=false");
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

    const Outcome sysLevel = tool({"show", "materials", "--level", "sys"});
    EXPECT_THAT(sysLevel.out, HasSubstr("materials: level sys only\n  text2: Materials of parts\n"
                                        "  text3: Company catalogue\n"));
    EXPECT_EQ(
        tableOf(sysLevel.out),
        (std::vector<std::string>{"bolt     steel       sys", "bracket  aluminium   sys", "bracket  steel       sys",
                                  "gasket   rubber      sys", "hinge    brass       sys", "panel    glass       sys"}));

    const Outcome noMatch = tool({"show", "materials", "--source", "screw"});
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

    const Outcome check = tool({"check"});
    EXPECT_EQ(check.status, 1);
    const std::vector<std::string> lines = linesOf(check.out);
    ASSERT_EQ(lines.size(), 4U) << check.out;
    EXPECT_EQ(lines[0], sys("folder.xml").string() + ": a folder stands where the mapping file should be");
    EXPECT_EQ(lines[1], user("latin1.xml").string() + ": invalid UTF-8 at line 1, column 36");
    EXPECT_EQ(lines[2].rfind(shared("malformed.xml").string() + ": XML parse error: ", 0), 0U) << lines[2];
    EXPECT_THAT(lines[2], HasSubstr(" at line 1, column "));
    EXPECT_EQ(lines[3], "checked 9 files: 3 do not read");
    EXPECT_EQ(check.err, "vyr-classification check: 3 of 9 files do not read\n");

    // The files are still listed, marked when they do not read; the folder
    // is not a file.
    const Outcome list = tool({"list"});
    EXPECT_THAT(list.out, HasSubstr("malformed           shared  (does not read: shared)\n"));
    EXPECT_THAT(list.out, Not(HasSubstr("folder")));
}

TEST_F(ToolTest, CreateMakesAFileAndNeverReplacesOne) {
    const Outcome created = tool({"create", "finishes", "--level", "shared", "--text2", "Surface finishes", "--flag1"});
    EXPECT_EQ(created.status, 0) << created.err;
    EXPECT_EQ(created.out, "created finishes at level shared: " + shared("finishes.xml").string() + "\n");
    EXPECT_TRUE(fs::is_regular_file(shared("finishes.xml")));
    EXPECT_EQ(tool({"check"}).status, 0);
    const Outcome show = tool({"show", "finishes"});
    EXPECT_EQ(show.out, "finishes: levels shared; header from shared\n  text2: Surface finishes\n"
                        "  flags: flag1=true flag2=false\n(no pairs)\n");

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
    EXPECT_THAT(removeClassified.out, HasSubstr("merged view: bolt -> steel\n"));

    // What a fresh process reads back from the files.
    EXPECT_EQ(tableOf(tool({"show", "materials"}).out),
              (std::vector<std::string>{"bolt     steel       sys", "bracket  (none)      shared (overrides sys)",
                                        "clip     (none)      shared", "gasket   (none)      user (overrides sys)",
                                        "hinge    brass       sys", "panel    (none)      user (overrides sys)"}));
    EXPECT_EQ(tool({"check"}).status, 0);

    // A removal that finds nothing at the level changes nothing: the pair
    // comes from sys, which an edit at user does not touch.
    const Snapshot before = snapshotOf(data());
    const Outcome absent = tool({"remove", "materials", "hinge", "brass", "--level", "user"});
    EXPECT_EQ(absent.status, 1);
    EXPECT_EQ(absent.err,
              "vyr-classification remove: 'materials' has no pair hinge -> brass at level user; nothing changed\n");
    EXPECT_EQ(tool({"remove-classified", "materials", "zinc", "--level", "user"}).status, 1);
    EXPECT_EQ(tool({"add", "screws", "a", "b", "--level", "user"}).status, 1);
    EXPECT_EQ(snapshotOf(data()), before);
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
                                   "--out", "user", "--update", "materials"});
    EXPECT_EQ(classify.status, 1);
    EXPECT_EQ(snapshotOf(data()), before);
    EXPECT_EQ(readFile(user("materials.xml")), broken);
}

TEST_F(ToolTest, ClassifyWritesTheAllowedPairs) {
    const std::vector<std::string> run = {"classify", "materials", "--filter", "approved-materials", "--in",
                                          "user",     "--out",     "user",     "--update",           "approved-parts"};
    const Outcome first = tool(run);
    EXPECT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.err, ""); // no terminal, no progress bar
    EXPECT_EQ(linesOf(first.out),
              (std::vector<std::string>{"reading materials up to level user: 6 pairs of 6 source ids; keeping those "
                                        "that approved-materials allows",
                                        "created approved-parts at level user",
                                        "kept 4 pairs of 3 source ids; wrote them into approved-parts at level user"}));
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
}

TEST_F(ToolTest, ClassifyDrawsAProgressBarOnlyOnATerminal) {
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
                                    "approved-materials", "--in", "user", "--out", "user", "--update", "parts"},
                                   io(), "/dev/null", side);
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
              "vyr-classification show: --level: top not in {sys,shared,user} "
              "(see: vyr-classification show --help)\n");
}

TEST_F(ToolTest, HelpShowsAnExampleForEveryCommand) {
    const Outcome help = tool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("Example:\n  vyr-classification --root examples/data show materials"));
    for (const std::string command : {"folders", "list", "show", "check", "create", "add", "set", "remove",
                                      "remove-source", "remove-classified", "inherit", "classify"}) {
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
    EXPECT_EQ(show.status, 1);
    EXPECT_EQ(show.err, "vyr-classification show: " + warning);
    EXPECT_THAT(show.out, HasSubstr("materials: levels sys, shared; header from shared\n"));
    const Outcome json = tool({"show", "materials", "--json"});
    EXPECT_EQ(json.status, 1);
    const nlohmann::json warnings = nlohmann::json::parse(json.out)["warnings"];
    ASSERT_EQ(warnings.size(), 1U) << json.out;
    EXPECT_EQ(warnings[0]["path"], user("materials.xml").string());
    EXPECT_EQ(warnings[0]["level"], "user");

    EXPECT_THAT(tool({"list"}).out, HasSubstr("materials           sys shared user  (does not read: user)\n"));

    // An edit at another level is made, and still ends with the warning.
    const Outcome add = tool({"add", "materials", "clip", "steel", "--level", "shared"});
    EXPECT_EQ(add.status, 1);
    EXPECT_EQ(add.err, "vyr-classification add: " + warning);
    EXPECT_THAT(add.out, HasSubstr("merged view: clip -> nylon, steel (decided by shared)\n"));
    const Outcome classify = tool({"classify", "materials", "--filter", "approved-materials", "--in", "user",
                                   "--out", "user", "--update", "parts"});
    EXPECT_EQ(classify.status, 1);
    EXPECT_EQ(classify.err, "vyr-classification classify: " + warning);
    EXPECT_EQ(readFile(user("materials.xml")), broken);
}

TEST_F(ToolTest, CheckReportsMissingFoldersAndMisplacedFiles) {
    fs::create_directories(data() / "system" / "Classification");
    fs::rename(sys("materials.xml"), data() / "system" / "Classification" / "materials.xml");
    fs::remove_all(data() / "shared" / "Classification");

    const Outcome check = tool({"check"});
    EXPECT_EQ(check.status, 1);
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
    EXPECT_EQ(allowed.status, 1);
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
    EXPECT_EQ(nothing.status, 1);
    EXPECT_EQ(nothing.err, "vyr-classification inherit: 'materials' does not list hinge at level user, so the levels "
                           "below decide it already; nothing changed\n");
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
    EXPECT_EQ(tool({"remove", "materials", "hinge", "--level", "user"}).err,
              "vyr-classification remove: 'materials' maps hinge to nothing at level user; nothing changed\n");
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

TEST_F(ToolTest, DemoHostRunsOnTheSampleData) {
    const Outcome host = runProgram(VYR_DEMO_HOST_PATH, {data().string()}, io());
    EXPECT_EQ(host.status, 0) << host.err;
    EXPECT_THAT(host.out, HasSubstr("host: approved-parts now holds\n  bolt -> steel\n  bracket -> aluminium\n"
                                    "  panel -> glass\n  panel -> polycarbonate\n"));
    EXPECT_THAT(host.out, HasSubstr("host: progress 6/6\n"));
    EXPECT_THAT(host.out, HasSubstr("module: nodes classified by approved-parts\n"
                                    "  assembly (2 children): not classified\n"
                                    "    bolt (0 children): steel\n"
                                    "    panel (0 children): glass, polycarbonate\n"));
    EXPECT_TRUE(fs::is_regular_file(user("approved-parts.xml")));
}

} // namespace
} // namespace vyr::test
