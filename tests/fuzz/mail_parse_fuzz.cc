// mail_parse_fuzz - bytes to the mail parser and tokenisers: a crash, parts outside the message, non-UTF-8 tokens.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engines/bayes_tokenizer.h"
#include "engines/bayes_words.h"
#include "engines/mail_decoding.h"
#include "engines/mail_parser.h"

namespace {

bool Sound(CParseMail& mail) {
  const std::string_view raw = mail.RawView();
  if (std::string(mail.HeaderView()) + std::string(mail.BodyView()) != raw) return false;
  if (mail.GetAttachmentCount() > CParseMail::kMaxParts) return false;
  for (int i = 0; i < mail.GetAttachmentCount(); ++i) {
    if (raw.find(mail.Attachment(i)->data.View()) == std::string_view::npos) return false;
    mail.GetAttachmentCharset(i);
    mail.GetAttachmentContentTransferEncoding(i);
  }
  bool texts_valid = true;
  mail.ForEachText([&](std::string_view, const std::string& text) { texts_valid = texts_valid && IsValidUtf8(text); });
  return texts_valid;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CParseMail mail;
  mail.AddStreaming(bytes);
  mail.Parse();
  if (!Sound(mail)) __builtin_trap();
  for (const std::string& token : MessageTokens(mail)) {
    if (token.size() > kMaxTokenBytes || !IsValidUtf8(token)) __builtin_trap();
  }
  CBayesWord words;
  words.Elaborate(&mail);
  if (!IsValidUtf8(DecodeHeaderValue(bytes, 4096))) __builtin_trap();
  return 0;
}
