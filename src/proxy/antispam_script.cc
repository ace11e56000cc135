// antispam_script - building a worker's antispam scripts, raising session
// events in them, and the functions CS_ANTISPAM_SCRIPT gives them over the
// session and the core's engines (see antispam_script.h).
#include "proxy/antispam_script.h"

#include <strings.h>
#include <sys/socket.h>

#include <algorithm>

#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "base/utility.h"
#include "engines/dns_wire.h"
#include "proxy/proxy_core.h"
#include "script/externs.h"
#include "scriptlib/library_classes.h"

namespace {

// The script function told of every change of a shared variable, as
// (string name, string value).
constexpr const char kNotificationEvent[] = "NotificationGlobalVariable";
// Log level and category of a script's run-time error.

constexpr std::string_view kSubjectName = "Subject:";

// Where the header block of a message ends: the position after its last
// header line's CR LF (before the blank line), 0 when the message starts
// with the blank line, npos when it has no blank line at all (all header).
size_t HeaderBlockEnd(std::string_view message) {
  if (message.substr(0, 2) == "\r\n") return 0;
  const size_t blank = message.find("\r\n\r\n");
  return blank == std::string_view::npos ? blank : blank + 2;
}

// The position of the first "Subject:" header (any case) that starts a
// line of `header`; npos when there is none.
size_t FindSubject(std::string_view header) {
  for (size_t line = 0; line < header.size();) {
    if (header.size() - line >= kSubjectName.size() &&
        strncasecmp(header.data() + line, kSubjectName.data(), kSubjectName.size()) == 0)
      return line;
    const size_t end = header.find("\r\n", line);
    if (end == std::string_view::npos) break;
    line = end + 2;
  }
  return std::string_view::npos;
}

// True when the header line at `line` of `header` is a field `name`:
// the name in any case, then a colon (blanks before it allowed).
bool IsField(std::string_view header, size_t line, std::string_view name) {
  if (header.size() - line <= name.size() || strncasecmp(header.data() + line, name.data(), name.size()) != 0) {
    return false;
  }
  const size_t colon = header.find_first_not_of(" \t", line + name.size());
  return colon != std::string_view::npos && header[colon] == ':';
}

// Where the header line at `line` ends with its folded continuation
// lines: past the CR LF of the last of them, or `header`'s end.
size_t FieldEnd(std::string_view header, size_t line) {
  size_t end = line;
  do {
    const size_t crlf = header.find("\r\n", end);
    if (crlf == std::string_view::npos) return header.size();
    end = crlf + 2;
  } while (end < header.size() && (header[end] == ' ' || header[end] == '\t'));
  return end;
}

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// The file part of a "number|file" script entry: what follows its first
// "|", or the whole entry when it has none.
std::string EntryFile(const String& entry) {
  const std::string_view text = entry.View();
  const size_t bar = text.find('|');
  return std::string(bar == std::string_view::npos ? text : text.substr(bar + 1));
}

// Frees a preprocessed text when it goes out of scope.
struct FreeText {
  void operator()(char* text) const { free(text); }
};

// 1 when `address` is in `ranges`; 0 without either.
int InRanges(CIPNET* ranges, const char* address) {
  return ranges != nullptr && address != nullptr ? ranges->IsValidIPintheRange(address) : 0;
}

// `socket`'s peer address, dotted; "" when unknown.
String PeerAddress(const CSocketComm& socket) {
  String dotted("");
  const uint32_t address = socket.GetIP();
  if (address != 0) CSocketComm::GetIPFromLong(&dotted, address);
  return dotted;
}

}  // namespace

// {=========== CS_PROXY_ANTISPAM_INSTANCE

template <typename Body>
void CS_PROXY_ANTISPAM_INSTANCE::Metered(AntispamScriptSlot* slot, const char* what, Body body) {
  budget_.Begin(slot->interpreter.get());
  body();
  const ScriptBudget::Verdict verdict = budget_.End();
  if (verdict != ScriptBudget::Verdict::kCpuSpent && verdict != ScriptBudget::Verdict::kTimeSpent) return;
  slot->good = false;
  overrun_ = true;
  if (context_.log == nullptr) return;
  String line;
  line.Format("-- ERROR SCRIPT: %s in %s %s --", OrEmpty(slot->file.GetData()), what, BudgetVerdictText(verdict));
  context_.log->LogS(kLogError, line, OrEmpty(slot->file.GetData()), "", log_type::kScript, ConnectionId());
}

bool CS_PROXY_ANTISPAM_INSTANCE::TakeOverrun() {
  const bool overrun = overrun_;
  overrun_ = false;
  return overrun;
}

CS_PROXY_ANTISPAM_INSTANCE::CS_PROXY_ANTISPAM_INSTANCE() = default;

CS_PROXY_ANTISPAM_INSTANCE::~CS_PROXY_ANTISPAM_INSTANCE() = default;

std::shared_ptr<const AntispamPolicy> CS_PROXY_ANTISPAM_INSTANCE::CompilePolicy(const CArray<String>& entries) {
  DeleteScript();
  auto policy = std::make_shared<AntispamPolicy>();
  for (int i = 0; i < entries.GetSize(); ++i) {
    AntispamPolicy::Script script;
    script.file = String((std::string(kScriptDir) + EntryFile(entries[i])).c_str());
    AntispamScriptSlot slot;
    slot.file = script.file;
    String path;
    MakeAppPath(&path, script.file.GetData());
    CompileFile(&slot, path, &script.text);
    script.error = slot.interpreter->BuildAllLog();
    script.good = slot.good && script.error.empty();
    if (!script.good) script.text.clear();
    policy->scripts.push_back(std::move(script));
    MakeCurrent(nullptr);  // the slot ends here
  }
  return policy;
}

