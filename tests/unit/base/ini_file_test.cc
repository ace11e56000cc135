// Tests of CFileINI: the character-level grammar and its quirks, lookups,
// where edits land, the written layout, atomic saves and concurrent use.
#include "base/ini_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cfloat>
#include <climits>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/scratch_dir.h"

namespace {

// Every item as "section|key|value", in list order.
std::vector<std::string> Dump(CFileINI& ini) {
  std::vector<std::string> out;
  for (const CFileINI_ITEM& item : ini.CopyItems()) {
    out.push_back(item.section.ToStdString() + "|" + item.key.ToStdString() + "|" + item.value.ToStdString());
  }
  return out;
}

std::vector<std::string> Parse(const std::string& text) {
  CFileINI ini;
  EXPECT_TRUE(ini.LoadBuffer(text.c_str()));
  return Dump(ini);
}

std::string Saved(CFileINI& ini) {
  ScratchDir dir;
  const std::string path = dir.File("out.ini");
  EXPECT_TRUE(ini.Save(path.c_str()));
  return ScratchDir::Contents(path);
}

std::string Value(CFileINI& ini, const char* section, const char* key, const char* fallback = "<absent>") {
  String out;
  return ini.GetString(&out, section, key, fallback).ToStdString();
}

// Records the pairs a CFileINI hands out.
class RecordingSink : public KeyValueSink {
 public:
  void Clear() override { pairs.clear(); }
  void Add(const char* key, const char* value, size_t value_len) override {
    pairs.push_back(std::string(key) + "=" + std::string(value, value_len));
  }
  std::vector<std::string> pairs;
};

TEST(CFileINIParse, TableOfTrickyInputs) {
  const struct ParseCase {
    const char* name;
    std::string text;
    std::vector<std::string> items;
  } cases[] = {
      {"crlf", "[s]\r\nk=v\r\nj=w\r\n", {"s|k|v", "s|j|w"}},
      {"cr only", "[s]\rk=v\rj=w\r", {"s|k|v", "s|j|w"}},
      {"last line without end is dropped", "[s]\r\nk=v\r\nj=w", {"s|k|v"}},
      {"= then bare lf runs on", "[s]\nk=\nj=w\n", {"s|k|jw"}},
      {"taken lf starts the value", "[s]\nk=\n  x\n", {"s|k|  x"}},
      {"= at the very end", "[s]\r\nk=", {}},
      {"second = swallows one char", "[s]\r\na=b=c\r\n", {"s|a|bc"}},
      {"spaces vanish from keys", "[s]\r\nmy key = x y\r\n", {"s|mykey| x y"}},
      {"[ inside a value is text", "[s]\r\nurl=a[b]c\r\nn=1\r\n", {"s|url|a[b]c", "s|n|1"}},
      {"[ in a key opens a section", "[s]\r\nab[t]\r\nk=1\r\n", {"t|k|1"}},
      {"empty header opens nothing", "[]\r\nk=1\r\n[s]\r\nj=2\r\n", {"s|j|2"}},
      {"unclosed header opens nothing", "[s\r\nk=1\r\n", {}},
      {"header name runs to the next ]", "[a\r\nk=1\r\n[b]\r\nj=2\r\n", {"ak=1[b|j|2"}},
      {"text before the first section", "junk=1\r\nk\r\n[s]\r\nk=v\r\n", {"s|k|v"}},
      {"= first is part of the key", "[s]\r\n=v\r\n", {"s|=v|"}},
      {"pair on the header line", "[s]k=v\n", {"s|k|v"}},
  };
  for (const ParseCase& c : cases) {
    EXPECT_EQ(Parse(c.text), c.items) << c.name;
  }
}

// Whatever is cut off, the items read are exactly the leading items of the
// whole text: the reader never needs, nor looks at, what is not there.
TEST(CFileINIParse, EveryTruncationYieldsALeadingSubsetOfItems) {
  const std::string text = "x\r\n[one]\r\na = 1\r\nb=2=3\r\n[]\r\n[two]\nc=\nd=[4]\r\n[thr\nee]e=5\r";
  const std::vector<std::string> whole = Parse(text);
  ASSERT_EQ(whole.size(), 4u);
  for (size_t cut = 0; cut <= text.size(); ++cut) {
    const std::vector<std::string> part = Parse(text.substr(0, cut));
    ASSERT_LE(part.size(), whole.size()) << cut;
    EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin())) << "cut at " << cut;
  }
}

