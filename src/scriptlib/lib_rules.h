// lib_rules - the script classes of the content rules: "CS_RulesDB"
// (CRules) and "CS_RulesResult" (CRulesResult). A script's own
// "new CS_RulesDB" opens a store of its choosing; the daemon's rules reach
// management scripts through GetRulesDB.
#ifndef TORVANE_SCRIPTLIB_LIB_RULES_H_
#define TORVANE_SCRIPTLIB_LIB_RULES_H_

#include "script/interpreter.h"

// Registers "CS_RulesResult" and "CS_RulesDB".
void RegisterRulesClasses(Interpreter* interpreter);

#endif  // TORVANE_SCRIPTLIB_LIB_RULES_H_