bool CS_PROXY_ANTISPAM_INSTANCE::InitScript(std::shared_ptr<const AntispamPolicy> policy, bool keep) {
  // Scripts cached from an older policy make way for the new one.
  if (!keep || policy != policy_) DeleteScript();
  if (policy == nullptr || policy->scripts.empty()) return false;
  if (slots_.empty()) {
    policy_ = std::move(policy);
    slots_.resize(policy_->scripts.size());
    for (size_t i = 0; i < slots_.size(); ++i) {
      slots_[i].source = &policy_->scripts[i];
      slots_[i].file = slots_[i].source->file;
      slots_[i].interpreter = std::make_unique<Interpreter>();
    }
    MakeCurrent(&slots_.front());
    return true;
  }
  // A new connection for cached scripts: nothing shared survives it, and
  // each script starts from its top-level values again.
  globals_ = ScriptGlobalVariables();
  for (AntispamScriptSlot& slot : slots_) {
    if (!slot.compiled || !slot.good) continue;
    MakeCurrent(&slot);
    ScriptDomainHolds holds;  // the top-level code runs again
    Metered(&slot, "its top level", [&slot] { slot.interpreter->Reset(); });
  }
  MakeCurrent(&slots_.front());
  return false;
}

void CS_PROXY_ANTISPAM_INSTANCE::CompileScripts(bool recompile_all) {
  for (AntispamScriptSlot& slot : slots_) {
    if (recompile_all || !slot.compiled) Compile(&slot);
  }
  MakeCurrent(slots_.empty() ? nullptr : &slots_.front());
}

void CS_PROXY_ANTISPAM_INSTANCE::Compile(AntispamScriptSlot* slot) {
  String path;
  MakeAppPath(&path, slot->file.GetData());
  Interpreter* in = FreshInterpreter(slot, path.GetData());
  if (!slot->source->good) {
    // Why was logged when the policy was compiled, unless it has a message.
    const std::string& reason = slot->source->error;
    in->LogMessage(!reason.empty() ? reason : "CS_Scripting::load() = \"" + path.ToStdString() + "\" not loaded");
    slot->good = false;
    return;
  }
  LoadText(slot, slot->source->text.c_str());
}

bool CS_PROXY_ANTISPAM_INSTANCE::CheckScript(const char* path) {
  DeleteScript();
  if (path == nullptr) return false;
  slots_.resize(1);
  slots_.front().file = path;
  CompileFile(&slots_.front(), String(path), nullptr);
  return slots_.front().good;
}

void CS_PROXY_ANTISPAM_INSTANCE::CompileFile(AntispamScriptSlot* slot, const String& path, std::string* text) {
  Interpreter* in = FreshInterpreter(slot, path.GetData());
  std::unique_ptr<char, FreeText> preprocessed(in->PreProcessorRAM(path.GetData()));
  if (!preprocessed) {
    // A directive error was logged already; an unreadable file was not.
    const std::string reason = in->BuildAllLog();
    in->LogMessage(!reason.empty() ? reason
                                   : "CS_Scripting::load() = can't open \"" + path.ToStdString() + "\" file");
    slot->good = false;
    return;
  }
  if (text != nullptr) *text = preprocessed.get();
  LoadText(slot, preprocessed.get());
}

Interpreter* CS_PROXY_ANTISPAM_INSTANCE::FreshInterpreter(AntispamScriptSlot* slot, const char* path) {
  slot->interpreter = std::make_unique<Interpreter>();
  slot->compiled = true;
  slot->good = true;
  Interpreter* in = slot->interpreter.get();
  in->SetScriptPath(path);
  RegisterAntispamScriptClass(in);
  return in;
}

void CS_PROXY_ANTISPAM_INSTANCE::LoadText(AntispamScriptSlot* slot, const char* text) {
  Interpreter* in = slot->interpreter.get();
  SetClassScript(in);
  in->addExternVariable("$_this", new ExternVariable<CS_PROXY_ANTISPAM_INSTANCE*>(&self_));
  MakeCurrent(slot);  // the top-level code runs while loading
  ScriptDomainHolds holds;
  bool loaded = false;
  Metered(slot, "its top level", [&] { loaded = in->loadbyram(text) != 0; });
  if (!loaded) slot->good = false;
}

void CS_PROXY_ANTISPAM_INSTANCE::DeleteScript() {
  MakeCurrent(nullptr);
  slots_.clear();
  policy_.reset();
  globals_ = ScriptGlobalVariables();
}

bool CS_PROXY_ANTISPAM_INSTANCE::HasBadScript() const {
  for (const AntispamScriptSlot& slot : slots_) {
    if (!slot.good) return true;
  }
  return false;
}

int CS_PROXY_ANTISPAM_INSTANCE::run(const char* name) { return Dispatch(name, nullptr, nullptr); }

int CS_PROXY_ANTISPAM_INSTANCE::run(const char* name, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int result = Dispatch(name, format, &args);
  va_end(args);
  return result;
}

int CS_PROXY_ANTISPAM_INSTANCE::Dispatch(const char* name, const char* format, va_list* args) {
  if (slots_.empty()) return 1;
  int result = 0;
  for (AntispamScriptSlot& slot : slots_) {
    if (name == nullptr || !slot.compiled || !slot.good || !slot.interpreter->isExist(name)) continue;
    result |= CallIn(&slot, name, format, args);
    if (slot.good) {
      AnnounceChanges(&slot);
    } else {
      globals_.TakeChanges();  // a failed call's changes are not announced
    }
  }
  return result;
}

int CS_PROXY_ANTISPAM_INSTANCE::CallIn(AntispamScriptSlot* slot, const char* name, const char* format,
                                       va_list* args) {
  MakeCurrent(slot);
  // A domain lock the script took and kept is released when its call ends.
  ScriptDomainHolds holds;
  int result = 0;
  Metered(slot, name, [&] {
    if (args == nullptr) {
      result = slot->interpreter->run(name);
      return;
    }
    // Every script of the event reads the same arguments.
    va_list copy;
    va_copy(copy, *args);
    result = slot->interpreter->vrun(name, format, copy);
    va_end(copy);
  });
  CollectErrors(slot);
  return result;
}

