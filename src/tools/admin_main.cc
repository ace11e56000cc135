// torvane-admin - runs one remote-admin command of a running gateway and
// prints its answer, one row per line with tab-separated fields (or JSON).
//
//   torvane-admin [--host=H] [--port=P] [--config=PATH | --key-file=F]
//                 [--timeout=SECONDS] [--json] COMMAND [ARG...]
//   torvane-admin ... call N [FIELD...]
//
// COMMAND is a name the gateway's command 0 lists ("list" shows them); its
// ARGs travel as the fields of one row. `call N` sends command number N.
// The key never comes from the command line, where ps would show it: it is
// read from --key-file, else the environment's TORVANE_ADMIN_KEY, else
// READMIN "key" of the configuration (default /etc/torvane_antispam.conf),
// which also gives the port. Requests are always signed, so servers asking
// for signatures accept them.
//
// In TSV output a tab, line break or backslash inside a field is written
// as \t, \n or \\.
//
// Exit status: 0 answered without error; 1 answered with an error code
// (printed on standard error); 2 the gateway closed without answering (a
// wrong key, say); 3 unreachable or timed out; 4 a usage or local error.
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/ini_file.h"
#include "base/socket.h"
#include "base/utility.h"
#include "engines/admin_envelope.h"

namespace {

constexpr const char* kDefaultConfig = "/etc/torvane_antispam.conf";
constexpr int kDefaultPort = 33;
constexpr int kDefaultTimeoutSeconds = 30;
// Longest answer read.
constexpr size_t kMaxAnswerBytes = 256u << 20;
// The command that lists the others: rows of (number, name, usage).
constexpr int kListCommand = 0;

enum ExitCode { kDone = 0, kAnswerError = 1, kUnanswered = 2, kUnreachable = 3, kLocalError = 4 };

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string config;
  std::string key_file;
  int timeout_seconds = kDefaultTimeoutSeconds;
  bool json = false;
  std::vector<std::string> words;  // the command and its arguments
};

int Usage() {
  fprintf(stderr,
          "usage: torvane-admin [--host=H] [--port=P] [--config=PATH|--key-file=F] [--timeout=S] [--json]\n"
          "                     COMMAND [ARG...] | call N [FIELD...] | list\n");
  return kLocalError;
}

const char* OptionValue(const char* arg, const char* prefix) {
  const size_t length = strlen(prefix);
  return strncmp(arg, prefix, length) == 0 ? arg + length : nullptr;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const char* value = nullptr;
    if (!options->words.empty()) {
      options->words.emplace_back(arg);
    } else if ((value = OptionValue(arg, "--host="))) {
      options->host = value;
    } else if ((value = OptionValue(arg, "--port="))) {
      options->port = atoi(value);
    } else if ((value = OptionValue(arg, "--config="))) {
      options->config = value;
    } else if ((value = OptionValue(arg, "--key-file="))) {
      options->key_file = value;
    } else if ((value = OptionValue(arg, "--timeout="))) {
      options->timeout_seconds = atoi(value);
    } else if (strcmp(arg, "--json") == 0) {
      options->json = true;
    } else if (strncmp(arg, "--", 2) == 0) {
      return false;
    } else {
      options->words.emplace_back(arg);
    }
  }
  return !options->words.empty() && options->timeout_seconds > 0;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && strchr(" \t\r\n", text.back()) != nullptr) text.pop_back();
  return text;
}

// The key and, when none was given, the port. False with a message when no
// key can be found.
bool FindKey(Options* options, std::string* key) {
  if (!options->key_file.empty()) {
    FILE* file = fopen(options->key_file.c_str(), "rb");
    char buffer[1024] = {0};
    const size_t got = file != nullptr ? fread(buffer, 1, sizeof buffer - 1, file) : 0;
    if (file != nullptr) fclose(file);
    *key = Trimmed(std::string(buffer, got));
  } else if (const char* env = getenv("TORVANE_ADMIN_KEY")) {
    *key = env;
  }
  const std::string config = options->config.empty() ? kDefaultConfig : options->config;
  CFileINI ini;
  const bool have_config = (key->empty() || options->port == 0) && ini.Load(config.c_str());
  if (have_config) {
    String value;
    if (key->empty() && ini.FindValue("READMIN", "key", &value)) *key = value.GetData();
    if (options->port == 0) options->port = ini.GetInt("READMIN", "port", kDefaultPort);
  }
  if (options->port == 0) options->port = kDefaultPort;
  if (key->empty()) fprintf(stderr, "torvane-admin: no key (--key-file, TORVANE_ADMIN_KEY or --config)\n");
  return !key->empty();
}

