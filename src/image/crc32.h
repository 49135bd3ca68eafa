// CRC-32 of ISO-HDLC (the CRC of gzip): reflected polynomial 0xEDB88320,
// register preset to all ones, final complement.
//
// crc32() is the one the daemon uses; it works on five interleaved streams
// of 8-byte words with derived tables and gives exactly the result of the
// byte-wise table method below, which stays available as the reference.
// Both assemble input bytes one at a time, so neither depends on the host's
// byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace upd {

uint32_t crc32(const uint8_t* data, size_t length);

// Continues a CRC over more bytes: crc32Update(0, a, n) == crc32(a, n) and
// crc32Update(crc32(a, n), b, m) is the CRC of a followed by b.
uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t length);

// The byte-wise table method with the published 256-entry table.
uint32_t crc32Bytewise(const uint8_t* data, size_t length);

}  // namespace upd