void CS_PROXY_ANTISPAM_INSTANCE::AnnounceChanges(const AntispamScriptSlot* caller) {
  const std::map<std::string, std::string> changes = globals_.TakeChanges();
  if (changes.empty()) return;
  for (AntispamScriptSlot& other : slots_) {
    if (&other == caller || !other.compiled || !other.good || !other.interpreter->isExist(kNotificationEvent)) {
      continue;
    }
    MakeCurrent(&other);
    for (const auto& [name, value] : changes) {
      ScriptDomainHolds holds;
      Metered(&other, kNotificationEvent, [&] {
        other.interpreter->run(kNotificationEvent, "string,string", name.c_str(), value.c_str());
      });
      if (!CollectErrors(&other) || !other.good) break;
    }
  }
  // What the notified scripts set in turn is dropped: announcing it would
  // let two scripts answer each other for ever.
  globals_.TakeChanges();
  MakeCurrent(caller);
}

bool CS_PROXY_ANTISPAM_INSTANCE::CollectErrors(AntispamScriptSlot* slot) {
  const char* errors = slot->interpreter->BuildAllLog();
  if (*errors == '\0') return true;
  slot->good = false;
  if (context_.log != nullptr) {
    context_.log->LogS(kLogError, errors, OrEmpty(slot->file.GetData()), "", log_type::kScript,
                       ConnectionId());
  }
  return false;
}

void CS_PROXY_ANTISPAM_INSTANCE::MakeCurrent(const AntispamScriptSlot* slot) {
  current_slot_ = slot;
  current_ = slot != nullptr ? slot->interpreter.get() : nullptr;
}

int CS_PROXY_ANTISPAM_INSTANCE::ConnectionId() const {
  return context_.session != nullptr ? context_.session->id : 0;
}

void CS_PROXY_ANTISPAM_INSTANCE::QueueLog(int level, const char* text, const char* category) {
  if (context_.log == nullptr) return;
  const char* source = current_slot_ != nullptr ? OrEmpty(current_slot_->file.GetData()) : "";
  context_.log->LogS(level, text, source, "", category, ConnectionId());
}

CFileINI* CS_PROXY_ANTISPAM_INSTANCE::Configuration() { return FromCore(&CTorvaneCore::config); }

CDns* CS_PROXY_ANTISPAM_INSTANCE::Resolver() { return FromCore(&CTorvaneCore::dns); }

CGreyList* CS_PROXY_ANTISPAM_INSTANCE::GreyList() { return FromCore(&CTorvaneCore::grey_list); }

CAutoLightWhiteList* CS_PROXY_ANTISPAM_INSTANCE::WhiteList() { return FromCore(&CTorvaneCore::alwl); }

CDnsBL* CS_PROXY_ANTISPAM_INSTANCE::BlockLists() { return FromCore(&CTorvaneCore::dnsbl); }

CLocalDomain* CS_PROXY_ANTISPAM_INSTANCE::LocalDomains() { return FromCore(&CTorvaneCore::local_domains); }

CS_Torvane_kernel* CS_PROXY_ANTISPAM_INSTANCE::PersistentObjects() { return FromCore(&CTorvaneCore::kernel); }

void CS_PROXY_ANTISPAM_INSTANCE::EndWorkUnit() {
  SmtpSession* session = context_.session;
  if (session == nullptr) return;
  session->close_after_queue = true;
  if (session->client != nullptr) session->client->CloseComm();
  if (session->mta != nullptr) session->mta->CloseComm();
}

// }===========

// {=========== CS_ANTISPAM_SCRIPT: connection and relay control

CS_ANTISPAM_SCRIPT::CS_ANTISPAM_SCRIPT(CS_PROXY_ANTISPAM_INSTANCE* instance)
    : CS_ScriptCommon(instance), instance_(instance) {}

SmtpSession* CS_ANTISPAM_SCRIPT::session() const {
  return instance_ != nullptr ? instance_->context().session : nullptr;
}

CTorvaneCore* CS_ANTISPAM_SCRIPT::core() const {
  return instance_ != nullptr ? instance_->context().core : nullptr;
}

const char* CS_ANTISPAM_SCRIPT::GetClientIP() {
  SmtpSession* s = session();
  if (s == nullptr) return results_.Keep(Text::kClientIp, "");
  if (s->client_address.IsEmpty() && s->client != nullptr) s->client_address = PeerAddress(*s->client);
  return results_.Keep(Text::kClientIp, s->client_address);
}

const char* CS_ANTISPAM_SCRIPT::GetClientReverseDns() {
  SmtpSession* s = session();
  return results_.Keep(Text::kReverse, s != nullptr ? s->reverse_name : String(""));
}

int CS_ANTISPAM_SCRIPT::IsTlsSession() {
  SmtpSession* s = session();
  return s != nullptr && s->client_tls != nullptr ? 1 : 0;
}

const char* CS_ANTISPAM_SCRIPT::GetTlsProtocol() {
  SmtpSession* s = session();
  const std::string protocol = s != nullptr && s->client_tls != nullptr ? s->client_tls->Protocol() : "";
  return results_.Keep(Text::kTlsProtocol, String(std::string_view(protocol)));
}

const char* CS_ANTISPAM_SCRIPT::GetTlsCipher() {
  SmtpSession* s = session();
  const std::string cipher = s != nullptr && s->client_tls != nullptr ? s->client_tls->Cipher() : "";
  return results_.Keep(Text::kTlsCipher, String(std::string_view(cipher)));
}

const char* CS_ANTISPAM_SCRIPT::GetMTAIP() {
  SmtpSession* s = session();
  return results_.Keep(Text::kMtaIp, s != nullptr && s->mta != nullptr ? PeerAddress(*s->mta) : String(""));
}

