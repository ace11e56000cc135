// dns_parser_test - the answer parser on hand-built sound and hostile messages.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engines/dns_record.h"
#include "engines/dns_wire.h"

namespace {

// Builds a DNS message byte by byte.
class Packet {
 public:
  // Header with ID 0x1234, QR set, one question and `answers` records.
  explicit Packet(uint16_t answers) {
    U16(0x1234);
    U16(0x8180);
    U16(1);
    U16(answers);
    U16(0);
    U16(0);
  }
  Packet& U8(uint8_t v) {
    bytes.push_back(v);
    return *this;
  }
  Packet& U16(uint16_t v) { return U8(static_cast<uint8_t>(v >> 8)).U8(static_cast<uint8_t>(v)); }
  Packet& U32(uint32_t v) { return U16(static_cast<uint16_t>(v >> 16)).U16(static_cast<uint16_t>(v)); }
  // Labels of a dotted name and the final zero.
  Packet& Name(const std::string& dotted) {
    size_t start = 0;
    while (start < dotted.size()) {
      size_t dot = dotted.find('.', start);
      if (dot == std::string::npos) dot = dotted.size();
      Label(dotted.substr(start, dot - start));
      start = dot + 1;
    }
    return U8(0);
  }
  Packet& Label(const std::string& text) {
    U8(static_cast<uint8_t>(text.size()));
    bytes.insert(bytes.end(), text.begin(), text.end());
    return *this;
  }
  Packet& Pointer(uint16_t offset) { return U16(static_cast<uint16_t>(0xC000 | offset)); }
  Packet& Question(const std::string& name, uint16_t type) { return Name(name).U16(type).U16(1); }
  // Type, class IN, TTL 300 and the data length; the owner name comes first.
  Packet& Fixed(uint16_t type, uint16_t rdlength) { return U16(type).U16(1).U32(300).U16(rdlength); }
  size_t size() const { return bytes.size(); }

