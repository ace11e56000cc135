// dns_answer_fuzz - hostile bytes to the DNS answer parser and matching: an out-of-bounds read, loop or crash.
#include <cstddef>
#include <cstdint>

#include "engines/dns_record.h"
#include "engines/dns_wire.h"

namespace {

// Longest name text: the wire limit less the first length byte and the final zero.
constexpr size_t kMaxNameText = kDnsMaxNameBytes - 2;

// What every decoded answer must satisfy, however hostile the message.
bool Sound(const CDnsRES_RECORD& record) {
  if (record.GetAnswers().GetSize() > CDnsRES_RECORD::kMaxAnswers) return false;
  if (record.GetQuestionName().View().size() > kMaxNameText) return false;
  for (const auto& rr : record.GetAnswers()) {
    const size_t data_limit = rr.rdlength > kMaxNameText ? rr.rdlength : kMaxNameText;
    if (rr.name.View().size() > kMaxNameText || rr.data.View().size() > data_limit) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The resolver's smallest and default answer buffers: a clamped and a whole message.
  for (int capacity : {CDnsRES_RECORD::kMinCapacity, CDnsRES_RECORD::kDefaultCapacity}) {
    CDnsRES_RECORD record(capacity);
    record.Assign(data, size);
    if (record.Elaborates() == 1 && !Sound(record)) __builtin_trap();
  }
  CDnsBuffer query;
  query.ResetBuffer(static_cast<uint16_t>(size > 1 ? data[0] << 8 | data[1] : 1));
  query.PushQuery("mail.example.test", kDnsTypeMX);
  IsAnswerTo(query, data, size);
  return 0;
}
