// dns_record - CDnsRES_RECORD, one DNS answer: the raw bytes as received (or
// as cached) and the answer records decoded from them. Every DNS consumer
// (resolver, block lists, SPF, HELO checks) reads answers through it.
#ifndef TORVANE_ENGINES_DNS_RECORD_H_
#define TORVANE_ENGINES_DNS_RECORD_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/object_array.h"
#include "base/string.h"

// Not thread-safe: each query owns its own.
class CDnsRES_RECORD {
 public:
  // One decoded answer record.
  struct DnsRR {
    String name;
    uint16_t type = 0;
    uint16_t rclass = 0;
    uint32_t ttl = 0;
    uint16_t rdlength = 0;
    // The value as text: A as "a.b.c.d"; NS, CNAME, PTR and other types as a
    // name; MX as the exchange name; TXT as its strings joined by ".".
    String data;
    // TXT only: its strings joined with nothing, the record's text as a
    // sender policy reads it (a policy split into 255-byte strings is
    // whole again).
    String text;
    uint16_t preference = 0;  // MX only
  };

  // Smallest buffer given: a classic UDP answer fits.
  static constexpr int kMinCapacity = 512;
  // Buffer used when a smaller capacity is asked for.
  static constexpr int kDefaultCapacity = 2048;
  // Most answer records a message may announce; more fails the parse, which
  // caps the work one hostile answer can cause.
  static constexpr uint16_t kMaxAnswers = 51;

  // A zeroed buffer of `capacity` bytes, or kDefaultCapacity when `capacity`
  // is below kMinCapacity.
  explicit CDnsRES_RECORD(int capacity = kDefaultCapacity);
  CDnsRES_RECORD(const CDnsRES_RECORD&) = delete;
  CDnsRES_RECORD& operator=(const CDnsRES_RECORD&) = delete;

  // Decodes the answer section of the held bytes into GetAnswers(). Returns 0
  // when the held bytes are no message (fewer than a header, or a zero first
  // word - the mark of an empty buffer) or announce more than kMaxAnswers
  // records; else 1, with every record that decoded within the held bytes.
  // A record whose fixed fields or data run past the end stops the parse; one
  // whose data does not decode (a bad name, a short address) is skipped.
  uint8_t Elaborates();

  // Writable buffer of GetLen() bytes, for a read from the network; call
  // SetReceived afterwards.
  uint8_t* GetBuffer() { return buffer_.get(); }
  // The capacity.
  int GetLen() const { return capacity_; }
  // Declares how many bytes the buffer holds (clamped to 0..GetLen()).
  void SetReceived(int n);
  int GetReceived() const { return received_; }
  // Holds a copy of the first min(n, GetLen()) bytes of `data` (a cached
  // answer, a captured datagram); answers are dropped until Elaborates.
  void Assign(const void* data, size_t n);
  // Zeroes the buffer and drops the answers and the question.
  void Restart();

  // ANCOUNT of the held header; 0 without a header.
  int GetAnswersCount() const;
  // RCODE of the held header (kDnsRcode*); -1 without a header.
  int GetRcode() const;
  // True when the held header has TC set: the server cut the answer.
  bool IsTruncated() const;
  // The records decoded by the last Elaborates.
  const CArray<DnsRR>& GetAnswers() const { return answers_; }
  // The question name read by the last Elaborates ("" when none).
  const String& GetQuestionName() const { return qname_; }

 private:
  std::unique_ptr<uint8_t[]> buffer_;  // capacity_ + 1 bytes, owned
  int capacity_;
  int received_ = 0;
  CArray<DnsRR> answers_;
  String qname_;
};

#endif  // TORVANE_ENGINES_DNS_RECORD_H_
