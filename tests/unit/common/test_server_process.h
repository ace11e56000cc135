// test_server_process - one helper server process of a test: started by fork/exec, ready once it writes a file,
// stopped by its PID, every wait bounded.
#ifndef TORVANE_TESTS_UNIT_COMMON_TEST_SERVER_PROCESS_H_
#define TORVANE_TESTS_UNIT_COMMON_TEST_SERVER_PROCESS_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace testproc {

// A server that misses these bounds is killed, so a stuck helper cannot hang the suite.
constexpr auto kStartLimit = std::chrono::seconds(10);
constexpr auto kStopLimit = std::chrono::seconds(3);
constexpr auto kPollStep = std::chrono::milliseconds(20);

// Whether the server's diagnostics reach the test's output.
enum class ServerStderr { kShown, kSilenced };

// One server process, owned: stopped at the latest on destruction.
class TestServerProcess {
 public:
  TestServerProcess() = default;
  ~TestServerProcess() { Stop(); }
  TestServerProcess(const TestServerProcess&) = delete;
  TestServerProcess& operator=(const TestServerProcess&) = delete;

  // Runs argv (argv[0] is the program's path) and waits until `ready_file` appears; false when the process exits
  // first or is not ready within kStartLimit. REQUIRES: no process of this object is running.
  bool Start(const std::vector<std::string>& argv, const std::string& ready_file,
             ServerStderr stderr_mode = ServerStderr::kShown) {
    std::filesystem::remove(ready_file);
    // Built before fork: the child only execs.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      if (stderr_mode == ServerStderr::kSilenced) freopen("/dev/null", "w", stderr);
      execv(args[0], args.data());
      _exit(127);
    }
    return WaitReady(ready_file);
  }

  // Sends SIGTERM and reaps the process; SIGKILL when it outlives kStopLimit.
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const auto limit = std::chrono::steady_clock::now() + kStopLimit;
    int status;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > limit) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(kPollStep);
    }
    pid_ = -1;
  }

 private:
  bool WaitReady(const std::string& ready_file) {
    const auto limit = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < limit) {
      if (std::filesystem::exists(ready_file)) return true;
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(kPollStep);
    }
    Stop();
    return false;
  }

  pid_t pid_ = -1;  // -1 when no process runs
};

// True when nothing holds UDP `port` on `address` right now.
inline bool UdpPortFree(const std::string& address, int port) {
  const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, address.c_str(), &at.sin_addr);
  const bool free = bind(s, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0;
  close(s);
  return free;
}

// The first address prefix + n (n = first .. last) whose UDP `port` is free and where `launch` succeeds, or "".
// Test name servers need an address of their own: the resolver asks port 53 only.
template <typename Launch>
std::string StartOnFreeAddress(const std::string& prefix, int first, int last, int port, Launch launch) {
  for (int host = first; host <= last; ++host) {
    const std::string address = prefix + std::to_string(host);
    if (UdpPortFree(address, port) && launch(address)) return address;
  }
  return "";
}

// True when Debian's python3 can import `module`; suites skip with a reason without it.
inline bool PythonModuleAvailable(const std::string& module) {
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDERR_FILENO);
    const std::string statement = "import " + module;
    execl("/usr/bin/python3", "/usr/bin/python3", "-c", statement.c_str(), nullptr);
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace testproc

#endif  // TORVANE_TESTS_UNIT_COMMON_TEST_SERVER_PROCESS_H_
