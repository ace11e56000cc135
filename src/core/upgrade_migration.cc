// upgrade_migration - the one-time migration run when the configuration was
// empty or written by another version: a per-installation key for the web
// configuration page, version-2 encodings for the local-domain white/black
// lists and the ban list, and the connection counter moved out of the
// configuration into "countconn.dat".
#include <cstring>
#include <string>

#include "base/atomic_file.h"
#include "base/md5.h"
#include "base/file.h"
#include "base/host_name.h"
#include "base/utility.h"
#include "core/daemon.h"
#include "engines/record_store.h"
#include "proxy/connection_counter.h"

namespace {

constexpr char kKeyMark[] = "<!--key-->";
constexpr char kConfPage[] = "/conf.htmch";
constexpr char kDomainStore[] = "db/domain_local.db";
constexpr char kBanStore[] = "db/ip_imbargo.db";
// Stores of this format version hold the old value encodings.
constexpr int32_t kOldStoreType = 1;
// Far above any real configuration page.
constexpr size_t kMaxPageBytes = 16 * 1024 * 1024;

// Gives the web configuration page a key of its own: the MD5 of the
// installation time replaces every "<!--key-->" placeholder.
void KeyTheConfigurationPage() {
  String path = cs_config->webgui_path;
  path.append(kConfPage);
  path.Replace("\\/", "/");
  path.Replace("//", "/");
  std::string page;
  if (!ReadWholeFile(path.GetData(), kMaxPageBytes, &page)) return;
  const size_t first = page.find(kKeyMark);
  if (first == std::string::npos || first == 0) return;
  String stamp;
  MakeDataGMT(&stamp, GetTimeNow());
  const String key = MD5Hex(stamp.GetData());
  std::string keyed;
  size_t from = 0;
  for (size_t at = first; at != std::string::npos; at = page.find(kKeyMark, from)) {
    keyed.append(page, from, at - from);
    keyed.append(key.GetData());
    from = at + sizeof(kKeyMark) - 1;
  }
  keyed.append(page, from, std::string::npos);
  AtomicFile out(path.GetData());
  if (out.Open() && out.Write(keyed.data(), keyed.size())) out.Commit();
}

// White/black list entries become the single character "1" (listed) or "0".
// The list is the store the shipped domain template names "wbip"; a record
// that is no host name is no domain (and could name a file outside db/).
void MigrateDomainList(const char* domain) {
  if (!IsHostName(domain)) return;
  std::string name = std::string("db/") + domain + ".wb";
  CDB_RAM list;
  if (!list.Open(name.c_str())) return;
  list.Load();
  for (int32_t n = 0; n < list.GetRecordCount(); ++n) {
    CDB_RAM::RECORD* record = list.GetByIndexPtr(n);
    if (record == nullptr) continue;
    const bool listed = record->len > 0 && record->value[0] != 0;
    record->VALUE(listed ? "1" : "0", 1);
  }
  list.Save();
}

bool MigrateDomains() {
  CDB_RAM domains;
  if (!domains.Open(kDomainStore)) return false;
  if (domains.GetTypeDB() != kOldStoreType) return true;
  domains.Load();
  for (int32_t n = 0; n < domains.GetRecordCount(); ++n) {
    CDB_RAM::RECORD* record = domains.GetByIndexPtr(n);
    if (record != nullptr && record->key.GetData() != nullptr) MigrateDomainList(record->key.GetData());
  }
  domains.Save();
  return true;
}

// Ban list values were 4-byte binary integers; they become decimal text.
bool MigrateBanList() {
  CDB_RAM bans;
  if (!bans.Open(kBanStore)) return false;
  if (bans.GetTypeDB() != kOldStoreType) return true;
  bans.Load();
  for (int32_t n = 0; n < bans.GetRecordCount(); ++n) {
    CDB_RAM::RECORD* record = bans.GetByIndexPtr(n);
    if (record == nullptr) continue;
    int32_t value = 0;
    if (record->len > 0) {
      memcpy(&value, record->value.get(), record->len < 4 ? static_cast<size_t>(record->len) : 4);
    }
    const std::string text = std::to_string(static_cast<long>(value));
    record->VALUE(text.data(), static_cast<int32_t>(text.size()));
  }
  bans.Save();
  return true;
}

// The connection counter used to live in the configuration.
void MoveConnectionCounter() {
  const int stored = cs_config->GetInt("CONFIG", "idconn", 0);
  if (stored > 0 && GetAntispamIdConnFromDisk() == 0) WriteAntispamIdConnToDisk(stored);
}

}  // namespace

bool ControlloArchivi() {
  if (cs_xmllog == nullptr || cs_config == nullptr) return false;
  KeyTheConfigurationPage();
  if (!MigrateDomains() || !MigrateBanList()) return false;
  MoveConnectionCounter();
  return true;
}
