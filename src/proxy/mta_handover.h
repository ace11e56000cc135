// mta_handover - what the gateway tells the MTA about the client it relays
// for, since every connection reaches the MTA from the gateway's own
// address: the Received trace header of the client's hop, added to every
// relayed message, and the XCLIENT command that hands an MTA offering it
// the client's address and names.
// Thread-safety: free functions, reentrant.
#ifndef TORVANE_PROXY_MTA_HANDOVER_H_
#define TORVANE_PROXY_MTA_HANDOVER_H_

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

inline constexpr char kXclientKeyword[] = "XCLIENT";
// The answer to a client's own XCLIENT: the MTA trusts the gateway's
// address, so a client's XCLIENT would pass as the gateway's. The line is
// never forwarded, and the MTA's XCLIENT offer never reaches the client.
inline constexpr char kClientXclientReply[] = "502 5.5.1 Command not implemented\r\n";

// The client's hop as the session knows it. Every text but `by` and `id`
// comes from the network and is untrusted.
struct ClientHop {
  std::string_view helo;          // the HELO/EHLO argument; "" before one
  std::string_view address;       // dotted
  std::string_view reverse_name;  // PTR name; "" when none
  std::string_view protocol;      // HopProtocol
  std::string_view by;            // the gateway's host name
  std::string_view id;            // names this hop in logs
  time_t when = 0;
};

// "SMTP" after HELO, "ESMTP" after EHLO; "ESMTPS" when the client's leg is
// encrypted, with "A" added once the client authenticated.
std::string HopProtocol(bool extended, bool encrypted, bool authenticated);

// The Received header of the hop, folded, ending CR LF:
//   Received: from HELO (PTR [ADDRESS])
//   \tby BY (Torvane Antispam) with PROTOCOL id ID;
//   \tDay, DD Mon YYYY HH:MM:SS +0000
// Client texts keep only what a header comment may hold: other bytes become
// "?", and each is cut to a host name's length ("unknown" for none).
std::string TraceHeader(const ClientHop& hop);

// "XCLIENT ADDR=... NAME=... HELO=... PROTO=...\r\n", the values xtext
// encoded; a name the client did not give, or one too long for the
// command, is "[UNAVAILABLE]". PROTO is "SMTP" or "ESMTP".
std::string XclientCommand(const ClientHop& hop, bool extended);

// `bdat_line` ("BDAT size [LAST]") announcing `extra` bytes more; "" when
// the line is not of that shape or the size would pass INT_MAX.
std::string GrownBdatLine(std::string_view bdat_line, int64_t extra);

#endif  // TORVANE_PROXY_MTA_HANDOVER_H_
