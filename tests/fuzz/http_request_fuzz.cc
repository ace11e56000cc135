// http_request_fuzz - client streams to the request parser: a crash, loop, no progress or a refused path byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "admin/http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string inbox(bytes);
  HttpLimits limits;
  limits.max_post = 4096;
  for (int requests = 0; requests < 64; ++requests) {
    HttpRequest request;
    int status = 0;
    const size_t before = inbox.size();
    const HttpParse result = ParseHttpRequest(&inbox, limits, &request, &status);
    if (result != HttpParse::kComplete) break;
    if (inbox.size() >= before) __builtin_trap();
    for (char c : request.path) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '\\') __builtin_trap();
    }
    if (request.body.size() != request.content_length) __builtin_trap();
  }
  const size_t half = size / 2;
  HttpVariables vars;
  ParseCookies(bytes, &vars);
  ParseQueryString(bytes, &vars);
  ParseMultipart(bytes.substr(half), bytes.substr(0, half % 16), &vars);
  return 0;
}
