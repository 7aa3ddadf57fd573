// check_fuzz.cpp -- libFuzzer target for the integrity check. The input is a whole database
// file; the check must end with a report or an error, however damaged the file, and never
// crash, hang or run out of memory. Built and run by scripts/fuzz.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_support.h"
#include "fuzz/jet_mutator.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = fuzz::scratchPath("check_fuzz", "input.mdb");
  fuzz::writeWholePages(path, data, size);
  (void)fuzz::soundFile(path);
  ::unlink(path.c_str());
  return 0;
}
