// The headless converter as a person runs it: its output, its exit codes, the genre mapping
// files it writes and reads, and everything it refuses before writing a byte.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cctype>
#include <regex>
#include <thread>

#include "convert/test_sources.h"
#include "db/test_support.h"
#include "db/text_codec.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ScratchDir;
using testing_support::readText;
using testing_support::writeText;

struct Result {
  int exitCode = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

fs::path sample(const ScratchDir& dir, const std::string& name, const std::string& options = "--games 80") {
  return testing_support::makeSample(LVSAMPLE_PATH, dir.file(name), options);
}

std::vector<std::string> workLeftIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) {
    if (e.path().filename().string().starts_with(".lvconvert-")) names.push_back(e.path().filename());
  }
  return names;
}

size_t gamesIn(const fs::path& database) { return testing_support::readRows(database, "Games").size(); }

class CliTest : public testing::Test {
 protected:
  // The converter run on a command line as written, or on these arguments, each quoted.
  Result runRaw(const std::string& commandLine) {
    Result r;
    r.out = testing_support::runCommand(std::string(LVCONVERT_CLI) + " " + commandLine + " 2>" +
                                            testing_support::shellQuoted(dir.file("stderr.txt").string()),
                                        &r.exitCode);
    r.err = readText(dir.file("stderr.txt"));
    return r;
  }
  Result run(const std::vector<std::string>& arguments) {
    std::string line;
    for (const std::string& a : arguments) line += " " + testing_support::shellQuoted(a);
    return runRaw(line);
  }
  ScratchDir dir;
};

TEST_F(CliTest, convertsAndPrintsTheLogAndTheClosingMessage) {
  const fs::path source = sample(dir, "old.mdb");
  const auto before = testing_support::readBytes(source);
  const fs::path dest = dir.file("new.mdb");
  const Result r = run({source, dest});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out,
            "Created new database OK\n"
            "Creating Years table...Done\n"
            "Copying Difficulty table...Done\n"
            "Copying Publishers table...Done\n"
            "Copying Musicians table...Done\n"
            "Copying Music table...Done\n"
            "Copying Genres tables...Done\n"
            "Copying Games table...Done\n"
            "Fixing NULL values...Done\n"
            "Compacting the new database...Done\n"
            "Finished!  Your new Ludovane database can be found here: -\n\n" + dest.string() +
                "\n\nPlease refer to the INSTRUCTIONS.TXT file for info on setting up your new database "
                "with Ludovane\n")
      << "no progress bar when the output is not a terminal";
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(testing_support::readBytes(source), before);
  testing_support::expectSoundFile(dest);
  // The suggested mapping: "Strategy (War)" became "War" under "Strategy".
  EXPECT_FALSE(testing_support::queryRows(dest, "SELECT * FROM Genres WHERE Genre = 'War'").empty());
}

TEST_F(CliTest, badUsageExitsWithTwo) {
  for (const char* args : {"", "only-one.mdb", "a b c", "a b --genres", "a b --colour"}) {
    EXPECT_EQ(runRaw(args).exitCode, 2) << args;
  }
}

// Refusals come before anything is written: no destination appears, an existing one stays,
// and nothing the person did not name is replaced (not a folder given as the destination, not
// the template, not an existing mapping file unless asked).
TEST_F(CliTest, refusesWhatStartWouldRefuse) {
  const fs::path source = sample(dir, "old.mdb");
  const fs::path dest = dir.file("new.mdb");
  fs::create_symlink(source, dir.file("link.mdb"));
  fs::create_directory(dir.file("folder.mdb"));
  const std::string differ = "Source and Destination files must be different!";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{dir.file("gone.mdb"), dest}, "File not found: " + dir.file("gone.mdb").string()},
      {{source, dir.file("OLD.MDB")}, differ},
      {{source, dir.file("link.mdb")}, differ},
      {{source, dest, "--template", dir.file("none.lvd")},
       "Could not find empty Ludovane template database! (v13bconvert.lvd)"},
      {{LV_TEMPLATE, dest},
       "The selected file is already a Ludovane database of the new release: it needs no "
       "conversion.\n"},
      {{source, LV_TEMPLATE, "--overwrite"}, "You cannot overwrite this file!  Please select a new filename!"},
      {{source, dir.file("no-folder/new.mdb")},
       dir.file("no-folder").string() + "\nThe folder does not exist.\n"},
      {{source, source / "new.mdb"}, source.string() + "\nThis is a file, not a folder.\n"},
      {{source, dir.file("folder.mdb"), "--overwrite"}, "Unable to create the new database file: "},
      {{source, "--write-genres", LV_TEMPLATE, "--overwrite"},
       "You cannot overwrite this file!  Please select a new filename!\n"},
  };
  const auto templateBytes = testing_support::readBytes(LV_TEMPLATE);
  for (const auto& [args, message] : cases) {
    const Result r = run(args);
    EXPECT_EQ(r.exitCode, 1) << args[1];
    EXPECT_TRUE(r.err.starts_with("lvconvert-cli: " + message)) << args[1] << ": " << r.err;
    EXPECT_FALSE(fs::exists(dest)) << args[1];
  }
  EXPECT_EQ(testing_support::readBytes(LV_TEMPLATE), templateBytes);
  EXPECT_TRUE(fs::is_directory(dir.file("folder.mdb")));

  writeText(dest, "mine");
  EXPECT_EQ(run({source, dest}).exitCode, 1);
  EXPECT_EQ(readText(dest), "mine");  // --overwrite replaces it: see the runs stopped and killed

  const fs::path mapping = dir.file("genres.json");
  writeText(mapping, "my edits");
  EXPECT_EQ(run({source, "--write-genres", mapping}).exitCode, 1);
  EXPECT_EQ(readText(mapping), "my edits");
  EXPECT_EQ(run({source, "--write-genres", mapping, "--overwrite"}).exitCode, 0);
  EXPECT_NE(readText(mapping).find("\"parents\""), std::string::npos);
}

