// mail_parser - splitting a message into header, body, header values and
// MIME parts with bounded cursors (see mail_parser.h).
#include "engines/mail_parser.h"

#include <cctype>
#include <string>

#include "base/atomic_file.h"
#include "base/file.h"
#include "engines/mail_decoding.h"

namespace {

// Where a header block ends and the content after its empty line begins.
struct HeaderSplit {
  bool found = false;        // an empty line ends a non-empty header
  size_t header_end = 0;     // the header is text[0, header_end): its last line break excluded
  size_t content_start = 0;  // the first byte after the empty line
};

// Finds the first empty line (one holding nothing but carriage returns). A
// text that starts with one, or has none, has no header.
HeaderSplit SplitAtEmptyLine(std::string_view text) {
  HeaderSplit split;
  for (size_t line = 0; line < text.size();) {
    const size_t end = text.find('\n', line);
    if (end == std::string_view::npos) break;
    const bool empty = text.find_first_not_of('\r', line) >= end;
    if (empty) {
      if (line == 0) break;
      split.found = true;
      split.header_end = line - 1;  // the '\n' ending the last header line
      if (split.header_end > 0 && text[split.header_end - 1] == '\r') --split.header_end;
      split.content_start = end + 1;
      break;
    }
    line = end + 1;
  }
  return split;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// A field name: printable ASCII without blanks or ':'. So an mbox "From "
// line, a continuation or garbage is no field.
bool IsFieldName(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

// Calls `visit(name, folded_value)` for each field of `header`, in order,
// until it returns false. The value runs from after the ':' to the end of
// the field's last continuation line (line breaks still in it).
template <typename Visit>
void ScanFields(std::string_view header, Visit visit) {
  size_t line = 0;
  while (line < header.size()) {
    size_t end = header.find('\n', line);
    if (end == std::string_view::npos) end = header.size();
    // Continuation lines start with a blank.
    size_t field_end = end;
    while (field_end + 1 < header.size() && (header[field_end + 1] == ' ' || header[field_end + 1] == '\t')) {
      field_end = header.find('\n', field_end + 1);
      if (field_end == std::string_view::npos) field_end = header.size();
    }
    const std::string_view first = header.substr(line, end - line);
    const size_t colon = first.find(':');
    if (colon != std::string_view::npos && IsFieldName(first.substr(0, colon))) {
      const size_t value_start = line + colon + 1;
      if (!visit(first.substr(0, colon), header.substr(value_start, field_end - value_start))) return;
    }
    line = field_end + 1;
  }
}

// A folded value with its line breaks removed and its ends trimmed.
std::string Unfold(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : Trim(value)) {
    if (c != '\r' && c != '\n') out.push_back(c);
  }
  return out;
}

String Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return String(out);
}

// The value of the parameter `name` in a Content-Type value: quoted (up to
// the closing quote) or bare (up to ';', a blank or a quote). Empty when
// absent.
std::string_view Parameter(std::string_view value, std::string_view name) {
  for (size_t at = value.find(';'); at != std::string_view::npos; at = value.find(';', at + 1)) {
    size_t start = at + 1;
    while (start < value.size() && IsBlank(value[start])) ++start;
    if (value.size() - start <= name.size() || !EqualNoCase(value.substr(start, name.size()), name)) continue;
    size_t equals = start + name.size();
    while (equals < value.size() && IsBlank(value[equals])) ++equals;
    if (equals >= value.size() || value[equals] != '=') continue;
    size_t begin = equals + 1;
    while (begin < value.size() && IsBlank(value[begin])) ++begin;
    if (begin < value.size() && value[begin] == '"') {
      const size_t close = value.find('"', begin + 1);
      const size_t end = close == std::string_view::npos ? value.size() : close;
      return value.substr(begin + 1, end - begin - 1);
    }
    size_t end = begin;
    while (end < value.size() && value[end] != ';' && value[end] != '"' && !IsBlank(value[end])) ++end;
    return value.substr(begin, end - begin);
  }
  return {};
}

// The MIME description of a header: its type, parameters and encoding.
struct PartFields {
  String content_type;  // lower-cased, parameters dropped
  String charset;       // lower-cased
  String boundary;      // as written
  String transfer_encoding;
};

PartFields ReadPartFields(std::string_view header) {
  std::string content_type, encoding;
  bool have_type = false, have_encoding = false;
  ScanFields(header, [&](std::string_view name, std::string_view value) {
    if (!have_type && EqualNoCase(name, "Content-Type")) {
      content_type = Unfold(value);
      have_type = true;
    } else if (!have_encoding && EqualNoCase(name, "Content-Transfer-Encoding")) {
      encoding = Unfold(value);
      have_encoding = true;
    }
    return !(have_type && have_encoding);
  });
  PartFields fields;
  const std::string_view type_view = content_type;
  const size_t type_end = type_view.find_first_of("; \t\"");
  fields.content_type = Lower(type_view.substr(0, type_end));
  fields.charset = Lower(Parameter(type_view, "charset"));
  fields.boundary = String(Parameter(type_view, "boundary"));
  fields.transfer_encoding = Lower(Trim(encoding));
  return fields;
}

// A part's header and content. A part that starts with an empty line, or
// with a line that is no header field, has no header: all of it after that
// empty line, or all of it, is content. A header without the empty line
// after it was cut short and holds no content (false).
bool SplitPart(std::string_view part, std::string_view* header, std::string_view* content) {
  const size_t first_line_end = part.find('\n');
  const std::string_view first_line = part.substr(0, first_line_end);
  const size_t colon = first_line.find(':');
  *header = {};
  if (first_line_end != std::string_view::npos && first_line.find_first_not_of('\r') == std::string_view::npos) {
    *content = part.substr(first_line_end + 1);
    return true;
  }
  if (colon == std::string_view::npos || !IsFieldName(first_line.substr(0, colon))) {
    *content = part;
    return true;
  }
  const HeaderSplit split = SplitAtEmptyLine(part);
  if (!split.found) return false;
  *header = part.substr(0, split.header_end);
  *content = part.substr(split.content_start);
  return true;
}

// What a part of a multipart of type `multipart_type` is when its header
// names no type.
std::string_view DefaultPartType(std::string_view multipart_type) {
  return multipart_type == "multipart/digest" ? "message/rfc822" : "text/plain";
}

bool IsMultipart(const PartFields& fields) {
  return fields.content_type.View().substr(0, 10) == "multipart/" && !fields.boundary.IsEmpty();
}

// A delimiter line "--boundary" at a line start, then "--", blanks or the
// line's end.
struct Delimiter {
  size_t start = std::string_view::npos;  // npos when there is none
  bool closing = false;
  size_t next_line = 0;  // where the line after it starts
};

Delimiter FindDelimiter(std::string_view body, std::string_view marker, size_t from) {
  Delimiter found;
  for (size_t at = body.find(marker, from); at != std::string_view::npos; at = body.find(marker, at + 1)) {
    if (at > 0 && body[at - 1] != '\n') continue;
    const std::string_view rest = body.substr(at + marker.size());
    found.closing = rest.substr(0, 2) == "--";
    if (!found.closing && !rest.empty() && !IsBlank(rest.front())) continue;
    found.start = at;
    const size_t line_end = body.find('\n', at);
    found.next_line = line_end == std::string_view::npos ? body.size() : line_end + 1;
    return found;
  }
  return found;
}

}  // namespace

