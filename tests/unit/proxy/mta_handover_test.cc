// What the MTA is told about the client: trace header, XCLIENT, the grown BDAT line.
#include "proxy/mta_handover.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// 2026-12-07 05:04:03 UTC, a Monday.
constexpr time_t kWhen = 1796619843;

ClientHop Hop(std::string_view helo, std::string_view reverse_name) {
  return {.helo = helo, .address = "192.0.2.7", .reverse_name = reverse_name, .protocol = "ESMTP", .by = "gw.example",
          .id = "65A-3", .when = kWhen};
}

TEST(TraceHeaderTest, ClientNamesCannotBreakTheHeader) {
  struct Case {
    std::string helo, reverse_name, from;
  } cases[] = {
      {"mail.example.com", "mx.example.com", "from mail.example.com (mx.example.com [192.0.2.7])"},
      {"", "", "from unknown (unknown [192.0.2.7])"},
      {"[192.0.2.7]", "", "from [192.0.2.7] (unknown [192.0.2.7])"},
      {"a(b)c;d\\e f", "x)\r\nBcc: y", "from a?b?c?d?e?f (x???Bcc:?y [192.0.2.7])"},
      {std::string(300, 'h'), "", "from " + std::string(253, 'h') + " (unknown [192.0.2.7])"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TraceHeader(Hop(c.helo, c.reverse_name)),
              "Received: " + c.from + "\r\n\tby gw.example (Torvane Antispam) with ESMTP id 65A-3;\r\n"
              "\tMon, 07 Dec 2026 05:04:03 +0000\r\n")
        << c.helo;
  }
}

TEST(TraceHeaderTest, ProtocolNames) {
  EXPECT_EQ(HopProtocol(false, false, false), "SMTP");
  EXPECT_EQ(HopProtocol(true, false, false), "ESMTP");
  EXPECT_EQ(HopProtocol(true, true, false), "ESMTPS");
  EXPECT_EQ(HopProtocol(true, true, true), "ESMTPSA");
  EXPECT_EQ(HopProtocol(true, false, true), "ESMTPA");
}

TEST(XclientTest, ValuesAreXtextAndMissingOnesUnavailable) {
  EXPECT_EQ(XclientCommand(Hop("mail.example.com", "mx.example.com"), true),
            "XCLIENT ADDR=192.0.2.7 NAME=mx.example.com HELO=mail.example.com PROTO=ESMTP\r\n");
  EXPECT_EQ(XclientCommand(Hop("a b+c=d\x01", ""), false),
            "XCLIENT ADDR=192.0.2.7 NAME=[UNAVAILABLE] HELO=a+20b+2Bc+3Dd+01 PROTO=SMTP\r\n");
  EXPECT_EQ(XclientCommand(Hop(std::string(100, ' '), ""), true),
            "XCLIENT ADDR=192.0.2.7 NAME=[UNAVAILABLE] HELO=[UNAVAILABLE] PROTO=ESMTP\r\n");
}

TEST(GrownBdatLineTest, SizeGrowsAndTheRestStays) {
  struct Case {
    const char* line;
    int64_t extra;
    const char* grown;
  } cases[] = {
      {"BDAT 100 LAST\r\n", 20, "BDAT 120 LAST\r\n"},
      {"bdat 0\r\n", 5, "BDAT 5\r\n"},
      {"BDAT 2147483600\r\n", 47, "BDAT 2147483647\r\n"},
      {"BDAT 2147483600\r\n", 48, ""},
      {"BDAT x\r\n", 5, ""},
      {"DATA\r\n", 5, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(GrownBdatLine(c.line, c.extra), c.grown) << c.line;
}

}  // namespace
