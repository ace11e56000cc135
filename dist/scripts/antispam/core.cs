// core.cs - the gateway's core policy: it runs for every SMTP session.
//
// The gateway raises one event per step of the dialogue (the connection,
// each client line, HELO, MAIL FROM, RCPT TO, the message, each reply of the
// mail server, the end) and calls the function of the same name here. What
// an event function returns matters for some events only:
//   OnStartClientConnection, OnAllClientData, OnReplyMTA: non-zero ends the
//   connection at once (without sending what is queued for the client);
//   every other event: the result is ignored.
// To refuse a client politely, queue a reply with SendToClient, then
// CloseClientConnAfterSendingQueue, and return 0.
//
// Listed in the configuration as CS_SCRIPT "cs_0=1|core.cs". While this
// script is broken (a compile or run-time error), every session is ended at
// once, so try changes on a test gateway first.

CS_ANTISPAM_SCRIPT cs = new CS_ANTISPAM_SCRIPT($_this);

// What we know of the session. Each check that scores adds its points to
// `score` and its name to `tests` (Hit); the verdict on the message
// (Verdict) compares the score with "score_for_spam" and
// "score_for_spam_max_hit", and the names go into the status header.
// Checks of the connection and the HELO (DNSBL, HELO_FORGED) count for
// every message of the session; the others for one message only.
float session_score = 0.0;
string session_tests = "";
float score = 0.0;
string tests = "";
string client_ip = "";
string helo_name = "";
int helo_forged = 0;  // HELO_FORGED is scored, once a session
// A client that writes to a spam trap stays banned this many seconds.
int kTrapBanSeconds = 86400;

// The envelope of the message under way; MAIL FROM, RSET and the end of a
// message start a new one.
string mail_from = "";        // MAIL FROM ("" also for the null sender of bounces)
int has_sender = 0;           // a MAIL FROM was given
string recipients = "";       // recipients the mail server took, space separated
string asked_recipient = "";  // a RCPT TO waiting for the mail server's reply
int known_pair = 0;           // the white list knows a pair of this envelope
int message_sent = 0;         // the whole message went to the mail server

// Greylisting and the white list of correspondents (sections GREYLIST and
// ALWL of the configuration).
int greylist_on = 0;  // "enable_greylist"
int alwl_on = 0;      // "enable_alwl"
int grey_white = -1;  // the client is in a greylist white range; -1: not asked yet

// Steps of the dialogue are logged at this level; refusals and the verdict
// on every message at level 1, which the shipped configuration keeps.
int kLogStep = 2;
int kLogRefusal = 1;

// Queues `reply` for the client and ends the session once it is sent.
int Refuse(string reply, string why) {
  cs.WriteLog(kLogRefusal, why + " " + client_ip);
  cs.SendToClient(reply);
  cs.CloseClientConnAfterSendingQueue();
  return 0;
}

// A configuration switch ("1" on, "0" or absent off).
int IsOn(string key) {
  return cs.CharToInt(cs.GetConfig(key)) != 0;
}

// A switch of `section` that is on unless the configuration turns it off.
int IsOnUnlessOff(string key, string section) {
  string value = cs.GetConfig(key, section);
  return value == "" || cs.CharToInt(value) != 0;
}

// A text of `section`, or `fallback` when the configuration has none.
string ConfigOr(string key, string section, string fallback) {
  string value = cs.GetConfig(key, section);
  if (value == "") return fallback;
  return value;
}

// The address inside "<...>" of a MAIL FROM or RCPT TO argument, lower-cased
// (the whole argument when it has no angle brackets).
string EnvelopeAddress(string argument) {
  if (cs.REeq(argument, "<([^>]*)>")) return cs.Lc(cs.Trim(cs.$1()));
  return cs.Lc(cs.Trim(argument));
}

// The first line of a text, for the log: up to the first line end.
string FirstLine(string text) {
  if (cs.REeq(text, "^([^\\r\\n]*)")) return cs.$1();
  return "";
}

