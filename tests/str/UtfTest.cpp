#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>

#include "external/str/Utf.h"

namespace {

using vyr::str::WideString;

// The public pair that module libraries call.
WideString wideGet(std::string_view utf8) { return vyr::str::utf16FromUtf8(utf8); }

std::string utf8Get(std::u16string_view utf16) { return vyr::str::utf8FromUtf16(utf16); }

bool boIsIllegalByteSequence(const std::system_error& error) {
    return error.code() == std::make_error_code(std::errc::illegal_byte_sequence);
}

// A folder of its own under the system's temporary folder, removed at the end.
class TempFolder {
public:
    TempFolder() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("vyr-utf-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(path_);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    [[nodiscard]] const std::filesystem::path& pathGet() const { return path_; }

private:
    std::filesystem::path path_;
};

struct EdgeCodePoint {
    const char* utf8;
    std::u16string utf16;
};

TEST(Utf, EdgeCodePointsConvertAndRoundTrip) {
    const EdgeCodePoint cases[] = {
        {"\x7F", u"\u007F"},
        {"\xC2\x80", u"\u0080"},
        {"\xDF\xBF", u"\u07FF"},
        {"\xE0\xA0\x80", u"\u0800"},
        {"\xED\x9F\xBF", u"\uD7FF"},
        {"\xEE\x80\x80", u"\uE000"},
        {"\xEF\xBF\xBF", u"\uFFFF"},
        {"\xF0\x90\x80\x80", {char16_t(0xD800), char16_t(0xDC00)}},
        {"\xF4\x8F\xBF\xBF", {char16_t(0xDBFF), char16_t(0xDFFF)}},
    };
    for (const EdgeCodePoint& edge : cases) {
        SCOPED_TRACE(edge.utf8);
        EXPECT_TRUE(vyr::str::boIsValidUtf8(edge.utf8));
        const WideString wide = wideGet(edge.utf8);
        EXPECT_EQ(std::u16string(wide.begin(), wide.end()), edge.utf16);
        EXPECT_EQ(utf8Get(edge.utf16), edge.utf8);
        // The same character after a run of ASCII longer than one word.
        const std::string padded = std::string(13, 'x') + edge.utf8 + "y";
        const WideString paddedWide = wideGet(padded);
        EXPECT_EQ(std::u16string(paddedWide.begin(), paddedWide.end()), std::u16string(13, u'x') + edge.utf16 + u"y");
    }
}

TEST(Utf, AsciiAndMixedTextConvert) {
    const std::string ascii = "Plain ASCII text, longer than a few machine words: 0123456789.";
    const WideString wide = wideGet(ascii);
    ASSERT_EQ(wide.size(), ascii.size());
    for (std::size_t index = 0; index < ascii.size(); ++index) {
        EXPECT_EQ(wide[index], static_cast<vyr::str::WideChar>(ascii[index]));
    }
    EXPECT_TRUE(wideGet("").empty());
    const std::string withNul("a\0b", 3);
    EXPECT_EQ(wideGet(withNul).size(), 3U);

    // 2 + 3 + 4 + 1 bytes make 1 + 1 + 2 + 1 code units.
    const std::string mixed = "\xC3\x9C\xE2\x82\xAC\xF0\x9F\x93\x90z";
    const WideString mixedWide = wideGet(mixed);
    EXPECT_EQ(std::u16string(mixedWide.begin(), mixedWide.end()),
              (std::u16string{u'\u00DC', u'\u20AC', char16_t(0xD83D), char16_t(0xDCD0), u'z'}));
    EXPECT_EQ(utf8Get(std::u16string(mixedWide.begin(), mixedWide.end())), mixed);
}

struct InvalidText {
    const char* kind;
    std::string text;
    std::size_t offset;
};

TEST(Utf, EveryClassOfInvalidTextIsRefused) {
    const std::string ascii(20, 'a');
    const InvalidText cases[] = {
        {"stray continuation byte", "\x80", 0},
        {"stray continuation byte after ASCII", ascii + "\xBF", 20},
        {"continuation byte after a complete sequence", "\xC3\xA9\xA9", 2},
        {"truncated two-byte sequence", "\xC3", 0},
        {"truncated three-byte sequence", "ab\xE2\x82", 2},
        {"truncated four-byte sequence", "\xF0\x9F\x93", 0},
        {"truncated sequence followed by ASCII", "\xE2\x82z", 0},
        {"lead byte followed by a lead byte", "\xC3\xC3\xA9", 0},
        {"overlong two-byte form", "\xC0\x80", 0},
        {"overlong two-byte form of 0x7F", "\xC1\xBF", 0},
        {"overlong three-byte form", "\xE0\x80\x80", 0},
        {"overlong three-byte form of U+07FF", "\xE0\x9F\xBF", 0},
        {"overlong four-byte form of U+FFFF", "\xF0\x8F\xBF\xBF", 0},
        {"encoded high surrogate", "x\xED\xA0\x80", 1},
        {"encoded low surrogate", "\xED\xBF\xBF", 0},
        {"code point above U+10FFFF", "\xF4\x90\x80\x80", 0},
        {"lead byte 0xF5", "\xF5\x80\x80\x80", 0},
        {"byte 0xFE", "\xFE", 0},
        {"byte 0xFF", ascii + "\xFF" + ascii, 20},
    };
    for (const InvalidText& invalid : cases) {
        SCOPED_TRACE(invalid.kind);
        EXPECT_EQ(vyr::str::invalidUtf8Offset(invalid.text), invalid.offset);
        EXPECT_FALSE(vyr::str::boIsValidUtf8(invalid.text));
        try {
            vyr::str::vValidateUtf8(invalid.text);
            ADD_FAILURE() << "vValidateUtf8 accepted the text";
        } catch (const std::system_error& error) {
            EXPECT_TRUE(boIsIllegalByteSequence(error)) << error.what();
        }
        WideString wide;
        try {
            vyr::str::details::vUtfConvertImpl<vyr::str::WideChar, char>(wide, invalid.text);
            ADD_FAILURE() << "the conversion accepted the text";
        } catch (const std::system_error& error) {
            EXPECT_TRUE(boIsIllegalByteSequence(error)) << error.what();
        }
        EXPECT_TRUE(wide.empty());
        EXPECT_THROW((void)vyr::str::utf16FromUtf8(invalid.text), std::system_error);
    }
}

TEST(Utf, UnpairedSurrogatesDoNotBecomeUtf8) {
    const std::u16string cases[] = {
        {char16_t(0xD800)},
        {char16_t(0xDC00), u'a'},
        {u'a', char16_t(0xD83D), u'b'},
        {char16_t(0xD83D), char16_t(0xD83D), char16_t(0xDCD0)},
    };
    for (const std::u16string& text : cases) {
        std::string utf8;
        try {
            vyr::str::details::vUtfConvertImpl<char, char16_t>(utf8, text);
            ADD_FAILURE() << "an unpaired surrogate was accepted";
        } catch (const std::system_error& error) {
            EXPECT_TRUE(boIsIllegalByteSequence(error)) << error.what();
        }
        EXPECT_THROW((void)vyr::str::utf8FromUtf16(text), std::system_error);
    }
}

TEST(Utf, PathsRoundTripThroughRealFiles) {
    const TempFolder folder;
    const std::string name = "\xC3\x9C" "bersicht \xF0\x9F\x93\x90.xml";
    const std::filesystem::path path = folder.pathGet() / vyr::str::pathFromUtf8(name);
    std::ofstream(path) << "content";
    ASSERT_TRUE(std::filesystem::exists(path));

    std::filesystem::directory_iterator entries(folder.pathGet());
    ASSERT_NE(entries, std::filesystem::directory_iterator());
    EXPECT_EQ(vyr::str::utf8FromPath(entries->path().filename()), name);
    EXPECT_EQ(vyr::str::utf8FromPath(path), vyr::str::utf8FromPath(folder.pathGet()) + "/" + name);
    EXPECT_EQ(vyr::str::pathFromUtf8(vyr::str::utf8FromPath(path)), path);
    EXPECT_TRUE(vyr::str::pathFromUtf8("").empty());
}

TEST(Utf, PathHelpersRefuseInvalidText) {
    try {
        (void)vyr::str::pathFromUtf8("folder/\xC0\xAF");
        ADD_FAILURE() << "pathFromUtf8 accepted an overlong slash";
    } catch (const std::system_error& error) {
        EXPECT_TRUE(boIsIllegalByteSequence(error)) << error.what();
    }

    // A name that is not UTF-8, as another program may leave it on disk.
    const TempFolder folder;
    const std::filesystem::path path = folder.pathGet() / std::string("latin1-\xE9.xml");
    std::ofstream(path) << "content";
    ASSERT_TRUE(std::filesystem::exists(path));
    std::filesystem::directory_iterator entries(folder.pathGet());
    ASSERT_NE(entries, std::filesystem::directory_iterator());
    try {
        (void)vyr::str::utf8FromPath(entries->path());
        ADD_FAILURE() << "utf8FromPath accepted a name that is not UTF-8";
    } catch (const std::system_error& error) {
        EXPECT_TRUE(boIsIllegalByteSequence(error)) << error.what();
    }
}

} // namespace
