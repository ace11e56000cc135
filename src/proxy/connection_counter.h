// connection_counter - "countconn.dat" under the application directory: the next SMTP
// connection id, kept across restarts. The proxy core reads it at start and
// writes it at every save; the start-up migration seeds it once.
// Format: exactly 4 bytes, a signed 32-bit integer in the machine's byte
// order.
#ifndef TORVANE_PROXY_CONNECTION_COUNTER_H_
#define TORVANE_PROXY_CONNECTION_COUNTER_H_

// Name of the counter file under the application directory.
inline constexpr char kCountConnFile[] = "countconn.dat";

// The stored id: 0 when the file cannot be read (or is shorter than 4
// bytes), 1 when the value is negative or 2147483647, else the value.
int GetAntispamIdConnFromDisk();
// Stores `id` (a negative id or 2147483647 becomes 1), replacing the file
// atomically. False when it cannot be written.
bool WriteAntispamIdConnToDisk(int id);

#endif  // TORVANE_PROXY_CONNECTION_COUNTER_H_
