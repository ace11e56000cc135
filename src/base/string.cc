// string - String: storage growth, formatting, search, slicing and the regular
// expression helpers built on base/regex.
#include "base/string.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "base/regex.h"

// Scratch kept apart from the String itself so that the common case (plain
// text, never sliced or matched) costs one pointer.
struct String::Extras {
  std::string slice;                       // output of the last Mid & co.
  CArray<String, const String&> matches;  // groups of the last eq
};

namespace {

// Group references in a ReplaceRE replacement: each group fills at most this
// many of its "$k" references; later ones stay literal.
constexpr int kMaxFillsPerGroup = 3;
// ReplaceRE replaces the group's occurrences (rather than the whole String)
// only for a replacement at least this long.
constexpr size_t kMinInPlaceReplacement = 3;

const char* OrEmpty(const char* text) { return text ? text : ""; }

unsigned char FoldAsciiUpper(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// True when `p` points into [begin, begin + size).
bool PointsInto(const void* p, const char* begin, int32_t size) {
  if (begin == nullptr) return false;
  const auto* byte = static_cast<const char*>(p);
  return !std::less<const char*>()(byte, begin) && std::less<const char*>()(byte, begin + size);
}

// Formats into `out` (kMaxFormatChars + 1 bytes); returns the characters
// kept, 0 on a formatting error or a null format.
int FormatInto(char* out, const char* format, va_list args) {
  if (format == nullptr) return 0;
  const int n = vsnprintf(out, String::kMaxFormatChars + 1, format, args);
  if (n < 0) return 0;
  return std::min(n, String::kMaxFormatChars);
}

// Expands "$k" references in `replacement` with the captured groups. Sets
// `referenced` to the number of distinct groups used and `last_group` to the
// (0-based) index of the last of them.
std::string ExpandGroupReferences(const char* replacement, const CArray<String, const String&>& groups,
                                  int* referenced, int* last_group) {
  std::string out;
  std::vector<int> fills(static_cast<size_t>(groups.GetSize()), 0);
  *referenced = 0;
  *last_group = -1;
  for (const char* p = replacement; *p != '\0'; ++p) {
    const int k = (p[0] == '$' && p[1] >= '1' && p[1] <= '9') ? p[1] - '1' : -1;
    if (k < 0 || k >= groups.GetSize() || fills[k] == kMaxFillsPerGroup) {
      out.push_back(*p);
      continue;
    }
    if (fills[k]++ == 0) {
      ++*referenced;
      *last_group = k;
    }
    out.append(groups[k].View());
    ++p;  // skip the digit
  }
  return out;
}

}  // namespace

// --- Construction --------------------------------------------------------

String::String() = default;

String::String(const char* text) { append(text); }

String::String(const String& other) {
  if (other.data_) append(other.data_.get(), static_cast<size_t>(other.length_));
}

String::String(String&& other) noexcept
    : data_(std::move(other.data_)),
      length_(std::exchange(other.length_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      buffer_length_(std::exchange(other.buffer_length_, 0)),
      extras_(std::move(other.extras_)) {}

String::String(char c) { printf("%c", c); }

String::String(int value) { printf("%d", value); }

String::String(float value) { printf("%g", static_cast<double>(value)); }

String::String(std::string_view text) { append(text.data(), text.size()); }

String::~String() = default;

String::Extras& String::extras() {
  if (!extras_) extras_ = std::make_unique<Extras>();
  return *extras_;
}

char* String::GetBuffer(int i) {
  if (!data_) return nullptr;
  return data_.get() + std::clamp(i, 0, capacity_ - 1);
}

int String::GetLength() const {
  return data_ ? static_cast<int>(strnlen(data_.get(), static_cast<size_t>(capacity_))) : 0;
}

std::string_view String::BufferView() const {
  if (buffer_length_ > 0) return std::string_view(data_.get(), static_cast<size_t>(buffer_length_));
  return View();
}

// --- Storage -------------------------------------------------------------

bool String::Reserve(int64_t new_length) {
  if (new_length > kMaxLength) return false;
  if (data_ && capacity_ > new_length) return true;
  Regrow(static_cast<int32_t>(2 * new_length + 1));
  return true;
}

void String::Regrow(int32_t new_capacity) {
  auto fresh = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(new_capacity));
  if (data_) memcpy(fresh.get(), data_.get(), static_cast<size_t>(capacity_));
  memset(fresh.get() + capacity_, 0, static_cast<size_t>(new_capacity - capacity_));
  data_ = std::move(fresh);
  capacity_ = new_capacity;
}

void String::ResetKeepingBuffer() {
  length_ = 0;
  buffer_length_ = 0;
  if (data_) data_[0] = '\0';
}

void String::append(const char* bytes, size_t n) {
  if (bytes == nullptr || n > static_cast<size_t>(kMaxLength)) return;
  // The bytes may be part of this String's own buffer, which Reserve moves.
  const bool own = PointsInto(bytes, data_.get(), capacity_);
  const ptrdiff_t offset = own ? bytes - data_.get() : 0;
  const int64_t new_length = static_cast<int64_t>(length_) + static_cast<int64_t>(n);
  if (!Reserve(new_length)) return;
  if (own) bytes = data_.get() + offset;
  memmove(data_.get() + length_, bytes, n);
  length_ = static_cast<int32_t>(new_length);
  data_[length_] = '\0';
}

void String::append(char c) { append(&c, 1); }

void String::append(const char* text) {
  if (text != nullptr) append(text, strlen(text));
}

void String::append(const String& other) {
  if (other.data_) append(other.data_.get(), static_cast<size_t>(other.length_));
}

String& String::operator=(const char* text) {
  // Measured before the reset: `text` may be this String's own buffer.
  const size_t n = text ? strlen(text) : 0;
  ResetKeepingBuffer();
  if (text != nullptr) append(text, n);
  return *this;
}

String& String::operator=(char c) {
  ResetKeepingBuffer();
  append(c);
  return *this;
}

void String::Swap(String& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(length_, other.length_);
  std::swap(capacity_, other.capacity_);
  std::swap(buffer_length_, other.buffer_length_);
  std::swap(extras_, other.extras_);
}

String& String::operator=(const String& other) {
  if (this == &other) return *this;
  ResetKeepingBuffer();
  if (!other.data_) return *this;
  if (other.buffer_length_ < 1) {
    append(other.data_.get(), static_cast<size_t>(other.length_));
    return *this;
  }
  const int text_length = other.GetLength();
  append(other.data_.get(), static_cast<size_t>(std::max(other.buffer_length_, text_length)));
  buffer_length_ = std::min(other.buffer_length_, capacity_ - 1);
  return *this;
}

String& String::operator+=(char c) {
  append(c);
  return *this;
}

String& String::operator+=(const char* text) {
  append(text);
  return *this;
}

String& String::operator+=(const String& other) {
  append(other);
  return *this;
}

String String::operator+(char c) const {
  String sum(*this);
  sum.append(c);
  return sum;
}

String String::operator+(const char* text) const {
  String sum(*this);
  sum.append(text);
  return sum;
}

String String::operator+(const String& other) const {
  String sum(*this);
  sum.append(other);
  return sum;
}

void String::clear() {
  if (data_) memset(data_.get(), 0, static_cast<size_t>(capacity_));
  length_ = 0;
  buffer_length_ = 0;
}

void String::SetBuffer(const void* bytes, size_t n) {
  // Built aside first: `bytes` may lie in the buffer about to be released.
  String fresh;
  fresh.append(static_cast<const char*>(bytes), n);
  FreeExtra();
  if (!fresh.data_) return;
  data_ = std::move(fresh.data_);
  length_ = fresh.length_;
  capacity_ = fresh.capacity_;
  buffer_length_ = fresh.length_;
}

void String::AppendBuffer(const void* bytes, size_t n) {
  const int32_t before = length_;
  append(static_cast<const char*>(bytes), n);
  if (length_ == before && n > 0) return;  // refused
  // The real size may already exceed the text (bytes written directly), so
  // it is kept within the buffer.
  buffer_length_ = static_cast<int32_t>(std::min<int64_t>(int64_t{buffer_length_} + static_cast<int64_t>(n),
                                                          capacity_ - 1));
}

void String::SetLenAftherSetBuffer() {
  if (!data_) return;
  // A caller may have filled the whole buffer; keep the terminator inside it.
  length_ = static_cast<int32_t>(strnlen(data_.get(), static_cast<size_t>(capacity_ - 1)));
  data_[length_] = '\0';
  buffer_length_ = length_;
}

void String::SetLenAftherSetBuffer(int n) { buffer_length_ = data_ ? std::clamp(n, 0, capacity_ - 1) : 0; }

void String::Allocate(int n) {
  if (n < 0 || n > kMaxLength || capacity_ >= n + 1) return;
  Regrow(n + 1);
}

void String::FreeExtra() {
  data_.reset();
  length_ = 0;
  capacity_ = 0;
  buffer_length_ = 0;
  if (extras_) std::string().swap(extras_->slice);
}

// --- Formatting ----------------------------------------------------------

const char* String::Format(const char* format, ...) {
  // Formatted before the String is emptied, so arguments may be its own text.
  char out[kMaxFormatChars + 1];
  va_list args;
  va_start(args, format);
  const int n = FormatInto(out, format, args);
  va_end(args);
  clear();
  if (format != nullptr) append(out, static_cast<size_t>(n));
  return GetData();
}

const char* String::printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  return GetData();
}

const char* String::vprintf(const char* format, va_list args) {
  char out[kMaxFormatChars + 1];
  const int n = FormatInto(out, format, args);
  if (format != nullptr) append(out, static_cast<size_t>(n));
  return GetData();
}

// --- Comparison ----------------------------------------------------------

bool String::operator==(const char* text) const { return data_ && text && strcmp(data_.get(), text) == 0; }

bool String::operator==(const String& other) const {
  return data_ && other.data_ && strcmp(data_.get(), other.data_.get()) == 0;
}

bool String::operator<(const char* text) const { return strcmp(OrEmpty(GetData()), OrEmpty(text)) < 0; }

bool String::operator<(const String& other) const { return *this < other.GetData(); }

bool String::operator>(const char* text) const { return strcmp(OrEmpty(GetData()), OrEmpty(text)) > 0; }

bool String::operator>(const String& other) const { return *this > other.GetData(); }

int String::CompareNoCase(const char* text) const { return MyCompare(GetData(), text); }

int String::MyCompare(const char* a, const char* b) {
  const auto* left = reinterpret_cast<const unsigned char*>(OrEmpty(a));
  const auto* right = reinterpret_cast<const unsigned char*>(OrEmpty(b));
  for (;; ++left, ++right) {
    const unsigned char l = FoldAsciiUpper(*left);
    const unsigned char r = FoldAsciiUpper(*right);
    if (l != r) return l < r ? -1 : 1;
    if (l == 0) return 0;
  }
}

int CompareByNameNoCase(String* a, String* b) {
  return String::MyCompare(a ? a->GetData() : nullptr, b ? b->GetData() : nullptr);
}

// --- Search and slicing --------------------------------------------------

int String::FindUpTo(const char* sub, int start, int end, bool stop_at_nul) const {
  if (!data_ || sub == nullptr || *sub == '\0' || end < 1) return -1;
  start = std::max(start, 0);
  if (start > end) return -1;
  const size_t n = strlen(sub);
  if (n > static_cast<size_t>(end)) return -1;
  for (int i = start; static_cast<size_t>(end - i) >= n; ++i) {
    if (stop_at_nul && data_[i] == '\0') break;
    if (memcmp(data_.get() + i, sub, n) == 0) return i;
  }
  return -1;
}

int String::Find(const char* sub, int start) const { return FindUpTo(sub, start, length_, true); }

int String::FindInTheBuffer(const char* sub, int start) const {
  return FindUpTo(sub, start, buffer_length_, false);
}

const char* String::CopySlice(int start, int count) {
  std::string& slice = extras().slice;
  slice.assign(count > 0 ? data_.get() + start : "", static_cast<size_t>(count));
  return slice.c_str();
}

const char* String::Slice(int start, int count, int end) {
  start = std::max(start, 0);
  count = std::max(count, 0);
  if (start > end) {
    count = 0;
  } else if (int64_t{start} + count > end) {
    count = end - start;
  }
  // The whole String is handed out as is; an empty slice of a String that
  // has text is not "the whole String".
  if (data_ && start == 0 && count == end && (end > 0 || length_ == 0)) return data_.get();
  return CopySlice(start, count);
}

const char* String::Mid(int start, int count) { return Slice(start, count, length_); }

const char* String::MidBuffer(int start, int count) { return Slice(start, count, buffer_length_); }

const char* String::Right(int n) {
  // Computed wide: a very negative n must clamp, not overflow.
  const int64_t start = int64_t{length_} - n;
  return Mid(static_cast<int>(std::clamp<int64_t>(start, 0, INT32_MAX)), n);
}

int String::Insert(int pos, const char* text) {
  if (text == nullptr) return length_;
  const std::string inserted(text);  // `text` may lie in this buffer
  pos = std::clamp(pos, 0, length_);
  const int64_t new_length = int64_t{length_} + static_cast<int64_t>(inserted.size());
  if (!Reserve(new_length)) return length_;
  memmove(data_.get() + pos + inserted.size(), data_.get() + pos, static_cast<size_t>(length_ - pos));
  memcpy(data_.get() + pos, inserted.data(), inserted.size());
  length_ = static_cast<int32_t>(new_length);
  data_[length_] = '\0';
  return length_;
}

int String::Replace(const char* old_text, const char* new_text) {
  if (!data_ || old_text == nullptr || new_text == nullptr || *old_text == '\0') return 0;
  const std::string_view from(old_text);
  const std::string_view to(new_text);
  const std::string_view text = View();
  std::string out;
  int replaced = 0;
  size_t done = 0;
  for (size_t at = text.find(from); at != std::string_view::npos; at = text.find(from, done)) {
    out.append(text.substr(done, at - done)).append(to);
    done = at + from.size();
    ++replaced;
  }
  if (replaced == 0 || out.size() + (text.size() - done) > static_cast<size_t>(kMaxLength)) return 0;
  out.append(text.substr(done));
  length_ = 0;
  append(out.data(), out.size());
  return replaced;
}

const char* String::StringFindString(const char* text, const char* sub) {
  if (text == nullptr || sub == nullptr) return nullptr;
  return strstr(text, sub);
}

// --- Case and blanks -----------------------------------------------------

char* String::MakeUpper() {
  for (int i = 0; i < length_; ++i) data_[i] = static_cast<char>(toupper(static_cast<unsigned char>(data_[i])));
  return data_.get();
}

char* String::MakeLower() {
  for (int i = 0; i < length_; ++i) data_[i] = static_cast<char>(tolower(static_cast<unsigned char>(data_[i])));
  return data_.get();
}

void String::TrimLeft() {
  int spaces = 0;
  while (spaces < length_ && data_[spaces] == ' ') ++spaces;
  if (spaces == 0) return;
  memmove(data_.get(), data_.get() + spaces, static_cast<size_t>(length_ - spaces));
  length_ -= spaces;
  data_[length_] = '\0';
}

void String::TrimRight() {
  if (!data_) return;
  while (length_ > 0 && data_[length_ - 1] == ' ') --length_;
  data_[length_] = '\0';
  length_ = static_cast<int32_t>(strlen(data_.get()));
}

void String::Trim() {
  TrimRight();
  TrimLeft();
}

// --- Regular expressions -------------------------------------------------

int String::eq(const char* pattern, int options) {
  if (extras_) extras_->matches.RemoveAll();
  if (IsEmpty() || pattern == nullptr) return 0;
  std::vector<std::string> groups;
  if (!RegexMatch(pattern, options, data_.get(), static_cast<size_t>(length_), &groups)) return 0;
  CArray<String, const String&>& matches = extras().matches;
  for (const std::string& group : groups) matches.Add(String(std::string_view(group)));
  return 1;
}

const CArray<String, const String&>& String::matches() const {
  static const CArray<String, const String&> kNoMatches;
  return extras_ ? extras_->matches : kNoMatches;
}

int String::ReplaceRE(const char* pattern, const char* replacement, int options) {
  if (!eq(pattern, options)) return 0;
  replacement = OrEmpty(replacement);
  int referenced = 0;
  int group = -1;
  const std::string expanded = ExpandGroupReferences(replacement, extras_->matches, &referenced, &group);
  if (referenced == 1 && strlen(replacement) >= kMinInPlaceReplacement) {
    // Replace copies what it needs before changing the text; the group
    // itself lives in `matches`, which Replace leaves alone.
    Replace(extras_->matches[group].GetData(), expanded.c_str());
    return 0;
  }
  ResetKeepingBuffer();
  append(expanded.data(), expanded.size());
  return 0;
}
