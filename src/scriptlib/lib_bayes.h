// lib_bayes - the script classes of the mail parser and the Bayes filter:
// "CS_ParseMail" (CParseMail), "CS_BayesWord" (CBayesWord) and "CS_Bayes"
// (CBayes). A script's own "new CS_Bayes" works on its own copy of the
// stores, which never saves; the daemon's engine reaches cron scripts
// through GetDBBayes.
#ifndef TORVANE_SCRIPTLIB_LIB_BAYES_H_
#define TORVANE_SCRIPTLIB_LIB_BAYES_H_

#include "script/interpreter.h"

// Registers "CS_ParseMail", "CS_BayesWord" and "CS_Bayes".
void RegisterMailClasses(Interpreter* interpreter);

#endif  // TORVANE_SCRIPTLIB_LIB_BAYES_H_
