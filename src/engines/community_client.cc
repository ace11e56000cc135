// community_client - the reputation service's datagrams, server choice and
// the bounded waits for replies (see community_client.h).
#include "engines/community_client.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <utility>

#include "base/config.h"
#include "base/host_name.h"
#include "base/md5.h"
#include "base/regex.h"
#include "engines/dns.h"
#include "engines/dns_client.h"

namespace {

constexpr char kSource[] = "communitytorvane";
constexpr char kReport[] = "003";
constexpr char kQuery[] = "004";
constexpr char kKeyTest[] = "005";
constexpr char kServerList[] = "006";
constexpr char kKeyAccepted[] = "OK";
// A host name with a domain: the network part is what follows the first label.
constexpr char kHostWithDomain[] = ".+?\\.([a-zA-Z0-9\\.-]+?\\.\\w{2,32})$";
// Scores compare equal within this distance (they come from float settings).
constexpr float kScoreEpsilon = 1e-6f;

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

bool SameScore(float a, float b) { return std::fabs(a - b) < kScoreEpsilon; }

// The server a draw picks from `n` servers: (r mod (n + 1)) mod n, which
// favours the first server a little, as sites have always seen it.
size_t DrawServer(size_t n) {
  thread_local std::minstd_rand draw(std::random_device{}());
  return static_cast<size_t>(draw() % (n + 1)) % n;
}

}  // namespace

CommunitySettings CommunitySettingsFromConfig(const CConfig& config) {
  CommunitySettings settings;
  settings.key = config.cmy_key.ToStdString();
  settings.timeout_ms = config.cmy_timeout;
  settings.score_soft_fail = config.cmy_softfail;
  settings.score_fail = config.cmy_fail;
  settings.score_hard_fail = config.cmy_hardfail;
  settings.default_server = config.cmy_server.ToStdString();
  return settings;
}

CCommunityTorvane::CCommunityTorvane(CDns* resolver)
    : resolver_(resolver), settings_(std::make_shared<const CommunitySettings>()) {}

CCommunityTorvane::~CCommunityTorvane() {
  std::lock_guard<std::mutex> hold(refresh_lock_);
  if (refresher_.joinable()) refresher_.join();
}

// {=========== settings

void CCommunityTorvane::ApplySettings(const CommunitySettings& settings) {
  auto fresh = std::make_shared<CommunitySettings>(settings);
  fresh->key = NormalizedName(settings.key);
  fresh->timeout_ms = std::clamp(settings.timeout_ms, kMinTimeoutMs, kMaxTimeoutMs);
  fresh->default_server = NormalizedName(settings.default_server);
  std::lock_guard<std::mutex> hold(settings_lock_);
  settings_ = std::move(fresh);
}

std::shared_ptr<const CommunitySettings> CCommunityTorvane::Settings() const {
  std::lock_guard<std::mutex> hold(settings_lock_);
  return settings_;
}

template <typename Change>
void CCommunityTorvane::Update(Change change) {
  CommunitySettings copy = *Settings();
  change(&copy);
  ApplySettings(copy);
}

int CCommunityTorvane::SetSegretKey(const char* key) {
  Update([key](CommunitySettings* s) { s->key = OrEmpty(key); });
  return 1;
}

String CCommunityTorvane::GetSegretKey() const { return String(Settings()->key.c_str()); }

int CCommunityTorvane::IsvalidKey() const { return Settings()->key.size() == kKeyChars ? 1 : 0; }

void CCommunityTorvane::SetTimeOut(int ms) {
  Update([ms](CommunitySettings* s) { s->timeout_ms = ms; });
}
void CCommunityTorvane::SetScoreSoftFail(float value) {
  Update([value](CommunitySettings* s) { s->score_soft_fail = value; });
}
void CCommunityTorvane::SetScoreFail(float value) {
  Update([value](CommunitySettings* s) { s->score_fail = value; });
}
void CCommunityTorvane::SetScoreHardFail(float value) {
  Update([value](CommunitySettings* s) { s->score_hard_fail = value; });
}

// }===========

// {=========== servers

void CCommunityTorvane::AddCommunityServer(const char* address) {
  const std::string server = NormalizedName(OrEmpty(address));
  if (server.empty()) return;
  std::lock_guard<std::mutex> hold(lock_);
  servers_.push_back(server);
}

void CCommunityTorvane::ResetAllCommunityServer() {
  std::lock_guard<std::mutex> hold(lock_);
  servers_.clear();
}

