// A power cut at any moment of a whole conversion. The run's every change to the disk is
// recorded through the file seam, from the template's copy to the install under the
// destination's name; then, for a cut before the first change and after each one, the folder
// is laid out in several ways the disk could hold it after the cut, and held to the promise: the destination's name holds the file it
// held before, byte for byte, or the complete conversion; the source is as it was; the next
// run removes whatever work is left. After the run has ended, the conversion is there.
//
// What a cut keeps, taken as pessimistically as POSIX allows:
//   - a file's writes before its last sync, in full;
//   - each of its later writes dropped, kept whole or kept in part (whole 512-byte sectors
//     from its start), and those kept reaching the disk in any order;
//   - the folder's names (files made, renamed, removed) as of its last sync, and each later
//     change to them either made or not, whatever the others did.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <random>
#include <set>

#include "convert/conversion.h"
#include "convert/genre_model.h"
#include "convert/work_file.h"
#include "db/file_io.h"
#include "db/test_support.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using Change = db::io::Change;
using testing_support::ScratchDir;

// The command line's run, without its output: the suggested genre mapping.
class QuietWindow : public convert::ConversionWindow {
 public:
  QuietWindow(std::string source, std::string destination, const convert::WorkFile& work)
      : source_(std::move(source)), destination_(std::move(destination)), work_(work) {}
  std::string sourcePath() const override { return source_; }
  std::string destinationPath() const override { return destination_; }
  void AddStatus(const std::string&) override {}
  void setProgressMin(float) override {}
  void setProgressMax(float) override {}
  void setProgressValue(float v) override { value_ = v; }
  float progressValue() const override { return value_; }
  void yield() override {}
  void showMessage(const std::string& text, convert::MessageIcon) override { message = text; }
  std::optional<convert::GenreIdMap> showGenreDialog() override {
    return convert::WriteSuggestedGenres(source_, work_.path());
  }
  std::string message;

 private:
  std::string source_, destination_;
  const convert::WorkFile& work_;
  float value_ = 0;
};

// The folder before the run, and every change the run made to the disk.
struct Recording {
  std::map<std::string, uint64_t> names;  // a name in the folder, its inode
  std::map<uint64_t, Bytes> files;        // an inode, its bytes
  std::vector<Change> changes;
};

std::string nameOf(const std::string& path) { return fs::path(path).filename().string(); }

Recording record(const fs::path& folder, const fs::path& source, const fs::path& destination) {
  Recording r;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    db::io::FileInfo info;
    EXPECT_EQ(db::io::pathInfo(entry.path().string(), &info), 0);
    r.names[name] = info.inode;
    r.files[info.inode] = testing_support::readBytes(entry.path());
  }
  std::mutex mutex;
  db::io::watchChanges([&](const Change& c) {
    std::lock_guard<std::mutex> lock(mutex);
    r.changes.push_back(c);
  });
  std::unique_ptr<convert::WorkFile> work;
  const db::DbError created = convert::CreateDestinationDatabase(LV_TEMPLATE, destination.string(), &work);
  EXPECT_TRUE(created.ok()) << created.description;
  if (work) {
    QuietWindow window(source.string(), destination.string(), *work);
    EXPECT_TRUE(convert::ConvertDatabase(window, *work)) << window.message;
    work.reset();
  }
  db::io::watchChanges({});
  return r;
}

enum class Keep { Nothing, Everything, Some };

// The folder's files as a power cut after the first `cut` changes could leave them.
std::map<std::string, Bytes> afterCut(const Recording& r, size_t cut, Keep keep, std::mt19937& random) {
  auto coin = [&] { return keep == Keep::Everything || (keep == Keep::Some && random() % 2 == 0); };
  size_t namesSynced = 0;
  std::map<uint64_t, size_t> synced;  // an inode, the changes up to its last sync
  for (size_t i = 0; i < cut; ++i) {
    if (r.changes[i].kind == Change::Kind::SyncFolder) namesSynced = i + 1;
    if (r.changes[i].kind == Change::Kind::Sync) synced[r.changes[i].file] = i + 1;
  }
  std::map<uint64_t, Bytes> files = r.files;
  std::map<std::string, uint64_t> names = r.names;
  std::vector<const Change*> pending;
  auto put = [&](const Change& c, size_t length) {
    Bytes& bytes = files[c.file];
    if (bytes.size() < c.offset + length) bytes.resize(c.offset + length);
    std::copy_n(c.bytes.begin(), length, bytes.begin() + static_cast<ptrdiff_t>(c.offset));
  };
  for (size_t i = 0; i < cut; ++i) {
    const Change& c = r.changes[i];
    switch (c.kind) {
      case Change::Kind::Write:
        if (i < synced[c.file]) {
          put(c, c.bytes.size());
        } else {
          pending.push_back(&c);
        }
        break;
      case Change::Kind::Create:
        if (i < namesSynced || coin()) names[nameOf(c.path)] = c.file;
        break;
      case Change::Kind::Rename:
        if ((i < namesSynced || coin()) && names.count(nameOf(c.path))) {
          names[nameOf(c.to)] = names[nameOf(c.path)];
          names.erase(nameOf(c.path));
        }
        break;
      case Change::Kind::Remove:
        if (i < namesSynced || coin()) names.erase(nameOf(c.path));
        break;
      case Change::Kind::Sync:
      case Change::Kind::SyncFolder:
        break;
    }
  }
  if (keep == Keep::Some) std::shuffle(pending.begin(), pending.end(), random);
  for (const Change* c : pending) {
    if (keep == Keep::Nothing) break;
    const size_t sectors = std::max<size_t>(1, (c->bytes.size() + 511) / 512);
    const size_t choice = keep == Keep::Everything ? 2 : random() % 3;
    if (choice == 1) put(*c, std::min(c->bytes.size(), 512 * (random() % sectors)));
    if (choice == 2) put(*c, c->bytes.size());
  }
  std::map<std::string, Bytes> out;
  for (const auto& [name, inode] : names) out[name] = files[inode];
  return out;
}

