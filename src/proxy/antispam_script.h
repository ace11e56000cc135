// antispam_script - the glue between a session worker and its antispam
// scripts. CS_PROXY_ANTISPAM_INSTANCE holds one compiled interpreter per
// configured script file and raises each session event in all of them, in
// list order, passing changes of shared global variables between them.
// CS_ANTISPAM_SCRIPT is the class a script builds with `new
// CS_ANTISPAM_SCRIPT($_this)`: the common functions plus what reaches the
// session (its sockets, queues and message) and the proxy core's engines.
#ifndef TORVANE_PROXY_ANTISPAM_SCRIPT_H_
#define TORVANE_PROXY_ANTISPAM_SCRIPT_H_

#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

#include "base/object_array.h"
#include "base/xml_log.h"
#include "base/string.h"
#include "engines/dns.h"
#include "engines/dnsbl.h"
#include "engines/community_client.h"
#include "engines/content_rules.h"
#include "engines/local_domains.h"
#include "proxy/antispam_policy.h"
#include "script/interpreter.h"
#include "script/variable.h"
#include "scriptlib/common_functions.h"
#include "scriptlib/script_budget.h"
#include "proxy/smtp_session.h"

class CTorvaneCore;

// What the scripts of one session reach. Owned elsewhere (by the worker and
// the core); any pointer may be null, and a function whose context is
// missing does nothing and returns its empty result.
struct AntispamContext {
  CTorvaneCore* core = nullptr;    // the engines
  SmtpSession* session = nullptr;  // the connection being relayed
  CLogSimple* log = nullptr;       // where WriteLog and script errors go
};

// One configured script and its interpreter. A slot that failed to build
// keeps the reason in its interpreter's log (BuildAllLog) for the worker's
// script check; a run-time error is written to the context's log when it
// happens.
struct AntispamScriptSlot {
  std::unique_ptr<Interpreter> interpreter;
  String file;           // "/scripts/antispam/" + the entry's file part
  // Its text; not owned (the instance holds the policy). Null for a file
  // compiled from disk (CheckScript, CompilePolicy).
  const AntispamPolicy::Script* source = nullptr;
  bool compiled = false; // compiling was attempted
  bool good = true;      // false once it failed to build or to run
};

// The scripts of one worker. Used only on the worker's thread.
class CS_PROXY_ANTISPAM_INSTANCE : public ScriptHost {
 public:
  // Where antispam scripts live, under the application path.
  static constexpr const char* kScriptDir = "/scripts/antispam/";
  // Category of WriteLog records that name none.
  static constexpr const char* kLogCategory = log_type::kScript;

  CS_PROXY_ANTISPAM_INSTANCE();
  ~CS_PROXY_ANTISPAM_INSTANCE() override;
  CS_PROXY_ANTISPAM_INSTANCE(const CS_PROXY_ANTISPAM_INSTANCE&) = delete;
  CS_PROXY_ANTISPAM_INSTANCE& operator=(const CS_PROXY_ANTISPAM_INSTANCE&) = delete;

  void SetContext(const AntispamContext& context) { context_ = context; }
  const AntispamContext& context() const { return context_; }
  // The CPU and wall time one call into a script may take (ms; 0: no
  // limit). A call over it is stopped, logged with its script and
  // function, and marks its script not good, like a run-time error.
  void SetBudget(int cpu_ms, int wall_ms) { budget_.SetLimits(cpu_ms, wall_ms); }
  // True once when a call was stopped over its budget since the last look:
  // the session cannot go on.
  bool TakeOverrun();

