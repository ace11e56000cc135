// spf - the engine: the result cache, the lookups, and the default mode's
// reading of a policy with its macros. Strict mode is in spf_strict.cc.
#include "engines/spf.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "base/md5.h"
#include "base/utility.h"
#include "engines/spf_strict.h"

namespace {

constexpr char kSource[] = "spf";
constexpr char kInterpreterRoutine[] = "CSPF::Interpreter";

// Separates the parts of a cache key, as in every multi-field value.
constexpr char kFieldSeparator = '\x02';
// Bytes of a cached result: the code, signed 32-bit little-endian.
constexpr int32_t kCachedValueBytes = 4;
// Digits of a prefix length in "a/N", "mx/N" and "ptr/N".
constexpr size_t kMaxPrefixDigits = 2;
// Bits of an IPv4 address.
constexpr int kAddressBits = 32;

// Delimiters a macro may name; "." when it names none.
constexpr std::string_view kMacroDelimiters = ".-+,/_=";
constexpr std::string_view kMacroLetters = "slodipvhct";

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

String Lowered(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return String(std::string_view(lower));
}

String LoweredTrimmed(const String& text) {
  String out = Lowered(text.View());
  out.Trim();
  return out;
}

bool IsDigits(std::string_view text, size_t max_digits) {
  return !text.empty() && text.size() <= max_digits &&
         std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// Four groups of 1 to 3 digits joined by dots, nothing else.
bool LooksLikeAddress(std::string_view text) {
  int groups = 0;
  size_t start = 0;
  for (;;) {
    const size_t dot = text.find('.', start);
    const std::string_view group = text.substr(start, dot == std::string_view::npos ? text.npos : dot - start);
    if (!IsDigits(group, 3)) return false;
    if (++groups == 4) return dot == std::string_view::npos;
    if (dot == std::string_view::npos) return false;
    start = dot + 1;
  }
}

// Appends `item` to the "|" list `list`.
void AppendToList(String* list, const String& item) {
  if (item.IsEmpty()) return;
  if (!list->IsEmpty()) list->append('|');
  list->append(item);
}

// The "|"-separated entries of `list`, empty ones left out.
CArray<String> SplitList(std::string_view list) {
  CArray<String> items;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t bar = list.find('|', start);
    const std::string_view item = list.substr(start, bar == std::string_view::npos ? list.npos : bar - start);
    if (!item.empty()) items.Add(String(item));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  return items;
}

// The prefix length N of "ADDRESS/N" (1 or 2 digits), clamped to 0..32.
int ClampedPrefix(std::string_view digits) { return std::min(std::stoi(std::string(digits)), kAddressBits); }

// The split of a default-mode term: mechanism and argument.
struct TermParts {
  String mechanism;
  String argument;
  bool has_argument = false;
};

// A term "NAME:ARG", "NAME=ARG" or "NAME|ARG" splits at the first such sign
// that has something on both sides; "a/N", "mx/N" and "ptr/N" carry their
// prefix as the argument; anything else is a mechanism alone.
TermParts SplitTerm(std::string_view term) {
  TermParts parts;
  for (size_t i = 1; i + 1 < term.size(); ++i) {
    if (term[i] == ':' || term[i] == '=' || term[i] == '|') {
      parts.mechanism = Lowered(term.substr(0, i));
      parts.argument = String(term.substr(i + 1));
      parts.has_argument = true;
      return parts;
    }
  }
  const size_t slash = term.find('/');
  if (slash != std::string_view::npos && IsDigits(term.substr(slash + 1), kMaxPrefixDigits)) {
    const std::string_view name = term.substr(0, slash);
    if (name == "a" || name == "mx" || name == "ptr") {
      parts.mechanism = String(name);
      parts.argument = String(term.substr(slash + 1));
      parts.has_argument = true;
      return parts;
    }
  }
  parts.mechanism = String(term);
  return parts;
}

// The code a qualifier character stands for, or -1 when `c` is none.
int32_t QualifierCode(char c) {
  switch (c) {
    case '+':
      return kSpfPass;
    case '-':
      return kSpfFail;
    case '~':
      return kSpfSoftFail;
    case '?':
      return kSpfNeutral;
    default:
      return -1;
  }
}

// The result an "all" term with a qualifier gives, or -1 for other terms.
int32_t QualifiedAllCode(std::string_view term) {
  return term.size() == 4 && term.substr(1) == "all" ? QualifierCode(term[0]) : -1;
}

// Where a term's target comes from: "NAME/N", "N", "NAME" or nothing.
struct Target {
  String name;
  int prefix = kAddressBits;
};

Target TargetOf(const TermParts& parts, const String& domain) {
  Target target;
  target.name = domain;
  if (!parts.has_argument) return target;
  const std::string_view argument = parts.argument.View();
  const size_t slash = argument.rfind('/');
  if (slash != std::string_view::npos && slash > 0 && IsDigits(argument.substr(slash + 1), kMaxPrefixDigits)) {
    target.name = String(argument.substr(0, slash));
    target.prefix = ClampedPrefix(argument.substr(slash + 1));
  } else if (IsDigits(argument, kMaxPrefixDigits)) {
    target.prefix = ClampedPrefix(argument);
  } else {
    target.name = parts.argument;
  }
  return target;
}

// The address and prefix of an "ip4" argument: "ADDRESS/N" (the address
// the last one in the text) or "ADDRESS"; false when neither.
bool Ip4Argument(std::string_view argument, String* address, int* prefix) {
  *prefix = kAddressBits;
  const size_t slash = argument.rfind('/');
  if (slash != std::string_view::npos && IsDigits(argument.substr(slash + 1), kMaxPrefixDigits)) {
    std::string_view head = argument.substr(0, slash);
    // The address is the longest dotted quad that ends the head.
    for (size_t start = 0; start < head.size(); ++start) {
      if (LooksLikeAddress(head.substr(start))) {
        *address = String(head.substr(start));
        *prefix = ClampedPrefix(argument.substr(slash + 1));
        return true;
      }
    }
    return false;
  }
  if (!LooksLikeAddress(argument)) return false;
  *address = String(argument);
  return true;
}

// `parts` split at `delimiter`, stopping at the first empty part.
CArray<String> SplitAt(std::string_view value, char delimiter) {
  CArray<String> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = value.find(delimiter, start);
    const std::string_view part = value.substr(start, end == std::string_view::npos ? value.npos : end - start);
    if (part.empty()) break;
    parts.Add(String(part));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return parts;
}

// Takes a match's outcome: true with `result` set when it decided (a code
// of 0 or more), false leaving `result` alone for no match (-1).
bool Decided(int32_t outcome, int32_t* result) {
  if (outcome < 0) return false;
  *result = outcome;
  return true;
}

// A macro's transformers as the default mode reads them: the value split at
// the delimiter, reversed on request, the first `count` parts kept (all
// when 0) and joined with the delimiter again.
String TransformLeftmost(const String& value, char delimiter, int count, bool reverse) {
  CArray<String> parts = SplitAt(value.View(), delimiter);
  if (reverse) std::reverse(parts.begin(), parts.end());
  const int kept = count > 0 ? std::min(count, parts.GetSize()) : parts.GetSize();
  String out("");
  for (int i = 0; i < kept; ++i) {
    if (i > 0) out.append(delimiter);
    out.append(parts[i]);
  }
  return out;
}

}  // namespace

// {=========== construction, results, cache

CSPF::CSPF(DnsLookup* dns, const char* cache_file) : dns_(dns), tick_clock_(&SteadyMilliseconds) {
  if (cache_file != nullptr && Open(cache_file) == 1) Load();
}

const char* CSPF::SPFResultString(int32_t code) {
  static const char* const kWords[] = {"Pass", "SoftFail", "Fail", "Neutral", "None", "TempError", "PermError"};
  return code >= 0 && code < static_cast<int32_t>(std::size(kWords)) ? kWords[code] : "";
}

// A record older than the lifetime is stale even before hygiene removes it.
bool CSPF::FromCache(const String& key, int32_t* code) {
  const int64_t lifetime = static_cast<int64_t>(GetVauleTime()) * GetVaule_smhdMy();
  BiginTranstion();
  const int32_t n = Find(key, 0);
  const RECORD* record = n >= 0 ? GetByIndexPtr(n) : nullptr;
  const bool hit = record != nullptr && record->len == kCachedValueBytes && record->value != nullptr &&
                   (lifetime <= 0 || record->time + lifetime > Now());
  if (hit) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(record->value.get());
    *code = static_cast<int32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24);
  }
  EndTransation();
  return hit;
}

