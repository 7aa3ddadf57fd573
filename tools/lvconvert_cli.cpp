// lvconvert-cli -- converts an old catalogue without a window: the same checks as the window's
// Start, the same run, the genre phase answered from a mapping (suggested or from a file)
// instead of the dialog. Everything that can be refused is refused before a byte is written.
#include <termios.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>

#include "convert/conversion.h"
#include "convert/file_checks.h"
#include "convert/start_checks.h"
#include "convert/genre_model.h"
#include "convert/work_file.h"
#include "db/page_file.h"
#include "db/recordset.h"
#include "db/text_codec.h"
#include "lv_version.h"

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// A run stopped by a signal exits as the shell reports a process that signal ended.
constexpr int kExitSignal = 128;

void printUsage(std::ostream& out) {
  out << "usage: lvconvert-cli SOURCE DEST [--genres auto|FILE] [--template PATH] [--overwrite]\n"
         "                     [--password-file FILE]\n"
         "       lvconvert-cli SOURCE --write-genres FILE [--overwrite] [--password-file FILE]\n"
         "       lvconvert-cli --help | --version\n"
         "  SOURCE          the old catalogue (.mdb); it is only read\n"
         "  DEST            the new database to write; it appears only once complete\n"
         "  --genres auto   each old genre \"P (S)\" or \"P [S]\" goes under parent P, any other\n"
         "                  under a parent of its own name (the default)\n"
         "  --genres FILE   the parents and sub genres as a JSON file (see --write-genres)\n"
         "  --write-genres FILE  writes the suggested mapping for editing, and converts nothing\n"
         "  --template PATH the empty database to start from (default: v13bconvert.lvd beside\n"
         "                  this program, else in ../share/lvconvert/)\n"
         "  --overwrite     replace DEST (or the --write-genres FILE) when it exists\n"
         "  --password-file FILE  the database password of a protected SOURCE, as the file's\n"
         "                  first line; without it the password is asked on the terminal\n"
         "  --help          prints this and exits\n"
         "  --version       prints the version and exits\n"
         "  Ctrl-C stops a conversion: the old catalogue and any file at DEST stay as they were\n";
}

int usage(const std::string& why) {
  std::cerr << "lvconvert-cli: " << why << "\n";
  printUsage(std::cerr);
  return kExitUsage;
}

using convert::FileExists;
// Two paths name the same file when their texts match in upper case, or when they reach the
// same file on disk (a link, another spelling of the folder).
const auto SameFile = convert::sameFileOrName;

std::string programFolder() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : self.parent_path().string();
}

// ---- Genre mapping files -------------------------------------------------------------------

QJsonDocument mappingToJson(const std::vector<convert::ParentGenre>& parents,
                            const std::vector<convert::GenreEntry>& oldGenres) {
  std::map<int32_t, std::string> oldNames;
  for (const convert::GenreEntry& g : oldGenres) oldNames[g.oldId] = g.name;
  QJsonArray list;
  for (const convert::ParentGenre& p : parents) {
    QJsonArray subs;
    for (const convert::GenreEntry& s : p.subs) {
      subs.append(QJsonObject{{"id", s.oldId},
                              {"name", QString::fromStdString(s.name)},
                              {"was", QString::fromStdString(oldNames[s.oldId])}});
    }
    list.append(QJsonObject{{"parent", QString::fromStdString(p.name)}, {"genres", subs}});
  }
  return QJsonDocument(QJsonObject{{"parents", list}});
}

