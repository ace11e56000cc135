// alwl-add - LOCAL-SENDER RECIPIENT: white-lists mail from RECIPIENT to LOCAL-SENDER
#include "fields.csh"

int is_address(string text) { return cs.REeq(text, "^[^@\\s<>]{1,128}@[A-Za-z0-9.-]{1,253}$"); }

int Main(CAdminRequest req, CAdminResponse res) {
  read_args(req);
  if (is_address(arg(1)) == 0 || is_address(arg(2)) == 0) return refuse(res, req, "usage: LOCAL-SENDER RECIPIENT");
  cs.AddALWL(arg(1), arg(2));
  return done(res, req);
}
