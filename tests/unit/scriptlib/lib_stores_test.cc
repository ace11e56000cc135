// Tests of the table classes through scripts.
#include "common/scratch_dir.h"
#include "scriptlib/lib_stores.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/utility.h"
#include "lib_harness.h"
#include "scriptlib/persistent_objects.h"

namespace lib_test {
namespace {

using Texts = std::vector<std::string>;

class LibStoresTest : public ::testing::Test {
 protected:
  ScratchAppDir scratch_;
  const std::string dir_ = scratch_.path();
};

// Deleted records are not counted.
TEST_F(LibStoresTest, RecordStoreRoundTrip) {
  Texts got = RunBody(
      "CDB_Ram db = new CDB_Ram(); Capture(db.Open(\"spam.db\"));"
      "db.Insert(\"k1\", \"v1\"); db.Insert(\"k2\", \"v2\"); db.Update(\"k2\", \"two\"); Capture(db.Delete(\"k1\"));"
      "Capture(db.GetCount()); Capture(db.Save());"
      "CDB_Ram again = new CDB_Ram(); again.Open(\"spam.db\"); Capture(again.Load());"
      "HashArray h = new HashArray(); h.AddValueS(\"stale\", \"x\"); again.Query(\"^TWO$\", h, 1, 1);"
      "Capture(h.GetKeyByIndex(0)); Capture(h.GetRecordCount());");
  EXPECT_EQ(got, (Texts{Int(1), Int(1), Int(1), Int(1), Int(1), Text("k2"), Int(1)}));
}

// The registry's pointers as the host hands them to scripts.
CS_Torvane_kernel* g_kernel = nullptr;
Variable Persistent(const char* name, const char* type) {
  Variable out;
  out.setPointer(g_kernel->CreatePersistentOBJ(name, type), CS_Torvane_kernel::PointerTypeOf(type));
  return out;
}

TEST_F(LibStoresTest, PersistentObjectsBindToTheirClasses) {
  CS_Torvane_kernel kernel;
  g_kernel = &kernel;
  const char* kRun =
      "int main() { CDB_Ram db = Persistent(\"spam\", \"CDB_Ram\"); db.Insert(\"a\", \"1\");"
      "  CS_Flag f = Persistent(\"flag\", \"CS_Flag\"); f.SetInt(f.GetInt() + 1);"
      "  CS_FileCfg ini = Persistent(\"cfg\", \"CS_FileCfg\"); ini.WriteVar(\"s\", \"n\", \"\" + f.GetInt());"
      "  return db.GetCount() * 10 + f.GetInt(); }";
  for (int run = 1; run <= 2; ++run) {  // the second script sees the first's objects
    LibHarness h;
    addFunction(&h.interpreter, "Persistent", &Persistent);
    EXPECT_EQ(h.LoadAndRun(kRun), 10 + run) << h.log;
  }
  LibHarness wrong;
  addFunction(&wrong.interpreter, "Persistent", &Persistent);
  EXPECT_EQ(wrong.LoadAndRun("int main() { CS_Flag f = Persistent(\"spam\", \"CDB_Ram\"); return 1; }"), 0);
  g_kernel = nullptr;
}

// The reading and writing rules are CFileINI's; a save needs a path.
TEST_F(LibStoresTest, IniFileRoundTrip) {
  const std::string path = dir_ + "/t.ini";
  Texts got = RunBody(
      "CS_FileCfg c = new CS_FileCfg(); Capture(c.LoadByString(\"[main]\\nname=mx1\\nport=25\\n\"));"
      "Capture(c.ReadVar(\"main\", \"name\")); c.WriteVar(\"extra\", \"k\", \"v\");"
      "c.DeleteKey(\"main\", \"port\"); Capture(c.IsKeyExist(\"main\", \"port\"));"
      "Capture(c.Save(\"" + path + "\")); Capture(c.Save());"
      "CS_FileCfg d = new CS_FileCfg(); Capture(d.Load(\"" + path + "\"));"
      "HashArray h = new HashArray(); Capture(d.GetConfigToArray(h, \"main\")); Capture(h.GetRecordCount());"
      "d.GetConfigToArray(h); Capture(h.GetS(\"k\"));");
  EXPECT_EQ(got, (Texts{Int(1), Text("mx1"), Int(0), Int(1), Int(0), Int(1), Int(1), Int(1), Text("v")}));
}

TEST(LibFlagTest, TypedCell) {
  Texts got = RunBody(
      "CS_Flag f = new CS_Flag(); Capture(f.GetInt()); Capture(f.GetString());"
      "f.SetInt(7); f.SetBool(-3); f.SetFloat(1.5); f.SetString(\"on\");"
      "Capture(f.GetInt()); Capture(f.GetBool()); Capture(f.GetFloat()); Capture(f.GetString());"
      "f.SetBool(0); Capture(f.GetBool());");
  EXPECT_EQ(got, (Texts{Int(0), Text(""), Int(7), Int(1), "float: 1.5\n", Text("on"), Int(0)}));
}

TEST_F(LibStoresTest, StatisticDay) {
  Texts got = RunBody(
      "CS_Statistic s = new CS_Statistic(); Capture(s.Load(\"" + dir_ + "/none\")); Capture(s.Save());"
      "s.AddItem(\"mails\", 1, 0, 2.0, 3); s.AddItem(\"mails\", 1, 0, 5.0); s.AddItem(\"spam\");"
      "HashArray h = new HashArray(); s.PopulatedArray(h); Capture(h.GetRecordCount()); Capture(h.GetS(\"mails\"));"
      "s.Reset(); s.PopulatedArray(h); Capture(h.GetRecordCount());");
  ASSERT_EQ(got.size(), 5u) << got[0];
  EXPECT_EQ(got[0], Int(0));
  EXPECT_EQ(got[1], Int(0));  // nothing loaded: no path to save to
  EXPECT_EQ(got[2], Int(2));
  EXPECT_EQ(got[4], Int(0));
  EXPECT_EQ(got[3].rfind("string: \"", 0), 0u) << got[3];
  EXPECT_NE(got[3].find("|1"), std::string::npos) << got[3];  // the group
}

TEST(LibNetInfoTest, ListsTheUpAddresses) {
  Texts got = RunBody("CNetInfo n = new CNetInfo(); HashArray h = new HashArray(); h.AddValueS(\"stale\", \"x\");"
                      "Capture(n.BuildNetInfo(h)); Capture(h.KeyExists(\"127.0.0.1\")); Capture(h.KeyExists(\"stale\"));"
                      "HashArray none; Capture(n.BuildNetInfo(none));");
  EXPECT_EQ(got, (Texts{Int(1), Int(1), Int(0), Int(0)}));
}

TEST(LibraryClassesTest, ScriptsReadTheVersion) {
  EXPECT_EQ(RunBody("Capture(GetTorvaneVersion());"), Texts{Text("3.0.1")});
}

}  // namespace
}  // namespace lib_test
