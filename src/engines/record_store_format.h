// record_store_format - the on-disk layout of a record-store file, shared by the
// code that writes it and the code that reads it back. Frozen: files written
// by earlier releases must keep loading, so none of these values may change.
//
//   header:  magic (kMagicBytes, no terminator) | int32 record count
//   record:  int32 time | int32 key length K | int32 value length V |
//            K key bytes | V value bytes
//
// Every integer is 32-bit little-endian; records follow the header back to
// back, in bucket order.
#ifndef TORVANE_ENGINES_RECORD_STORE_FORMAT_H_
#define TORVANE_ENGINES_RECORD_STORE_FORMAT_H_

#include <cstddef>
#include <cstdint>

namespace record_store_format {

// Magic of the files written today, and of the older files still accepted on
// reading (same layout; only the engines' value encodings differ).
inline constexpr char kMagicV2[] = "DBK2.0";
inline constexpr char kMagicV1[] = "DBK1.0";
// Bytes of magic at the start of the file; the terminator is not stored.
inline constexpr size_t kMagicBytes = 6;
// Where the record count sits, and where the first record starts.
inline constexpr size_t kCountOffset = kMagicBytes;
inline constexpr size_t kHeaderBytes = kCountOffset + 4;
// Fixed part of one record: time, key length, value length.
inline constexpr size_t kRecordHeaderBytes = 12;

// Longest key and longest value a record may hold, in bytes. Loading reuses
// one scratch block of this size plus a terminator for every key and value,
// so a length field beyond it marks the file as damaged.
inline constexpr int32_t kMaxKeyBytes = 32768;
inline constexpr int32_t kMaxValueBytes = 32768;

// A header count of this value is never believed (no real table comes near
// it); Open reads it, like a negative count, as "no records announced".
inline constexpr int32_t kUnfinishedCount = 0x7FFFFFFF;

// Format versions as GetTypeDB reports them.
inline constexpr int32_t kTypeV1 = 1;
inline constexpr int32_t kTypeV2 = 2;

}  // namespace record_store_format

#endif  // TORVANE_ENGINES_RECORD_STORE_FORMAT_H_