// One exchange on a fresh connection.
int Exchange(const Options& options, const std::string& key, int cmd, const std::vector<std::string>& fields,
             EnvelopeAnswer* answer) {
  CSocketComm socket;
  const std::string port = std::to_string(options.port);
  // A loopback server is reached from 127.0.0.1; others from this host's address.
  const bool loopback = options.host == "localhost" || options.host.rfind("127.", 0) == 0;
  if (!socket.ConnectTo(options.host.c_str(), port.c_str(), AF_INET, SOCK_STREAM, loopback ? "127.0.0.1" : nullptr)) {
    fprintf(stderr, "torvane-admin: cannot connect to %s port %d\n", options.host.c_str(), options.port);
    return kUnreachable;
  }
  EnvelopeRows rows;
  if (!fields.empty()) {
    rows.AddNew();
    for (size_t i = 0; i < fields.size(); ++i) rows.SetFieldAt(static_cast<int>(i + 1), key, fields[i]);
  }
  const std::string request = BuildEnvelopeRequest(cmd, key, rows, static_cast<long>(time(nullptr)), NewNonce());
  const int total_ms = options.timeout_seconds * 1000;
  switch (ExchangeEnvelope(&socket, request, key, total_ms, total_ms, kMaxAnswerBytes, answer)) {
    case ExchangeResult::kAnswered:
      return answer->error == 0 ? kDone : kAnswerError;
    case ExchangeResult::kTimedOut:
      fprintf(stderr, "torvane-admin: no answer within %d s\n", options.timeout_seconds);
      return kUnreachable;
    case ExchangeResult::kBadAnswer:
    case ExchangeResult::kClosed:
      break;
  }
  fprintf(stderr, "torvane-admin: the gateway closed the connection without an answer (wrong key?)\n");
  return kUnanswered;
}

void PrintEscaped(const std::string& field, bool json) {
  for (unsigned char c : field) {
    if (c == '\\') {
      fputs("\\\\", stdout);
    } else if (c == '\t') {
      fputs("\\t", stdout);
    } else if (c == '\n') {
      fputs("\\n", stdout);
    } else if (json && c == '"') {
      fputs("\\\"", stdout);
    } else if (json && (c < 0x20 || c >= 0x7f)) {
      printf("\\u%04x", c);
    } else {
      putchar(c);
    }
  }
}

void PrintRows(const EnvelopeAnswer& answer, bool json) {
  if (json) putchar('[');
  for (size_t r = 0; r < answer.data.size(); ++r) {
    if (json) fputs(r == 0 ? "[" : ",[", stdout);
    for (size_t f = 0; f < answer.data[r].size(); ++f) {
      if (f > 0) putchar(json ? ',' : '\t');
      if (json) putchar('"');
      PrintEscaped(answer.data[r][f], json);
      if (json) putchar('"');
    }
    if (json) putchar(']');
    if (!json) putchar('\n');
  }
  if (json) puts("]");
}

// The number of the command named `name`, from command 0's list; -1 when
// it is unknown, with the exit code in `status`.
int CommandNumber(const Options& options, const std::string& key, const std::string& name, int* status) {
  EnvelopeAnswer list;
  *status = Exchange(options, key, kListCommand, {}, &list);
  if (*status != kDone) return -1;
  for (const std::vector<std::string>& row : list.data) {
    if (row.size() >= 2 && row[1] == name) return atoi(row[0].c_str());
  }
  fprintf(stderr, "torvane-admin: unknown command \"%s\" (\"list\" shows them)\n", name.c_str());
  *status = kLocalError;
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) return Usage();
  std::string key;
  if (!InitCSocketComm() || !FindKey(&options, &key)) return kLocalError;
  const std::string& verb = options.words[0];
  std::vector<std::string> fields(options.words.begin() + 1, options.words.end());
  int cmd = kListCommand;
  if (verb == "call") {
    if (fields.empty()) return Usage();
    cmd = atoi(fields[0].c_str());
    fields.erase(fields.begin());
  } else if (verb != "list") {
    int status = kDone;
    cmd = CommandNumber(options, key, verb, &status);
    if (cmd < 0) return status;
  }
  EnvelopeAnswer answer;
  const int status = Exchange(options, key, cmd, fields, &answer);
  if (status == kDone || status == kAnswerError) PrintRows(answer, options.json);
  if (status == kAnswerError) fprintf(stderr, "torvane-admin: the gateway answered error %d\n", answer.error);
  return status;
}
