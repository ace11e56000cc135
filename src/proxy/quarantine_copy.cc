// quarantine_copy - copying a message for its quarantine filings until its
// end is read (see quarantine_copy.h).
#include "proxy/quarantine_copy.h"

#include <algorithm>
#include <utility>

#include "base/xml_log.h"
#include "engines/bayes_filter.h"
#include "proxy/relay_rules.h"

void QuarantineCopy::Request(Filing filing, std::string_view received, bool chunked) {
  if (filings_.empty()) {
    Clear();
    chunked_ = chunked;
    Keep(received);
  }
  filings_.push_back(std::move(filing));
}

void QuarantineCopy::Append(std::string_view data) {
  if (!filings_.empty()) Keep(data);
}

void QuarantineCopy::Keep(std::string_view data) {
  const size_t room = kMaxBytes - data_.size();
  if (data.size() > room) cut_ = true;
  data_.append(data.data(), std::min(room, data.size()));
}

int QuarantineCopy::File(CBayes* bayes, CStatitiche_Day* stats, CLogSimple* log, int connection_id) {
  int result = 0;
  if (bayes != nullptr && !filings_.empty()) {
    const std::string message = chunked_ ? std::move(data_) : UnstuffedMessage(data_);
    if (cut_ && log != nullptr) {
      String line;
      line.Format("Quarantined message cut to its first %zu bytes", message.size());
      log->LogS(kLogError, line, "quarantine", "QuarantineCopy::File", log_type::kSys, connection_id);
    }
    for (const Filing& filing : filings_) {
      result = bayes->AddQuarantena(message, filing.subject, filing.first.c_str(), filing.second.c_str(),
                                    filing.code, stats);
    }
  }
  Clear();
  return result;
}

void QuarantineCopy::Clear() {
  filings_.clear();
  data_.clear();
  data_.shrink_to_fit();
  cut_ = false;
}