// Reads a mapping and checks it against the source's genres; a fault names its entry.
bool mappingFromJson(const QByteArray& bytes, const std::vector<convert::GenreEntry>& oldGenres,
                     std::vector<convert::ParentGenre>* out, std::string* fault) {
  QJsonParseError parseError{};
  const QJsonDocument doc = QJsonDocument::fromJson(bytes, &parseError);
  if (doc.isNull()) {
    *fault = "not JSON: " + parseError.errorString().toStdString() + " at offset " +
             std::to_string(parseError.offset);
    return false;
  }
  if (!doc.isObject() || !doc.object().value("parents").isArray()) {
    *fault = "expected an object with a \"parents\" list";
    return false;
  }
  std::map<int32_t, std::string> known;
  for (const convert::GenreEntry& g : oldGenres) known[g.oldId] = g.name;
  std::map<int32_t, std::string> placed;  // old id -> the parent it went under
  const QJsonArray parents = doc.object().value("parents").toArray();
  for (qsizetype i = 0; i < parents.size(); ++i) {
    const QJsonObject p = parents[i].toObject();
    const std::string where = "parent " + std::to_string(i + 1);
    if (!p.value("parent").isString() || !p.value("genres").isArray()) {
      *fault = where + ": expected \"parent\" (a name) and \"genres\" (a list)";
      return false;
    }
    convert::ParentGenre parent;
    parent.name = p.value("parent").toString().toStdString();
    const std::string named = "parent \"" + parent.name + "\"";
    if (const std::string why = convert::ParentNameFault(parent.name); !why.empty()) {
      *fault = named + ": " + why;
      return false;
    }
    for (const convert::ParentGenre& earlier : *out) {
      if (convert::SameName(earlier.name, parent.name)) {
        *fault = named + " is named twice (as \"" + earlier.name + "\" before)";
        return false;
      }
    }
    const QJsonArray subs = p.value("genres").toArray();
    for (qsizetype j = 0; j < subs.size(); ++j) {
      const QJsonObject s = subs[j].toObject();
      const QJsonValue id = s.value("id");
      if (!id.isDouble() || id.toDouble() != std::floor(id.toDouble()) ||
          std::fabs(id.toDouble()) > 2147483647.0 || !s.value("name").isString()) {
        *fault = named + ", genre " + std::to_string(j + 1) + ": expected \"id\" (a whole number) and \"name\"";
        return false;
      }
      convert::GenreEntry sub{s.value("name").toString().toStdString(), static_cast<int32_t>(id.toDouble())};
      const std::string entry = named + ", genre " + std::to_string(sub.oldId);
      if (!known.count(sub.oldId)) {
        *fault = entry + ": the source has no genre " + std::to_string(sub.oldId) +
                 (sub.oldId == 1 ? " to map (genre 1 always stays the uncategorized genre)" : "");
        return false;
      }
      if (const auto at = placed.find(sub.oldId); at != placed.end()) {
        *fault = entry + " (\"" + known[sub.oldId] + "\") is mapped twice, under \"" + at->second +
                 "\" too";
        return false;
      }
      if (const std::string why = convert::SubNameFault(sub.name); !why.empty()) {
        *fault = entry + ": " + why;
        return false;
      }
      // As Rename insists: no two sub genres of one name under one parent.
      for (const convert::GenreEntry& earlier : parent.subs) {
        if (convert::SameName(earlier.name, sub.name)) {
          *fault = entry + ": \"" + sub.name + "\" is the name of genre " +
                   std::to_string(earlier.oldId) + " under this parent too";
          return false;
        }
      }
      placed[sub.oldId] = parent.name;
      parent.subs.push_back(std::move(sub));
    }
    out->push_back(std::move(parent));
  }
  for (const convert::GenreEntry& g : oldGenres) {
    if (!placed.count(g.oldId)) {
      *fault = "genre " + std::to_string(g.oldId) + " (\"" + g.name + "\") is not mapped";
      return false;
    }
  }
  return true;
}

// A message box's text on standard error, its CR LF line breaks as the terminal's.
void printMessage(std::string text) {
  for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.replace(at, 2, "\n");
  std::cerr << "lvconvert-cli: " << text << "\n";
}

// ---- Database passwords ------------------------------------------------------------------

// The first line of the file, without its line end: never an argument, which other users of
// the machine could read in the process list.
bool readPasswordFile(const std::string& path, std::string* password) {
  std::ifstream in(path);
  if (!in) {
    printMessage(path + ": cannot be read");
    return false;
  }
  std::getline(in, *password);
  if (!password->empty() && password->back() == '\r') password->pop_back();
  return true;
}

// Asked on the terminal without echo; no terminal, no question.
bool askPassword(const std::string& source, std::string* password) {
  if (::isatty(STDIN_FILENO) != 1) return false;
  termios original{};
  if (::tcgetattr(STDIN_FILENO, &original) != 0) return false;
  termios quiet = original;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  std::cerr << "Password for " << source << ": " << std::flush;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  const bool read = static_cast<bool>(std::getline(std::cin, *password));
  ::tcsetattr(STDIN_FILENO, TCSANOW, &original);
  std::cerr << "\n";
  return read;
}

// ---- Signals -------------------------------------------------------------------------------

volatile std::sig_atomic_t gStopSignal = 0;

void onStopSignal(int signal) { gStopSignal = signal; }

void catchStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  // Calls under way carry on; the run sees the flag at its next yield.
  action.sa_flags = SA_RESTART;
  // SIGHUP: the terminal the run was started from has closed.
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

// ---- The window of a run without one -------------------------------------------------------

class CommandLineWindow : public convert::ConversionWindow {
 public:
  CommandLineWindow(std::string source, std::string destination, std::string workPath,
                    std::vector<convert::ParentGenre> mapping)
      : source_(std::move(source)), destination_(std::move(destination)),
        workPath_(std::move(workPath)), mapping_(std::move(mapping)),
        terminal_(::isatty(STDOUT_FILENO) == 1) {}

