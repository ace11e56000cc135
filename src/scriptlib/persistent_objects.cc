// persistent_objects - the persistent-object registry and its factory table: a type
// that can be created is one row of kPersistentTypes.
#include "scriptlib/persistent_objects.h"

#include <cstring>

#include "base/ini_file.h"
#include "engines/mysql_connector.h"
#include "engines/record_store.h"
#include "scriptlib/lib_admin_client.h"
#include "scriptlib/shared_flag.h"

// How to make and destroy the class of one type name.
struct PersistentObjectType {
  const char* name;
  const std::type_info* pointer_type;  // typeid(Class*)
  void* (*create)();
  void (*destroy)(void*);
};

namespace {

template <typename T>
PersistentObjectType TypeRow(const char* name) {
  return {name, &typeid(T*), [] { return static_cast<void*>(new T()); },
          [](void* object) { delete static_cast<T*>(object); }};
}

// The creatable types.
const PersistentObjectType kPersistentTypes[] = {
    TypeRow<CDB_RAM>(kPersistentRecordStore),
    TypeRow<CTorvaneMysqlConn>(kPersistentMySqlConn),
    TypeRow<CFileINI>(kPersistentIniFile),
    TypeRow<CS_Flag>(kPersistentFlag),
    TypeRow<CS_Torvane_Connection>(kPersistentServerConn),
};

const PersistentObjectType* FindType(const char* type) {
  if (type == nullptr) return nullptr;
  for (const PersistentObjectType& row : kPersistentTypes) {
    if (strcmp(row.name, type) == 0) return &row;
  }
  return nullptr;
}

}  // namespace

CS_Torvane_kernel::CS_Torvane_kernel(WallClock clock) : clock_(clock) {}

CS_Torvane_kernel::~CS_Torvane_kernel() {
  for (const auto& entry : entries_) Destroy(entry->owned);
  for (const RetiredObject& retired : retired_) Destroy(retired.owned);
}

void CS_Torvane_kernel::Destroy(const OwnedObject& owned) { owned.kind->destroy(owned.object); }

void* CS_Torvane_kernel::GetPersistentOBJ(const char* name, const char* type) {
  CriticalScope hold(lock_);
  const OBJ_PERSISTEN* entry = FindLocked(name, type);
  return entry != nullptr ? entry->owned.object : nullptr;
}

void* CS_Torvane_kernel::CreatePersistentOBJ(const char* name, const char* type) {
  const PersistentObjectType* kind = FindType(type);
  if (name == nullptr || kind == nullptr) return nullptr;
  CriticalScope hold(lock_);
  if (const OBJ_PERSISTEN* entry = FindLocked(name, type)) return entry->owned.object;
  auto entry = std::make_unique<OBJ_PERSISTEN>();
  entry->name = name;
  entry->type = type;
  entry->owned = {kind->create(), kind};
  entries_.push_back(std::move(entry));
  return entries_.back()->owned.object;
}

void CS_Torvane_kernel::DeletePersistentOBJ(const char* name) {
  if (name == nullptr) return;
  CriticalScope hold(lock_);
  const time_t now = clock_();
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if ((*it)->name == name) {
      retired_.push_back({(*it)->owned, now});
      entries_.erase(it);
      break;
    }
  }
  ReapLocked(now);
}

const std::type_info* CS_Torvane_kernel::PointerTypeOf(const char* type) {
  const PersistentObjectType* kind = FindType(type);
  return kind != nullptr ? kind->pointer_type : nullptr;
}

int CS_Torvane_kernel::GetCount() {
  CriticalScope hold(lock_);
  return static_cast<int>(entries_.size());
}

int CS_Torvane_kernel::GetRetiredCount() {
  CriticalScope hold(lock_);
  ReapLocked(clock_());
  return static_cast<int>(retired_.size());
}

CS_Torvane_kernel::OBJ_PERSISTEN* CS_Torvane_kernel::FindLocked(const char* name,
                                                               const char* type) {
  if (name == nullptr || type == nullptr) return nullptr;
  for (const auto& entry : entries_) {
    if (entry->name == name && entry->type == type) return entry.get();
  }
  return nullptr;
}

void CS_Torvane_kernel::ReapLocked(time_t now) {
  // Retirement times only grow (unless the wall clock is set back, which at
  // worst keeps an object longer), so the oldest are at the front.
  while (!retired_.empty() && (retired_.size() > kMaxRetiredObjects ||
                               now - retired_.front().retired_at >= kRetiredGraceSeconds)) {
    Destroy(retired_.front().owned);
    retired_.pop_front();
  }
}
