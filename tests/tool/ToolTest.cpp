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
    EXPECT_THAT(show.out, HasSubstr("\"source\": \"gasket\",\n      \"classified\": null,\n      \"level\": "
                                    "\"user\",\n      \"overrides\": [\"sys\"]\n"));

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
    EXPECT_EQ(lines[1], user("latin1.xml").string() + ": invalid UTF-8 at byte offset 35");
    EXPECT_EQ(lines[2].rfind(shared("malformed.xml").string() + ": XML parse error: ", 0), 0U) << lines[2];
    EXPECT_THAT(lines[2], HasSubstr("byte offset"));
    EXPECT_EQ(lines[3], "checked 9 files: 3 do not read");
    EXPECT_EQ(check.err, "vyr-classification check: 3 of 9 files do not read\n");

    // The files that read are still listed; the folder is not a file.
    const Outcome list = tool({"list"});
    EXPECT_THAT(list.out, HasSubstr("malformed           shared\n"));
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
                           " does not read; not writing over it (see: vyr-classification check)\n");
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
                                      "remove-source", "remove-classified", "classify"}) {
        const Outcome outcome = tool({command, "--help"});
        EXPECT_EQ(outcome.status, 0) << command;
        EXPECT_THAT(outcome.out, HasSubstr("Usage: vyr-classification " + command)) << command;
        EXPECT_THAT(outcome.out, HasSubstr("Example:\n  vyr-classification ")) << command;
        EXPECT_EQ(outcome.err, "") << command;
    }
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
    EXPECT_THAT(verbose.out, HasSubstr("merged view: bolt -> iron, zinc (decided by shared)\n"));
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
