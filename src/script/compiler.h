// compiler - the single-pass compiler from preprocessed script text to the
// bytecode of opcodes.def. Statements are classified by their first token
// and emitted at once; nested blocks, conditions and argument lists are cut
// out of the text and compiled by recursive calls, bounded by kMaxNesting.
// Every error raises ScriptError; the interpreter's load catches it.
#ifndef TORVANE_SCRIPT_COMPILER_H_
#define TORVANE_SCRIPT_COMPILER_H_

#include <string>
#include <string_view>
#include <vector>

#include "script/interpreter.h"
#include "script/program.h"

class Compiler {
 public:
  // `source` is the whole text being compiled; it must outlive the compiler
  // (positions in it give the current-line text of error reports).
  Compiler(Interpreter* interpreter, std::string_view source);

  // Compiles `source` into the global namespace and appends the program end.
  void CompileProgram();
  // Compiles one expression so its value ends on the value stack.
  void Expression(std::string_view text, NameSpace* ns);

 private:
  // Nesting of blocks, bodies and expressions compiled recursively; deeper
  // source is refused so that hostile text cannot exhaust the native stack.
  static constexpr int kMaxNesting = 128;

  // Counts one level of recursive compilation for its lifetime.
  class DepthGuard {
   public:
    explicit DepthGuard(int* depth);
    ~DepthGuard() { --*depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;

   private:
    int* depth_;
  };
  enum class Kind { kVariable, kArray, kFunction, kObject };

  void Parse(std::string_view text, NameSpace* ns);
  void Statement(std::string_view text, size_t* pos, NameSpace* ns);
  bool Keyword(const std::string& token, std::string_view text, size_t* pos, NameSpace* ns);
  void Declaration(int type, const std::string& type_name, std::string_view text, size_t* pos,
                   NameSpace* ns);
  void DeclareVariables(int type, std::string_view list, NameSpace* ns);
  void DeclareArray(int type, const std::string& name, std::string_view item, size_t* pos,
                    NameSpace* ns);
  void DeclareObjects(int cls, std::string_view list, NameSpace* ns);
  void Function(const std::string& return_type, const std::string& name, std::string_view text,
                size_t* pos, NameSpace* ns);
  void Parameter(std::string_view param, int function_ref, NameSpace* scope);
  void VariableAssignment(int ref, std::string_view text, size_t* pos, NameSpace* ns);
  void ArrayAssignment(int ref, std::string_view text, size_t* pos, NameSpace* ns);
  void ObjectStatement(int ref, std::string_view text, size_t* pos, NameSpace* ns);
  // `in_declaration` picks the message style of a bad constructor class.
  void ObjectAssignment(int ref, std::string_view rhs, NameSpace* ns, bool in_declaration);
  void CallStatement(const std::string& name, std::string_view text, size_t* pos, NameSpace* ns);
  void If(std::string_view text, size_t* pos, NameSpace* ns);
  void For(std::string_view text, size_t* pos, NameSpace* ns);
  void While(std::string_view text, size_t* pos, NameSpace* ns);
  void DoWhile(std::string_view text, size_t* pos, NameSpace* ns);
  void BreakOrContinue(bool is_break, std::string_view text, size_t* pos, NameSpace* ns);
  void Return(std::string_view text, size_t* pos, NameSpace* ns);
  void LoopBody(std::string_view body, NameSpace* loop);
  void PatchLoop(NameSpace* loop, int end, int continue_target);

  // The steps of Expression (expression.cc), each reading one token or
  // operand at the scan's position.
  struct ExpressionScan;
  void LiteralOperand(ExpressionScan& scan);  // number, "string" or 'c'
  void NameOperand(ExpressionScan& scan);     // variable, array, call, object
  void ArrayOperand(ExpressionScan& scan, int ref);
  void ObjectOperand(ExpressionScan& scan, int ref);
  void Parenthesis(ExpressionScan& scan);
  void OperatorToken(ExpressionScan& scan);   // unary or binary
  void PopOperator(ExpressionScan& scan);     // emits the top pending operator

  // Calls: arguments (defaults filled in, last compiled first), then the call.
  void Args(int count, std::string_view args, const char* defaults, NameSpace* ns);
  void CallFunction(int ref, std::string_view args, NameSpace* ns);
  void CallExtern(int index, std::string_view args, NameSpace* ns);
  void CallMethod(int object_ref, const std::string& method, std::string_view args, NameSpace* ns);
  // `new Class(args)` at *pos for object `ref`.
  void Construct(int ref, std::string_view text, size_t* pos, NameSpace* ns, bool in_declaration);

  // Name resolution through the scopes; -1 when not found.
  int Lookup(NameSpace* ns, const std::string& name, Kind kind) const;
  // The statement's terminator: ';' or the end of the text.
  void EndStatement(std::string_view text, size_t* pos);
  void SetCurrentLine(const char* at);
  int Emit(int op);
  int Emit(int op, int operand);
  int Emit(int op, int first, int second);
  void Patch(int operand_position, int target);
  int Here() const { return static_cast<int>(program_.code.size()); }
  int ConstantRef(NameSpace* ns, const Variable& value) { return ns->AddConstant(value); }
  ExternClassBase& ClassOf(int object_ref);

  Interpreter* interpreter_;  // not owned
  Program& program_;
  std::string_view source_;
  int depth_ = 0;
};

// 0..4 for "void", "int", "float", "string", "pointer"; -1 otherwise.
int BuiltinType(const std::string& name);

#endif  // TORVANE_SCRIPT_COMPILER_H_
