#include <gtest/gtest.h>

#include "platform/CodePage.h"
#include "platform/Exception.h"

using namespace rivalon;

TEST(CodePage, Utf8RoundTrip) {
    const std::u16string text = u"Fim do Combate! Empate ap\u00f3s 1000 rodadas. \u20ac \U0001F3B2";
    EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
    EXPECT_EQ(Utf16ToUtf8(u"vers\u00e3o"), "vers\xc3\xa3o");
}

TEST(CodePage, IllFormedInputBecomesReplacement) {
    struct Case {
        std::string in;
        std::u16string out;
    } cases[] = {
        {"a\xff" "b", u"a\ufffdb"},
        {"\xc3", u"\ufffd"},              // truncated two-byte sequence at the end
        {"\xe2\x82", u"\ufffd"},          // truncated three-byte sequence at the end
        {"\xc0\xaf", u"\ufffd\ufffd"},    // overlong
        {"\xed\xa0\x80", u"\ufffd\ufffd\ufffd"}, // encoded surrogate
        {"\xf4\x90\x80\x80", u"\ufffd\ufffd\ufffd\ufffd"}, // above U+10FFFF
    };
    for (const auto& c : cases) EXPECT_EQ(Utf8ToUtf16(c.in), c.out) << c.in;
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xef\xbf\xbd");
}

TEST(CodePage, ExceptionCarriesBothForms) {
    Exception e(u"Ocorreu o seguinte erro: n\u00e3o");
    EXPECT_EQ(std::string(e.what()), "Ocorreu o seguinte erro: n\xc3\xa3o");
    EXPECT_EQ(Exception("abc").Message(), u"abc");
}