// A refused load keeps what was there; a new text replaces everything.
TEST(CFileINILoad, RefusesWhatCannotBeRead) {
  ScratchDir dir;
  CFileINI ini;
  ASSERT_TRUE(ini.LoadBuffer("[a]\r\nx=1\r\n"));
  ASSERT_TRUE(ini.LoadBuffer("[s]\r\nk=v\r\n"));
  EXPECT_FALSE(ini.LoadBuffer(nullptr));
  EXPECT_FALSE(ini.Load(dir.File("missing.ini").c_str()));
  EXPECT_FALSE(ini.Load(dir.path().c_str()));  // a directory
  EXPECT_EQ(Dump(ini), std::vector<std::string>{"s|k|v"});
  EXPECT_FALSE(ini.Save(nullptr));  // no file loaded yet
}

TEST(CFileINILoad, TextEndsAtAnEmbeddedNul) {
  ScratchDir dir;
  const char text[] = "[s]\r\na=1\r\nb=2\0\r\nc=3\r\n";
  const std::string path = dir.Put("nul.ini", std::string(text, sizeof(text) - 1));
  CFileINI ini;
  ASSERT_TRUE(ini.Load(path.c_str()));
  EXPECT_EQ(Dump(ini), std::vector<std::string>{"s|a|1"});
}

TEST(CFileINILoad, RoundTripThroughTheLoadedPath) {
  ScratchDir dir;
  const std::string path = dir.Put("conf.ini", "[a]\r\nx=1\r\n[b]\r\ny=2\r\n");
  CFileINI ini;
  ASSERT_TRUE(ini.Load(path.c_str()));
  ini.WriteString("b", "z", "new");
  ini.WriteInt("a", "x", 7);
  ASSERT_TRUE(ini.Save(nullptr));
  EXPECT_EQ(ScratchDir::Contents(path), "[a]\r\nx=7\r\n[b]\r\nz=new\r\ny=2\r\n");

  CFileINI again;
  ASSERT_TRUE(again.LoadScript(path.c_str()));
  EXPECT_EQ(Dump(again), Dump(ini));
}

TEST(CFileINILookup, AbsentEmptyAndMalformedValues) {
  CFileINI ini;
  ASSERT_TRUE(ini.LoadBuffer("[s]\r\nempty=\r\nword=abc\r\nlead=42xyz\r\nneg=-17\r\nhuge=99999999999\r\n"
                             "f=2.5\r\nbig=1e300\r\nx=1\r\nx=2\r\n"));
  EXPECT_EQ(Value(ini, "s", "missing", "dflt"), "dflt");
  EXPECT_EQ(Value(ini, "s", "empty", "dflt"), "");
  EXPECT_EQ(Value(ini, "S", "word"), "<absent>");  // names are case-sensitive

  const struct {
    const char* key;
    int expected;
  } ints[] = {{"missing", 99}, {"word", 0}, {"lead", 42}, {"huge", INT_MAX}, {"x", 1}};
  for (const auto& c : ints) EXPECT_EQ(ini.GetInt("s", c.key, 99), c.expected) << c.key;

  EXPECT_FLOAT_EQ(ini.GetDouble("s", "f", 9.0f), 2.5f);
  EXPECT_EQ(ini.GetDouble("s", "big", 9.0f), FLT_MAX);
}