// A person writes the suggestion and edits it: a faulty edit is refused naming its entry, a good
// one decides the genres.
TEST_F(CliTest, anEditedMappingFileDecidesTheGenresOrIsRefusedNamingItsFault) {
  const fs::path source = sample(dir, "old.mdb", "--games 40");
  const fs::path mapping = dir.file("genres.json");
  ASSERT_EQ(run({source, "--write-genres", mapping}).exitCode, 0);
  const std::string good = readText(mapping);
  // The first sub genre entry of the file, whole, and its id.
  std::smatch first;
  ASSERT_TRUE(std::regex_search(good, first, std::regex("\\{\\s*\"id\": (\\d+),\\s*\"name\": \"([^\"]*)\",\\s*\"was\": \"([^\"]*)\"\\s*\\}")));
  const std::string entry = first[0], id = first[1], was = first[3];
  const std::string firstParent = std::regex_search(good, first, std::regex("\"parent\": \"([^\"]*)\"")) ? first[1].str() : "";
  auto replaced = [&](const std::string& what, const std::string& with) {
    std::string s = good;
    s.replace(s.find(what), what.size(), with);
    return s;
  };
  // The entry taken out, with the comma that joined it to a neighbour, or the parent left empty.
  auto withoutEntry = [&] {
    std::string s = good;
    const size_t at = s.find(entry);
    const size_t after = s.find_first_not_of(" \n", at + entry.size());
    if (s[after] == ',') return s.erase(at, after + 1 - at);
    return s.erase(at, entry.size());
  };
  // Every old genre under one parent, the first two of one name.
  auto allUnderOneParent = [&] {
    std::string subs;
    const std::regex idPattern("\"id\": (\\d+)");
    int n = 0;
    for (auto it = std::sregex_iterator(good.begin(), good.end(), idPattern); it != std::sregex_iterator(); ++it, ++n) {
      subs += std::string(n ? ", " : "") + "{\"id\": " + (*it)[1].str() + ", \"name\": \"" +
              (n == 0 ? "Same" : n == 1 ? "same" : "G" + std::to_string(n)) + "\"}";
    }
    return "{\"parents\": [{\"parent\": \"All\", \"genres\": [" + subs + "]}]}";
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{", "not JSON"},
      {"[]", "expected an object with a \"parents\" list"},
      {replaced(entry, "{\"id\": 999999, \"name\": \"X\"}, " + entry),
       "parent \"" + firstParent + "\", genre 999999: the source has no genre 999999"},
      {replaced(entry, entry + ", " + entry), "parent \"" + firstParent + "\", genre " + id + " (\"" + was + "\") is mapped twice"},
      {withoutEntry(), "genre " + id + " (\"" + was + "\") is not mapped"},
      {replaced("\"parent\": \"" + firstParent + "\"", "\"parent\": \"[Uncategorized]\""),
       "parent \"[Uncategorized]\": \"[uncategorized]\" is taken"},
      {replaced("\"parent\": \"" + firstParent + "\"", "\"parent\": \"" + std::string(51, 'x') + "\""),
       "a parent genre's name has at most 50 characters"},
      {replaced("\"parent\": \"" + firstParent + "\"", "\"parent\": \"a \\\"b\\\"\""),
       "a parent genre's name cannot hold a double quote"},
      {replaced("\"parent\": \"" + firstParent + "\"", "\"parent\": \"   \""),
       "a parent genre's name cannot be only blanks"},
      {allUnderOneParent(), "\"same\" is the name of genre"},
  };
  const fs::path dest = dir.file("new.mdb");
  for (const auto& [json, fault] : cases) {
    writeText(mapping, json);
    const Result r = run({source, dest, "--genres", mapping});
    EXPECT_EQ(r.exitCode, 1) << fault;
    EXPECT_NE(r.err.find(fault), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dest)) << fault;
  }

  ASSERT_NE(good.find("\"parent\": \"Strategy\""), std::string::npos) << good;
  std::string json = std::regex_replace(good, std::regex("\"parent\": \"Strategy\""), "\"parent\": \"Thinking\"");
  writeText(mapping, std::regex_replace(json, std::regex("\"name\": \"War\""), "\"name\": \"Battles\""));
  const Result r = run({source, dest, "--genres", mapping});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  using testing_support::queryRows;
  EXPECT_TRUE(queryRows(dest, "SELECT * FROM PGenres WHERE ParentGenre = 'Strategy'").empty());
  const auto thinking = queryRows(dest, "SELECT PG_Id FROM PGenres WHERE ParentGenre = 'Thinking'");
  ASSERT_EQ(thinking.size(), 1u);
  EXPECT_EQ(queryRows(dest, "SELECT PG_Id FROM Genres WHERE Genre = 'Battles'"), thinking);
}