int CS_ANTISPAM_SCRIPT::ConnectToDefaultMTA() {
  SmtpSession* s = session();
  CTorvaneCore* c = core();
  CSmtpBilancimento* balancer = c != nullptr ? c->balancer() : nullptr;
  if (s == nullptr || balancer == nullptr) return 0;
  const std::shared_ptr<const SessionSettings> settings = c->Settings();
  CSmtpBilancimento::ConnectRequest request;
  request.connection_id = s->id;
  request.adapter_ip = settings->adapter_ip.GetData();
  request.greeting_timeout_ms = settings->mta_greeting_timeout * 1000;
  request.log = instance_->context().log;
  request.stats = c->statistics();
  CSmtpBilancimento::SereverSMTP server;
  if (!balancer->ConnectToDefaultMTA(s->PrepareMta(), request, &server)) return 0;
  s->MtaConnected(request.adapter_ip);
  s->mta_name = server.host;
  s->mta_replace_name = server.replace_name;
  return 1;
}

int CS_ANTISPAM_SCRIPT::ConnectToMTA(const char* host, const char* port) {
  SmtpSession* s = session();
  if (s == nullptr || host == nullptr || port == nullptr) return 0;
  // Without a core there is no configured adapter: the host's own address.
  CTorvaneCore* c = core();
  const std::shared_ptr<const SessionSettings> settings = c != nullptr ? c->Settings() : nullptr;
  const char* adapter = settings != nullptr ? settings->adapter_ip.GetData() : nullptr;
  CSocketComm* mta = s->PrepareMta();
  if (!mta->ConnectTo(host, port, AF_INET, SOCK_STREAM, adapter)) return 0;
  s->MtaConnected(adapter);
  return 1;
}

const char* CS_ANTISPAM_SCRIPT::GetNameServerMTA() {
  SmtpSession* s = session();
  return results_.Keep(Text::kMtaName, s != nullptr ? s->mta_name : String(""));
}

const char* CS_ANTISPAM_SCRIPT::GetReplaceNameServerMTA() {
  SmtpSession* s = session();
  return results_.Keep(Text::kMtaReplaceName, s != nullptr ? s->mta_replace_name : String(""));
}

void CS_ANTISPAM_SCRIPT::InjectionExtensionMTA(const char* text) {
  SmtpSession* s = session();
  if (s != nullptr && text != nullptr) s->extension_injection.append(text);
}

void CS_ANTISPAM_SCRIPT::DropExtensionMTA(const char* text) {
  SmtpSession* s = session();
  if (s == nullptr || text == nullptr || *text == '\0') return;
  if (!s->extension_drop.IsEmpty()) s->extension_drop.append('\n');
  s->extension_drop.append(text);
}

void CS_ANTISPAM_SCRIPT::SendToMTA(const char* text) {
  SmtpSession* s = session();
  if (s != nullptr && text != nullptr && s->HasMta()) s->to_mta.append(text);
}

void CS_ANTISPAM_SCRIPT::SendToClient(const char* text) {
  SmtpSession* s = session();
  if (s == nullptr || text == nullptr || !s->HasClient()) return;
  // One reply: text from a DNS answer or a message cannot add one.
  s->to_client.append(String(std::string_view(SingleReply(text))));
  ++s->script_replies;
  s->line_ready = true;  // answered here: the next command need not wait for the MTA
}

void CS_ANTISPAM_SCRIPT::DropBufferToMTA() {
  SmtpSession* s = session();
  if (s == nullptr) return;
  s->current_line.clear();
  s->to_mta.clear();
  s->from_client.clear();
  s->state = SmtpSession::kCommandMode;
}

void CS_ANTISPAM_SCRIPT::DropBufferToClient() {
  SmtpSession* s = session();
  if (s == nullptr) return;
  s->to_client.clear();
  s->from_mta.clear();
}

void CS_ANTISPAM_SCRIPT::CloseClientConnAfterSendingQueue() {
  if (SmtpSession* s = session()) s->close_after_queue = true;
}

void CS_ANTISPAM_SCRIPT::CloseClientConnection() {
  SmtpSession* s = session();
  if (s != nullptr && s->client != nullptr) s->client->CloseComm();
}

void CS_ANTISPAM_SCRIPT::CloseMTAConnection() {
  SmtpSession* s = session();
  if (s != nullptr && s->mta != nullptr) s->mta->CloseComm();
}

void CS_ANTISPAM_SCRIPT::CloseAllConnection() {
  CloseClientConnection();
  CloseMTAConnection();
}

int CS_ANTISPAM_SCRIPT::ClientIsRelay() {
  SmtpSession* s = session();
  return s != nullptr && s->relay_client ? 1 : 0;
}

int CS_ANTISPAM_SCRIPT::GetErrorCountRFC() {
  SmtpSession* s = session();
  return s != nullptr ? s->error_count : 0;
}

void CS_ANTISPAM_SCRIPT::SetErrorCountRFC(int count) {
  if (SmtpSession* s = session()) s->error_count = count;
}

int CS_ANTISPAM_SCRIPT::GetSessionProperty() {
  SmtpSession* s = session();
  return s != nullptr ? s->property : -1;
}

void CS_ANTISPAM_SCRIPT::RegisterSessionProperty(int bits) {
  if (SmtpSession* s = session()) s->property |= bits;
}

// Both edit the header block only (the body may hold anything) and insert
// only one logical line, whatever line breaks the script's text holds.
void CS_ANTISPAM_SCRIPT::WriteHeaderMessages(const char* line) {
  SmtpSession* s = session();
  if (s == nullptr || line == nullptr) return;
  const std::string header = HeaderLine(line);
  if (header.empty()) return;  // an empty line would end the header block
  const std::string_view data = s->data_block.View();
  const size_t header_end = HeaderBlockEnd(data);
  if (header_end == std::string::npos) {
    s->EditDataStart(0, header + "\r\n\r\n");
  } else {
    // The new line becomes the last header.
    s->EditDataStart(header_end, std::string(data.substr(0, header_end)) + header + "\r\n");
  }
}

