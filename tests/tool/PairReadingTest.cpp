// The two readers of `import`: the fast one must take exactly what the
// careful one takes, with the same pairs, and give every other text to it.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tools/classification/PairReading.h"

namespace vyr::tool {
namespace {

// Both readers on the text; the fast one, when it takes the text, agrees.
// Returns the careful reader's verdict, which sPairsRead must give too.
std::string bothRead(const std::string& text) {
    Wanted careful;
    const std::string problem = sPairsReadCareful(text, careful);
    Wanted fast;
    if (boPairsReadFast(text, text.size(), fast)) {
        EXPECT_EQ(problem, "") << text;
        EXPECT_EQ(fast, careful) << text;
    }
    std::string padded = text;
    padded.reserve(text.size() + kPairsTextSpare);
    Wanted combined;
    EXPECT_EQ(sPairsRead(padded, combined), problem) << text;
    if (problem.empty()) {
        EXPECT_EQ(combined, careful) << text;
    }
    return problem;
}

TEST(PairReadingTest, TheFastReaderTakesWhatTheCarefulOneTakes) {
    const std::vector<std::string> good = {
        R"({"id": "m", "levels": ["sys"], "files": {"sys": "x"}, "view": "merged", "header": {"level": "sys"},
            "pairs": [{"source": "b", "classified": "x", "level": "sys", "overrides": ["sys"]},
                      {"source": "a", "classified": null, "level": "user", "overrides": []}],
            "warnings": [{"level": "user", "path": "p", "message": "m"}]})",
        R"([{"source": "a", "classified": "x"}, {"source": "a", "classified": "y"}, {"source": "c"}])",
        R"({"pairs": []})",
        R"([{"source": "a", "source": "b", "classified": "x", "classified": null, "meta": {"source": "z"}}])",
        R"([{"classified": "x", "source": "caf\u00e9 \"q\" \\ \t"}, {"source": "螺栓", "classified": "钢"}])",
        R"({"pairs": [{"source": "a"}], "pairs": [{"source": "b"}]})",
        R"({"pairs": {}, "pairs": [{"source": "b"}]})",
        R"({"size": 18446744073709551616, "pairs": [{"source": "a", "n": 1.5e300}]})",
    };
    for (const std::string& text : good) {
        EXPECT_EQ(bothRead(text), "") << text;
    }
    // Plain documents do take the fast way.
    for (std::size_t i = 0; i < 5; ++i) {
        Wanted wanted;
        EXPECT_TRUE(boPairsReadFast(good[i], good[i].size(), wanted)) << good[i];
    }
    const std::vector<std::string> bad = {
        "{}", "3", "[1]", R"([{"classified": "x"}])", R"([{"source": 1}])",
        R"([{"source": "a", "classified": true}])", R"({"pairs": 3})", R"([{"source": "a"}] x)",
        R"([{"source": "a\u0001"}])", R"([{"source": "\ud800"}])", "[{\"source\": \"\xff\"}]",
        R"([{"source": "a",}])", "", R"([{"source": "a", "classified": "\uFFFF"}])"};
    for (const std::string& text : bad) {
        EXPECT_NE(bothRead(text), "") << text;
    }

    // Random documents in export's shape, with repeated and unsorted ids.
    std::mt19937 random(19);
    for (int round = 0; round < 50; ++round) {
        std::string text = "{\"pairs\": [";
        const int pairs = static_cast<int>(random() % 40);
        for (int i = 0; i < pairs; ++i) {
            text += (i == 0 ? "" : ", ") + std::string("{\"source\": \"s") + std::to_string(random() % 15) + "\"";
            if (random() % 4 != 0) {
                text += ", \"classified\": \"c" + std::to_string(random() % 5) + "\"";
            }
            text += ", \"level\": \"user\", \"overrides\": []}";
        }
        text += "]}";
        EXPECT_EQ(bothRead(text), "");
        Wanted wanted;
        EXPECT_TRUE(boPairsReadFast(text, text.size(), wanted)) << text;
    }
}

} // namespace
} // namespace vyr::tool
