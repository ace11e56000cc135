// library_classes - the script library: registers every native class scripts may
// create ("HashArray", "CDB_Ram", "CS_Buffer", "CS_Socket", ...) and the
// free function GetTorvaneVersion() on an interpreter. Each script kind's
// host calls SetClassScript once, after its own bindings and before
// compiling the script.
#ifndef TORVANE_SCRIPTLIB_LIBRARY_CLASSES_H_
#define TORVANE_SCRIPTLIB_LIBRARY_CLASSES_H_

#include "script/interpreter.h"

// Registers every library class, in the order of kLibraryClasses
// (library_classes.cc), and GetTorvaneVersion() on `interpreter`.
// REQUIRES: called once per interpreter, before load/loadbyram. The
// interpreter owns the bindings; objects scripts create die with it.
void SetClassScript(Interpreter* interpreter);

#endif  // TORVANE_SCRIPTLIB_LIBRARY_CLASSES_H_
