// Preprocessing and the lexical rules of the compiler's readers, with their messages.
#include <gtest/gtest.h>

#include "script/preprocessor.h"
#include "script_harness.h"

namespace script_test {
namespace {

// Preprocesses `source` as a file; returns the text, or "ERROR:" + log.
std::string Preprocess(const std::string& source, Interpreter* in = nullptr) {
  Interpreter local;
  Interpreter* interpreter = in ? in : &local;
  ScratchFile file(source);
  char* text = interpreter->PreProcessorRAM(file.path().c_str());
  if (!text) return std::string("ERROR:") + interpreter->BuildAllLog();
  std::string out = text;
  free(text);
  return out;
}

TEST(PreprocessorTest, CommentsTabsAndCarriageReturns) {
  const struct {
    const char* source;
    const char* expected;
  } kCases[] = {
      {"a // comment\nb", "a \nb"},
      {"a /* x\ny */ b", "a \n b"},        // block comments keep their line feeds
      {"a\tb\r\nc", "a b\nc"},
      {"s = \"// not /* a comment\";", "s = \"// not /* a comment\";"},
      {"s = \"tab\there\";", "s = \"tab\there\";"},
      {"#!/usr/bin/torvane\nx", "\nx"},
  };
  for (const auto& c : kCases) EXPECT_EQ(Preprocess(c.source), c.expected) << c.source;
}

TEST(PreprocessorTest, DefinesReplaceWholeWordsOnce) {
  const struct {
    const char* source;
    const char* expected;
  } kCases[] = {
      {"#define N 10\nx = N;", "\nx = 10;"},
      {"#define N 10\nx = NN;", "\nx = NN;"},
      {"#define N 10\nx = N", "\nx = N"},  // no delimiter after the last word
      {"#define A B\n#define B C\nx = A;", "\n\nx = B;"},  // no re-scan
      {"#define E\nx = E;", "\nx = ;"},
      {"#define N 1\n#undef N\nx = N;", "\n\nx = N;"},
      {"#define N 1\ns = \"N\";", "\ns = \"N\";"},
      {"#ifdef X\n#define N 1\n#endif\nx = N;", "\nx = N;"},  // inactive lines vanish
      {"#ifndef X\na\n#else\nb\n#endif\n", "\na\n\n"},
      {"#define X\n#ifdef X\na\n#else\nb\n#endif\n", "\n\na\n\n"},
      {"#ifdef X\n#ifdef Y\na\n#endif\nb\n#else\nc\n#endif\n", "\nc\n\n"},
      {"\n\nx = __LINE__;", "\n\nx = 2;"},
      {"x = 'N';", "x = 'N';"},
  };
  for (const auto& c : kCases) EXPECT_EQ(Preprocess(c.source), c.expected) << c.source;
}

TEST(PreprocessorTest, FileNameAndVersion) {
  Interpreter in;
  ScratchFile file("f = __FILE__;\n");
  char* text = in.PreProcessorRAM(file.path().c_str());
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text), "f = \"" + file.path() + ":0\";\n");
  free(text);
  Harness h;
  ScratchFile version("int main() { Capture(__VERSION__); return 1; }");
  ASSERT_EQ(h.interpreter.load(version.path().c_str()), 1);
  EXPECT_EQ(h.Run(), 1);
  EXPECT_EQ(Harness::CapturedText(), "string: \"2.0\"\n");
}

TEST(PreprocessorTest, HostDefinitions) {
  Interpreter in;
  in.define("MODE", "3");
  EXPECT_EQ(in.ifdef("MODE"), 1);
  EXPECT_EQ(Preprocess("x = MODE;", &in), "x = 3;");
  EXPECT_EQ(in.undef("MODE"), 1);
  EXPECT_EQ(in.ifdef("MODE"), 0);
  EXPECT_EQ(Preprocess("x = MODE;", &in), "x = MODE;");
}

TEST(PreprocessorTest, IncludeByNameThenBesideTheFile) {
  ScratchFile inner("int fromInclude = 5;\n", ".inc");
  std::string base = inner.path().substr(inner.path().rfind('/') + 1);
  EXPECT_EQ(Preprocess("#include \"" + inner.path() + "\"\nx;"), "int fromInclude = 5;\n\nx;");
  EXPECT_EQ(Preprocess("#include <" + base + ">\nx;"), "int fromInclude = 5;\n\nx;");
  EXPECT_TRUE(Contains(Preprocess("#include \"no_such_file.cs\"\n"), "can't find \"no_such_file.cs\" file"));
}

