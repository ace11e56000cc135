// xml_reader - the streaming record reader (see xml_reader.h). The pending
// text is consumed from its front as declaration, root, item name and items
// are found, and reading stops at fixed bounds, so no input can make it
// loop or grow without limit.
#include "engines/xml_reader.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>

#include "base/regex.h"
#include "base/utility.h"

namespace {

// The first element tag of `text`: a "<", at least one character, and the
// first ">" after it, all on one line. `name` is what lies between, `end`
// the offset just past the ">". Linear in the text's length: when a "<"
// finds a line end before its ">", every "<" before that line end would too.
bool FindTag(std::string_view text, std::string_view* name, size_t* end) {
  size_t open = text.find('<');
  while (open != std::string_view::npos) {
    const size_t close = text.find('>', open + 2);
    if (close == std::string_view::npos) return false;
    const size_t line_end = text.find('\n', open + 1);
    if (line_end == std::string_view::npos || line_end > close) {
      *name = text.substr(open + 1, close - open - 1);
      *end = close + 1;
      return true;
    }
    open = text.find('<', line_end + 1);
  }
  return false;
}

// A tag that cannot name a root or item element: one with attributes, a
// closing or empty-element tag, a comment, declaration or instruction.
bool IsPlainElementName(std::string_view name) {
  if (name.find_first_of(" \t\r\n") != std::string_view::npos) return false;
  return name.front() != '/' && name.front() != '!' && name.front() != '?' && name.back() != '/';
}

std::string OpenTag(std::string_view name) { return "<" + std::string(name) + ">"; }
std::string CloseTag(std::string_view name) { return "</" + std::string(name) + ">"; }

// Offset of `needle` in `text`, letters compared caselessly.
size_t FindCaseless(std::string_view text, std::string_view needle) {
  auto it = std::search(text.begin(), text.end(), needle.begin(), needle.end(), [](char a, char b) {
    return tolower(static_cast<unsigned char>(a)) == tolower(static_cast<unsigned char>(b));
  });
  return it == text.end() ? std::string_view::npos : static_cast<size_t>(it - text.begin());
}

// Fills `item` from the content of one item element: each child element
// gives its tag and its text without "<" and ">". The content ends at the
// first child without a closing tag.
void ParseChildren(std::string_view content, CSimpleXMLItmesChild* item) {
  std::string_view tag;
  size_t tag_end = 0;
  while (FindTag(content, &tag, &tag_end)) {
    const std::string close = CloseTag(tag);
    const size_t close_at = content.find(close, tag_end);
    if (close_at == std::string_view::npos) return;
    std::string text(content.substr(tag_end, close_at - tag_end));
    text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '<' || c == '>'; }), text.end());
    item->AddValue(std::string(tag).c_str(), text.c_str());
    content.remove_prefix(close_at + close.size());
  }
}

}  // namespace

size_t XmlMemorySource::Read(char* buffer, size_t n) {
  const size_t count = std::min(n, bytes_.size() - position_);
  memcpy(buffer, bytes_.data() + position_, count);
  position_ += count;
  return count;
}

// {=========== CSimpleXMLItmesChild

bool CSimpleXMLItmesChild::AddValue(const char* tag, const char* text) {
  if (tag == nullptr || text == nullptr) return false;
  if (*tag == '\0') return true;
  std::string& slot = values_[tag];
  if (slot.empty()) bytes_ += strlen(tag);
  bytes_ = bytes_ - slot.size() + strlen(text);
  slot = text;
  return true;
}

const char* CSimpleXMLItmesChild::GetValue(const char* tag) const {
  if (tag == nullptr) return "";
  auto it = values_.find(tag);
  return it != values_.end() ? it->second.c_str() : "";
}

// }===========
// {=========== CSimpleXMLParse

bool CSimpleXMLParse::LoadFile(const char* path, const char* filter_tag, const char* filter_pattern) {
  if (path == nullptr) return false;
  XmlFileSource file;
  if (!file.Open(path)) return false;
  return Load(&file, filter_tag, filter_pattern);
}

bool CSimpleXMLParse::Load(XmlByteSource* source, const char* filter_tag, const char* filter_pattern) {
  items_.clear();
  root_name_.clear();
  item_name_.clear();
  pending_.clear();
  total_read_ = 0;
  declared_ = false;
  at_end_ = false;
  kept_bytes_ = 0;
  filter_tag_ = filter_tag != nullptr ? filter_tag : "";
  filter_pattern_ = filter_pattern != nullptr ? filter_pattern : "";
  const time_t deadline = streaming_timeout_ > 0 ? GetTimeNow() + streaming_timeout_ : 0;
  char chunk[kReadBytes];
  for (;;) {
    const Step step = Advance(source);
    if (step == Step::kRefuse) return false;
    if (step == Step::kStop) break;
    if (step == Step::kProgress) continue;
    if (at_end_ || pending_.size() > kMaxPendingBytes) break;
    if (deadline != 0 && GetTimeNow() >= deadline) break;
    const size_t got = source->Read(chunk, sizeof chunk);
    at_end_ = got == 0;
    total_read_ += got;
    pending_.append(chunk, got);
  }
  pending_.clear();
  pending_.shrink_to_fit();
  return true;
}

