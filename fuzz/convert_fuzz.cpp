// convert_fuzz.cpp -- libFuzzer target for a whole conversion of a damaged source. The input is
// an old catalogue; it is converted, with the suggested genre mapping, into a destination in a
// scratch folder of its own. Every run must end either with a destination the integrity check
// finds sound, or with the run's failure and no destination; and in both cases with nothing of
// the run's work left in the folder and the source unchanged. Built and run by scripts/fuzz,
// which passes the template's path in LV_TEMPLATE.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "convert/conversion.h"
#include "convert/genre_model.h"
#include "convert/work_file.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/jet_mutator.h"

namespace {

namespace fs = std::filesystem;

// The headless converter's window: no log, no bar, the suggestion as the genre phase.
class FuzzWindow : public convert::ConversionWindow {
 public:
  FuzzWindow(std::string source, std::string destination, std::string work)
      : source_(std::move(source)), destination_(std::move(destination)), work_(std::move(work)) {}
  std::string sourcePath() const override { return source_; }
  std::string destinationPath() const override { return destination_; }
  void AddStatus(const std::string&) override {}
  void setProgressMin(float) override {}
  void setProgressMax(float) override {}
  void setProgressValue(float v) override { value_ = v; }
  float progressValue() const override { return value_; }
  void yield() override {}
  void showMessage(const std::string&, convert::MessageIcon) override {}
  std::optional<convert::GenreIdMap> showGenreDialog() override {
    return convert::WriteSuggestedGenres(source_, work_);
  }

 private:
  std::string source_, destination_, work_;
  float value_ = 0;
};

const char* templatePath() {
  static const char* path = std::getenv("LV_TEMPLATE");
  if (!path || !*path) {
    std::fprintf(stderr, "convert_fuzz: set LV_TEMPLATE to the template database\n");
    std::exit(2);
  }
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fs::path folder = [] {
    const fs::path f = fuzz::scratchPath("convert_fuzz", "folder");
    fs::create_directories(f);
    return f;
  }();
  const std::string source = (folder / "old.mdb").string();
  const std::string destination = (folder / "new.mdb").string();
  const std::vector<uint8_t> padded = fuzz::writeWholePages(source, data, size);
  fs::remove(destination);

  std::unique_ptr<convert::WorkFile> work;
  if (!convert::CreateDestinationDatabase(templatePath(), destination, &work).ok()) std::abort();
  FuzzWindow window(source, destination, work->path());
  const bool converted = convert::ConvertDatabase(window, *work);
  work.reset();

  if (converted ? !fuzz::soundFile(destination) : fs::exists(destination)) std::abort();
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name != "old.mdb" && name != "new.mdb") std::abort();  // work left behind
  }
  std::ifstream in(source, std::ios::binary);
  const std::vector<uint8_t> after{std::istreambuf_iterator<char>(in), {}};
  if (after != padded) std::abort();  // the source was written
  return 0;
}
