// xml_reader - CSimpleXMLParse ("simple XML parse"), a streaming reader for
// flat, record-shaped XML files (a declaration, a root element, a list of
// item elements whose children are text elements), and
// CSimpleXMLItmesChild ("XML item's children"), one item as a map from
// child tag to text. Attributes, deeper nesting, comments, CDATA and
// entities are not interpreted. The admin server reads plug-in
// descriptions with it; scripts reach it as "XMLParse" and "XMLChild".
#ifndef TORVANE_ENGINES_XML_READER_H_
#define TORVANE_ENGINES_XML_READER_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/file.h"

// Where LoadFile's bytes come from: a file, or memory for tests and fuzzing.
class XmlByteSource {
 public:
  virtual ~XmlByteSource() = default;
  // Up to `n` bytes into `buffer`; 0 at the end or on an error.
  virtual size_t Read(char* buffer, size_t n) = 0;
  // The total length in bytes.
  virtual uint64_t Length() = 0;
  // Moves the read position to `offset` from the start.
  virtual void SeekTo(uint64_t offset) = 0;
};

// A file opened for binary reading.
class XmlFileSource : public XmlByteSource {
 public:
  // False when the file cannot be opened.
  bool Open(const char* path) { return file_.Open(path, CKFile::kModeReadPlain); }
  size_t Read(char* buffer, size_t n) override { return file_.Read(buffer, n); }
  uint64_t Length() override { return file_.GetLength(); }
  void SeekTo(uint64_t offset) override { file_.Seek(static_cast<int64_t>(offset), CKFile::kSeekStart); }

 private:
  CKFile file_;
};

// Bytes held by the caller, which must outlive the source.
class XmlMemorySource : public XmlByteSource {
 public:
  explicit XmlMemorySource(std::string_view bytes) : bytes_(bytes) {}
  size_t Read(char* buffer, size_t n) override;
  uint64_t Length() override { return bytes_.size(); }
  void SeekTo(uint64_t offset) override { position_ = offset < bytes_.size() ? offset : bytes_.size(); }

 private:
  std::string_view bytes_;
  size_t position_ = 0;
};

// One item. Not thread-safe.
class CSimpleXMLItmesChild {
 public:
  virtual ~CSimpleXMLItmesChild() = default;

  // Stores `text` under `tag` (a later text of the same tag replaces it).
  // False when either is null; an empty tag is ignored but gives true.
  bool AddValue(const char* tag, const char* text);
  // The text of `tag`; "" when it is null or unknown. Valid until the item
  // changes.
  const char* GetValue(const char* tag) const;
  int GetCount() const { return static_cast<int>(values_.size()); }
  void Reset() { values_.clear(); bytes_ = 0; }
  // Bytes of tags and texts held, for the reader's memory bound.
  size_t bytes() const { return bytes_; }

 private:
  std::map<std::string, std::string> values_;
  size_t bytes_ = 0;
};

// Reads the items of one file. Not thread-safe.
class CSimpleXMLParse {
 public:
  // Bytes asked of the source at a time.
  static constexpr size_t kReadBytes = 4096;
  // Pending (not yet consumed) text at which reading stops: bounds the
  // memory one unterminated item or a file without items can take.
  static constexpr size_t kMaxPendingBytes = 1048576;
  // The declaration must begin within this many bytes of the start.
  static constexpr size_t kDeclarationWindow = 50;
  // Bytes of kept items (tags and texts) at which reading stops, so a huge
  // well-formed file cannot exhaust memory.
  static constexpr size_t kMaxKeptBytes = 64u << 20;
  // Matcher steps a filter pattern may take on one value: a careless
  // pattern gives "no match" instead of stalling the reader.
  static constexpr uint32_t kFilterMatchLimit = 100000;

  virtual ~CSimpleXMLParse() = default;

  // Reads the file at `path` from its start; see Load.
  bool LoadFile(const char* path, const char* filter_tag, const char* filter_pattern);
  // Replaces the items by those of `source`. With `filter_tag` and
  // `filter_pattern` both non-empty, only items whose value for the tag is
  // non-empty and matches the pattern (caseless) are kept. False when the
  // source has no "<?xml version=...>" declaration in its first bytes;
  // every other end (end of the source, kMaxPendingBytes pending,
  // kMaxKeptBytes kept, the streaming deadline, maxChild items) gives true
  // with the items read so far. Items without a closing tag are not
  // produced.
  bool Load(XmlByteSource* source, const char* filter_tag, const char* filter_pattern);

  // Items to keep at most; 0 or less: no limit.
  void SetMaxChild(int n) { max_child_ = n; }
  // Seconds a load may last; 0 or less: no deadline.
  void SetStreamingTimeOut(int seconds) { streaming_timeout_ = seconds; }
  // 1 to 9: items are read from that many tenths of the file on; other
  // values read from the start.
  void SetPartSeek(int tenths) { part_seek_ = tenths; }

  int GetCountChild() const { return static_cast<int>(items_.size()); }
  // The item at `index` (a negative index counts as 0), or null past the
  // end. Owned by the reader; valid until the next load.
  CSimpleXMLItmesChild* GetChild(int index);

  const std::string& root_name() const { return root_name_; }
  const std::string& item_name() const { return item_name_; }

 private:
  // What one step over the pending text achieved.
  enum class Step { kNeedMore, kProgress, kStop, kRefuse };

  Step FindDeclaration();
  Step FindRoot();
  Step FindItemName(XmlByteSource* source);
  Step TakeItem();
  // The step the current phase calls for.
  Step Advance(XmlByteSource* source);
  bool Keep(const CSimpleXMLItmesChild& item) const;

  std::string root_name_;
  std::string item_name_;
  std::vector<std::unique_ptr<CSimpleXMLItmesChild>> items_;
  int max_child_ = -1;
  int streaming_timeout_ = -1;
  int part_seek_ = -1;

  // State of one load.
  std::string pending_;       // read and not yet consumed
  uint64_t total_read_ = 0;
  bool declared_ = false;
  bool at_end_ = false;
  size_t kept_bytes_ = 0;
  std::string filter_tag_;
  std::string filter_pattern_;
};

#endif  // TORVANE_ENGINES_XML_READER_H_
