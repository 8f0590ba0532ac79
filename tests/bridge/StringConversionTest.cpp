#include <gtest/gtest.h>

#include <cstddef>
#include <limits>
#include <string>
#include <system_error>

#include "bridge/StringConversion.h"
#include "external/managed/Runtime.h"
#include "external/managed/System/ArgumentOutOfRangeException.h"
#include "external/managed/System/String.h"

namespace {

using managed::Handle;
using managed::System::String;

Handle<String> managedGet(const std::string& text) { return managed::marshal_as<Handle<String>>(text); }

// Counts the managed strings the runtime creates while it lives.
class StringCounter {
public:
    StringCounter() {
        managed::runtime::vAllocationObserverSet([this](std::string_view sManagedTypeName, const void*) {
            if (sManagedTypeName == String::managedTypeName) {
                ++count_;
            }
        });
    }
    StringCounter(const StringCounter&) = delete;
    StringCounter& operator=(const StringCounter&) = delete;
    ~StringCounter() { managed::runtime::vAllocationObserverSet({}); }
    [[nodiscard]] int countGet() const { return count_; }

private:
    int count_ = 0;
};

TEST(StringConversion, LengthLimitIsIntMaxCodeUnits) {
    const std::size_t intMax = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(vyr::bridge::details::managedLengthGet(0), 0);
    EXPECT_EQ(vyr::bridge::details::managedLengthGet(intMax), std::numeric_limits<std::int32_t>::max());
    for (const std::size_t tooLong : {intMax + 1, std::numeric_limits<std::size_t>::max()}) {
        try {
            (void)vyr::bridge::details::managedLengthGet(tooLong);
            ADD_FAILURE() << tooLong << " code units were accepted";
        } catch (const managed::System::ArgumentOutOfRangeException& error) {
            EXPECT_EQ(error.Message(), "Size of string exceeds INT_MAX.");
        }
    }
}

TEST(StringConversion, ManagedStringHoldsTheUtf16CodeUnits) {
    // 2 + 4 + 1 bytes make 1 + 2 + 1 code units: the length counts code
    // units of the converted text, not bytes of the source.
    const Handle<String> mixed = managedGet("\xC3\x9C\xF0\x9D\x84\x9Ez");
    ASSERT_TRUE(mixed);
    EXPECT_EQ(mixed->Length(), 4);
    EXPECT_EQ(mixed->view(), (std::u16string{u'\u00DC', char16_t(0xD834), char16_t(0xDD1E), u'z'}));

    const Handle<String> empty = managedGet("");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->Length(), 0);

    // Every byte of the string counts, NULs and what follows them included.
    const Handle<String> withNuls = managedGet(std::string("a\0b\0", 4));
    EXPECT_EQ(withNuls->view(), std::u16string(u"a\0b\0", 4));

    const std::string source = "classification \xE2\x82\xAC";
    EXPECT_EQ(vyr::str::to_utfWide(source), (vyr::str::details::utfConvert<vyr::str::WideChar, char>(source)));
}

TEST(StringConversion, InvalidTextMakesNoManagedString) {
    const StringCounter counter;
    try {
        (void)managedGet("valid start \xED\xA0\x80");
        ADD_FAILURE() << "an encoded surrogate was accepted";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::make_error_code(std::errc::illegal_byte_sequence));
    }
    EXPECT_EQ(counter.countGet(), 0);
    (void)managedGet("valid");
    EXPECT_EQ(counter.countGet(), 1);
}

TEST(StringConversion, ManagedStringRefusesNegativeLength) {
    const char16_t text[] = u"abc";
    EXPECT_THROW(String(text, -1), managed::System::ArgumentOutOfRangeException);
    EXPECT_EQ(String(text, 2).view(), u"ab");
}

} // namespace