// {=========== loading and saving

int CParseMail::LoadMail(const char* text) {
  if (text == nullptr) return 0;
  raw_.clear();
  AddStreaming(std::string_view(text));
  return 1;
}

void CParseMail::AddStreaming(const char* text) {
  if (text != nullptr) AddStreaming(std::string_view(text));
}

void CParseMail::AddStreaming(std::string_view bytes) {
  const size_t room = static_cast<size_t>(kMaxRawBytes - raw_.size());
  raw_.append(bytes.data(), std::min(bytes.size(), room));
}

int CParseMail::LoadFromFile(const char* path) {
  std::string bytes;
  if (!ReadFileHead(path, static_cast<size_t>(kMaxRawBytes - raw_.size()), &bytes)) return 0;
  AddStreaming(bytes);
  return 1;
}

int CParseMail::SaveInFile(const char* path) {
  if (path == nullptr || raw_.IsEmpty()) return 0;
  AtomicFile file(path);
  return file.Open() && file.Write(raw_.GetData(), static_cast<size_t>(raw_.size())) && file.Commit() ? 1 : 0;
}

void CParseMail::Clear() {
  raw_.clear();
  for (String* field : {&header_, &body_, &content_type_, &transfer_encoding_, &charset_, &boundary_,
                        &subject_, &from_, &to_, &message_id_domain_, &scratch_}) {
    field->clear();
  }
  attachments_.RemoveAll();
}

// }===========

// {=========== parsing

