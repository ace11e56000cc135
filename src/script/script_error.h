// script_error - the one error path inside the script engine. Compile and run
// errors are raised as ScriptError by the helpers below and caught only at the
// interpreter's host-facing entry points (load, loadbyram, PreProcessorRAM,
// run), which log the message and return 0; nothing escapes the engine.
#ifndef TORVANE_SCRIPT_SCRIPT_ERROR_H_
#define TORVANE_SCRIPT_SCRIPT_ERROR_H_

#include <string>
#include <utility>

class ScriptError {
 public:
  explicit ScriptError(std::string message) : message_(std::move(message)) {}
  const std::string& message() const { return message_; }

 private:
  std::string message_;
};

// Raises `message` as it stands (no formatting).
[[noreturn]] void ScriptFail(const char* message);
// Raises a printf-formatted message; arguments are cut to keep the message
// bounded (kMaxErrorChars).
[[noreturn]] void ScriptFailf(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// Longest error text raised; quoted names in messages are excerpts.
inline constexpr int kMaxErrorChars = 2048;

#endif  // TORVANE_SCRIPT_SCRIPT_ERROR_H_
