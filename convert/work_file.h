// work_file.h -- the file a conversion works in. The destination a person chose is not touched
// until the conversion is complete: the run writes into a copy of the template made beside it,
// and only the finished catalogue takes the destination's name, by one rename within the
// folder. Until then the destination is absent, or still the file that held its name before.
//
// A run holds its work file locked (db::io::lockFile) for as long as it lives, so that a later run in
// the same folder tells work abandoned by a killed run, which it removes, from work in
// progress, which it leaves alone. The names are hidden and of fixed length, so that they fit
// wherever the destination's own name fits:
//   .lvconvert-<16 hex digits>.work   the database the run writes
//   .lvconvert-<same digits>.tmp      its compacted copy, while the compaction makes it
#pragma once

#include <memory>
#include <string>

#include "db/error.h"
#include "db/file_io.h"

namespace convert {

class WorkFile {
 public:
  // Removes abandoned work in the destination's folder, then copies the template into a new
  // work file there. On failure nothing of it is left behind.
  static db::DbError create(const std::string& templatePath, const std::string& destinationPath,
                            std::unique_ptr<WorkFile>* out);
  // Removes the work file and its compacted copy, unless one of them has been installed.
  ~WorkFile();
  WorkFile(const WorkFile&) = delete;
  WorkFile& operator=(const WorkFile&) = delete;

  const std::string& path() const { return path_; }
  const std::string& compactedPath() const { return compactedPath_; }
  const std::string& destination() const { return destination_; }

  // Puts `finished` (path() or compactedPath()) in the destination's place: its data on the
  // disk first, then the permissions of a file it replaces, then one rename. The rest of the
  // work is removed. A failure before the rename leaves the destination as it was. Only a file
  // that held the destination's name when the run began is replaced (the person agreed to
  // that); one that has taken the name since is left alone and the install fails, and so is a
  // file at the destination's name that may be `source` under another name (maybeSameFile).
  db::DbError install(const std::string& finished, const std::string& source);
  bool installed() const { return installed_; }

 private:
  WorkFile() = default;
  void removeWork();

  std::string path_, compactedPath_, destination_;
  db::io::File lock_;  // the work file, open and locked
  bool replaces_ = false;  // the destination's name was taken when the run began
  bool installed_ = false;
};

// Start's making of the new database: the template copied into a new work file beside the
// destination, which must be a name a directory listing shows (as FileExists sees files) and
// must not be a folder. The reason when it cannot.
db::DbError CreateDestinationDatabase(const std::string& templatePath,
                                      const std::string& destinationPath,
                                      std::unique_ptr<WorkFile>* work);

// Removes from `folder` the work files and compacted copies that no live run holds.
void removeAbandonedWork(const std::string& folder);

}  // namespace convert
