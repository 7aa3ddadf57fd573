// The file seam as every system must keep it: names in any script and past Windows' old length
// limit carry a whole database; a rename replaces or refuses as asked; a file another program
// holds without sharing it is refused and left whole; a folder that takes no new names is
// known as one.
#include <gtest/gtest.h>

#include "db/compact.h"
#include "db/file_io.h"
#include "db/page_file.h"
#include "db/recordset.h"
#include "db/test_support.h"

namespace {

namespace io = db::io;
using testing_support::ScratchDir;

void writeFile(const std::string& path, const std::string& bytes) {
  io::File file;
  ASSERT_EQ(io::createFile(path, &file), 0) << path;
  EXPECT_EQ(io::writeAt(file, bytes.data(), bytes.size(), 0), 0);
  io::closeFile(&file);
}

// The file's bytes; "(none)" when it cannot be opened.
std::string readFile(const std::string& path) {
  io::File file;
  if (io::openFile(path, io::Access::Read, &file) != 0) return "(none)";
  std::string bytes(1 << 16, '\0');
  size_t got = 0;
  EXPECT_EQ(io::readAt(file, bytes.data(), bytes.size(), 0, &got), 0);
  io::closeFile(&file);
  bytes.resize(got);
  return bytes;
}

// A folder of its own for `source`'s copy, named in other scripts or long; each step is a folder.
struct Place {
  const char* what;
  std::vector<std::string> folders;
  std::string file;
};

TEST(FileSeamTest, anyNameOfAnyLengthHoldsADatabase) {
  ScratchDir dir;
  const std::string source = dir.file("source.mdb").string();
  testing_support::createDatabaseWith(source, {"Games", {testing_support::counter("GA_Id"),
                                                         testing_support::column("Name", db::ColumnType::Text, 50)},
                                               {testing_support::primaryKey("GA_Id")}},
                                      40, [](db::Recordset& rs, int i) {
                                        rs.Fields("Name").Value = db::Variant("Spiel ä " + std::to_string(i));
                                      })
      ->Close();
  const std::string longPart(70, 'l');
  const Place places[] = {
      {"plain", {"Kataloge"}, "Spiele.mdb"},
      {"non-ASCII", {"Kataloge Müller ★"}, "Spiele ä.mdb"},
      {"past 260 characters", {longPart + "1", longPart + "2", longPart + "3", "Müller"}, longPart + " ä.mdb"},
  };
  for (const Place& place : places) {
    SCOPED_TRACE(place.what);
    std::string folder = dir.path().string();
    for (const std::string& step : place.folders) {
      folder += "/" + step;
      ASSERT_EQ(io::makeFolder(folder), 0) << folder;
    }
    const std::string path = folder + "/" + place.file;
    if (place.folders.size() > 1) {
      ASSERT_GT(path.size(), 260u);
    }

    ASSERT_TRUE(db::compactDatabase(source, path).ok());
    {
      auto d = db::DBEngine().OpenDatabase(path);
      const auto rows = testing_support::queryRows(*d, "SELECT Name FROM Games WHERE GA_Id = 40");
      ASSERT_EQ(rows.size(), 1u);
      EXPECT_EQ(rows[0][0].text(), "Spiel ä 39");
      d->Close();
    }
    std::vector<std::string> names;
    ASSERT_EQ(io::listFolder(folder, &names), 0);
    EXPECT_EQ(names, std::vector<std::string>{place.file});

    // A name change and a removal reach the same file.
    const std::string renamed = folder + "/" + "ö " + place.file;
    io::FileInfo before, after;
    ASSERT_EQ(io::pathInfo(path, &before), 0);
    ASSERT_EQ(io::renameFile(path, renamed, false), 0);
    ASSERT_EQ(io::pathInfo(renamed, &after), 0);
    EXPECT_EQ(after.inode, before.inode);
    EXPECT_EQ(after.size, before.size);
    EXPECT_EQ(io::pathInfo(path, &after), ENOENT);
    EXPECT_EQ(io::removeFile(renamed), 0);
    for (size_t k = place.folders.size(); k > 0; --k) {
      EXPECT_EQ(io::removeFolder(folder), 0) << folder;
      folder.resize(folder.rfind('/'));
    }
  }
}

// Windows cannot replace a file open anywhere, even by an opener that shares it for removal; a
// check before the rename says so. POSIX replaces the name and the opener keeps the old file.
#ifdef _WIN32
constexpr int kReplacingAnOpenFile = EACCES;
#else
constexpr int kReplacingAnOpenFile = 0;
#endif

// A rename over a file replaces it whole or, without `replace`, refuses and changes nothing.
TEST(FileSeamTest, aRenameReplacesOrRefusesAsAsked) {
  struct Case {
    const char* what;
    bool replace;
    bool destinationThere;
    bool destinationOpen;
    int error;
  } const cases[] = {
      {"replacing", true, true, false, 0},
      {"replacing a file open elsewhere", true, true, true, kReplacingAnOpenFile},
      {"to a free name", true, false, false, 0},
      {"not replacing", false, true, false, EEXIST},
      {"not replacing, to a free name", false, false, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    const std::string from = dir.file("new.mdb").string(), to = dir.file("old.mdb").string();
    writeFile(from, "new");
    if (c.destinationThere) writeFile(to, "old");
    io::File held;
    if (c.destinationOpen) {
      ASSERT_EQ(io::openFile(to, io::Access::Read, &held), 0);
      EXPECT_EQ(io::replaceRefusal(to), kReplacingAnOpenFile ? io::kInUse : 0);
    }
    EXPECT_EQ(io::renameFile(from, to, c.replace), c.error);
    io::closeFile(&held);
    EXPECT_EQ(readFile(to), c.error == 0 ? "new" : "old");
    EXPECT_EQ(readFile(from), c.error == 0 ? "(none)" : "new");
  }
}

// Whether a file or folder may be written is known before a run needs it: a folder where no
// name can be made (Program Files to a user, here one made immutable, which stops even root)
// is no place for a new database, though it may hold a file that can be written.
TEST(FileSeamTest, aFolderThatTakesNoNamesIsNotWritable) {
  ScratchDir dir;
  const std::string folder = dir.file("shut").string(), inside = dir.file("shut/old.mdb").string();
  ASSERT_EQ(io::makeFolder(folder), 0);
  writeFile(inside, "old");
  EXPECT_TRUE(io::mayWrite(folder));
  std::vector<std::string> names;
  ASSERT_EQ(io::listFolder(folder, &names), 0);
  EXPECT_EQ(names.size(), 1u) << "the question left a name behind";
  EXPECT_TRUE(io::mayWrite(inside));
  if (io::setImmutable(folder, true) != 0) GTEST_SKIP() << "this file system keeps no immutable attribute";
  EXPECT_FALSE(io::mayWrite(folder));
  EXPECT_TRUE(io::mayWrite(inside));
  EXPECT_EQ(io::setImmutable(folder, false), 0);
}

#ifdef _WIN32
// POSIX has no opener that shares nothing. A file another program holds unshared cannot be
// read, replaced or removed, is said to be in use, and is left whole.
TEST(FileSeamTest, aFileHeldUnsharedIsRefusedAndLeftWhole) {
  ScratchDir dir;
  const std::string held = dir.file("held.mdb").string(), other = dir.file("other.mdb").string();
  writeFile(held, "held");
  writeFile(other, "other");
  io::File holder;
  ASSERT_EQ(io::openUnshared(held, &holder), 0);
  EXPECT_EQ(io::replaceRefusal(held), io::kInUse);
  EXPECT_EQ(io::replaceRefusal(other), 0);
  std::unique_ptr<db::PageFile> file;
  const db::DbError refused = db::PageFile::open(held, &file, false);
  EXPECT_EQ(refused.systemError, io::kInUse);
  EXPECT_NE(refused.description.find("in use by another program"), std::string::npos) << refused.description;
  EXPECT_NE(io::renameFile(other, held, true), 0);
  EXPECT_NE(io::removeFile(held), 0);
  io::closeFile(&holder);
  EXPECT_EQ(readFile(held), "held");
  EXPECT_EQ(readFile(other), "other");
}
#endif

}  // namespace
