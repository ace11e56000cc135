// optimizer - one rewrite of freshly compiled code: folds constant unary and
// binary operations and pure built-in calls into single constant pushes,
// fuses a comparison and the conditional jump after it into one compare-and-
// jump, then squeezes the no-ops out of every function body. Raises
// ScriptError (the load then fails) when a folded operation fails.
#ifndef TORVANE_SCRIPT_OPTIMIZER_H_
#define TORVANE_SCRIPT_OPTIMIZER_H_

#include <vector>

class Interpreter;
struct Program;

class Optimizer {
 public:
  // The interpreter's value stack is used to run folded built-in calls.
  explicit Optimizer(Interpreter* interpreter);
  void Run();

 private:
  bool FoldUnary(int ip, int op);
  bool FoldBinary(int ip, int op);
  bool FoldCall(int ip);
  void FuseBranch(int previous, int ip, int op);
  // Removes cs_nop from [start, end), moving code down and retargeting jumps
  // inside the range; the freed words at the end become cs_nop.
  void Compact(int start, int end);

  Interpreter* interpreter_;  // not owned
  Program& program_;
  std::vector<int> foldable_;  // positions of constant pushes still foldable
};

#endif  // TORVANE_SCRIPT_OPTIMIZER_H_