CSimpleXMLParse::Step CSimpleXMLParse::Advance(XmlByteSource* source) {
  if (!declared_) return FindDeclaration();
  if (root_name_.empty()) return FindRoot();
  if (item_name_.empty()) return FindItemName(source);
  return TakeItem();
}

// The declaration "<?xml version="..." ...?>", attributes after the
// version optional.
CSimpleXMLParse::Step CSimpleXMLParse::FindDeclaration() {
  constexpr std::string_view kStart = "<?xml version=\"";
  const size_t start = FindCaseless(pending_, kStart);
  const size_t quote = start == std::string::npos ? start : pending_.find('"', start + kStart.size() + 1);
  const size_t close = quote == std::string::npos ? quote : pending_.find('>', quote + 1);
  if (close == std::string::npos) {
    return total_read_ > kDeclarationWindow || at_end_ ? Step::kRefuse : Step::kNeedMore;
  }
  pending_.erase(0, close + 1);
  declared_ = true;
  return Step::kProgress;
}

CSimpleXMLParse::Step CSimpleXMLParse::FindRoot() {
  std::string_view name;
  size_t end = 0;
  if (!FindTag(pending_, &name, &end)) return Step::kNeedMore;
  if (IsPlainElementName(name)) root_name_ = name;
  pending_.erase(0, end);
  return Step::kProgress;
}

// The first plain element with child elements names the items; elements
// before it without children (a title, a date) are skipped.
CSimpleXMLParse::Step CSimpleXMLParse::FindItemName(XmlByteSource* source) {
  std::string_view name;
  size_t end = 0;
  if (!FindTag(pending_, &name, &end)) return Step::kNeedMore;
  if (!IsPlainElementName(name)) {
    pending_.erase(0, end);
    return Step::kProgress;
  }
  const std::string close = CloseTag(name);
  const size_t close_at = pending_.find(close, end);
  if (close_at == std::string::npos) return Step::kNeedMore;
  const std::string_view inner = std::string_view(pending_).substr(end, close_at - end);
  if (inner.find('<') == std::string_view::npos || inner.find('>') == std::string_view::npos) {
    pending_.erase(0, close_at + close.size());
    return Step::kProgress;
  }
  item_name_ = name;
  const uint64_t length = source->Length();
  if (part_seek_ >= 1 && part_seek_ <= 9 && length > 0) {
    const uint64_t offset = part_seek_ * (length / 10);
    if (offset > 0) {
      source->SeekTo(offset);
      pending_.clear();
      at_end_ = false;
    }
  }
  return Step::kProgress;
}

CSimpleXMLParse::Step CSimpleXMLParse::TakeItem() {
  const std::string open = OpenTag(item_name_);
  const std::string close = CloseTag(item_name_);
  const size_t open_at = pending_.find(open);
  const size_t close_at = pending_.find(close);
  if (close_at == std::string::npos) return Step::kNeedMore;
  // The tail of an item cut by a seek (or stray text): drop it.
  if (open_at == std::string::npos || close_at < open_at) {
    pending_.erase(0, close_at + close.size());
    return Step::kProgress;
  }
  auto item = std::make_unique<CSimpleXMLItmesChild>();
  const size_t content_at = open_at + open.size();
  ParseChildren(std::string_view(pending_).substr(content_at, close_at - content_at), item.get());
  pending_.erase(0, close_at + close.size());
  if (item->GetCount() == 0 || !Keep(*item)) return Step::kProgress;
  kept_bytes_ += item->bytes();
  items_.push_back(std::move(item));
  if (max_child_ > 0 && GetCountChild() >= max_child_) return Step::kStop;
  return kept_bytes_ > kMaxKeptBytes ? Step::kStop : Step::kProgress;
}

bool CSimpleXMLParse::Keep(const CSimpleXMLItmesChild& item) const {
  if (filter_tag_.empty() || filter_pattern_.empty()) return true;
  const char* value = item.GetValue(filter_tag_.c_str());
  return *value != '\0' &&
         RegexMatchLimited(filter_pattern_.c_str(), kRegexCaseless, value, strlen(value), kFilterMatchLimit) == 1;
}

CSimpleXMLItmesChild* CSimpleXMLParse::GetChild(int index) {
  index = std::max(index, 0);
  return static_cast<size_t>(index) < items_.size() ? items_[index].get() : nullptr;
}

// }===========
