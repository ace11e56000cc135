// bayes_words - the counter table's tokenisers and Elaborate (see
// bayes_words.h).
#include "engines/bayes_words.h"

#include <string>

#include "base/md5.h"
#include "engines/bayes_tokenizer.h"

namespace {

bool IsTrimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// `piece` trimmed, with its line feeds removed.
std::string Clean(std::string_view piece) {
  while (!piece.empty() && IsTrimmed(piece.front())) piece.remove_prefix(1);
  while (!piece.empty() && IsTrimmed(piece.back())) piece.remove_suffix(1);
  std::string out;
  out.reserve(piece.size());
  for (char c : piece) {
    if (c != '\n') out.push_back(c);
  }
  return out;
}

// Calls `visit(piece)` for each piece of `text` that a `separator` ends
// (so the piece after the last separator is left out), at most `limit`.
template <typename Visit>
void ForEachPiece(std::string_view text, char separator, size_t limit, Visit visit) {
  size_t count = 0;
  for (size_t start = 0; count < limit;) {
    const size_t end = text.find(separator, start);
    if (end == std::string_view::npos) return;
    visit(text.substr(start, end - start));
    ++count;
    start = end + 1;
  }
}

// An address header as words: its angle brackets and quotes removed.
std::string AddressWords(std::string_view value) {
  std::string out;
  for (char c : value) {
    if (c != '<' && c != '>' && c != '"') out.push_back(c);
  }
  return out + " ";
}

bool IsTextType(std::string_view type) { return type == "text/plain" || type == "text/html"; }

}  // namespace

void CBayesWord::AddWord(std::string_view piece) {
  const std::string word = Clean(piece);
  const int length = static_cast<int>(word.size());
  if (length < kMinWordChars || length > kMaxWordChars) return;
  words_.Add(length > kLongWordChars ? MD5Hex(word.data(), word.size()) : String(std::string_view(word)));
}

void CBayesWord::PopolateWords(std::string_view text) {
  ForEachPiece(text, ' ', kMaxPiecesPerCall, [this](std::string_view piece) { AddWord(piece); });
}

void CBayesWord::PopolateForSeven(std::string_view text) {
  for (size_t offset = 0; offset < text.size() && words_.GetSize() < kSliceTokenLimit; offset += kSliceStep) {
    const std::string slice = Clean(text.substr(offset, kSliceChars));
    if (slice.size() == static_cast<size_t>(kSliceChars)) words_.Add(String(std::string_view(slice)));
  }
}

void CBayesWord::Md5Words(std::string_view text) {
  std::string gathered;
  int lines = 0;
  ForEachPiece(text, '\n', SIZE_MAX, [&](std::string_view line) {
    gathered.append(line);
    if (++lines % kLinesPerDigest != 0) return;
    words_.Add(MD5Hex(gathered.data(), gathered.size()));
    gathered.clear();
  });
  words_.Add(MD5Hex(gathered.data(), gathered.size()));
}

int CBayesWord::Elaborate(CParseMail* mail) {
  words_.RemoveAll();
  tokens_.clear();
  if (mail == nullptr || mail->GetLen() == 0) return 0;
  const std::string_view subject = mail->GetSubject();
  if (!subject.empty()) PopolateWords(std::string(subject) + " ");
  const std::string_view from = mail->GetMailFrom();
  if (!from.empty()) PopolateWords(AddressWords(from));
  const std::string_view to = mail->GetMailTo();
  if (!to.empty()) PopolateWords(AddressWords(to));
  const std::string_view id_domain = mail->GetMessageIdDomain();
  if (!id_domain.empty()) PopolateWords(std::string(id_domain) + " ");

  if (IsTextType(mail->GetContentType())) {
    PopolateWords(mail->BodyView());
  } else if (mail->GetAttachmentCount() == 0) {
    Md5Words(mail->BodyView());
  } else {
    for (int i = 0; i < mail->GetAttachmentCount(); ++i) {
      const CParseMail::ALLEGATO* part = mail->Attachment(i);
      if (IsTextType(part->contentType.View())) {
        PopolateWords(part->data.View());
      } else {
        words_.Add(MD5Hex(part->data.GetData(), static_cast<size_t>(part->data.size())));
        Md5Words(part->data.View());
      }
    }
  }
  PopolateForSeven(mail->RawView());
  tokens_ = MessageTokens(*mail);
  return 1;
}

int CBayesWord::ElaborateTokens(CParseMail* mail) {
  words_.RemoveAll();
  tokens_.clear();
  if (mail == nullptr || mail->GetLen() == 0) return 0;
  tokens_ = MessageTokens(*mail);
  return 1;
}
