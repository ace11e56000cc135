// Native bindings: extern functions, variables and classes, ownership, registration.
#include <gtest/gtest.h>

#include "script_harness.h"

namespace script_test {
namespace {

int Sum3(int a, int b, int c) { return a * 100 + b * 10 + c; }
float Halve(float x) { return x / 2; }
const char* Echo(const char* text) { return text ? text : "(null)"; }
void Nothing() {}

// Sums its one declared count argument's worth of extra values itself.
Interpreter* g_interpreter = nullptr;
int SumRest(int count) {
  int total = 0;
  for (int i = 0; i < count; ++i) total += g_interpreter->PopValue().toInt();
  return total;
}

class Counter {
 public:
  explicit Counter(int start) : value_(start) { ++live; }
  ~Counter() { --live; }
  int Add(int n) { return value_ += n; }
  int Get() const { return value_; }
  Counter* Self() { return this; }
  int Merge(Counter* other) { return other ? value_ + other->value_ : -1; }
  static int live;

 private:
  int value_;
};
int Counter::live = 0;

class Other {
 public:
  int Ping() { return 1; }
};

// An interpreter with the test bindings registered.
class BindingHarness : public Harness {
 public:
  BindingHarness() {
    g_interpreter = &interpreter;
    addFunction(&interpreter, "Sum3", &Sum3, ",,0");
    addFunction(&interpreter, "Sum3d", &Sum3, "1,2,3");
    addFunction(&interpreter, "Halve", &Halve);
    addFunction(&interpreter, "Echo", &Echo);
    addFunction(&interpreter, "Nothing", &Nothing);
    addFunction(&interpreter, "SumRest", &SumRest, ",...");
    auto* counter = new ExternClass<Counter, int>("0");
    counter->addMethod("Add", &Counter::Add, "1");
    counter->addMethod("Get", &Counter::Get);
    counter->addMethod("Self", &Counter::Self);
    counter->addMethod("Merge", &Counter::Merge);
    interpreter.addExternClass("Counter", counter);
    auto* other = new ExternClass<Other>();
    other->addMethod("Ping", &Other::Ping);
    interpreter.addExternClass("Other", other);
    interpreter.addExternVariable("$limit", new ExternVariable<int>(&limit));
    interpreter.addExternVariable("$host", new ExternVariable<const char*>(&host));
  }
  int limit = 25;
  const char* host = "mx";
};

TEST(BindingTest, FunctionsConversionsAndDefaults) {
  const struct {
    const char* expression;
    const char* expected;
  } kCases[] = {
      {"Sum3(1, 2)", "int: 120\n"},
      {"Sum3d(9)", "int: 923\n"},
      {"Sum3(1.9, 2, 3)", "int: 123\n"},
      {"Halve(5)", "float: 2.5\n"},
      {"Echo(\"hi\")", "string: \"hi\"\n"},
      {"Echo(0)", "string: \"(null)\"\n"},
      {"Nothing()", "int: 0\n"},
      {"SumRest(3, 10, 20, 30)", "int: 60\n"},
      {"$limit + 1", "int: 26\n"},
      {"$host", "string: \"mx\"\n"},
      {"Echo(5)", "can't convert to const char*"},
      {"Sum3(1)", "can't read 1 default argument"},
      {"Sum3(1, 2, 3, 4)", "it isn't a function with the variable number of arguments"},
  };
  for (const auto& c : kCases) {
    BindingHarness h;
    int result = h.LoadAndRun(std::string("int main() { Capture(") + c.expression + "); return 7; }");
    std::string got = result == 7 ? Harness::CapturedText() : h.log;
    EXPECT_TRUE(Contains(got, c.expected)) << c.expression << " -> " << got;
  }
}

TEST(BindingTest, PointerWithoutTypeInfoIsRefused) {
  Counter counter(1);
  Variable untyped;
  untyped.setPointer(&counter);
  try {
    ScriptArg<Counter*>::From(untyped);
    ADD_FAILURE();
  } catch (const ScriptError& e) {
    EXPECT_EQ(e.message(), "VariableToType: unknown type of pointer\n");
  }
  EXPECT_EQ(ScriptArg<Counter*>::From(Variable(0)), nullptr);
}

TEST(BindingTest, VariableArgumentsTakenBeyondTheStack) {
  BindingHarness h;
  ASSERT_EQ(h.Load("int main() { return SumRest(5, 1); }"), 1) << h.log;
  EXPECT_EQ(h.Run(), 0);
  EXPECT_TRUE(Contains(h.log, "stack underflow"));
  EXPECT_EQ(h.interpreter.StackDepth(), 0);
}

TEST(BindingTest, TooManyDefaultTexts) {
  BindingHarness h;
  addFunction(&h.interpreter, "Two", &Sum3, ",,1,2");
  EXPECT_EQ(h.Load("int x = Two(1, 2);"), 0);
  EXPECT_TRUE(Contains(h.log, "too many default arguments")) << h.log;
}

TEST(BindingTest, ExternVariablesAreReadOnlyAndLive) {
  BindingHarness h;
  EXPECT_EQ(h.Load("$limit = 3;"), 0);
  EXPECT_TRUE(Contains(h.log, "extern variables is readonly"));
  BindingHarness g;
  ASSERT_EQ(g.Load("int main() { return $limit; }"), 1);
  EXPECT_EQ(g.Run(), 25);
  g.limit = 40;
  EXPECT_EQ(g.Run(), 40);
  int replacement = 7;
  g.interpreter.ModificaSpecialVar("$limit", new ExternVariable<int>(&replacement));
  EXPECT_EQ(g.Run(), 7);
  g.interpreter.ModificaSpecialVar("$none", new ExternVariable<int>(&replacement));
  EXPECT_TRUE(Contains(g.interpreter.BuildAllLog(), "\"$none\" variable does not exist"));
}

TEST(BindingTest, ObjectsSlotsAndDelete) {
  Counter::live = 0;
  {
    BindingHarness h;
    ASSERT_EQ(h.LoadAndRun("Counter a = new Counter(5), b, c = new Counter();"
                           "int main() { a.Add(2); a->Add(); b = a; Capture(b.Get());"
                           " Capture(c.Get()); Capture(a.Merge(c)); Capture(a.Merge(0));"
                           " Counter d = a.Self(); Capture(d.Get()); return 1; }"),
              1)
        << h.log;
    EXPECT_EQ(CapturedInts(), (std::vector<int>{8, 0, 8, -1, 8}));
    EXPECT_EQ(Counter::live, 2);
  }
  EXPECT_EQ(Counter::live, 0);  // the binding deletes what scripts created
}

TEST(BindingTest, DeleteNullsEveryAlias) {
  Counter::live = 0;
  BindingHarness h;
  ASSERT_EQ(h.Load("Counter a = new Counter(1), b;"
                   "int main() { b = a; delete a; return b.Get(); }"
                   "int again() { delete b; return 0; }"
                   "int alias() { b = new Counter(3); a = b; delete a; return 0; }"),
            1)
      << h.log;
  EXPECT_EQ(h.Run(), 0);
  EXPECT_TRUE(Contains(h.log, "object is NULL")) << h.log;
  EXPECT_EQ(Counter::live, 0);
  EXPECT_EQ(h.Run("again"), 0);
  EXPECT_EQ(h.Run("alias"), 0);  // a was assigned, yet it is the object b created
  EXPECT_EQ(Counter::live, 0);
}

TEST(BindingTest, ResetDeletesTheObjectsOfTheOldStateOnly) {
  Counter::live = 0;
  Counter host(7);
  BindingHarness h;
  h.interpreter.addExternClassObject("Counter", "hostCounter", &host);
  ASSERT_EQ(h.Load("Counter a = new Counter(1), kept;"
                   "int main() { kept = hostCounter; return a.Add(1) + kept.Get(); }"),
            1)
      << h.log;
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(h.Run(), 9) << "round " << round << ": " << h.log;
    h.interpreter.Reset();
    EXPECT_EQ(Counter::live, 2) << "round " << round;  // the fresh `a` and the host's
  }
  EXPECT_EQ(host.Get(), 7);
}

TEST(BindingTest, DeleteOfAnAssignedHostObjectFails) {
  Counter host(4);
  BindingHarness h;
  h.interpreter.addExternClassObject("Counter", "hostCounter", &host);
  ASSERT_EQ(h.Load("Counter c; int main() { c = hostCounter; Capture(c.Get()); delete c; return 1; }"), 1) << h.log;
  EXPECT_EQ(h.Run(), 0);
  EXPECT_TRUE(Contains(h.log, "object is not constructed"));
  EXPECT_EQ(Harness::CapturedText(), "int: 4\n");
}

TEST(BindingTest, ObjectErrors) {
  const struct {
    const char* source;
    const char* message;
  } kCases[] = {
      {"Counter a; int x = a.Get();", "object is NULL"},
      {"Counter a; int x = a.Nope();", "function \"Nope\" is not the function of class \"Counter\""},
      {"Counter a = new Other();", "bad \"Other\" class constructor"},
      {"Counter a b;", "unknown token 'b' after \"a\""},
      {"int x; delete x;", "bad delete argument"},
      {"Counter a; a + 1;", "unknown operation '+'"},
      {"Counter a; a = 5;", "can't convert"},
      {"Counter a = new Counter(1); Other o; o = a;", "VariableToType: pointer of another type\n"},
      {"Counter a = new Counter(1); int x = a.Add(1, 2);", "it isn't a function"},
  };
  for (const auto& c : kCases) {
    BindingHarness h;
    EXPECT_EQ(h.Load(c.source), 0) << c.source;
    EXPECT_TRUE(Contains(h.log, c.message)) << c.source << " -> " << h.log;
  }
}

TEST(BindingTest, ObjectsAsFunctionParametersAndHostArguments) {
  Counter host(10);
  BindingHarness h;
  ASSERT_EQ(h.Load("int Bump(Counter c, int n) { c.Add(n); return c.Get(); }"), 1) << h.log;
  int n = 5;
  EXPECT_EQ(h.interpreter.run("Bump", "Counter,int", &host, &n), 15);
  EXPECT_EQ(host.Get(), 15);
  EXPECT_EQ(h.interpreter.run("Bump", "Counter,int", nullptr, &n), 0);  // void is no Counter
  EXPECT_STRNE(h.interpreter.BuildAllLog(), "");
}

TEST(BindingTest, RegistrationMessages) {
  BindingHarness h;
  addFunction(&h.interpreter, "Halve", &Sum3);
  h.interpreter.addExternVariable("$limit", new ExternVariable<int>(&h.limit));
  h.interpreter.addExternClass("Other", new ExternClass<Other>());
  h.interpreter.addExternClassObject("Nope", "x", nullptr);
  h.interpreter.addExternClassObject("Other", "o1", nullptr);
  h.interpreter.addExternClassObject("Other", "o1", nullptr);
  h.interpreter.setExternClassObject("Nope", "o1", nullptr);
  h.interpreter.setExternClassObject("Other", "zz", nullptr);
  h.interpreter.setExternClassObject("Counter", "o1", nullptr);
  std::string log = h.interpreter.BuildAllLog();
  const char* kMessages[] = {
      "\"Halve\" function already defined",
      "\"$limit\" variable already defined",
      "\"Other\" class already defined",
      "unknown type \"Nope\"",
      "name \"o1\" already defined",
      "can't find \"zz\" in global namespace",
      "class \"o1\" has an another type \"Other\"",
  };
  for (const char* message : kMessages) EXPECT_TRUE(Contains(log, message)) << message << "\n" << log;
  // The first Halve binding stays.
  ASSERT_EQ(h.LoadAndRun("int main() { Capture(Halve(3)); return 1; }"), 1) << h.log;
  EXPECT_EQ(Harness::CapturedText(), "float: 1.5\n");
}

TEST(BindingTest, HostObjectsAreDeclaredBeforeLoading) {
  Counter first(1), second(2);
  BindingHarness h;
  h.interpreter.addExternClassObject("Counter", "cnt", &first);
  ASSERT_EQ(h.Load("int main() { return cnt.Get(); }"), 1) << h.log;
  EXPECT_EQ(h.Run(), 1);
  h.interpreter.setExternClassObject("Counter", "cnt", &second);
  EXPECT_EQ(h.Run(), 2);
  h.interpreter.setExternClassObject("Counter", "main", &second);
  EXPECT_TRUE(Contains(h.interpreter.BuildAllLog(), "\"main\" is not extern class object"));
}

TEST(BindingTest, PrintExterns) {
  BindingHarness h;
  std::string text = h.interpreter.ExternsText();
  const char* kLines[] = {
      "int $limit;\n", "const char* $host;\n", "\tint Sum3(int,int,int);\n", "\tfloat Halve(float);\n",
      "\tvoid Nothing();\n", "Counter {\n\tCounter(int);\n\tint Add(int);\n", "\tint Get();\n", "};\n",
      "\tfloat sqrt(Variable);\n",
  };
  for (const char* line : kLines) EXPECT_TRUE(Contains(text, line)) << line << "\n" << text;
}

}  // namespace
}  // namespace script_test
