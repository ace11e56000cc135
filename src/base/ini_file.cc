// ini_file - parsing, lookup, editing and atomic write-back of INI files.
#include "base/ini_file.h"

#include <sys/stat.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "base/atomic_file.h"
#include "base/file.h"
#include "base/md5.h"

namespace {

// The text of `s`, "" for a String that never held text.
const char* TextOf(const String& s) { return s.GetData() ? s.GetData() : ""; }

// Exact, case-sensitive name comparison that also matches an empty String
// against "" (String's own == never matches a String without buffer).
bool SameText(const String& s, const char* text) { return strcmp(TextOf(s), text) == 0; }

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// `text` without its CR and LF characters.
String WithoutLineEnds(const String& text) {
  String out("");
  for (char c : text.View()) {
    if (!IsLineEnd(c)) out.append(c);
  }
  return out;
}

// Read-only view of [pos_, end_) that never moves or reads past the end.
class TextCursor {
 public:
  explicit TextCursor(const char* text) : pos_(text), end_(text + strlen(text)) {}
  bool AtEnd() const { return pos_ >= end_; }
  // REQUIRES: !AtEnd().
  char Peek() const { return *pos_; }
  void Advance() {
    if (!AtEnd()) ++pos_;
  }

 private:
  const char* pos_;
  const char* end_;
};

// The character-level INI grammar. Its quirks (a last line without a line
// end is lost, the character after "=" is always taken, spaces vanish until
// the value starts) are what existing files rely on, so they are kept.
class IniParser {
 public:
  IniParser(const char* text, CFileINIItems* items) : cursor_(text), items_(items) {}

  // Outside any section: only a non-empty "[name]" matters.
  void Run() {
    while (!cursor_.AtEnd()) {
      if (cursor_.Peek() == '[') {
        cursor_.Advance();
        String name = TakeSectionName();
        if (!cursor_.AtEnd() && !name.IsEmpty()) {
          cursor_.Advance();  // the "]"
          ParseBody(WithoutLineEnds(name));
          continue;  // at a "[" or at the end
        }
      }
      cursor_.Advance();
    }
  }

 private:
  // Everything up to the next "]" or the end, line ends included.
  String TakeSectionName() {
    String name;
    while (!cursor_.AtEnd() && cursor_.Peek() != ']') {
      name.append(cursor_.Peek());
      cursor_.Advance();
    }
    return name;
  }

  // Pairs of one section, until a "[" outside a value or the end.
  void ParseBody(const String& section) {
    String key;
    String value;
    bool in_value = false;
    while (!cursor_.AtEnd()) {
      const char c = cursor_.Peek();
      if (c == '[' && !in_value) return;
      cursor_.Advance();
      if (IsLineEnd(c)) {
        if (key.IsEmpty()) continue;
        items_->Add(CFileINI_ITEM{section, key, WithoutLineEnds(value)});
        key.clear();
        value.clear();
        in_value = false;
      } else if (c == ' ' && value.IsEmpty()) {
        // Spaces in keys and before the value's first character vanish.
      } else if (c == '=' && !key.IsEmpty()) {
        in_value = true;
        if (cursor_.AtEnd()) return;
        value.append(cursor_.Peek());  // taken whatever it is, even CR or LF
        cursor_.Advance();
      } else {
        (in_value ? value : key).append(c);
      }
    }
  }