  std::string sourcePath() const override { return source_; }
  std::string destinationPath() const override { return destination_; }

  // Prints each line of the log once it is complete.
  void AddStatus(const std::string& text) override {
    pending_ += text;
    for (size_t end; (end = pending_.find("\r\n")) != std::string::npos;) {
      clearBar();
      std::cout << pending_.substr(0, end) << "\n" << std::flush;
      pending_.erase(0, end + 2);
    }
  }
  void setProgressMin(float v) override { min_ = v; }
  void setProgressMax(float v) override { max_ = v; }
  void setProgressValue(float v) override {
    value_ = v;
    drawBar();
  }
  float progressValue() const override { return value_; }
  void yield() override {
    if (gStopSignal) throw convert::RunAborted{};
  }
  void showMessage(const std::string& text, convert::MessageIcon) override {
    clearBar();
    printMessage(text);
  }
  std::optional<convert::GenreIdMap> showGenreDialog() override {
    return convert::WriteGenreTables(workPath_, mapping_);
  }
  void finish() {
    clearBar();
    if (!pending_.empty()) std::cout << pending_ << "\n";
    pending_.clear();
  }

 private:
  // A bar of 40 cells after the unfinished log line, drawn again only when a cell changes.
  void drawBar() {
    if (!terminal_) return;
    const float span = max_ - min_;
    const int cells = span < 0 ? 0 : span == 0 ? 40 : static_cast<int>(40 * (value_ - min_) / span);
    if (cells == drawn_) return;
    drawn_ = cells;
    std::cout << "\r" << pending_ << " [" << std::string(std::clamp(cells, 0, 40), '#')
              << std::string(40 - std::clamp(cells, 0, 40), '.') << "]" << std::flush;
  }
  void clearBar() {
    if (!terminal_ || drawn_ < 0) return;
    std::cout << "\r\033[K" << std::flush;
    drawn_ = -1;
  }

  std::string source_, destination_, workPath_;
  std::vector<convert::ParentGenre> mapping_;
  bool terminal_;
  std::string pending_;
  float min_ = 0, max_ = -1, value_ = 0;
  int drawn_ = -1;
};

int fail(const std::string& message) {
  printMessage(message);
  return kExitFailed;
}

// What the command line asks for.
struct Options {
  std::vector<std::string> positional;
  std::string genres = "auto", templatePath, writeGenres, passwordFile;
  bool overwrite = false;
};

// Reads the command line into `options`; an exit code when the program is to end at once
// (--help, --version, a wrong command line).
std::optional<int> parseArguments(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) return false;
      *out = argv[++i];
      return true;
    };
    if (arg == "--genres") {
      if (!value(&options->genres)) return usage("--genres needs \"auto\" or a file");
    } else if (arg == "--template") {
      if (!value(&options->templatePath)) return usage("--template needs a path");
    } else if (arg == "--password-file") {
      if (!value(&options->passwordFile)) return usage("--password-file needs a file");
    } else if (arg == "--write-genres") {
      if (!value(&options->writeGenres)) return usage("--write-genres needs a file");
    } else if (arg == "--overwrite") {
      options->overwrite = true;
    } else if (arg == "-h" || arg == "--help") {
      printUsage(std::cout);
      return kExitOk;
    } else if (arg == "--version") {
      std::cout << "lvconvert-cli " LV_VERSION "\n";
      return kExitOk;
    } else if (arg.rfind("--", 0) == 0) {
      return usage("unknown option " + arg);
    } else {
      options->positional.push_back(arg);
    }
  }
  const size_t wanted = options->writeGenres.empty() ? 2 : 1;
  if (options->positional.size() != wanted) {
    return usage(options->positional.empty() ? "no catalogue given"
                                             : "expected SOURCE and DEST, or SOURCE --write-genres FILE");
  }
  return std::nullopt;
}

// The genre mapping the run takes: the suggestion, or the person's file checked against the
// source's genres. An exit code when the file is refused.
std::optional<int> readMapping(const Options& options, const std::vector<convert::GenreEntry>& oldGenres,
                               std::vector<convert::ParentGenre>* mapping) {
  if (options.genres == "auto") {
    *mapping = convert::SuggestGenreMapping(oldGenres);
    return std::nullopt;
  }
  QFile file(QString::fromStdString(options.genres));
  if (!file.open(QIODevice::ReadOnly)) return fail(options.genres + ": cannot be read");
  std::string fault;
  if (!mappingFromJson(file.readAll(), oldGenres, mapping, &fault)) {
    return fail(options.genres + ": " + fault);
  }
  return std::nullopt;
}