  // Reads and compiles the script files of `entries` ("number|file", in
  // run order) under the application path, as a worker would build them,
  // with no session and only this instance's log and budget (a top level
  // over the budget is logged there). Never null. Replaces the scripts
  // held, and leaves none.
  std::shared_ptr<const AntispamPolicy> CompilePolicy(const CArray<String>& entries);
  // Prepares the interpreters for a connection from `policy`. Without
  // `keep`, or when `policy` is not the one the slots were made from,
  // DeleteScript first. When none exist, one slot per script is made, its
  // interpreter empty until CompileScripts, and the first becomes current;
  // otherwise the shared variables are emptied and every compiled good
  // interpreter's globals go back to their start values (no recompiling).
  // A null or empty policy changes nothing. True when slots were made.
  bool InitScript(std::shared_ptr<const AntispamPolicy> policy, bool keep);
  // Compiles every slot that is not compiled yet (every slot when
  // `recompile_all`) from its policy text, with the script class, the
  // library classes and "$_this" registered. A script the policy holds as
  // not good leaves its slot not good, its error in the interpreter log.
  void CompileScripts(bool recompile_all);
  // Compiles the script file at `path` as the only script, as a check
  // before it is installed (no session: events do nothing useful). True
  // when it compiled; otherwise the reasons are in the slot's interpreter
  // log. Replaces the scripts held.
  bool CheckScript(const char* path);
  // Destroys the interpreters and empties the shared variables; Count() is
  // then -1.
  void DeleteScript();

  // Raises an event in every good script that defines `name`, in list
  // order, and ORs their integer results: 0 when none defines it, 1 when
  // there are no scripts. A call that leaves an error marks its script not
  // good. After each call, pending global-variable changes are announced
  // to the other scripts' "NotificationGlobalVariable". `format` lists the
  // argument types ("int", "string", "string,string", "string,int") as
  // for Interpreter::run.
  int run(const char* name);
  int run(const char* name, const char* format, ...);

  int Count() const { return slots_.empty() ? -1 : static_cast<int>(slots_.size()); }
  std::vector<AntispamScriptSlot>& slots() { return slots_; }
  // True when some script is not good.
  bool HasBadScript() const;

  void RegisterGlobalVariable(const char* name) { globals_.Register(name); }
  // Records a change of a registered name (unregistered names are ignored);
  // it is announced when the current call ends without errors.
  void SetGlobalVariable(const char* name, const char* value) { globals_.Set(name, value); }

  // ScriptHost:
  Interpreter* ScriptInterpreter() override { return current_; }
  void QueueLog(int level, const char* text, const char* category) override;
  const char* DefaultLogCategory() const override { return kLogCategory; }
  CFileINI* Configuration() override;
  CDns* Resolver() override;
  CGreyList* GreyList() override;
  CAutoLightWhiteList* WhiteList() override;
  CDnsBL* BlockLists() override;
  CLocalDomain* LocalDomains() override;
  CS_Torvane_kernel* PersistentObjects() override;
  ScriptGlobalVariables* GlobalVariables() override { return &globals_; }
  // Exit: close after the queue, and close both sockets.
  void EndWorkUnit() override;

 private:
  // The core's engine `get` gives; null without a core.
  template <typename Engine>
  Engine* FromCore(Engine* (CTorvaneCore::*get)() const) const {
    return context_.core != nullptr ? (context_.core->*get)() : nullptr;
  }
  // Builds a fresh interpreter for `slot` and compiles its policy text.
  void Compile(AntispamScriptSlot* slot);
  // Runs `body` (a call, load or reset of `slot`'s interpreter) under the
  // budget; a call stopped over it is logged naming `what` and marks the
  // slot not good.
  template <typename Body>
  void Metered(AntispamScriptSlot* slot, const char* what, Body body);
  // Builds a fresh interpreter for `slot` and compiles the file at `path`;
  // its preprocessed text goes to `text` (when not null).
  void CompileFile(AntispamScriptSlot* slot, const String& path, std::string* text);
  // A fresh interpreter for `slot` with the script class registered.
  Interpreter* FreshInterpreter(AntispamScriptSlot* slot, const char* path);
  // Compiles preprocessed `text` in `slot`'s interpreter and runs its top
  // level under the budget; a failure leaves the slot not good.
  void LoadText(AntispamScriptSlot* slot, const char* text);
  // The event in every good script that defines it; `args` null for an
  // event without arguments.
  int Dispatch(const char* name, const char* format, va_list* args);
  // One call of `name` in `slot`; its log decides whether the slot stays
  // good.
  int CallIn(AntispamScriptSlot* slot, const char* name, const char* format, va_list* args);
  // Announces the pending variable changes to every good script but
  // `caller`, then drops what those announcements changed in turn.
  void AnnounceChanges(const AntispamScriptSlot* caller);
  // Empties `slot`'s interpreter log; a non-empty one is logged and marks
  // the slot not good. True when the slot is still good.
  bool CollectErrors(AntispamScriptSlot* slot);
  void MakeCurrent(const AntispamScriptSlot* slot);
  int ConnectionId() const;

