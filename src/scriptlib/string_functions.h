// string_functions - CS_String, the text functions every script kind offers:
// slicing, trimming, case, field splitting, replacing, and the conversions
// between characters, numbers and text. A mix-in of the script classes; the
// script binding registers each method under its own name.
#ifndef TORVANE_SCRIPTLIB_STRING_FUNCTIONS_H_
#define TORVANE_SCRIPTLIB_STRING_FUNCTIONS_H_

#include "scriptlib/script_results.h"

// Text arguments come from scripts as C strings: null stands for an absent
// text and is taken as "" unless a method says otherwise. Text results are
// never null; each points into a buffer of this object that stays valid until
// the same method is called again on it.
// Not thread-safe: each script object belongs to one interpreter thread.
class CS_String {
 public:
  CS_String() = default;
  CS_String(const CS_String&) = delete;
  CS_String& operator=(const CS_String&) = delete;

  // The slice of `text` from `start`, `count` characters, both clamped to the
  // text (a negative start counts as 0).
  const char* SubStr(const char* text, int start, int count);
  // Without leading and/or trailing spaces (only ' ': tabs and line ends stay).
  const char* Trim(const char* text);
  const char* TrimLeft(const char* text);
  const char* TrimRight(const char* text);
  // Every run of spaces becomes one space, leading and trailing ones go.
  const char* TrimInternal(const char* text);
  // Lower / upper case, byte by byte as C tolower / toupper.
  const char* Lc(const char* text);
  const char* Uc(const char* text);
  // The index-th field (from 0) of `text` cut at `separator`; "" when there
  // are fewer fields, the field is empty or the index is negative.
  const char* Split(const char* text, int separator, int index);
  // `text` with every non-overlapping occurrence of `old_text` replaced by
  // `new_text`; `text` unchanged when `old_text` is null or empty.
  const char* Replace(const char* text, const char* old_text, const char* new_text);
  // Bytes before the terminating NUL; 0 for null.
  int StrLen(const char* text) const;
  // The character with that code, as the script's char value: the code cut
  // to a signed byte.
  int Chr(int code) const;
  // The code of a character passed as an int: its low byte, signed.
  int Ord(int character) const;
  // C atof / atoi; 0 for null or empty text.
  float CharToFloat(const char* text) const;
  int CharToInt(const char* text) const;
  // The value as "%g" / "%d".
  const char* FloatToChar(float value);
  const char* IntToChar(int value);
  // Truncation toward zero, clamped to the int range (NaN gives 0).
  int FloatToInt(float value) const;
  float IntToFloat(int value) const;
  // -1, 0 or 1 comparing bytes with only 'A'..'Z' folded; 0 when either
  // text is null.
  int CompareStringNoCase(const char* a, const char* b) const;

 private:
  // One result buffer per text-returning method.
  enum class Text {
    kSubStr, kTrim, kTrimLeft, kTrimRight, kTrimInternal, kLc, kUc, kSplit,
    kReplace, kFloatToChar, kIntToChar, kCount
  };
  ScriptTextResults<Text> results_;
};

#endif  // TORVANE_SCRIPTLIB_STRING_FUNCTIONS_H_
