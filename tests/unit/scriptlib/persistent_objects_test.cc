// Tests of CS_Torvane_kernel, the persistent-object registry.
#include "scriptlib/persistent_objects.h"
#include "scriptlib/lib_admin_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "base/ini_file.h"
#include "engines/mysql_connector.h"
#include "engines/record_store.h"
#include "scriptlib/shared_flag.h"

namespace {

std::atomic<time_t> fake_now{1000000};
time_t FakeClock() { return fake_now.load(); }

TEST(CS_Torvane_kernelTest, TypesCreateTheirClasses) {
  const struct {
    const char* type;
    const std::type_info* pointer_type;  // null: creates nothing
  } cases[] = {
      {kPersistentRecordStore, &typeid(CDB_RAM*)},
      {kPersistentIniFile, &typeid(CFileINI*)},
      {kPersistentFlag, &typeid(CS_Flag*)},
      {kPersistentMySqlConn, &typeid(CTorvaneMysqlConn*)},
      {kPersistentServerConn, &typeid(CS_Torvane_Connection*)},
      {"cdb_ram", nullptr},
      {nullptr, nullptr},
  };
  for (const auto& c : cases) {
    CS_Torvane_kernel kernel;
    void* object = kernel.CreatePersistentOBJ("obj", c.type);
    const char* label = c.type ? c.type : "(null)";
    EXPECT_EQ(object != nullptr, c.pointer_type != nullptr) << label;
    EXPECT_EQ(kernel.GetCount(), c.pointer_type != nullptr ? 1 : 0) << label;
    EXPECT_EQ(CS_Torvane_kernel::PointerTypeOf(c.type), c.pointer_type) << label;
    EXPECT_EQ(kernel.GetPersistentOBJ("obj", c.type), object) << label;
  }
}

TEST(CS_Torvane_kernelTest, GetCreateDeleteByNameAndType) {
  CS_Torvane_kernel kernel(FakeClock);
  EXPECT_EQ(kernel.GetPersistentOBJ("a", kPersistentFlag), nullptr);
  void* flag = kernel.CreatePersistentOBJ("a", kPersistentFlag);
  ASSERT_NE(flag, nullptr);
  EXPECT_EQ(kernel.CreatePersistentOBJ("a", kPersistentFlag), flag);  // the existing one
  EXPECT_EQ(kernel.GetPersistentOBJ("a", kPersistentIniFile), nullptr);  // type must match
  EXPECT_EQ(kernel.GetPersistentOBJ(nullptr, kPersistentFlag), nullptr);

  // The same name with another type is a second entry; delete takes the first.
  void* ini = kernel.CreatePersistentOBJ("a", kPersistentIniFile);
  ASSERT_NE(ini, nullptr);
  EXPECT_NE(ini, flag);
  EXPECT_EQ(kernel.GetCount(), 2);
  kernel.DeletePersistentOBJ("a");
  EXPECT_EQ(kernel.GetPersistentOBJ("a", kPersistentFlag), nullptr);
  EXPECT_EQ(kernel.GetPersistentOBJ("a", kPersistentIniFile), ini);
  kernel.DeletePersistentOBJ("a");
  EXPECT_EQ(kernel.GetCount(), 0);

  // Created again after deletion: a new, empty object.
  auto* fresh = static_cast<CS_Flag*>(kernel.CreatePersistentOBJ("a", kPersistentFlag));
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->GetInt(), 0);
}

TEST(CS_Torvane_kernelTest, DeletedObjectOutlivesItsDeletionForAGrace) {
  CS_Torvane_kernel kernel(FakeClock);
  auto* kept = static_cast<CS_Flag*>(kernel.CreatePersistentOBJ("f", kPersistentFlag));
  ASSERT_NE(kept, nullptr);
  kept->SetInt(7);
  kernel.DeletePersistentOBJ("f");
  EXPECT_EQ(kernel.GetPersistentOBJ("f", kPersistentFlag), nullptr);
  // A script still holding the pointer reads the old object (checked under ASan).
  EXPECT_EQ(kept->GetInt(), 7);
  EXPECT_EQ(kernel.GetRetiredCount(), 1);
  fake_now += CS_Torvane_kernel::kRetiredGraceSeconds - 1;
  EXPECT_EQ(kernel.GetRetiredCount(), 1);
  fake_now += 1;
  EXPECT_EQ(kernel.GetRetiredCount(), 0);
}

TEST(CS_Torvane_kernelTest, RetiredObjectsAreBounded) {
  CS_Torvane_kernel kernel(FakeClock);
  const int extra = 10;
  for (int i = 0; i < static_cast<int>(CS_Torvane_kernel::kMaxRetiredObjects) + extra; ++i) {
    const std::string name = "n" + std::to_string(i);
    ASSERT_NE(kernel.CreatePersistentOBJ(name.c_str(), kPersistentRecordStore), nullptr);
    kernel.DeletePersistentOBJ(name.c_str());
  }
  EXPECT_EQ(kernel.GetRetiredCount(), static_cast<int>(CS_Torvane_kernel::kMaxRetiredObjects));
  EXPECT_EQ(kernel.GetCount(), 0);
}

TEST(CS_Torvane_kernelTest, ThreadsShareOneObjectPerName) {
  CS_Torvane_kernel kernel(FakeClock);
  constexpr int kThreads = 8;
  constexpr int kNames = 20;
  constexpr int kRounds = 50;
  std::vector<std::vector<void*>> seen(kThreads, std::vector<void*>(kNames, nullptr));
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        for (int n = 0; n < kNames; ++n) {
          const std::string name = "shared" + std::to_string(n);
          auto* flag = static_cast<CS_Flag*>(kernel.CreatePersistentOBJ(name.c_str(), kPersistentFlag));
          if (seen[t][n] != nullptr && seen[t][n] != flag) ++mismatches;
          seen[t][n] = flag;
          flag->SetInt(flag->GetInt() + 1);
          // Churn on private names meanwhile.
          const std::string own = "own" + std::to_string(t);
          kernel.CreatePersistentOBJ(own.c_str(), kPersistentIniFile);
          kernel.DeletePersistentOBJ(own.c_str());
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(kernel.GetCount(), kNames);
  for (int n = 0; n < kNames; ++n) {
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t][n], seen[0][n]);
  }
}

}  // namespace
