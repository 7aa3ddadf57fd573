// append_bench -- rows per second appended through a dynaset into a table of the games shape,
// and the size of the file that results. Usage: append_bench FILE [ROWS]
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "bench/games_shape.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: append_bench FILE [ROWS]\n");
    return 2;
  }
  const std::string path = argv[1];
  const int rows = argc > 2 ? std::atoi(argv[2]) : 100000;
  std::filesystem::remove(path);
  try {
    auto d = db::DBEngine().CreateDatabase(path);
    d->createTable(bench::gamesSchema());
    auto rs = d->OpenRecordset("SELECT * FROM Games", db::dbOpenDynaset);
    std::mt19937 rng(1);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rows; ++i) {
      rs->AddNew();
      bench::fillGame(*rs, rng, i);
      rs->Update();
    }
    rs->Close();
    d->Close();
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d rows in %.2f s: %.0f rows/s; file %.1f MB\n", rows, secs, rows / secs,
                std::filesystem::file_size(path) / 1e6);
  } catch (const db::DbException& e) {
    std::fprintf(stderr, "append_bench: %s (%d)\n", e.description().c_str(), e.number());
    return 1;
  }
  return 0;
}
