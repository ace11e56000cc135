// web_script - the web page script kind: CS_WEB_INSTANCE, the host side of
// a compiled ".htmcc" page serving one request at a time, and CS_WEB_SCRIPT,
// the object a page creates with `new CS_WEB_SCRIPT($_this)`: the common
// functions plus the CGI set (output, request variables, headers, cookies).
// RunScript runs a page (kept from an earlier request or compiled afresh)
// and answers it; the CGI_SESSION_* free functions reach the one server's
// session table.
#ifndef TORVANE_ADMIN_WEB_SCRIPT_H_
#define TORVANE_ADMIN_WEB_SCRIPT_H_

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "admin/page_cache.h"
#include "admin/web_server.h"
#include "scriptlib/common_functions.h"
#include "scriptlib/script_budget.h"

// Text made safe inside HTML text and quoted attributes: & < > " '.
std::string HtmlEscape(std::string_view text);
// A JSON string literal of the text, quotes included, with "</" written
// "<\/" so it cannot end an enclosing script element.
std::string JsonQuote(std::string_view text);
// True for header text made of whole "Name: value\r\n" lines.
bool IsHeaderLines(std::string_view text);

// Runs the page at `target` (a decoded path beneath the document root)
// for the request of `conn` and returns the whole answer; conn->status
// tells what it was (200, 302, 404 or 500).
// `cancel`, when set by another thread, stops the page as its time limit
// would.
std::string RunScript(ClientConn* conn, CServerWEB* server, const std::string& target, const WebSettings& settings,
                      const std::atomic<bool>* cancel);

// The host of a compiled page: it serves one request at a time, on the
// thread that bound it, and may serve many in turn (PageCache keeps it).
class CS_WEB_INSTANCE : public ScriptHost {
 public:
  explicit CS_WEB_INSTANCE(CServerWEB* server);
  ~CS_WEB_INSTANCE() override;

  // The request the next Load or Run serves. `cancel`, when set by another
  // thread, stops the page as its time limit would.
  void Bind(ClientConn* conn, const WebSettings& settings, const std::atomic<bool>* cancel);
  // Builds the page file at `path` (its top level runs for the bound
  // request): false with the diagnostics in *errors.
  bool Load(const std::string& path, std::string* errors);
  // Runs the page for the bound request, from its top level again when an
  // earlier request ran it: true when it ran to its end (or Exit); false
  // with the diagnostics in *errors (the page is then not to be used again).
  bool Run(std::string* errors);
  const std::string& path() const { return path_; }
  // True while no file the page was built from has changed.
  bool SourcesUnchanged() const;

  ClientConn* conn() { return conn_; }
  CServerWEB* server() { return server_; }
  const WebSettings& settings() const { return settings_; }
  CLogSimple& log() { return log_; }

  // ScriptHost:
  Interpreter* ScriptInterpreter() override { return interpreter_.get(); }
  void QueueLog(int level, const char* text, const char* category) override;
  const char* DefaultLogCategory() const override { return log_type::kWeb; }
  CFileINI* Configuration() override { return server_->context().config; }
  CS_Torvane_kernel* PersistentObjects() override { return server_->context().kernel; }
  ScriptGlobalVariables* GlobalVariables() override { return &globals_; }
  CDns* Resolver() override { return server_->context().dns; }

 private:
  // The interpreter's checkpoint hook: stops the page once cancelled.
  static void CancelCheck(void* self);
  // Runs `call` on the interpreter within the page's time budget; false
  // (the reason in *errors) when it was stopped.
  bool Metered(const std::function<void()>& call, std::string* errors);

  ClientConn* conn_ = nullptr;  // not owned; the bound request's
  CServerWEB* server_;          // not owned
  WebSettings settings_;
  CS_WEB_INSTANCE* self_ = this;  // the storage "$_this" shows
  CLogSimple log_;
  ScriptGlobalVariables globals_;
  std::unique_ptr<Interpreter> interpreter_;
  ScriptBudget budget_;
  const std::atomic<bool>* cancel_ = nullptr;  // not owned; may be null
  std::string path_;
  std::vector<FileStamp> sources_;  // as they were when the page was built
  bool ran_ = false;                // html() ran since the top level last did
};

// The script object of a page. Text results stay valid until the same
// function runs again on this object. Not thread-safe.
class CS_WEB_SCRIPT : public CS_ScriptCommon {
 public:
  // `instance` may be null (then every function does nothing).
  explicit CS_WEB_SCRIPT(CS_WEB_INSTANCE* instance);

  void echo(const char* text);
  // The file beneath the document root (never run): mode 1 appends it to
  // the output and gives "", any other mode gives its bytes.
  const char* includeHTML(const char* path, int mode);
  const char* CGI_GET_VAR(const char* name);
  const char* CGI_POST_VAR(const char* name);
  const char* CGI_COOKIE_VAR(const char* name);
  // Adds the "GET", "POST" or "COOKIES" pairs to the array; 1, or 0 for
  // another set.
  int CGI_TO_ARRAY(CS_Array* array, const char* which);
  const char* GETENV(const char* name);
  // Replaces the extra header lines; 0 (nothing changed) unless the text
  // is whole "Name: value\r\n" lines.
  int HeaderOption(const char* text);
  // 0 (nothing changed) for a text holding CR or LF.
  int HeaderRedirect(const char* location);
  int HeaderContentType(const char* type);
  // The answer's status (a form refused for a bad token answers 403, say):
  // 1, or 0 (nothing changed) for a code the server has no line for.
  int HeaderStatus(int code);
  // Adds a Set-Cookie line. `expires` below 1 makes a session cookie;
  // `attributes` lists among "HttpOnly", "Secure", "SameSite=Strict" and
  // "SameSite=Lax" (others are ignored). 0 for a path or domain that is
  // no plain name.
  int SetCookie(const char* name, const char* value, int expires, const char* path, const char* domain,
                const char* attributes);
  const char* HtmlEscape(const char* text);
  const char* JsonQuote(const char* text);

 private:
  ClientConn* conn() const { return instance_ != nullptr ? instance_->conn() : nullptr; }
  const char* Keep(std::string text);

  CS_WEB_INSTANCE* instance_;  // not owned; may be null
  std::string text_;           // the last text result
};

// Registers CS_WEB_SCRIPT and the CGI_SESSION_* functions on `in`.
void RegisterWebScriptClass(Interpreter* in);

#endif  // TORVANE_ADMIN_WEB_SCRIPT_H_
