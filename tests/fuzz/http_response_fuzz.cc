// http_response_fuzz - bytes through the HTTP client's framing: a crash, or header or body outside the bytes.
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
