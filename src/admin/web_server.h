// web_server - the web GUI's HTTP server: CServerWEB owns the listener, the
// child threads (CLauchWEB, "launch web") that read requests and build the
// answers, the output queues (CSender) that write them, and the pages'
// session table. A child polls all its connections at once; a request is
// bounded in size and in time from its first byte to its last; files are
// opened only beneath the document root; ".htmcc" pages run as scripts.
#ifndef TORVANE_ADMIN_WEB_SERVER_H_
#define TORVANE_ADMIN_WEB_SERVER_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "admin/http_request.h"
#include "admin/sender.h"
#include "admin/web_sessions.h"
#include "base/config.h"
#include "base/thread.h"
#include "base/xml_log.h"
#include "proxy/listener.h"
#include "scriptlib/cron_script.h"

class CTorvaneCore;
class PageCache;

// The WEBGUI settings, copied at each reload.
struct WebSettings {
  std::string listen;
  std::string port;
  int maxconn = 0;
  int buffer_out = 0;
  int keep_alive_seconds = 0;
  int max_select_ms = 0;
  int min_select_ms = 0;
  int num_server = 0;
  std::string document_root;  // ends in "/"
  HttpLimits limits;
  int request_timeout_seconds = 0;  // first byte to the whole request
  int max_script_seconds = 0;       // 0: a page may run as long as it likes
  bool security_headers = false;
};

// What one answer's header says.
struct HeaderOptions {
  std::string status = "200 OK";
  size_t content_length = 0;
  bool keep_alive = false;
  std::string content_type = "text/html";
  std::string extra_headers;  // whole "Name: value\r\n" lines
  std::string location;       // a redirect when not empty
  bool no_cache = false;
  bool security_headers = false;
};

// A page script running on a thread of its own, so that its child goes on
// serving the other connections meanwhile.
struct PageRun {
  std::thread thread;
  std::atomic<bool> done{false};    // set by the page thread last
  std::atomic<bool> cancel{false};  // asks the page to stop now
  std::string answer;               // the page thread's, until done
};

// One client connection of a child. Owned and used by its child's thread
// (and by its page thread while one runs, the child keeping off it).
struct ClientConn {
  CSender* sender = nullptr;        // writes this connection's answers; not owned
  CSocketComm* socket = nullptr;    // a listener slot; not owned
  int id = 0;                       // the queue id in the sender
  std::string client_ip;
  std::string inbox;                // bytes received, not yet a request
  int64_t last_time_ms = 0;         // the last answer handed over (or the start)
  int64_t request_start_ms = 0;     // the first byte of the pending request; 0 none
  int64_t closing_since_ms = 0;     // closing once the sender is done; 0 not
  bool sent = false;                // an answer has been handed over
  HttpRequest request;
  // The answer being built (a page script fills these).
  int status = 200;
  std::string out_type;
  std::string extra_headers;
  std::string redirect;
  std::string output;
  std::unique_ptr<PageRun> page;  // the page answering the current request
};

class CServerWEB;

// One child thread of the web server. Add is the main loop's; everything
// else runs on the thread.
class CLauchWEB : public CMyThread {
 public:
  // Received bytes taken from a socket at once.
  static constexpr int kReceiveBytes = 16 * 1024;
  // Longest poll: new connections and deadlines are looked at this often.
  static constexpr int kPollMs = 100;
  // Poll while some connection waits for its sender to finish.
  static constexpr int kClosingPollMs = 10;

  explicit CLauchWEB(CServerWEB* server);
  ~CLauchWEB() override;

  bool Start();
  // Takes a connection (a listener slot) with its queue `id` in `sender`.
  void Add(CSender* sender, CSocketComm* socket, int id);
  CLogSimple& log() { return log_; }

 protected:
  void Unblock() override;