// When several connections missed at once, the first stores the record and
// the others refresh it: the key keeps one record.
void CSPF::ToCache(const String& key, int32_t code) {
  const auto bits = static_cast<uint32_t>(code);
  const char value[kCachedValueBytes] = {static_cast<char>(bits), static_cast<char>(bits >> 8),
                                         static_cast<char>(bits >> 16), static_cast<char>(bits >> 24)};
  if (Insert(key, value, kCachedValueBytes, 0) < 0) Update(key, value, kCachedValueBytes, 0);
}

int32_t CSPF::GetSPFQuery(const char* ip, const char* sender, const char* helo) {
  return GetSPFQuery(ip, sender, helo, SpfQueryOptions());
}

int32_t CSPF::GetSPFQuery(const char* ip, const char* sender, const char* helo, const SpfQueryOptions& options) {
  if (ip == nullptr) return kSpfNeutral;
  CSPF_Algo algo;
  algo.strict = strict_.load();
  algo.trace = options.trace ? &options.trace : nullptr;
  // The fields cannot run into one another: "192.0.2.4" with "5a@x.test"
  // and "192.0.2.45" with "a@x.test" have keys of their own.
  std::string joined = algo.strict ? "1" : "0";
  for (const char* field : {ip, OrEmpty(sender), OrEmpty(helo)}) (joined += kFieldSeparator) += field;
  const String key = MD5Hex(joined.data(), joined.size());
  int32_t code;
  if (options.use_cache && FromCache(key, &code)) {
    Trace(&algo, String("cached result"));
    return code;
  }
  if (!aton4(ip, algo.ipBinary)) return kSpfTempError;

  algo.ip = ip;
  algo.helo = OrEmpty(helo);
  algo.deadlineMs = NowMs() + kOverallBudgetMs;
  if (algo.strict) {
    code = SpfStrictCheck(this, &algo).Run(sender);
  } else {
    algo.sender = (sender != nullptr && sender[0] != '\0') ? String(sender) : String("helo@") + algo.helo;
    code = EvaluateDefault(&algo);
  }
  if (algo.dnsFailed) code = kSpfTempError;
  String line;
  Trace(&algo, line.Format("result %s (%d) after %d lookups, limit %d", SPFResultString(code), code, algo.lookups,
                           max_recursion_.load()));
  if (options.use_cache && code != kSpfTempError) ToCache(key, code);
  return code;
}