// `names` (comma separated) with `name` added at its end.
string WithTest(string names, string name) {
  if (names == "") return name;
  return names + "," + name;
}

// A check of the message fired: `points` (0 too) go to the score, its
// name to the status header.
int Hit(string name, float points) {
  score = score + points;
  tests = WithTest(tests, name);
  return 0;
}

// A check of the connection fired: it counts for every message.
int SessionHit(string name, float points) {
  session_score = session_score + points;
  session_tests = WithTest(session_tests, name);
  return 0;
}

// ---- greylisting and the white list of correspondents
//
// Mail from a client that is not one of ours is greylisted per recipient:
// the first attempt of each (sender network, sender, recipient) triple is
// answered with "rfc451" and not passed on; a real mail server retries
// after the embargo ("grey_embargo_time" x "grey_embargo_type" seconds) and
// gets through. Each retry that came too early adds "grey_forged_score"
// once the triple passes. A sender one of our users wrote to (the auto
// white list) skips greylisting and lowers the score by "alwl_score";
// clients in the greylist white ranges (GREYLIST "wip_N") skip it too.
// Bounces (the null sender) are greylisted at DATA rather than at RCPT TO,
// so the address probes other servers make, which stop before DATA, are
// never delayed. Our own clients teach the white list their recipients
// once the mail server has taken their message.

int ClearEnvelope() {
  score = session_score;
  tests = session_tests;
  mail_from = "";
  has_sender = 0;
  recipients = "";
  asked_recipient = "";
  known_pair = 0;
  message_sent = 0;
  return 0;
}

// (The script language evaluates both sides of && and ||: checks with
// effects or lookups are nested in ifs.)

// One of our users wrote to this sender at `recipient` (the white list).
int IsKnownPair(string recipient) {
  if (!alwl_on || mail_from == "") return 0;
  if (cs.ClientIsRelay()) return 0;
  return cs.IsALWL(mail_from, recipient);
}

// 1 when greylisting applies to this client now; 0 when it is off, when
// the client is ours (a relay client, or one that has authenticated since
// it connected) or in a greylist white range (asked once, when first needed).
int IsGreylisted() {
  if (!greylist_on || cs.ClientIsRelay()) return 0;
  if (grey_white < 0) grey_white = cs.IsWhiteIpGreyList(client_ip);
  return grey_white == 0;
}

// 1 when the triples of `to` (recipients, space separated) pass the
// greylist; otherwise they are recorded for the retry and 0.
int PassesGreylist(string to) {
  string triples = cs.PrepareTriplesGreyList(to, client_ip, mail_from, "<>", cs.GetClientReverseDns());
  if (cs.PassGreyList(triples)) {
    float forged = cs.CharToFloat(ConfigOr("grey_forged_score", "GREYLIST", "0.9"));
    int early = cs.GetForgedCountGreyList(triples);
    if (early > 0) Hit("GREY_FORGED", cs.IntToFloat(early) * forged);
    cs.ResetForgedCountGreyList(triples);  // so the early retries count once
    return 1;
  }
  cs.AddToGreyList(triples);
  return 0;
}

// Answers the current command with the greylist reply instead of passing
// it on; the session goes on.
int Defer(string what) {
  cs.WriteLog(kLogStep, "greylisted " + what + " from " + client_ip);
  cs.SendToClient(ConfigOr("rfc451", "RFC", "451 4.7.1 GREY LIST try again later") + "\r\n");
  cs.DropBufferToMTA();
  return 0;
}

// ---- connection

