// lib_http_client - the script binding of CTorvaneHTTPClient.
#include "scriptlib/lib_http_client.h"

#include "base/http_client.h"
#include "scriptlib/lib_binding.h"

namespace {

int HttpSend(CTorvaneHTTPClient* client, int method, const char* url, const char* data) {
  return client->SendRequest(method, url, data) ? 1 : 0;
}
// Scripts give the time-out in seconds.
void HttpSetTimeOut(CTorvaneHTTPClient* client, int seconds) { client->SetTimeOutCs(seconds); }

}  // namespace

void RegisterHttpClient(Interpreter* interpreter) {
  auto* http = new ExternClass<CTorvaneHTTPClient>();
  AddAdapterMethod(http, "SendRequest", &HttpSend, ",,0");
  http->addMethod("GetHeader", &CTorvaneHTTPClient::GetHeader);
  http->addMethod("GetResult", &CTorvaneHTTPClient::GetResult);
  http->addMethod("GetStatus", &CTorvaneHTTPClient::GetStatus);
  AddAdapterMethod(http, "SetTimeOut", &HttpSetTimeOut);
  http->addMethod("SetAgentName", &CTorvaneHTTPClient::SetAgentName);
  http->addMethod("SetMaxBufferLen", &CTorvaneHTTPClient::SetMaxBufferLen);
  http->addMethod("SetIPAdatper", &CTorvaneHTTPClient::SetIPAdatper);
  interpreter->addExternClass("CS_HttpClient", http);
}
