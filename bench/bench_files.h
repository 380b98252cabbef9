// Test files for the benchmarks: incompressible data written fast, the same
// bytes on every run (xorshift with a fixed seed), so figures compare.
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace installer::bench {

// Writes `bytes` of pseudo-random data that no compressor shrinks to
// `path`, different for every `seed`. False when it cannot be written.
inline bool writeIncompressibleFile(const std::string& path, std::int64_t bytes, std::uint64_t seed = 0) {
  std::vector<std::uint64_t> block((1 << 20) / 8);
  std::uint64_t x = 0x9E3779B97F4A7C15ull ^ (seed * 0xBF58476D1CE4E5B9ull);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = true;
  for (std::int64_t written = 0; written < bytes; written += 1 << 20) {
    for (auto& v : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      v = x;
    }
    auto size = static_cast<std::size_t>(std::min<std::int64_t>(1 << 20, bytes - written));
    ok = ok && std::fwrite(block.data(), 1, size, f) == size;
  }
  return std::fclose(f) == 0 && ok;
}

}  // namespace installer::bench