// }===========

// {=========== lookups

void CSPF::Trace(const CSPF_Algo* algo, const String& line) {
  if (algo->trace != nullptr) (*algo->trace)(line);
}

void CSPF::LogRemote(const char* routine, const String& text) {
  log_.LogS(kLogDebug, Excerpt(text.View(), kMaxLogTextBytes).c_str(), kSource, routine, log_type::kDebug, 0);
}

DnsStatus CSPF::Ask(CSPF_Algo* algo, const char* name, uint16_t type, CArray<CDnsRES_RECORD::DnsRR>* records) {
  records->RemoveAll();
  String line;
  const int64_t left = algo->deadlineMs - NowMs();
  if (left <= 0) {
    algo->dnsFailed = true;
    Trace(algo, line.Format("lookup %s type %d: out of time", OrEmpty(name), type));
    return DnsStatus::kNoAnswer;
  }
  ++algo->lookups;
  const DnsStatus status =
      dns_ != nullptr ? dns_->Lookup(name, type, static_cast<int32_t>(left), records) : DnsStatus::kNoAnswer;
  if (algo->trace != nullptr) {
    static const char* const kStatusWords[] = {"answer", "no such name", "server failure", "refused",
                                               "error",  "not sendable", "no answer"};
    line.Format("lookup %d: %s type %d -> %s", algo->lookups, OrEmpty(name), type,
                kStatusWords[static_cast<int>(status)]);
    for (const CDnsRES_RECORD::DnsRR& rr : *records) {
      line.append(" [");
      line.append(rr.type == kDnsTypeTXT ? rr.text : rr.data);
      line.append("]");
    }
    Trace(algo, line);
  }
  return status;
}