  AntispamContext context_;
  CS_PROXY_ANTISPAM_INSTANCE* self_ = this;  // the storage "$_this" shows
  Interpreter* current_ = nullptr;           // the interpreter now running
  const AntispamScriptSlot* current_slot_ = nullptr;  // and its slot
  std::vector<AntispamScriptSlot> slots_;
  std::shared_ptr<const AntispamPolicy> policy_;  // what slots_ were made from
  ScriptGlobalVariables globals_;
  ScriptBudget budget_{0, 0};
  bool overrun_ = false;
};

// The script object of an antispam script. Text results stay valid until
// the same function runs again on this object. Not thread-safe.
class CS_ANTISPAM_SCRIPT : public CS_ScriptCommon {
 public:
  // `instance` may be null: every function then returns its empty result.
  explicit CS_ANTISPAM_SCRIPT(CS_PROXY_ANTISPAM_INSTANCE* instance);

  // ---- connection and relay control
  const char* GetClientIP();
  const char* GetClientReverseDns();
  const char* GetMTAIP();
  // The client's leg: 1 once STARTTLS made it encrypted, and then its
  // protocol ("TLSv1.3") and cipher; "" while it is in clear.
  int IsTlsSession();
  const char* GetTlsProtocol();
  const char* GetTlsCipher();
  int ConnectToDefaultMTA();
  int ConnectToMTA(const char* host, const char* port);
  const char* GetNameServerMTA();
  const char* GetReplaceNameServerMTA();
  void InjectionExtensionMTA(const char* text);
  void DropExtensionMTA(const char* text);
  void SendToMTA(const char* text);
  void SendToClient(const char* text);
  void DropBufferToMTA();
  void DropBufferToClient();
  void CloseClientConnAfterSendingQueue();
  void CloseClientConnection();
  void CloseMTAConnection();
  void CloseAllConnection();
  int ClientIsRelay();
  int GetErrorCountRFC();
  void SetErrorCountRFC(int count);
  int GetSessionProperty();
  void RegisterSessionProperty(int bits);
  void WriteHeaderMessages(const char* line);
  void ModifyHeaderSubject(const char* text);
  // Removes every line of the header `name` (any case) from the message,
  // with its folded continuation lines; the body is never touched.
  void RemoveHeaderMessage(const char* name);
  void StatisticValue(const char* name, int group, int sub_group, float value, int op);

  // ---- address, list and DNS checks
  int IsIpInferno(const char* address);
  void AddIpInferno(const char* address, int value);
  int IsIpWhiteList(const char* address);
  int IsRelayIp(const char* address);
  int IsWhiteIpGreyList(const char* address);
  int IsIpMaxSession(const char* address);
  void RegisterSessionIp(const char* address);
  int IsForgetHelo(const char* helo);
  // The SPF result code of `sender` for the client `address` greeting with
  // `helo`; 3 (Neutral) when an argument is missing, 4 (None) without the
  // engine: no check ran, so nothing passed.
  int SPFQuery(const char* address, const char* sender, const char* helo);
  // The word of an SPF result code; "" for a code that has none.
  const char* SPFResultString(int code);

  // ---- greylisting (see CGreyList), counted in the core's statistics;
  // without the engine: "", 0 or nothing
  const char* PrepareTriplesGreyList(const char* recipients, const char* client_address, const char* mail_from,
                                     const char* empty_sender_substitute, const char* client_host_name);
  void AddToGreyList(const char* triples);
  int PassGreyList(const char* triples);
  int GetForgedCountGreyList(const char* triples);
  void ResetForgedCountGreyList(const char* triples);

