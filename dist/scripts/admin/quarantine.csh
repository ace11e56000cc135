// quarantine.csh - shared by the quarantine commands: which quarantine a
// name means and where a message of it lies.

// 1 for "spam", "ham", "neutral" or "learn" (any case).
int is_quarantine(string name) { return cs.REeq(name, "^(spam|ham|neutral|learn)$", 1); }
// 1 for a message key: 32 hex characters.
int is_message_key(string key) { return cs.REeq(key, "^[0-9a-f]{32}$"); }

// The ".eml" file of message `key` in quarantine `name`.
string message_path(string name, string key) {
  CS_FileSystem fs = new CS_FileSystem();
  return fs.AppPath() + "/quarantine/" + cs.Lc(name) + "/" + key + ".eml";
}