// Each bad source is refused where the run meets its fault: before anything is written (the
// file checks, the probe, the genre mapping), or in the phase that reads it, with the log up to
// that phase; the message ends with the engine's number, and nothing is left of the run.
TEST_F(CliTest, everyBadSourceIsRefusedWhereItsFaultIsMet) {
  const fs::path dest = dir.file("new.mdb");
  for (const test_sources::BadSource& bad : test_sources::makeBadSources(dir.file("bad"), LVSAMPLE_PATH)) {
    SCOPED_TRACE(bad.what);
    // The sparse file of over 2 GB is left out: reading it whole proves nothing more.
    const bool compared = fs::is_regular_file(bad.path) && fs::file_size(bad.path) < (1u << 30);
    const std::string before = compared ? readText(bad.path) : "";
    const Result r = run({bad.path, dest});
    EXPECT_EQ(r.exitCode, 1);
    if (bad.notAFile) {
      EXPECT_TRUE(r.err.starts_with("lvconvert-cli: File not found: " + bad.path + "\n\nIt is a")) << r.err;
    } else {
      EXPECT_NE(r.err.find(" (" + std::to_string(bad.number) + ","), std::string::npos) << r.err;
      // A damaged file is to be repaired first, and the message says where.
      if (bad.number == 3049) EXPECT_NE(r.err.find("in Access"), std::string::npos) << r.err;
    }
    // A table or a column left out is named (in the letter case the run asked for it).
    const size_t without = bad.what.find(" without ");
    const std::string missing = bad.what.starts_with("no ") ? bad.what.substr(3)
                                : std::isupper(bad.what[0]) && without != std::string::npos
                                    ? bad.what.substr(without + 9)
                                    : "";
    EXPECT_NE(db::upperCase(r.err).find(db::upperCase(missing)), std::string::npos) << r.err;
    // The genres are read, and the mapping checked, before a byte is written.
    const bool beforeRun = bad.phase.empty() || bad.phase == "Copying Genres tables...";
    if (beforeRun) {
      EXPECT_EQ(r.out, "");
    } else {
      // The log's last line is the reason, after the phase it stopped in.
      const size_t failed = r.out.rfind("\n" + bad.phase + "\nFailed: ");
      EXPECT_TRUE(failed != std::string::npos && r.out.find('\n', failed + bad.phase.size() + 2) ==
                                                     r.out.size() - 1) << r.out;
      EXPECT_NE(r.err.find("The database was not fully converted!"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_TRUE(workLeftIn(dir.path()).empty());
    if (compared) {
      EXPECT_EQ(readText(bad.path), before);
    }
  }
}

// Catalogues people have: one encoded by Access (every page after the first encrypted) reads as
// the plain one does, in our reader and in mdbtools, and converts; one with a database password
// converts with the right password only, which never appears among the arguments.
TEST_F(CliTest, encodedAndPasswordProtectedCataloguesConvert) {
  for (const std::string format : {"jet3", "jet4"}) {
    SCOPED_TRACE(format);
    const fs::path plain = sample(dir, format + ".mdb", "--games 40 --format " + format);
    const fs::path encoded = dir.file(format + "-encoded.mdb");
    fs::copy_file(plain, encoded);
    test_sources::encodeCatalogue(encoded.string(), 0x5A17C0DE);
    EXPECT_NE(testing_support::readBytes(encoded), testing_support::readBytes(plain));
    EXPECT_EQ(testing_support::readRows(encoded, "Games"), testing_support::readRows(plain, "Games"));
    testing_support::expectMdbToolsAgree(encoded, "Games");
    EXPECT_EQ(run({encoded, dir.file(format + "-a.mdb")}).exitCode, 0);
    EXPECT_EQ(gamesIn(dir.file(format + "-a.mdb")), 40);

    const fs::path locked = dir.file(format + "-locked.mdb");
    fs::copy_file(plain, locked);
    test_sources::setCataloguePassword(locked.string(), "Sésame 1");
    const fs::path out = dir.file(format + "-b.mdb");
    Result r = run({locked, out});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.starts_with("lvconvert-cli: The selected file is protected by a database "
                                  "password, and none was given.")) << r.err;
    EXPECT_NE(r.err.find("is protected by a database password. (3031,"), std::string::npos) << r.err;
    writeText(dir.file("password"), "sésame 1\n");
    r = run({locked, out, "--password-file", dir.file("password")});
    EXPECT_TRUE(r.err.starts_with("lvconvert-cli: The password given is not the database "
                                  "password of the selected file.")) << r.err;
    EXPECT_NE(r.err.find("Not a valid password"), std::string::npos) << r.err;
    writeText(dir.file("password"), "Sésame 1\n");
    r = run({locked, out, "--password-file", dir.file("password")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(gamesIn(out), 40);
    // On a terminal it is asked for, and what is typed is not shown.
    int code = -1;
    const std::string typed = testing_support::runCommand(
        "(sleep 1; printf 'Sésame 1\\n') | script -qec \"" + std::string(LVCONVERT_CLI) + " " +
            testing_support::shellQuoted(locked) + " " + testing_support::shellQuoted(out) + " --overwrite\" /dev/null",
        &code);
    EXPECT_EQ(code, 0) << typed;
    EXPECT_NE(typed.find("Password for "), std::string::npos) << typed;
    EXPECT_EQ(typed.find("Sésame"), std::string::npos) << typed;
  }
}

// ---- Runs that end early ----------------------------------------------------------------------

// Starts the converter in the background, its output into files of `dir`.
pid_t startCli(const std::vector<std::string>& args, const ScratchDir& dir) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int out = ::open(dir.file("stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(dir.file("stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    std::vector<char*> argv{const_cast<char*>(LVCONVERT_CLI)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(LVCONVERT_CLI, argv.data());
    ::_exit(127);
  }
  return pid;
}

// Its exit code, or 128 + the signal that ended it, as a shell reports them.
int waitFor(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// Ctrl-C and SIGTERM stop the run as an abort: the failure message, the shell's code for the
// signal, the destination as it was, nothing of the work left.
TEST_F(CliTest, aStopSignalEndsTheRunAsAnAbort) {
  const fs::path source = sample(dir, "old.mdb", "--games 4000");
  const fs::path dest = dir.file("new.mdb");
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    writeText(dest, "mine");
    const pid_t pid = startCli({source, dest, "--overwrite"}, dir);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (workLeftIn(dir.path()).empty() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::kill(pid, signal);
    EXPECT_EQ(waitFor(pid), 128 + signal);
    EXPECT_NE(readText(dir.file("stderr.txt")).find("The database was not fully converted!"), std::string::npos)
        << readText(dir.file("stderr.txt"));
    EXPECT_EQ(readText(dest), "mine");
    EXPECT_TRUE(workLeftIn(dir.path()).empty());
  }
}

// SIGKILL at moments spread over a whole run: whenever it lands, the source is as it was and
// the destination is the file it was or the complete conversion; the next run in the folder
// clears away the work the killed ones left and converts.
TEST_F(CliTest, aRunKilledAnywhereLeavesNothingDamaged) {
  const int games = 3000;
  const fs::path source = sample(dir, "old.mdb", "--games " + std::to_string(games));
  const auto sourceBytes = testing_support::readBytes(source);
  const fs::path dest = dir.file("new.mdb");
  const auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(run({source, dest}).exitCode, 0);
  const auto whole = std::chrono::steady_clock::now() - started;
  constexpr int kKills = 12;
  for (int i = 1; i <= kKills; ++i) {
    SCOPED_TRACE("killed at " + std::to_string(i) + "/" + std::to_string(kKills + 1) + " of a run");
    writeText(dest, "mine");
    const pid_t pid = startCli({source, dest, "--overwrite"}, dir);
    std::this_thread::sleep_for(whole * i / (kKills + 1));
    ::kill(pid, SIGKILL);
    waitFor(pid);
    if (readText(dest) != "mine") {
      testing_support::expectSoundFile(dest);
      EXPECT_EQ(gamesIn(dest), games);
    }
    EXPECT_EQ(testing_support::readBytes(source), sourceBytes);
  }
  ASSERT_EQ(run({source, dest, "--overwrite"}).exitCode, 0);
  EXPECT_TRUE(workLeftIn(dir.path()).empty());
  EXPECT_EQ(gamesIn(dest), games);
}

}  // namespace
