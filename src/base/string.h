// string - String, the byte string every part of the gateway keeps its text in.
// Besides C-string text it carries binary contents (a separate real size that
// may span NUL bytes), printf-style formatting, clamped slicing, and regular
// expression matching with captured groups. Scripts see most of these rules
// unchanged, so the edge results below are part of the contract.
// Not thread-safe: one String is used by one thread at a time.
#ifndef TORVANE_BASE_STRING_H_
#define TORVANE_BASE_STRING_H_

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/object_array.h"

class String {
 public:
  // One formatting call (Format/printf/vprintf) appends at most this many
  // characters; longer output is cut there.
  static constexpr int kMaxFormatChars = 4095;
  // Largest text a String holds: its buffer of 2L + 1 bytes must fit a
  // signed 32-bit size. Appends that would pass it are refused.
  static constexpr int32_t kMaxLength = (INT32_MAX - 1) / 2;

  // --- Construction and conversion -------------------------------------
  // A default String holds no buffer: GetData() is null, and it equals
  // nothing (not even "") until some text is stored.
  String();
  // Null `text` gives a String without buffer.
  String(const char* text);
  // Copies the other's `size()` characters; the real buffer size is not
  // copied (it stays 0).
  String(const String& other);
  // Takes everything, real buffer size included; `other` is left bufferless.
  String(String&& other) noexcept;
  explicit String(char c);     // "%c"
  explicit String(int value);  // "%d"
  explicit String(float value);  // "%g" of the value widened to double
  // `text`'s bytes, NULs included, as by append(text.data(), text.size());
  // the real buffer size stays 0 (SetBuffer marks binary contents).
  explicit String(std::string_view text);
  ~String();

  // The buffer (null for a String that never held text). Valid until the
  // next call that changes this String.
  operator const char*() const { return data_.get(); }
  const char* GetData() const { return data_.get(); }
  char* GetPointer() { return data_.get(); }
  const char* GetPointer() const { return data_.get(); }
  // Pointer to byte i of the buffer, i clamped to 0..capacity-1; null when
  // there is no buffer. Callers may write up to GetCapacity() bytes through
  // GetBuffer(0) and then call SetLenAftherSetBuffer.
  char* GetBuffer(int i);
  // Byte i. REQUIRES: 0 <= i < size().
  char GetAt(int i) const { return data_[i]; }
  char operator[](int i) const { return data_[i]; }
  char& operator[](int i) { return data_[i]; }

  // strlen of the buffer (0 without buffer), not the stored length.
  int GetLength() const;
  // The stored length.
  int size() const { return length_; }
  bool IsEmpty() const { return length_ < 1; }
  // Characters the buffer holds before it must grow: capacity - 1, which is
  // -1 for a String without buffer.
  int GetCapacity() const { return capacity_ - 1; }
  // Real size of binary contents; 0 for ordinary text.
  int GetRealBufferSize() const { return buffer_length_; }

  // The stored `size()` bytes (empty without buffer).
  std::string_view View() const { return std::string_view(data_.get() ? data_.get() : "", length_); }
  // The binary contents: GetRealBufferSize() bytes when set, else View().
  std::string_view BufferView() const;
  std::string ToStdString() const { return std::string(View()); }

  // --- Assignment and appending -----------------------------------------
  // Assignments empty the String (keeping its buffer) and append. From a
  // String with a real buffer size the larger of that size and its strlen
  // is copied and the real size carried over; else its size() characters.
  String& operator=(const char* text);
  String& operator=(char c);
  String& operator=(const String& other);
  // Exchanges the contents (buffers, sizes, everything) without copying.
  void Swap(String& other) noexcept;

  void append(char c);
  void append(const char* text);  // null ignored
  void append(const String& other);  // its size() bytes
  // Appends n raw bytes (NULs allowed). Null `bytes` or a result longer than
  // kMaxLength is ignored. Growth: capacity becomes 2L + 1 when L, the new
  // length, does not fit.
  void append(const char* bytes, size_t n);
  String& operator+=(char c);
  String& operator+=(const char* text);
  String& operator+=(const String& other);
  String operator+(char c) const;
  String operator+(const char* text) const;
  String operator+(const String& other) const;

  // Length and real size 0; the buffer is zero-filled and kept.
  void clear();
  void Empty() { clear(); }

  // Replaces the contents by n raw bytes and sets the real size to n. The
  // old buffer is released first. Null `bytes` leaves the String bufferless.
  void SetBuffer(const void* bytes, size_t n);
  // Appends n raw bytes and adds n to the real size.
  void AppendBuffer(const void* bytes, size_t n);
  // After a caller wrote text into the buffer directly: length and real size
  // become the strlen of the buffer (bounded by the buffer).
  void SetLenAftherSetBuffer();
  // After a caller wrote n binary bytes into the buffer directly: the real
  // size becomes n, clamped to 0..GetCapacity().
  void SetLenAftherSetBuffer(int n);
  // Ensures room for n characters, growing the buffer to exactly n + 1 bytes
  // (new bytes zeroed, contents kept). Negative n or n > kMaxLength is ignored.
  void Allocate(int n);
  // Releases the buffer and the slice scratch; every counter 0.
  void FreeExtra();

  // --- Formatting -------------------------------------------------------
  // Format empties the String, then works as printf. printf/vprintf append
  // the vsnprintf output, at most kMaxFormatChars characters of it. A null
  // `format` appends nothing. Each returns GetData().
  const char* Format(const char* format, ...) __attribute__((format(printf, 2, 3)));
  const char* printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  const char* vprintf(const char* format, va_list args) __attribute__((format(printf, 2, 0)));

