// xml_parse_fuzz - bytes to the XML reader: a crash, a hang, an item without values or more than maxChild items.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engines/xml_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const int part_seek = data[0] % 11;  // 0 and 10 mean off
  const int max_child = data[1] % 8;   // 0 means no limit
  const bool filter = (data[2] & 1) != 0;
  const std::string_view text(reinterpret_cast<const char*>(data + 3), size - 3);
  XmlMemorySource source(text);
  CSimpleXMLParse parser;
  parser.SetPartSeek(part_seek);
  parser.SetMaxChild(max_child);
  const bool ok = parser.Load(&source, filter ? "a" : nullptr, filter ? "^[0-9]+$" : nullptr);
  if (!ok && parser.GetCountChild() != 0) __builtin_trap();
  if (max_child > 0 && parser.GetCountChild() > max_child) __builtin_trap();
  for (int i = 0; i < parser.GetCountChild(); ++i) {
    const CSimpleXMLItmesChild* item = parser.GetChild(i);
    if (item == nullptr || item->GetCount() == 0) __builtin_trap();
    if (filter && *item->GetValue("a") == '\0') __builtin_trap();
  }
  return 0;
}