int CCommunityTorvane::GetServerCount() const {
  std::lock_guard<std::mutex> hold(lock_);
  return static_cast<int>(servers_.size());
}

void CCommunityTorvane::PopolateForRADMIN(KeyValueSink* sink) const {
  if (sink == nullptr) return;
  std::vector<std::string> servers;
  {
    std::lock_guard<std::mutex> hold(lock_);
    servers = servers_;
  }
  for (const std::string& server : servers) sink->Add(server.c_str(), server.c_str(), server.size());
}

std::string CCommunityTorvane::GetOneRandomCommunityServer() const {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (!servers_.empty()) return servers_[DrawServer(servers_.size())];
  }
  return Settings()->default_server;
}

std::string CCommunityTorvane::AddressOf(const std::string& server) const {
  if (IsDottedQuad(server)) return server;
  if (resolver_ == nullptr || !IsHostName(server)) return "";
  return resolver_->ResolveAddress(server.c_str()).ToStdString();
}

bool CCommunityTorvane::ParseServerList(std::string_view reply, std::vector<std::string>* servers) {
  std::vector<std::string> words;
  bool well_formed = true;
  // The list ends at its first empty word (two blanks in a row).
  for (size_t start = 0; start < reply.size() && well_formed;) {
    size_t end = reply.find(' ', start);
    if (end == std::string_view::npos) end = reply.size();
    const std::string word = NormalizedName(reply.substr(start, end - start));
    if (word.empty()) break;
    well_formed = words.size() < kMaxServers && (IsDottedQuad(word) || IsHostName(word));
    words.push_back(word);
    start = end + 1;
  }
  if (!well_formed || words.empty()) return false;
  *servers = std::move(words);
  return true;
}

// }===========

// {=========== requests

std::string CCommunityTorvane::BuildRequest(std::string_view key, std::string_view code,
                                            std::string_view payload) {
  std::string request;
  request.reserve(kDatagramBytes);
  request.append(key).append(code).append(payload);
  request.resize(kDatagramBytes, ' ');
  return request;
}

std::string CCommunityTorvane::PairDigest(const char* client_address, const char* client_host,
                                          const char* sender) {
  std::vector<std::string> groups;
  const std::string_view host = OrEmpty(client_host);
  const bool has_domain = RegexMatch(kHostWithDomain, kRegexCaseless, host.data(), host.size(), &groups) == 1 &&
                          !groups.empty();
  const std::string pair = NormalizedName((has_domain ? groups[0] : std::string(OrEmpty(client_address))) +
                                          OrEmpty(sender));
  return MD5Hex(pair.data(), pair.size()).ToStdString();
}

std::string_view CCommunityTorvane::ReplyText(std::string_view datagram) {
  datagram = datagram.substr(0, std::min(datagram.size(), kDatagramBytes));
  return TrimmedText(datagram.substr(0, datagram.find('\0')));
}

int CCommunityTorvane::ReadToCommunity(CDnsClient* client, std::string* out, int count, int timeout_ms) const {
  using Clock = std::chrono::steady_clock;  // never goes backwards
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(timeout_ms) * count + kDeadlineSlackMs);
  int received = 0;
  char buffer[kDatagramBytes];
  while (count > 0) {
    const Clock::time_point now = Clock::now();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    if (left <= 0) break;
    const int32_t wait = static_cast<int32_t>(std::min<int64_t>(left, timeout_ms));
    const int got = client->ReadFor(buffer, sizeof buffer, wait);
    if (got == 0) {
      // A whole wait in silence ends the read; a wait cut short (a signal,
      // an empty datagram) waits again until the deadline.
      if (Clock::now() - now >= std::chrono::milliseconds(wait)) break;
      continue;
    }
    --count;  // a datagram or an error (the server refused) ends one read
    if (got > 0) {
      out->append(buffer, static_cast<size_t>(got));
      ++received;
    }
  }
  return received;
}

bool CCommunityTorvane::Exchange(const std::string& request, int attempt, bool to_default,
                                 std::string* reply) const {
  const std::shared_ptr<const CommunitySettings> settings = Settings();
  for (; attempt < kMaxAttempts; ++attempt) {
    const std::string server = to_default ? settings->default_server : GetOneRandomCommunityServer();
    if (server.empty()) return false;  // no service named: nothing to send to
    const std::string address = AddressOf(server);
    CDnsClient client;
    if (address.empty() || !client.SetDestination(address.c_str(), kPort)) continue;
    if (client.Send(request.data(), static_cast<int>(request.size())) != 1) continue;
    std::string received;
    if (ReadToCommunity(&client, &received, 1, settings->timeout_ms) > 0) {
      *reply = std::string(ReplyText(received));
      return true;
    }
    if (to_default) return false;
  }
  return false;
}

