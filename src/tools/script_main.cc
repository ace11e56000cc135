// torvane-script - runs a script file once, as a cron job would run it: builds
// the CS_CRON_SCRIPT host with the library classes, binds "$_this", compiles
// and calls int main(). Administrators use it to try a script before
// installing it. Diagnostics and the script's WriteLog records go to standard
// error. Exit status: main's result, or 1 after an error.
//
//   torvane-script [--config=PATH] [--app-path=DIR] [--disassemble] FILE.cs
//   torvane-script --antispam FILE.cs
//
// --config      the configuration GetConfig reads and the resolver and the
//               community client are built from (without it the DNS
//               functions answer "" and DCTest 0): DCTest("") tries the
//               configured key by hand
// --app-path    the application directory (RunScript looks in its
//               scripts/cron/; GetDBBayes opens the Bayes stores in its db/,
//               saved at the end unless the daemon holds them)
// --disassemble print the code listing instead of running main
// --antispam    only compile FILE.cs as an antispam script (its events need
//               a live SMTP session): prints "OK" or the errors
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/config.h"
#include "base/utility.h"
#include "engines/bayes_filter.h"
#include "engines/community_client.h"
#include "engines/dns.h"
#include "engines/mysql_connector.h"
#include "proxy/antispam_script.h"
#include "script/interpreter.h"
#include "scriptlib/cron_script.h"
#include "scriptlib/lib_dns.h"
#include "scriptlib/persistent_objects.h"

namespace {

class StderrLog : public ScriptLog {
 public:
  void Write(int, const char*, const char* text) override { fprintf(stderr, "%s\n", text); }
};

struct Options {
  bool disassemble = false;
  bool antispam = false;
  const char* config_path = nullptr;
  const char* app_path = nullptr;
  const char* script_path = nullptr;
};

int Usage() {
  fprintf(stderr,
          "usage: torvane-script [--config=PATH] [--app-path=DIR] [--disassemble] FILE.cs\n"
          "       torvane-script --antispam FILE.cs\n");
  return 2;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (strcmp(arg, "--disassemble") == 0) {
      options->disassemble = true;
    } else if (strcmp(arg, "--antispam") == 0) {
      options->antispam = true;
    } else if (const char* config = OptionValue(arg, "--config=")) {
      options->config_path = config;
    } else if (const char* app = OptionValue(arg, "--app-path=")) {
      options->app_path = app;
    } else if (options->script_path == nullptr && strncmp(arg, "--", 2) != 0) {
      options->script_path = arg;
    } else {
      return false;
    }
  }
  return options->script_path != nullptr;
}

// The script's WriteLog records, one line each.
void PrintLogRecords(CLogSimple& log) {
  log.Drain([](const CLogSimple::LogSimple_item& item) {
    fprintf(stderr, "%s %d %s: %s\n", item.type.GetData() ? item.type.GetData() : "", item.level,
            item.filename.GetData() ? item.filename.GetData() : "",
            item.entry.GetData() ? item.entry.GetData() : "");
  });
}

int Disassemble(Interpreter* in) {
  std::string listing = in->DisassemblyText();
  fwrite(listing.data(), 1, listing.size(), stdout);
  return 0;
}

// Compiles an antispam script the way a session worker does; 0 when it
// compiled, 1 after printing why not.
int CheckAntispamScript(const char* path) {
  CS_PROXY_ANTISPAM_INSTANCE instance;
  if (instance.CheckScript(path)) {
    printf("OK\n");
    return 0;
  }
  Interpreter* in = instance.slots().front().interpreter.get();
  fprintf(stderr, "%s\n", in != nullptr ? in->BuildAllLog() : "");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return Usage();
  if (options.app_path != nullptr) SetAppPath(options.app_path);
  if (options.antispam) return CheckAntispamScript(options.script_path);

  StderrLog diagnostics;
  CS_Torvane_kernel kernel;
  CronContext context;
  context.kernel = &kernel;
  context.diagnostics = &diagnostics;
  CConfig config;
  std::unique_ptr<CDns> dns;
  std::unique_ptr<CCommunityTorvane> community;
  if (options.config_path != nullptr) {
    if (!config.Load(options.config_path)) {
      fprintf(stderr, "torvane-script: can't read configuration \"%s\"\n", options.config_path);
      return 1;
    }
    config.ReadConfig();
    context.config = &config;
    dns = std::make_unique<CDns>(DnsSettingsFromConfig(config));
    context.dns = dns.get();
    SetScriptResolver(dns.get());  // the resolver CS_Dns objects use
    community = std::make_unique<CCommunityTorvane>(dns.get());
    community->ApplySettings(CommunitySettingsFromConfig(config));
    context.community = community.get();
  }

  // The Bayes engine, as the daemon's cron jobs see it; training is saved
  // at the end only when no daemon holds the stores.
  std::unique_ptr<CBayes> bayes;
  if (options.app_path != nullptr) {
    bayes = std::make_unique<CBayes>();
    bayes->TakeWriterLock();
    bayes->SuperLoad();
    if (context.config != nullptr) bayes->ApplySettings(BayesSettingsFromConfig(config));
    context.bayes = bayes.get();
  }
  // The rules and the phishing list of that application folder.
  std::unique_ptr<CRules> rules;
  std::unique_ptr<Cphishing> phishing;
  if (options.app_path != nullptr) {
    rules = std::make_unique<CRules>();
    if (rules->Open("db/rules.db") == 1) rules->Load();
    context.rules = rules.get();
    phishing = std::make_unique<Cphishing>(options.app_path);
    phishing->ReloadIfChanged();
    context.phishing = phishing.get();
  }

  CS_CRON_INSTANCE instance(context);
  if (!instance.InitScript(options.script_path)) return 1;
  if (options.disassemble) return Disassemble(instance.interpreter());
  if (!instance.interpreter()->isExist("main")) {
    fprintf(stderr, "torvane-script: %s has no int main()\n", options.script_path);
    return 1;
  }
  int result = 0;
  {
    ScriptDomainHolds holds;
    result = instance.interpreter()->run("main");
  }
  fflush(stdout);
  PrintLogRecords(instance.log());
  PrintLogRecords(MysqlConnectorLog());
  if (bayes != nullptr && bayes->HoldsWriterLock()) bayes->SaveAll();
  if (bayes != nullptr) PrintLogRecords(bayes->GetLog());
  if (rules != nullptr) PrintLogRecords(rules->GetLog());
  if (phishing != nullptr) PrintLogRecords(phishing->GetLog());
  return instance.interpreter()->BuildAllLog()[0] != '\0' ? 1 : result;
}