 private:
  static void* Body(void* self);
  void Run();
  void TakeNewConnections();
  // Reads, answers and times out one connection; false when it is to go.
  bool Serve(ClientConn* conn, bool readable, int64_t now);
  // Answers every complete request in the inbox; false when the
  // connection is to close once its answers are written.
  bool AnswerRequests(ClientConn* conn);
  // The answer to conn->request (a file's body apart, in *file_body);
  // false when a page thread was started for it instead (FinishPage hands
  // its answer over).
  bool SendRespose(ClientConn* conn, std::string* answer, std::string* file_body);
  void StartPage(ClientConn* conn, const std::string& target);
  // Hands over the answer of a finished page; false as AnswerRequests.
  bool FinishPage(ClientConn* conn);
  // Hands over one answer; false when the connection is to close after it.
  bool Answered(ClientConn* conn, const std::string& answer, std::string file_body = {});
  void Hand(ClientConn* conn, const std::string& answer, std::string file_body = {});
  void DoneByIndex(size_t index);
  void Note(int level, const std::string& text);

  CServerWEB* server_;  // not owned
  CLogSimple log_;
  WebSettings settings_;  // the thread's copy, refreshed every pass
  int bell_fd_ = -1;      // eventfd rung by Add, owned
  std::vector<std::unique_ptr<ClientConn>> incoming_;  // guarded by Lock()
  std::vector<std::unique_ptr<ClientConn>> clients_;   // the thread's own
};

// Thread-safety: construction, Run, ReloadConfig and Stop are the main
// loop's; Settings, sessions, the header builders and the log are safe from
// the children.
class CServerWEB {
 public:
  // Sessions are swept this often.
  static constexpr int kMaintenanceSeconds = 60;
  // The children's logs are merged this often.
  static constexpr int kLogMergeMs = 200;
  // The name the server gives in every answer.
  static constexpr char kServerName[] = "Torvane Antispam WebServer 2.1.3";
  // The body a client gets when every slot is taken.
  static constexpr char kBusyText[] = "500 HTTP Web Error 500 - Server Too Busy ";

  // `config` and `core` (may be null) must outlive the server. Starts the
  // listener and the children; an address it cannot bind is logged and
  // the server then simply answers nobody.
  CServerWEB(CConfig* config, CTorvaneCore* core);
  ~CServerWEB();
  CServerWEB(const CServerWEB&) = delete;
  CServerWEB& operator=(const CServerWEB&) = delete;

  void Run();
  void ReloadConfig();
  void Stop();
  CLogSimple& log() { return log_; }
  WebSettings Settings();
  WebSessions& sessions() { return sessions_; }
  // The compiled pages kept between requests.
  PageCache& pages() { return *pages_; }
  // What page scripts reach of the daemon.
  const CronContext& context() const { return context_; }
  // The port the listener is bound to (0 when it is not).
  int BoundPort();

  // The header of an answer, ending with its empty line.
  static std::string CreateHeaderRes(const HeaderOptions& options);
  // A built-in page (404, 500 ...) with its header; `message` (HTML) goes
  // into a 500 page.
  static std::string GetPageError(int code, bool keep_alive, const std::string& message, bool security_headers);
  // The status line text of a code ("404 Not Found").
  static const char* StatusText(int code);
  static bool HasStatusText(int code);

 private:
  WebSettings ReadSettings();
  void StartAll();
  void StopAll();
  void MergeChildLogs();
  void Note(int level, const std::string& text);

  CLogSimple log_;
  CConfig* config_;  // not owned
  CronContext context_;
  WebSessions sessions_;
  std::unique_ptr<PageCache> pages_;
  std::unique_ptr<CListenTorvane> listener_;
  bool listening_ = false;
  bool started_ = false;
  std::vector<std::unique_ptr<CLauchWEB>> children_;
  std::vector<std::unique_ptr<CSender>> senders_;
  unsigned counter_ = 0;  // round-robin position
  int next_queue_id_ = 0;
  time_t next_maintenance_ = 0;
  int64_t next_log_merge_ms_ = 0;

  std::mutex settings_mutex_;
  WebSettings settings_;  // guarded by settings_mutex_
};

// The one web server of the process, for the page scripts' session
// functions; null when there is none.
extern CServerWEB* m_server;

#endif  // TORVANE_ADMIN_WEB_SERVER_H_