float CCommunityTorvane::CommunityQuery(const char* client_address, const char* client_host, const char* sender,
                                        bool* answered, int attempt) {
  if (answered != nullptr) *answered = true;
  const std::shared_ptr<const CommunitySettings> settings = Settings();
  if (settings->key.size() != kKeyChars) return 0.0f;
  std::string reply;
  const std::string request = BuildRequest(settings->key, kQuery, PairDigest(client_address, client_host, sender));
  if (Exchange(request, attempt, false, &reply)) return GetscoreFromRes(reply);
  if (answered != nullptr) *answered = false;
  return 0.0f;
}

void CCommunityTorvane::CommunityAnnunce(const char* client_address, const char* client_host, const char* sender,
                                         int attempt) {
  const std::shared_ptr<const CommunitySettings> settings = Settings();
  if (settings->key.size() != kKeyChars || IsLanIp(client_address) != 0) return;
  std::string reply;
  Exchange(BuildRequest(settings->key, kReport, PairDigest(client_address, client_host, sender)), attempt, false,
           &reply);
}

int CCommunityTorvane::CommunityTest(int attempt, const char* key) {
  std::string tried = NormalizedName(OrEmpty(key));
  if (tried.empty()) tried = Settings()->key;
  if (tried.size() != kKeyChars) return 0;
  std::string reply;
  return Exchange(BuildRequest(tried, kKeyTest, ""), attempt, false, &reply) && reply == kKeyAccepted ? 1 : 0;
}

int CCommunityTorvane::RefreshServerFromCommunity(int attempt) {
  const std::shared_ptr<const CommunitySettings> settings = Settings();
  if (settings->key.size() != kKeyChars) return 0;
  std::string reply;
  if (!Exchange(BuildRequest(settings->key, kServerList, ""), attempt, true, &reply)) return 0;
  std::vector<std::string> servers;
  if (!ParseServerList(reply, &servers)) {
    log_.LogS(kLogError, "community server list refused: not 1 to 32 addresses or host names; the old one stays",
              kSource, "CCommunityTorvane::RefreshServerFromCommunity", log_type::kSys, 0);
    return 0;
  }
  std::lock_guard<std::mutex> hold(lock_);
  servers_ = std::move(servers);
  return 1;
}

void CCommunityTorvane::RefreshInBackground() {
  std::lock_guard<std::mutex> hold(refresh_lock_);
  if (refreshing_.exchange(true)) return;
  if (refresher_.joinable()) refresher_.join();  // the previous one has ended
  refresher_ = std::thread([this] {
    RefreshServerFromCommunity();
    refreshing_.store(false);
  });
}

// }===========

// {=========== verdicts

float CCommunityTorvane::GetscoreFromRes(std::string_view word) const {
  const std::shared_ptr<const CommunitySettings> settings = Settings();
  if (word == "SOFTFAIL") return settings->score_soft_fail;
  if (word == "FAILFAIL") return settings->score_fail;
  if (word == "HARDFAIL") return settings->score_hard_fail;
  return 0.0f;  // "NEUTRALE" and anything unknown
}

const char* CCommunityTorvane::GetResFromScore(float score) const {
  const std::shared_ptr<const CommunitySettings> settings = Settings();
  if (SameScore(score, settings->score_soft_fail)) return "SOFTFAIL";
  if (SameScore(score, settings->score_fail)) return "FAIL";
  if (SameScore(score, settings->score_hard_fail)) return "HARDFAIL";
  return "NEUTRAL";
}

int CCommunityTorvane::IsLanIp(const char* address) {
  const std::string_view text = OrEmpty(address);
  if (!IsDottedQuad(text)) return 0;
  int octet[4] = {0, 0, 0, 0};
  for (size_t i = 0, at = 0; i < 4; ++i) {
    for (; at < text.size() && text[at] != '.'; ++at) octet[i] = octet[i] * 10 + (text[at] - '0');
    ++at;
  }
  const bool loopback_net = octet[0] == 127 && octet[1] == 0 && octet[2] == 0;
  const bool private_a = octet[0] == 10;
  const bool private_b = octet[0] == 172 && octet[1] >= 16 && octet[1] <= 31;
  const bool private_c = octet[0] == 192 && octet[1] == 168;
  return loopback_net || private_a || private_b || private_c ? 1 : 0;
}

// }===========