  std::vector<uint8_t> bytes;
};

// Offset of the question name: right after the header.
constexpr uint16_t kQuestionOffset = 12;

struct Parsed {
  int result;
  std::vector<std::string> data;
};

Parsed Parse(const std::vector<uint8_t>& bytes, int capacity = 2048) {
  CDnsRES_RECORD record(capacity);
  record.Assign(bytes.data(), bytes.size());
  Parsed out{record.Elaborates(), {}};
  for (const auto& rr : record.GetAnswers()) out.data.emplace_back(rr.data.View());
  return out;
}

// ---- Sound answers -----------------------------------------------------------

TEST(DnsParserTest, DecodesEachKindOfRecord) {
  Packet p(6);
  p.Question("example.test", kDnsTypeA);
  p.Pointer(kQuestionOffset).Fixed(kDnsTypeA, 4).U8(192).U8(0).U8(2).U8(10);
  p.Pointer(kQuestionOffset).Fixed(kDnsTypeMX, 7).U16(10).Label("mx").Pointer(kQuestionOffset);
  p.Pointer(kQuestionOffset).Fixed(kDnsTypeNS, 6).Label("ns1").Pointer(kQuestionOffset);
  p.Pointer(kQuestionOffset).Fixed(kDnsTypeTXT, 12).Label("v=spf1 -all");
  p.Pointer(kQuestionOffset).Fixed(kDnsTypeTXT, 6).Label("ab").Label("cd");
  p.Pointer(kQuestionOffset).Fixed(kDnsTypeCNAME, 2).Pointer(kQuestionOffset);
  CDnsRES_RECORD record;
  record.Assign(p.bytes.data(), p.size());
  ASSERT_EQ(record.Elaborates(), 1);
  EXPECT_EQ(record.GetQuestionName(), "example.test");
  EXPECT_EQ(record.GetAnswersCount(), 6);
  const auto& rr = record.GetAnswers();
  ASSERT_EQ(rr.GetSize(), 6);
  EXPECT_EQ(rr[0].name, "example.test");
  EXPECT_EQ(rr[0].data, "192.0.2.10");
  EXPECT_EQ(rr[0].ttl, 300u);
  EXPECT_EQ(rr[0].rdlength, 4);
  EXPECT_EQ(rr[1].data, "mx.example.test");
  EXPECT_EQ(rr[1].preference, 10);
  EXPECT_EQ(rr[2].data, "ns1.example.test");
  EXPECT_EQ(rr[3].data, "v=spf1 -all");
  EXPECT_EQ(rr[4].data, "ab.cd");  // two strings joined by "."
  EXPECT_EQ(rr[5].data, "example.test");
}

TEST(DnsParserTest, FollowsAPointerAboveOffset255) {
  Packet p(2);
  p.Question("far.test", kDnsTypeMX);
  const std::string long_label(63, 'x');
  p.Pointer(kQuestionOffset).Fixed(kDnsTypeTXT, 4 * 64);
  for (int i = 0; i < 4; ++i) p.Label(long_label);
  const uint16_t suffix = static_cast<uint16_t>(p.size() + 12 + 2 + 3);  // where "deep.far.test" lands
  p.Pointer(kQuestionOffset).Fixed(kDnsTypeMX, 2 + 3 + 5 + 2).U16(5).Label("mx").Label("deep").Pointer(kQuestionOffset);
  ASSERT_GT(suffix, 255);
  Packet q = p;
  q.bytes[7] = 3;  // ANCOUNT: one more answer, pointing at the suffix
  q.Pointer(kQuestionOffset).Fixed(kDnsTypeNS, 5).Label("ns").Pointer(suffix);
  Parsed parsed = Parse(q.bytes);
  ASSERT_EQ(parsed.result, 1);
  ASSERT_EQ(parsed.data.size(), 3u);
  EXPECT_EQ(parsed.data[1], "mx.deep.far.test");
  EXPECT_EQ(parsed.data[2], "ns.deep.far.test");
}

TEST(DnsParserTest, NegativeAnswerParsesWithoutRecords) {
  Packet p(0);
  p.bytes[3] = 0x83;  // NXDOMAIN
  p.Question("missing.test", kDnsTypeA);
  Parsed parsed = Parse(p.bytes);
  EXPECT_EQ(parsed.result, 1);
  EXPECT_TRUE(parsed.data.empty());
}

TEST(DnsParserTest, AnnouncedAnswerCountIsCapped) {
  struct Case {
    uint16_t count;
    int result;
    size_t kept;
  };
  for (const Case& c : {Case{51, 1, 51}, Case{52, 0, 0}, Case{60, 0, 0}}) {
    Packet p(c.count);
    p.Question("many.test", kDnsTypeA);
    for (int i = 0; i < c.count; ++i) p.Pointer(kQuestionOffset).Fixed(kDnsTypeA, 4).U32(0x0A000000u + i);
    Parsed parsed = Parse(p.bytes);
    EXPECT_EQ(parsed.result, c.result) << c.count;
    EXPECT_EQ(parsed.data.size(), c.kept) << c.count;
  }
}

TEST(DnsParserTest, EmptyOrHeaderlessBuffersAreNoMessage) {
  EXPECT_EQ(Parse({}).result, 0);
  EXPECT_EQ(Parse(std::vector<uint8_t>(11, 0x11)).result, 0);
  Packet zero_id(1);
  zero_id.bytes[0] = zero_id.bytes[1] = 0;  // the mark of an empty buffer
  EXPECT_EQ(Parse(zero_id.bytes).result, 0);
}

TEST(DnsParserTest, CapacityBoundsWhatIsHeld) {
  Packet p(40);
  p.Question("big.test", kDnsTypeA);
  for (int i = 0; i < 40; ++i) p.Pointer(kQuestionOffset).Fixed(kDnsTypeA, 4).U32(0x0A000000u + i);
  ASSERT_GT(p.size(), 512u);
  CDnsRES_RECORD small(100);  // below the minimum: the default capacity
  EXPECT_EQ(small.GetLen(), CDnsRES_RECORD::kDefaultCapacity);
  Parsed cut = Parse(p.bytes, 512);  // what fits in 512 bytes, and no more
  EXPECT_EQ(cut.result, 1);
  EXPECT_EQ(cut.data.size(), (512u - 26u) / 16u);
}

// ---- Hostile answers -----------------------------------------------------------

// `answers` announced for "h.test", then what `records` appends; `data` survive.
struct HostileCase {
  const char* what;
  uint16_t answers;
  void (*records)(Packet&);
  std::vector<std::string> data;
};

TEST(DnsParserTest, HostileAnswersEndTheRecordNotTheProcess) {
  constexpr uint16_t q = kQuestionOffset;
  const HostileCase cases[] = {
      {"count larger than data", 3, [](Packet& p) { p.Pointer(q).Fixed(kDnsTypeA, 4).U32(0x01020304); }, {"1.2.3.4"}},
      {"rdlength past the end", 1, [](Packet& p) { p.Pointer(q).Fixed(kDnsTypeA, 400).U32(0x01020304); }, {}},
      {"looping pointers skip the record only", 2, [](Packet& p) {
         p.Pointer(q).Fixed(kDnsTypeCNAME, 4).Label("a");
         p.Pointer(static_cast<uint16_t>(p.size() - 2));  // "a" then back to "a": a loop
         p.Pointer(q).Fixed(kDnsTypeA, 4).U32(0x05060708);
       }, {"5.6.7.8"}},
      {"pointer outside the message", 1, [](Packet& p) { p.Pointer(q).Fixed(kDnsTypeCNAME, 2).Pointer(0x3FFF); }, {}},
      {"label past the data", 1, [](Packet& p) { p.Pointer(q).Fixed(kDnsTypeCNAME, 3).U8(40).U8('a').U8('b'); }, {}},
      {"name over 255 bytes", 1, [](Packet& p) {
         p.Pointer(q).Fixed(kDnsTypeCNAME, 5 * 64 + 1);
         for (int i = 0; i < 5; ++i) p.Label(std::string(63, 'n'));
         p.U8(0);
       }, {}},
      {"reserved label kind", 1, [](Packet& p) { p.Pointer(q).Fixed(kDnsTypeCNAME, 3).U8(0x40).U8('a').U8(0); }, {}},
      {"TXT string past its data", 1, [](Packet& p) { p.Pointer(q).Fixed(kDnsTypeTXT, 3).U8(9).U8('a').U8('b'); }, {}},
      {"address of the wrong size", 1, [](Packet& p) { p.Pointer(q).Fixed(kDnsTypeA, 5).U32(0x01020304).U8(9); }, {}},
      {"question count larger than data", 1, [](Packet& p) { p.bytes[5] = 200; }, {}},  // one of 200 present
  };
  for (const HostileCase& c : cases) {
    Packet p(c.answers);
    p.Question("h.test", kDnsTypeA);
    c.records(p);
    const Parsed parsed = Parse(p.bytes);
    EXPECT_EQ(parsed.result, 1) << c.what;
    EXPECT_EQ(parsed.data, c.data) << c.what;
  }
}

// Every prefix of a sound answer parses to a prefix of its records.
TEST(DnsParserTest, EveryTruncationKeepsOnlyWholeRecords) {
  Packet p(2);
  p.Question("cut.test", kDnsTypeMX);
  p.Pointer(kQuestionOffset).Fixed(kDnsTypeMX, 7).U16(10).Label("mx").Pointer(kQuestionOffset);
  p.Pointer(kQuestionOffset).Fixed(kDnsTypeMX, 8).U16(20).Label("mx2").Pointer(kQuestionOffset);
  for (size_t n = 0; n <= p.size(); ++n) {
    std::vector<uint8_t> prefix(p.bytes.begin(), p.bytes.begin() + static_cast<long>(n));
    Parsed parsed = Parse(prefix);
    const size_t expected = n == p.size() ? 2 : (n >= p.size() - 20 ? 1 : 0);
    EXPECT_EQ(parsed.data.size(), expected) << n;
    if (!parsed.data.empty()) {
      EXPECT_EQ(parsed.data[0], "mx.cut.test");
    }
  }
}

// ---- The cursor on its own -------------------------------------------------------

TEST(DnsCursorTest, NameStopsAtTheWindowButPointersReachTheMessage) {
  Packet p(0);
  p.Name("zone.test");
  const size_t start = p.size();
  p.Label("www").Pointer(kQuestionOffset);
  DnsCursor c(p.bytes.data(), p.size());
  ASSERT_TRUE(c.Skip(start));
  DnsCursor cut(nullptr, 0);
  ASSERT_TRUE(c.Window(5, &cut));  // the pointer's second byte is outside
  String name;
  EXPECT_FALSE(cut.Name(&name));
  EXPECT_EQ(cut.Offset(), start);

  DnsCursor whole(p.bytes.data(), p.size());
  ASSERT_TRUE(whole.Skip(start));
  ASSERT_TRUE(whole.Name(&name));
  EXPECT_EQ(name, "www.zone.test");
  EXPECT_EQ(whole.Remaining(), 0u);  // continues after the pointer
}

}  // namespace