void CS_ANTISPAM_SCRIPT::ModifyHeaderSubject(const char* text) {
  SmtpSession* s = session();
  if (s == nullptr || text == nullptr) return;
  const std::string tag = HeaderLine(text);
  const std::string_view data = s->data_block.View();
  const size_t header_end = std::min(HeaderBlockEnd(data), data.size());
  std::string header(data.substr(0, header_end));
  const size_t subject = FindSubject(header);
  if (subject == std::string_view::npos) {
    header.insert(0, "Subject: " + tag + "\r\n");
  } else {
    const size_t value = subject + kSubjectName.size();
    const size_t line_end = std::min(header.find("\r\n", value), header.size());
    if (header.find_first_not_of(" \t", value) >= line_end) {
      header.replace(subject, line_end - subject, "Subject: " + tag);  // an empty subject
    } else {
      header.insert(value, " " + tag + " ");
    }
  }
  s->EditDataStart(header_end, header);
}

void CS_ANTISPAM_SCRIPT::RemoveHeaderMessage(const char* name) {
  SmtpSession* s = session();
  const std::string_view field = OrEmpty(name);
  if (s == nullptr || field.empty() || field.find_first_of(": \t\r\n") != std::string_view::npos) return;
  std::string data(s->data_block.View());
  size_t header_end = std::min(HeaderBlockEnd(data), data.size());
  for (size_t line = 0; line < header_end;) {
    const std::string_view header = std::string_view(data).substr(0, header_end);
    const size_t end = FieldEnd(header, line);
    if (IsField(header, line, field)) {
      data.erase(line, end - line);
      header_end -= end - line;
    } else {
      line = end;
    }
  }
  s->data_block = String(std::string_view(data));
}

void CS_ANTISPAM_SCRIPT::StatisticValue(const char* name, int group, int sub_group, float value, int op) {
  CTorvaneCore* c = core();
  if (c != nullptr && c->statistics() != nullptr && name != nullptr) {
    c->statistics()->AddItem(name, group, sub_group, value, op);
  }
}

// }===========

// {=========== CS_ANTISPAM_SCRIPT: address, list and DNS checks

int CS_ANTISPAM_SCRIPT::IsIpInferno(const char* address) {
  CTorvaneCore* c = core();
  CIP_Imbargo* inferno = c != nullptr ? c->inferno() : nullptr;
  return inferno != nullptr && address != nullptr ? inferno->IsIpImbargo(address) : 0;
}

void CS_ANTISPAM_SCRIPT::AddIpInferno(const char* address, int value) {
  CTorvaneCore* c = core();
  CIP_Imbargo* inferno = c != nullptr ? c->inferno() : nullptr;
  if (inferno != nullptr && address != nullptr) inferno->AddIP_Imbargo(address, value);
}

int CS_ANTISPAM_SCRIPT::IsIpWhiteList(const char* address) {
  CTorvaneCore* c = core();
  return InRanges(c != nullptr ? c->dnsbl_white_ranges() : nullptr, address);
}

int CS_ANTISPAM_SCRIPT::IsRelayIp(const char* address) {
  CTorvaneCore* c = core();
  return InRanges(c != nullptr ? c->relay_ranges() : nullptr, address);
}

int CS_ANTISPAM_SCRIPT::IsWhiteIpGreyList(const char* address) {
  CTorvaneCore* c = core();
  return InRanges(c != nullptr ? c->grey_white_ranges() : nullptr, address);
}

int CS_ANTISPAM_SCRIPT::IsIpMaxSession(const char* address) {
  CTorvaneCore* c = core();
  CIP_Session* sessions = c != nullptr ? c->sessions() : nullptr;
  return sessions != nullptr && address != nullptr ? sessions->IsIpInMaxSession(address) : 0;
}

void CS_ANTISPAM_SCRIPT::RegisterSessionIp(const char* address) {
  CTorvaneCore* c = core();
  CIP_Session* sessions = c != nullptr ? c->sessions() : nullptr;
  SmtpSession* s = session();
  if (sessions == nullptr || address == nullptr || s == nullptr ||
      s->registered_addresses.size() >= SmtpSession::kMaxRegisteredAddresses)
    return;
  sessions->AddSession(address);
  s->registered_addresses.emplace_back(address);  // released when the session ends
}

int CS_ANTISPAM_SCRIPT::IsForgetHelo(const char* helo) {
  CTorvaneCore* c = core();
  CHeloForget* forget = c != nullptr ? c->helo_forget() : nullptr;
  return forget != nullptr && helo != nullptr ? forget->IsForgetHelo(helo) : 0;
}

int CS_ANTISPAM_SCRIPT::SPFQuery(const char* address, const char* sender, const char* helo) {
  CTorvaneCore* c = core();
  CSPF* spf = c != nullptr ? c->spf() : nullptr;
  if (spf == nullptr) return kSpfNone;
  if (address == nullptr || sender == nullptr || helo == nullptr) return kSpfNeutral;
  return spf->GetSPFQuery(address, sender, helo);
}

const char* CS_ANTISPAM_SCRIPT::SPFResultString(int code) {
  return instance_ != nullptr ? CSPF::SPFResultString(code) : "";
}

// }===========

// {=========== CS_ANTISPAM_SCRIPT: greylisting

CGreyList* CS_ANTISPAM_SCRIPT::grey_list() const {
  CTorvaneCore* c = core();
  return c != nullptr ? c->grey_list() : nullptr;
}

const char* CS_ANTISPAM_SCRIPT::PrepareTriplesGreyList(const char* recipients, const char* client_address,
                                                       const char* mail_from, const char* empty_sender_substitute,
                                                       const char* client_host_name) {
  CGreyList* engine = grey_list();
  String triples("");
  if (engine != nullptr) {
    engine->PrepareTriples(&triples, recipients, client_address, mail_from, empty_sender_substitute, client_host_name);
  }
  return results_.Keep(Text::kTriples, triples);
}