int OnStartClientConnection(int id) {
  session_score = 0.0;
  session_tests = "";
  helo_forged = 0;
  client_ip = cs.GetClientIP();
  ClearEnvelope();
  greylist_on = IsOnUnlessOff("enable_greylist", "GREYLIST");
  alwl_on = IsOnUnlessOff("enable_alwl", "ALWL");
  grey_white = -1;
  int relay = cs.ClientIsRelay();  // our own networks, or an authenticated client
  cs.WriteLog(kLogStep, cs.Format("connection %d from %s (%s)", id, client_ip,
                                  cs.GetClientReverseDns()));

  // Counted first, so that this session is among those IsIpMaxSession
  // sees; the gateway removes it when the session ends. Admission is
  // this policy's: the gateway's own copy of the ban list, session limit
  // and block-list checks runs before this event only with [CS_SCRIPT]
  // enable=1 (shipped off).
  cs.RegisterSessionIp(client_ip);
  if (cs.IsIpInferno(client_ip)) {
    return Refuse("554 5.7.7 Your address is banned from this server\r\n", "banned client");
  }
  if (!relay && cs.IsIpMaxSession(client_ip)) {
    return Refuse("421 4.7.0 Too many connections from your address, try again later\r\n",
                  "too many sessions from");
  }

  // Block lists: the summed weight of the zones that list the client.
  // Our own networks and white-listed addresses are never looked up.
  if (IsOnUnlessOff("enable_dnsbl", "DNSBL") && !relay) {
    if (!cs.IsIpWhiteList(client_ip)) {
      float listed = cs.DNSBL_Score(client_ip);
      if (listed > 0.0) SessionHit("DNSBL", listed);
      // A zone that did not answer in time may list the client: named, so
      // the status says the block lists were not all heard.
      if (!cs.DNSBL_LastComplete()) SessionHit("DNSBL_TEMPERROR", 0.0);
      cs.WriteLog(kLogStep, cs.Format("DNSBL score %.2f for %s", listed, client_ip));
    }
  }

  // Mail flows only once the session has a mail server behind it.
  if (!cs.ConnectToDefaultMTA()) {
    return Refuse("421 4.3.0 Mail server temporarily unavailable, try again later\r\n",
                  "no mail server reachable for");
  }
  cs.WriteLog(kLogStep, "connected to mail server " + cs.GetNameServerMTA());
  return 0;
}

// Every client line, before the gateway looks at it.
int OnAllClientData(string line) {
  // With a certificate ([TLS] enable) the gateway answers STARTTLS itself
  // and this event never sees it. Without one the gateway cannot read an
  // encrypted session: answer STARTTLS here and never pass it on, so the
  // dialogue stays in clear text.
  if (cs.REeq(line, "^\\s*STARTTLS\\s*$", 1)) {
    cs.WriteLog(kLogStep, "STARTTLS refused");
    cs.SendToClient("454 4.7.0 TLS not available due to local problem\r\n");
    cs.DropBufferToMTA();
  }
  return 0;
}

int OnHelo(string helo, string command) {
  helo_name = helo;
  cs.WriteLog(kLogStep, command + " " + helo);
  // A client that greets us with one of our own names or addresses lies.
  if (cs.IsForgetHelo(helo)) {
    if (IsOn("helo_forget_reject")) {
      cs.DropBufferToMTA();
      return Refuse("550 5.7.1 Forged HELO: that is this server's own name\r\n",
                    "forged HELO " + helo + " from");
    }
    if (!helo_forged) SessionHit("HELO_FORGED", cs.CharToFloat(ConfigOr("p_helo_forget", "HELO", "10.0")));
    helo_forged = 1;
  }
  // STARTTLS is the gateway's (it offers its own when it has a
  // certificate): the mail server's offer never reaches the client.
  if (cs.Uc(command) == "EHLO") cs.DropExtensionMTA("STARTTLS");
  return 0;
}

// ---- the envelope and the message

// SPF result codes (cs.SPFResultString gives their words).
int kSpfPass = 0;
int kSpfSoftFail = 1;
int kSpfFail = 2;
int kSpfTempError = 5;

