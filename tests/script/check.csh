// check.csh - the passed/failed counting check every suite here includes (tools/script-tests runs only *.cs).

CS_CRON_SCRIPT cs = new CS_CRON_SCRIPT($_this);
int passed = 0;
int failed = 0;

// Counts one check; a failure is printed with what came and what was due.
int same(string what, string got, string expected) {
  if (got == expected) { passed++; return 1; }
  failed++;
  cs.Print("FAIL " + what + ": got [" + got + "] expected [" + expected + "]\n");
  return 0;
}