// A name that cannot be asked has no records; a lookup that found no
// usable answer leaves the whole evaluation without a verdict.
bool CSPF::Fetch(CSPF_Algo* algo, const char* name, uint16_t type, CArray<CDnsRES_RECORD::DnsRR>* records) {
  records->RemoveAll();
  if (name == nullptr || name[0] == '\0' || OverLimit(algo)) return false;
  const DnsStatus status = Ask(algo, name, type, records);
  if (!IsUsable(status) && status != DnsStatus::kUnsendable) algo->dnsFailed = true;
  return true;
}

String CSPF::QueryTXT(CSPF_Algo* algo, const char* name) {
  algo->queryResult = "";
  CArray<CDnsRES_RECORD::DnsRR> records;
  Fetch(algo, name, kDnsTypeTXT, &records);
  for (const CDnsRES_RECORD::DnsRR& rr : records) {
    if (rr.type != kDnsTypeTXT) continue;
    const String text = LoweredTrimmed(rr.text);
    if (text.size() > 5 && text.View().substr(0, 6) == "v=spf1") AppendToList(&algo->queryResult, text);
  }
  return algo->queryResult;
}

String CSPF::QueryA(CSPF_Algo* algo, const char* name, const char* append) {
  String list(OrEmpty(append));
  CArray<CDnsRES_RECORD::DnsRR> records;
  Fetch(algo, name, kDnsTypeA, &records);
  for (const CDnsRES_RECORD::DnsRR& rr : records) {
    if (rr.type != kDnsTypeA && rr.type != kDnsTypeCNAME) continue;
    const String value = LoweredTrimmed(rr.data);
    if (!LooksLikeAddress(value.View())) return QueryA(algo, value, list);  // an alias ends the list
    AppendToList(&list, value);
  }
  algo->queryResult = list;
  return list;
}

String CSPF::QueryMX(CSPF_Algo* algo, const char* name) {
  String list("");
  CArray<CDnsRES_RECORD::DnsRR> records;
  Fetch(algo, name, kDnsTypeMX, &records);
  for (const CDnsRES_RECORD::DnsRR& rr : records) {
    if (rr.type != kDnsTypeMX) continue;
    const String exchange = LoweredTrimmed(rr.data);
    AppendToList(&list, LooksLikeAddress(exchange.View()) ? exchange : QueryA(algo, exchange));
  }
  algo->queryResult = list;
  return list;
}

// Each address of the list is asked on its own: the whole list is no name.
String CSPF::QueryPTR(CSPF_Algo* algo, const char* addresses) {
  String list("");
  for (const String& address : SplitList(OrEmpty(addresses))) {
    CArray<CDnsRES_RECORD::DnsRR> records;
    if (!Fetch(algo, address, kDnsTypePTR, &records)) break;
    for (const CDnsRES_RECORD::DnsRR& rr : records) {
      if (rr.type == kDnsTypePTR) AppendToList(&list, QueryA(algo, LoweredTrimmed(rr.data)));
    }
  }
  algo->queryResult = list;
  return list;
}

uint8_t CSPF::aton4(const char* text, uint8_t out[4]) {
  if (text == nullptr) return 0;
  const char* p = text;
  uint8_t bytes[4];
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && *p++ != '.') return 0;
    int value = 0;
    int digits = 0;
    while (std::isdigit(static_cast<unsigned char>(*p)) && digits <= 3) {
      value = value * 10 + (*p++ - '0');
      ++digits;
    }
    if (digits == 0 || digits > 3 || value > 255) return 0;
    bytes[i] = static_cast<uint8_t>(value);
  }
  if (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) return 0;
  std::memcpy(out, bytes, sizeof bytes);
  return 1;
}

