// web_script - building and running page scripts and the CGI functions
// (see web_script.h).
#include "admin/web_script.h"

#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "admin/document_root.h"
#include "base/text_codecs.h"
#include "base/utility.h"
#include "script/externs.h"
#include "scriptlib/library_classes.h"

namespace {

constexpr char kSource[] = "serverweb";
// The page function a request runs.
constexpr char kPageFunction[] = "html";

// Frees a preprocessed text when it goes out of scope.
struct FreeText {
  void operator()(char* text) const { free(text); }
};

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

// A cookie's path or domain: a plain name, nothing that ends the attribute.
bool IsCookieName(const char* text) {
  for (const char* c = text; *c != '\0'; ++c) {
    if (!isalnum(static_cast<unsigned char>(*c)) && strchr("/._-", *c) == nullptr) return false;
  }
  return true;
}

bool HasLineBreak(const char* text) { return strpbrk(text, "\r\n") != nullptr; }

// The attributes a page may ask for, in a fixed spelling.
std::string CookieAttributes(const char* list) {
  std::string out;
  const std::string asked = " " + Lower(list != nullptr ? list : "") + " ";
  const struct {
    const char* word;
    const char* attribute;
  } kKnown[] = {{"httponly", "; HttpOnly"},
                {"secure", "; Secure"},
                {"samesite=strict", "; SameSite=Strict"},
                {"samesite=lax", "; SameSite=Lax"}};
  std::string words = asked;
  for (char& c : words) c = (c == ';' || c == ',') ? ' ' : c;
  for (const auto& known : kKnown) {
    if (words.find(std::string(" ") + known.word + " ") != std::string::npos) out += known.attribute;
  }
  return out;
}

std::string ValueOf(const HttpVariables& vars, const char* name) {
  if (name == nullptr) return "";
  const auto it = vars.find(name);
  return it != vars.end() ? it->second : "";
}

// The result text of a session function: one per thread, copied by the
// interpreter before the next call.
const char* SessionText(std::string text) {
  thread_local std::string result;
  result = std::move(text);
  return result.c_str();
}

WebSessions* Sessions() { return m_server != nullptr ? &m_server->sessions() : nullptr; }

int SessionStart(const char* id, int expiry) {
  if (Sessions() == nullptr || id == nullptr || *id == '\0') return 0;
  Sessions()->Start(id, expiry);
  return 1;
}

const char* SessionNew(int expiry) { return SessionText(Sessions() != nullptr ? Sessions()->New(expiry) : ""); }

int SessionDelete(const char* id) {
  if (Sessions() == nullptr || id == nullptr) return 0;
  Sessions()->Delete(id);
  return 1;
}

int SessionWriteVar(const char* id, const char* name, const char* value) {
  if (Sessions() == nullptr || id == nullptr || name == nullptr) return 0;
  return Sessions()->WriteVar(id, name, value != nullptr ? value : "") ? 1 : 0;
}

const char* SessionVar(const char* id, const char* name) {
  if (Sessions() == nullptr || id == nullptr || name == nullptr) return SessionText("");
  return SessionText(Sessions()->GetVar(id, name));
}

std::string ErrorAnswer(ClientConn* conn, const std::string& errors, const WebSettings& settings) {
  std::string message = HtmlEscape(errors);
  for (size_t at = message.find('\n'); at != std::string::npos; at = message.find('\n', at + 4)) {
    message.replace(at, 1, "<br>");
  }
  conn->status = 500;
  return CServerWEB::GetPageError(500, conn->request.keep_alive, message, settings.security_headers);
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string JsonQuote(std::string_view text) {
  std::string out = "\"";
  char escape[8];
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '/' && i > 0 && text[i - 1] == '<') {
      out += "\\/";
    } else if (c < 0x20 || c == 0x7f) {
      snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

bool IsHeaderLines(std::string_view text) {
  if (text.empty()) return false;
  while (!text.empty()) {
    const size_t end = text.find("\r\n");
    if (end == std::string_view::npos) return false;
    const std::string_view line = text.substr(0, end);
    const size_t colon = line.find(": ");
    if (colon == std::string_view::npos || colon == 0) return false;
    for (size_t i = 0; i < colon; ++i) {
      if (!isalnum(static_cast<unsigned char>(line[i])) && line[i] != '-') return false;
    }
    for (char c : line) {
      if (c == '\r' || c == '\n' || c == '\0') return false;
    }
    text.remove_prefix(end + 2);
  }
  return true;
}

// {=========== CS_WEB_INSTANCE

CS_WEB_INSTANCE::CS_WEB_INSTANCE(CServerWEB* server) : server_(server), budget_(0, 0) {}

CS_WEB_INSTANCE::~CS_WEB_INSTANCE() = default;

void CS_WEB_INSTANCE::Bind(ClientConn* conn, const WebSettings& settings, const std::atomic<bool>* cancel) {
  conn_ = conn;
  settings_ = settings;
  cancel_ = cancel;
  budget_.SetLimits(0, settings.max_script_seconds * 1000);
}

void CS_WEB_INSTANCE::QueueLog(int level, const char* text, const char* category) {
  log_.LogS(level, text, kSource, "CLauchWEB::RunScript", category, 0);
}

void CS_WEB_INSTANCE::CancelCheck(void* self) {
  auto* instance = static_cast<CS_WEB_INSTANCE*>(self);
  if (instance->cancel_ != nullptr && instance->cancel_->load(std::memory_order_relaxed)) {
    instance->interpreter_->exit();
  }
}

bool CS_WEB_INSTANCE::Metered(const std::function<void()>& call, std::string* errors) {
  budget_.Begin(interpreter_.get());
  call();
  const ScriptBudget::Verdict verdict = budget_.End();
  if (verdict == ScriptBudget::Verdict::kWithinBudget) return true;
  *errors += std::string("CS_Scripting::run() = ") + BudgetVerdictText(verdict);
  return false;
}

bool CS_WEB_INSTANCE::Load(const std::string& path, std::string* errors) {
  path_ = path;
  ran_ = false;
  interpreter_ = std::make_unique<Interpreter>();
  Interpreter* in = interpreter_.get();
  in->SetScriptPath(path.c_str());
  // Under the budget's own hook, which calls this one at every checkpoint.
  in->setThreadFunction(&CancelCheck);
  in->setThreadFunctionPramn(this);
  RegisterWebScriptClass(in);
  std::unique_ptr<char, FreeText> text(in->PreProcessorRAM(path.c_str()));
  if (!text) {
    *errors = "WEB Script Error: parse return data null";
    return false;
  }
  SetClassScript(in);
  in->addExternVariable("$_this", new ExternVariable<CS_WEB_INSTANCE*>(&self_));
  bool loaded = false;
  const bool within = Metered([&] { loaded = in->loadbyram(text.get()) != 0; }, errors);
  // Stamped after the build: a file changed while it was read is built
  // again at the next request that finds it changed once more.
  sources_.clear();
  for (const std::string& source : in->source_files()) sources_.push_back(FileStamp::Of(source));
  *errors = in->BuildAllLog() + *errors;
  return loaded && within && errors->empty();
}

bool CS_WEB_INSTANCE::Run(std::string* errors) {
  Interpreter* in = interpreter_.get();
  globals_ = ScriptGlobalVariables();
  // A page that served a request before starts from its top-level values.
  bool within = !ran_ || Metered([in] { in->Reset(); }, errors);
  ran_ = true;
  if (within && in->BuildAllLog()[0] == '\0') within = Metered([in] { in->run(kPageFunction); }, errors);
  *errors = in->BuildAllLog() + *errors;
  return within && errors->empty();
}

bool CS_WEB_INSTANCE::SourcesUnchanged() const {
  for (const FileStamp& source : sources_) {
    if (!(FileStamp::Of(source.path) == source)) return false;
  }
  return !sources_.empty();
}

// }===========
// {=========== RunScript

namespace {

// A compiled page of `path` for the request, kept or new; null with the
// diagnostics in *errors when it does not build.
std::unique_ptr<CS_WEB_INSTANCE> PageFor(ClientConn* conn, CServerWEB* server, const std::string& path,
                                         const WebSettings& settings, const std::atomic<bool>* cancel,
                                         std::string* errors) {
  std::unique_ptr<CS_WEB_INSTANCE> page = server->pages().Take(path);
  if (page != nullptr) {
    page->Bind(conn, settings, cancel);
    return page;
  }
  page = std::make_unique<CS_WEB_INSTANCE>(server);
  page->Bind(conn, settings, cancel);
  const bool built = page->Load(path, errors);
  server->log().Merge(page->log(), 0);
  return built ? std::move(page) : nullptr;
}

}  // namespace

std::string RunScript(ClientConn* conn, CServerWEB* server, const std::string& target, const WebSettings& settings,
                      const std::atomic<bool>* cancel) {
  const int fd = OpenBeneath(settings.document_root, target);
  if (fd < 0) {
    conn->status = 404;
    return CServerWEB::GetPageError(404, conn->request.keep_alive, "", settings.security_headers);
  }
  // The page's own name, as the confined open found it: includes resolve
  // next to it.
  char path[PATH_MAX];
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t length = readlink(self.c_str(), path, sizeof path - 1);
  close(fd);
  if (length <= 0) {
    conn->status = 404;
    return CServerWEB::GetPageError(404, conn->request.keep_alive, "", settings.security_headers);
  }
  path[length] = '\0';
  conn->output.clear();
  conn->extra_headers.clear();
  conn->redirect.clear();
  conn->status = 200;
  std::string errors;
  std::unique_ptr<CS_WEB_INSTANCE> page = PageFor(conn, server, path, settings, cancel, &errors);
  const bool ran = page != nullptr && page->Run(&errors);
  if (page != nullptr) {
    server->log().Merge(page->log(), 0);
    page->Bind(nullptr, settings, nullptr);
  }
  if (!ran) {
    server->log().LogS(kLogError, ("WEB Script Error: " + errors).c_str(), kSource, "CLauchWEB::RunScript",
                       log_type::kWeb, 0);
    return ErrorAnswer(conn, errors, settings);
  }
  server->pages().Give(std::move(page));
  if (!conn->redirect.empty()) conn->status = 302;
  HeaderOptions options;
  options.status = CServerWEB::StatusText(conn->status);
  options.content_length = conn->output.size();
  options.keep_alive = conn->request.keep_alive;
  options.content_type = conn->out_type;
  options.extra_headers = conn->extra_headers;
  options.location = conn->redirect;
  options.no_cache = true;
  options.security_headers = settings.security_headers;
  return CServerWEB::CreateHeaderRes(options) + (conn->redirect.empty() ? conn->output : "");
}

// }===========
// {=========== CS_WEB_SCRIPT

CS_WEB_SCRIPT::CS_WEB_SCRIPT(CS_WEB_INSTANCE* instance) : CS_ScriptCommon(instance), instance_(instance) {}

const char* CS_WEB_SCRIPT::Keep(std::string text) {
  text_ = std::move(text);
  return text_.c_str();
}

void CS_WEB_SCRIPT::echo(const char* text) {
  if (conn() != nullptr && text != nullptr) conn()->output += text;
}

const char* CS_WEB_SCRIPT::includeHTML(const char* path, int mode) {
  if (conn() == nullptr || path == nullptr) return Keep("");
  std::string bytes;
  if (ReadWebFile(instance_->settings().document_root, path, kMaxWebFileBytes, &bytes) != WebFile::kRead) {
    return Keep("");
  }
  if (mode != 1) return Keep(std::move(bytes));
  conn()->output += bytes;
  return Keep("");
}

const char* CS_WEB_SCRIPT::CGI_GET_VAR(const char* name) {
  return Keep(conn() != nullptr ? ValueOf(conn()->request.get_vars, name) : "");
}

const char* CS_WEB_SCRIPT::CGI_POST_VAR(const char* name) {
  return Keep(conn() != nullptr ? ValueOf(conn()->request.post_vars, name) : "");
}

const char* CS_WEB_SCRIPT::CGI_COOKIE_VAR(const char* name) {
  return Keep(conn() != nullptr ? ValueOf(conn()->request.cookies, name) : "");
}

int CS_WEB_SCRIPT::CGI_TO_ARRAY(CS_Array* array, const char* which) {
  if (conn() == nullptr || array == nullptr || which == nullptr) return 0;
  const std::string set = Lower(which);
  const HttpVariables* vars = set == "get"       ? &conn()->request.get_vars
                              : set == "post"    ? &conn()->request.post_vars
                              : set == "cookies" ? &conn()->request.cookies
                                                 : nullptr;
  if (vars == nullptr) return 0;
  for (const auto& [name, value] : *vars) array->AddValueS(name.c_str(), value.c_str());
  return 1;
}

const char* CS_WEB_SCRIPT::GETENV(const char* name) {
  if (conn() == nullptr || name == nullptr) return Keep("");
  const HttpRequest& request = conn()->request;
  const std::string_view asked = name;
  if (asked == "REMOTE_ADDR") return Keep(conn()->client_ip);
  if (asked == "HTTP_ACCEPT_LANGUAGE") return Keep(request.accept_language);
  if (asked == "HTTP_USER_AGENT") return Keep(request.user_agent);
  if (asked == "HTTP_HOST") return Keep(request.host);
  if (asked == "REQUEST_METHOD") return Keep(request.method);
  if (asked == "DOCUMENT_ROOT") return Keep(instance_->settings().document_root);
  return Keep("");
}

int CS_WEB_SCRIPT::HeaderOption(const char* text) {
  if (conn() == nullptr || text == nullptr || !IsHeaderLines(text)) return 0;
  conn()->extra_headers = text;
  return 1;
}

int CS_WEB_SCRIPT::HeaderRedirect(const char* location) {
  if (conn() == nullptr || location == nullptr || HasLineBreak(location)) return 0;
  conn()->redirect = location;
  return 1;
}

int CS_WEB_SCRIPT::HeaderContentType(const char* type) {
  if (conn() == nullptr || type == nullptr || *type == '\0' || HasLineBreak(type)) return 0;
  conn()->out_type = type;
  return 1;
}

int CS_WEB_SCRIPT::HeaderStatus(int code) {
  if (conn() == nullptr || code == 302 || !CServerWEB::HasStatusText(code)) return 0;
  conn()->status = code;
  return 1;
}

int CS_WEB_SCRIPT::SetCookie(const char* name, const char* value, int expires, const char* path,
                             const char* domain, const char* attributes) {
  if (conn() == nullptr || name == nullptr || *name == '\0') return 0;
  const char* cookie_path = path != nullptr && *path != '\0' ? path : "/";
  if (!IsCookieName(cookie_path) || (domain != nullptr && !IsCookieName(domain))) return 0;
  std::string line = "Set-Cookie: " + URLEncodeText(name) + "=" + URLEncodeText(value != nullptr ? value : "") +
                     "; path=" + cookie_path;
  if (domain != nullptr && *domain != '\0') line += std::string("; domain=") + domain;
  if (expires >= 1) {
    String date;
    MakeDataGMT(&date, expires);
    line += std::string("; expires=") + date.GetData();
  }
  line += CookieAttributes(attributes);
  conn()->extra_headers += line + "\r\n";
  return 1;
}

const char* CS_WEB_SCRIPT::HtmlEscape(const char* text) { return Keep(::HtmlEscape(text != nullptr ? text : "")); }

const char* CS_WEB_SCRIPT::JsonQuote(const char* text) { return Keep(::JsonQuote(text != nullptr ? text : "")); }

// }===========

void RegisterWebScriptClass(Interpreter* in) {
  using script_common_detail::Bind;
  using Web = CS_WEB_SCRIPT;
  auto* cls = new ExternClass<Web, CS_WEB_INSTANCE*>(nullptr);
  Bind(cls, "echo", &Web::echo);
  Bind(cls, "Echo", &Web::echo);
  Bind(cls, "includeHTML", &Web::includeHTML, ",1");
  Bind(cls, "CGI_GET_VAR", &Web::CGI_GET_VAR);
  Bind(cls, "CGI_POST_VAR", &Web::CGI_POST_VAR);
  Bind(cls, "CGI_COOKIE_VAR", &Web::CGI_COOKIE_VAR);
  Bind(cls, "CGI_TO_ARRAY", &Web::CGI_TO_ARRAY);
  Bind(cls, "GETENV", &Web::GETENV);
  Bind(cls, "HeaderOption", &Web::HeaderOption);
  Bind(cls, "HeaderRedirect", &Web::HeaderRedirect);
  Bind(cls, "HeaderContentType", &Web::HeaderContentType);
  Bind(cls, "HeaderStatus", &Web::HeaderStatus);
  Bind(cls, "SetCookie", &Web::SetCookie, ",0,0,0,0,0");
  Bind(cls, "HtmlEscape", &Web::HtmlEscape);
  Bind(cls, "JsonQuote", &Web::JsonQuote);
  Bind(cls, "GetConfig", &CS_ScriptCommon::GetConfigInSection, ",0");
  RegisterCommonFunctions(cls);
  in->addExternClass("CS_WEB_SCRIPT", cls);
  addFunction(in, "CGI_SESSION_START", &SessionStart, ",0");
  addFunction(in, "CGI_SESSION_NEW", &SessionNew);
  addFunction(in, "CGI_SESSION_DELETE", &SessionDelete);
  addFunction(in, "CGI_SESSION_VAR", &SessionVar);
  addFunction(in, "CGI_SESSION_WRITE_VAR", &SessionWriteVar);
}
