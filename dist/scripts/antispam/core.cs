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

// What we know of the session. Checks add to `score`; the message verdict
// (OnEmailMessagesToAnalyzer) compares it with "score_for_spam".
float score = 0.0;
string client_ip = "";
string helo_name = "";
// The envelope of the message under way: the sender and the accepted
// recipients, space-separated, as the domain checks take them.
string sender = "";
string recipients = "";

// A client that writes to a spam trap stays banned this many seconds.
int kTrapBanSeconds = 86400;

// Steps of the dialogue are logged at this level, refusals at level 1.
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

// A configuration value, or `fallback` when the file does not set it (the
// gateway's own defaults live in its code, not in the file).
string Setting(string key, string fallback) {
  string value = cs.GetConfig(key);
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

// ---- connection

int OnStartClientConnection(int id) {
  score = 0.0;
  sender = "";
  recipients = "";
  client_ip = cs.GetClientIP();
  int relay = cs.ClientIsRelay();  // our own networks, or an authenticated client
  cs.WriteLog(kLogStep, cs.Format("connection %d from %s (%s)", id, client_ip,
                                  cs.GetClientReverseDns()));

  // Counted first, so that this session is among those IsIpMaxSession
  // sees; the gateway removes it when the session ends. The gateway
  // checks the ban list and the session limit before this event already:
  // these checks also cover a gateway whose admission checks are off.
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
  if (!relay && !cs.IsIpWhiteList(client_ip)) {
    score = score + cs.DNSBL_Score(client_ip);
    cs.WriteLog(kLogStep, cs.Format("DNSBL score %.2f for %s", score, client_ip));
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
  // The gateway cannot read an encrypted session: answer STARTTLS here and
  // never pass it on, so the dialogue stays in clear text.
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
    score = score + cs.CharToFloat(cs.GetConfig("p_helo_forget"));
  }
  // We answer STARTTLS ourselves (OnAllClientData): the mail server must
  // not offer it either.
  if (cs.Uc(command) == "EHLO") cs.DropExtensionMTA("STARTTLS");
  return 0;
}

// ---- the envelope and the message

// SPF result codes (cs.SPFResultString gives their words).
int kSpfPass = 0;
int kSpfSoftFail = 1;
int kSpfFail = 2;

// Does the sender's domain let this client send its mail? A Fail refuses
// the sender when "spf_reject_fail" is on; otherwise each verdict adds its
// score. TempError (the policy could not be read) and the rest add nothing.
int CheckSenderPolicy(string from) {
  int result = cs.SPFQuery(client_ip, from, helo_name);
  cs.WriteLog(kLogStep, "SPF " + cs.SPFResultString(result) + " for <" + from + "> from " + client_ip);
  if (result == kSpfFail && IsOn("spf_reject_fail")) {
    string domain = helo_name;  // a null sender speaks for its HELO name
    if (cs.REeq(from, "@([^@]+)$")) domain = cs.$1();
    cs.DropBufferToMTA();  // the sender never reaches the mail server
    cs.SendToClient("550 5.7.23 SPF: " + domain + " does not allow " + client_ip + "\r\n");
    cs.WriteLog(kLogRefusal, "SPF refused <" + from + "> from " + client_ip);
    return 0;
  }
  if (result == kSpfFail) score = score + cs.CharToFloat(cs.GetConfig("spf_score_fail"));
  if (result == kSpfSoftFail) score = score + cs.CharToFloat(cs.GetConfig("spf_score_softfail"));
  if (result == kSpfPass) score = score + cs.CharToFloat(cs.GetConfig("spf_score_pass"));
  return 0;
}

int OnMailFrom(string argument) {
  cs.WriteLog(kLogStep, "MAIL FROM <" + argument + ">");
  sender = EnvelopeAddress(argument);
  recipients = "";  // a new transaction
  // Our own networks and authenticated clients send for any domain.
  if (IsOn("spf_enable") && !cs.ClientIsRelay()) CheckSenderPolicy(argument);
  return 0;
}

int OnRcptTo(string argument) {
  cs.WriteLog(kLogStep, "RCPT TO " + argument);
  string recipient = EnvelopeAddress(argument);
  // Our own networks and authenticated clients may write anywhere.
  if (!cs.ClientIsRelay()) {
    // Nobody writes to a trap but a spammer: ban the client, tell the
    // community service, answer with the trap's reply and hang up.
    if (cs.IsSpamTrap(recipient)) {
      cs.AddIpInferno(client_ip, cs.Time() + kTrapBanSeconds);
      cs.MirelCommunityAnnunce(client_ip, cs.GetClientReverseDns(), sender);
      cs.DropBufferToMTA();
      return Refuse(cs.GetSpamTrapResponse(), "spam trap " + recipient + " written by");
    }
    // With "local_domains_only" on, this gateway refuses to relay: a
    // recipient outside our domains is answered here, never forwarded.
    // Off (the default), relaying stays the mail server's business.
    if (IsOn("local_domains_only") && cs.IsLocalDomainByRCPT_TO(recipient) < 0) {
      cs.WriteLog(kLogRefusal, "relaying refused to " + recipient + " for " + client_ip);
      cs.DropBufferToMTA();
      cs.SendToClient(Setting("rfc530", "530 Relaying not allowed") + "\r\n");
      return 0;
    }
  }
  if (recipients != "") recipients = recipients + " ";
  recipients = recipients + recipient;
  return 0;
}

// Once per message, before any of it reaches the mail server.
int OnEmailMessagesToAnalyzer() {
  // The recipients' domains may list the sender: black refuses the
  // message, white passes it untouched.
  int listed = cs.IsWhiteBlackList(recipients, sender);
  if (listed == 0) {
    cs.DropBufferToMTA();
    string template = Setting("rfc550", "550 5.7.1 Message rejected by internal domain policy. %s");
    return Refuse(cs.Format(template, "Sender black listed") + "\r\n",
                  "black listed sender " + sender + " from");
  }
  if (listed == 1) {
    score = 0.0;
  } else {
    score = score + cs.MirelCommunityQuery(client_ip, cs.GetClientReverseDns(), sender);
    float spam_score = cs.CharToFloat(Setting("score_for_spam", "5.0"));
    // A recipient domain may make us stricter or milder ("perc_user_aggre").
    score = cs.RecalculatingScoreByUser(score, spam_score, recipients);
    // Verdicts at the spam score go back to the community service, and the
    // message is tagged, unless a recipient wants spam as it is.
    if (score >= spam_score) {
      cs.MirelCommunityAnnunce(client_ip, cs.GetClientReverseDns(), sender);
      if (!cs.IsSpamLover(recipients)) {
        cs.WriteHeaderMessage(Setting("x_torvane_spam", "X-TORVANE-Spam: YES"));
      }
    }
  }
  cs.WriteLog(kLogStep, cs.Format("message of %d bytes analysed, score %.2f", cs.GetEmailLen(),
                                  score));
  return 0;
}

// ---- the mail server's replies and the end

int OnReplyMTA(string reply) {
  cs.WriteLog(kLogStep, "mail server: " + FirstLine(reply));
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