void CS_ANTISPAM_SCRIPT::AddToGreyList(const char* triples) {
  if (CGreyList* engine = grey_list()) engine->AddGreyList(triples, core()->statistics());
}

int CS_ANTISPAM_SCRIPT::PassGreyList(const char* triples) {
  CGreyList* engine = grey_list();
  return engine != nullptr ? engine->ByPassGreyList(triples, core()->statistics()) : 0;
}

int CS_ANTISPAM_SCRIPT::GetForgedCountGreyList(const char* triples) {
  CGreyList* engine = grey_list();
  return engine != nullptr ? engine->GetForzeMoltiplicatore(triples) : 0;
}

void CS_ANTISPAM_SCRIPT::ResetForgedCountGreyList(const char* triples) {
  if (CGreyList* engine = grey_list()) engine->AzzeraMoltiplicatore(triples);
}

// }===========

// {=========== CS_ANTISPAM_SCRIPT: the message, the configuration

const char* CS_ANTISPAM_SCRIPT::GetEmailRaw() {
  SmtpSession* s = session();
  return results_.Keep(Text::kEmailRaw, s != nullptr ? s->analysed_message : String(""));
}

int CS_ANTISPAM_SCRIPT::GetEmailLen() {
  SmtpSession* s = session();
  return s != nullptr ? s->analysed_message.size() : 0;
}

CParseMail* CS_ANTISPAM_SCRIPT::message() const {
  SmtpSession* s = session();
  return s != nullptr ? &s->parser : nullptr;
}

// The parsed fields stay valid until the session's next message.
const char* CS_ANTISPAM_SCRIPT::GetEmailBody() { return message() ? message()->GetBody() : ""; }
const char* CS_ANTISPAM_SCRIPT::GetEmailHeader() { return message() ? message()->GetHeader() : ""; }
const char* CS_ANTISPAM_SCRIPT::GetEmailSubject() { return message() ? message()->GetSubject() : ""; }
const char* CS_ANTISPAM_SCRIPT::GetEmailMailFrom() { return message() ? message()->GetMailFrom() : ""; }
const char* CS_ANTISPAM_SCRIPT::GetEmailMailTo() { return message() ? message()->GetMailTo() : ""; }
const char* CS_ANTISPAM_SCRIPT::GetEmailContentType() { return message() ? message()->GetContentType() : ""; }
int CS_ANTISPAM_SCRIPT::GetEmailAttachmentCount() { return message() ? message()->GetAttachmentCount() : 0; }
const char* CS_ANTISPAM_SCRIPT::GetEmailAttachmentBuffer(int index) {
  return message() ? message()->GetAttachmentBuffer(index) : "";
}
const char* CS_ANTISPAM_SCRIPT::GetEmailAttachmentContentType(int index) {
  return message() ? message()->GetAttachmentContentType(index) : "";
}

// }===========

// {=========== CS_ANTISPAM_SCRIPT: the Bayes filter

int CS_ANTISPAM_SCRIPT::BayesianCheck(Variable text) {
  CTorvaneCore* c = core();
  CBayes* bayes = c != nullptr ? c->bayes() : nullptr;
  if (bayes == nullptr) return 0;
  CParseMail given;
  CParseMail* mail = message();
  if (text.type() == Variable::kString) {
    given.AddStreaming(std::string_view(text.rawString()));
    given.Parse();
    mail = &given;
  }
  CBayesWord words;
  if (mail == nullptr || mail->HeaderView().empty() || !bayes->ElaborateForVerdict(&words, mail)) {
    return CBayes::kNeutral;
  }
  return bayes->IsSpam(&words, nullptr);
}

int CS_ANTISPAM_SCRIPT::AddToBayesianQuarantine(const char* first, const char* second, int code, Variable mail) {
  CTorvaneCore* c = core();
  CBayes* bayes = c != nullptr ? c->bayes() : nullptr;
  if (bayes == nullptr) return 0;
  CParseMail* chosen = ScriptArg<CParseMail*>::From(mail);
  SmtpSession* s = session();
  if (chosen == nullptr && s != nullptr && s->message_from_start) {
    // The whole message rather than the analysed prefix: filed now when its
    // end has been read, else by the worker once it is.
    s->quarantine.Request({OrEmpty(first), OrEmpty(second), s->parser.GetSubject(), code}, s->ReceivedData(),
                          s->chunked_message);
    if (s->end_of_data != 1) return 1;
    return s->quarantine.File(bayes, c->statistics(), instance_->context().log, s->id);
  }
  if (chosen == nullptr) chosen = message();
  return bayes->AddQuarantena(chosen, first, second, code, c->statistics());
}

// }===========

// {=========== CS_ANTISPAM_SCRIPT: content rules and phishing

float CS_ANTISPAM_SCRIPT::RegularExpressionCheck(CParseMail* mail, CRulesResult* result) {
  CTorvaneCore* c = core();
  CRules* rules = c != nullptr ? c->rules() : nullptr;
  if (rules == nullptr) return 0.0f;
  return rules->IsScoreRules(mail != nullptr ? mail : message(), result);
}

int CS_ANTISPAM_SCRIPT::IsPhishing(CParseMail* mail) {
  fake_phishing_domain_.clear();
  CTorvaneCore* c = core();
  Cphishing* phishing = c != nullptr ? c->phishing() : nullptr;
  SmtpSession* s = session();
  if (phishing == nullptr || s == nullptr) return 0;
  const int spf = SPFQuery(s->client_address, s->mail_from, s->helo_name);
  return phishing->IsPhishing(mail != nullptr ? mail : message(), &fake_phishing_domain_, spf, s->mail_from);
}

const char* CS_ANTISPAM_SCRIPT::GetFakePhishingDomain() {
  return results_.Keep(Text::kFakeDomain, fake_phishing_domain_);
}

