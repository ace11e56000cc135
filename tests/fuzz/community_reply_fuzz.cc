// community_reply_fuzz - forged reputation replies and server lists: a crash or a list past its limits.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/host_name.h"
#include "engines/community_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view datagram(reinterpret_cast<const char*>(data), size);
  const std::string_view reply = CCommunityTorvane::ReplyText(datagram);
  if (reply.size() > CCommunityTorvane::kDatagramBytes) __builtin_trap();
  static CCommunityTorvane client;
  const float score = client.GetscoreFromRes(reply);
  if (score != 0.0f && score != 2.5f && score != 5.0f && score != 10.0f) __builtin_trap();
  std::vector<std::string> servers;
  if (CCommunityTorvane::ParseServerList(reply, &servers)) {
    if (servers.empty() || servers.size() > CCommunityTorvane::kMaxServers) __builtin_trap();
    for (const std::string& server : servers) {
      if (!IsDottedQuad(server) && !IsHostName(server)) __builtin_trap();
      if (server.find('/') != std::string::npos) __builtin_trap();
    }
  }
  return 0;
}