int CParseMail::Parse() {
  String raw = std::move(raw_);
  Clear();
  raw_ = std::move(raw);
  if (raw_.IsEmpty()) return 0;
  const std::string_view text = raw_.View();
  const HeaderSplit split = SplitAtEmptyLine(text);
  if (!split.found) {
    body_ = raw_;
    return 1;
  }
  const std::string_view header = text.substr(0, split.header_end);
  header_ = String(header);
  body_ = String(text.substr(split.header_end));

  bool have_subject = false, have_from = false, have_to = false, have_id = false;
  ScanFields(header, [&](std::string_view name, std::string_view value) {
    if (!have_subject && EqualNoCase(name, "Subject")) {
      subject_ = String(Unfold(value));
      have_subject = true;
    } else if (!have_from && EqualNoCase(name, "From")) {
      from_ = String(Unfold(value));
      have_from = true;
    } else if (!have_to && EqualNoCase(name, "To")) {
      to_ = String(Unfold(value));
      have_to = true;
    } else if (!have_id && EqualNoCase(name, "Message-Id")) {
      const std::string id = Unfold(value);
      const size_t open = id.find('<');
      const size_t at = open == std::string::npos ? open : id.find('@', open + 2);
      const size_t close = at == std::string::npos ? at : id.find('>', at + 1);
      if (close != std::string::npos && close > at + 1) message_id_domain_ = String(id.substr(at + 1, close - at - 1));
      have_id = true;
    }
    return !(have_subject && have_from && have_to && have_id);
  });

  const PartFields fields = ReadPartFields(header);
  content_type_ = fields.content_type;
  charset_ = fields.charset;
  transfer_encoding_ = fields.transfer_encoding;
  boundary_ = fields.boundary;
  if (IsMultipart(fields)) {
    WalkMultipart(text.substr(split.content_start), content_type_.View(), boundary_.View(), 1);
  }
  return 1;
}

void CParseMail::WalkMultipart(std::string_view body, std::string_view multipart_type, std::string_view boundary,
                               int depth) {
  const std::string marker = "--" + std::string(boundary);
  Delimiter current = FindDelimiter(body, marker, 0);
  while (current.start != std::string_view::npos && !current.closing && GetAttachmentCount() < kMaxParts) {
    const size_t content = current.next_line;
    const Delimiter next = FindDelimiter(body, marker, content);
    // The line break before the next delimiter belongs to it; a part cut
    // short (no next delimiter) runs to the end of what we have.
    size_t end = next.start == std::string_view::npos ? body.size() : next.start;
    if (end > content && body[end - 1] == '\n') --end;
    if (end > content && body[end - 1] == '\r') --end;
    AddPart(body.substr(content, end - content), DefaultPartType(multipart_type), depth);
    current = next;
  }
}

void CParseMail::AddPart(std::string_view part, std::string_view default_type, int depth) {
  std::string_view header, content;
  if (!SplitPart(part, &header, &content)) return;
  const PartFields fields = ReadPartFields(header);
  if (IsMultipart(fields) && depth < kMaxDepth) {
    WalkMultipart(content, fields.content_type.View(), fields.boundary.View(), depth + 1);
    return;
  }
  if (content.empty() || GetAttachmentCount() >= kMaxParts) return;
  ALLEGATO leaf;
  leaf.contentType = fields.content_type.IsEmpty() ? String(default_type) : fields.content_type;
  leaf.data = String(content);
  leaf.charset = fields.charset;
  leaf.transferEncoding = fields.transfer_encoding;
  attachments_.Add(std::move(leaf));
}

// }===========

// {=========== accessors and decoded views

const CParseMail::ALLEGATO* CParseMail::Attachment(int i) const { return attachments_.GetAtP(i); }

const char* CParseMail::AttachmentField(int i, String ALLEGATO::*field) {
  const ALLEGATO* part = Attachment(i);
  scratch_ = part != nullptr ? part->*field : String("");
  return Text(scratch_);
}

const char* CParseMail::GetAttachmentBuffer(int i) { return AttachmentField(i, &ALLEGATO::data); }

const char* CParseMail::GetAttachmentContentType(int i) { return AttachmentField(i, &ALLEGATO::contentType); }

const char* CParseMail::GetAttachmentCharset(int i) { return AttachmentField(i, &ALLEGATO::charset); }

const char* CParseMail::GetAttachmentContentTransferEncoding(int i) {
  return AttachmentField(i, &ALLEGATO::transferEncoding);
}

void CParseMail::ForEachHeaderField(const std::function<bool(std::string_view, std::string_view)>& visit) const {
  ScanFields(header_.View(), [&](std::string_view name, std::string_view value) {
    return visit(name, Unfold(value));
  });
}

std::string CParseMail::DecodedHeader(std::string_view value) { return DecodeHeaderValue(value); }

void CParseMail::ForEachText(const std::function<void(std::string_view, const std::string&)>& visit) const {
  if (attachments_.GetSize() == 0) {
    const std::string_view type = content_type_.View();
    if (!type.empty() && type.substr(0, 5) != "text/") return;
    // The body starts with the empty line's line breaks.
    const HeaderSplit split = SplitAtEmptyLine(raw_.View());
    const std::string_view content = split.found ? raw_.View().substr(split.content_start) : raw_.View();
    visit(type.empty() ? "text/plain" : type, ToUtf8(DecodeTransfer(content, transfer_encoding_.View()), charset_.View()));
    return;
  }
  for (const ALLEGATO& part : attachments_) {
    if (part.contentType.View().substr(0, 5) != "text/") continue;
    visit(part.contentType.View(), ToUtf8(DecodeTransfer(part.data.View(), part.transferEncoding.View()), part.charset.View()));
  }
}

// }===========