// }===========

// {=========== CS_ANTISPAM_SCRIPT: local domains, spam traps, community

CLocalDomain* CS_ANTISPAM_SCRIPT::domains() const {
  CTorvaneCore* c = core();
  return c != nullptr ? c->local_domains() : nullptr;
}

CCommunityTorvane* CS_ANTISPAM_SCRIPT::community() const {
  CTorvaneCore* c = core();
  return c != nullptr ? c->community() : nullptr;
}

int CS_ANTISPAM_SCRIPT::IsLocalDomainByRCPTO(const char* recipient) {
  CLocalDomain* d = domains();
  return d != nullptr && recipient != nullptr ? d->IsLocalDomainByRCPTO(recipient) : -1;
}

int CS_ANTISPAM_SCRIPT::IsWhiteBlackList(const char* recipients, const char* sender) {
  CLocalDomain* d = domains();
  return d != nullptr && recipients != nullptr && sender != nullptr ? d->IsWhiteBlackList(recipients, sender) : -1;
}

int CS_ANTISPAM_SCRIPT::IsSpamLover(const char* recipients) {
  CLocalDomain* d = domains();
  return d != nullptr && recipients != nullptr ? d->IsSpamLover(recipients) : 0;
}

float CS_ANTISPAM_SCRIPT::RecalculatingScoreByUser(float score, float base, const char* recipients) {
  CLocalDomain* d = domains();
  return d != nullptr && recipients != nullptr ? d->RecalcolateScoreByUser(score, base, recipients) : score;
}

int CS_ANTISPAM_SCRIPT::IsSpamTrap(const char* recipients) {
  CTorvaneCore* c = core();
  CSpam_trap* traps = c != nullptr ? c->spam_trap() : nullptr;
  return traps != nullptr && recipients != nullptr ? traps->IsSpamTrap(recipients) : 0;
}

const char* CS_ANTISPAM_SCRIPT::GetSpamTrapResponse() {
  CTorvaneCore* c = core();
  CSpam_trap* traps = c != nullptr ? c->spam_trap() : nullptr;
  return results_.Keep(Text::kTrapReply, traps != nullptr ? traps->GetRisposta() : String(""));
}

void CS_ANTISPAM_SCRIPT::MirelCommunityAnnunce(const char* client_address, const char* client_host,
                                               const char* sender) {
  if (CCommunityTorvane* service = community()) service->CommunityAnnunce(client_address, client_host, sender);
}

float CS_ANTISPAM_SCRIPT::MirelCommunityQuery(const char* client_address, const char* client_host,
                                              const char* sender) {
  CCommunityTorvane* service = community();
  community_answered_ = true;
  return service != nullptr ? service->CommunityQuery(client_address, client_host, sender, &community_answered_)
                            : 0.0f;
}

int CS_ANTISPAM_SCRIPT::IsValidKeyMirelCommunity() {
  CCommunityTorvane* service = community();
  return service != nullptr ? service->IsvalidKey() : 0;
}

const char* CS_ANTISPAM_SCRIPT::MirelCommunityGetEnumStringFormScore(float score) {
  CCommunityTorvane* service = community();
  return service != nullptr ? service->GetResFromScore(score) : "NEUTRAL";
}

int CS_ANTISPAM_SCRIPT::IsLanIp(const char* address) {
  return core() != nullptr ? CCommunityTorvane::IsLanIp(address) : 0;
}

// }===========

// {=========== registration

