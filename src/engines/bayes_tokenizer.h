// bayes_tokenizer - the tokens the Bayes token table counts for one parsed
// message: header words prefixed by their field ("subj:", "from:", ...),
// the hosts of Received lines and of links with their domains ("rcvd:",
// "url:"), the types of the parts, the names of HTML tags ("tag:"), and the
// words of every text part and of the subject, decoded to UTF-8 with HTML
// tags dropped. Each token appears once per message. Thread-safe.
#ifndef TORVANE_ENGINES_BAYES_TOKENIZER_H_
#define TORVANE_ENGINES_BAYES_TOKENIZER_H_

#include <cstddef>
#include <string>
#include <vector>

#include "engines/mail_parser.h"

// A word shorter than this says little; a longer one is mostly an encoded
// blob, and the cap bounds the table's keys.
constexpr size_t kMinTokenBytes = 3;
constexpr size_t kMaxTokenBytes = 40;
// Tokens taken from one message at most: more adds little evidence and
// lets a huge message cost no more than a large one.
constexpr size_t kMaxMessageTokens = 3000;

// The distinct tokens of `mail` (parsed), in first-seen order, each
// kMinTokenBytes..kMaxTokenBytes bytes (a prefix included) of valid UTF-8
// without blanks or control bytes; at most kMaxMessageTokens.
std::vector<std::string> MessageTokens(const CParseMail& mail);

#endif  // TORVANE_ENGINES_BAYES_TOKENIZER_H_
