// lib_rules - the script bindings of CRules and CRulesResult.
#include "scriptlib/lib_rules.h"

#include "engines/content_rules.h"
#include "scriptlib/lib_binding.h"
#include "scriptlib/lib_hash_array.h"

namespace {

int RulesOpen(CRules* rules, const char* name) { return rules->Open(name) ? 1 : 0; }
int RulesLoad(CRules* rules) { return rules->Load(); }
int RulesSave(CRules* rules) { return rules->Save(); }
int RulesAdd(CRules* rules, const char* name, const char* pattern, int target, float score, int options) {
  return rules->AddRule(name, pattern, target, score, options);
}
void RulesView(CRules* rules, CS_Array* array) {
  ArraySink sink(array);
  if (array != nullptr) rules->RuletoArray(&sink);
}
const char* RulesTest(CRules* rules, CParseMail* mail, const char* pattern, int target, int options,
                      CS_Array* array) {
  ArraySink sink(array);
  return rules->RuleTest(mail, pattern, target, options, array != nullptr ? &sink : nullptr);
}
int RulesDelete(CRules* rules, const char* name) { return rules->DeleteRule(name); }
float RulesCheck(CRules* rules, CParseMail* mail, CRulesResult* result) { return rules->IsScoreRules(mail, result); }

}  // namespace

void RegisterRulesClasses(Interpreter* interpreter) {
  auto* result = new ExternClass<CRulesResult>();
  result->addMethod("GetRulesCount", &CRulesResult::GetRulesCount);
  result->addMethod("GetRulesName", &CRulesResult::GetRulesName);
  result->addMethod("GetRulesRE", &CRulesResult::GetRulesRE);
  result->addMethod("GetRulesScore", &CRulesResult::GetRulesScore);
  interpreter->addExternClass("CS_RulesResult", result);

  auto* rules = new ExternClass<CRules>();
  AddAdapterMethod(rules, "Open", &RulesOpen);
  AddAdapterMethod(rules, "Load", &RulesLoad);
  AddAdapterMethod(rules, "Save", &RulesSave);
  AddAdapterMethod(rules, "AddRule", &RulesAdd);
  AddAdapterMethod(rules, "ViewRules", &RulesView);
  AddAdapterMethod(rules, "RuleTest", &RulesTest, ",,,,0");
  AddAdapterMethod(rules, "DeleteRule", &RulesDelete);
  AddAdapterMethod(rules, "RegularExpressionCheck", &RulesCheck, "0,0");
  interpreter->addExternClass("CS_RulesDB", rules);
}
