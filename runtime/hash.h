// The hashes of the in-memory tables (catalogue indexes, text sets, folder tables): 64-bit
// FNV-1a over bytes, which may be continued over several parts of one key, and a
// multiplicative hash for integer keys. Table slots only; nothing stored or sent depends on them.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint64_t kHashStart = 0xCBF29CE484222325ULL;

// Takes one more byte into `hash`.
constexpr uint64_t hashByte(uint64_t hash, unsigned char byte) {
    return (hash ^ byte) * 0x100000001B3ULL;
}

// Takes `length` bytes into `hash` (kHashStart for a new key).
inline uint64_t hashBytes(const char* bytes, size_t length, uint64_t hash = kHashStart) {
    for (size_t i = 0; i < length; i++) {
        hash = hashByte(hash, static_cast<unsigned char>(bytes[i]));
    }
    return hash;
}

// Takes the NUL-terminated `text` into `hash`.
inline uint64_t hashText(const char* text, uint64_t hash = kHashStart) {
    for (const char* p = text; *p != 0; p++) {
        hash = hashByte(hash, static_cast<unsigned char>(*p));
    }
    return hash;
}

// A table index from a 64-bit hash, its high bits folded into the low ones that masks keep.
constexpr size_t hashFold(uint64_t hash) {
    return static_cast<size_t>(hash ^ (hash >> 32));
}

// A table index for an integer key.
constexpr size_t hashInteger(int64_t key) {
    uint64_t h = static_cast<uint64_t>(key) * 0x9E3779B97F4A7C15ULL;
    return static_cast<size_t>(h ^ (h >> 29));
}
