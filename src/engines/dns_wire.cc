// dns_wire - bounded reading of DNS messages, query building and answer
// matching.
#include "engines/dns_wire.h"

#include <sys/random.h>

#include <cstring>
#include <string_view>

namespace {

// The two top bits of a length byte: 00 a label, 11 a compression pointer.
constexpr uint8_t kPointerBits = 0xC0;
// Header flag bytes of a query: RD set in the first, nothing in the second.
constexpr uint8_t kQueryFlagsHigh = 0x01;
constexpr uint8_t kQueryFlagsLow = 0x00;
// QR bit of the first flag byte: set in every response.
constexpr uint8_t kResponseBit = 0x80;

void PutU16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}

uint8_t FoldCase(uint8_t c) { return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + 32) : c; }

}  // namespace

// ---- DnsCursor ---------------------------------------------------------------

DnsCursor::DnsCursor(const uint8_t* message, size_t length) : DnsCursor(message, length, 0, length) {}

DnsCursor::DnsCursor(const uint8_t* message, size_t length, size_t pos, size_t end)
    : message_(message), length_(length), pos_(pos), end_(end) {}

bool DnsCursor::U8(uint8_t* out) {
  if (Remaining() < 1) return false;
  *out = message_[pos_++];
  return true;
}

bool DnsCursor::U16(uint16_t* out) {
  if (Remaining() < 2) return false;
  *out = static_cast<uint16_t>(message_[pos_] << 8 | message_[pos_ + 1]);
  pos_ += 2;
  return true;
}

bool DnsCursor::U32(uint32_t* out) {
  if (Remaining() < 4) return false;
  const uint8_t* p = message_ + pos_;
  *out = static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
  pos_ += 4;
  return true;
}

bool DnsCursor::Bytes(size_t n, const uint8_t** out) {
  if (Remaining() < n) return false;
  *out = message_ + pos_;
  pos_ += n;
  return true;
}

bool DnsCursor::Skip(size_t n) {
  const uint8_t* unused;
  return Bytes(n, &unused);
}

bool DnsCursor::Window(size_t n, DnsCursor* out) {
  if (Remaining() < n) return false;
  *out = DnsCursor(message_, length_, pos_, pos_ + n);
  pos_ += n;
  return true;
}

// Walks the labels from the read position. `segment_start` is where the
// labels being read began: a pointer must lead strictly before it, so each
// jump lands earlier than the last and the walk cannot loop.
bool DnsCursor::Name(String* out) {
  *out = "";  // holds a buffer even for the root, so it compares as text
  size_t p = pos_;
  size_t limit = end_;
  size_t segment_start = pos_;
  size_t resume = 0;  // where the cursor continues: after the first pointer
  size_t wire_bytes = 1;  // the final zero
  int jumps = 0;
  for (;;) {
    if (p >= limit) return false;
    const uint8_t len = message_[p];
    if (len == 0) {
      if (resume == 0) resume = p + 1;
      break;
    }
    if ((len & kPointerBits) == kPointerBits) {
      if (p + 1 >= limit) return false;
      const size_t target = static_cast<size_t>(len & ~kPointerBits) << 8 | message_[p + 1];
      if (target >= segment_start || ++jumps > kDnsMaxCompressionJumps) return false;
      if (resume == 0) resume = p + 2;
      p = segment_start = target;
      limit = length_;
      continue;
    }
    if ((len & kPointerBits) != 0) return false;  // 01 and 10: reserved label kinds
    wire_bytes += 1 + len;
    if (wire_bytes > kDnsMaxNameBytes || len > limit - p - 1) return false;
    if (!out->IsEmpty()) out->append('.');
    out->append(reinterpret_cast<const char*>(message_ + p + 1), len);
    p += 1 + len;
  }
  pos_ = resume;
  return true;
}

// ---- CDnsBuffer ----------------------------------------------------------------

void CDnsBuffer::ResetBuffer(uint16_t id) {
  std::memset(bytes_, 0, sizeof bytes_);
  PutU16(bytes_, id);
  bytes_[2] = kQueryFlagsHigh;
  bytes_[3] = kQueryFlagsLow;
  PutU16(bytes_ + 4, 1);  // QDCOUNT
  size_ = kDnsHeaderBytes;
}

bool CDnsBuffer::PushQuery(const char* name, uint16_t type) {
  size_ = kDnsHeaderBytes;
  if (name == nullptr || name[0] == '\0') return false;
  std::string_view rest(name);
  if (rest.back() == '.') rest.remove_suffix(1);  // optional; "." leaves the root
  uint8_t* out = bytes_ + kDnsHeaderBytes;
  size_t wire_bytes = 1;  // the final zero
  while (!rest.empty()) {
    const size_t dot = rest.find('.');
    const std::string_view label = rest.substr(0, dot);
    wire_bytes += 1 + label.size();
    if (label.empty() || label.size() > kDnsMaxLabelBytes || wire_bytes > kDnsMaxNameBytes) return false;
    *out++ = static_cast<uint8_t>(label.size());
    std::memcpy(out, label.data(), label.size());
    out += label.size();
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);
    if (rest.empty()) return false;  // "a..": an empty last label
  }
  *out++ = 0;
  PutU16(out, type);
  PutU16(out + 2, kDnsClassIN);
  size_ = static_cast<size_t>(out + 4 - bytes_);
  return true;
}

// ---- Matching ------------------------------------------------------------------

bool IsAnswerTo(const CDnsBuffer& query, const uint8_t* answer, size_t n) {
  const size_t question_end = query.size();
  if (answer == nullptr || question_end <= kDnsHeaderBytes || n < question_end) return false;
  const uint8_t* q = query.data();
  if (answer[0] != q[0] || answer[1] != q[1]) return false;
  if ((answer[2] & kResponseBit) == 0) return false;
  if (answer[4] != 0 || answer[5] != 1) return false;  // QDCOUNT 1
  for (size_t i = kDnsHeaderBytes; i < question_end; ++i) {
    if (FoldCase(answer[i]) != FoldCase(q[i])) return false;
  }
  return true;
}

bool DrawQueryId(uint16_t* out) {
  uint16_t id = 0;
  for (int tries = 0; id == 0 && tries < 4; ++tries) {
    if (getrandom(&id, sizeof id, 0) != static_cast<ssize_t>(sizeof id)) return false;
  }
  if (id == 0) return false;
  *out = id;
  return true;
}
