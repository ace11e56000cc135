// if/else chains, for, while, do-while, break, continue and return.
#include <gtest/gtest.h>

#include "script_harness.h"

namespace script_test {
namespace {

TEST(ControlFlowTest, Table) {
  const struct {
    const char* body;  // body of int main()
    int expected;
  } kCases[] = {
      {"if (1) return 1; return 2;", 1},
      {"if (0) return 1; return 2;", 2},
      {"if (0) return 1; else return 3;", 3},
      {"int x = 2; if (x == 1) return 1; else if (x == 2) return 20; else return 30;", 20},
      {"int s = 0; int i; for (i = 0; i < 10; i++) s += i; return s;", 45},
      {"int s = 0; for (int i = 0; i < 10; i++) { if (i == 5) break; s += i; } return s;", 10},
      {"int s = 0; for (int i = 0; i < 10; i++) { if (i % 2) continue; s += i; } return s;", 20},
      {"int n = 0; for (;;) { n++; if (n == 4) break; } return n;", 4},
      {"int n = 0; while (n < 100) n += 7; return n;", 105},
      {"int n = 0, s = 0; while (n < 10) { n++; if (n > 5) continue; s += n; } return s;", 15},
      {"int n = 0; do n++; while (n < 5); return n;", 5},
      {"int n = 0, s = 0; do { n++; if (n == 2) continue; if (n == 4) break; s += n; } while (n < 10); return s;", 4},
      {"int s = 0; for (int i = 0; i < 3; i++) for (int j = 0; j < 3; j++) { if (j == 1) break; s++; } return s;", 3},
      {"return;", 0},
  };
  for (const auto& c : kCases) {
    Harness h;
    EXPECT_EQ(h.LoadAndRun(std::string("int main() { ") + c.body + " }"), c.expected) << c.body << "\n" << h.log;
  }
}

TEST(ControlFlowTest, ExitStopsEveryLevel) {
  struct Host {
    static Interpreter*& Current() {
      static Interpreter* in = nullptr;
      return in;
    }
    static int Stop() {
      Current()->exit();
      return 0;
    }
  };
  Harness h;
  Host::Current() = &h.interpreter;
  addFunction(&h.interpreter, "Stop", &Host::Stop);
  ASSERT_EQ(h.Load("int n = 0; int inner() { Stop(); n = 100; return 1; }"
                   "int main() { while (1) { n++; inner(); } return 5; }"),
            1)
      << h.log;
  EXPECT_EQ(h.Run(), 0);
  EXPECT_EQ(h.log, "");  // not an error
  EXPECT_EQ(h.interpreter.StackDepth(), 0);
  EXPECT_EQ(h.interpreter.run("main"), 0);
}

TEST(ControlFlowTest, ThreadHookIsCalledDuringLongLoops) {
  struct Counter {
    static void Tick(void* p) { ++*static_cast<int*>(p); }
  };
  int ticks = 0;
  Harness h;
  h.interpreter.setThreadFunction(&Counter::Tick);
  h.interpreter.setThreadFunctionPramn(&ticks);
  ASSERT_EQ(h.LoadAndRun("int main() { int s = 0; for (int i = 0; i < 1000; i++) { s = s + i; } return 1; }"), 1);
  EXPECT_GE(ticks, 1000);  // at least once per iteration (each backward jump)
}

TEST(ControlFlowTest, StepLimitEndsEndlessLoops) {
  Harness h;
  h.interpreter.SetStepLimit(10000);
  ASSERT_EQ(h.Load("int main() { while (1) ; return 1; }"), 1) << h.log;
  EXPECT_EQ(h.Run(), 0);
  EXPECT_TRUE(Contains(h.log, "step limit reached"));
}

}  // namespace
}  // namespace script_test
