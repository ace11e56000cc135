// torvane-spf - asks the sender-policy engine about one client, as the
// gateway would, to debug a domain's policy. Prints the result word and
// code; --trace shows each term, lookup and answer, the counters against
// their limits and, for a strict Fail, its explanation.
//
//   torvane-spf [--config=PATH] [--app-path=DIR] [--strict|--no-strict]
//               [--no-cache] [--trace] ADDRESS SENDER [HELO]
//
// --config      the configuration (default /etc/torvane_antispam.conf when it
//               exists): name servers, "spf_max_recursion", "spf_strict",
//               the cache lifetime
// --app-path    the application directory whose db/spf.db result cache is
//               read and written (default: the configured "app_path"; with
//               neither, results are kept in memory only). Answers of name
//               servers are never taken from or written to the gateway's
//               DNS cache: the tool shows what DNS says now.
// --strict      RFC 7208 evaluation; --no-strict the default reading
// --no-cache    neither read nor write the result cache
// --trace       show how the result came about
//
// Exit status: 0 with a result, 1 when the configuration cannot be read,
// 2 on a usage error.
#include <cstdio>
#include <cstring>

#include "base/config.h"
#include "base/utility.h"
#include "engines/dns.h"
#include "engines/spf.h"

namespace {

constexpr const char* kDefaultConfig = "/etc/torvane_antispam.conf";

struct Options {
  const char* config_path = nullptr;
  const char* app_path = nullptr;
  int strict = -1;  // -1: as configured
  bool use_cache = true;
  bool trace = false;
  const char* arguments[3] = {nullptr, nullptr, nullptr};  // address, sender, HELO
  int argument_count = 0;
};

int Usage() {
  fprintf(stderr,
          "usage: torvane-spf [--config=PATH] [--app-path=DIR] [--strict|--no-strict] [--no-cache] [--trace]\n"
          "                   ADDRESS SENDER [HELO]\n");
  return 2;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (strcmp(arg, "--strict") == 0 || strcmp(arg, "--no-strict") == 0) {
      options->strict = strcmp(arg, "--strict") == 0 ? 1 : 0;
    } else if (strcmp(arg, "--no-cache") == 0) {
      options->use_cache = false;
    } else if (strcmp(arg, "--trace") == 0) {
      options->trace = true;
    } else if (const char* config = OptionValue(arg, "--config=")) {
      options->config_path = config;
    } else if (const char* app = OptionValue(arg, "--app-path=")) {
      options->app_path = app;
    } else if (strncmp(arg, "--", 2) != 0 && options->argument_count < 3) {
      options->arguments[options->argument_count++] = arg;
    } else {
      return false;
    }
  }
  return options->argument_count >= 2;
}

// Reads the configuration: the one named, else the default one when it
// exists, else the built-in defaults. False when a named file is unreadable.
bool ReadConfiguration(const Options& options, CConfig* config) {
  const char* path = options.config_path;
  if (path == nullptr && FileExists(kDefaultConfig)) path = kDefaultConfig;
  if (path != nullptr && !config->Load(path)) {
    fprintf(stderr, "torvane-spf: can't read configuration \"%s\"\n", path);
    return false;
  }
  config->ReadConfig();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return Usage();
  CConfig config;
  if (!ReadConfiguration(options, &config)) return 1;

  const char* app_path = options.app_path != nullptr ? options.app_path : config.app_path.GetData();
  const bool stored = app_path != nullptr && app_path[0] != '\0';
  if (stored) {
    SetAppPath(app_path);
    MakeAppDirectory("db");
  }
  CDns dns(DnsSettingsFromConfig(config), nullptr);
  CSPF spf(&dns, stored ? CSPF::kCacheFile : nullptr);
  spf.SetMaxRecursion(config.spf_max_recursion);
  spf.SetTimeOfValidityRecord(config.spf_cache_time, config.spf_cache_type);
  spf.SetStrict(options.strict < 0 ? config.spf_strict : options.strict == 1);

  SpfQueryOptions query;
  query.use_cache = options.use_cache;
  if (options.trace) query.trace = [](const String& line) { printf("  %s\n", line.GetData()); };
  const char* helo = options.arguments[2] != nullptr ? options.arguments[2] : "";
  const int32_t code = spf.GetSPFQuery(options.arguments[0], options.arguments[1], helo, query);
  printf("%s %d\n", CSPF::SPFResultString(code), code);
  if (stored && options.use_cache) spf.Save();
  return 0;
}
