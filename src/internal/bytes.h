#pragma once

// Scans for bytes that may not reach the wire, 16 at a time. Subjects and header fields are
// checked on every publish and reply; a loop of one byte at a time cost about 9 instructions
// per byte, about 500 for a reply's inbox.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vek_nats::detail {

// 16 bytes as one value (the vector extension of GCC and Clang, SSE2 on x86-64). A comparison
// gives a mask: all ones in the lanes where it holds.
typedef unsigned char bytes16 __attribute__((vector_size(16)));
typedef signed char mask16 __attribute__((vector_size(16)));

inline bytes16 load16(const unsigned char* p) {
    bytes16 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline bool any_lane(mask16 m) {
    std::uint64_t halves[2];
    std::memcpy(halves, &m, sizeof halves);
    return (halves[0] | halves[1]) != 0;
}

// True when `refused(block, next)` marks a lane of some byte of [text, text + n): `block`
// holds 16 of the bytes and `next` the 16 that start one byte later, so that a check can look
// at pairs. The last block overlaps the one before it instead of running past the end, and
// reads text[n] in `next`: text[n] must be readable (a string's terminating zero). Fewer than
// 16 bytes are copied into a block that 'a', which no check refuses, fills up.
template <class Refused>
bool any_byte(const char* text, std::size_t n, Refused refused) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    if (n < 16) {
        unsigned char block[17];
        std::memset(block, 'a', sizeof block);
        std::memcpy(block, p, n);
        return any_lane(refused(load16(block), load16(block + 1)));
    }
    for (std::size_t i = 0; i + 16 < n; i += 16) {
        if (any_lane(refused(load16(p + i), load16(p + i + 1)))) return true;
    }
    return any_lane(refused(load16(p + n - 16), load16(p + n - 15)));
}

}  // namespace vek_nats::detail
