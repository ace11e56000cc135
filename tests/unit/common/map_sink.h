// map_sink - a KeyValueSink that keeps the pairs a table hands over, by key.
#ifndef TORVANE_TESTS_UNIT_COMMON_MAP_SINK_H_
#define TORVANE_TESTS_UNIT_COMMON_MAP_SINK_H_

#include <map>
#include <string>

#include "base/key_value_sink.h"

class MapSink : public KeyValueSink {
 public:
  void Clear() override {
    ++clears;
    pairs.clear();
  }
  void Add(const char* key, const char* value, size_t value_len) override {
    pairs[key] = std::string(value, value_len);
  }
  int clears = 0;
  std::map<std::string, std::string> pairs;
};

#endif  // TORVANE_TESTS_UNIT_COMMON_MAP_SINK_H_
