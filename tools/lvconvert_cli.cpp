// lvconvert-cli -- converts an old catalogue without a window: the same checks as the window's
// Start, the same run, the genre phase answered from a mapping (suggested or from a file)
// instead of the dialog. Everything that can be refused is refused before a byte is written.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string_view>

#include "convert/conversion.h"
#include "convert/file_checks.h"
#include "convert/start_checks.h"
#include "convert/genre_model.h"
#include "convert/work_file.h"
#include "db/file_io.h"
#include "db/page_file.h"
#include "db/recordset.h"
#include "db/text_codec.h"
#include "tools/console.h"
#include "tools/program_help.h"

namespace {

namespace fs = std::filesystem;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void printUsage(std::ostream& out) {
  out << "usage: lvconvert-cli SOURCE DEST [--genres auto|FILE] [--template PATH] [--overwrite]\n"
         "                     [--password-file FILE] [--report FILE]\n"
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
         "  --report FILE   writes what the run did as JSON: rows per table in SOURCE and DEST,\n"
         "                  the changes the rules made, the genre mapping, the phases' times\n"
         "                  and whether DEST passed its check (\"verified\"); replaces FILE\n"
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

using db::io::pathOf;

// ---- Genre mapping files -------------------------------------------------------------------

// Keys in an object come out in code-point order (the library's default object is sorted).
using Json = nlohmann::json;

// A value as it stands in the file: strings and keys in UTF-8, escaping only what JSON requires
// (quote, backslash, control characters; those without a short form as lower-case \u00xx).
std::string jsonScalar(const Json& value) {
  return value.dump(-1, ' ', /*ensure_ascii=*/false, Json::error_handler_t::replace);
}

// The layout the mapping files have always had, which people's copies and scripts may compare
// against: four spaces a level, every member and element on a line of its own, "key": value,
// and an empty list or object open on one line and closed on the next, at its own level.
void writeIndented(const Json& value, int level, std::string* out) {
  if (!value.is_object() && !value.is_array()) {
    *out += jsonScalar(value);
    return;
  }
  const std::string inner(4 * static_cast<size_t>(level + 1), ' ');
  *out += value.is_object() ? "{\n" : "[\n";
  bool first = true;
  for (auto it = value.begin(); it != value.end(); ++it) {
    *out += first ? "" : ",\n";
    first = false;
    *out += inner;
    if (value.is_object()) *out += jsonScalar(Json(it.key())) + ": ";
    writeIndented(*it, level + 1, out);
  }
  if (!value.empty()) *out += "\n";
  *out += std::string(4 * static_cast<size_t>(level), ' ') + (value.is_object() ? "}" : "]");
}

std::string mappingToJson(const std::vector<convert::ParentGenre>& parents,
                          const std::vector<convert::GenreEntry>& oldGenres) {
  std::map<int32_t, std::string> oldNames;
  for (const convert::GenreEntry& g : oldGenres) oldNames[g.oldId] = g.name;
  Json list = Json::array();
  for (const convert::ParentGenre& p : parents) {
    Json subs = Json::array();
    for (const convert::GenreEntry& s : p.subs) {
      subs.push_back(Json{{"id", s.oldId}, {"name", s.name}, {"was", oldNames[s.oldId]}});
    }
    list.push_back(Json{{"parent", p.name}, {"genres", std::move(subs)}});
  }
  std::string text;
  writeIndented(Json{{"parents", std::move(list)}}, 0, &text);
  return text + "\n";
}

// A member of an object, or null when `object` is none or lacks it: a wrong shape is reported
// as the member missing.
const Json& member(const Json& object, const char* key) {
  static const Json kNone;
  if (!object.is_object()) return kNone;
  const auto it = object.find(key);
  return it == object.end() ? kNone : *it;
}

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// The edits people make by hand that mapping files have always been read with, made strict
// JSON: inside strings a raw control character (a tab typed into a name) stands for itself, an
// unknown escape ("\x") for the character after the backslash, and half of a surrogate pair
// (\ud800 alone, which no UTF-8 can hold) for "?".
std::string strictJson(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (!inString) {
      inString = c == '"';
      out += c;
    } else if (c == '"') {
      inString = false;
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      static const char kHex[] = "0123456789abcdef";
      out += std::string("\\u00") + kHex[c >> 4] + kHex[c & 15];
    } else if (c != '\\' || i + 1 == text.size()) {
      out += c;
    } else if (const char e = text[++i]; e == 'u' && i + 4 < text.size() && isHex(text[i + 1]) &&
                                          isHex(text[i + 2]) && isHex(text[i + 3]) && isHex(text[i + 4])) {
      const unsigned unit = std::stoul(text.substr(i + 1, 4), nullptr, 16);
      const auto lowSurrogateAt = [&](size_t at) {
        if (at + 5 >= text.size() || text[at] != '\\' || text[at + 1] != 'u') return false;
        for (size_t k = at + 2; k < at + 6; ++k) {
          if (!isHex(text[k])) return false;
        }
        const unsigned next = std::stoul(text.substr(at + 2, 4), nullptr, 16);
        return next >= 0xDC00 && next <= 0xDFFF;
      };
      if (unit >= 0xD800 && unit <= 0xDBFF && lowSurrogateAt(i + 5)) {
        out += text.substr(i - 1, 12);
        i += 10;
      } else if (unit >= 0xD800 && unit <= 0xDFFF) {
        out += '?';
        i += 4;
      } else {
        out += text.substr(i - 1, 6);
        i += 4;
      }
    } else if (std::string_view("\"\\/bfnrtu").find(e) != std::string_view::npos ||
               static_cast<unsigned char>(e) >= 0x80) {
      // A known escape, or one the parser is to refuse (\u without four digits, a backslash
      // before a character that is more than one byte).
      out += c;
      out += e;
    } else if (static_cast<unsigned char>(e) < 0x20) {
      --i;  // the control character, escaped as above
    } else {
      out += e;
    }
  }
  return out;
}

// Reads a mapping and checks it against the source's genres; a fault names its entry.
bool mappingFromJson(const std::string& bytes, const std::vector<convert::GenreEntry>& oldGenres,
                     std::vector<convert::ParentGenre>* out, std::string* fault) {
  Json doc;
  try {
    doc = Json::parse(strictJson(bytes));
  } catch (const Json::exception& e) {
    // "[json.exception.parse_error.101] parse error at line 3, column 7: ...": the line and
    // column are what a person editing the file looks for. A number too large for a double
    // ends up here too.
    const std::string what = e.what();
    const size_t named = what.find("] ");
    *fault = "not JSON: " + (named == std::string::npos ? what : what.substr(named + 2));
    return false;
  }
  if (!doc.is_object() || !member(doc, "parents").is_array()) {
    *fault = "expected an object with a \"parents\" list";
    return false;
  }
  std::map<int32_t, std::string> known;
  for (const convert::GenreEntry& g : oldGenres) known[g.oldId] = g.name;
  std::map<int32_t, std::string> placed;  // old id -> the parent it went under
  const Json& parents = member(doc, "parents");
  for (size_t i = 0; i < parents.size(); ++i) {
    const Json& p = parents[i];
    const std::string where = "parent " + std::to_string(i + 1);
    if (!member(p, "parent").is_string() || !member(p, "genres").is_array()) {
      *fault = where + ": expected \"parent\" (a name) and \"genres\" (a list)";
      return false;
    }
    convert::ParentGenre parent;
    parent.name = member(p, "parent").get<std::string>();
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
    const Json& subs = member(p, "genres");
    for (size_t j = 0; j < subs.size(); ++j) {
      const Json& s = subs[j];
      const Json& id = member(s, "id");
      // Any number that is whole and fits: 7, 7.0 and 7e0 alike.
      const double number = id.is_number() ? id.get<double>() : 0.5;
      if (number != std::floor(number) || std::fabs(number) > 2147483647.0 || !member(s, "name").is_string()) {
        *fault = named + ", genre " + std::to_string(j + 1) + ": expected \"id\" (a whole number) and \"name\"";
        return false;
      }
      convert::GenreEntry sub{member(s, "name").get<std::string>(), static_cast<int32_t>(number)};
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
  std::ifstream in(pathOf(path));
  if (!in) {
    printMessage(path + ": cannot be read");
    return false;
  }
  std::getline(in, *password);
  if (!password->empty() && password->back() == '\r') password->pop_back();
  return true;
}

// The whole of a mapping file, or nothing when it cannot be read (a folder cannot).
std::optional<std::string> readWholeFile(const std::string& path) {
  std::error_code ec;
  if (fs::is_directory(pathOf(path), ec)) return std::nullopt;
  std::ifstream in(pathOf(path), std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) return std::nullopt;
  return bytes;
}

// Puts `bytes` in place of `target` whole, or leaves it as it was: they go to a new file beside
// it, synced, which then takes its name. A link is followed to the file it names, which takes
// the bytes (the link stays); a replaced file keeps its permissions, and one this process may
// not write is refused, as a folder is.
bool replaceFileWhole(const std::string& target, const std::string& bytes) {
  std::error_code ec;
  fs::path resolved = pathOf(target);
  for (int depth = 0; depth < 128 && fs::is_symlink(fs::symlink_status(resolved, ec)); ++depth) {
    const fs::path to = fs::read_symlink(resolved, ec);
    if (ec) return false;
    resolved = to.is_absolute() ? to : resolved.parent_path() / to;
  }
  const std::string final = db::io::utf8Of(resolved);
  db::io::FileInfo existing;
  const int found = db::io::pathInfo(final, &existing);
  if (found == 0 && (existing.kind == db::io::FileInfo::Kind::Folder || !db::io::mayWrite(final))) {
    return false;
  }
  std::random_device random;
  std::string temporary;
  db::io::File out;
  for (int attempt = 0;; ++attempt) {
    if (attempt == 100) return false;
    temporary = final + "." + std::to_string(random() % 1000000);
    const int made = db::io::createFile(temporary, &out);
    if (made == 0) break;
    if (made != EEXIST) return false;
  }
  int err = db::io::writeAt(out, bytes.data(), bytes.size(), 0);
  if (err == 0) err = db::io::syncFile(out);
  db::io::closeFile(&out);
  if (err == 0 && found == 0) db::io::prepareToReplace(temporary, final);
  if (err == 0) err = db::io::renameFile(temporary, final, true);
  if (err != 0) {
    db::io::removeFile(temporary);
    return false;
  }
  db::io::syncFolder(db::io::utf8Of(resolved.parent_path().empty() ? fs::path(".") : resolved.parent_path()));
  return true;
}

// ---- The window of a run without one -------------------------------------------------------

class CommandLineWindow : public convert::ConversionWindow {
 public:
  CommandLineWindow(std::string source, std::string destination, std::string workPath,
                    std::vector<convert::ParentGenre> mapping)
      : source_(std::move(source)), destination_(std::move(destination)),
        workPath_(std::move(workPath)), mapping_(std::move(mapping)),
        terminal_(console::outputIsTerminal()) {}

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
    if (console::stopExitCode() != 0) throw convert::RunAborted{};
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
  std::string genres = "auto", templatePath, writeGenres, passwordFile, report;
  bool overwrite = false;
};

// Reads the command line into `options`; an exit code when the program is to end at once
// (--help, --version, a wrong command line).
std::optional<int> parseArguments(const std::vector<std::string>& arguments, Options* options) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= arguments.size()) return false;
      *out = arguments[++i];
      return true;
    };
    if (arg == "--genres") {
      if (!value(&options->genres)) return usage("--genres needs \"auto\" or a file");
    } else if (arg == "--template") {
      if (!value(&options->templatePath)) return usage("--template needs a path");
    } else if (arg == "--password-file") {
      if (!value(&options->passwordFile)) return usage("--password-file needs a file");
    } else if (arg == "--report") {
      if (!value(&options->report)) return usage("--report needs a file");
    } else if (arg == "--write-genres") {
      if (!value(&options->writeGenres)) return usage("--write-genres needs a file");
    } else if (arg == "--overwrite") {
      options->overwrite = true;
    } else if (const std::optional<int> answered = tools::answerHelpOrVersion(arg, "lvconvert-cli", printUsage)) {
      return answered;
    } else if (arg.rfind("--", 0) == 0) {
      return usage("unknown option " + arg);
    } else {
      options->positional.push_back(arg);
    }
  }
  if (!options->report.empty() && !options->writeGenres.empty()) {
    return usage("--report goes with a conversion, not with --write-genres");
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
  const std::optional<std::string> bytes = readWholeFile(options.genres);
  if (!bytes) return fail(options.genres + ": cannot be read");
  std::string fault;
  if (!mappingFromJson(*bytes, oldGenres, mapping, &fault)) {
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
  if (fs::exists(fs::symlink_status(pathOf(target), ec)) && !options.overwrite) {
    return fail(target + " exists; add --overwrite to replace it");
  }
  if (!replaceFileWhole(target, mappingToJson(mapping, oldGenres))) return fail(target + ": cannot be written");
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
                                                    ? convert::templatePlaces(console::programFolder())
                                                    : std::vector<std::string>{templatePath}));
  }
  std::error_code ec;
  if (fs::exists(fs::symlink_status(pathOf(destination), ec)) && !options.overwrite) {
    return fail(destination + " exists; add --overwrite to replace it");
  }

  // From here on Ctrl-C, SIGTERM and SIGHUP (on Windows Ctrl-Break and the console closed too)
  // stop the run at its next step instead of killing the program, so that the work is cleared
  // away and the destination stays as it was.
  console::catchStopRequests();
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
  convert::RunReport report;
  const bool converted = console::stopExitCode() == 0 && convert::ConvertDatabase(window, *work, &report);
  window.finish();
  work.reset();
  // The report is written whatever the outcome: a failed check is what it is for too.
  const bool reportWritten =
      options.report.empty() || replaceFileWhole(options.report, convert::reportJson(report));
  if (!converted) {
    fail(convert::kNotConverted);
    if (report.checked) std::cout << convert::reportSummary(report);
    if (!reportWritten) printMessage(options.report + ": cannot be written");
    return console::stopExitCode() != 0 ? console::stopExitCode() : kExitFailed;
  }
  std::string finished = convert::finishedMessage(destination);
  for (size_t at; (at = finished.find("\r\n")) != std::string::npos;) finished.replace(at, 2, "\n");
  std::cout << finished << "\n\n" << convert::reportSummary(report);
  // The catalogue is in place whatever becomes of the report; a report asked for and not
  // written is still a failure to say so.
  if (!reportWritten) return fail(options.report + ": cannot be written");
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  // Output into a closed pipe (`lvconvert-cli ... | head -1`) is lost and the run goes on; a
  // write past the file-size limit fails like one to a full disk.
  const console::Session session(argc, argv);
  Options options;
  if (const std::optional<int> exitCode = parseArguments(session.arguments(), &options)) return *exitCode;
  const std::string& source = options.positional[0];
  const std::string templatePath =
      options.templatePath.empty() ? convert::findTemplate(console::programFolder()) : options.templatePath;

  // A password-protected catalogue is opened with the password from the file, or asked for.
  const convert::PasswordPrompt passwordPrompt =
      [&options](const std::string& path) -> std::optional<std::string> {
    // Asked on the terminal without echo; no terminal, no question.
    if (options.passwordFile.empty()) return console::readUnseen("Password for " + path + ": ");
    std::string password;
    if (readPasswordFile(options.passwordFile, &password)) return password;
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
