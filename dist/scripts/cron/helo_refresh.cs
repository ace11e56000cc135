// helo_refresh.cs - rebuilds the table of this server's own names and
// addresses (db/helo_forget.db). The anti-spam policy refuses a client
// whose HELO claims one of them, so until this job has run once, a new
// site's table is empty and nothing is caught.
//
// When: every hour at minute 7 ("7 * * * * helo_refresh.cs" in
// torvane.crontab), so names that change are picked up within the hour.
//
// What it reads: CONFIG "myippub" (this server's public address; without
// it there is nothing to rebuild) and CONFIG "myname".
//
// Try it by hand (outside the daemon there is no HELO table, so it only
// reports that):
//   torvane-script --config=/etc/torvane_antispam.conf scripts/cron/helo_refresh.cs

CS_CRON_SCRIPT cs = new CS_CRON_SCRIPT($_this);

int main() {
  if (cs.GetConfig("myippub", "CONFIG") == "") {
    cs.WriteLog(3, "helo_refresh: CONFIG myippub is empty: no own names to list", "CRON");
    return 0;
  }
  // 0 when another rebuild is running (an admin asked for one) or when
  // there is no HELO table: the next hour tries again.
  if (cs.SetHeloRefresh() == 0) {
    cs.WriteLog(2, "helo_refresh: not rebuilt this time", "CRON");
    return 0;
  }
  cs.WriteLog(3, "helo_refresh: own names rebuilt", "CRON");
  return 0;
}
