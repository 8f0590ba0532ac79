#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "assert/AssertInfoWrapper.h"
#include "assert/Check.h"
#include "tests/common/TestSupport.h"

namespace {

using vyr::assert::AssertInfo;
using vyr::assert::AssertInfoWrapper;
using vyr::assert::Type;

// Two checks in a row, counting how often their conditions are evaluated.
void twoFailingChecks(int& evaluations) {
    VYR_ASSERT((++evaluations, false), "first", "checks::first");
    VYR_ASSERT((++evaluations, false), "second", "checks::second");
}

TEST(AssertCheck, ConditionIsEvaluatedOnlyWhenTheSinkIsEnabled) {
    int evaluations = 0;
    {
        const vyr::test::AssertCapture disabled(false);
        twoFailingChecks(evaluations);
        EXPECT_EQ(evaluations, 0);
        EXPECT_EQ(disabled.count(), 0U);
    }
    const vyr::test::AssertCapture enabled;
    twoFailingChecks(evaluations);
    EXPECT_EQ(evaluations, 2);
    // Two failed checks, two records, in the order of the checks.
    const auto records = vyr::assert::Assert::recordsGet();
    ASSERT_EQ(records.size(), 2U);
    EXPECT_EQ(records[0]->message(), "first");
    EXPECT_EQ(records[0]->function(), "checks::first");
    EXPECT_EQ(records[1]->message(), "second");
    EXPECT_EQ(records[0]->type(), Type::Advisory);
    EXPECT_EQ(records[0]->fileName(), "tests/assert/AssertTest.cpp"); // relative to the repository
    EXPECT_EQ(records[1]->lineNo(), records[0]->lineNo() + 1);
}

TEST(AssertCheck, PassingCheckReportsNothing) {
    const vyr::test::AssertCapture enabled;
    VYR_ASSERT(true, "never", "checks::never");
    EXPECT_EQ(enabled.count(), 0U);
}

TEST(AssertInfoWrapper, CopiesOwnTheirTextAndPointAtIt) {
    std::string message = "a message longer than the small string buffer";
    std::string function = "vyr::some::function";
    std::string file = "some/file.cpp";
    const AssertInfo info(Type::Advisory, message, function, file, 42);

    AssertInfoWrapper original(info);
    message.assign(message.size(), 'x');
    function.clear();
    EXPECT_EQ(original->message(), "a message longer than the small string buffer");
    EXPECT_EQ(original->function(), "vyr::some::function");
    EXPECT_EQ(original->lineNo(), 42);

    const AssertInfoWrapper copy(original);
    EXPECT_NE(copy->message().data(), original->message().data());
    EXPECT_EQ(copy->message(), original->message());
    EXPECT_EQ(copy->fileName(), "some/file.cpp");

    AssertInfoWrapper moved(std::move(original));
    AssertInfoWrapper assigned(info);
    assigned = copy;
    EXPECT_NE(assigned->function().data(), copy->function().data());
    EXPECT_EQ(moved->message(), copy->message());
    EXPECT_EQ(assigned->lineNo(), 42);
}

} // namespace