// Does the sender's domain let this client send its mail? A Fail refuses
// the sender when "spf_reject_fail" is on (the result is then 1); otherwise
// each verdict adds its score. TempError (the policy could not be read now)
// adds nothing and is named as such; the rest add nothing.
int CheckSenderPolicy(string sender) {
  int result = cs.SPFQuery(client_ip, sender, helo_name);
  cs.WriteLog(kLogStep, "SPF " + cs.SPFResultString(result) + " for <" + sender + "> from " + client_ip);
  if (result == kSpfFail && IsOn("spf_reject_fail")) {
    string domain = helo_name;  // a null sender speaks for its HELO name
    if (cs.REeq(sender, "@([^@]+)$")) domain = cs.$1();
    cs.DropBufferToMTA();  // the sender never reaches the mail server
    cs.SendToClient("550 5.7.23 SPF: " + domain + " does not allow " + client_ip + "\r\n");
    cs.WriteLog(kLogRefusal, "SPF refused <" + sender + "> from " + client_ip);
    return 1;
  }
  if (result == kSpfFail) Hit("SPF_FAIL", cs.CharToFloat(ConfigOr("spf_score_fail", "SPF", "5.0")));
  if (result == kSpfSoftFail) Hit("SPF_SOFTFAIL", cs.CharToFloat(ConfigOr("spf_score_softfail", "SPF", "4.9")));
  if (result == kSpfPass) Hit("SPF_PASS", cs.CharToFloat(ConfigOr("spf_score_pass", "SPF", "0.0")));
  if (result == kSpfTempError) Hit("SPF_TEMPERROR", 0.0);
  return 0;
}

int OnMailFrom(string sender) {
  cs.WriteLog(kLogStep, "MAIL FROM <" + sender + ">");
  ClearEnvelope();
  // Our own networks and authenticated clients send for any domain.
  if (IsOn("spf_enable") && !cs.ClientIsRelay()) {
    if (CheckSenderPolicy(sender)) return 0;  // refused: no envelope
  }
  mail_from = sender;
  has_sender = 1;
  return 0;
}

int OnCommandRSET() {
  ClearEnvelope();
  return 0;
}

int OnRcptTo(string recipient) {
  cs.WriteLog(kLogStep, "RCPT TO <" + recipient + ">");
  string address = EnvelopeAddress(recipient);
  // Our own networks and authenticated clients may write anywhere.
  if (!cs.ClientIsRelay()) {
    // Nobody writes to a trap but a spammer: ban the client, tell the
    // community service, answer with the trap's reply and hang up.
    if (cs.IsSpamTrap(address)) {
      cs.AddIpInferno(client_ip, cs.Time() + kTrapBanSeconds);
      cs.MirelCommunityAnnunce(client_ip, cs.GetClientReverseDns(), mail_from);
      cs.DropBufferToMTA();
      return Refuse(cs.GetSpamTrapResponse(), "spam trap " + address + " written by");
    }
    // With "local_domains_only" on, this gateway refuses to relay: a
    // recipient outside our domains is answered here, never forwarded.
    // Off (the default), relaying stays the mail server's business.
    if (IsOn("local_domains_only") && cs.IsLocalDomainByRCPT_TO(address) < 0) {
      cs.WriteLog(kLogRefusal, "relaying refused to " + address + " for " + client_ip);
      cs.DropBufferToMTA();
      cs.SendToClient(ConfigOr("rfc530", "RFC", "530 Relaying not allowed") + "\r\n");
      return 0;
    }
  }
  if (IsKnownPair(recipient)) {
    // No greylisting, and a lower score (once per message).
    if (!known_pair) {
      Hit("ALWL", cs.CharToFloat(ConfigOr("alwl_score", "ALWL", "-10.0")));
      known_pair = 1;
    }
  } else if (mail_from != "") {
    if (IsGreylisted()) {
      if (!PassesGreylist(recipient)) return Defer("RCPT TO <" + recipient + ">");
    }
  }
  asked_recipient = recipient;
  return 0;
}

