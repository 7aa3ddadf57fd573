// check_fuzz.cpp -- libFuzzer target for the integrity check. The input is a whole database
// file; the check must end with a report or an error, however damaged the file, and never
// crash, hang or run out of memory. Built and run by scripts/fuzz.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "db/check.h"
#include "db/page_file.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/jet_mutator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fuzz::scratchPath("check_fuzz", "input.mdb");
  const std::vector<uint8_t> padded = fuzz::wholePages(data, size);
  fuzz::writeScratch(path, padded.data(), padded.size());
  std::unique_ptr<db::PageFile> file;
  if (db::PageFile::open(path, &file, /*writable=*/false).ok()) {
    db::CheckReport report;
    (void)db::checkDatabase(*file, &report);
  }
  ::unlink(path.c_str());
  return 0;
}
