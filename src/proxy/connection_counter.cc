// connection_counter - reading and writing the connection id counter file.
#include "proxy/connection_counter.h"

#include <climits>
#include <cstdint>

#include "base/atomic_file.h"
#include "base/file.h"
#include "base/utility.h"

namespace {

// Ids at or past this value, and negative ones, restart at 1.
constexpr int32_t kIdCeiling = INT32_MAX;

int32_t Normalised(int32_t id) { return (id < 0 || id == kIdCeiling) ? 1 : id; }

}  // namespace

int GetAntispamIdConnFromDisk() {
  String path;
  MakeAppPath(&path, kCountConnFile);
  CKFile file;
  int32_t id = 0;
  if (!file.Open(path.GetData(), CKFile::kModeReadPlain) || file.Read(&id, sizeof(id)) != sizeof(id))
    return 0;
  return Normalised(id);
}

bool WriteAntispamIdConnToDisk(int id) {
  String path;
  MakeAppPath(&path, kCountConnFile);
  const int32_t stored = Normalised(id);
  AtomicFile file(path.GetData());
  return file.Open() && file.Write(&stored, sizeof(stored)) && file.Commit();
}
