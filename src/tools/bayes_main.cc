// torvane-bayes - trains and queries the Bayes filter's stores by hand, the
// way the daemon reads mail: each message file is cut to the prefix a
// session analyses, parsed and tokenised for both tables.
//
//   torvane-bayes [--config=PATH] [--app-path=DIR] train [--spam DIR] [--ham DIR]
//   torvane-bayes [--config=PATH] [--app-path=DIR] classify FILE...
//   torvane-bayes [--config=PATH] [--app-path=DIR] stats
//
// --config    the configuration: its BAYES section chooses the method and
//             cutoffs, its app_path the stores (defaults without it)
// --app-path  the application directory holding db/ (default: app_path of
//             the configuration, else the working directory)
// train       one message per regular file of each DIR; saves the stores.
//             Needs the stores' writer lock (db/bayes.lock): refused while
//             the daemon runs on the same directory
// classify    prints "PATH CODE SCORE" per file: code 1 spam, 2 ham, 3
//             unsure, 4 not trained enough; score 0 (ham) .. 1 (spam)
// stats       what the stores hold
// Exit status 0, 1 after an error, 2 for a usage error.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/config.h"
#include "base/utility.h"
#include "engines/bayes_filter.h"
#include "proxy/smtp_session.h"

namespace {

struct Options {
  const char* config_path = nullptr;
  const char* app_path = nullptr;
  std::string command;
  std::vector<std::string> spam_dirs, ham_dirs, files;
};

int Usage() {
  fprintf(stderr,
          "usage: torvane-bayes [--config=PATH] [--app-path=DIR] train [--spam DIR] [--ham DIR]\n"
          "       torvane-bayes [--config=PATH] [--app-path=DIR] classify FILE...\n"
          "       torvane-bayes [--config=PATH] [--app-path=DIR] stats\n");
  return 2;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (const char* config = OptionValue(arg, "--config=")) {
      options->config_path = config;
    } else if (const char* app = OptionValue(arg, "--app-path=")) {
      options->app_path = app;
    } else if (options->command.empty()) {
      options->command = arg;
    } else if (options->command == "train" && (strcmp(arg, "--spam") == 0 || strcmp(arg, "--ham") == 0)) {
      if (i + 1 >= argc) return false;
      (strcmp(arg, "--spam") == 0 ? options->spam_dirs : options->ham_dirs).push_back(argv[++i]);
    } else if (options->command == "classify" && strncmp(arg, "--", 2) != 0) {
      options->files.push_back(arg);
    } else {
      return false;
    }
  }
  if (options->command == "train") return !options->spam_dirs.empty() || !options->ham_dirs.empty();
  if (options->command == "classify") return !options->files.empty();
  return options->command == "stats";
}

// The message in `path` as a session would analyse it. False when the file
// cannot be read.
bool ReadMessage(const std::string& path, CParseMail* mail) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::string prefix(SmtpSession::kAnalysedBytes, '\0');
  prefix.resize(fread(prefix.data(), 1, prefix.size(), file));
  const bool failed = ferror(file) != 0;
  fclose(file);
  mail->Clear();
  mail->AddStreaming(prefix);
  mail->Parse();
  return !failed;
}

// The regular files of `dir`, sorted; false when it cannot be read.
bool ListFiles(const std::string& dir, std::vector<std::string>* files) {
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) return false;
  while (const dirent* entry = readdir(handle)) {
    const std::string path = dir + "/" + entry->d_name;
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) files->push_back(path);
  }
  closedir(handle);
  std::sort(files->begin(), files->end());
  return true;
}

void PrintLog(CLogSimple& log) {
  log.Drain([](const CLogSimple::LogSimple_item& item) {
    fprintf(stderr, "torvane-bayes: %s\n", item.entry.GetData() != nullptr ? item.entry.GetData() : "");
  });
}

