// quarantine-learn - NAME KEY spam|ham: trains the Bayes filter with a quarantined message
#include "fields.csh"
#include "quarantine.csh"

int Main(CAdminRequest req, CAdminResponse res) {
  read_args(req);
  if (is_quarantine(arg(1)) == 0 || is_message_key(arg(2)) == 0 || cs.REeq(arg(3), "^(spam|ham)$") == 0) {
    return refuse(res, req, "usage: NAME KEY spam|ham");
  }
  CS_Bayes bayes = cs.GetDBBayes();
  if (bayes == 0) return refuse(res, req, "no Bayes filter");
  CS_ParseMail mail = new CS_ParseMail();
  if (mail.LoadFromFile(message_path(arg(1), arg(2))) == 0) return refuse(res, req, "no such message");
  CS_BayesWord words = new CS_BayesWord();
  words.Elaborate(mail);
  int mode = 1;
  if (arg(3) == "ham") mode = 2;
  bayes.PopolateDB(words, mode);
  return done(res, req);
}
