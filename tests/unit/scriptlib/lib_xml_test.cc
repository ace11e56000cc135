// Tests of "XMLParse" and "XMLChild" as scripts use them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/scratch_dir.h"
#include "lib_harness.h"

namespace lib_test {
namespace {

TEST(LibXml, ScriptReadsItems) {
  ScratchDir dir;
  const std::string path = dir.Put("f.xml",
                                   "<?xml version=\"1.0\"?><r><i><n>a</n><v>1</v></i>"
                                   "<i><n>b</n><v>2</v></i><i><n>c</n><v>3</v></i></r>");
  const std::string q = "\"" + path + "\"";
  const std::vector<std::string> got = RunBody(
      "XMLParse x = new XMLParse();"
      "Capture(x.LoadFile(" + q + ")); Capture(x.GetCountChild());"
      "XMLChild c = x.GetChild(1); Capture(c.GetValue(\"n\")); Capture(c.GetCount());"
      "Capture(x.GetChild(3) == 0);"
      "Capture(x.LoadFile(" + q + ", \"v\", \"^[23]$\")); c = x.GetChild(0); Capture(c.GetValue(\"n\"));"
      "x.SetMaxChild(1); x.LoadFile(" + q + "); Capture(x.GetCountChild());"
      "Capture(x.LoadFile(\"" + dir.File("none") + "\"));"
      "delete x;");
  const std::vector<std::string> want = {Int(1), Int(3), Text("b"), Int(2), Int(1), Int(1), Text("b"), Int(1), Int(0)};
  EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace lib_test
