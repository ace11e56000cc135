// source_map - where each stretch of preprocessed script text came from, so
// that a compile error can name "FILE:LINE" although includes were spliced
// into one text.
#ifndef TORVANE_SCRIPT_SOURCE_MAP_H_
#define TORVANE_SCRIPT_SOURCE_MAP_H_

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

struct SourceMap {
  // From `offset` of the preprocessed text on, up to the next mark, the
  // text is line `line` (counted from 1) of files[file].
  struct Mark {
    size_t offset;
    int file;
    int line;
  };

  void Clear() {
    files.clear();
    marks.clear();
  }
  int AddFile(const std::string& path) {
    files.push_back(path);
    return static_cast<int>(files.size()) - 1;
  }
  // Marks are added in increasing offsets; of marks at one offset the last
  // one added counts (an include that produced no text).
  void Mark(size_t offset, int file, int line) { marks.push_back({offset, file, line}); }

  // "FILE:LINE" of the byte at `offset`; "" when no mark covers it.
  std::string LocationOf(size_t offset) const {
    auto after = std::upper_bound(marks.begin(), marks.end(), offset,
                                  [](size_t at, const struct Mark& mark) { return at < mark.offset; });
    if (after == marks.begin()) return "";
    const struct Mark& mark = *(after - 1);
    return files[mark.file] + ":" + std::to_string(mark.line);
  }

  std::vector<std::string> files;
  std::vector<struct Mark> marks;
};

#endif  // TORVANE_SCRIPT_SOURCE_MAP_H_
