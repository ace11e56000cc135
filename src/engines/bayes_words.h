// bayes_words - CBayesWord, the tokens of one parsed message for the Bayes
// filter. It fills two lists at once: the words the counter table knows
// (subject, addresses, body words, MD5 digests of binary data, 7-byte
// slices of the raw message) and the message-level tokens of the token
// table (see bayes_tokenizer.h), so either classifier can read the same
// object and training feeds both.
#ifndef TORVANE_ENGINES_BAYES_WORDS_H_
#define TORVANE_ENGINES_BAYES_WORDS_H_

#include <string>
#include <string_view>
#include <vector>

#include "base/object_array.h"
#include "base/string.h"
#include "engines/mail_parser.h"

// Not thread-safe: one object per message being classified or trained.
class CBayesWord {
 public:
  // PopolateWords examines at most this many pieces per call.
  static constexpr int kMaxPiecesPerCall = 100;
  // Words shorter or longer than these are no tokens.
  static constexpr int kMinWordChars = 4;
  static constexpr int kMaxWordChars = 255;
  // A word longer than this is replaced by its MD5 digest (hex).
  static constexpr int kLongWordChars = 32;
  // PopolateForSeven adds slices only while the list holds fewer tokens.
  static constexpr int kSliceTokenLimit = 100;
  // Slices of the raw message: this many bytes taken every kSliceStep.
  static constexpr int kSliceChars = 7;
  static constexpr int kSliceStep = 8;
  // Md5Words digests lines in groups of this many.
  static constexpr int kLinesPerDigest = 16;

  CBayesWord() = default;
  CBayesWord(const CBayesWord&) = delete;
  CBayesWord& operator=(const CBayesWord&) = delete;

  // Empties both lists and fills them from a parsed message. 1, or 0 for a
  // missing or empty message (the lists stay empty).
  int Elaborate(CParseMail* mail);
  // As Elaborate, filling only the token list (words() stays empty): all
  // that classifying by the token table reads.
  int ElaborateTokens(CParseMail* mail);

  // The counter table's tokenisers, appending to words():
  // - the pieces of `text` between blanks (the piece after the last blank
  //   is not used), trimmed, line feeds removed, kept at kMinWordChars to
  //   kMaxWordChars characters, longer than kLongWordChars as MD5 hex;
  void PopolateWords(std::string_view text);
  // - kSliceChars bytes every kSliceStep, trimmed and line feeds removed,
  //   kept when still kSliceChars long, until the list reaches
  //   kSliceTokenLimit;
  void PopolateForSeven(std::string_view text);
  // - the MD5 hex of each group of kLinesPerDigest lines (split at line
  //   feeds like PopolateWords splits at blanks) and of the rest.
  void Md5Words(std::string_view text);

  CArray<String>& words() { return words_; }
  const CArray<String>& words() const { return words_; }
  // The token table's tokens: distinct, in first-seen order.
  const std::vector<std::string>& tokens() const { return tokens_; }

 private:
  void AddWord(std::string_view piece);

  CArray<String> words_;
  std::vector<std::string> tokens_;
};

#endif  // TORVANE_ENGINES_BAYES_WORDS_H_
