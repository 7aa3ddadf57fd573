// compact.h -- a database rewritten whole into a new file: every table with its definition,
// properties, rows and indexes, the system catalogue and the access entries, and the
// autonumber counters as they stand. The copy has no free space, no deleted or moved rows,
// and indexes built in order with full pages.
#pragma once

#include <string>

#include "db/error.h"

namespace db {

// What becomes of the source of a compaction.
enum class CompactSource {
  Kept,      // only read
  // Thrown away afterwards, whatever the outcome (a run's own work file): its pages are given
  // up as they are copied, so that the copy reuses the memory that held them. It is left with
  // holes that read as zeros. Where it cannot be written, or this process has it open, it is
  // only read.
  Consumed,
};

// The copy has the source's version. `destination` must not exist. On failure nothing is left
// at `destination`.
DbError compactDatabase(const std::string& source, const std::string& destination,
                        CompactSource what = CompactSource::Kept);

}  // namespace db
