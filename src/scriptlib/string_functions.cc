// string_functions - the script text functions, built on String's own slicing,
// trimming and replacing rules so scripts and native code agree on them.
#include "scriptlib/string_functions.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/utility.h"
#include "script/wrapping_int.h"

namespace {

// The text as a String, null counting as "".
String TextOf(const char* text) { return String(text != nullptr ? text : ""); }

// The text after one of String's in-place edits (`edit` a member such as
// &String::Trim or &String::MakeLower).
template <typename Edit>
String Edited(const char* text, Edit edit) {
  String value = TextOf(text);
  (value.*edit)();
  return value;
}

}  // namespace

const char* CS_String::SubStr(const char* text, int start, int count) {
  String whole = TextOf(text);
  return results_.Keep(Text::kSubStr, String(whole.Mid(start, count)));
}

const char* CS_String::Trim(const char* text) {
  return results_.Keep(Text::kTrim, Edited(text, &String::Trim));
}

const char* CS_String::TrimLeft(const char* text) {
  return results_.Keep(Text::kTrimLeft, Edited(text, &String::TrimLeft));
}

const char* CS_String::TrimRight(const char* text) {
  return results_.Keep(Text::kTrimRight, Edited(text, &String::TrimRight));
}

const char* CS_String::TrimInternal(const char* text) {
  String value("");
  bool pending_space = false;  // a run of spaces seen after some word
  for (const char* at = text != nullptr ? text : ""; *at != '\0'; ++at) {
    if (*at == ' ') {
      pending_space = !value.IsEmpty();
      continue;
    }
    if (pending_space) value.append(' ');
    pending_space = false;
    value.append(*at);
  }
  return results_.Keep(Text::kTrimInternal, value);
}

const char* CS_String::Lc(const char* text) {
  return results_.Keep(Text::kLc, Edited(text, &String::MakeLower));
}

const char* CS_String::Uc(const char* text) {
  return results_.Keep(Text::kUc, Edited(text, &String::MakeUpper));
}

const char* CS_String::Split(const char* text, int separator, int index) {
  String field;
  SubString(&field, text, index, static_cast<char>(separator));
  return results_.Keep(Text::kSplit, field);
}

const char* CS_String::Replace(const char* text, const char* old_text, const char* new_text) {
  String value = TextOf(text);
  value.Replace(old_text, new_text != nullptr ? new_text : "");
  return results_.Keep(Text::kReplace, value);
}

int CS_String::StrLen(const char* text) const {
  return text != nullptr ? static_cast<int>(strnlen(text, String::kMaxLength)) : 0;
}

int CS_String::Chr(int code) const { return static_cast<signed char>(code); }

int CS_String::Ord(int character) const { return static_cast<signed char>(character); }

float CS_String::CharToFloat(const char* text) const {
  return text != nullptr ? static_cast<float>(atof(text)) : 0.0f;
}

int CS_String::CharToInt(const char* text) const { return text != nullptr ? atoi(text) : 0; }

const char* CS_String::FloatToChar(float value) {
  String text;
  text.Format("%g", static_cast<double>(value));
  return results_.Keep(Text::kFloatToChar, text);
}

const char* CS_String::IntToChar(int value) {
  String text;
  text.Format("%d", value);
  return results_.Keep(Text::kIntToChar, text);
}

int CS_String::FloatToInt(float value) const { return ::FloatToInt(value); }

float CS_String::IntToFloat(int value) const { return static_cast<float>(value); }

int CS_String::CompareStringNoCase(const char* a, const char* b) const {
  if (a == nullptr || b == nullptr) return 0;
  return String::MyCompare(a, b);
}