uint8_t CSPF::addrequal(const uint8_t a[4], const uint8_t b[4], int prefix) {
  const int bits = std::clamp(prefix, 0, kAddressBits);
  const uint32_t x = static_cast<uint32_t>(a[0]) << 24 | a[1] << 16 | a[2] << 8 | a[3];
  const uint32_t y = static_cast<uint32_t>(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3];
  const uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (kAddressBits - bits);
  return (x & mask) == (y & mask) ? 1 : 0;
}

// }===========

// {=========== the default mode

int32_t CSPF::EvaluateDefault(CSPF_Algo* algo) {
  const std::string_view sender = algo->sender.View();
  const size_t at = sender.size() > 1 ? sender.find('@', 1) : std::string_view::npos;
  if (at != std::string_view::npos && at + 1 < sender.size()) {
    algo->localPart = Lowered(sender.substr(0, at));
    algo->domain = Lowered(sender.substr(at + 1));
  }
  const String fetched = QueryTXT(algo, algo->domain);
  algo->record = macro(algo, fetched, algo->domain, true);
  Trace(algo, String("record: ") + algo->record);
  return algo->record.IsEmpty() ? kSpfNeutral : Interpreter(algo);
}

// The record is read term by term; an include or redirect appends the
// fetched terms to its end, so they are read after the rest.
int32_t CSPF::Interpreter(CSPF_Algo* algo) {
  if (algo->record.IsEmpty()) return kSpfNeutral;
  if (OverLimit(algo)) return kSpfTempError;
  const std::string_view whole = algo->record.View();
  int32_t result = whole.size() >= 4 ? QualifiedAllCode(whole.substr(whole.size() - 4)) : -1;
  if (result < 0) result = kSpfNeutral;

  algo->record.append(' ');
  String term("");
  for (int i = 0; i < algo->record.size(); ++i) {
    if (OverLimit(algo)) return kSpfTempError;
    const char c = algo->record[i];
    if (c != ' ') {
      term.append(c);
      continue;
    }
    if (term.IsEmpty()) continue;
    if (RunTerm(algo, term, &result)) return result;
    if (algo->dnsFailed) return kSpfTempError;
    term = "";
  }
  return result;
}

bool CSPF::RunTerm(CSPF_Algo* algo, const String& term_text, int32_t* result) {
  std::string_view term = term_text.View();
  Trace(algo, String("term: ") + term_text);
  const int32_t all_code = QualifiedAllCode(term);
  if (all_code >= 0) {
    *result = all_code;  // a later "all" overrides an earlier one
    return false;
  }
  int32_t code = QualifierCode(term[0]);
  if (code >= 0) {
    term.remove_prefix(1);
  } else {
    code = kSpfPass;
  }
  const TermParts parts = SplitTerm(term);
  const std::string_view mechanism = parts.mechanism.View();
  if (mechanism == "include" || mechanism == "redirect") {
    if (std::find(algo->includes.begin(), algo->includes.end(), parts.argument) != algo->includes.end()) {
      String line;
      LogRemote(kInterpreterRoutine, line.Format("cmd %s | %s", parts.mechanism.GetData(), parts.argument.GetData()));
      return false;
    }
    const String fetched = macro(algo, QueryTXT(algo, parts.argument), parts.argument, true);
    algo->includes.Add(parts.argument);
    if (!fetched.IsEmpty()) {
      algo->record.append(fetched);
      algo->record.append(' ');
    }
    return false;
  }
  if (mechanism == "ip4") {
    String address;
    int prefix;
    uint8_t network[4];
    if (!Ip4Argument(parts.argument.View(), &address, &prefix) || !aton4(address, network)) {
      *result = kSpfPermError;
      return true;
    }
    if (!addrequal(algo->ipBinary, network, prefix)) return false;
    *result = code;
    return true;
  }
  if (mechanism == "a" || mechanism == "mx") {
    const Target target = TargetOf(parts, algo->domain);
    const String list = mechanism == "a" ? QueryA(algo, target.name) : QueryMX(algo, target.name);
    return Decided(MatchList(algo, list, target.prefix, code), result);
  }
  if (mechanism == "ptr") {
    const String& name = parts.has_argument ? parts.argument : algo->domain;
    return Decided(MatchList(algo, QueryPTR(algo, QueryA(algo, name)), kAddressBits, code), result);
  }
  if (mechanism == "exists") {
    if (!parts.has_argument || QueryA(algo, parts.argument).IsEmpty()) return false;
    *result = code;
    return true;
  }
  if (mechanism == "exp") algo->explanation = macro(algo, QueryTXT(algo, parts.argument), parts.argument, false);
  return false;  // "v", "exp", a plain "all" and anything unknown
}

