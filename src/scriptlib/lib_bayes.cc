// lib_bayes - the script bindings of CParseMail, CBayesWord and CBayes.
#include "scriptlib/lib_bayes.h"

#include "engines/bayes_filter.h"
#include "engines/mail_parser.h"
#include "scriptlib/lib_binding.h"
#include "scriptlib/lib_hash_array.h"

namespace {

void MailAddStreaming(CParseMail* mail, const char* text) { mail->AddStreaming(text); }
int MailLoadMail(CParseMail* mail, const char* text) { return mail->LoadMail(text); }

int WordsElaborate(CBayesWord* words, CParseMail* mail) { return words->Elaborate(mail); }

void BayesPopolateDB(CBayes* bayes, CBayesWord* words, int mode) { bayes->PopolateDB(words, mode); }
int BayesIsSpam(CBayes* bayes, CBayesWord* words, CS_Array* array) {
  ArraySink sink(array);
  return bayes->IsSpamScript(words, array != nullptr ? &sink : nullptr);
}
int BayesAddQuarantine(CBayes* bayes, CParseMail* mail, const char* first, const char* second, int code,
                       CStatitiche_Day* stats) {
  return bayes->AddQuarantena(mail, first, second, code, stats);
}
CDB_RAM* BayesGetDBRam(CBayes* bayes, const char* name) { return bayes->GetDBRam(name); }
void BayesLoad(CBayes* bayes) { bayes->SuperLoad(); }

}  // namespace

void RegisterMailClasses(Interpreter* interpreter) {
  auto* mail = new ExternClass<CParseMail>();
  AddAdapterMethod(mail, "AddStreaming", &MailAddStreaming);
  mail->addMethod("GetBody", &CParseMail::GetBody);
  mail->addMethod("GetHeader", &CParseMail::GetHeader);
  mail->addMethod("GetSubject", &CParseMail::GetSubject);
  mail->addMethod("GetRawEmail", &CParseMail::GetRawEmail);
  mail->addMethod("GetMailFrom", &CParseMail::GetMailFrom);
  mail->addMethod("GetMailTo", &CParseMail::GetMailTo);
  mail->addMethod("GetContentTransferEncoding", &CParseMail::GetContentTransferEncoding);
  mail->addMethod("GetCharset", &CParseMail::GetCharset);
  mail->addMethod("GetContentType", &CParseMail::GetContentType);
  mail->addMethod("GetAttachmentCount", &CParseMail::GetAttachmentCount);
  mail->addMethod("GetLen", &CParseMail::GetLen);
  mail->addMethod("Parse", &CParseMail::Parse);
  mail->addMethod("GetAttachmentBuffer", &CParseMail::GetAttachmentBuffer);
  mail->addMethod("GetAttachmentContentType", &CParseMail::GetAttachmentContentType);
  mail->addMethod("GetAttachmentContentTransferEncoding", &CParseMail::GetAttachmentContentTransferEncoding);
  mail->addMethod("GetAttachmentCharset", &CParseMail::GetAttachmentCharset);
  AddAdapterMethod(mail, "LoadMail", &MailLoadMail);
  mail->addMethod("LoadFromFile", &CParseMail::LoadFromFile);
  interpreter->addExternClass("CS_ParseMail", mail);

  auto* words = new ExternClass<CBayesWord>();
  AddAdapterMethod(words, "Elaborate", &WordsElaborate);
  interpreter->addExternClass("CS_BayesWord", words);

  auto* bayes = new ExternClass<CBayes>();
  bayes->addMethod("SetMinOccurrences", &CBayes::SetMinOccorenze);
  AddAdapterMethod(bayes, "PopolateDB", &BayesPopolateDB);
  bayes->addMethod("RemoveNeutral", &CBayes::RemoveNeutral, "0");
  AddAdapterMethod(bayes, "AddQuarantine", &BayesAddQuarantine, ",,,,0");
  AddAdapterMethod(bayes, "GetDBRam", &BayesGetDBRam);
  bayes->addMethod("GetWordsCount", &CBayes::GetWordsCount);
  AddAdapterMethod(bayes, "IsSpam", &BayesIsSpam);
  AddAdapterMethod(bayes, "Load", &BayesLoad);
  interpreter->addExternClass("CS_Bayes", bayes);
}
