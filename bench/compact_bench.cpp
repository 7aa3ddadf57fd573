// compact_bench -- time to compact a database and its size before and after.
// Usage: compact_bench [--consume] SOURCE DESTINATION (DESTINATION is replaced; with --consume
// SOURCE is consumed, as a run consumes its work file, and left with holes)
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "db/compact.h"

int main(int argc, char** argv) {
  const bool consume = argc == 4 && std::string(argv[1]) == "--consume";
  if (consume) ++argv, --argc;
  if (argc != 3) {
    std::fprintf(stderr, "usage: compact_bench [--consume] SOURCE DESTINATION\n");
    return 2;
  }
  std::filesystem::remove(argv[2]);
  const auto start = std::chrono::steady_clock::now();
  const db::DbError err = db::compactDatabase(
      argv[1], argv[2], consume ? db::CompactSource::Consumed : db::CompactSource::Kept);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!err.ok()) {
    std::fprintf(stderr, "compact_bench: %s (%d)\n", err.description.c_str(), err.number);
    return 1;
  }
  std::printf("compacted in %.2f s: %.1f MB -> %.1f MB\n", secs,
              std::filesystem::file_size(argv[1]) / 1e6, std::filesystem::file_size(argv[2]) / 1e6);
  return 0;
}
