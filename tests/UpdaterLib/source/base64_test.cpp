#include "UpdaterLib/source/base64.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

namespace
{

struct FreeDeleter {
    void operator()(void* p) const { free(p); }
};

// The decoded bytes, or "<null>" when nothing was decoded.
std::string Decode(const std::string& text, size_t* length = nullptr)
{
    size_t n = 12345;
    std::unique_ptr<unsigned char, FreeDeleter> out(base64_decode(text.data(), text.size(), &n));
    if (length)
        *length = n;
    if (!out)
        return "<null>";
    EXPECT_EQ(out.get()[n], 0) << "decoded bytes are NUL-terminated";
    return std::string((const char*)out.get(), n);
}

std::string Encode(const std::string& bytes)
{
    size_t n = 0;
    std::unique_ptr<char, FreeDeleter> out(
        base64_encode((const unsigned char*)bytes.data(), bytes.size(), &n));
    EXPECT_NE(out, nullptr);
    EXPECT_EQ(strlen(out.get()), n);
    return std::string(out.get(), n);
}

} // namespace

TEST(Base64Decode, PaddingShortensTheLastGroup)
{
    size_t length = 0;
    EXPECT_EQ(Decode("QQ==", &length), "A");
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(Decode("QUI="), "AB");
    EXPECT_EQ(Decode("QUJD"), "ABC");
    EXPECT_EQ(Decode("QUJDRA=="), "ABCD");
    EXPECT_EQ(Decode(""), "");
}

TEST(Base64Decode, LengthNotAMultipleOfFourDecodesNothing)
{
    size_t length = 0;
    EXPECT_EQ(Decode("QUJDR", &length), "<null>");
    EXPECT_EQ(length, 12345u) << "length untouched";
    EXPECT_EQ(Decode("QUJD\r"), "<null>") << "a line end left on the text";
    EXPECT_EQ(Decode("QQ="), "<null>");
}

TEST(Base64Decode, CharactersOutsideTheAlphabetMakeTheTextInvalid)
{
    EXPECT_EQ(Decode("QU*D"), "<null>");
    EXPECT_EQ(Decode("QU D"), "<null>");
    EXPECT_EQ(Decode("QUJ-"), "<null>") << "URL-safe alphabet is not accepted";
    EXPECT_EQ(Decode(std::string("QU\0D", 4)), "<null>");
    // Bytes with the high bit set once indexed below the reverse table.
    EXPECT_EQ(Decode("QU\xC3\x81"), "<null>");
    EXPECT_EQ(Decode("\xFF\xFF\xFF\xFF"), "<null>");
}

TEST(Base64Decode, PaddingOnlyAtTheEnd)
{
    EXPECT_EQ(Decode("Q=JD"), "<null>");
    EXPECT_EQ(Decode("QQ==QUJD"), "<null>") << "padding in an inner group";
    EXPECT_EQ(Decode("QQ=A"), "<null>") << "a character after the padding";
    EXPECT_EQ(Decode("Q==="), "<null>");
    EXPECT_EQ(Decode("===="), "<null>");
}

TEST(Base64Encode, PadsToWholeGroups)
{
    EXPECT_EQ(Encode(""), "");
    EXPECT_EQ(Encode("A"), "QQ==");
    EXPECT_EQ(Encode("AB"), "QUI=");
    EXPECT_EQ(Encode("ABC"), "QUJD");
    EXPECT_EQ(Encode("\xFB\xFF"), "+/8=");
}

TEST(Base64, EveryByteValueAndLengthSurvivesARoundTrip)
{
    std::string bytes;
    for (int i = 0; i < 256; i++)
        bytes += (char)(255 - i);
    for (size_t n = 0; n <= bytes.size(); n += (n < 8 ? 1 : 37)) {
        std::string part = bytes.substr(0, n);
        std::string text = Encode(part);
        EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
        EXPECT_EQ(Decode(text), part) << n;
    }
}

TEST(Base64, TableIsTheStandardAlphabetInValueOrder)
{
    ASSERT_EQ(sizeof(encoding_table), 64u);
    EXPECT_EQ(std::string(encoding_table, 64),
              "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
}
