// The queries of the store through the wrapper: what the merged view
// answers, the empty and null answers for what is missing included.

#include <mutex>

#include "tests/common/StoreFixture.h"

namespace vyr::test {
namespace {

class AdminQueriesTest : public StoreFixture {
protected:
    void SetUp() override {
        StoreFixture::SetUp();
        const Relation sysRelation{
            {"apple", {"green", "red"}}, {"grass", {"green"}}, {"stone", {"grey"}}, {"sky", {"blue"}}};
        Mapping sys = mappingOf("colours", sysRelation, "sys");
        Mapping user = mappingOf("colours", {{"stone", {}}, {"sky", {"azure"}}}, "user");
        vWriteLevel("colours", cache::Sys, sys);
        vWriteLevel("colours", cache::User, user);
    }
};

TEST_F(AdminQueriesTest, QueriesAnswerFromTheMergedView) {
    AdminWrapper wrapper;
    Admin& target = admin();
    const std::string id = "colours";

    // Texts, each from its own attribute of the top mapping.
    EXPECT_EQ(wrapper.sText2Get(id), "user2");
    EXPECT_EQ(wrapper.sText3Get(id), "user3");
    EXPECT_EQ(wrapper.sText4Get(id), "user4");
    EXPECT_EQ(wrapper.sText5Get(id), "user5");
    EXPECT_EQ(wrapper.sText6Get(id), "user6");

    EXPECT_TRUE(wrapper.boClassificationExists(id));
    const std::set<std::string>* apple = wrapper.pClassifiedIdsGet(id, "apple");
    ASSERT_NE(apple, nullptr);
    EXPECT_EQ(*apple, (std::set<std::string>{"green", "red"}));
    // A source id whose deciding level lists it with no classified id.
    const std::set<std::string>* stone = wrapper.pClassifiedIdsGet(id, "stone");
    ASSERT_NE(stone, nullptr);
    EXPECT_TRUE(stone->empty());
    EXPECT_EQ(wrapper.sClassifiedIdGet(id, "stone"), "");
    EXPECT_EQ(wrapper.pClassifiedIdsGet(id, "moon"), nullptr);
    EXPECT_EQ(wrapper.sClassifiedIdGet(id, "sky"), "azure");

    const std::set<std::string>* green = wrapper.pSourceIdsGet(id, "green");
    ASSERT_NE(green, nullptr);
    EXPECT_EQ(*green, (std::set<std::string>{"apple", "grass"}));
    EXPECT_EQ(wrapper.pSourceIdsGet(id, "grey"), nullptr); // overridden by User
    EXPECT_EQ(wrapper.pSourceIdsGet(id, "blue"), nullptr);
    EXPECT_EQ(wrapper.sSourceIdGet(id, "red"), "apple");
    EXPECT_EQ(wrapper.sSourceIdGet(id, "none"), "");

    EXPECT_TRUE(wrapper.boMappingExists(id, "apple", "red"));
    EXPECT_FALSE(wrapper.boMappingExists(id, "apple", "azure"));
    EXPECT_FALSE(wrapper.boMappingExists(id, "moon", "red"));
    EXPECT_FALSE(wrapper.boMappingExists(id, "stone", "grey"));

    EXPECT_EQ(target.mappingsGet(id),
              (Pairs{{"apple", "green"}, {"apple", "red"}, {"grass", "green"}, {"sky", "azure"}}));

    // Several ids behind a single-id lookup: the smallest, reported once,
    // and the same answer through the wrapper and the admin.
    AssertCapture capture;
    EXPECT_EQ(wrapper.sClassifiedIdGet(id, "apple"), "green");
    EXPECT_EQ(capture.count(), 1U);
    EXPECT_EQ(wrapper.sSourceIdGet(id, "green"), "apple");
    EXPECT_EQ(capture.count(), 2U);
}

TEST_F(AdminQueriesTest, AbsentClassificationGivesEmptyAnswersAndStaysUncached) {
    AssertCapture capture;
    AdminWrapper wrapper;
    Admin& target = admin();
    EXPECT_FALSE(wrapper.boClassificationExists("absent"));
    EXPECT_EQ(wrapper.pClassifiedIdsGet("absent", "a"), nullptr);
    EXPECT_EQ(wrapper.pSourceIdsGet("absent", "a"), nullptr);
    EXPECT_EQ(wrapper.sClassifiedIdGet("absent", "a"), "");
    EXPECT_EQ(wrapper.sSourceIdGet("absent", "a"), "");
    EXPECT_EQ(wrapper.sText2Get("absent"), "");
    EXPECT_EQ(wrapper.sText6Get("absent"), "");
    EXPECT_FALSE(wrapper.boMappingExists("absent", "a", "b"));
    EXPECT_TRUE(target.mappingsGet("absent").empty());
    EXPECT_FALSE(target.boIsCached("absent"));
    EXPECT_EQ(capture.count(), 0U);
    {
        // Each query looked for the files again, so the records exist.
        const std::lock_guard lock(target.mutex);
        EXPECT_EQ(target.files.count("absent"), 1U);
        EXPECT_EQ(target.caches.count("absent"), 0U);
    }
}

TEST_F(AdminQueriesTest, EntryWithoutLevelsCountsAsPresent) {
    AdminWrapper wrapper;
    Admin::Cache* empty = wrapper.cachesGet("hollow");
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->levels.empty());
    EXPECT_TRUE(wrapper.boClassificationExists("hollow"));
    EXPECT_EQ(wrapper.pClassifiedIdsGet("hollow", "a"), nullptr);
    EXPECT_EQ(wrapper.pSourceIdsGet("hollow", "a"), nullptr);
    EXPECT_EQ(wrapper.sClassifiedIdGet("hollow", "a"), "");
    EXPECT_EQ(wrapper.sSourceIdGet("hollow", "a"), "");
    EXPECT_EQ(wrapper.sText3Get("hollow"), "");
    EXPECT_FALSE(wrapper.boMappingExists("hollow", "a", "b"));
    EXPECT_TRUE(admin().mappingsGet("hollow").empty());
}

TEST_F(AdminQueriesTest, WriteAccessThroughTheWrapperEditsTheAdminsCache) {
    AdminWrapper wrapper;
    {
        auto access = wrapper.writeAccessGet("colours");
        ASSERT_TRUE(access.boLockFile(cache::User));
        EXPECT_TRUE(access.boSetMapping("moon", "white", cache::User));
        EXPECT_EQ(admin().sClassifiedIdGet("colours", "moon"), "white");
    }
    Mapping user;
    ASSERT_TRUE(readMapping(fileAt("colours", cache::User), user));
    EXPECT_EQ(user.sourceToClassified.at("moon"), std::set<std::string>{"white"});
    EXPECT_EQ(user.sText2, "user2");
}

} // namespace
} // namespace vyr::test
