// lib_socket - CS_Buffer's script methods and CS_Socket.
#include "scriptlib/lib_socket.h"

#include <sys/socket.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "scriptlib/lib_binding.h"

namespace {

// {=========== CS_Buffer: the String methods scripts see

void BufferAllocate(String* buffer, int n) { buffer->Allocate(n); }
int BufferGetLen(String* buffer) { return buffer->GetRealBufferSize(); }
Variable BufferToString(String* buffer) { return TextResult(buffer->GetData()); }
String* BufferGetBuffer(String* buffer) { return buffer; }

// Replaces the contents with `length` bytes of `data`; an impossible length
// leaves the buffer as it was. The bytes are copied first: `data` may be
// this very buffer, whose storage SetBuffer releases.
void BufferWrite(String* buffer, Variable data, int length) {
  std::string_view bytes;
  if (!ScriptBytesPrefix(data, length, &bytes)) return;
  const std::string copy(bytes);
  buffer->SetBuffer(copy.data(), copy.size());
}

// The buffer itself, typed so that methods taking binary data can bound
// their reads by its real contents.
Variable BufferGetPointer(String* buffer) {
  Variable out;
  out.setPointer(buffer, &typeid(String*));
  return out;
}

// The byte at `index` (0..255); 0 outside the stored bytes.
int BufferGetAt(String* buffer, int index) {
  std::string_view bytes = buffer->BufferView();
  if (index < 0 || static_cast<size_t>(index) >= bytes.size()) return 0;
  return static_cast<unsigned char>(bytes[static_cast<size_t>(index)]);
}

void RegisterBuffer(Interpreter* interpreter) {
  auto* c = new ExternClass<String>();
  AddAdapterMethod(c, "Allocate", &BufferAllocate);
  AddAdapterMethod(c, "GetLen", &BufferGetLen);
  AddAdapterMethod(c, "ToString", &BufferToString);
  AddAdapterMethod(c, "Write", &BufferWrite);
  AddAdapterMethod(c, "GetBuffer", &BufferGetBuffer);
  AddAdapterMethod(c, "GetPointer", &BufferGetPointer);
  AddAdapterMethod(c, "GetAt", &BufferGetAt);
  interpreter->addExternClass("CS_Buffer", c);
}

// }===========

void RegisterSocket(Interpreter* interpreter) {
  auto* c = new ExternClass<CS_Socket, int>("0");
  c->addMethod("IsOpen", &CS_Socket::IsOpen);
  c->addMethod("Close", &CS_Socket::Close);
  c->addMethod("ConnectTo", &CS_Socket::ConnectTo, ",,0");
  c->addMethod("Send", &CS_Socket::Send);
  c->addMethod("SendB", &CS_Socket::Send);
  c->addMethod("Riceve", &CS_Socket::Riceve);
  interpreter->addExternClass("CS_Socket", c);
}

}  // namespace

CS_Socket::CS_Socket(int mode) : udp_(mode >= 1) {
  if (!udp_) tcp_ = std::make_unique<CSocketComm>();
}

int CS_Socket::BoundedWait(int timeout_ms) {
  return timeout_ms < 0 || timeout_ms > kMaxWaitMs ? kMaxWaitMs : timeout_ms;
}

int CS_Socket::IsOpen() const { return (udp_ ? datagram_ != nullptr : tcp_->IsOpen()) ? 1 : 0; }

void CS_Socket::Close() {
  if (udp_) {
    datagram_.reset();
  } else if (tcp_->IsOpen()) {
    tcp_->CloseComm();
  }
}

int CS_Socket::ConnectTo(const char* host, const char* port, const char* adapter) {
  Close();
  if (host == nullptr || port == nullptr) return 0;
  if (!udp_) return tcp_->ConnectTo(host, port, AF_INET, SOCK_STREAM, adapter) ? 1 : 0;
  const long number = strtol(port, nullptr, 10);
  if (number < 1 || number > 65535) return 0;
  auto endpoint = std::make_unique<CDnsClient>();
  if (!endpoint->SetDestination(host, static_cast<uint16_t>(number))) return 0;
  endpoint->SetTimeOut(kUdpIdleTimeoutMs);
  datagram_ = std::move(endpoint);
  return 1;
}

int CS_Socket::Send(Variable data, int length, int timeout_ms) {
  if (!IsOpen()) return -1;
  std::string_view bytes;
  if (!ScriptBytesPrefix(data, length, &bytes)) return 0;
  if (!udp_) return tcp_->Send(bytes.data(), length, BoundedWait(timeout_ms));
  std::string_view whole;
  ScriptBytes(data, &whole);
  return datagram_->Send(whole.data(), static_cast<int>(whole.size()));
}

int CS_Socket::Riceve(String* buffer, int timeout_ms) {
  if (buffer == nullptr || buffer->GetCapacity() < 1 || !IsOpen()) return -1;
  buffer->clear();
  char* room = buffer->GetBuffer(0);
  const int wait = BoundedWait(timeout_ms);
  const int count = udp_ ? datagram_->ReadFor(room, buffer->GetCapacity(), wait)
                         : tcp_->Riceve(room, buffer->GetCapacity(), wait);
  buffer->SetLenAftherSetBuffer(count > 0 ? count : 0);
  return count;
}

void RegisterSocketClasses(Interpreter* interpreter) {
  RegisterBuffer(interpreter);
  RegisterSocket(interpreter);
}
