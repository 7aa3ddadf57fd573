// fuzz_support.h -- what the fuzz targets share: scratch files of their own (libFuzzer's fork and
// jobs modes run several processes at once), inputs made whole pages, since the engine opens
// databases by path and refuses a size that is no whole number of pages before reading a byte,
// recordsets read through, and the integrity check as the judge of what a target wrote.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "db/check.h"
#include "db/json_dump.h"
#include "db/page_file.h"
#include "db/recordset.h"

namespace fuzz {

// Pages are at most this long.
inline constexpr size_t kLargestPage = 4096;

// A path in TMPDIR (or /tmp) named after the target, the process and `what`.
inline std::string scratchPath(const char* target, const std::string& what) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/" + target + "_" + std::to_string(::getpid()) +
         "_" + what;
}

inline void writeScratch(const std::string& path, const uint8_t* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  for (size_t done = 0; done < size;) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

// Writes the input padded with zeros to whole pages, so that mutations that insert or remove
// bytes still reach the readers behind the size check; returns what it wrote.
inline std::vector<uint8_t> writeWholePages(const std::string& path, const uint8_t* data,
                                            size_t size) {
  std::vector<uint8_t> padded(data, data + size);
  padded.resize((size + kLargestPage - 1) / kLargestPage * kLargestPage, 0);
  writeScratch(path, padded.data(), padded.size());
  return padded;
}

// Every field of the current row, as a value, as text and as JSON.
inline void readFields(db::Recordset& rs) {
  for (int i = 0; i < rs.FieldCount(); ++i) {
    const db::Variant v = rs.FieldAt(i).Value.get();
    std::string text;
    (void)v.toText(&text);
    (void)db::jsonValue(v);
  }
}

// Every row from the current one on, then the count.
inline void readAll(db::Recordset& rs) {
  for (; !rs.EOF_(); rs.MoveNext()) readFields(rs);
  (void)rs.RecordCount();
}

// Whether the file opens and the integrity check finds it sound.
inline bool soundFile(const std::string& path) {
  std::unique_ptr<db::PageFile> file;
  db::CheckReport report;
  return db::PageFile::open(path, &file, /*writable=*/false).ok() &&
         db::checkDatabase(*file, &report).ok() && report.clean();
}

}  // namespace fuzz
