// phishing_update.cs - keeps the list of phishing domains current: when
// automatic updates are on and the configured time has passed since the
// last good update, it downloads the list and loads it.
//
// When: every hour on the hour ("0 * * * * phishing_update.cs" in
// torvane.crontab); the job itself decides whether an update is due, so
// a missed hour (the daemon was down) only delays it.
//
// What it reads: PHISHING "automatico" (1 = update automatically) and
// PHISHING "tempo" (hours between updates; 0 means 24). The time of the
// last good update is kept in db/cron_state.ini, section [phishing].
//
// Try it by hand (outside the daemon there is no phishing engine, so the
// download reports failure):
//   torvane-script --config=/etc/torvane_antispam.conf --app-path=/opt/torvane scripts/cron/phishing_update.cs

CS_CRON_SCRIPT cs = new CS_CRON_SCRIPT($_this);

int main() {
  if (cs.GetConfig("automatico", "PHISHING") != "1") return 0;
  int hours = cs.CharToInt(cs.GetConfig("tempo", "PHISHING"));
  if (hours <= 0) hours = 24;

  CS_FileSystem fs = new CS_FileSystem();
  string state_path = fs.AppPath() + "/db/cron_state.ini";
  CS_FileCfg state = new CS_FileCfg();
  state.Load(state_path);  // absent before the first update: last update 0
  int last = cs.CharToInt(state.ReadVar("phishing", "last_update"));
  if (cs.Time() - last < hours * 3600) return 0;

  if (cs.UpDateDBPhishingFromWWW() == 0) {
    cs.WriteLog(1, "phishing_update: the download failed; next try in an hour", "CRON");
    return 1;
  }
  cs.LoadDBPhishing();
  // Saved whole through a temporary file, so a crash never truncates it.
  state.WriteVar("phishing", "last_update", cs.IntToChar(cs.Time()));
  state.Save(state_path);
  cs.WriteLog(3, "phishing_update: list updated, dated " + cs.GetDBPhishingDate(), "CRON");
  return 0;
}
