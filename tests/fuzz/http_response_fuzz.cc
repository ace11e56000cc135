// http_response_fuzz - arbitrary received bytes through the HTTP client's
// answer framing, as still arriving and as closed. A crash is a finding,
// and so is a complete answer whose header or body lies outside the bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/http_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  for (const bool closed : {false, true}) {
    CTorvaneHTTPClient::Answer answer;
    if (CTorvaneHTTPClient::ExamineAnswer(raw, closed, &answer) != CTorvaneHTTPClient::AnswerState::kComplete) continue;
    if (answer.header_end + 4 > raw.size() || answer.body.size() > raw.size()) abort();
    if (answer.status < 0 || answer.status > 999) abort();
  }
  return 0;
}
