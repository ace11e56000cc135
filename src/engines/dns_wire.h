// dns_wire - the DNS wire format shared by the resolver and the block-list
// engine: record types, the bounded cursor every answer is read with (names
// with compression included), CDnsBuffer, the query message, and the test
// that tells a genuine answer to a query from a stray or forged datagram.
#ifndef TORVANE_ENGINES_DNS_WIRE_H_
#define TORVANE_ENGINES_DNS_WIRE_H_

#include <cstddef>
#include <cstdint>

#include "base/string.h"

// Record types the gateway asks for or decodes.
enum DnsType : uint16_t {
  kDnsTypeA = 1,
  kDnsTypeNS = 2,
  kDnsTypeCNAME = 5,
  kDnsTypePTR = 12,
  kDnsTypeMX = 15,
  kDnsTypeTXT = 16,
};

// Response codes (RCODE, the low four bits of the fourth header byte).
enum DnsRcode : int {
  kDnsRcodeNoError = 0,
  kDnsRcodeServFail = 2,
  kDnsRcodeNxDomain = 3,
  kDnsRcodeRefused = 5,
};
constexpr uint8_t kDnsRcodeMask = 0x0F;
// TC bit of the third header byte: the answer did not fit a datagram.
constexpr uint8_t kDnsTruncatedBit = 0x02;

constexpr uint16_t kDnsClassIN = 1;  // the only class asked for
constexpr uint16_t kDnsPort = 53;    // where every name server listens
// Largest message: the two-byte length in front of a TCP message bounds it.
constexpr size_t kDnsMaxMessageBytes = 65535;
// Fixed header in front of every message.
constexpr size_t kDnsHeaderBytes = 12;
// Longest name on the wire, length bytes and the final zero included.
constexpr size_t kDnsMaxNameBytes = 255;
// Longest label; the two top bits of a length byte mark compression.
constexpr size_t kDnsMaxLabelBytes = 63;
// Jumps one name may take: a name that fits kDnsMaxNameBytes has at most 127
// labels, so a sane compressor never needs more.
constexpr int kDnsMaxCompressionJumps = 127;

// Read-only view of one DNS message with a read position and a window end.
// Every read that would pass the window returns false and leaves the cursor
// where it was. Compression pointers may reach anywhere before the window in
// the whole message, never beyond it.
class DnsCursor {
 public:
  // The whole message [message, message + length), positioned at 0.
  DnsCursor(const uint8_t* message, size_t length);

  bool U8(uint8_t* out);
  bool U16(uint16_t* out);  // big-endian
  bool U32(uint32_t* out);  // big-endian
  // Points `out` at the next n bytes (inside the message) and moves past them.
  bool Bytes(size_t n, const uint8_t** out);
  bool Skip(size_t n);

  // A cursor over the next n bytes of this one (same message, so pointers
  // still resolve), and moves this one past them. False when fewer remain.
  bool Window(size_t n, DnsCursor* out);

  // Reads a domain name in label form - compressed or not - and moves past
  // it; `out` gets the labels joined by "." with no trailing dot ("" for the
  // root). False (cursor unmoved, `out` undefined) when a label passes the
  // window, a pointer does not point strictly before the labels that hold it
  // (which also rules out loops), or the name exceeds kDnsMaxNameBytes.
  bool Name(String* out);

  size_t Offset() const { return pos_; }
  size_t Remaining() const { return end_ - pos_; }

 private:
  DnsCursor(const uint8_t* message, size_t length, size_t pos, size_t end);

  const uint8_t* message_;  // not owned; outlives the cursor
  size_t length_;           // of the whole message
  size_t pos_;
  size_t end_;              // window end, <= length_
};

// One query message with room for the longest legal name.
// Not thread-safe: each query builds its own.
class CDnsBuffer {
 public:
  // Header, the longest name and the type and class fields.
  static constexpr size_t kCapacity = 272;

  CDnsBuffer() { ResetBuffer(0); }

  // Starts a query with this ID: recursion desired, one question, no
  // records; any pushed question is dropped.
  void ResetBuffer(uint16_t id);
  // Appends the question for `name` (a trailing "." is optional; "." alone is
  // the root) with class IN. False, leaving no question, for a null or empty
  // name, an empty label (".."), a label over kDnsMaxLabelBytes or a name over
  // kDnsMaxNameBytes: such names cannot be sent.
  bool PushQuery(const char* name, uint16_t type);

  const uint8_t* data() const { return bytes_; }
  // Bytes to send: the header alone until a question is pushed.
  size_t size() const { return size_; }
  uint16_t id() const { return static_cast<uint16_t>(bytes_[0] << 8 | bytes_[1]); }

 private:
  uint8_t bytes_[kCapacity];
  size_t size_ = kDnsHeaderBytes;
};

// True when `answer` (n bytes) is the response to `query`: same ID, the QR
// bit set, one question, and the question repeated byte for byte (letters in
// either case). Anything else is to be ignored as stray or forged.
bool IsAnswerTo(const CDnsBuffer& query, const uint8_t* answer, size_t n);

// Draws a query ID from the kernel's random source; never 0, since a
// message whose first word is 0 counts as empty. False when the source
// fails, which leaves no unpredictable ID to send with.
bool DrawQueryId(uint16_t* out);

#endif  // TORVANE_ENGINES_DNS_WIRE_H_
