// lib_files - CS_FileSystem and the script methods of CS_File and
// CS_MemoryFile.
#include "scriptlib/lib_files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "base/file.h"
#include "base/string.h"
#include "base/utility.h"
#include "scriptlib/lib_binding.h"
#include "scriptlib/lib_hash_array.h"

namespace {

bool Missing(const char* text) { return text == nullptr || *text == '\0'; }

// Reads into `buffer` as the file classes' Read does: empties it and fills
// at most its capacity; -1 when it has no room. `read` is (bytes, room) ->
// count.
template <typename ReadFn>
int ReadIntoBuffer(String* buffer, ReadFn read) {
  if (buffer == nullptr || buffer->GetCapacity() < 1) return -1;
  buffer->clear();
  const int count = static_cast<int>(read(buffer->GetBuffer(0), buffer->GetCapacity()));
  buffer->SetLenAftherSetBuffer(count);
  return count;
}

// {=========== CS_File (CKFile)

int FileOpen(CKFile* file, const char* path, int flags) {
  return file->Open(path, static_cast<uint32_t>(flags)) ? 1 : 0;
}
// Writes the first `length` bytes of `data`; nothing for an impossible length.
void FileWrite(CKFile* file, Variable data, int length) {
  std::string_view bytes;
  if (ScriptBytesPrefix(data, length, &bytes)) file->Write(bytes.data(), bytes.size());
}
int FileRead(CKFile* file, String* buffer) {
  return ReadIntoBuffer(buffer, [file](char* room, int n) { return file->Read(room, static_cast<size_t>(n)); });
}
int FileSeek(CKFile* file, int offset, int whence) { return static_cast<int>(file->Seek(offset, whence)); }
void FileFlush(CKFile* file) { file->Flush(); }
void FileClose(CKFile* file) { file->Close(); }

void RegisterFile(Interpreter* interpreter) {
  auto* c = new ExternClass<CKFile>();
  AddAdapterMethod(c, "Open", &FileOpen);
  AddAdapterMethod(c, "WriteB", &FileWrite);
  AddAdapterMethod(c, "Write", &FileWrite);
  AddAdapterMethod(c, "Read", &FileRead);
  AddAdapterMethod(c, "Seek", &FileSeek);
  AddAdapterMethod(c, "Flush", &FileFlush);
  AddAdapterMethod(c, "Close", &FileClose);
  interpreter->addExternClass("CS_File", c);
}

// }===========
// {=========== CS_MemoryFile

void MemoryClose(CS_MemoryFile* file) { file->Close(); }
void MemoryFlush(CS_MemoryFile* file) { file->Flush(); }
int MemoryRead(CS_MemoryFile* file, String* buffer) {
  return ReadIntoBuffer(buffer, [file](char* room, int n) { return file->Read(room, static_cast<uint32_t>(n)); });
}
// Copied first: `data` may be this file's own buffer, which Write may move.
void MemoryWrite(CS_MemoryFile* file, Variable data, int length) {
  std::string_view bytes;
  if (!ScriptBytesPrefix(data, length, &bytes)) return;
  const std::string copy(bytes);
  file->Write(copy.data(), static_cast<uint32_t>(copy.size()));
}
// The contents as text (up to the first NUL).
Variable MemoryToString(CS_MemoryFile* file) {
  if (file->GetBuffer() == nullptr) return TextResult("");
  std::string_view bytes(reinterpret_cast<const char*>(file->GetBuffer()), file->GetLength());
  return TextResult(std::string(bytes.substr(0, bytes.find('\0'))).c_str());
}
// The file itself, typed so methods taking binary data bound their reads by
// its length.
Variable MemoryGetPointer(CS_MemoryFile* file) {
  Variable out;
  out.setPointer(file, &typeid(CS_MemoryFile*));
  return out;
}
int MemoryGetLength(CS_MemoryFile* file) { return static_cast<int>(file->GetLength()); }

void RegisterMemoryFile(Interpreter* interpreter) {
  auto* c = new ExternClass<CS_MemoryFile, int>("1024");
  AddAdapterMethod(c, "Close", &MemoryClose);
  AddAdapterMethod(c, "Flush", &MemoryFlush);
  AddAdapterMethod(c, "Read", &MemoryRead);
  AddAdapterMethod(c, "Write", &MemoryWrite);
  AddAdapterMethod(c, "WriteB", &MemoryWrite);
  AddAdapterMethod(c, "ToString", &MemoryToString);
  AddAdapterMethod(c, "GetPointer", &MemoryGetPointer);
  AddAdapterMethod(c, "GetLength", &MemoryGetLength);
  interpreter->addExternClass("CS_MemoryFile", c);
}

// }===========

void RegisterFileSystem(Interpreter* interpreter) {
  auto* c = new ExternClass<CS_FileSystem>();
  c->addMethod("UnLink", &CS_FileSystem::UnLink);
  c->addMethod("FileExists", &CS_FileSystem::FileExists);
  c->addMethod("DirExists", &CS_FileSystem::DirExists);
  c->addMethod("CopyFile", &CS_FileSystem::CopyFile, ",,1");
  c->addMethod("ReadDir", &CS_FileSystem::ReadDir);
  c->addMethod("FileSize", &CS_FileSystem::FileSize);
  c->addMethod("Exec", &CS_FileSystem::Exec);
  c->addMethod("AppPath", &CS_FileSystem::AppPath);
  interpreter->addExternClass("CS_FileSystem", c);
}

}  // namespace

int CS_FileSystem::UnLink(const char* path) { return !Missing(path) && unlink(path) == 0 ? 1 : 0; }

int CS_FileSystem::FileExists(const char* path) {
  struct stat info;
  return !Missing(path) && stat(path, &info) == 0 ? 1 : 0;
}

int CS_FileSystem::DirExists(const char* path) { return FileExists(path); }

int CS_FileSystem::CopyFile(const char* from, const char* to, int overwrite) {
  if (Missing(from) || Missing(to)) return 0;
  CKFile source;
  if (!source.Open(from, CKFile::kModeReadPlain)) return 0;
  if (!overwrite && FileExists(to)) return 0;
  CKFile target;
  if (!target.Open(to, CKFile::kModeWriteCreate)) return 0;
  char block[kCopyBlockBytes];
  for (size_t n; (n = source.Read(block, sizeof block)) > 0;) target.Write(block, n);
  source.Close();
  target.Close();
  return 1;
}

int CS_FileSystem::ReadDir(const char* path, CS_Array* array) {
  if (Missing(path) || array == nullptr) return 0;
  DIR* dir = opendir(path);
  if (dir == nullptr) return 0;
  array->Reset();
  while (const dirent* entry = readdir(dir)) array->AddValueS(entry->d_name, entry->d_name);
  closedir(dir);
  return 1;
}

int CS_FileSystem::FileSize(const char* path) {
  struct stat info;
  if (Missing(path) || stat(path, &info) != 0) return 0;
  return static_cast<int>(static_cast<uint32_t>(info.st_size));
}

int CS_FileSystem::Exec(const char* command) { return Missing(command) ? -1 : system(command); }

Variable CS_FileSystem::AppPath() { return TextResult(GetAppPath().GetData()); }

CS_MemoryFile::CS_MemoryFile(int grow_by)
    : CMemoryFile(grow_by < 1 ? kDefaultGrowBy
                              : static_cast<uint32_t>(grow_by > kMaxScriptGrowBy ? kMaxScriptGrowBy : grow_by)) {}

void RegisterFileClasses(Interpreter* interpreter) {
  RegisterFileSystem(interpreter);
  RegisterFile(interpreter);
  RegisterMemoryFile(interpreter);
}
