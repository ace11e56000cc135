// MD5Hex and CMD5Stream: hex digests, null input and stream restarts.
#include "base/md5.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// From the test suite of RFC 1321, appendix A.5: the digest itself is
// OpenSSL's; these show our hex form and the empty input.
const struct Digest {
  const char* input;
  const char* hex;
} kRfc1321Suite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
};

// Null input is the empty digest.
TEST(MD5Test, OneShotMatchesTheRfcSuite) {
  for (const Digest& d : kRfc1321Suite) {
    EXPECT_STREQ(MD5Hex(d.input).GetData(), d.hex) << d.input;
    const std::string bytes = d.input;
    EXPECT_STREQ(MD5Hex(bytes.data(), bytes.size()).GetData(), d.hex) << d.input;
  }
  EXPECT_STREQ(MD5Hex(static_cast<const char*>(nullptr)).GetData(), kRfc1321Suite[0].hex);
  EXPECT_STREQ(MD5Hex(nullptr, 0).GetData(), kRfc1321Suite[0].hex);
}

TEST(MD5Test, StreamRestartsAfterFinal) {
  CMD5Stream stream;
  stream.Update("a", 1);
  EXPECT_STREQ(stream.FinalHex().GetData(), "0cc175b9c0f1b6a831c399e269772661");
  stream.Update("abc", 3);  // a fresh digest, not "a" + "abc"
  EXPECT_STREQ(stream.FinalHex().GetData(), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_STREQ(stream.FinalHex().GetData(), kRfc1321Suite[0].hex);
  stream.Start();
  stream.Update("ab", 2);
  stream.Start();  // discards "ab"
  stream.Update(nullptr, 0);
  EXPECT_STREQ(stream.FinalHex().GetData(), kRfc1321Suite[0].hex);
}

}  // namespace