  TextCursor cursor_;
  CFileINIItems* items_;  // not owned
};

// The leading decimal number of `text` as atoi reads it, clamped to int
// (atoi itself is undefined past the range).
int LeadingInt(const char* text) {
  const long long value = strtoll(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// The number at the start of `text` as atof reads it, as a float. Finite
// values beyond the float range are clamped: converting them is undefined.
float LeadingFloat(const char* text) {
  const double value = strtod(text, nullptr);
  if (std::isfinite(value) && std::fabs(value) > FLT_MAX) return value > 0 ? FLT_MAX : -FLT_MAX;
  return static_cast<float>(value);
}

// Writes `text` over `path` atomically (keeping the permission bits of the
// file it replaces: a configuration holding keys may be private).
bool ReplaceFile(const std::string& path, const std::string& text) {
  AtomicFile file(path);
  return file.Open() && file.Write(text.data(), text.size()) && file.Commit();
}

}  // namespace

// ---- Loading and saving -------------------------------------------------

bool CFileINI::Load(const char* path) {
  if (path == nullptr) return false;
  std::string text;
  if (!ReadWholeFile(path, kMaxFileBytes, &text)) return false;
  {
    CriticalScope lock(*this);
    file_name_ = path;
    file_digest_ = MD5Hex(text.data(), text.size());
  }
  return Elaborate(text.c_str());
}

bool CFileINI::LoadBuffer(const char* text) { return Elaborate(text); }

bool CFileINI::Elaborate(const char* text) {
  if (text == nullptr) return false;
  CFileINIItems parsed;
  IniParser(text, &parsed).Run();
  CriticalScope lock(*this);
  items_ = std::move(parsed);
  return true;
}

bool CFileINI::Save(const char* path) {
  std::lock_guard<std::mutex> saving(save_mutex_);
  std::string target;
  std::string text;
  {
    CriticalScope lock(*this);
    target = path != nullptr ? path : TextOf(file_name_);
    text = SerialiseLocked();
  }
  if (target.empty() || !ReplaceFile(target, text)) return false;
  CriticalScope lock(*this);
  if (target == TextOf(file_name_)) file_digest_ = MD5Hex(text.data(), text.size());
  return true;
}

std::string CFileINI::Serialise() {
  CriticalScope lock(*this);
  return SerialiseLocked();
}

std::string CFileINI::FileName() {
  CriticalScope lock(*this);
  return TextOf(file_name_);
}

std::string CFileINI::FileDigest() {
  CriticalScope lock(*this);
  return TextOf(file_digest_);
}

bool CFileINI::ChangedOnDisk() {
  std::string path;
  String digest;
  {
    CriticalScope lock(*this);
    path = TextOf(file_name_);
    digest = file_digest_;
  }
  if (path.empty()) return false;
  std::string text;
  return !ReadWholeFile(path.c_str(), kMaxFileBytes, &text) || MD5Hex(text.data(), text.size()).View() != digest.View();
}

std::string CFileINI::SerialiseLocked() const {
  std::string text;
  const String* previous_section = nullptr;
  for (const CFileINI_ITEM& item : items_) {
    if (previous_section == nullptr || !SameText(item.section, TextOf(*previous_section))) {
      text.append("[").append(TextOf(item.section)).append("]\r\n");
    }
    text.append(TextOf(item.key)).append("=").append(TextOf(item.value)).append("\r\n");
    previous_section = &item.section;
  }
  return text;
}

// ---- Lookups --------------------------------------------------------------

int CFileINI::FindValueGetIndexLocked(const char* section, const char* key) const {
  if (section == nullptr || key == nullptr) return -1;
  for (int i = 0; i < items_.GetSize(); ++i) {
    const CFileINI_ITEM& item = items_[i];
    if (SameText(item.section, section) && SameText(item.key, key)) return i;
  }
  return -1;
}

int CFileINI::FindIndexKeyLocked(const char* section) const {
  if (section == nullptr) return -1;
  for (int i = 0; i < items_.GetSize(); ++i) {
    if (SameText(items_[i].section, section)) return i;
  }
  return -1;
}

bool CFileINI::FindValue(const char* section, const char* key, String* value) {
  CriticalScope lock(*this);
  const int at = FindValueGetIndexLocked(section, key);
  if (at < 0 || value == nullptr) return false;
  *value = TextOf(items_[at].value);
  return true;
}

int CFileINI::FindValueGetIndex(const char* section, const char* key) {
  CriticalScope lock(*this);
  return FindValueGetIndexLocked(section, key);
}

int CFileINI::FindIndexKey(const char* section) {
  CriticalScope lock(*this);
  return FindIndexKeyLocked(section);
}

bool CFileINI::IsKeyExist(const char* section, const char* key) {
  return FindValueGetIndex(section, key) >= 0;
}

const String& CFileINI::GetString(String* out, const char* section, const char* key,
                                  const char* default_value) {
  if (!FindValue(section, key, out)) *out = default_value != nullptr ? default_value : "";
  return *out;
}

const String& CFileINI::GetStringBySearch(String* out, const char* key, const char* section,
                                          const char* default_value) {
  if (section != nullptr) return GetString(out, section, key, default_value);
  {
    CriticalScope lock(*this);
    for (const CFileINI_ITEM& item : items_) {
      if (key != nullptr && SameText(item.key, key)) {
        *out = TextOf(item.value);
        return *out;
      }
    }
  }
  *out = default_value != nullptr ? default_value : "";
  return *out;
}

int CFileINI::GetInt(const char* section, const char* key, int default_value) {
  String value;
  return FindValue(section, key, &value) ? LeadingInt(TextOf(value)) : default_value;
}

float CFileINI::GetDouble(const char* section, const char* key, float default_value) {
  String value;
  return FindValue(section, key, &value) ? LeadingFloat(TextOf(value)) : default_value;
}

CFileINIItems CFileINI::CopyItems() {
  CriticalScope lock(*this);
  return items_;
}

void CFileINI::GetItemesKey(KeyValueSink* sink, const char* section) {
  if (sink == nullptr) return;
  CFileINIItems pairs;
  {
    CriticalScope lock(*this);
    for (const CFileINI_ITEM& item : items_) {
      if (section == nullptr || SameText(item.section, section)) pairs.Add(item);
    }
  }
  for (const CFileINI_ITEM& pair : pairs) {
    sink->Add(TextOf(pair.key), TextOf(pair.value), static_cast<size_t>(pair.value.GetLength()));
  }
}

// ---- Edits ------------------------------------------------------------

void CFileINI::RegisterItme(const CFileINI_ITEM& item) {
  const char* section = TextOf(item.section);
  CriticalScope lock(*this);
  const int first_of_section = FindIndexKeyLocked(section);
  if (first_of_section < 0) {
    items_.Add(item);
    return;
  }
  const int existing = FindValueGetIndexLocked(section, TextOf(item.key));
  if (existing < 0) {
    items_.InsertAt(first_of_section, item);
    return;
  }
  items_[existing].value = item.value;
}

void CFileINI::WriteString(const char* section, const char* key, const char* value) {
  if (section == nullptr || key == nullptr) return;
  RegisterItme(CFileINI_ITEM{String(section), String(key), String(value != nullptr ? value : "")});
}

void CFileINI::WriteInt(const char* section, const char* key, int value) {
  String text;
  text.Format("%d", value);
  WriteString(section, key, TextOf(text));
}

void CFileINI::WriteDouble(const char* section, const char* key, float value) {
  String text;
  text.Format("%f", static_cast<double>(value));
  WriteString(section, key, TextOf(text));
}

bool CFileINI::DeleteKey(const char* section, const char* key) {
  CriticalScope lock(*this);
  const int at = FindValueGetIndexLocked(section, key);
  if (at < 0) return false;
  items_.RemoveAt(at);
  return true;
}

// ---- Script-facing wrappers ---------------------------------------------

const char* CFileINI::ReadVar(const char* section, const char* key) {
  String value;
  const bool found = FindValue(section, key, &value);
  CriticalScope lock(*this);
  read_result_ = found ? TextOf(value) : "";
  return TextOf(read_result_);
}

bool CFileINI::WriteVar(const char* section, const char* key, const char* value) {
  if (section == nullptr || key == nullptr || value == nullptr) return false;
  WriteString(section, key, value);
  return true;
}

bool CFileINI::IsKeyExistScript(const char* section, const char* key) {
  return section != nullptr && key != nullptr && IsKeyExist(section, key);
}

bool CFileINI::DeleteKeyScript(const char* section, const char* key) {
  return section != nullptr && key != nullptr && DeleteKey(section, key);
}

bool CFileINI::GetItemesKeyScript(KeyValueSink* sink, const char* section) {
  GetItemesKey(sink, section);
  return true;
}

std::string CFileINI::LoadedPath() {
  StartSession();
  std::string path = file_name_.GetData();
  EndSession();
  return path;
}
