// admin_envelope_fuzz - peer bytes to the admin request and answer parsers: crash, extra rows or a bad round trip.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engines/admin_envelope.h"

namespace {

constexpr std::string_view kKey = "fz";

void CheckRows(std::string_view message, const std::vector<std::vector<std::string>>& rows) {
  if (rows.size() > message.size() / 9 + 1) __builtin_trap();  // "<r1></r1>" is the shortest row
  for (const auto& row : rows) {
    for (const std::string& value : row) {
      std::string back;
      if (!DecodeField(kKey, EncodeField(kKey, value), &back) || back != value) __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view message(reinterpret_cast<const char*>(data), size);
  CServerTorvaneRequest request;
  request.ReadHeader(message);
  if (request.ReadRows(message, kKey)) {
    std::vector<std::vector<std::string>> rows;
    while (const std::vector<std::string>* row = request.GetRow()) rows.push_back(*row);
    CheckRows(message, rows);
  }
  EnvelopeAnswer answer;
  if (ParseEnvelopeAnswer(message, kKey, &answer)) CheckRows(message, answer.data);
  return 0;
}
