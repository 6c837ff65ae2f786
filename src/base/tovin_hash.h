// The 32-bit string hash given to every hash map of the program.
#pragma once
#include <cstdint>

namespace base {

// Hashes `length` bytes at `data`, NUL bytes included; no run of bytes wipes
// out the ones before it. Pure; safe from any thread.
uint32_t tovin_hash(const char* data, unsigned length);

}  // namespace base
