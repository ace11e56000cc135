// lib_http_client - the script class "CS_HttpClient" (CTorvaneHTTPClient):
// one HTTP/1.0 request per call from any script kind.
#ifndef TORVANE_SCRIPTLIB_LIB_HTTP_CLIENT_H_
#define TORVANE_SCRIPTLIB_LIB_HTTP_CLIENT_H_

#include "script/interpreter.h"

// Registers "CS_HttpClient".
void RegisterHttpClient(Interpreter* interpreter);

#endif  // TORVANE_SCRIPTLIB_LIB_HTTP_CLIENT_H_
