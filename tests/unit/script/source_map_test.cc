// Load errors name the file and line they come from, across includes and directives.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "common/scratch_dir.h"
#include "script/interpreter.h"

namespace {

TEST(SourceMapTest, LoadErrorsNameFileAndLine) {
  ScratchDir dir;
  dir.Put("lib.csh", "int Helper() {\n  return 1;\n}\nint Broken() { return 2 + ; }\n");
  dir.Put("good.csh", "int Helper() {\n  return 1;\n}\n");
  const struct {
    const char* name;
    std::string main;
    const char* file;  // where the error is: an include, or null for main.cs
    int line;
  } cases[] = {
      {"main file", "int Main() {\n  int x = 1;\n  x = ;\n  return x;\n}\n", nullptr, 3},
      {"after a block comment", "/* one\n two\n three */\nint Main() {\n  x = ;\n}\n", nullptr, 5},
      {"inside an include", "#include \"lib.csh\"\nint Main() { return 0; }\n", "lib.csh", 4},
      {"after an include", "#include \"good.csh\"\n\nint Main() {\n  return 0;\n  y = ;\n}\n", nullptr, 5},
      {"a directive", "int a;\n#bogus\n", nullptr, 2},
      {"a missing include", "\n\n#include \"absent.csh\"\n", nullptr, 3},
  };
  for (const auto& c : cases) {
    const std::string path = dir.Put("main.cs", c.main);
    Interpreter in;
    EXPECT_EQ(in.load(path.c_str()), 0) << c.name;
    const std::string where = (c.file != nullptr ? dir.File(c.file) : path) + ":" + std::to_string(c.line) + ": ";
    const std::string log = in.BuildAllLog();
    EXPECT_EQ(log.rfind(where, 0), 0u) << c.name << "\n" << log;
  }
}

// The hosts' way: preprocess, then load the text given back.
TEST(SourceMapTest, PreprocessedTextKeepsItsLocations) {
  ScratchDir dir;
  const std::string path = dir.Put("main.cs", "int Main() {\n  return 0;\n}\nint Other() { z = ; }\n");
  Interpreter in;
  char* text = in.PreProcessorRAM(path.c_str());
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(in.loadbyram(text), 0);
  EXPECT_EQ(std::string(in.BuildAllLog()).rfind(path + ":4: ", 0), 0u);
  const std::string other = "int Other() { z = ; }\n";
  EXPECT_EQ(in.loadbyram(other.c_str()), 0) << "other text than the preprocessed one";
  EXPECT_EQ(std::string(in.BuildAllLog()).find(path), std::string::npos);
  free(text);
}

}  // namespace
