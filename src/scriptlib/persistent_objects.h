// persistent_objects - CS_Torvane_kernel, the process-wide registry of the objects
// scripts keep between runs ("persistent objects"): record stores, INI
// files, value cells, database connections shared by every script of
// every thread. The proxy core
// owns the one instance; hosts reach it through the core.
#ifndef TORVANE_SCRIPTLIB_PERSISTENT_OBJECTS_H_
#define TORVANE_SCRIPTLIB_PERSISTENT_OBJECTS_H_

#include <ctime>
#include <deque>
#include <memory>
#include <typeinfo>
#include <vector>

#include "base/mutex.h"
#include "base/string.h"
#include "base/wall_clock.h"

// Type names scripts pass, and the class each creates.
constexpr char kPersistentRecordStore[] = "CDB_Ram";          // CDB_RAM
constexpr char kPersistentIniFile[] = "CS_FileCfg";           // CFileINI
constexpr char kPersistentFlag[] = "CS_Flag";                 // CS_Flag
constexpr char kPersistentMySqlConn[] = "CS_MySqlConn";       // CTorvaneMysqlConn
// A known name whose class is not built yet: creating one gives null until
// the remote-instance connection exists.
constexpr char kPersistentServerConn[] = "TorvaneServerConn"; // CS_Torvane_Connection

// A row of the registry's factory table (persistent.cc).
struct PersistentObjectType;

// Lifetime: the registry owns every object it creates and destroys them with
// itself. Deleting one cannot tell the scripts that still hold its pointer,
// so DeletePersistentOBJ only retires it: the name is free at once, while
// the object itself is kept, untouched, for kRetiredGraceSeconds (longer
// than any script session, job or request runs) before it is destroyed. A
// script that kept the pointer past that - or past kMaxRetiredObjects later
// deletions, which destroy the oldest retired objects early to bound memory
// - is left with a dangling pointer: raw pointers cannot be tracked further.
//
// Thread-safe: every operation holds the registry's lock. The objects are
// not locked by the registry; each class locks itself.
class CS_Torvane_kernel {
 public:
  // How long a deleted object outlives its deletion.
  static constexpr time_t kRetiredGraceSeconds = 3600;
  // Deleted objects kept at most; more destroy the oldest at once.
  static constexpr size_t kMaxRetiredObjects = 256;

  // `clock` dates the deletions (tests pass a fake).
  explicit CS_Torvane_kernel(WallClock clock = SystemWallClock);
  // Destroys every object, live or retired. REQUIRES: no script uses one.
  ~CS_Torvane_kernel();
  CS_Torvane_kernel(const CS_Torvane_kernel&) = delete;
  CS_Torvane_kernel& operator=(const CS_Torvane_kernel&) = delete;

  // The object of the first entry whose name and type both match, else null
  // (also for a null name or type). The registry keeps ownership.
  void* GetPersistentOBJ(const char* name, const char* type);
  // The object GetPersistentOBJ would return if there is one; otherwise a
  // new entry with a new, empty object of the type. Null, registering
  // nothing, for a null name or an unknown or not yet buildable type.
  void* CreatePersistentOBJ(const char* name, const char* type);
  // Retires the object of the first entry named `name`, whatever its type,
  // and removes the entry. Nothing for an unknown or null name.
  void DeletePersistentOBJ(const char* name);

  // typeid of a pointer to the class `type` creates, for the script binding
  // to tag the pointers it hands out; null for a type that creates nothing.
  static const std::type_info* PointerTypeOf(const char* type);

  // Live entries (for monitoring).
  int GetCount();
  // Retired objects still kept, after destroying those whose grace is over.
  int GetRetiredCount();

 private:
  // An object and the row that made (and will destroy) it.
  struct OwnedObject {
    void* object = nullptr;
    const PersistentObjectType* kind = nullptr;
  };
  // One registered object.
  struct OBJ_PERSISTEN {
    String name;
    String type;
    OwnedObject owned;
  };
  struct RetiredObject {
    OwnedObject owned;
    time_t retired_at = 0;
  };

  static void Destroy(const OwnedObject& owned);
  // Helpers ending in "Locked" REQUIRE: the caller holds lock_.
  OBJ_PERSISTEN* FindLocked(const char* name, const char* type);
  // Destroys retired objects past their grace or beyond the limit.
  void ReapLocked(time_t now);

  WallClock clock_;
  CCriticalSession lock_;
  // Guarded by lock_:
  std::vector<std::unique_ptr<OBJ_PERSISTEN>> entries_;  // in creation order
  std::deque<RetiredObject> retired_;                    // oldest first
};

#endif  // TORVANE_SCRIPTLIB_PERSISTENT_OBJECTS_H_
