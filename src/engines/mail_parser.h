// mail_parser - CParseMail, a raw RFC 822/MIME message split into header,
// body, the header values the filters read, and its MIME parts in order.
// The session worker parses the analysed prefix of each message with it;
// the Bayes filter, the antispam script API and the script class
// "CS_ParseMail" read it. Parsing is one linear pass over untrusted bytes:
// bounded in time and memory whatever the message holds.
#ifndef TORVANE_ENGINES_MAIL_PARSER_H_
#define TORVANE_ENGINES_MAIL_PARSER_H_

#include <functional>
#include <string>
#include <string_view>

#include "base/object_array.h"
#include "base/string.h"

// Not thread-safe: one object per connection or script object.
class CParseMail {
 public:
  // ALLEGATO ("attachment"): one leaf MIME part of the message.
  struct ALLEGATO {
    String contentType;       // lower-cased, parameters dropped
    String data;              // the part's text after its header, not decoded
    String charset;           // lower-cased
    String transferEncoding;  // lower-cased
  };

  // Most bytes `raw` takes from AddStreaming, LoadMail and LoadFromFile:
  // the daemon parses 30 KiB prefixes; a script's message beyond this is
  // cut rather than allowed to exhaust memory.
  static constexpr int kMaxRawBytes = 16 << 20;
  // Nested multiparts are walked this deep; a deeper one is kept whole as
  // one part.
  static constexpr int kMaxDepth = 8;
  // Parts kept per message; the rest are ignored.
  static constexpr int kMaxParts = 512;

  CParseMail() = default;
  CParseMail(const CParseMail&) = delete;
  CParseMail& operator=(const CParseMail&) = delete;

  // `raw` = `text` (at most kMaxRawBytes of it); 0 for a null text, else 1.
  int LoadMail(const char* text);
  // Appends to `raw`, up to kMaxRawBytes in all.
  void AddStreaming(const char* text);
  void AddStreaming(std::string_view bytes);
  // Appends the file's bytes (NUL bytes included) to `raw`, up to
  // kMaxRawBytes in all. 0 when the file cannot be read, else 1.
  int LoadFromFile(const char* path);
  // Replaces the file at `path` with `raw` atomically. 1 on success; 0
  // when `raw` is empty, the path is null or the write failed.
  int SaveInFile(const char* path);

  // Parses `raw` afresh (earlier results are dropped first): 1 when `raw`
  // is not empty, else 0.
  int Parse();
  // Empties every field, `raw` included, and the part list.
  void Clear();

  // The fields; the empty text when not found or not parsed.
  const char* GetRawEmail() { return Text(raw_); }
  const char* GetHeader() { return Text(header_); }
  const char* GetBody() { return Text(body_); }
  const char* GetSubject() { return Text(subject_); }
  const char* GetMailFrom() { return Text(from_); }
  const char* GetMailTo() { return Text(to_); }
  const char* GetContentType() { return Text(content_type_); }
  const char* GetCharset() { return Text(charset_); }
  const char* GetContentTransferEncoding() { return Text(transfer_encoding_); }
  const char* GetBoundary() { return Text(boundary_); }
  const char* GetMessageIdDomain() { return Text(message_id_domain_); }
  int GetLen() const { return raw_.size(); }
  int GetAttachmentCount() const { return attachments_.GetSize(); }

  // Part `i`'s fields, copied into a scratch text that stays valid until
  // the next of these calls; the empty text for an index outside
  // 0..count-1.
  const char* GetAttachmentBuffer(int i);
  const char* GetAttachmentContentType(int i);
  const char* GetAttachmentCharset(int i);
  const char* GetAttachmentContentTransferEncoding(int i);
  // Part `i`, or null outside 0..count-1. Owned by this object; valid
  // until the next Parse or Clear.
  const ALLEGATO* Attachment(int i) const;

  // Byte views of the fields (empty when absent), for native readers.
  std::string_view RawView() const { return raw_.View(); }
  std::string_view HeaderView() const { return header_.View(); }
  std::string_view BodyView() const { return body_.View(); }

  // ---- decoded views, valid UTF-8, for the classifiers
  // Calls `visit(name, value)` for every field of the header in order, the
  // name as written and the value unfolded (line breaks removed), not
  // decoded. Stops when `visit` returns false.
  void ForEachHeaderField(const std::function<bool(std::string_view, std::string_view)>& visit) const;
  // A header value with its encoded words decoded (see DecodeHeaderValue).
  static std::string DecodedHeader(std::string_view value);
  // Calls `visit(content_type, text)` for each text part in order: the body
  // of a message that is not multipart, else every part whose type starts
  // with "text/"; `text` is the part's transfer-decoded bytes in UTF-8.
  void ForEachText(const std::function<void(std::string_view, const std::string&)>& visit) const;

 private:
  // Part `i`'s `field` in the accessors' result; "" for no such part.
  const char* AttachmentField(int i, String ALLEGATO::*field);
  static const char* Text(const String& s) { return s.GetData() != nullptr ? s.GetData() : ""; }
  // Walks the parts of the multipart text `body` of type `multipart_type`
  // with `boundary`, adding leaves in order; nested multiparts below `depth`
  // are walked too.
  void WalkMultipart(std::string_view body, std::string_view multipart_type, std::string_view boundary, int depth);
  // Adds one part (its header and content) or walks it when it is itself a
  // multipart and `depth` allows. A part that names no type has
  // `default_type`.
  void AddPart(std::string_view part, std::string_view default_type, int depth);

  String raw_;
  String header_;
  String body_;
  String content_type_;
  String transfer_encoding_;
  String charset_;
  String boundary_;
  String subject_;
  String from_;
  String to_;
  String message_id_domain_;
  CArray<ALLEGATO> attachments_;
  String scratch_;  // the per-part accessors' result
};

#endif  // TORVANE_ENGINES_MAIL_PARSER_H_
