#include "server_client/base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace {

// The decoded bytes, or nothing when the decoder refused.
std::optional<std::string> decode(const std::string& text) {
    size_t length = 12345;
    std::unique_ptr<unsigned char, decltype(&free)> out(base64_decode(text.data(), text.size(), &length), free);
    if (!out) return std::nullopt;
    EXPECT_EQ(out.get()[length], 0) << "no zero byte after the data of \"" << text << "\"";
    return std::string(reinterpret_cast<const char*>(out.get()), length);
}

TEST(Base64, DecodesStandardVectors) {
    const struct {
        const char* text;
        std::string bytes;
    } cases[] = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYg==", "foob"},
        {"Zm9vYmE=", "fooba"},
        {"Zm9vYmFy", "foobar"},
        {"AAAA", std::string(3, '\0')},
        {"////", "\xFF\xFF\xFF"},
        {"+/+/", "\xFB\xFF\xBF"},
        {"AP8A/w==", std::string("\x00\xFF\x00\xFF", 4)},
    };
    for (const auto& c : cases) EXPECT_EQ(decode(c.text), c.bytes) << c.text;
}

TEST(Base64, PaddingShortensTheLastGroup) {
    // 4n characters ending in "==" give 3n - 2 bytes, ending in "=" 3n - 1.
    EXPECT_EQ(decode("QUJDREVGR0g=")->size(), 8u);
    EXPECT_EQ(decode("QUJDREVGRw==")->size(), 7u);
    EXPECT_EQ(decode("QUJDREVGR0hJ")->size(), 9u);
}

TEST(Base64, RefusesMalformedText) {
    const char* cases[] = {
        "Zm9vY",     // 5 characters
        "Zm9",       // not a multiple of 4
        "Zm9v\n",    // a line break
        "Zm9*",      // outside the alphabet
        "Zm 9",      // a blank
        "Zm9-",      // the URL-safe alphabet is not this one
        "Zm9v\rAAA", // a carriage return inside
        "Z=9v",      // padding in the middle
        "Zm=v",
        "Z===",      // more padding than a group can have
        "====",
        "Zg==Zm9v",  // padding before the end
    };
    for (const char* text : cases) EXPECT_EQ(decode(text), std::nullopt) << text;
    // A zero byte is outside the alphabet too, not an end of text.
    EXPECT_EQ(decode(std::string("Zm\0v", 4)), std::nullopt);
}

TEST(Base64, RefusalLeavesTheLengthAlone) {
    size_t length = 77;
    EXPECT_EQ(base64_decode("Zm9*", 4, &length), nullptr);
    EXPECT_EQ(length, 77u);
}

} // namespace
