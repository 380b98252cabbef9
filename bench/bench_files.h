// Test files for the benchmarks: incompressible data written fast, the same
// bytes on every run (xorshift with a fixed seed), so figures compare.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace installer::bench {

// Writes `bytes` (rounded up to whole MiB) of pseudo-random data to `path`.
inline void writeIncompressibleFile(const std::string& path, std::int64_t bytes) {
  std::vector<std::uint64_t> block((1 << 20) / 8);
  std::uint64_t x = 0x9E3779B97F4A7C15ull;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  for (std::int64_t written = 0; written < bytes; written += 1 << 20) {
    for (auto& v : block) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      v = x;
    }
    std::fwrite(block.data(), 1, 1 << 20, f);
  }
  std::fclose(f);
}

}  // namespace installer::bench