int Train(CBayes* bayes, const Options& options) {
  if (!bayes->TakeWriterLock()) {
    PrintLog(bayes->GetLog());
    fprintf(stderr,
            "torvane-bayes: another process holds %s in this application directory (the daemon?): "
            "nothing trained. Stop it, or train through its scripts.\n",
            CBayes::kLockFile);
    return 1;
  }
  int counts[2] = {0, 0};
  CParseMail mail;
  CBayesWord words;
  for (int ham = 0; ham < 2; ++ham) {
    for (const std::string& dir : ham ? options.ham_dirs : options.spam_dirs) {
      std::vector<std::string> files;
      if (!ListFiles(dir, &files)) {
        fprintf(stderr, "torvane-bayes: can't read folder %s\n", dir.c_str());
        return 1;
      }
      for (const std::string& path : files) {
        if (!ReadMessage(path, &mail) || words.Elaborate(&mail) == 0) continue;
        bayes->PopolateDB(&words, ham ? CBayes::kHam : CBayes::kSpam);
        ++counts[ham];
      }
    }
  }
  if (!bayes->SaveAll()) {
    PrintLog(bayes->GetLog());
    fprintf(stderr, "torvane-bayes: saving the stores failed\n");
    return 1;
  }
  printf("trained %d spam and %d ham messages\n", counts[0], counts[1]);
  return 0;
}

// The verdict's score in [0, 1]: the token score, or for the word counters
// the spam share of the known evidence.
double Score(const CBayes& bayes, const CBayes_res& res) {
  if (bayes.method() == 1) return res.pSpam;
  const double evidence = static_cast<double>(res.pSpam) + res.pHam;
  return evidence > 0 ? res.pSpam / evidence : 0.5;
}

int Classify(CBayes* bayes, const Options& options) {
  int status = 0;
  CParseMail mail;
  CBayesWord words;
  for (const std::string& path : options.files) {
    if (!ReadMessage(path, &mail)) {
      fprintf(stderr, "torvane-bayes: can't read %s\n", path.c_str());
      status = 1;
      continue;
    }
    bayes->ElaborateForVerdict(&words, &mail);
    CBayes_res res;
    const int code = bayes->IsSpam(&words, &res);
    printf("%s %d %.6f\n", path.c_str(), code, Score(*bayes, res));
  }
  return status;
}

int Stats(CBayes* bayes) {
  int32_t spam = 0, ham = 0;
  bayes->tokens()->Totals(&spam, &ham);
  printf("method %d\n", bayes->method());
  printf("token table: %d tokens, %d spam and %d ham messages trained\n",
         std::max(0, bayes->tokens()->GetRealRecordCount() - 1), spam, ham);
  printf("word table: %d words, spam %d, ham %d, neutral %d\n", bayes->GetRealRecordCount(),
         bayes->GetWordsCount("spam"), bayes->GetWordsCount("ham"), bayes->GetWordsCount("neutral"));
  for (const char* name : {"SPAM", "HAM", "NEUTRAL", "LEARN"}) {
    printf("quarantine %s: %d messages\n", name, bayes->GetDBRam(name)->GetRealRecordCount());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return Usage();
  CConfig config;
  if (options.config_path != nullptr && !config.Load(options.config_path)) {
    fprintf(stderr, "torvane-bayes: can't read configuration \"%s\"\n", options.config_path);
    return 1;
  }
  config.ReadConfig();
  if (options.app_path != nullptr) {
    SetAppPath(options.app_path);
  } else if (!config.app_path.IsEmpty()) {
    SetAppPath(config.app_path.GetData());
  }
  String db;
  MakeAppPath(&db, "db");
  MakeAppDirectory("db");

  CBayes bayes;
  if (bayes.SuperLoad() != 1) {
    fprintf(stderr, "torvane-bayes: can't open the stores under %s\n", db.GetData());
    return 1;
  }
  bayes.ApplySettings(BayesSettingsFromConfig(config));
  if (options.command == "train") return Train(&bayes, options);
  if (options.command == "classify") return Classify(&bayes, options);
  return Stats(&bayes);
}
