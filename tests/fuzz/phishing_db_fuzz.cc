// phishing_db_fuzz - list texts downloaded, loaded and checked as messages: a crash or a hang is a finding.
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "engines/phishing.h"

namespace {

constexpr char kMessage[] =
    "From: a@far.example\r\nSubject: your bank.example account\r\nContent-Type: text/html\r\n\r\n"
    "<a href=\"http://192.0.2.1/x\">www.bank.example</a> https://bank.example.evil.example/\r\n";

// The engine, on a private application directory removed at exit.
struct Engine {
  Engine() { std::filesystem::create_directories(directory + "/db"); }
  ~Engine() { std::filesystem::remove_all(directory, ignored); }
  std::string directory = MakeDirectory();
  std::error_code ignored;
  Cphishing phishing{directory.c_str()};

  static std::string MakeDirectory() {
    char pattern[] = "/tmp/torvane_phishing_fuzzXXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    return pattern;
  }
};

void Check(Cphishing& phishing, const std::string& raw) {
  CParseMail mail;
  mail.LoadMail(raw.c_str());
  mail.Parse();
  String fake;
  phishing.IsPhishing(&mail, &fake, kSpfNone, "a@far.example");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Engine engine;
  const std::string text(reinterpret_cast<const char*>(data), size);
  engine.phishing.MergeDownload(text);
  Check(engine.phishing, kMessage);
  std::ofstream(engine.directory + "/db/phishing.db", std::ios::binary | std::ios::trunc) << text;
  if (engine.phishing.ReloadDefaultDb()) engine.phishing.LoadDB();
  Check(engine.phishing, kMessage);
  Check(engine.phishing, text.c_str());
  return 0;
}