  // --- Comparison -------------------------------------------------------
  // strcmp equality; false when either side has no buffer or is null.
  bool operator==(const char* text) const;
  bool operator==(const String& other) const;
  bool operator!=(const char* text) const { return !(*this == text); }
  bool operator!=(const String& other) const { return !(*this == other); }
  // strcmp order; a missing buffer or null counts as "".
  bool operator<(const char* text) const;
  bool operator<(const String& other) const;
  bool operator>(const char* text) const;
  bool operator>(const String& other) const;
  // Byte-wise comparison folding only 'A'..'Z'; exactly -1, 0 or 1. This
  // String is the left operand; null counts as "".
  int CompareNoCase(const char* text) const;
  static int MyCompare(const char* a, const char* b);

  // --- Search and slicing -----------------------------------------------
  // Positions are 0-based; -1 means not found.
  // First position at or after `start` (negative taken as 0) where `sub`
  // occurs, stopping at the first NUL. -1 without buffer, for a null or
  // empty `sub`, an empty String, `start` past size(), or `sub` longer than
  // size().
  int Find(const char* sub, int start = 0) const;
  // The same over the binary contents: runs to GetRealBufferSize(), past
  // embedded NUL bytes.
  int FindInTheBuffer(const char* sub, int start = 0) const;
  // Slices with start and count clamped into the String. The whole String
  // gives GetData() itself; any other slice is a NUL-terminated copy in a
  // scratch buffer owned by this String, valid until its next Mid, MidBuffer,
  // Left, Right or FreeExtra. Never null.
  const char* Mid(int start, int count);
  // As Mid, with GetRealBufferSize() as the end.
  const char* MidBuffer(int start, int count);
  const char* Left(int n) { return Mid(0, n); }
  // Mid(size() - n, n): n above the size gives the whole String.
  const char* Right(int n);

  // Inserts `text` at pos (clamped to 0..size()); returns the new size()
  // (the old one for null `text`).
  int Insert(int pos, const char* text);
  // Replaces every non-overlapping occurrence of `old_text`, scanning the
  // whole stored length (past embedded NULs) left to right and resuming
  // after each replacement. Returns the number of replacements; 0 and no
  // change for null arguments or an empty `old_text`.
  int Replace(const char* old_text, const char* new_text);
  // First occurrence of `sub` in the C string `text`, or null (also for null
  // arguments).
  static const char* StringFindString(const char* text, const char* sub);

  // --- Case and blanks --------------------------------------------------
  // toupper/tolower on each of the size() bytes; return GetPointer().
  char* MakeUpper();
  char* MakeLower();
  // Remove leading / trailing / both ' ' characters (tabs and line ends
  // stay). TrimRight then sets size() to the strlen.
  void TrimLeft();
  void TrimRight();
  void Trim();

  // --- Regular expressions ----------------------------------------------
  // Option bits: 1 caseless, 2 multi-line, 4 dot matches newline, 8 extended.
  // Empties matches(); on a non-empty String matches `pattern` against the
  // stored bytes and, on success, stores captured groups 1..n (at most 9) in
  // matches() and returns 1. No match, a null or invalid pattern: 0.
  int eq(const char* pattern, int options);
  // Groups captured by the last successful eq (unset groups are "").
  const CArray<String, const String&>& matches() const;
  // Runs eq; on a match expands "$k" references in `replacement` with group
  // k (at most three per group). When exactly one group was referenced and
  // `replacement` has 3 or more characters, every occurrence of that group's
  // text in this String is replaced by the expansion; otherwise the whole
  // String becomes the expansion. Always returns 0.
  int ReplaceRE(const char* pattern, const char* replacement, int options);

 private:
  struct Extras;  // slice scratch and regex groups, made on first use

  Extras& extras();
  // Grows the buffer (2L + 1 rule) so that it holds `new_length` characters.
  // False when new_length passes kMaxLength.
  bool Reserve(int64_t new_length);
  // Moves the contents to a zero-filled buffer of exactly `new_capacity`
  // bytes. REQUIRES: new_capacity > capacity_.
  void Regrow(int32_t new_capacity);
  // Length and real size 0 with the buffer kept and NUL-terminated.
  void ResetKeepingBuffer();
  // Copies [start, start + count) into the scratch buffer and returns it.
  const char* CopySlice(int start, int count);
  const char* Slice(int start, int count, int end);
  int FindUpTo(const char* sub, int start, int end, bool stop_at_nul) const;

  std::unique_ptr<char[]> data_;  // null until the first text is stored
  int32_t length_ = 0;
  int32_t capacity_ = 0;       // bytes in data_
  int32_t buffer_length_ = 0;  // real size of binary contents
  std::unique_ptr<Extras> extras_;
};

// Case-folding order of two Strings (as MyCompare), for sorting lists of
// String pointers. Null pointers count as "".
int CompareByNameNoCase(String* a, String* b);

// Hashes the text up to the first NUL, consistent with operator==. A String
// without buffer equals nothing, so it must not be used as a hashed key.
template <>
struct std::hash<String> {
  size_t operator()(const String& s) const noexcept {
    return std::hash<std::string_view>{}(std::string_view(s.GetData() ? s.GetData() : ""));
  }
};

#endif  // TORVANE_BASE_STRING_H_
