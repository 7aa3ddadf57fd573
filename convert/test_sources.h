// test_sources.h -- old catalogues with one thing wrong, for the tests that take each of them
// through a whole program (the window and the headless converter): a table or a column the run
// reads left out in turn, values the run cannot store, damaged and foreign files. Each comes
// with where a run refuses it and the number its message ends with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test_sources {

struct BadSource {
  std::string what;    // what is wrong, for the test's messages
  std::string path;
  // Where it is refused: "" before any conversion (the file checks, the probe or the genre
  // mapping), else the opening text of the phase that fails.
  std::string phase;
  int number = 0;      // the engine's error number the message ends with
  bool notAFile = false;  // a folder or a pipe: "File not found" at Start
};

// A catalogue as Access's Encode Database leaves it: `key` in the header, every page after
// the first RC4-encrypted under it. Made here, in test code only: the program never writes one.
void encodeCatalogue(const std::string& path, uint32_t key);
// A catalogue given a database password, stored in the header as Access stores it.
void setCataloguePassword(const std::string& path, const std::string& password);

// Writes every case into `folder` (a catalogue of 300 games from `lvsample` for the damaged
// files) and lists them.
std::vector<BadSource> makeBadSources(const std::string& folder, const std::string& lvsample);

}  // namespace test_sources
