#pragma once
// CRC-32 as files carry it: reflected polynomial 0xEDB88320, initial value
// 0xFFFFFFFF, result complemented (the check value of "123456789" is
// 0xCBF43926, the same as zlib's crc32).

#include <cstddef>
#include <cstdint>

namespace ketrel {

inline constexpr uint32_t kCrc32Initial = 0xFFFFFFFFu;

// Feeds `size` bytes into a running CRC state (start from kCrc32Initial).
// Any split of a buffer into calls gives the same state. Buffers of 4800
// bytes or more take a path several times faster that uses about 10 KB of
// stack.
uint32_t UpdateCrc32(uint32_t state, const void* bytes, size_t size);
// The CRC of a finished state: its complement.
inline uint32_t FinishCrc32(uint32_t state) { return ~state; }
// The CRC-32 of one buffer.
uint32_t ComputeCrc32(const void* bytes, size_t size);

}  // namespace ketrel
