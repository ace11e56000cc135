// lib_files - the script classes over files: "CS_FileSystem" (path
// operations, copying, the one shell escape Exec), "CS_File" (CKFile) and
// "CS_MemoryFile" (CMemoryFile). Paths are taken as given - scripts are the
// administrator's code - but no function passes one to a shell.
#ifndef TORVANE_SCRIPTLIB_LIB_FILES_H_
#define TORVANE_SCRIPTLIB_LIB_FILES_H_

#include "base/memory_file.h"
#include "script/interpreter.h"

class CS_Array;

// Stateless. Every function returns 0 (or "") for a null or empty argument.
class CS_FileSystem {
 public:
  // Bytes CopyFile moves per read.
  static constexpr int kCopyBlockBytes = 2048;

  // 1 when the file was deleted.
  int UnLink(const char* path);
  // 1 when the path exists (any kind).
  int FileExists(const char* path);
  // 1 when stat succeeds on the path.
  int DirExists(const char* path);
  // 1 after copying `from` over `to` (created or truncated); 0 when a name
  // is missing, the source cannot be read, the destination exists and
  // `overwrite` is 0, or the destination cannot be created.
  int CopyFile(const char* from, const char* to, int overwrite);
  // Empties `array` and adds each entry name of the directory as key and
  // value ("." and ".." included, as readdir gives them). 1 on success, 0
  // when the directory cannot be opened or `array` is null.
  int ReadDir(const char* path, CS_Array* array);
  // The size in bytes, 0 when absent.
  int FileSize(const char* path);
  // The C system() result of running `command` through the shell; -1 for a
  // missing command.
  int Exec(const char* command);
  // The application directory.
  Variable AppPath();
};

// CMemoryFile as scripts create it: the growth step is kept within
// 1..kMaxScriptGrowBy so a script's odd argument cannot ask for gigabytes.
class CS_MemoryFile : public CMemoryFile {
 public:
  // Largest growth step a script may set: 16 MiB.
  static constexpr int kMaxScriptGrowBy = 16 << 20;
  explicit CS_MemoryFile(int grow_by);
};

// Registers "CS_FileSystem", "CS_File" and "CS_MemoryFile".
void RegisterFileClasses(Interpreter* interpreter);

#endif  // TORVANE_SCRIPTLIB_LIB_FILES_H_