// A bounce is greylisted here, for all its recipients at once.
int OnCommandData(int limit) {
  if (has_sender && mail_from == "" && recipients != "") {
    if (IsGreylisted()) {
      if (!PassesGreylist(recipients)) return Defer("bounce");
    }
  }
  return 0;
}

int OnAllDataMessage(string data, int end) {
  if (end == 1) message_sent = 1;
  return 0;
}

// ---- the message and its verdict
//
// Each check below is on its own switch (absent means on) and adds the
// score of its key. The names of the checks that fired, in the order they
// fired, go into the status header of every message we pass on:
//   X-Torvane-Status: No, score=1.3 required=5.0 tests=SPF_PASS,BAYES_HAM
// A check whose engine could not answer (DNSBL_TEMPERROR, SPF_TEMPERROR,
// BAYES_TEMPERROR, COMMUNITY_TEMPERROR) adds nothing and never refuses
// mail by itself.

// The header this gateway writes; any copy the sender wrote is removed first.
string kStatusHeader = "X-Torvane-Status";
// Header lines are folded before they pass this width.
int kHeaderWidth = 78;
// The Bayes verdict of the message under way (BayesianCheck's codes).
int bayes_verdict = 0;
int kBayesSpam = 1;
int kBayesHam = 2;
int kBayesUnavailable = 0;

// A number of `section`, or `fallback` when the configuration has none.
float ConfigNumber(string key, string section, string fallback) {
  return cs.CharToFloat(ConfigOr(key, section, fallback));
}

// The filter's verdict on the content: spam and ham add their scores;
// unsure and not trained enough leave the score alone.
int CheckBayes() {
  bayes_verdict = cs.BayesianCheck();
  if (bayes_verdict == kBayesSpam) Hit("BAYES_SPAM", ConfigNumber("p_bayes_spam", "BAYES", "5.1"));
  if (bayes_verdict == kBayesHam) Hit("BAYES_HAM", ConfigNumber("p_bayes_ham", "BAYES", "-3.99"));
  if (bayes_verdict == kBayesUnavailable) Hit("BAYES_TEMPERROR", 0.0);
  return 0;
}

// The status name of a content rule: RULE_ and its name in capitals, or
// RULES for a name that would not read well in a header.
string RuleTestName(string rule) {
  if (cs.REeq(rule, "^[A-Za-z0-9_-]{1,40}$")) return "RULE_" + cs.Uc(rule);
  return "RULES";
}

// The administrator's content rules (db/rules.db): every rule the message
// matches adds its own score.
int CheckRules() {
  CS_RulesResult matched = new CS_RulesResult();
  score = score + cs.RegularExpressionCheck(0, matched);
  int count = matched.GetRulesCount();
  int i = 0;
  while (i < count) {
    tests = WithTest(tests, RuleTestName(matched.GetRulesName(i)));
    i = i + 1;
  }
  return 0;
}

// The phishing list: a message imitating a protected domain.
int CheckPhishing() {
  if (cs.IsPhishing(0)) {
    Hit("PHISHING", ConfigNumber("phishing_score", "PHISHING", "10.0"));
    cs.WriteLog(kLogRefusal, "phishing message imitating " + cs.GetFakePhishingDomain() + " from " + client_ip);
  }
  return 0;
}

// The community service's score of the client ("cmy_softfail", "cmy_fail",
// "cmy_hardfail"); nothing without a service key.
int CheckCommunity() {
  float points = cs.MirelCommunityQuery(client_ip, cs.GetClientReverseDns(), mail_from);
  if (!cs.MirelCommunityLastAnswered()) return Hit("COMMUNITY_TEMPERROR", 0.0);
  if (points != 0.0) Hit("COMMUNITY", points);
  return 0;
}

