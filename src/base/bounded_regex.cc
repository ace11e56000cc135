// bounded_regex - compilation and limited matching over PCRE2 (8-bit).
#include "base/bounded_regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "base/regex.h"

namespace {

uint32_t CompileOptions(int options) {
  uint32_t compiled = 0;
  if (options & kRegexCaseless) compiled |= PCRE2_CASELESS;
  if (options & kRegexMultiline) compiled |= PCRE2_MULTILINE;
  if (options & kRegexDotAll) compiled |= PCRE2_DOTALL;
  if (options & kRegexExtended) compiled |= PCRE2_EXTENDED;
  return compiled;
}

// Each matching thread owns its limits, JIT stack and match data, so no
// match waits for another and none allocates per call.
struct ThreadMatcher {
  ThreadMatcher()
      : context(pcre2_match_context_create(nullptr)),
        jit_stack(pcre2_jit_stack_create(kRegexJitStackStart, kRegexJitStackMax, nullptr)),
        data(pcre2_match_data_create(kRegexCapturePairs, nullptr)) {
    if (context == nullptr) return;
    pcre2_set_match_limit(context, kRegexMatchSteps);
    pcre2_set_depth_limit(context, kRegexMatchDepth);
    pcre2_set_heap_limit(context, kRegexHeapKiB);
    // Without its own stack a JIT match would use PCRE2's 32 KiB default.
    if (jit_stack != nullptr) pcre2_jit_stack_assign(context, nullptr, jit_stack);
  }
  ~ThreadMatcher() {
    pcre2_match_data_free(data);
    pcre2_jit_stack_free(jit_stack);
    pcre2_match_context_free(context);
  }
  ThreadMatcher(const ThreadMatcher&) = delete;
  ThreadMatcher& operator=(const ThreadMatcher&) = delete;

  bool Usable() const { return context != nullptr && data != nullptr; }

  pcre2_match_context* context;
  pcre2_jit_stack* jit_stack;
  pcre2_match_data* data;
};

ThreadMatcher& Matcher() {
  thread_local ThreadMatcher matcher;
  return matcher;
}

bool IsLimitError(int rc) {
  return rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_DEPTHLIMIT || rc == PCRE2_ERROR_HEAPLIMIT ||
         rc == PCRE2_ERROR_JIT_STACKLIMIT || rc == PCRE2_ERROR_NOMEMORY;
}

}  // namespace

std::shared_ptr<const CompiledRegex> CompiledRegex::Compile(std::string_view pattern, int options,
                                                            std::string* error) {
  int code_error = 0;
  PCRE2_SIZE error_offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                   CompileOptions(options), &code_error, &error_offset, nullptr);
  if (code == nullptr) {
    if (error != nullptr) {
      PCRE2_UCHAR text[256];
      pcre2_get_error_message(code_error, text, sizeof(text));
      *error = reinterpret_cast<const char*>(text);
    }
    return nullptr;
  }
  // Without JIT support the interpreter runs under the same limits.
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  return std::shared_ptr<const CompiledRegex>(new CompiledRegex(code));
}

CompiledRegex::CompiledRegex(void* code) : code_(code) {
  uint32_t count = 0;
  pcre2_pattern_info(static_cast<pcre2_code*>(code_), PCRE2_INFO_CAPTURECOUNT, &count);
  capture_count_ = static_cast<int>(count);
}

CompiledRegex::~CompiledRegex() { pcre2_code_free(static_cast<pcre2_code*>(code_)); }

RegexOutcome CompiledRegex::Match(std::string_view subject, std::vector<std::string>* groups) const {
  if (groups != nullptr) groups->clear();
  ThreadMatcher& matcher = Matcher();
  if (!matcher.Usable()) return RegexOutcome::kLimited;
  const auto* text = reinterpret_cast<PCRE2_SPTR>(subject.data() != nullptr ? subject.data() : "");
  const int rc = pcre2_match(static_cast<const pcre2_code*>(code_), text, subject.size(), 0, 0, matcher.data,
                             matcher.context);
  if (rc < 0) return IsLimitError(rc) ? RegexOutcome::kLimited : RegexOutcome::kNoMatch;
  if (groups == nullptr) return RegexOutcome::kMatch;
  // 0 means the pairs did not all fit: the ones that did are valid.
  const int pairs = rc == 0 ? kRegexCapturePairs : rc;
  const PCRE2_SIZE* offsets = pcre2_get_ovector_pointer(matcher.data);
  for (int group = 1; group < pairs; ++group) {
    const PCRE2_SIZE start = offsets[2 * group];
    const PCRE2_SIZE end = offsets[2 * group + 1];
    if (start == PCRE2_UNSET || end < start || end > subject.size()) {
      groups->emplace_back();
    } else {
      groups->emplace_back(subject.substr(start, end - start));
    }
  }
  return RegexOutcome::kMatch;
}
