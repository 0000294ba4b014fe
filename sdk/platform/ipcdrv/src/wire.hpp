// Little-endian field access on byte buffers. Wire structures are kept as
// byte arrays and read or written field by field through these helpers, so
// the compiler's struct layout and the host byte order never matter.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ipc_wire {

template <typename T>
inline T get_le(const uint8_t *p)
{
    T v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        v = static_cast<T>(v | (static_cast<T>(p[i]) << (8 * i)));
    }
    return v;
}

template <typename T>
inline void put_le(uint8_t *p, T v)
{
    for (size_t i = 0; i < sizeof(T); ++i) {
        p[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
    }
}

}  // namespace ipc_wire