  // ---- the session's message: the analysed prefix, parsed
  const char* GetEmailRaw();
  int GetEmailLen();
  const char* GetEmailBody();
  const char* GetEmailHeader();
  const char* GetEmailSubject();
  const char* GetEmailMailFrom();
  const char* GetEmailMailTo();
  const char* GetEmailContentType();
  int GetEmailAttachmentCount();
  const char* GetEmailAttachmentBuffer(int index);
  const char* GetEmailAttachmentContentType(int index);

  // ---- the Bayes filter
  // The verdict (1 spam, 2 ham, 3 neutral, 4 to learn) on `text` parsed as
  // a message, or on the session's message when `text` is no text; 3 when
  // it has no header or yields no tokens; 0 without the engine.
  int BayesianCheck(Variable text);
  // Files `mail` (a CS_ParseMail, or the session's message when none) in
  // quarantine `code`, counting in the core's statistics; 0 without the
  // engine or a message, else as CBayes::AddQuarantena. The session's
  // message is filed whole, as its sender wrote it (see QuarantineCopy):
  // while it is still arriving the filing waits for its end and the
  // result is 1. Once part of it has gone on to the MTA, only the
  // analysed prefix is left to file.
  int AddToBayesianQuarantine(const char* first, const char* second, int code, Variable mail);

  // ---- content rules and phishing, on `mail` or, when null, the session's
  // message; 0 without the engine or a message.
  // Sum of the scores of the matching rules; `result` (optional) lists them.
  float RegularExpressionCheck(CParseMail* mail, CRulesResult* result);
  // 1 for phishing, judged with the SPF result of the session's client,
  // MAIL FROM and HELO; the imitated domain is kept for GetFakePhishingDomain.
  int IsPhishing(CParseMail* mail);
  const char* GetFakePhishingDomain();

  // ---- local domains, spam traps and the community service.
  // `recipients` are space-separated addresses.
  int IsLocalDomainByRCPTO(const char* recipient);  // -1 when not local
  int IsWhiteBlackList(const char* recipients, const char* sender);  // 1, 0, -1 none
  int IsSpamLover(const char* recipients);
  // The score shifted by the first recipient domain's "perc_user_aggre"
  // percent of `base`; `score` unchanged without it.
  float RecalculatingScoreByUser(float score, float base, const char* recipients);
  int IsSpamTrap(const char* recipients);
  // The reply for a trapped client ("" without the engine).
  const char* GetSpamTrapResponse();
  void MirelCommunityAnnunce(const char* client_address, const char* client_host, const char* sender);
  float MirelCommunityQuery(const char* client_address, const char* client_host, const char* sender);
  // 0 when the last MirelCommunityQuery had a usable key and no server
  // answered it (its 0.0 is then no verdict), else 1.
  int MirelCommunityLastAnswered() { return community_answered_ ? 1 : 0; }
  int IsValidKeyMirelCommunity();
  // The verdict word of a score; "NEUTRAL" without the engine.
  const char* MirelCommunityGetEnumStringFormScore(float score);
  int IsLanIp(const char* address);

 private:
  enum class Text {
    kClientIp, kReverse, kMtaIp, kMtaName, kMtaReplaceName, kEmailRaw, kTriples, kTrapReply, kFakeDomain,
    kTlsProtocol, kTlsCipher, kCount
  };

  SmtpSession* session() const;
  // The session's parsed message, or null without a session.
  CParseMail* message() const;
  CTorvaneCore* core() const;
  // The core's greylist, or null.
  CGreyList* grey_list() const;
  CLocalDomain* domains() const;
  CCommunityTorvane* community() const;

  CS_PROXY_ANTISPAM_INSTANCE* instance_;  // not owned; may be null
  ScriptTextResults<Text> results_;
  bool community_answered_ = true;  // by the last MirelCommunityQuery
  String fake_phishing_domain_;  // of the last IsPhishing
};

// Registers the CS_ANTISPAM_SCRIPT class on `in`: the antispam functions,
// the common set, and for engines this build does not have, their empty
// results under their names.
void RegisterAntispamScriptClass(Interpreter* in);

#endif  // TORVANE_PROXY_ANTISPAM_SCRIPT_H_
