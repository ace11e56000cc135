// dns_record - decoding of DNS answers with a bounded cursor: nothing is read
// outside the bytes held, whatever the message announces.
#include "engines/dns_record.h"

#include <algorithm>
#include <cstring>

#include "engines/dns_wire.h"

namespace {

using DnsRR = CDnsRES_RECORD::DnsRR;

// Bytes of an A record's data.
constexpr uint16_t kAddressBytes = 4;

enum class RecordRead {
  kDecoded,      // a record to keep
  kUndecodable,  // fixed fields sound, data not: skip it and go on
  kTruncated,    // the record runs past the message: nothing after it is reliable
};

bool DecodeAddress(DnsCursor rdata, String* out) {
  const uint8_t* a;
  if (rdata.Remaining() != kAddressBytes || !rdata.Bytes(kAddressBytes, &a)) return false;
  out->Format("%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
  return true;
}

// TXT data is a run of length-prefixed strings: `dotted` gets them joined
// by ".", `joined` with nothing between them.
bool DecodeStrings(DnsCursor rdata, String* dotted, String* joined) {
  *dotted = "";
  *joined = "";
  bool first = true;
  while (rdata.Remaining() > 0) {
    uint8_t len;
    const uint8_t* text;
    if (!rdata.U8(&len) || !rdata.Bytes(len, &text)) return false;
    if (!first) dotted->append('.');
    dotted->append(reinterpret_cast<const char*>(text), len);
    joined->append(reinterpret_cast<const char*>(text), len);
    first = false;
  }
  return true;
}

bool DecodeData(DnsCursor rdata, DnsRR* rr) {
  switch (rr->type) {
    case kDnsTypeA:
      return DecodeAddress(rdata, &rr->data);
    case kDnsTypeMX:
      return rdata.U16(&rr->preference) && rdata.Name(&rr->data);
    case kDnsTypeTXT:
      return DecodeStrings(rdata, &rr->data, &rr->text);
    default:  // NS, CNAME, PTR, and any other type shown by its leading name
      return rdata.Name(&rr->data);
  }
}

RecordRead ReadRecord(DnsCursor* msg, DnsRR* rr) {
  DnsCursor rdata(nullptr, 0);
  if (!msg->Name(&rr->name) || !msg->U16(&rr->type) || !msg->U16(&rr->rclass) || !msg->U32(&rr->ttl) ||
      !msg->U16(&rr->rdlength) || !msg->Window(rr->rdlength, &rdata)) {
    return RecordRead::kTruncated;
  }
  return DecodeData(rdata, rr) ? RecordRead::kDecoded : RecordRead::kUndecodable;
}

}  // namespace

CDnsRES_RECORD::CDnsRES_RECORD(int capacity)
    : capacity_(capacity >= kMinCapacity ? capacity : kDefaultCapacity) {
  buffer_ = std::make_unique<uint8_t[]>(static_cast<size_t>(capacity_) + 1);  // zeroed
}

void CDnsRES_RECORD::SetReceived(int n) { received_ = std::clamp(n, 0, capacity_); }

void CDnsRES_RECORD::Assign(const void* data, size_t n) {
  Restart();
  if (data == nullptr) return;
  const size_t kept = std::min(n, static_cast<size_t>(capacity_));
  std::memcpy(buffer_.get(), data, kept);
  received_ = static_cast<int>(kept);
}

void CDnsRES_RECORD::Restart() {
  std::memset(buffer_.get(), 0, static_cast<size_t>(capacity_) + 1);
  received_ = 0;
  answers_.RemoveAll();
  qname_ = "";
}

int CDnsRES_RECORD::GetAnswersCount() const {
  if (received_ < static_cast<int>(kDnsHeaderBytes)) return 0;
  return buffer_[6] << 8 | buffer_[7];
}

int CDnsRES_RECORD::GetRcode() const {
  if (received_ < static_cast<int>(kDnsHeaderBytes)) return -1;
  return buffer_[3] & kDnsRcodeMask;
}

bool CDnsRES_RECORD::IsTruncated() const {
  return received_ >= static_cast<int>(kDnsHeaderBytes) && (buffer_[2] & kDnsTruncatedBit) != 0;
}

uint8_t CDnsRES_RECORD::Elaborates() {
  answers_.RemoveAll();
  qname_ = "";
  DnsCursor msg(buffer_.get(), static_cast<size_t>(received_));
  uint16_t id, flags, qdcount, ancount;
  if (!msg.U16(&id) || !msg.U16(&flags) || !msg.U16(&qdcount) || !msg.U16(&ancount) ||
      !msg.Skip(kDnsHeaderBytes - 8)) {
    return 0;
  }
  if (id == 0 || ancount > kMaxAnswers) return 0;

  for (uint16_t q = 0; q < qdcount; ++q) {
    String name;
    if (!msg.Name(&name) || !msg.Skip(4)) return 1;  // type and class
    if (q == 0) qname_ = name;
  }
  for (uint16_t i = 0; i < ancount; ++i) {
    DnsRR rr;
    const RecordRead read = ReadRecord(&msg, &rr);
    if (read == RecordRead::kTruncated) break;
    if (read == RecordRead::kDecoded) answers_.Add(rr);
  }
  return 1;
}
