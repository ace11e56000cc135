// Tests of text_codecs: round trips, the single-pass decoders' results, and hostile texts.
#include "base/text_codecs.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

namespace {

TEST(TextCodecsTest, Base64AndURLRoundTripsOfEveryByteValue) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  for (size_t n = 0; n <= all.size(); n += 17) {
    EXPECT_EQ(Base64Decode(Base64Encode(all.substr(0, n))), all.substr(0, n)) << n;
  }
  EXPECT_EQ(URLDecodeText(URLEncodeText(all)), all);
}

TEST(TextCodecsTest, HtmlEntityRoundTripOfEveryTableByte) {
  // Each byte that has a row: encoding gives an entity, decoding gives the
  // byte back - except the space, whose entity "&nbsp;" decodes to 0xA0
  // (the earlier row of that entity).
  std::set<unsigned char> table_bytes = {' ', '/', '=', '"', '<', '>'};
  for (int b = 0x80; b <= 0xFF; ++b) {
    if (EncodeHtmlEntities(std::string(1, static_cast<char>(b))).size() > 1) table_bytes.insert(b);
  }
  for (const unsigned char b : table_bytes) {
    const std::string byte(1, static_cast<char>(b));
    const std::string entity = EncodeHtmlEntities(byte);
    ASSERT_EQ(entity.front(), '&') << int(b);
    ASSERT_EQ(entity.back(), ';') << int(b);
    EXPECT_EQ(DecodeHtmlEntities(entity), b == ' ' ? std::string("\xa0") : byte) << entity;
  }
}

// Each decoder gives what repeating its rule until nothing matches gives: every copy of the first match replaced
// (percent escapes, "&#NN;"/"&#NNN;" references, "<...>" tags within a line), escapes that form new ones included.
TEST(TextCodecsTest, DecodersFollowTheRepeatedRounds) {
  const struct {
    std::string (*decode)(std::string_view);
    const char* text;
    const char* expected;
  } cases[] = {
      {URLDecodeText, "%2541%25", "A%"},
      {URLDecodeText, "%252541", "A"},
      {URLDecodeText, "%2B+%4", "+ %4"},
      {DecodeCharacterReferences, "&#38;#38;#35;;", "#;"},
      {DecodeCharacterReferences, "&&#35;35;", "#"},
      {DecodeCharacterReferences, "&#300;x&#3;&#0938;", "x&#3;&#0938;"},
      {StripTags, "<<a>b>c", "b>c"},
      {StripTags, "a<b<c>>d", "a>d"},
      {StripTags, "<>x<b>y", "y"},
      {StripTags, "<a\n>x<\r>z", "<a\n>xz"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.decode(c.text), c.expected) << c.text;
}

// Large enough that a decoder quadratic in its input would run for minutes
// (and meet the test time-out); the decoders are linear.
constexpr size_t kHostileBytes = 1 << 20;

std::string Repeat(const std::string& piece, size_t bytes) {
  std::string out;
  while (out.size() < bytes) out += piece;
  return out;
}

// "<0>x<1>x<2>x..." of at least `bytes` bytes; *count = the number of tags.
std::string DistinctTags(size_t bytes, size_t* count) {
  std::string out;
  for (*count = 0; out.size() < bytes; ++*count) out += "<" + std::to_string(*count) + ">x";
  return out;
}

TEST(TextCodecsTest, HostileTextsOfAMegabyte) {
  std::string nested_refs;  // "&&&...#35;54;54;..." : a new reference per step
  const size_t depth = kHostileBytes / 8;
  nested_refs.append(depth, '&');
  nested_refs += "#35;";
  for (size_t i = 1; i < depth; ++i) nested_refs += "35;";
  size_t tag_count = 0;
  const std::string distinct_tags = DistinctTags(kHostileBytes, &tag_count);
  const struct {
    const char* name;
    std::function<std::string(const std::string&)> decode;
    std::string input;
  } cases[] = {
      {"percent nesting", URLDecodeText, "%" + Repeat("25", kHostileBytes)},
      {"nested references", DecodeCharacterReferences, nested_refs},
      {"entities", DecodeHtmlEntities, Repeat("&lt;&zz;&", kHostileBytes)},
      {"distinct tags", StripTags, distinct_tags},
      {"open brackets with line ends", StripTags, Repeat("<a\n", kHostileBytes)},
      {"nested tags", StripTags, Repeat("<", kHostileBytes / 2) + Repeat("a>", kHostileBytes / 2)},
  };
  for (const auto& t : cases) EXPECT_LE(t.decode(t.input).size(), t.input.size()) << t.name;
}

TEST(TextCodecsTest, HostileResultsAreStillRight) {
  EXPECT_EQ(URLDecodeText(Repeat("%25", 3000)), std::string(1000, '%'));
  // "%" then "25" x n: each round turns "%25" into a '%' that meets the next
  // "25", so n rounds leave one '%'.
  EXPECT_EQ(URLDecodeText("%" + Repeat("25", 2000)), "%");
  EXPECT_EQ(URLDecodeText(std::string(500, '%') + Repeat("25", 1000)), std::string(500, '%'));
  std::string nested = std::string(100, '&') + "#35;";
  for (int i = 1; i < 100; ++i) nested += "35;";
  EXPECT_EQ(DecodeCharacterReferences(nested), "#");
  // Past the rescanning budget the rest goes in one pass, with the same
  // result on ordinary tags.
  size_t count = 0;
  const std::string many_tags = DistinctTags(kHostileBytes, &count);
  EXPECT_TRUE(StripTags(many_tags) == std::string(count, 'x'));
  std::string tags;
  for (int i = 0; i < 5000; ++i) tags += "<t" + std::to_string(i % 7) + ">" + "x";
  EXPECT_EQ(StripTags(tags), std::string(5000, 'x'));
}

}  // namespace