TEST(CFileINILookup, FirstMatchAndPositions) {
  CFileINI ini;
  ASSERT_TRUE(ini.LoadBuffer("[a]\r\nk=1\r\n[b]\r\nk=2\r\nm=3\r\nm=4\r\n"));
  String out;
  EXPECT_TRUE(ini.FindValue("b", "m", &out));
  EXPECT_EQ(out.ToStdString(), "3");
  EXPECT_FALSE(ini.FindValue(nullptr, "m", &out));
  EXPECT_EQ(ini.FindValueGetIndex("b", "m"), 2);
  EXPECT_EQ(ini.FindIndexKey("b"), 1);
  EXPECT_EQ(ini.GetStringBySearch(&out, "k", nullptr, "d").ToStdString(), "1");  // any section
  EXPECT_EQ(ini.GetStringBySearch(&out, "zz", "b", "d").ToStdString(), "d");
}

TEST(CFileINILookup, ItemsHandedToASink) {
  CFileINI ini;
  ASSERT_TRUE(ini.LoadBuffer("[a]\r\nk=1\r\n[b]\r\nm=\r\nn=x y\r\n[a]\r\nz=9\r\n"));
  RecordingSink sink;
  ini.GetItemesKey(&sink, "a");
  EXPECT_EQ(sink.pairs, (std::vector<std::string>{"k=1", "z=9"}));
  sink.pairs.clear();
  EXPECT_TRUE(ini.GetItemesKeyScript(&sink, nullptr));
  EXPECT_EQ(sink.pairs, (std::vector<std::string>{"k=1", "m=", "n=x y", "z=9"}));
}

// A sink may use the object it is fed from: it runs outside the lock.
TEST(CFileINILookup, SinkMayCallBackIntoTheObject) {
  CFileINI ini;
  ASSERT_TRUE(ini.LoadBuffer("[a]\r\nk=1\r\nj=2\r\n"));
  class CopyingSink : public KeyValueSink {
   public:
    explicit CopyingSink(CFileINI* ini) : ini_(ini) {}
    void Clear() override {}
    void Add(const char* key, const char* value, size_t) override { ini_->WriteString("copy", key, value); }

   private:
    CFileINI* ini_;
  } sink(&ini);
  ini.GetItemesKey(&sink, "a");
  EXPECT_EQ(Value(ini, "copy", "k"), "1");
  EXPECT_EQ(Value(ini, "copy", "j"), "2");
}

TEST(CFileINIEdit, WhereWritesLand) {
  const std::string start = "[a]\r\nx=1\r\nx=2\r\n[b]\r\ny=2\r\n";
  const struct PlacementCase {
    const char* name;
    const char* section;
    const char* key;
    const char* value;
    std::string saved;
  } cases[] = {
      {"new key goes first in its section", "b", "new", "v", "[a]\r\nx=1\r\nx=2\r\n[b]\r\nnew=v\r\ny=2\r\n"},
      {"new section goes last", "c", "k", "v", "[a]\r\nx=1\r\nx=2\r\n[b]\r\ny=2\r\n[c]\r\nk=v\r\n"},
      {"existing key: first match overwritten", "a", "x", "9", "[a]\r\nx=9\r\nx=2\r\n[b]\r\ny=2\r\n"},
      {"empty value written", "b", "y", "", "[a]\r\nx=1\r\nx=2\r\n[b]\r\ny=\r\n"},
  };
  for (const PlacementCase& c : cases) {
    CFileINI ini;
    ASSERT_TRUE(ini.LoadBuffer(start.c_str()));
    ini.WriteString(c.section, c.key, c.value);
    EXPECT_EQ(Saved(ini), c.saved) << c.name;
  }
}

