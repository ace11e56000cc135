// encoding_functions - the script encoding functions: thin adapters from C-string
// arguments to the coders of text_codecs and the MD5 routines.
#include "scriptlib/encoding_functions.h"

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>

#include "base/file.h"
#include "base/utility.h"
#include "base/text_codecs.h"

namespace {

std::string_view ViewOf(const char* text) { return text != nullptr ? text : ""; }

String StringOf(const std::string& text) { return String(std::string_view(text)); }

}  // namespace

const char* CS_InConde::Encode64(const char* text) {
  return results_.Keep(Text::kEncode64, StringOf(Base64Encode(ViewOf(text))));
}

const char* CS_InConde::Decode64(const char* text) {
  return results_.Keep(Text::kDecode64, StringOf(Base64Decode(ViewOf(text))));
}

const char* CS_InConde::MD5(const char* text) {
  if (text == nullptr) return nullptr;
  return results_.Keep(Text::kMD5, MD5Hex(text));
}

const char* CS_InConde::MD5File(const char* path, int block) {
  CKFile file;
  if (path == nullptr || !file.Open(path, CKFile::kModeRead)) {
    return results_.Keep(Text::kMD5File, String(""));
  }
  if (block < 1 || block > kMaxMD5FileBlock) block = kDefaultMD5FileBlock;
  const auto buffer = std::make_unique<char[]>(static_cast<size_t>(block));
  CMD5Stream digest;
  for (size_t n = file.Read(buffer.get(), block); n > 0; n = file.Read(buffer.get(), block)) {
    digest.Update(buffer.get(), n);
  }
  file.Close();
  return results_.Keep(Text::kMD5File, digest.FinalHex());
}

void CS_InConde::MD5StartStream() { stream_.Start(); }

void CS_InConde::MD5UpdateStreamB(const String* buffer, int length) {
  if (buffer == nullptr) return;
  const std::string_view bytes = buffer->BufferView();
  MD5UpdateStreamBytes(bytes.data(), bytes.size(), length);
}

void CS_InConde::MD5UpdateStreamBytes(const void* bytes, size_t available, int length) {
  if (bytes == nullptr || length < 1 || length > kMaxMD5StreamBlock) return;
  stream_.Update(bytes, std::min(available, static_cast<size_t>(length)));
}

void CS_InConde::MD5UpdateStream(const char* text) {
  const std::string_view bytes = ViewOf(text);
  stream_.Update(bytes.data(), bytes.size());
}

const char* CS_InConde::MD5FinalStream() {
  return results_.Keep(Text::kMD5FinalStream, stream_.FinalHex());
}

const char* CS_InConde::DecodeHtmlSpecialChar(const char* text) {
  return results_.Keep(Text::kDecodeHtmlSpecialChar, StringOf(DecodeHtmlEntities(ViewOf(text))));
}

const char* CS_InConde::EncodeHtmlSpecialChar(const char* text) {
  return results_.Keep(Text::kEncodeHtmlSpecialChar, StringOf(EncodeHtmlEntities(ViewOf(text))));
}

const char* CS_InConde::DeOfuscate(const char* text) {
  const std::string decoded = DecodeHtmlEntities(ViewOf(text));
  return results_.Keep(Text::kDeOfuscate, StringOf(DecodeCharacterReferences(decoded)));
}

const char* CS_InConde::HtmlToText(const char* text) {
  const std::string stripped = StripTags(ViewOf(text));
  return results_.Keep(Text::kHtmlToText, StringOf(DecodeHtmlEntities(stripped)));
}

const char* CS_InConde::URLDecode(const char* text) {
  return results_.Keep(Text::kURLDecode, StringOf(URLDecodeText(ViewOf(text))));
}

const char* CS_InConde::URLEncode(const char* text) {
  if (text == nullptr) return nullptr;
  return results_.Keep(Text::kURLEncode, StringOf(URLEncodeText(text)));
}

int CS_InConde::HextoInt(const char* text) const { return ::HextoInt(text); }
