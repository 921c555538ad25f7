// Byte order of the wire formats. Every integer this daemon puts on the wire
// (TLV values, message headers, stored rows) is little-endian; the helpers
// below turn a host value into wire order and back. On a little-endian host
// (every controller, and every machine we build for) they copy the value
// unchanged; on a big-endian host they reverse its bytes.
//
// Stateless; callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

constexpr bool kChsHostLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// True on a little-endian host, which the platform always is.
bool chs_isLittleEndianness();

// Unconditional byte swaps.
constexpr uint16_t chs_byteSwap16(uint16_t value) { return __builtin_bswap16(value); }
constexpr uint32_t chs_byteSwap32(uint32_t value) { return __builtin_bswap32(value); }
constexpr uint64_t chs_byteSwap64(uint64_t value) { return __builtin_bswap64(value); }

// Host order <-> little-endian wire order for a 16-, 32- or 64-bit integer
// (signed or unsigned). The conversion is its own inverse.
template <
    typename T,
    std::enable_if_t<std::is_integral_v<T> && (sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8), int> = 0>
constexpr T chs_convertEndianess(T value) {
    if constexpr (kChsHostLittleEndian) {
        return value;
    } else if constexpr (sizeof(T) == 2) {
        return static_cast<T>(chs_byteSwap16(static_cast<uint16_t>(value)));
    } else if constexpr (sizeof(T) == 4) {
        return static_cast<T>(chs_byteSwap32(static_cast<uint32_t>(value)));
    } else {
        return static_cast<T>(chs_byteSwap64(static_cast<uint64_t>(value)));
    }
}

// Byte-array form: the `length` bytes at `bytes` hold one integer; reverses
// them in place on a big-endian host. Null or length 0 does nothing.
void chs_convertEndianess(void* bytes, size_t length);
