// housekeeping.cs - deletes what the daemon keeps for a while only: the
// archived logs logs/log_YYYY-MM-DD_HH-MM-SS.xml older than CRON
// "keep_log_days" days (30 when not set) and the statistics day files
// db/DAY_YYYY-MM-DD.stc older than CRON "keep_stats_days" days (400 when not
// set). A file's age is the date in its name. Nothing else is touched: other
// files in those folders stay whatever their names.
//
// When: every day at 03:30 ("30 3 * * * housekeeping.cs" in torvane.crontab),
// a quiet hour for most sites.
//
// Try it by hand on a copy of the daemon's folder:
//   torvane-script --config=/etc/torvane_antispam.conf --app-path=/opt/torvane scripts/cron/housekeeping.cs

CS_CRON_SCRIPT cs = new CS_CRON_SCRIPT($_this);
CS_FileSystem fs = new CS_FileSystem();

// CRON `key` as a count of days; `fallback` when not set or below 1.
int days_setting(string key, int fallback) {
  int days = cs.CharToInt(cs.GetConfig(key, "CRON"));
  if (days < 1) return fallback;
  return days;
}

// Deletes the files of `folder` whose whole name matches `pattern` and whose
// date (the pattern's first group, YYYY-MM-DD) is more than `days` days
// back. Returns how many were deleted.
int prune(string folder, string pattern, int days) {
  HashArray names = new HashArray();
  if (fs.ReadDir(folder, names) == 0) return 0;
  // Dates written YYYY-MM-DD compare as texts in date order.
  string cutoff = cs.DateTimeFormat("%Y-%m-%d", cs.Time() - days * 86400);
  int deleted = 0;
  for (int i = 0; i < names.GetRecordCount(); i++) {
    string name = names.GetKeyByIndex(i);
    // Both sides of && are always evaluated: the tests are nested instead.
    if (cs.REeq(name, pattern)) {
      if (cs.$1() < cutoff) {
        if (fs.UnLink(folder + "/" + name)) deleted++;
      }
    }
  }
  return deleted;
}

int main() {
  string root = fs.AppPath();
  int logs = prune(root + "/logs", "^log_(\\d{4}-\\d{2}-\\d{2})_\\d{2}-\\d{2}-\\d{2}\\.xml$",
                   days_setting("keep_log_days", 30));
  int days = prune(root + "/db", "^DAY_(\\d{4}-\\d{2}-\\d{2})\\.stc$", days_setting("keep_stats_days", 400));
  cs.WriteLog(3, cs.Format("housekeeping: %d archived logs and %d statistics day files deleted", logs, days),
              "CRON");
  return 0;
}
