// admin_envelope_test - the remote-admin wire format, its answers and a full round trip.
#include "engines/admin_envelope.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Rows = std::vector<std::vector<std::string>>;

TEST(AdminEnvelope, FieldCodec) {
  const struct {
    const char* key;
    std::string value;
    const char* hex;
  } kCases[] = {
      // Key "ab": every third byte meets the zero byte and goes plain.
      {"ab", "xyz", "191b7a"},
      {"ab", "abcabc", "0000630000" "63"},  // a byte equal to its key byte is "00"
      {"", "A\x01", "4101"},
      {"k", std::string("\0\xff", 2), "6bff"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(EncodeField(c.key, c.value), c.hex) << c.value;
    std::string back;
    EXPECT_TRUE(DecodeField(c.key, c.hex, &back));
    EXPECT_EQ(back, c.value);
  }
  const struct {
    std::string hex;
    bool ok;
    const char* value;
  } kDecodes[] = {
      {"", true, ""},       {"7", true, ""},       {"191B7A", true, "xyz"},
      {"1a1", false, ""},   {"1g", false, ""},     {"1a 1", false, ""},
  };
  for (const auto& c : kDecodes) {
    std::string out = "stale";
    EXPECT_EQ(DecodeField("ab", c.hex, &out), c.ok) << c.hex;
    EXPECT_EQ(out, c.value) << c.hex;
  }
  std::string out;
  EXPECT_TRUE(DecodeField("", std::string(2 * (kMaxFieldBytes - 1), '0'), &out));
  EXPECT_EQ(out.size(), kMaxFieldBytes - 1);
  EXPECT_FALSE(DecodeField("", std::string(2 * kMaxFieldBytes, '0'), &out));
}

TEST(AdminEnvelope, RequestHeaderAndRows) {
  const std::string key = "secret";
  const std::string r1 = "<r1><c1>" + EncodeField(key, "a") + "</c1><c2>" + EncodeField(key, "bb") + "</c2></r1>";
  const std::string r2 = "<r2><c1>" + EncodeField(key, "c") + "</c1></r2>";
  const struct {
    const char* name;
    std::string message;
    int cmd;
    int cols;
    int rows;
    bool rows_ok;
    Rows got;
  } kCases[] = {
      {"in order", "<torvane><h><cmd>0007</cmd><kmd5>AbC</kmd5><c>2</c><r>2</r></h><b>" + r1 + r2 + "</b></torvane>", 7,
       2, 2, true, {{"a", "bb"}, {"c"}}},
      {"any order, no body wrapper", "<torvane><r>1</r><c>1</c><h><kmd5>AbC</kmd5><cmd>3</cmd></h>" + r1 + "</torvane>",
       3, 1, 1, true, {{"a"}}},
      {"forged counts read what is there", "<h><cmd>1</cmd><c>3</c><r>2147483647</r></h>" + r1 + r2, 1, 3,
       2147483647, true, {{"a", "bb"}, {"c"}}},
      {"column count wraps", "<cmd>1</cmd><c>32768</c><r>1</r>" + r1, 1, -32768, 1, true, {{}}},
      {"rows out of order stop", "<cmd>1</cmd><c>1</c><r>2</r>" + r2 + r1, 1, 1, 2, true, {{"a"}}},
      {"odd cell refused", "<cmd>1</cmd><c>1</c><r>1</r><r1><c1>abc</c1></r1>", 1, 1, 1, false, {}},
      {"missing tags read as zero", "<torvane></torvane>", 0, 0, 0, true, {}},
  };
  for (const auto& c : kCases) {
    CServerTorvaneRequest request;
    request.ReadHeader(c.message);
    EXPECT_EQ(request.GetCmd(), c.cmd) << c.name;
    EXPECT_EQ(request.GetColCount(), c.cols) << c.name;
    EXPECT_EQ(request.GetRecordCount(), c.rows) << c.name;
    EXPECT_EQ(request.ReadRows(c.message, key), c.rows_ok) << c.name;
    Rows got;
    while (const std::vector<std::string>* row = request.GetRow()) got.push_back(*row);
    EXPECT_EQ(got, c.got) << c.name;
  }
  CServerTorvaneRequest request;
  request.ReadHeader("<kmd5>AbC</kmd5>");
  EXPECT_EQ(request.kmd5(), "abc");
}

TEST(AdminEnvelope, AnswerForms) {
  CServerTorvaneRespose response("k");
  EXPECT_EQ(response.Build(12, 0), "<torvane><h><cmd>0012</cmd><c>-1</c><r>0</r><e>0000</e></h><b></b></torvane>");
  response.AddNew();
  EXPECT_TRUE(response.SetFieldAt(1, "x"));
  EXPECT_EQ(response.Build(1, 401), "<torvane><h><r>0</r><c>0</c><e>401</e></h></torvane>\r\n");
  EXPECT_EQ(response.GetRecordCount(), 0);
  EXPECT_FALSE(response.SetFieldAt(1, "no row yet"));
  response.AddNew();
  EXPECT_FALSE(response.SetFieldAt(0, "x"));
  EXPECT_TRUE(response.SetFieldAt(1, "a"));
  EXPECT_TRUE(response.SetFieldAt(3, "c"));  // after a gap: not sent
  response.AddNew();
  EXPECT_TRUE(response.SetFieldAt(2, "y"));  // no column 1: an empty row
  EXPECT_EQ(response.GetColCount(), 3);
  const std::string answer = response.Build(5, 2);
  EXPECT_EQ(answer, "<torvane><h><cmd>0005</cmd><c>0</c><r>2</r><e>0002</e></h><b><r1><c1>" + EncodeField("k", "a") +
                        "</c1></r1><r2></r2></b></torvane>");
  EXPECT_EQ(ShortErrorAnswer(300), "<torvane><h><r>0</r><c>0</c><e>300</e></h></torvane>\r\n");
}

TEST(AdminEnvelope, RoundTripSignedRequest) {
  const std::string key = "k3y";
  EnvelopeRows rows;
  rows.AddNew();
  rows.SetFieldAt(1, key, "alpha");
  rows.SetFieldAt(2, key, std::string("\0b", 2));
  const std::string message = BuildEnvelopeRequest(42, key, rows, 1700000000, "n1");
  CServerTorvaneRequest request;
  request.ReadHeader(message);
  EXPECT_TRUE(DigestMatches(request.kmd5(), KeyDigest(key)));
  EXPECT_FALSE(DigestMatches(request.kmd5(), KeyDigest("other")));
  EXPECT_FALSE(DigestMatches(request.kmd5().substr(1), KeyDigest(key)));
  ASSERT_TRUE(request.ReadRows(message, key));
  EXPECT_EQ(*request.GetRow(), (std::vector<std::string>{"alpha", std::string("\0b", 2)}));
  const std::string body(EnvelopeTag(message, "b"));
  EXPECT_EQ(request.mac(), RequestMac(key, request.cmd_text(), request.ts(), request.nonce(), body));
  EXPECT_NE(request.mac(), RequestMac(key, "0043", request.ts(), request.nonce(), body));
  EXPECT_NE(request.mac(), RequestMac("k3z", request.cmd_text(), request.ts(), request.nonce(), body));

  CServerTorvaneRespose response(key);
  response.AddNew();
  response.SetFieldAt(1, "one");
  response.AddNew();
  response.SetFieldAt(1, "two");
  response.SetFieldAt(2, "2");
  EnvelopeAnswer answer;
  ASSERT_TRUE(ParseEnvelopeAnswer(response.Build(42, 0), key, &answer));
  EXPECT_EQ(answer.cmd, 42);
  EXPECT_EQ(answer.rows, 2);
  EXPECT_EQ(answer.cols, 2);
  EXPECT_EQ(answer.data, (Rows{{"one"}, {"two", "2"}}));
  ASSERT_TRUE(ParseEnvelopeAnswer(ShortErrorAnswer(501), key, &answer));
  EXPECT_EQ(answer.error, 501);
  EXPECT_TRUE(answer.data.empty());
}

}  // namespace
