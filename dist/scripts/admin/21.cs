// quarantine-show - NAME KEY: the first 64 KiB of a quarantined message
#include "fields.csh"
#include "quarantine.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  read_args(req);
  if (is_quarantine(arg(1)) == 0 || is_message_key(arg(2)) == 0) return refuse(res, req, "usage: NAME KEY");
  CS_File f = new CS_File();
  if (f.Open(message_path(arg(1), arg(2)), 32768) == 0) return refuse(res, req, "no such message");
  CS_Buffer b = new CS_Buffer();
  b.Allocate(65536);
  int length = f.Read(b);
  f.Close();
  res.Addnew();
  if (length > 0) res.SetFieldBinaryAt(1, b.GetPointer(), length);
  return done(res, req);
}
