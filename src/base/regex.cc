// regex - compiled-pattern cache and matching over PCRE2 (8-bit code units).
#include "base/regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace {

// Option bits that callers may pass, and what PCRE2 calls them.
constexpr struct {
  int bit;
  uint32_t pcre2_option;
} kOptionMap[] = {
    {kRegexCaseless, PCRE2_CASELESS},
    {kRegexMultiline, PCRE2_MULTILINE},
    {kRegexDotAll, PCRE2_DOTALL},
    {kRegexExtended, PCRE2_EXTENDED},
};

uint32_t CompileOptions(int options) {
  uint32_t compiled = 0;
  for (const auto& entry : kOptionMap) {
    if (options & entry.bit) compiled |= entry.pcre2_option;
  }
  return compiled;
}

int KnownOptionBits(int options) {
  int known = 0;
  for (const auto& entry : kOptionMap) known |= entry.bit;
  return options & known;
}

using CompiledPattern = std::shared_ptr<const pcre2_code>;

// Null for a pattern that does not compile.
CompiledPattern Compile(const char* pattern, int options) {
  int error = 0;
  PCRE2_SIZE error_offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                                   CompileOptions(options), &error, &error_offset, nullptr);
  if (code == nullptr) return nullptr;
  // Without JIT support the interpreter is used; matching works either way.
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  return CompiledPattern(code, [](const pcre2_code* c) { pcre2_code_free(const_cast<pcre2_code*>(c)); });
}

// Process-wide cache of compiled patterns. Entries are shared pointers, so
// a pattern evicted while another thread matches with it stays alive until
// that match ends.
class PatternCache {
 public:
  CompiledPattern Get(const char* pattern, int options) {
    const int bits = KnownOptionBits(options);
    std::string key(1, static_cast<char>(bits));
    key.append(pattern);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = patterns_.find(key);
      if (it != patterns_.end()) return it->second;
    }
    // Compiled unlocked: JIT compilation of a large pattern is slow, and a
    // second thread compiling the same pattern meanwhile is harmless.
    CompiledPattern compiled = Compile(pattern, bits);
    std::lock_guard<std::mutex> lock(mutex_);
    if (patterns_.size() >= kMaxCachedPatterns) patterns_.clear();
    return patterns_.try_emplace(std::move(key), std::move(compiled)).first->second;
  }

  size_t size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return patterns_.size();
  }

 private:
  std::mutex mutex_;
  // Guarded by mutex_: key is the option bits (one byte) then the pattern.
  std::unordered_map<std::string, CompiledPattern> patterns_;
};

PatternCache& Cache() {
  // Never destroyed: threads may still match while the process exits.
  static PatternCache* cache = new PatternCache;
  return *cache;
}

// Match data has room for kRegexCapturePairs pairs; one block per thread
// avoids an allocation per match.
pcre2_match_data* ThreadMatchData() {
  struct Free {
    void operator()(pcre2_match_data* m) const { pcre2_match_data_free(m); }
  };
  thread_local std::unique_ptr<pcre2_match_data, Free> data(pcre2_match_data_create(kRegexCapturePairs, nullptr));
  return data.get();
}

// Runs the match; returns the number of valid capture pairs (group 0
// included), or 0 when there is no match or matching failed.
// `context` carries a match limit, or is null for PCRE2's defaults.
int Run(const char* pattern, int options, const char* subject, size_t len, pcre2_match_data* match_data,
        pcre2_match_context* context = nullptr) {
  if (pattern == nullptr || match_data == nullptr) return 0;
  CompiledPattern code = Cache().Get(pattern, options);
  if (!code) return 0;
  if (subject == nullptr) {
    subject = "";
    len = 0;
  }
  const int rc = pcre2_match(code.get(), reinterpret_cast<PCRE2_SPTR>(subject), len, 0, 0, match_data, context);
  if (rc < 0) return 0;
  // 0 means the pairs did not all fit: the ones that did are valid.
  return rc == 0 ? kRegexCapturePairs : rc;
}

}  // namespace

int RegexMatch(const char* pattern, int options, const char* subject, size_t len) {
  return Run(pattern, options, subject, len, ThreadMatchData()) > 0 ? 1 : 0;
}

int RegexMatch(const char* pattern, int options, const char* subject, size_t len,
               std::vector<std::string>* groups) {
  groups->clear();
  pcre2_match_data* match_data = ThreadMatchData();
  const int pairs = Run(pattern, options, subject, len, match_data);
  if (pairs == 0) return 0;
  const PCRE2_SIZE* offsets = pcre2_get_ovector_pointer(match_data);
  for (int group = 1; group < pairs; ++group) {
    const PCRE2_SIZE start = offsets[2 * group];
    const PCRE2_SIZE end = offsets[2 * group + 1];
    if (start == PCRE2_UNSET || end < start) {
      groups->emplace_back();  // a group that took no part in the match
    } else {
      groups->emplace_back(subject + start, end - start);
    }
  }
  return 1;
}

int RegexMatchLimited(const char* pattern, int options, const char* subject, size_t len, uint32_t match_limit) {
  struct Free {
    void operator()(pcre2_match_context* c) const { pcre2_match_context_free(c); }
  };
  thread_local std::unique_ptr<pcre2_match_context, Free> context(pcre2_match_context_create(nullptr));
  if (!context) return 0;
  pcre2_set_match_limit(context.get(), match_limit);
  return Run(pattern, options, subject, len, ThreadMatchData(), context.get()) > 0 ? 1 : 0;
}

size_t RegexCachedPatternCount() { return Cache().size(); }
