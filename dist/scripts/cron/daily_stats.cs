// daily_stats.cs - yesterday's traffic in one log line and one line of a
// spreadsheet file. It reads yesterday's day file db/DAY_YYYY-MM-DD.stc
// (the counters the daemon kept through that day) with CS_Statistic, then
//   - logs connections, refusals by cause, greylist and Bayes counts as one
//     CRON record, and
//   - appends the same numbers to db/stats_summary.csv (with a header line
//     when the file is new), one line per day, ready for a spreadsheet.
//
// When: every day at 00:10 ("10 0 * * * daily_stats.cs" in torvane.crontab),
// after the daemon has closed the day's file at its first save past
// midnight.
//
// Which day: the date of now - 12 hours. A day with a daylight-saving change
// lasts 23 or 25 hours, so "now - 24 hours" could give the day before
// yesterday, or today. Dates are formatted in UTC, which names the same day
// as local time 12 hours back for any zone within 11 hours of UTC.
//
// Try it by hand on a copy of the daemon's folder:
//   torvane-script --app-path=/opt/torvane scripts/cron/daily_stats.cs

CS_CRON_SCRIPT cs = new CS_CRON_SCRIPT($_this);
HashArray counters = new HashArray();

// The value of the counter `name`; 0 when the day never counted it. Values
// read "12.000|6": the number, then the counter's group.
int count(string name) {
  if (counters.KeyExists(name) == 0) return 0;
  return cs.FloatToInt(cs.CharToFloat(counters.GetS(name)));
}

// The sum of the counters whose name starts with `prefix` (one counter per
// address or per block list).
int count_all(string prefix) {
  int sum = 0;
  int length = cs.StrLen(prefix);
  for (int i = 0; i < counters.GetRecordCount(); i++) {
    string name = counters.GetKeyByIndex(i);
    if (cs.SubStr(name, 0, length) == prefix) sum = sum + count(name);
  }
  return sum;
}

int main() {
  CS_FileSystem fs = new CS_FileSystem();
  string day = cs.DateTimeFormat("%Y-%m-%d", cs.Time() - 12 * 3600);
  CS_Statistic stats = new CS_Statistic();
  if (stats.Load(fs.AppPath() + "/db/DAY_" + day + ".stc") == 0) {
    cs.WriteLog(2, "daily_stats: no statistics for " + day, "CRON");
    return 0;
  }
  stats.PopulatedArray(counters);

  // Refusals of banned addresses and of addresses over their session limit
  // are counted twice each (before and after the reply), hence the halves.
  string numbers = cs.Format("%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d,%d",
      count("f1tot_conn"), count_all("f3fw_iphell_[") / 2, count("f3fw_session_max_ip") / 2,
      count("f6_reject-dnsbl"), count("f3fw_timeout"), count("f3fw_max_errore"),
      count("f8_grey_bloc"), count("f8_grey_recall"), count("f8_grey_forze"),
      count("f11_bayes_spam"), count("f11_bayes_ham"), count("f11_bayes_neutral"),
      count("f11_bayes_tolearn"));
  cs.WriteLog(1, "daily_stats " + day + " (connections, refused: banned, session limit, DNSBL, "
              + "timeout, errors; greylist: blocked, passed, early retries; Bayes: spam, ham, "
              + "neutral, to learn): " + numbers, "CRON");

  string csv = fs.AppPath() + "/db/stats_summary.csv";
  string text = day + "," + numbers + "\n";
  if (fs.FileExists(csv) == 0) {
    text = "day,connections,refused_banned,refused_session_limit,refused_dnsbl,timeouts,"
         + "too_many_errors,grey_blocked,grey_passed,grey_early_retries,bayes_spam,bayes_ham,"
         + "bayes_neutral,bayes_to_learn\n" + text;
  }
  CS_File out = new CS_File();
  // 32769: write, appending at the end and creating the file when missing.
  if (out.Open(csv, 32769) == 0) {
    cs.WriteLog(1, "daily_stats: cannot write " + csv, "CRON");
    return 1;
  }
  out.Write(text, cs.StrLen(text));
  out.Close();
  return 0;
}