namespace {

using Antispam = CS_ANTISPAM_SCRIPT;
using AntispamClass = ExternClass<Antispam, CS_PROXY_ANTISPAM_INSTANCE*>;
using script_common_detail::Bind;

void RegisterRelayFunctions(AntispamClass* cls) {
  cls->addMethod("GetClientIP", &Antispam::GetClientIP);
  cls->addMethod("GetClientReverseDns", &Antispam::GetClientReverseDns);
  cls->addMethod("GetMTAIP", &Antispam::GetMTAIP);
  cls->addMethod("IsTlsSession", &Antispam::IsTlsSession);
  cls->addMethod("GetTlsProtocol", &Antispam::GetTlsProtocol);
  cls->addMethod("GetTlsCipher", &Antispam::GetTlsCipher);
  cls->addMethod("ConnectToDefaultMTA", &Antispam::ConnectToDefaultMTA);
  cls->addMethod("ConnectToMTA", &Antispam::ConnectToMTA);
  cls->addMethod("GetNameServerMTA", &Antispam::GetNameServerMTA);
  cls->addMethod("GetReplaceNameServerMTA", &Antispam::GetReplaceNameServerMTA);
  cls->addMethod("InjectionExtensionMTA", &Antispam::InjectionExtensionMTA);
  cls->addMethod("DropExtensionMTA", &Antispam::DropExtensionMTA);
  cls->addMethod("SendToMTA", &Antispam::SendToMTA);
  cls->addMethod("SendToClient", &Antispam::SendToClient);
  cls->addMethod("DropBufferToMTA", &Antispam::DropBufferToMTA);
  cls->addMethod("DropBufferToClient", &Antispam::DropBufferToClient);
  cls->addMethod("CloseClientConnAfterSendingQueue", &Antispam::CloseClientConnAfterSendingQueue);
  cls->addMethod("CloseClientConnection", &Antispam::CloseClientConnection);
  cls->addMethod("CloseMTAConnection", &Antispam::CloseMTAConnection);
  cls->addMethod("CloseAllConnection", &Antispam::CloseAllConnection);
  cls->addMethod("ClientIsRelay", &Antispam::ClientIsRelay);
  cls->addMethod("GetErrorCountRFC", &Antispam::GetErrorCountRFC);
  cls->addMethod("SetErrorCountRFC", &Antispam::SetErrorCountRFC);
  cls->addMethod("GetSessionProperty", &Antispam::GetSessionProperty);
  cls->addMethod("RegisterSessionProperty", &Antispam::RegisterSessionProperty);
}

void RegisterCheckFunctions(AntispamClass* cls) {
  cls->addMethod("IsIpInferno", &Antispam::IsIpInferno);
  cls->addMethod("AddIpInferno", &Antispam::AddIpInferno);
  cls->addMethod("IsIpWhiteList", &Antispam::IsIpWhiteList);
  cls->addMethod("IsRelayIp", &Antispam::IsRelayIp);
  cls->addMethod("IsLanIp", &Antispam::IsLanIp);
  cls->addMethod("IsIpMaxSession", &Antispam::IsIpMaxSession);
  cls->addMethod("RegisterSessionIp", &Antispam::RegisterSessionIp);
  cls->addMethod("IsForgetHelo", &Antispam::IsForgetHelo);
  RegisterLookupFunctions(cls);
  cls->addMethod("SPFQuery", &Antispam::SPFQuery);
  cls->addMethod("SPFResultString", &Antispam::SPFResultString);
}

void RegisterDomainAndCommunityFunctions(AntispamClass* cls) {
  cls->addMethod("IsLocalDomainByRCPT_TO", &Antispam::IsLocalDomainByRCPTO);
  cls->addMethod("IsWhiteBlackList", &Antispam::IsWhiteBlackList);
  cls->addMethod("IsSpamLover", &Antispam::IsSpamLover);
  cls->addMethod("RecalculatingScoreByUser", &Antispam::RecalculatingScoreByUser);
  cls->addMethod("IsSpamTrap", &Antispam::IsSpamTrap);
  cls->addMethod("GetSpamTrapResponse", &Antispam::GetSpamTrapResponse);
  cls->addMethod("MirelCommunityAnnunce", &Antispam::MirelCommunityAnnunce);
  cls->addMethod("MirelCommunityQuery", &Antispam::MirelCommunityQuery);
  cls->addMethod("MirelCommunityLastAnswered", &Antispam::MirelCommunityLastAnswered);
  cls->addMethod("IsValidKeyMirelCommunity", &Antispam::IsValidKeyMirelCommunity);
  cls->addMethod("MirelCommunityGetEnumStringFormScore", &Antispam::MirelCommunityGetEnumStringFormScore);
}

void RegisterFilterFunctions(AntispamClass* cls) {
  Bind(cls, "AddALWL", &CS_ScriptCommon::AddALWL);
  Bind(cls, "IsALWL", &CS_ScriptCommon::IsALWL);
  Bind(cls, "ViewALWLDB", &CS_ScriptCommon::ViewALWLDB, ",100,0,0,0");
  cls->addMethod("IsWhiteIpGreyList", &Antispam::IsWhiteIpGreyList);
  cls->addMethod("PrepareTriplesGreyList", &Antispam::PrepareTriplesGreyList);
  cls->addMethod("PassGreyList", &Antispam::PassGreyList);
  cls->addMethod("AddToGreyList", &Antispam::AddToGreyList);
  cls->addMethod("GetForgedCountGreyList", &Antispam::GetForgedCountGreyList);
  cls->addMethod("ResetForgedCountGreyList", &Antispam::ResetForgedCountGreyList);
  Bind(cls, "ViewGreyListDB", &CS_ScriptCommon::ViewGreyListDB, ",100,0,0,0");
  cls->addMethod("BayesianCheck", &Antispam::BayesianCheck, "0");
  cls->addMethod("AddToBayesianQuarantine", &Antispam::AddToBayesianQuarantine, ",,,0");
  cls->addMethod("RegularExpressionCheck", &Antispam::RegularExpressionCheck, "0,0");
  cls->addMethod("IsPhishing", &Antispam::IsPhishing);
  cls->addMethod("GetFakePhishingDomain", &Antispam::GetFakePhishingDomain);
}

void RegisterMessageFunctions(AntispamClass* cls) {
  cls->addMethod("GetEmailBody", &Antispam::GetEmailBody);
  cls->addMethod("GetEmailHeader", &Antispam::GetEmailHeader);
  cls->addMethod("GetEmailSubject", &Antispam::GetEmailSubject);
  cls->addMethod("GetEmailMailFrom", &Antispam::GetEmailMailFrom);
  cls->addMethod("GetEmailMailTo", &Antispam::GetEmailMailTo);
  cls->addMethod("GetEmailContentType", &Antispam::GetEmailContentType);
  cls->addMethod("GetEmailRaw", &Antispam::GetEmailRaw);
  cls->addMethod("GetEmailAttachmentCount", &Antispam::GetEmailAttachmentCount);
  cls->addMethod("GetEmailLen", &Antispam::GetEmailLen);
  cls->addMethod("GetEmailAttachmentBuffer", &Antispam::GetEmailAttachmentBuffer);
  cls->addMethod("GetEmailAttachmentContentType", &Antispam::GetEmailAttachmentContentType);
}

}  // namespace

void RegisterAntispamScriptClass(Interpreter* in) {
  auto* cls = new AntispamClass(nullptr);
  // Here GetConfig's second argument is a section, not a default: bound
  // first, it takes the name from the common set.
  Bind(cls, "GetConfig", &CS_ScriptCommon::GetConfigInSection, ",0");
  RegisterCommonFunctions(cls);
  RegisterRelayFunctions(cls);
  RegisterCheckFunctions(cls);
  RegisterDomainAndCommunityFunctions(cls);
  RegisterFilterFunctions(cls);
  RegisterMessageFunctions(cls);
  cls->addMethod("StatisticValue", &Antispam::StatisticValue);
  cls->addMethod("WriteHeaderMessage", &Antispam::WriteHeaderMessages);
  cls->addMethod("ModifyHeaderSubject", &Antispam::ModifyHeaderSubject);
  cls->addMethod("RemoveHeaderMessage", &Antispam::RemoveHeaderMessage);
  in->addExternClass("CS_ANTISPAM_SCRIPT", cls);
}

// }===========
