// smtp_session - SmtpSession, the state of one relayed SMTP connection: the
// two sockets, the queues and buffers between them, the dialogue state and
// what the scripts set for the session. The session worker owns one and
// drives it; the session's script objects read and change it through
// CS_ANTISPAM_SCRIPT while an event runs on the worker's thread.
#ifndef TORVANE_PROXY_SMTP_SESSION_H_
#define TORVANE_PROXY_SMTP_SESSION_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/socket.h"
#include "base/tls.h"
#include "base/string.h"
#include "engines/mail_parser.h"
#include "proxy/quarantine_copy.h"
#include "proxy/smtp_commands.h"

// Not thread-safe: used only by the worker's thread (the worker hands it to
// its scripts only while an event runs on that thread).
struct SmtpSession {
  // Client states.
  static constexpr int kCommandMode = 1;
  static constexpr int kDataMode = 3;
  // Message bytes held before the scripts decide (the data limit of each
  // message), and the prefix of them the analysis reads.
  static constexpr int kDefaultDataLimit = 30720;
  static constexpr int kAnalysedBytes = 30720;
  // Addresses one session may count against the per-address limit
  // (RegisterSessionIp): a script calling it in a loop gets no more.
  static constexpr size_t kMaxRegisteredAddresses = 16;

  int id = 0;                      // connection id from the listener
  CSocketComm* client = nullptr;   // the listener's slot; not owned
  // The client's TLS once STARTTLS succeeded: every byte to and from the
  // client goes through it. Owned here, not by the slot, so it lives and
  // dies on the worker's thread.
  std::unique_ptr<TlsChannel> client_tls;
  bool hello_due = false;          // after STARTTLS: nothing but a new HELO/EHLO (or QUIT, NOOP, RSET)
  String to_client;                // bytes waiting to be sent to the client
  String from_mta;                 // the last block read from the MTA
  std::unique_ptr<CSocketComm> mta;  // created on demand by the script's connects
  std::unique_ptr<TlsChannel> mta_tls;  // once STARTTLS to the MTA succeeded
  bool mta_tls_tried = false;      // STARTTLS was considered on this MTA connection
  String to_mta;                   // bytes waiting to be sent to the MTA
  String from_client;              // the last block read from the client
  int state = kCommandMode;
  ClientLineSplitter lines;        // command-mode bytes not yet cut into lines
  String current_line;             // the command being handled; its rest is forwarded
  bool line_ready = true;          // the next client command may be handled
  int error_count = 0;             // MTA replies matching "^50[0-9]"
  bool relay_client = false;       // relay range, or authenticated to the MTA
  int64_t last_activity = 0;       // monotonic milliseconds of the client's last bytes
  String reverse_name;             // PTR name of the client address
  String client_address;           // dotted
  String mta_name;                 // host of the MTA connected by ConnectToDefaultMTA
  String mta_replace_name;         // and the name the administrator gave it
  SockAddrIn mta_peer;             // where the open MTA connection goes
  String mta_adapter;              // and the local address it was bound to
  bool mta_chunking = false;       // the MTA's last EHLO answer offered CHUNKING
  bool mta_knows_client = false;   // XCLIENT went to this MTA connection
  String helo_line;                // the last HELO/EHLO line the MTA was sent
  String extension_injection;      // inserted into the MTA's next EHLO answer
  String extension_drop;           // "\n"-separated lines removed from it
  String data_block;               // message data collected in data mode
  // data_block holds the message from its first byte (none of it has gone
  // on to the MTA or been dropped), as BDAT chunks carry it when
  // `chunked_message`, else dot-stuffed as DATA does.
  bool message_from_start = false;
  bool chunked_message = false;
  // The scripts' header edits: data_block's first `edited_start_bytes`
  // stand for `received_start`, what the client sent there.
  std::string received_start;
  size_t edited_start_bytes = 0;
  QuarantineCopy quarantine;       // filings waiting for the message's end
  bool block_sending = false;      // the data block is moving to the to-MTA queue
  int end_of_data = 0;             // 1 once the end-of-data mark was seen
  int bdat_remaining = 0;          // bytes of the current BDAT chunk still to come
  bool close_after_queue = false;  // end once the to-client queue is sent
  String helo_name;
  bool extended_hello = false;     // the client said EHLO, not HELO
  String mail_from;
  int data_limit = kDefaultDataLimit;  // of the current message
  int property = 0;                // bits set by RegisterSessionProperty
  String analysed_message;         // the prefix of the message the scripts analysed
  CParseMail parser;               // that prefix parsed
  int script_replies = 0;          // SendToClient calls so far
  // Addresses this session counted against the per-address limit; each is
  // released when the session ends.
  std::vector<String> registered_addresses;

  // Back to the state of a new connection: every field above to its initial
  // value, the MTA socket object destroyed (closed), the client forgotten
  // (not closed: the listener owns it).
  void Reset();
  // A new message begins in data mode: held from its first byte, unedited,
  // nothing to quarantine yet.
  void StartMessage(bool chunked);
  // Replaces the first `old_bytes` of data_block (at most all of it) with
  // `replacement`: an edit of the header block. What the client sent there
  // is kept for ReceivedData.
  void EditDataStart(size_t old_bytes, std::string_view replacement);
  // data_block as the client sent it, without the edits.
  std::string ReceivedData() const;
  bool HasClient() const { return client != nullptr && client->IsOpen(); }
  // The client's bytes, decrypted once TLS is on; as CSocketComm's
  // ReceiveAvailable and SendAvailable (-1 without a client).
  int ClientReceive(void* buffer, int length);
  int ClientSend(const void* buffer, int length);
  // Decrypted client bytes held in the TLS channel, which no poll reports.
  bool ClientHasPending() const { return client_tls != nullptr && client_tls->HasPending(); }
  // The same for the MTA connection (-1 without one).
  int MtaReceive(void* buffer, int length);
  int MtaSend(const void* buffer, int length);
  bool MtaHasPending() const { return mta_tls != nullptr && mta_tls->HasPending(); }
  bool HasMta() const { return mta != nullptr && mta->IsOpen(); }
  // Creates the MTA socket object if absent and closes it: called before
  // every connect to an MTA.
  CSocketComm* PrepareMta();
  // Notes a connection the MTA socket has just made (bound to `adapter`,
  // null or "" for the host's own address), so the relay can open it again,
  // and sends small writes at once (TCP_NODELAY).
  void MtaConnected(const char* adapter);
  // Closes the MTA connection and opens it again to the same peer from the
  // same local address. False (closed) when that fails.
  bool ReconnectMta();
};

#endif  // TORVANE_PROXY_SMTP_SESSION_H_