const char* kindName(Change::Kind kind) {
  static const char* const names[] = {"creation", "write", "sync", "rename", "removal", "folder sync"};
  return names[static_cast<int>(kind)];
}

struct Case {
  const char* name;
  bool replaces;  // a file holds the destination's name before the run
};

class PowerLossTest : public testing::TestWithParam<Case> {};

TEST_P(PowerLossTest, aCutAtAnyMomentLeavesThePreviousFileOrTheWholeConversion) {
  ScratchDir dir;
  const fs::path source = testing_support::makeSample(LVSAMPLE_PATH, dir.file("old.mdb"), "--games 40 --seed 3");
  const fs::path destination = dir.file("new.mdb");
  const Bytes sourceBytes = testing_support::readBytes(source);
  const Bytes previous = {'p', 'r', 'e', 'v', 'i', 'o', 'u', 's'};
  if (GetParam().replaces) testing_support::writeBytes(destination, previous);

  const Recording r = record(dir.path(), source, destination);
  ASSERT_FALSE(HasFailure());
  const Bytes converted = testing_support::readBytes(destination);
  testing_support::expectSoundFile(destination);
  EXPECT_EQ(testing_support::readRows(destination, "Games").size(),
            testing_support::readRows(source, "Games").size());
  // Seen from the start: the work file made, the template's copy written into it.
  ASSERT_EQ(r.changes.at(0).kind, Change::Kind::Create);

  // A small run makes a few dozen changes: a cut before the first and after each of them.
  constexpr int kRandomStates = 14;
  ScratchDir after;
  const fs::path laidOut = after.file("folder");
  for (size_t cut = 0; cut <= r.changes.size(); ++cut) {
    SCOPED_TRACE("cut after " + std::to_string(cut) + " of " + std::to_string(r.changes.size()) +
                 " changes" + (cut > 0 ? std::string(", the last a ") + kindName(r.changes[cut - 1].kind) : ""));
    std::mt19937 random(static_cast<unsigned>(cut));
    for (int state = 0; state < 2 + kRandomStates; ++state) {
      SCOPED_TRACE("state " + std::to_string(state));
      const Keep keep = state == 0 ? Keep::Nothing : state == 1 ? Keep::Everything : Keep::Some;
      fs::remove_all(laidOut);
      fs::create_directory(laidOut);
      const std::map<std::string, Bytes> files = afterCut(r, cut, keep, random);
      for (const auto& [name, bytes] : files) testing_support::writeBytes(laidOut / name, bytes);
      EXPECT_TRUE(files.count("old.mdb") && files.at("old.mdb") == sourceBytes) << "the source changed";
      const bool there = files.count("new.mdb") > 0;
      if (there) {
        const Bytes& now = files.at("new.mdb");
        EXPECT_TRUE(now == converted || (GetParam().replaces && now == previous))
            << "the destination holds " << now.size() << " bytes, neither the file before nor the conversion";
      } else {
        EXPECT_FALSE(GetParam().replaces) << "the file the destination held is gone";
      }
      if (cut == r.changes.size()) {
        EXPECT_TRUE(there && files.at("new.mdb") == converted) << "a conversion the run called complete is lost";
      }
      // The next run's start sweeps the work the cut run left.
      std::unique_ptr<convert::WorkFile> next;
      ASSERT_TRUE(convert::WorkFile::create(LV_TEMPLATE, (laidOut / "new.mdb").string(), &next).ok());
      next.reset();
      std::set<std::string> want = {"old.mdb"}, left;
      if (there) want.insert("new.mdb");
      for (const auto& e : fs::directory_iterator(laidOut)) left.insert(e.path().filename().string());
      EXPECT_EQ(left, want);
      if (HasFailure()) return;
    }
  }
  std::printf("%zu changes, %zu cuts, %zu states\n", r.changes.size(), r.changes.size() + 1,
              (r.changes.size() + 1) * (2 + kRandomStates));
}

INSTANTIATE_TEST_SUITE_P(Destinations, PowerLossTest,
                         testing::Values(Case{"OverAFile", true}, Case{"UnderANewName", false}),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
