// fields.csh - shared by the admin commands: the script object, the
// request's fields and the checks each command applies before a field
// reaches a path, a pattern, a record or the configuration.
CS_ADMIN_SCRIPT cs = new CS_ADMIN_SCRIPT($_this);
HashArray args = new HashArray();

// Reads the first row of the request; the number of fields it has.
int read_args(CAdminRequest req) {
  HashArray row = req.GetRow();
  args.Reset();
  if (row == 0) return 0;
  args.Merge(row);
  return args.GetRecordCount();
}

// Field n (from 1) of the request; "" when absent.
string arg(int n) {
  string key = "c" + cs.IntToChar(n);
  if (args.KeyExists(key) == 0) return "";
  return args.GetS(key);
}

// 1 for a name fit for a file, section or key: letters, digits, "_", ".", "-".
int is_name(string text) { return cs.REeq(text, "^[A-Za-z0-9][A-Za-z0-9_.-]{0,63}$"); }
// 1 for a dotted-quad IPv4 address.
int is_ip(string text) { return cs.REeq(text, "^([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})\\.([0-9]{1,3})$"); }
// 1 for a decimal number of at most 9 digits.
int is_number(string text) { return cs.REeq(text, "^[0-9]{1,9}$"); }
// 1 for one line of printable text (a configuration value, a job line).
int is_line(string text) { return cs.REeq(text, "^[^\\r\\n\\x00-\\x08]{0,1024}$"); }

// Answers error 1 with one row holding why.
int refuse(CAdminResponse res, CAdminRequest req, string why) {
  res.Reset();
  res.Addnew();
  res.SetFieldAt(1, why);
  res.Send(req.GetCmd(), 1);
  return 1;
}

// Answers the rows built so far.
int done(CAdminResponse res, CAdminRequest req) {
  res.Send(req.GetCmd(), 0);
  return 1;
}

// One row of one or two fields.
void row2(CAdminResponse res, string a, string b) {
  res.Addnew();
  res.SetFieldAt(1, a);
  res.SetFieldAt(2, b);
}

// Field n as a count: `fallback` when absent, -1 when not a number.
int count_arg(int n, int fallback) {
  if (arg(n) == "") return fallback;
  if (is_number(arg(n)) == 0) return -1;
  return cs.CharToInt(arg(n));
}

// One row per pair of `pairs`: key, value.
void pair_rows(CAdminResponse res, HashArray pairs) {
  for (int i = 0; i < pairs.GetRecordCount(); i++) row2(res, pairs.GetKeyByIndex(i), pairs.GetByIndexS(i));
}