// The content checks, in the order the status header names them.
int CheckContent() {
  if (IsOnUnlessOff("enable_bayes", "BAYES")) CheckBayes();
  if (IsOnUnlessOff("enable_rules", "RULES")) CheckRules();
  if (IsOnUnlessOff("enable_phishing", "PHISHING")) CheckPhishing();
  if (IsOnUnlessOff("enable_community", "COMMUNITY")) CheckCommunity();
  return 0;
}

// The names of the checks that fired, "none" when none did.
string TestNames() {
  if (tests == "") return "none";
  return tests;
}

// "clean", "tagged" or "refused" by the score alone.
string ScoreVerdict(float required, float max_hit) {
  if (score >= max_hit) return "refused";
  if (score >= required) return "tagged";
  return "clean";
}

// The status header line: "X-Torvane-Status: Yes, score=... tests=A,B",
// folded between test names so that no line passes kHeaderWidth.
string StatusHeader(string spam, float required) {
  string line = cs.Format("%s: %s, score=%.1f required=%.1f tests=", kStatusHeader, spam, score, required);
  string folded = "";
  string rest = TestNames() + ",";
  string name = "";
  int first = 1;
  while (cs.REeq(rest, "^([^,]*),(.*)$")) {
    name = cs.$1();
    rest = cs.$2();
    if (!first) line = line + ",";
    if (!first && cs.StrLen(line) + cs.StrLen(name) > kHeaderWidth) {
      folded = folded + line + "\r\n";
      line = "\t";
    }
    line = line + name;
    first = 0;
  }
  return folded + line;
}

// Marks a tagged message: "x_subject" on its subject and the
// "x_torvane_spam" header, unless a recipient wants spam as it is.
int TagMessage(string to) {
  if (cs.IsSpamLover(to)) return 0;
  string tag = ConfigOr("x_subject", "HEADER_MSG", "***SPAM***");
  if (tag != "") cs.ModifyHeaderSubject(tag);
  cs.WriteHeaderMessage(ConfigOr("x_torvane_spam", "HEADER_MSG", "X-TORVANE-Spam: YES"));
  return 0;
}

// Refuses the message after its end of data: the mail server never gets
// it, the client gets this one reply, and the session goes on.
int RefuseMessage(string reason) {
  string template = ConfigOr("rfc550", "RFC", "550 5.7.1 Message rejected by internal domain policy. %s");
  cs.DropBufferToMTA();
  cs.SendToClient(cs.Format(template, reason) + "\r\n");
  return 0;
}

// The day statistics the dashboard charts: the score (one counter per
// whole point, 0 to 20), the verdict, and each check that fired.
int CountVerdict(string verdict) {
  int bucket = cs.FloatToInt(score);
  if (bucket < 0) bucket = 0;
  if (bucket > 20) bucket = 20;
  cs.StatisticValue(cs.Format("f9_score_[%d]", bucket), 9, 0, 1.0, 1);
  cs.StatisticValue("f12_verdict_" + verdict, 12, 0, 1.0, 1);
  string rest = tests + ",";
  while (cs.REeq(rest, "^([^,]+),(.*)$")) {
    cs.StatisticValue("f13_test_[" + cs.$1() + "]", 13, 0, 1.0, 1);
    rest = cs.$2();
  }
  return 0;
}

