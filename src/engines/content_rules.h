// content_rules - CRules, the administrator's regular-expression rules (a
// score, a target part of the message, a pattern) kept in a record store,
// and CRulesResult, the list of rules one message matched. The antispam
// script sums the scores of a message's matching rules; management scripts
// add, list, test and delete rules.
#ifndef TORVANE_ENGINES_CONTENT_RULES_H_
#define TORVANE_ENGINES_CONTENT_RULES_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/bounded_regex.h"
#include "base/key_value_sink.h"
#include "base/object_array.h"
#include "base/string.h"
#include "base/wall_clock.h"
#include "base/xml_log.h"
#include "engines/mail_parser.h"
#include "engines/record_store.h"

// What part of a message a rule reads. Stored in the rule records.
enum RuleTarget : int32_t {
  kRuleSubject = 1,      // the Subject header value
  kRuleTextBody = 2,     // the body, or the text/plain and text/html parts
  kRuleRawMessage = 3,   // the message as received
  kRuleDecodedText = 4,  // the transfer-decoded text of the text parts
};

// The rules one message matched, in rule order. Not thread-safe: one per
// script object or caller.
class CRulesResult {
 public:
  struct RULE {
    String name;
    float score = 0;
    String pattern;
  };

  void AddRule(const RULE& rule) { rules_.Add(rule); }
  void Clear() { rules_.RemoveAll(); }
  int GetRulesCount() const { return rules_.GetSize(); }
  // Rule `i`'s fields; "" or 0.0 for an index outside 0..count-1. The texts
  // are copied into a scratch text valid until the next of these calls.
  const char* GetRulesName(int i);
  const char* GetRulesRE(int i);
  float GetRulesScore(int i) const;

 private:
  const RULE* At(int i) const { return i >= 0 && i < rules_.GetSize() ? &rules_[i] : nullptr; }
  const char* Scratch(const String& text);

  String scratch_;
  CArray<RULE> rules_;
};

// Record layout (value of the record keyed by the rule's name):
//   0  float32 LE  score
//   4  int32 LE    target (RuleTarget)
//   8  int32 LE    option bits (base/regex.h)
//   12 ...         the pattern, no terminator
//
// Thread-safe. Evaluation runs over an immutable compiled copy of the
// table, taken under a short lock and rebuilt (off the store's lock) when
// the store has changed since; an evaluation never waits for an edit or for
// another evaluation.
class CRules : public CDB_RAM {
 public:
  struct RULE {
    String name;
    float score = 0;
    int32_t target = 0;
    int32_t options = 0;
    String pattern;
  };
  static constexpr int32_t kHeaderBytes = 12;

  CRules() = default;

  // Adds a rule. 1 when added; 0 when the name or pattern is missing or
  // empty, the pattern does not compile, the score is not finite, the
  // target is unknown, or a live rule already has the name (the check and
  // the insertion are one step).
  int32_t AddRule(const char* name, const char* pattern, int32_t target, float score, int32_t options);
  int32_t AddRule(const RULE& rule);
  // Marks the rule deleted when it exists. Always 1.
  int32_t DeleteRule(const char* name);

  // Sum of the scores of the rules `mail` matches (float arithmetic), in
  // record order; each match is appended to `result` when given (emptied
  // first). 0 for a null message. A match cut off by the regex limits is no
  // match, and logged with the rule's name.
  float IsScoreRules(CParseMail* mail, CRulesResult* result);
  // Matches `pattern` against the target text of `mail`: "MACTH" or
  // "NO MACTH" (a pattern that does not compile does not match); "" for a
  // null message. On a match `array` (when given) receives "$1".."$n".
  const char* RuleTest(CParseMail* mail, const char* pattern, int32_t target, int32_t options,
                       KeyValueSink* array);
  // Empties `array`, then adds name -> "score 0x02 target 0x02 options 0x02
  // pattern" for every live rule, valid or not.
  void RuletoArray(KeyValueSink* array);

  // The text a rule with `target` reads in `mail`.
  static std::string TargetText(CParseMail* mail, int32_t target);

  // Notices of refused records and cut-off matches; drained by the owner.
  CLogSimple& GetLog() { return log_; }
  // The clock of the notice rate limit. REQUIRES: set before sharing.
  void SetNoticeClock(WallClock clock) { notice_clock_ = clock; }

 private:
  struct Compiled {
    String name;
    float score = 0;
    int32_t target = 0;
    String pattern;
    std::shared_ptr<const CompiledRegex> regex;
  };
  struct Table {
    uint64_t generation = 0;
    std::vector<Compiled> rules;
  };

  // The compiled table for the store as it is now, rebuilt when stale.
  std::shared_ptr<const Table> CurrentTable();
  // Compiles the live records; invalid ones are logged and left out.
  std::shared_ptr<const Table> BuildTable();
  void NoteLimited(const String& name);

  CLogSimple log_;
  WallClock notice_clock_ = SystemWallClock;
  LimitNoticeGate limit_notices_;

  std::mutex rebuild_;  // one rebuild at a time; evaluations never wait for it
  std::mutex table_lock_;
  // Guarded by table_lock_: the newest compiled table, or null before one.
  std::shared_ptr<const Table> table_;
};

#endif  // TORVANE_ENGINES_CONTENT_RULES_H_
