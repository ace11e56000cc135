// quarantine_copy - the whole message for the quarantine filings a script
// asks for while the message is still arriving. The scripts analyse a
// message once its first bytes (the data limit) are in, usually before its
// end has been read, so a filing asked for then cannot be written yet: the
// first filing copies what the session holds of the message, every later
// piece is appended, and the filings are written once the end is read. A
// message no script asks to quarantine is never copied.
#ifndef TORVANE_PROXY_QUARANTINE_COPY_H_
#define TORVANE_PROXY_QUARANTINE_COPY_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class CBayes;
class CLogSimple;
class CStatitiche_Day;

// Not thread-safe: one per session, used on the worker's thread.
class QuarantineCopy {
 public:
  // Message data kept at most: the message size limit MTAs commonly ship
  // with, and within what CParseMail reads back from a quarantine file. A
  // larger message is filed cut to this (logged).
  static constexpr size_t kMaxBytes = 10 << 20;

  struct Filing {
    std::string first;    // the index record's texts
    std::string second;
    std::string subject;
    int code = 0;         // the quarantine (see CBayes::AddQuarantena)
  };

  // Adds `filing` for the current message, whose data read so far is
  // `received`: BDAT data as it is when `chunked`, else DATA's dot-stuffed
  // form. The first filing of a message copies it.
  void Request(Filing filing, std::string_view received, bool chunked);
  bool pending() const { return !filings_.empty(); }
  // Appends the message's next data; nothing without a filing.
  void Append(std::string_view data);
  // Files the message, as its sender wrote it, in the quarantine of every
  // filing, then forgets them. The result of the last (as
  // CBayes::AddQuarantena); 0 without a filing or an engine. A cut copy
  // is logged into `log` (may be null) under `connection_id`.
  int File(CBayes* bayes, CStatitiche_Day* stats, CLogSimple* log, int connection_id);
  // Forgets the copy and its filings: the message never ended.
  void Clear();

 private:
  // Appends `data` up to kMaxBytes in all.
  void Keep(std::string_view data);

  std::vector<Filing> filings_;
  std::string data_;  // the message data, as received, up to kMaxBytes
  bool chunked_ = false;
  bool cut_ = false;  // data_ lost bytes to kMaxBytes
};

#endif  // TORVANE_PROXY_QUARANTINE_COPY_H_