int writeMappingFile(const Options& options, const std::string& source, const std::string& templatePath,
                     const std::vector<convert::ParentGenre>& mapping,
                     const std::vector<convert::GenreEntry>& oldGenres) {
  const std::string& target = options.writeGenres;
  std::error_code ec;
  if (SameFile(target, source)) return fail("Source and genre file must be different!");
  if (SameFile(target, templatePath)) return fail(convert::kDestinationIsTemplate);
  if (fs::exists(fs::symlink_status(target, ec)) && !options.overwrite) {
    return fail(target + " exists; add --overwrite to replace it");
  }
  QSaveFile out(QString::fromStdString(target));
  if (!out.open(QIODevice::WriteOnly) ||
      out.write(mappingToJson(mapping, oldGenres).toJson(QJsonDocument::Indented)) < 0 ||
      !out.commit()) {
    return fail(target + ": cannot be written");
  }
  return kExitOk;
}

int convertCatalogue(const Options& options, const std::string& source, const std::string& templatePath,
                     std::vector<convert::ParentGenre> mapping) {
  const std::string& destination = options.positional[1];
  if (const convert::StartRefusal refusal = convert::checkDestination(source, destination, templatePath);
      !refusal.ok()) {
    return fail(refusal.message);
  }
  if (!FileExists(templatePath)) {
    return fail(convert::missingTemplateMessage(options.templatePath.empty()
                                                    ? convert::templatePlaces(programFolder())
                                                    : std::vector<std::string>{templatePath}));
  }
  std::error_code ec;
  if (fs::exists(fs::symlink_status(destination, ec)) && !options.overwrite) {
    return fail(destination + " exists; add --overwrite to replace it");
  }

  // From here on Ctrl-C, SIGTERM and SIGHUP stop the run at its next step instead of killing the
  // program, so that the work is cleared away and the destination stays as it was.
  catchStopSignals();
  // The run works in a copy of the template beside the destination; the destination takes
  // the finished catalogue only.
  std::unique_ptr<convert::WorkFile> work;
  // Only a file (or a link, not what it points to) is replaced; a folder never is.
  if (const db::DbError err = convert::CreateDestinationDatabase(templatePath, destination, &work);
      !err.ok()) {
    return fail(std::string(convert::kCannotCreate) + ": " + convert::errorMessage(err));
  }
  CommandLineWindow window(source, destination, work->path(), std::move(mapping));
  window.AddStatus("Created new database OK\r\n");
  const bool converted = !gStopSignal && convert::ConvertDatabase(window, *work);
  window.finish();
  work.reset();
  if (!converted) {
    fail(convert::kNotConverted);
    return gStopSignal ? kExitSignal + gStopSignal : kExitFailed;
  }
  std::string finished = convert::finishedMessage(destination);
  for (size_t at; (at = finished.find("\r\n")) != std::string::npos;) finished.replace(at, 2, "\n");
  std::cout << finished << "\n";
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  // Past the file-size limit a write fails with EFBIG, reported like a full disk, instead of
  // the signal ending the program in the middle of a write.
  std::signal(SIGXFSZ, SIG_IGN);
  // Output into a closed pipe (`lvconvert-cli ... | head -1`) is lost; the run goes on.
  std::signal(SIGPIPE, SIG_IGN);
  Options options;
  if (const std::optional<int> exitCode = parseArguments(argc, argv, &options)) return *exitCode;
  const std::string& source = options.positional[0];
  const std::string templatePath =
      options.templatePath.empty() ? convert::findTemplate(programFolder()) : options.templatePath;

  // A password-protected catalogue is opened with the password from the file, or asked for.
  const convert::PasswordPrompt passwordPrompt =
      [&options](const std::string& path) -> std::optional<std::string> {
    std::string password;
    if (!options.passwordFile.empty() ? readPasswordFile(options.passwordFile, &password)
                                      : askPassword(path, &password)) {
      return password;
    }
    return std::nullopt;
  };
  if (const convert::StartRefusal refusal = convert::checkSource(source, passwordPrompt); !refusal.ok()) {
    return fail(refusal.message);
  }
  std::vector<convert::GenreEntry> oldGenres;
  try {
    oldGenres = convert::LoadOldGenres(source);
  } catch (const db::DbException& e) {
    return fail(convert::errorMessage(e.error()));
  }
  std::vector<convert::ParentGenre> mapping;
  if (const std::optional<int> exitCode = readMapping(options, oldGenres, &mapping)) return *exitCode;
  if (!options.writeGenres.empty()) {
    return writeMappingFile(options, source, templatePath, mapping, oldGenres);
  }
  return convertCatalogue(options, source, templatePath, std::move(mapping));
}
