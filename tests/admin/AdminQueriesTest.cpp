// The queries of the admin and the wrapper's forwarders: every forwarder
// gives exactly the admin's answer, the empty and null ones included.

#include <mutex>

#include "tests/admin/AdminTestSupport.h"

namespace vyr::test {
namespace {

class AdminQueriesTest : public AdminFixture {
protected:
    void SetUp() override {
        AdminFixture::SetUp();
        Mapping sys = mappingMake("colours", "sys", {{"apple", {"green", "red"}}, {"grass", {"green"}},
                                                     {"stone", {"grey"}}, {"sky", {"blue"}}});
        Mapping user = mappingMake("colours", "user", {{"stone", {}}, {"sky", {"azure"}}});
        vWriteLevel("colours", cache::Sys, sys);
        vWriteLevel("colours", cache::User, user);
    }
};

TEST_F(AdminQueriesTest, ForwardersReturnTheAdminsResults) {
    AssertCapture capture(false);
    AdminWrapper wrapper;
    Admin& target = admin();
    classification::AdminInterface& queries = target;

    for (const std::string id : {"colours", "unknown"}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(wrapper.boClassificationExists(id), queries.boClassificationExists(id));
        EXPECT_EQ(wrapper.sText2Get(id), target.sText2Get(id));
        EXPECT_EQ(wrapper.sText3Get(id), target.sText3Get(id));
        EXPECT_EQ(wrapper.sText4Get(id), target.sText4Get(id));
        EXPECT_EQ(wrapper.sText5Get(id), target.sText5Get(id));
        EXPECT_EQ(wrapper.sText6Get(id), target.sText6Get(id));
        for (const std::string source : {"apple", "grass", "stone", "sky", "moon", ""}) {
            SCOPED_TRACE(source);
            EXPECT_EQ(wrapper.pClassifiedIdsGet(id, source), queries.pClassifiedIdsGet(id, source));
            EXPECT_EQ(wrapper.sClassifiedIdGet(id, source), queries.sClassifiedIdGet(id, source));
            for (const std::string classified : {"green", "red", "grey", "azure", "blue", "none"}) {
                EXPECT_EQ(wrapper.boMappingExists(id, source, classified),
                          target.boMappingExists(id, source, classified));
            }
        }
        for (const std::string classified : {"green", "red", "grey", "azure", "blue", "none"}) {
            SCOPED_TRACE(classified);
            EXPECT_EQ(wrapper.pSourceIdsGet(id, classified), queries.pSourceIdsGet(id, classified));
            EXPECT_EQ(wrapper.sSourceIdGet(id, classified), queries.sSourceIdGet(id, classified));
        }
    }
    Admin::Cache* viaAdmin = nullptr;
    {
        const std::lock_guard lock(target.mutex);
        viaAdmin = target.cachesGet("colours");
    }
    EXPECT_EQ(wrapper.cachesGet("colours"), viaAdmin);
    EXPECT_EQ(capture.count(), 0U);
}

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
