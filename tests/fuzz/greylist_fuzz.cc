// greylist_fuzz - envelopes into greylist and white list: a crash, not one 3-field triple each, an unlearned pair.
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/utility.h"
#include "engines/auto_white_list.h"
#include "engines/greylist.h"

namespace {

// Records a store holds before it is emptied (a cap would drop records a check expects).
constexpr int32_t kMaxRecords = 2000;

// A new directory made the application path, before the engines open files.
const char* TemporaryAppPath(char* pattern) {
  const char* directory = mkdtemp(pattern);
  if (directory == nullptr) abort();
  SetAppPath(directory);
  return directory;
}

// The engines, on a private application directory removed at exit.
struct Engines {
  Engines() { grey_list.SetTimeOfImbargo(0, 1); }
  ~Engines() { std::filesystem::remove_all(directory, ignored); }
  char pattern[40] = "/tmp/torvane_greylist_fuzzXXXXXX";
  const char* directory = TemporaryAppPath(pattern);
  std::error_code ignored;
  CGreyList grey_list;
  CAutoLightWhiteList alwl;
};

std::string Key(const std::string& address) { return LowerCase(WithoutBounceTag(WithoutControlBytes(address))); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Engines engines;
  for (CDB_RAM* store : {static_cast<CDB_RAM*>(&engines.grey_list), static_cast<CDB_RAM*>(&engines.alwl)}) {
    if (store->GetRealRecordCount() > kMaxRecords) store->Reset();
  }
  std::vector<std::string> p(5);  // recipients, client, sender, substitute, host name
  for (size_t i = 0, part = 0; i < size && part < p.size(); ++i) {
    if (data[i] == 0xFF) ++part;
    else if (data[i] != 0) p[part].push_back(static_cast<char>(data[i]));
  }
  String out;
  const std::string triples(engines.grey_list.PrepareTriples(&out, p[0].c_str(), p[1].c_str(), p[2].c_str(),
                                                             p[3].c_str(), p[4].c_str()));
  const std::vector<std::string_view> list = SplitWords(triples, CGreyList::kTripleSeparator);
  if (list.size() != SplitWords(p[0], ' ').size()) __builtin_trap();
  for (std::string_view triple : list) {
    if (std::count(triple.begin(), triple.end(), BoundedStore::kFieldSeparator) != 2) __builtin_trap();
  }
  engines.grey_list.AddGreyList(triples.c_str(), nullptr);
  engines.grey_list.ByPassGreyList(triples.c_str(), nullptr);
  engines.grey_list.AzzeraMoltiplicatore(triples.c_str());

  engines.alwl.AddALWL(p[1].c_str(), p[2].c_str());
  for (std::string_view word : SplitWords(p[2], ' ')) {
    const std::string external(word);
    const bool learned = !p[1].empty() && p[1].size() <= BoundedStore::kMaxAddressBytes &&
                         external.size() <= BoundedStore::kMaxAddressBytes && Key(external) != Key(p[1]);
    if (learned && engines.alwl.IsALWL(external.c_str(), p[1].c_str()) != 1) __builtin_trap();
  }
  engines.alwl.IsALWL(p[3].c_str(), p[4].c_str());
  return 0;
}
