#include "request/path_encoding.hpp"

#include <gtest/gtest.h>

namespace {

TEST(ReencodePath, DecodesOnceThenEncodesCanonically) {
    const std::pair<const char *, const char *> cases[] = {
        {"/a%2Fb", "/a/b"},
        {"/a+b", "/a%2bb"},
        {"/x%3Ay", "/x%3ay"},
        {"/a%20b", "/a%20b"},
        {"/a%25b", "/a%25b"},
        {"/50%", "/50%25"},
        {"/%7E", "/~"},
        {"/a%00b", "/a"},
        {"/%e9", "/%e9"},
        {"/%E9%c3", "/%e9%c3"},
        {"/q?x=1&y=2", "/q?x=1&y=2"},
        {"", ""},
        {"/%zz%4", "/%25zz%254"},
        {"/a;b,c#d@e:f\\g", "/a%3bb%2cc%23d%40e%3af%5cg"},
        {"/A-Z_a.z~09", "/A-Z_a.z~09"},
    };
    for (const auto &[input, expected] : cases) {
        const curl_text decoded = decode_path(input);
        ASSERT_TRUE(decoded) << input;
        EXPECT_EQ(encode_path(decoded.get()), expected) << input;
    }
}

TEST(EncodePath, EveryByteOutsideTheSafeSetIsEncoded) {
    const std::string safe =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/_.-~?&=";
    for (int b = 1; b < 256; ++b) {
        const std::string in(1, static_cast<char>(b));
        const std::string out = encode_path(in);
        if (safe.find(static_cast<char>(b)) != std::string::npos) {
            EXPECT_EQ(out, in) << b;
        } else {
            char expected[4];
            std::snprintf(expected, sizeof expected, "%%%02x", b);
            EXPECT_EQ(out, expected) << b;
        }
    }
}

} // namespace
