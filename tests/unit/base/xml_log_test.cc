// Tests of the XML log: file bytes, escaping and cut, reopening, record buffers and rotation, on a fixed clock.
#include "base/xml_log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "common/scratch_dir.h"
#include "common/time_zone.h"

namespace {

time_t g_now = 1709629451;  // 2024-03-05 09:04:11 UTC
time_t FixedNow() { return g_now; }

class LogXmlTest : public ::testing::Test {
 protected:
  void SetUp() override { g_now = 1709629451; }
  ScopedTimeZone utc_{"UTC"};
  ScratchDir dir_;
  std::string path_ = dir_.File("torvane_log.xml");
};

const char kHeader[] =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\" ?>\n"
    "<?xml-stylesheet href=\"Log.xsl\" type=\"text/xsl\" ?>"
    "\n<LogFile>"
    "\n<AppName>Torvane AntiSpam</AppName>"
    "\n<Timestamp>1709629451</Timestamp>"
    "\n<Date>2024-03-05</Date>"
    "\n<Time>09:04:11</Time>";

// One record as the file holds it, each line after a line feed.
std::string Record(const std::vector<std::string>& fields) {
  std::string out = "\n  <LogItem>\n    <Date>2024-03-05</Date>\n    <Time>09:04:11</Time>";
  for (const std::string& field : fields) out += "\n    " + field;
  return out + "\n  </LogItem></LogFile>";
}

TEST_F(LogXmlTest, HeaderAndBufferedRecordBytes) {
  {
    LogXML log(path_.c_str(), "Torvane AntiSpam", &FixedNow);
    log.SetLogLevel(1);
    CLogSimple buffer;
    buffer.LogS(1, "Connection Timeout", nullptr, nullptr, "FIREWALL", 17);
    log.PrintLogSimple(buffer, 0);
    EXPECT_EQ(buffer.GetCount(), 0);
  }
  // Each record overwrites the closing </LogFile> of the one before.
  std::string first = Record({"<Filename></Filename>", "<Function></Function>", "<Type>SYS</Type>",
                              "<Entry>Set Log Level to: 1</Entry>"});
  first = kHeader + first.substr(0, first.size() - 10);
  std::string second = Record({"<Filename></Filename>", "<Function></Function>", "<Type>FIREWALL</Type>",
                               "<IdConnection>17</IdConnection>", "<Entry>Connection Timeout</Entry>"});
  std::string closed = Record({"<Filename></Filename>", "<Function></Function>", "<Type>SYS</Type>",
                               "<Entry>Log File closed</Entry>"});
  EXPECT_EQ(ScratchDir::Contents(path_),
            first + second.substr(0, second.size() - 10) + closed);
}

TEST_F(LogXmlTest, FieldsDependOnThresholdAndSource) {
  struct Case {
    int threshold;
    const char* filename;
    const char* function;
    const char* type;
    bool buffered;
    std::vector<std::string> fields;
  } cases[] = {
      // Below the debug threshold both source fields are always present and empty.
      {1, "core", "C::f", nullptr, false, {"<Filename></Filename>", "<Function></Function>", "<Entry>m</Entry>"}},
      // A direct record without category has no Type; a buffered one has an empty Type.
      {1, nullptr, nullptr, nullptr, true, {"<Filename></Filename>", "<Function></Function>", "<Type></Type>", "<Entry>m</Entry>"}},
      // At threshold 4 each source field appears only when given.
      {4, "core", nullptr, "SYS", false, {"<Filename>core</Filename>", "<Type>SYS</Type>", "<Entry>m</Entry>"}},
      {4, nullptr, "C::f", nullptr, false, {"<Function>C::f</Function>", "<Entry>m</Entry>"}},
  };
  for (const Case& c : cases) {
    std::remove(path_.c_str());
    LogXML log(path_.c_str(), "Torvane AntiSpam", &FixedNow);
    log.SetLogLevel(c.threshold);
    const size_t before = log.GetLenFile();
    if (c.buffered) {
      CLogSimple buffer;
      buffer.LogS(1, "m", c.filename, c.function, c.type, 0);
      log.PrintLogSimple(buffer, 0);
    } else {
      EXPECT_TRUE(log.Log(1, "m", c.filename, c.function, c.type, 0));
    }
    EXPECT_EQ(ScratchDir::Contents(path_).substr(before - 10), Record(c.fields)) << "threshold " << c.threshold;
  }
}

// Whatever a peer sends, the log stays XML; the cut at 512 characters never splits an entity.
TEST_F(LogXmlTest, ValuesAreEscapedThenCut) {
  struct Case {
    std::string value;
    std::string stored;
  } cases[] = {
      {"<a href=\"http://x/?a=1&b='2'\">y</a>", "&lt;a href=&quot;http://x/?a=1&amp;b='2'&quot;&gt;y&lt;/a&gt;"},
      {std::string("a\x01\x08\x0b\x1f\tb\xe9", 8), std::string("a????\tb\xe9", 8)},
      {std::string(600, 'x'), std::string(512, 'x')},
      {std::string(511, 'a') + ">", std::string(511, 'a')},
  };
  for (const Case& c : cases) {
    std::remove(path_.c_str());
    LogXML log(path_.c_str(), "Torvane AntiSpam", &FixedNow);
    const size_t before = log.GetLenFile();
    ASSERT_TRUE(log.Log(0, c.value.c_str(), nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(ScratchDir::Contents(path_).substr(before),
              Record({"<Filename></Filename>", "<Function></Function>", "<Entry>" + c.stored + "</Entry>"}))
        << c.value.substr(0, 40);
  }
}

TEST(LogExcerptTest, QuotesOneShortCleanLine) {
  EXPECT_EQ(LogExcerpt(std::string("250-a\r\n250 b\x01\x7f", 14)).ToStdString(), "250-a  250 b??");
  EXPECT_EQ(LogExcerpt(std::string(300, 'x')).ToStdString(), std::string(kLogExcerptBytes, 'x') + "...");
}

TEST_F(LogXmlTest, ReopeningContinuesOrAppends) {
  {
    LogXML log(path_.c_str(), "Torvane AntiSpam", &FixedNow);
    log.Log(0, "one", nullptr, nullptr, nullptr, 0);
  }
  // Ends in </LogFile>: the next record is written over it, no new header.
  {
    LogXML log(path_.c_str(), "Other Title", &FixedNow);
    log.Log(0, "two", nullptr, nullptr, nullptr, 0);
  }
  std::string contents = ScratchDir::Contents(path_);
  EXPECT_EQ(contents.find("Other Title"), std::string::npos);
  EXPECT_EQ(contents.find("</LogFile>"), contents.size() - 10);
  EXPECT_NE(contents.find("<Entry>two</Entry>"), std::string::npos);

  // A log cut short: the record goes after the old end.
  const std::string cut = contents.substr(0, contents.size() - 4);
  dir_.Put("torvane_log.xml", cut);
  {
    LogXML log(path_.c_str(), "Torvane AntiSpam", &FixedNow);
    log.Log(0, "three", nullptr, nullptr, nullptr, 0);
  }
  contents = ScratchDir::Contents(path_);
  EXPECT_EQ(contents.substr(0, cut.size()), cut);
  EXPECT_EQ(contents.substr(cut.size()),
            Record({"<Filename></Filename>", "<Function></Function>", "<Entry>three</Entry>"}));
}

// Records above the threshold are skipped; a close at the debug threshold names the module, then nothing is written.
TEST_F(LogXmlTest, LevelsFilterAndCloseStopsWriting) {
  LogXML log(path_.c_str(), "Torvane AntiSpam", &FixedNow);
  log.SetLogLevel(2);
  const size_t before = log.GetLenFile();
  EXPECT_TRUE(log.Log(3, "hidden", nullptr, nullptr, "SYS", 0));
  EXPECT_EQ(log.GetLenFile(), before);
  EXPECT_TRUE(log.Log(2, "shown", nullptr, nullptr, "SYS", 0));
  EXPECT_GT(log.GetLenFile(), before);
  log.SetLogLevel(4);
  log.Close();
  const std::string contents = ScratchDir::Contents(path_);
  const std::string tail = Record({"<Filename>logxml</Filename>", "<Type>SYS</Type>", "<Entry>Log File closed</Entry>"});
  EXPECT_EQ(contents.substr(contents.size() - tail.size()), tail);
  EXPECT_FALSE(log.IsOpen());
  EXPECT_FALSE(log.Log(0, "late", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(ScratchDir::Contents(path_), contents);
}

TEST_F(LogXmlTest, UnopenableFileLeavesAnInertLogger) {
  LogXML log(dir_.File("missing/dir/log.xml").c_str(), "Torvane AntiSpam", &FixedNow);
  EXPECT_FALSE(log.IsOpen());
  EXPECT_FALSE(log.Log(0, "x", nullptr, nullptr, nullptr, 0));
  EXPECT_TRUE(log.Log(3, "skipped", nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(log.GetLenFile(), 0u);
}

TEST(CLogSimpleTest, MergeKeepsOrderAndReplacesPositiveIds) {
  struct Case {
    int merge_id;
    std::vector<int> ids;
  } cases[] = {{0, {5, 0}}, {42, {42, 42}}};
  for (const Case& c : cases) {
    CLogSimple from, into;
    from.LogS(2, "first", "f", "r", "SMTP", 5);
    from.LogS(3, "second", nullptr, nullptr, nullptr, 0);
    into.Merge(from, c.merge_id);
    EXPECT_EQ(from.GetCount(), 0);
    std::vector<std::string> entries;
    std::vector<int> ids;
    into.Drain([&](const CLogSimple::LogSimple_item& item) {
      entries.push_back(item.entry.GetData());
      ids.push_back(item.idConnection);
      EXPECT_NE(item.type.GetData(), nullptr);  // never-given texts are empty, not absent
    });
    EXPECT_EQ(entries, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(ids, c.ids) << c.merge_id;
  }
}

// A buffer set to the log's level holds nothing the log would skip.
TEST(CLogSimpleTest, ThresholdDropsRecordsAboveIt) {
  CLogSimple buffer;
  buffer.SetThreshold(kLogConnection);
  for (int level : {kLogError, kLogConnection, kLogDebug}) buffer.LogS(level, "x", "f", "r", log_type::kSys, 1);
  EXPECT_EQ(buffer.GetCount(), 2);
  EXPECT_FALSE(buffer.Keeps(kLogDebug));
}

TEST(CLogSimpleTest, LogFormatIsALevelFourRecordCutAt4095) {
  CLogSimple buffer;
  buffer.LogFormat("line %d: %s", 7, "bad token");
  buffer.LogFormat("%s", std::string(5000, 'z').c_str());
  std::vector<CLogSimple::LogSimple_item> items;
  buffer.Drain([&](const CLogSimple::LogSimple_item& item) { items.push_back(item); });
  ASSERT_EQ(items.size(), 2u);
  EXPECT_STREQ(items[0].entry.GetData(), "line 7: bad token");
  EXPECT_EQ(items[0].level, 4);
  EXPECT_STREQ(items[0].type.GetData(), "");
  EXPECT_EQ(items[1].entry.size(), 4095);
}

TEST(RoteteLogXMLTest, PeriodBoundariesCountFromUtcEpoch) {
  struct Case {
    int type;
    int value;
    time_t start;
    time_t not_yet;  // still in the start's period
    time_t due;      // first instant of the next period
  } cases[] = {
      {1, 1, 1709629451, 1709632799, 1709632800},                // next hour 10:00:00
      {2, 0, 1709629451, 1709683199, 1709683200},                // midnight UTC; value 0 counts as 1
      {1, 6, 1709629451, 1709640000 - 1, 1709640000},            // 6-hour blocks: 12:00 UTC
      {3, 1, 1709629451, 1709769599, 1709769600},                // Thursday 00:00 UTC
      {4, 1, 1709629451, 1711497599, 1711497600},                // 31-day blocks from 1970
  };
  for (const Case& c : cases) {
    g_now = c.start;
    RoteteLogXML rotation(&FixedNow);
    rotation.SetPer(c.type, c.value);
    EXPECT_FALSE(rotation.IsRotateLog(nullptr)) << c.type;
    g_now = c.not_yet;
    EXPECT_FALSE(rotation.IsRotateLog(nullptr)) << c.type << "/" << c.value;
    g_now = c.due;
    EXPECT_TRUE(rotation.IsRotateLog(nullptr)) << c.type << "/" << c.value;
    EXPECT_FALSE(rotation.IsRotateLog(nullptr)) << "only once per boundary";
  }
}

TEST(RoteteLogXMLTest, SizeRotationAndUnknownTypes) {
  ScratchDir dir;
  const std::string small = dir.Put("small.xml", std::string(1048575, 'x'));
  const std::string full = dir.Put("full.xml", std::string(1048576, 'x'));
  LogXML below(small.c_str(), "t", &FixedNow);
  LogXML at(full.c_str(), "t", &FixedNow);
  RoteteLogXML rotation(&FixedNow);
  rotation.SetPer(5, 1);
  EXPECT_FALSE(rotation.IsRotateLog(&below));
  EXPECT_TRUE(rotation.IsRotateLog(&at));
  EXPECT_FALSE(rotation.IsRotateLog(nullptr));
  rotation.SetPer(5, 2);
  EXPECT_FALSE(rotation.IsRotateLog(&at));

  g_now = 1709629451;
  RoteteLogXML unknown(&FixedNow);
  unknown.SetPer(9, 1);
  g_now += 40 * 86400;
  EXPECT_FALSE(unknown.IsRotateLog(&at));
}

TEST_F(LogXmlTest, ArchiveNameUsesLocalDateAndTime) {
  String name;
  RoteteLogXML::MakeArchiveName(&name, 1709596801);  // 2024-03-05 00:00:01 UTC
  EXPECT_STREQ(name.GetData(), "logs/log_2024-03-05_00-00-01.xml");
}

}  // namespace
