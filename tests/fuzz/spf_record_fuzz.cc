// spf_record_fuzz - hostile TXT records and answers through both SPF modes: a crash, hang or unknown result.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engines/spf.h"

namespace {

class InputDns : public DnsLookup {
 public:
  explicit InputDns(std::string_view input) : input_(input) {
    size_t start = 0;
    while (start <= input.size() && lines_.size() < kMaxLines) {
      const size_t end = input.find('\n', start);
      lines_.emplace_back(input.substr(start, end == std::string_view::npos ? input.npos : end - start));
      if (end == std::string_view::npos) break;
      start = end + 1;
    }
  }

  DnsStatus Lookup(const char* name, uint16_t type, int32_t, CArray<CDnsRES_RECORD::DnsRR>* records) override {
    records->RemoveAll();
    const size_t h = std::hash<std::string_view>{}(name) ^ type;
    const uint8_t byte = input_.empty() ? 0 : static_cast<uint8_t>(input_[h % input_.size()]);
    if (byte % 11 == 0) return DnsStatus::kServerFailure;
    if (byte % 13 == 0) return DnsStatus::kNameError;
    for (size_t i = 0; i < 1u + byte % 3u; ++i) {
      CDnsRES_RECORD::DnsRR rr;
      rr.type = type;
      const std::string& line = lines_[(h + i) % lines_.size()];
      if (type == kDnsTypeA) {
        rr.data = (byte & 1) ? ("192.0.2." + std::to_string((byte + i) % 4)).c_str() : line.c_str();
      } else if (type == kDnsTypeTXT) {
        rr.text = line.c_str();
        rr.data = rr.text;
      } else {
        rr.data = ("n" + std::to_string((h + i) % 5) + ".test").c_str();
      }
      records->Add(rr);
    }
    return DnsStatus::kAnswer;
  }

 private:
  static constexpr size_t kMaxLines = 64;
  std::string_view input_;
  std::vector<std::string> lines_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  InputDns dns(input);
  for (bool strict : {false, true}) {
    CSPF spf(&dns, nullptr);
    spf.SetStrict(strict);
    SpfQueryOptions options;
    options.use_cache = false;
    options.trace = [](const String&) {};
    const int32_t code = spf.GetSPFQuery("192.0.2.1", "User@Top.test", "helo.test", options);
    if (code < kSpfPass || code > kSpfPermError) __builtin_trap();
  }
  CSPF spf(&dns, nullptr);
  CSPF_Algo algo;
  algo.deadlineMs = INT64_MAX;
  const std::string text(input.substr(0, input.find('\n')));
  for (bool record_mode : {true, false}) {
    if (spf.macro(&algo, text.c_str(), "cur.test", record_mode).size() > CSPF::kMaxExpansionBytes) __builtin_trap();
  }
  return 0;
}
