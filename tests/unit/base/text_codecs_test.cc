// Tests of text_codecs: round trips, the single-pass decoders against the
// round-by-round rule they stand for, and hostile texts.
#include "base/text_codecs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/regex.h"
#include "base/string.h"

namespace {

TEST(TextCodecsTest, Base64RoundTripOfEveryByteValue) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  for (size_t n = 0; n <= all.size(); n += 17) {
    EXPECT_EQ(Base64Decode(Base64Encode(all.substr(0, n))), all.substr(0, n)) << n;
  }
}


TEST(TextCodecsTest, URLRoundTripOfEveryByteValue) {
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
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


// {=========== the rounds, done literally

// "While `pattern` matches: every copy of the first match becomes
// replacement(its inner group)", with String::Replace doing the copies.
// `pattern` is "(whole(inner))". Replacements are C strings, so a byte 0
// removes.
std::string ApplyRounds(std::string text, const char* pattern,
                        const std::function<std::string(const std::string&)>& replacement) {
  std::vector<std::string> groups;
  while (RegexMatch(pattern, 0, text.c_str(), text.size(), &groups)) {
    String value{std::string_view(text)};
    value.Replace(groups[0].c_str(), replacement(groups[1]).c_str());
    text = value.ToStdString();
  }
  return text;
}

std::string UrlRounds(std::string text) {
  for (char& c : text) {
    if (c == '+') c = ' ';
  }
  return ApplyRounds(text, "(%([a-fA-F0-9]{2,2}))", [](const std::string& hex) {
    return std::string(1, static_cast<char>(strtol(hex.c_str(), nullptr, 16)));
  });
}

std::string ReferenceRounds(const std::string& text) {
  return ApplyRounds(text, "(&#([0-9]{2,3});)", [](const std::string& digits) {
    const int code = atoi(digits.c_str());
    return code <= 255 ? std::string(1, static_cast<char>(code)) : std::string();
  });
}

// `count` random texts of up to 11 `pieces`, chosen so that escapes nest.
std::vector<std::string> RandomTexts(const std::vector<std::string>& pieces, int count) {
  std::mt19937 random(12345);
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i) {
    std::string text;
    const int length = static_cast<int>(random() % 12);
    for (int k = 0; k < length; ++k) text += pieces[random() % pieces.size()];
    texts.push_back(text);
  }
  return texts;
}

TEST(TextCodecsTest, URLDecodeEqualsTheRounds) {
  for (const std::string& text :
       RandomTexts({"%", "2", "5", "4", "1", "a", "F", "0", "+", "%25", "%4", "x"}, 5000)) {
    EXPECT_EQ(URLDecodeText(text), UrlRounds(text)) << text;
  }
}

TEST(TextCodecsTest, CharacterReferencesEqualTheRounds) {
  const std::vector<std::string> pieces = {"&", "#", ";",  "3",     "5",     "6",
                                           "0", "9", "&#", "&#38;", "&#35;", "&#59;"};
  for (const std::string& text : RandomTexts(pieces, 5000)) {
    EXPECT_EQ(DecodeCharacterReferences(text), ReferenceRounds(text)) << text;
  }
}

TEST(TextCodecsTest, StripTagsEqualsTheRounds) {
  const auto remove = [](const std::string&) { return std::string(); };
  for (const std::string& text :
       RandomTexts({"<", ">", "a", "b", "\n", "\r", "<a>", "<b", ">>", "<<", "\t", "<>"}, 5000)) {
    EXPECT_EQ(StripTags(text), ApplyRounds(text, "((<.+?>))", remove)) << text;
  }
}

// }===========

// {=========== hostile input

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

// }===========

}  // namespace