TEST(PreprocessorTest, SelfIncludeIsBounded) {
  ScratchDir dir;
  const std::string path = dir.Put("self.cs", "#include \"" + dir.File("self.cs") + "\"\n");
  Interpreter in;
  EXPECT_EQ(in.PreProcessorRAM(path.c_str()), nullptr);
  EXPECT_TRUE(Contains(in.BuildAllLog(), "nested too deeply"));
}

TEST(PreprocessorTest, ImportsAreRecordedOnce) {
  Interpreter in;
  EXPECT_NE(Preprocess("#import (class, CS_Array)\n#import ( lib , mathlib )\n#import (class, CS_Array)\n"
                       "#import (other, x)\n#ifdef NO\n#import (lib, hidden)\n#endif\n",
                       &in)
                .substr(0, 6),
            "ERROR:");
  std::vector<std::pair<int, std::string>> imports;
  for (const STR_ScriptImport& import : in.imports()) imports.emplace_back(import.kind, import.name);
  EXPECT_EQ(imports, (std::vector<std::pair<int, std::string>>{{1, "CS_Array"}, {2, "mathlib"}, {2, "hidden"}}));
}

TEST(PreprocessorTest, DirectiveErrors) {
  const struct {
    const char* source;
    const char* message;
  } kCases[] = {
      {"#endif\n", "#endif is before #ifdef or #ifndef"},
      {"#ifdef X\na\n", "bad processor options"},
      {"#pragma once\n", "unknown prepocessor token \"#pragma\""},
      {"#define\n", "bad name"},
  };
  for (const auto& c : kCases) {
    std::string result = Preprocess(c.source);
    EXPECT_TRUE(Contains(result, std::string("ERROR:"))) << c.source;
    EXPECT_TRUE(Contains(result, c.message)) << c.source << " -> " << result;
  }
  EXPECT_TRUE(Contains(Preprocess("#define " + std::string(300, 'N') + " 1\n"), "buffer overflow"));
  EXPECT_TRUE(Contains(Preprocess("#" + std::string(300, 'd') + "\n"), "buffer overflow"));
}

TEST(PreprocessorTest, UnreadableFile) {
  Interpreter in;
  EXPECT_EQ(in.PreProcessorRAM("/nonexistent/dir/file.cs"), nullptr);
  EXPECT_STREQ(in.BuildAllLog(), "");  // the caller reports it
  EXPECT_EQ(in.load("/nonexistent/dir/file.cs"), 0);
  EXPECT_TRUE(Contains(in.BuildAllLog(), "can't open \"/nonexistent/dir/file.cs\" file"));
  EXPECT_EQ(in.loadbyram(nullptr), 0);
  EXPECT_TRUE(Contains(in.BuildAllLog(), "can't open pointer"));
}

TEST(LexerTest, Literals) {
  const struct {
    const char* expression;
    const char* expected;
  } kCases[] = {
      {"0x1F", "int: 31\n"},
      {"1.5", "float: 1.5\n"},
      {"2e3", "float: 2000\n"},
      {"3f", "int: 3\n"},
      {"'A'", "int: 65\n"},
      {"\"a\"\n  \"b\"", "string: \"ab\"\n"},
      {"\"\\b\\f\\n\\r\\t\\v\\a\\\"\\'\\?\\\\\"", "string: \"\\b\\f\\n\\r\\t\\v\\a\\\"'?\\\\\"\n"},
      {"\"\\0101\"", "string: \"\\b1\"\n"},  // two octal digits only
      {"\"x\\0y\"", "string: \"x\\0y\"\n"},
  };
  for (const auto& c : kCases) EXPECT_EQ(Eval(c.expression), c.expected) << c.expression;
}

TEST(LexerTest, ErrorsCarryTheSourceLine) {
  Harness h;
  EXPECT_EQ(h.Load("int a = 1;\nint b = a +* 2;\nint c;"), 0);
  EXPECT_TRUE(Contains(h.log, "int b = a +* 2;\n") && Contains(h.log, "error before \"*\"")) << h.log;
  EXPECT_EQ(h.interpreter.IsGoodScript(), 1);
  EXPECT_EQ(h.Run(), 0);
  EXPECT_TRUE(Contains(h.log, "empty program"));
}

}  // namespace
}  // namespace script_test
