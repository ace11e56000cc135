// Tests of CSimpleXMLParse over memory sources and over a real XML log.
#include "engines/xml_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "base/xml_log.h"
#include "common/scratch_dir.h"

namespace {

constexpr char kDecl[] = "<?xml version=\"1.0\"?>\n";

std::string Items(int count) {
  std::string text = std::string(kDecl) + "<list>\n";
  for (int i = 0; i < count; ++i) text += "<it><n>" + std::to_string(i) + "</n><v>x</v></it>\n";
  return text + "</list>\n";
}

bool LoadText(CSimpleXMLParse* parser, const std::string& text, const char* tag = nullptr,
              const char* pattern = nullptr) {
  XmlMemorySource source(text);
  return parser->Load(&source, tag, pattern);
}

TEST(CSimpleXMLParse, ReadsTheDaemonsOwnLog) {
  ScratchDir dir;
  {
    LogXML log(dir.File("log.xml").c_str(), "Torvane AntiSpam");
    log.SetLogLevel(kLogDebug);
    log.Log(kLogError, "first <entry>", "serveradmin", "Run", log_type::kSys, 7);
    log.Log(kLogError, "second", "cron", "", log_type::kDebug, 0);
  }
  CSimpleXMLParse parser;
  ASSERT_TRUE(parser.LoadFile(dir.File("log.xml").c_str(), nullptr, nullptr));
  EXPECT_EQ(parser.root_name(), "LogFile");
  EXPECT_EQ(parser.item_name(), "LogItem");
  // The logger adds notices of its own around ours.
  const int count = parser.GetCountChild();
  CSimpleXMLItmesChild* first = nullptr;
  int second_at = -1;
  for (int i = 0; i < count; ++i) {
    const std::string entry = parser.GetChild(i)->GetValue("Entry");
    if (entry == "first &lt;entry&gt;") first = parser.GetChild(i);  // entities kept as they are
    if (entry == "second") second_at = i;
  }
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(first->GetValue("Filename"), "serveradmin");
  EXPECT_STREQ(first->GetValue("Function"), "Run");
  EXPECT_STREQ(first->GetValue("IdConnection"), "7");
  for (const char* tag : {"Date", "Time", "Type"}) EXPECT_STRNE(first->GetValue(tag), "") << tag;
  EXPECT_STREQ(first->GetValue("AppName"), "");  // a header element, not an item's
  EXPECT_GT(second_at, 0);
  EXPECT_EQ(parser.GetChild(count), nullptr);
  EXPECT_EQ(parser.GetChild(-4), parser.GetChild(0));
}

TEST(CSimpleXMLParse, ShapesOfFiles) {
  const struct {
    const char* name;
    std::string text;
    bool ok;
    int items;
    const char* first_a;  // value of "a" in the first item
  } kCases[] = {
      {"short declaration", "<?xml version=\"1.0\"?><r><i><a>1</a></i></r>", true, 1, "1"},
      {"declaration with encoding", "<?XML VERSION=\"1.0\" encoding=\"x\" ?><r><i><a>1</a></i></r>", true, 1, "1"},
      {"no declaration", std::string(60, ' ') + "<r><i><a>1</a></i></r>", false, 0, ""},
      {"empty file", "", false, 0, ""},
      {"last child before closing tag", std::string(kDecl) + "<r><i><a>1</a><b>2</b></i></r>", true, 1, "1"},
      {"doubled tag keeps the last", std::string(kDecl) + "<r><i><a>1</a><a>2</a></i></r>", true, 1, "2"},
      {"header elements skipped", std::string(kDecl) + "<r><title>t</title><i><a>3</a></i></r>", true, 1, "3"},
      {"attributed root and item ignored",
       std::string(kDecl) + "<r x=\"1\"><root><i y=\"2\"><a>0</a></i><i><a>4</a></i></root>", true, 1, "4"},
      {"missing closing tag", std::string(kDecl) + "<r><i><a>1</a></i><i><a>2</a></r>", true, 1, "1"},
      {"child without closing ends the item", std::string(kDecl) + "<r><i><a>5</a><b>6</i></r>", true, 1, "5"},
      {"markup removed from values", std::string(kDecl) + "<r><i><a>x<y>z</a></i></r>", true, 1, "xyz"},
  };
  for (const auto& c : kCases) {
    CSimpleXMLParse parser;
    EXPECT_EQ(LoadText(&parser, c.text), c.ok) << c.name;
    ASSERT_EQ(parser.GetCountChild(), c.items) << c.name;
    if (c.items > 0) {
      EXPECT_STREQ(parser.GetChild(0)->GetValue("a"), c.first_a) << c.name;
      EXPECT_STREQ(parser.GetChild(0)->GetValue("zz"), "") << c.name;
    }
  }
}

TEST(CSimpleXMLParse, LimitsFiltersAndSeek) {
  const struct {
    const char* name;
    int max_child;
    int part_seek;
    const char* tag;
    const char* pattern;
    int items;
    const char* first_n;
  } kCases[] = {
      {"all", -1, -1, nullptr, nullptr, 100, "0"},
      {"maxChild", 10, -1, nullptr, nullptr, 10, "0"},
      {"filter", -1, -1, "n", "^9\\d$", 10, "90"},
      {"filter on an unknown tag", -1, -1, "zz", ".", 0, ""},
      // Seeks land inside an item: its tail is skipped, later items are whole.
      {"partSeek 5", -1, 5, nullptr, nullptr, 50, "50"},
      {"partSeek 9", -1, 9, nullptr, nullptr, 10, "90"},
      {"partSeek out of range", -1, 10, nullptr, nullptr, 100, "0"},
  };
  const std::string text = Items(100);
  for (const auto& c : kCases) {
    CSimpleXMLParse parser;
    parser.SetMaxChild(c.max_child);
    parser.SetPartSeek(c.part_seek);
    EXPECT_TRUE(LoadText(&parser, text, c.tag, c.pattern)) << c.name;
    const int count = parser.GetCountChild();
    if (c.part_seek >= 1 && c.part_seek <= 9) {
      EXPECT_NEAR(count, c.items, 2) << c.name;  // the cut item may fall either side
      ASSERT_GT(count, 0) << c.name;
      const int first = atoi(parser.GetChild(0)->GetValue("n"));
      EXPECT_EQ(first + count, 100) << c.name;
      EXPECT_STREQ(parser.GetChild(0)->GetValue("v"), "x") << c.name;
      continue;
    }
    ASSERT_EQ(count, c.items) << c.name;
    if (count > 0) {
      EXPECT_STREQ(parser.GetChild(0)->GetValue("n"), c.first_n) << c.name;
    }
  }
}

TEST(CSimpleXMLParse, PendingTextIsBounded) {
  // An item that never closes: reading stops at the pending bound.
  std::string text = std::string(kDecl) + "<r><i><a>1</a></i><i><a>";
  text.append(3 * CSimpleXMLParse::kMaxPendingBytes, 'x');
  CSimpleXMLParse parser;
  EXPECT_TRUE(LoadText(&parser, text));
  EXPECT_EQ(parser.GetCountChild(), 1);
}

}  // namespace