// Numbers have a fixed format; a scattered section is written with its header again each run.
TEST(CFileINIEdit, NumbersAndScatteredSections) {
  CFileINI ini;
  ASSERT_TRUE(ini.LoadBuffer("[a]\r\nx=1\r\n[b]\r\ny=2\r\n[a]\r\nz=3\r\n"));
  ini.WriteInt("a", "z", -7);  // lookups see every run of a section
  ini.WriteDouble("b", "d", -3.99f);
  EXPECT_EQ(Saved(ini), "[a]\r\nx=1\r\n[b]\r\nd=-3.990000\r\ny=2\r\n[a]\r\nz=-7\r\n");
}

TEST(CFileINIEdit, DuplicatesReadFirstAndSaveBoth) {
  CFileINI ini;
  ASSERT_TRUE(ini.LoadBuffer("[s]\r\nx=1\r\nx=2\r\n"));
  EXPECT_EQ(ini.GetInt("s", "x", 0), 1);
  EXPECT_EQ(Saved(ini), "[s]\r\nx=1\r\nx=2\r\n");
  EXPECT_TRUE(ini.DeleteKey("s", "x"));
  EXPECT_EQ(ini.GetInt("s", "x", 0), 2);
  EXPECT_TRUE(ini.DeleteKey("s", "x"));
  EXPECT_FALSE(ini.DeleteKey("s", "x"));
  EXPECT_EQ(Saved(ini), "");
}

TEST(CFileINIScript, WrappersTolerateAbsentArguments) {
  CFileINI ini;
  ASSERT_TRUE(ini.LoadBuffer("[s]\r\nk=v\r\n"));
  EXPECT_STREQ(ini.ReadVar("s", "k"), "v");
  EXPECT_STREQ(ini.ReadVar("s", "missing"), "");
  EXPECT_FALSE(ini.WriteVar("s", "k", nullptr));
  EXPECT_FALSE(ini.DeleteKeyScript("s", nullptr));
  EXPECT_TRUE(ini.DeleteKeyScript("s", "k"));
  EXPECT_FALSE(ini.IsKeyExistScript("s", "k"));
}

// A full disk: writes past a small file-size limit fail part way.
TEST(CFileINISave, FailedWriteLeavesTheOldFileWhole) {
  const std::string old = "[s]\r\nk=old\r\n";
  ScratchDir dir;
  const std::string path = dir.Put("conf.ini", old);
  CFileINI ini;
  ASSERT_TRUE(ini.Load(path.c_str()));
  ini.WriteString("s", "k", "new");
  for (int i = 0; i < 2000; ++i) ini.WriteInt("bulk", ("key" + std::to_string(i)).c_str(), i);
  struct rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  sighandler_t old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old_limit;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool saved = ini.Save(nullptr);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(saved);
  EXPECT_EQ(ScratchDir::Contents(path), old);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST(CFileINIConcurrency, WritersReadersAndSaversTogether) {
  constexpr int kThreads = 3;
  constexpr int kKeysEach = 150;
  ScratchDir dir;
  const std::string path = dir.Put("shared.ini", "[common]\r\nseed=1\r\n");
  CFileINI ini;
  ASSERT_TRUE(ini.Load(path.c_str()));

  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&ini, t] {
      for (int i = 0; i < kKeysEach; ++i) {
        const std::string key = "t" + std::to_string(t) + "k" + std::to_string(i);
        ini.WriteInt("common", key.c_str(), t * 1000 + i);
        EXPECT_EQ(ini.GetInt("common", key.c_str(), -1), t * 1000 + i);
      }
    });
  }
  threads.emplace_back([&ini] {
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(ini.Save(nullptr));
  });
  for (std::thread& thread : threads) thread.join();

  ASSERT_TRUE(ini.Save(nullptr));
  CFileINI reloaded;
  ASSERT_TRUE(reloaded.Load(path.c_str()));
  EXPECT_EQ(Dump(reloaded), Dump(ini));
  EXPECT_EQ(reloaded.CopyItems().GetSize(), 1 + kThreads * kKeysEach);
}

}  // namespace