// The one verdict on a message: `forced` is "refused" or "clean" when a
// domain's black or white list decided, "" to go by the score. Below
// "score_for_spam" the message passes with the status header "No"; at or
// above it, it is tagged (status "Yes"); at or above
// "score_for_spam_max_hit" it is refused. Spam (tagged or refused) goes
// back to the community service, and a copy of a Bayes spam waits in the
// spam quarantine ("bayes_delete_mail_time") for checking and retraining.
int Verdict(string to, string forced, string reason) {
  float required = ConfigNumber("score_for_spam", "CONFIG", "5.0");
  float max_hit = ConfigNumber("score_for_spam_max_hit", "CONFIG", "20.0");
  string verdict = forced;
  if (verdict == "") verdict = ScoreVerdict(required, max_hit);
  string why = reason;
  if (why == "") why = cs.Format("Spam score %.1f, limit %.1f, tests %s", score, max_hit, TestNames());
  cs.RemoveHeaderMessage(kStatusHeader);  // a sender cannot vouch for itself
  if (verdict == "refused") {
    RefuseMessage(why);
  } else if (verdict == "tagged") {
    cs.WriteHeaderMessage(StatusHeader("Yes", required));
    TagMessage(to);
  } else {
    cs.WriteHeaderMessage(StatusHeader("No", required));
  }
  if (verdict != "clean") {
    cs.MirelCommunityAnnunce(client_ip, cs.GetClientReverseDns(), mail_from);
    if (bayes_verdict == kBayesSpam) cs.AddToBayesianQuarantine(client_ip, cs.Format("%.2f", score), 1);
  }
  cs.WriteLog(kLogRefusal, cs.Format("message %s: client %s, from <%s>, to %s, score %.1f, tests %s",
                                     verdict, client_ip, mail_from, to, score, TestNames()));
  CountVerdict(verdict);
  if (verdict == "refused") ClearEnvelope();  // no reply of the mail server will end it
  return 0;
}

// Once per message, at its end or once its first 30 KiB are in, before
// any of it reaches the mail server.
int OnEmailMessagesToAnalyzer() {
  bayes_verdict = -1;
  // The status of the client's leg: the TLS protocol and cipher it used.
  if (cs.IsTlsSession()) {
    cs.WriteHeaderMessage("X-TORVANE-TLS: " + cs.GetTlsProtocol() + " " + cs.GetTlsCipher());
  }
  // The recipients' domains may list the sender: black refuses the
  // message, white passes it without the content checks.
  string sender = EnvelopeAddress(mail_from);
  string to = cs.Lc(recipients);
  int listed = cs.IsWhiteBlackList(to, sender);
  if (listed == 0) {
    Hit("BLACKLIST", 0.0);
    return Verdict(to, "refused", "Sender black listed");
  }
  if (listed == 1) {
    Hit("WHITELIST", 0.0);
    return Verdict(to, "clean", "");
  }
  CheckContent();
  // A recipient domain may make us stricter or milder ("perc_user_aggre").
  float before = score;
  score = cs.RecalculatingScoreByUser(score, ConfigNumber("score_for_spam", "CONFIG", "5.0"), to);
  if (score != before) tests = WithTest(tests, "USER_ADJUST");
  cs.WriteLog(kLogStep, cs.Format("message of %d bytes analysed, bayes %d, score %.2f",
                                  cs.GetEmailLen(), bayes_verdict, score));
  return Verdict(to, "", "");
}

// ---- the mail server's replies and the end

int OnReplyMTA(string reply) {
  cs.WriteLog(kLogStep, "mail server: " + FirstLine(reply));
  if (asked_recipient != "") {
    if (cs.REeq(reply, "^25")) {
      if (recipients != "") recipients = recipients + " ";
      recipients = recipients + asked_recipient;
    }
    asked_recipient = "";
  } else if (message_sent) {
    // The reply to the end of a message. One of our users has written to
    // these recipients: mail from them to that user is welcome.
    if (alwl_on && mail_from != "" && recipients != "" && cs.ClientIsRelay()) {
      if (cs.REeq(reply, "^250")) {
        cs.AddALWL(mail_from, recipients);
        cs.WriteLog(kLogStep, "white list learned " + recipients + " for " + mail_from);
      }
    }
    ClearEnvelope();
  }
  return 0;
}

int OnClientTimeOut() {
  cs.WriteLog(kLogStep, "client timed out: " + client_ip);
  return 0;
}

// The end of every session of a pooled worker (and once when the worker is
// built, before its first session).
int OnDestroyThis() {
  if (client_ip != "") cs.WriteLog(kLogStep, "session ended: " + client_ip);
  return 0;
}
