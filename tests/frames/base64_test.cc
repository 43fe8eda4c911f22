#include "frames/base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/exact_bytes.h"

namespace qlp {
namespace {

using namespace std::string_literals;

Result<std::string> decode(std::string_view text) { return base64_decode(test::ExactBytes(text)); }

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct Vector {
  std::string bytes;
  std::string text;
};

// RFC 4648 section 10, then the cases that pin the padding and the alphabet's last symbols.
const Vector kVectors[] = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
    {"\x00\x00\x00"s, "AAAA"},
    {"\xFF", "/w=="},
    {"\xFF\xFF", "//8="},
    {"\x48\x69", "SGk="},
    {"A", "QQ=="},
    {"\xFB\xFF\xBF", "+/+/"},
};

TEST(Base64Test, EncodesAndDecodesTheVectors) {
  for (const Vector& v : kVectors) {
    EXPECT_EQ(base64_encode(v.bytes), v.text) << v.text;
    Result<std::string> decoded = decode(v.text);
    ASSERT_TRUE(decoded) << v.text << ": " << decoded.error().message();
    EXPECT_EQ(*decoded, v.bytes) << v.text;
  }
}

TEST(Base64Test, EncodeAppendKeepsWhatIsThereAndReusesCapacity) {
  std::string out = "prefix:";
  out.reserve(64);
  const char* storage = out.data();
  base64_encode_append("foobar", out);
  EXPECT_EQ(out, "prefix:Zm9vYmFy");
  EXPECT_EQ(out.data(), storage);
}

struct Failure {
  std::string text;
  std::string message;
};

// One row per check, in the order the checks run; where a text has several faults, the row says
// which one is reported.
const Failure kFailures[] = {
    // A lone last byte outside the alphabet is named even when an earlier byte is bad too.
    {"QUJD\n", "Invalid symbol 10, offset 4."},
    {"AAAA!", "Invalid symbol 33, offset 4."},
    {"!AAA!", "Invalid symbol 33, offset 4."},
    {"!", "Invalid symbol 33, offset 0."},
    // Groups before the final one: the first byte outside the alphabet, "=" included.
    {"A!AAAAAA", "Invalid symbol 33, offset 1."},
    {"AAAA\nAAA", "Invalid symbol 10, offset 4."},
    {"QQ==QQ==", "Invalid symbol 61, offset 2."},
    {"QQ===", "Invalid symbol 61, offset 2."},
    {"AAA\xC3" "AAAA", "Invalid symbol 195, offset 3."},
    {"AAAA\x80", "Invalid symbol 128, offset 4."},
    // The bytes just outside each run of the alphabet: A-Z, a-z, 0-9, "+" and "/".
    {"@AAAAAAA", "Invalid symbol 64, offset 0."},
    {"A[AAAAAA", "Invalid symbol 91, offset 1."},
    {"AA`AAAAA", "Invalid symbol 96, offset 2."},
    {"AAA{AAAA", "Invalid symbol 123, offset 3."},
    {":AAAAAAA", "Invalid symbol 58, offset 0."},
    {"A*AAAAAA", "Invalid symbol 42, offset 1."},
    {"AA,AAAAA", "Invalid symbol 44, offset 2."},
    {"AAA.AAAA", "Invalid symbol 46, offset 3."},
    // The final group: "=" in its first or second place ...
    {"Q===", "Invalid symbol 61, offset 1."},
    {"=AAA", "Invalid symbol 61, offset 0."},
    {"AAAA=", "Invalid symbol 61, offset 4."},
    {"AAAA=Q", "Invalid symbol 61, offset 4."},
    // ... a symbol after "=" names the first "=" ...
    {"AA=A", "Invalid symbol 61, offset 2."},
    {"AAAAAA=A", "Invalid symbol 61, offset 6."},
    // ... any other byte outside the alphabet, in the order met.
    {"AA=!", "Invalid symbol 33, offset 3."},
    {"A\n", "Invalid symbol 10, offset 1."},
    {"Q\n==", "Invalid symbol 10, offset 1."},
    {"QUJDQ-", "Invalid symbol 45, offset 5."},
    {"QUJD QQ", "Invalid symbol 32, offset 4."},
    // A final group of one symbol.
    {"Q", "Invalid input length: 1"},
    {"QUJDR", "Invalid input length: 5"},
    {"QUJDQUJDR", "Invalid input length: 9"},
    // Missing or surplus padding.
    {"QQ", "Invalid padding"},
    {"QQ=", "Invalid padding"},
    {"QUJ", "Invalid padding"},
    {"QUJDQQ", "Invalid padding"},
    {"QR=", "Invalid padding"},
    // Unused bits of the last symbol.
    {"QR==", "Invalid last symbol 82, offset 1."},
    {"QUJ=", "Invalid last symbol 74, offset 2."},
    {"AAAAAB==", "Invalid last symbol 66, offset 5."},
    {"//9/", ""},  // four symbols leave no unused bits: this one decodes
    {"AZaz09+/", ""},  // both ends of each run of the alphabet
};

TEST(Base64Test, DecodingFailuresReportTheFirstCheckThatFails) {
  for (const Failure& f : kFailures) {
    Result<std::string> decoded = decode(f.text);
    if (f.message.empty()) {
      EXPECT_TRUE(decoded) << f.text;
      continue;
    }
    ASSERT_FALSE(decoded) << f.text;
    EXPECT_EQ(decoded.error().message(), f.message) << f.text;
  }
}

TEST(Base64Test, RandomBytesOfEveryLengthRoundTrip) {
  std::mt19937 random(20240611);
  for (std::size_t length = 0; length <= 200; ++length) {
    std::string bytes(length, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    const std::string text = base64_encode(bytes);
    EXPECT_EQ(text.size(), (length + 2) / 3 * 4);
    Result<std::string> decoded = decode(text);
    ASSERT_TRUE(decoded) << text << ": " << decoded.error().message();
    EXPECT_EQ(*decoded, bytes);
  }
  std::string every_byte;
  for (int byte = 0; byte < 256; ++byte) every_byte += static_cast<char>(byte);
  EXPECT_EQ(*decode(base64_encode(every_byte)), every_byte);
}

// Every final group of two or three symbols, padded, is tried: exactly those without unused bits
// decode, and each re-encodes to the text it came from, so the decoder accepts the encoder's
// output and nothing else.
TEST(Base64Test, ShortFinalGroupsDecodeOnlyInCanonicalForm) {
  std::size_t accepted = 0;
  for (char a : kAlphabet) {
    for (char b : kAlphabet) {
      for (int third = -1; third < 64; ++third) {
        std::string text = {a, b, third < 0 ? '=' : kAlphabet[third], '='};
        Result<std::string> decoded = decode("AAAA" + text);
        const std::size_t last = third < 0 ? kAlphabet.find(b) : static_cast<std::size_t>(third);
        const bool canonical = (last & (third < 0 ? 15 : 3)) == 0;
        ASSERT_EQ(decoded.has_value(), canonical) << text;
        if (!canonical) continue;
        ++accepted;
        EXPECT_EQ(base64_encode(*decoded), "AAAA" + text);
      }
    }
  }
  EXPECT_EQ(accepted, 64u * 4 + 64u * 64 * 16);
}

}  // namespace
}  // namespace qlp