int32_t CSPF::MatchList(const CSPF_Algo* algo, const String& list, int prefix, int32_t code) {
  for (const String& entry : SplitList(list.View())) {
    uint8_t address[4];
    if (!aton4(entry, address)) return kSpfPermError;
    if (addrequal(algo->ipBinary, address, prefix)) return code;
  }
  return -1;
}

bool CSPF::MacroValue(CSPF_Algo* algo, char letter, const char* currentDomain, bool recordMode, String* value) {
  switch (letter) {
    case 's':
      *value = algo->sender.IsEmpty() ? String("postmaster") : algo->sender;
      return true;
    case 'l':
      *value = algo->localPart;
      return true;
    case 'o':
      *value = OrEmpty(currentDomain);
      return true;
    case 'd':
      *value = algo->domain;
      return true;
    case 'i':
      *value = algo->ip;
      return true;
    case 'p': {
      const String names = QueryPTR(algo, QueryA(algo, algo->domain));
      *value = names.IsEmpty() ? "unknown" : "0";
      for (const String& entry : SplitList(names.View())) {
        uint8_t address[4];
        if (!aton4(entry, address)) {
          *value = "unknown";
          break;
        }
        if (std::memcmp(address, algo->ipBinary, sizeof address) == 0) *value = "1";
      }
      return true;
    }
    case 'v':
      *value = "in-addr";
      return true;
    case 'h':
      *value = algo->helo.IsEmpty() ? String("unknown") : algo->helo;
      return true;
    case 'c':
      *value = algo->ip;
      return recordMode;
    case 'r':
      *value = "unknown";
      return true;
    case 't':
      value->Format("%ld", static_cast<long>(time(nullptr)));
      return recordMode;
    default:
      return false;
  }
}

// A value is copied as it is: escaped, every "." of a domain would become
// "%2E" and no macro could name a domain.
String CSPF::macro(CSPF_Algo* algo, const char* text, const char* currentDomain, bool recordMode) {
  algo->expansion = "";
  if (text == nullptr || text[0] == '\0') return algo->expansion;
  const std::string_view in(text);
  std::string out;
  for (size_t i = 0; i < in.size(); ++i) {
    if (out.size() > static_cast<size_t>(kMaxExpansionBytes)) return algo->expansion;
    if (in[i] != '%') {
      out.push_back(in[i]);
      continue;
    }
    if (++i >= in.size()) break;  // a lone "%" at the end is dropped
    const char next = in[i];
    if (next == '%') out.push_back('%');
    if (next == '_') out.push_back(' ');
    if (next == '-') out += "%20";
    if (next != '{') continue;  // "%" and any other character: both dropped
    const size_t close = in.find('}', i + 1);
    if (close == std::string_view::npos) return algo->expansion;  // unterminated
    char letter = 0;
    char delimiter = '.';
    int count = 0;
    bool reverse = false;
    for (const char c : in.substr(i + 1, close - i - 1)) {
      if (c == 'r' && recordMode) {
        reverse = true;
      } else if (kMacroLetters.find(c) != std::string_view::npos || c == 'r') {
        letter = c;
      } else if (c >= '1' && c <= '9') {
        count = c - '0';
      } else if (kMacroDelimiters.find(c) != std::string_view::npos) {
        delimiter = c;
      } else {
        return algo->expansion;
      }
    }
    String value;
    if (letter == 0 || !MacroValue(algo, letter, currentDomain, recordMode, &value)) return algo->expansion;
    if (count > 0 || reverse) value = TransformLeftmost(value, delimiter, count, reverse);
    out.append(value.View());
    i = close;
  }
  if (out.size() > static_cast<size_t>(kMaxExpansionBytes)) return algo->expansion;
  algo->expansion = String(std::string_view(out));
  return algo->expansion;
}

// }===========
