// builtins - registration of the built-in script functions (int, float,
// string, MORE, sin ... rcp, rand, pow) on a new interpreter.
#ifndef TORVANE_SCRIPT_BUILTINS_H_
#define TORVANE_SCRIPT_BUILTINS_H_

class Interpreter;

void RegisterBuiltins(Interpreter* in);

#endif  // TORVANE_SCRIPT_BUILTINS_H_
