// lvsample -- writes a games catalogue in the old release's layout (Jet 3 by default): made-up
// but realistic rows, with the awkward values real catalogues hold placed in the first rows of
// every table, so that even a small sample carries all of them. The same seed always gives the
// same rows; the file differs only where the engine stamps creation dates.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "db/recordset.h"
#include "db/text_codec.h"
#include "schema/old_catalogue.h"
#include "tools/console.h"
#include "tools/program_help.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The most games a sample may have; the old release's catalogues stay well below it.
constexpr long kMaxGames = 1000000;

void printUsage(std::ostream& out) {
  out << "usage: lvsample OUT.mdb [--games N] [--seed S] [--format jet3|jet4]\n"
         "                [--empty TABLE]... [--one-row TABLE]...\n"
         "       lvsample --help | --version\n"
         "  writes a new catalogue in the old release's layout; OUT must not exist\n"
         "  --games N     rows in Games (default 200); the other tables grow with it\n"
         "  --seed S      which catalogue (default 1); the same seed gives the same rows\n"
         "  --format      jet3 (Access 97, the default) or jet4 (Access 2000)\n"
         "  --empty T     table T has no rows\n"
         "  --one-row T   table T has exactly one row\n"
         "  TABLE is one of Difficulty, Publishers, Musicians, Music, Genres, Games\n"
         "  --help        prints this and exits\n"
         "  --version     prints the version and exits\n";
}

// --- Deterministic numbers ------------------------------------------------------------------
// splitmix64, and a multiply-high range reduction: both fixed here so that a seed means the same
// catalogue on every platform and library version.
class Rng {
 public:
  Rng(uint64_t seed, uint64_t stream) : state_(seed ^ (stream * 0xD1B54A32D192ED03ull)) { next(); }

  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // 0 .. n-1 (n > 0).
  uint32_t below(uint32_t n) {
    return static_cast<uint32_t>((static_cast<unsigned __int128>(next()) * n) >> 64);
  }
  int32_t between(int32_t lo, int32_t hi) { return lo + static_cast<int32_t>(below(hi - lo + 1)); }
  // True in `percent` cases out of a hundred.
  bool chance(uint32_t percent) { return below(100) < percent; }
  template <typename T, size_t N>
  const T& pick(const T (&items)[N]) {
    return items[below(N)];
  }

 private:
  uint64_t state_;
};

// --- The tables -------------------------------------------------------------------------------

enum TableId { kDifficulty, kPublishers, kMusicians, kMusic, kGenres, kGames, kTableCount };
constexpr std::array<const char*, kTableCount> kTableNames = {
    "Difficulty", "Publishers", "Musicians", "Music", "Genres", "Games"};

// --- Options ----------------------------------------------------------------------------------

struct Options {
  std::string out;
  long games = 200;
  uint64_t seed = 1;
  const db::FormatDescriptor* format = &db::kVersion3;
  std::array<std::optional<int>, kTableCount> forcedRows;  // 0 (--empty) or 1 (--one-row)
};

bool parseCount(const std::string& text, uint64_t limit, uint64_t* out) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (limit - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *out = v;
  return true;
}

std::optional<TableId> tableNamed(const std::string& name) {
  for (int t = 0; t < kTableCount; ++t) {
    if (db::equalsIgnoreCase(name, kTableNames[t])) return static_cast<TableId>(t);
  }
  return std::nullopt;
}

// False, having said why, when the command line is not one lvsample takes.
bool parseArgs(const std::vector<std::string>& args, Options* o) {
  auto bad = [](const std::string& why) {
    std::cerr << "lvsample: " << why << "\n";
    return false;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      if (!o->out.empty()) return bad("only one output file may be given");
      o->out = arg;
      continue;
    }
    std::string value;
    const size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return bad(arg + " needs a value");
    }
    if (arg == "--games") {
      uint64_t n = 0;
      if (!parseCount(value, kMaxGames, &n)) {
        return bad("--games takes a whole number from 0 to " + std::to_string(kMaxGames));
      }
      o->games = static_cast<long>(n);
    } else if (arg == "--seed") {
      if (!parseCount(value, UINT64_MAX, &o->seed)) return bad("--seed takes a whole number");
    } else if (arg == "--format") {
      if (db::equalsIgnoreCase(value, "jet3"))
        o->format = &db::kVersion3;
      else if (db::equalsIgnoreCase(value, "jet4"))
        o->format = &db::kVersion4;
      else
        return bad("--format is jet3 or jet4");
    } else if (arg == "--empty" || arg == "--one-row") {
      const std::optional<TableId> t = tableNamed(value);
      if (!t) return bad("no table '" + value + "' in the old catalogue");
      const int rows = arg == "--empty" ? 0 : 1;
      if (o->forcedRows[*t] && *o->forcedRows[*t] != rows) {
        return bad(std::string(kTableNames[*t]) + " cannot be both empty and one row");
      }
      o->forcedRows[*t] = rows;
    } else {
      return bad("unknown option " + arg);
    }
  }
  if (o->out.empty()) return bad("no output file given");
  return true;
}

// --- Content ----------------------------------------------------------------------------------

using db::Variant;
const Variant kNull;

Variant integer(int v) { return Variant(static_cast<int16_t>(v)); }
Variant along(int32_t v) { return Variant(v); }

// Lower case ASCII letters and digits joined by '_'; other characters (accented letters) are
// kept as they are, as file names made on Windows keep them.
std::string slug(std::string_view name) {
  std::string s;
  for (unsigned char c : name) {
    if (c >= 0x80)
      s += static_cast<char>(c);
    else if (std::isalnum(c))
      s += static_cast<char>(std::tolower(c));
    else if (!s.empty() && s.back() != '_')
      s += '_';
  }
  while (!s.empty() && s.back() == '_') s.pop_back();
  return s.empty() ? "untitled" : s;
}

// The folder a file sits in: its first letter, "0" for digits, "_" for anything else.
std::string folderOf(const std::string& slugged) {
  const unsigned char c = static_cast<unsigned char>(slugged[0]);
  if (c >= 'a' && c <= 'z') return std::string(1, static_cast<char>(c));
  return std::isdigit(c) ? "0" : "_";
}

std::string gamePath(const char* root, const std::string& name, const char* ext) {
  const std::string s = slug(name);
  return std::string(root) + "/" + folderOf(s) + "/" + s + ext;
}

const char* const kSentences[] = {
    "Loaded first time from the original tape, which is more than can be said for my copy of "
    "the sequel.",
    "The music on the title screen is worth the price alone; leave it running while you make "
    "a cup of tea.",
    "Level three has a jump that needs pixel-perfect timing, and the joystick in port 2 must "
    "be a good one.",
    "Bought in a bargain bin in 1989 for £1.99 together with two other games.",
    "Le jeu est très réussi, même aujourd'hui — à découvrir.",
    "Das Spiel lädt etwas langsam, aber die Grafik ist großartig.",
    "The manual says \"press fire to start\", but you actually have to press space.",
    "My brother's high score from 1988 still stands; I have never beaten it.",
    "There is a trainer on this disk: hold down the left arrow key while it loads.",
    "The cracktro plays a tune that is better than the game's own — see the notes "
    "in the docs.",
    "Cost 9,95 € on the re-release compilation, Škoda edition.",
    "Two players at once on one keyboard, which ends friendships.",
};

const char* const kShortComments[] = {
    "Great music.",
    "Needs a joystick in port 2.",
    "Crashes after level 3 on my copy.",
    "Classic!",
    "Play with the sound up.",
    "Too hard for me.",
    "Better than the arcade version.",
    "Side B has the second part.",
    "Use the trainer.",
    "Très bon jeu — \"un classique\".",
};

// A comment longer than a page of the file (the old release let users paste whole reviews),
// paragraphs separated as Windows edit boxes separate them.
std::string longComment(Rng& rng, size_t atLeast) {
  std::string s;
  int inParagraph = 0;
  while (s.size() < atLeast) {
    if (inParagraph == 4) {
      s += "\r\n\r\n";
      inParagraph = 0;
    } else if (!s.empty()) {
      s += ' ';
    }
    s += rng.pick(kSentences);
    ++inParagraph;
  }
  return s;
}

const char* const kTitleFirst[] = {
    "Super", "Mega",   "Turbo",  "Space",    "Cosmic",  "Dark",   "Crystal", "Iron",  "Star",
    "Neon",  "Lost",   "Final",  "Mystic",   "Jet",     "Night",  "Thunder", "Power", "Dragon's",
    "Ninja", "Hyper",  "Atomic", "Desert",   "Jungle",  "Arctic", "Pirate",  "Royal", "Silent",
    "Crazy", "Little", "Golden", "Wizard's", "Château", "Señor",  "Kaiser"};
const char* const kTitleSecond[] = {
    "Raider",  "Quest",  "Racer",  "Commando", "Fighter", "Invaders", "Castle",    "Kingdom",
    "Warrior", "Runner", "Attack", "Patrol",   "Mission", "Legend",   "Challenge", "Rally",
    "Soccer",  "Tennis", "Chess",  "Maze",     "Escape",  "Empire",   "Odyssey",   "Saga",
    "Blaster", "Hunter", "Island", "Tower",    "Dungeon", "Golf",     "Café",      "Grand Prix"};
const char* const kTitleSuffix[] = {
    " II", " 2", " III", ": The Return", " Deluxe", " '88", " Construction Kit", " 64"};

std::string randomTitle(Rng& rng) {
  std::string t;
  if (rng.chance(15)) t = "The ";
  // One draw per statement: the order C++ evaluates operands in is not fixed.
  t += rng.pick(kTitleFirst);
  t += " ";
  t += rng.pick(kTitleSecond);
  if (rng.chance(15)) t += rng.pick(kTitleSuffix);
  return t;
}

const char* const kFirstNames[] = {"Rob",     "Martin",   "David",  "Ben",  "Tim",   "Chris",
                                   "Matt",    "Jeroen",   "Fred",   "Mark", "Steve", "Paul",
                                   "Richard", "Jonathan", "Anders", "Ole",  "Jens",  "Thomas",
                                   "Andrea",  "Mike",     "Jason"};
const char* const kSurnames[] = {"Walker",  "Galway",  "Daly",   "Tel",       "Gray",
                                 "Cooke",   "Hubbard", "Follin", "Whittaker", "Pickford",
                                 "Dunn",    "Jones",   "Madsen", "Kvist",     "Lindqvist",
                                 "Bianchi", "Young",   "Morris", "Baxter"};
const char* const kCountries[] = {"UK",     "UK",      "UK",     "Germany", "Netherlands",
                                  "Sweden", "Denmark", "Norway", "Finland", "Italy",
                                  "USA",    "Hungary", "Poland"};

const char* const kPublisherFirst[] = {
    "Harbour", "Kingfisher", "Firestone", "Blue Ridge",  "Cascade",    "Alpha",
    "Orbit",   "Quasar",     "Redwood",   "Thunderbolt", "Mastermind", "Nightingale",
    "Summit",  "Eclipse",    "Vector",    "Lighthouse",  "Zenith",     "Pegasus"};
const char* const kPublisherSecond[] = {"Software",     "Games",       "Soft",
                                        "Productions",  "Interactive", "Entertainment",
                                        "Developments", "Computing",   "Leisure"};

const char* const kGenreParents[] = {"Action",    "Adventure",    "Arcade",      "Board Game",
                                     "Card Game", "Educational",  "Platform",    "Puzzle",
                                     "Racing",    "Role Playing", "Shoot'em Up", "Simulation",
                                     "Sport",     "Strategy",     "Beat'em Up",  "Quiz"};
const char* const kGenreSubs[] = {
    "Maze",      "Climbing",      "Text",    "Graphic",  "Horizontal",    "Vertical", "Flight",
    "Space",     "Tennis",        "Golf",    "Boxing",   "Football",      "Cricket",  "Chess",
    "Cards",     "Cars",          "War",     "Economic", "Fantasy",       "Sci-Fi",   "Isometric",
    "Scrolling", "Single Screen", "Pinball", "Breakout", "Collect'em Up", "Logic",    "Typing",
    "Maths",     "Misc",          "Bikes",   "Fishing",  "Ice Hockey"};

// The next id of a table whose ids were never renumbered: mostly the next number, now and then
// a few more where rows were deleted.
int32_t nextId(Rng& rng, int32_t last) {
  return last + 1 + (rng.chance(15) ? rng.between(1, 3) : 0);
}

// Rows of each table and what Games refers to.
struct Written {
  std::vector<int32_t> difficultyIds, publisherIds, musicianIds, genreIds;
  std::vector<std::string> musicianFolders;  // beside musicianIds: where their tunes lie
  std::vector<std::string> tuneFiles;        // Music filenames that name a file
};

// An id from `ids` by position, or Null when the table has none.
Variant idAt(const std::vector<int32_t>& ids, size_t at) {
  return ids.empty() ? kNull : along(ids[at % ids.size()]);
}
Variant randomId(Rng& rng, const std::vector<int32_t>& ids) {
  return ids.empty() ? kNull : along(ids[rng.below(static_cast<uint32_t>(ids.size()))]);
}

class Writer {
 public:
  Writer(db::Database& d, const Options& o) : d_(d), o_(o) {}

  void run() {
    const std::vector<db::TableSchema> schema = schema::oldCatalogueSchema();
    for (const db::TableSchema& s : schema) d_.createTable(s);
    writeDifficulty();
    writePublishers();
    writeMusicians();
    writeMusic();
    writeGenres();
    writeGames();
  }

 private:
  // Rows a table gets: its forced count, or `natural`.
  size_t rowsOf(TableId t, size_t natural) const {
    return o_.forcedRows[t] ? static_cast<size_t>(*o_.forcedRows[t]) : natural;
  }
  // The tables that grow with the games: a proportion, but at least a handful when there are
  // games at all.
  size_t proportion(long divisor, size_t cap = SIZE_MAX) const {
    if (o_.games == 0) return 0;
    return std::min(cap, std::max<size_t>(static_cast<size_t>(o_.games / divisor), 8));
  }
  Rng rngFor(TableId t) const { return Rng(o_.seed, static_cast<uint64_t>(t) + 1); }

  struct Row {
    std::vector<std::pair<const char*, Variant>> values;
    void set(const char* column, Variant v) { values.emplace_back(column, std::move(v)); }
  };
  static void store(db::Recordset& rs, const Row& row) {
    for (const auto& [column, value] : row.values) rs.Fields(column).Value = value;
    rs.Update();
  }
  // A row with an id the generator chooses.
  void insert(db::Recordset& rs, const Row& row) {
    rs.AddNew();
    store(rs, row);
  }
  // A row of an autonumbered table; now and then a number is drawn and thrown away first, as
  // happened whenever a user began a record and cancelled it, so the ids have gaps.
  void insertNumbered(db::Recordset& rs, const Row& row, bool skipFirst) {
    rs.AddNew();
    if (skipFirst) {
      rs.CancelUpdate();
      rs.AddNew();
    }
    store(rs, row);
  }
  std::shared_ptr<db::Recordset> open(TableId t) {
    return d_.OpenRecordset(std::string("SELECT * FROM ") + kTableNames[t], db::dbOpenDynaset);
  }

  void writeDifficulty() {
    struct Fixed {
      int32_t id;
      const char* name;
    };
    // One level has no name: the old release let a user blank it.
    static const Fixed kLevels[] = {{1, "Easy"},      {2, "Average"},       {3, "Hard"},
                                    {5, "Very Hard"}, {6, "Experts' Only"}, {9, nullptr}};
    auto rs = open(kDifficulty);
    const size_t n = rowsOf(kDifficulty, std::size(kLevels));
    for (size_t i = 0; i < n; ++i) {
      Row r;
      r.set("DI_Id", along(kLevels[i].id));
      r.set("Difficulty", kLevels[i].name ? Variant(kLevels[i].name) : kNull);
      insert(*rs, r);
      w_.difficultyIds.push_back(kLevels[i].id);
    }
  }

  void writePublishers() {
    struct Fixed {
      int32_t id;
      const char* name;
    };
    static const Fixed kFixed[] = {{1, "Meridian Software"},       {2, "Hewitt & Crane"},
                                   {4, "Bit O'Brien Productions"}, {5, "Studio \"Nova\""},
                                   {6, "Éditions Lumière"},        {7, nullptr},
                                   {9, "Softwarehaus Großmann"},   {10, "Micro Señor"}};
    Rng rng = rngFor(kPublishers);
    auto rs = open(kPublishers);
    const size_t n = rowsOf(kPublishers, proportion(15));
    std::set<std::string> used;
    int32_t id = 0;
    for (size_t i = 0; i < n; ++i) {
      Row r;
      if (i < std::size(kFixed)) {
        id = kFixed[i].id;
        r.set("Publisher", kFixed[i].name ? Variant(kFixed[i].name) : kNull);
      } else {
        id = nextId(rng, id);
        std::string name = rng.pick(kPublisherFirst);
        name += " ";
        name += rng.pick(kPublisherSecond);
        if (!used.insert(name).second) name += " (" + std::string(rng.pick(kCountries)) + ")";
        r.set("Publisher", Variant(name));
      }
      r.set("PU_Id", along(id));
      insert(*rs, r);
      w_.publisherIds.push_back(id);
    }
  }

  void writeMusicians() {
    struct Fixed {
      int32_t id;
      const char* name;
      const char* country;
      int born;  // -1: Null
      const char* photo;
      const char* folder;
    };
    static const Fixed kFixed[] = {
        {1, "Rob Hartley", "UK", 1966, "photos/h/hartley_rob.jpg", "h/hartley_rob"},
        {2, "Jürgen Kühn", "Germany", 1970, "photos/k/kuhn_jurgen.jpg", "k/kühn_jürgen"},
        {3, "Søren Dahl", "Denmark", 0, "", "d/dahl_søren"},
        {5, nullptr, nullptr, -1, nullptr, "_/unknown"},
        {6, "Marc O'Neill", "Ireland", 1968, "", "o/o_neill_marc"},
        {7, "David \"Jazz\" Whitman", "USA", -1, nullptr, "w/whitman_david"},
        {8, "José Muñoz", "Spain", 1971, "photos/m/munoz_jose.jpg", "m/muñoz_josé"},
        {10, "Šárka Nováková", "Czechoslovakia", 1973, nullptr, "n/nováková_šárka"}};
    Rng rng = rngFor(kMusicians);
    auto rs = open(kMusicians);
    const size_t n = rowsOf(kMusicians, proportion(8));
    int32_t id = 0;
    for (size_t i = 0; i < n; ++i) {
      Row r;
      if (i < std::size(kFixed)) {
        const Fixed& f = kFixed[i];
        id = f.id;
        r.set("Name", f.name ? Variant(f.name) : kNull);
        r.set("Country", f.country ? Variant(f.country) : kNull);
        r.set("Born", f.born >= 0 ? integer(f.born) : kNull);
        r.set("Photo", f.photo ? Variant(f.photo) : kNull);
        w_.musicianFolders.push_back(f.folder);
      } else {
        id = nextId(rng, id);
        const std::string first = rng.pick(kFirstNames);
        const std::string surname = rng.pick(kSurnames);
        const std::string sorted = slug(surname + " " + first);
        r.set("Name", Variant(first + " " + surname));
        r.set("Country", rng.chance(85) ? Variant(rng.pick(kCountries)) : kNull);
        r.set("Born", rng.chance(70) ? integer(rng.between(1950, 1975)) : kNull);
        r.set("Photo", rng.chance(50)
                           ? Variant("photos/" + folderOf(sorted) + "/" + sorted + ".jpg")
                           : kNull);
        w_.musicianFolders.push_back(folderOf(sorted) + "/" + sorted);
      }
      r.set("MU_Id", along(id));
      insert(*rs, r);
      w_.musicianIds.push_back(id);
    }
  }

  void writeMusic() {
    struct Fixed {
      const char* name;
      const char* file;
      int musician;
      bool skipBefore;
    };
    // The old release wrote "(None)" where a tune had no file; users typed its near misses.
    static const Fixed kFixed[] = {
        {"Title Theme", "music/h/hartley_rob/title_theme.sid", 0, false},
        {"In-Game", "(None)", 1, false},
        {"High Score", "(none)", 2, true},
        {"Game Over", "(NONE)", 4, false},
        {"Loader", " (None)", 5, false},
        {"Intro", "(None) ", 6, false},
        {nullptr, nullptr, -1, true},
        {"Crème brûlée (Remix)", "music/m/muñoz_josé/crème_brûlée.sid", 6, false}};
    static const char* const kTunes[] = {"Title", "In-Game",      "Main Theme", "Loader",
                                         "Intro", "End Sequence", "Menu",       "Level 1",
                                         "Boss",  "Remix"};
    Rng rng = rngFor(kMusic);
    auto rs = open(kMusic);
    const size_t n = rowsOf(kMusic, proportion(4));
    for (size_t i = 0; i < n; ++i) {
      Row r;
      bool skip = false;
      if (i < std::size(kFixed)) {
        const Fixed& f = kFixed[i];
        r.set("Name", f.name ? Variant(f.name) : kNull);
        r.set("Filename", f.file ? Variant(f.file) : kNull);
        r.set("MU_Id", f.musician >= 0 ? idAt(w_.musicianIds, f.musician) : kNull);
        skip = f.skipBefore;
        if (f.file && std::string_view(f.file).starts_with("music/"))
          w_.tuneFiles.push_back(f.file);
      } else {
        std::string name = rng.pick(kTitleFirst);
        name += " ";
        name += rng.pick(kTitleSecond);
        name += " - ";
        name += rng.pick(kTunes);
        std::string folder = "_/unknown";
        Variant musician;
        if (!w_.musicianIds.empty() && rng.chance(95)) {
          const uint32_t at = rng.below(static_cast<uint32_t>(w_.musicianIds.size()));
          musician = along(w_.musicianIds[at]);
          folder = w_.musicianFolders[at];
        }
        const std::string file = "music/" + folder + "/" + slug(name) + ".sid";
        const bool hasFile = rng.chance(90);
        r.set("Name", Variant(name));
        r.set("Filename", hasFile ? Variant(file) : Variant("(None)"));
        r.set("MU_Id", musician);
        if (hasFile) w_.tuneFiles.push_back(file);
        skip = rng.chance(8);
      }
      insertNumbered(*rs, r, skip);
    }
  }

  void writeGenres() {
    // GE_Id 1 is the old release's "no genre"; the rest show every shape of name users made:
    // parent and sub genre in parentheses or brackets, plain names, and parents that differ
    // only in letter case.
    struct Fixed {
      int32_t id;
      const char* name;
    };
    static const Fixed kFixed[] = {
        {1, "(None)"}, {2, "Strategy (War)"}, {3, "Sport [Football]"}, {5, "Puzzle"},
        {6, "Miscellaneous"}, {8, "Arcade (Maze)"}, {9, "ARCADE (Climbing)"},
        {11, "Shoot'em Up (Vertical)"}, {12, "Adventure (Text)"}};
    Rng rng = rngFor(kGenres);
    auto rs = open(kGenres);
    const size_t n = rowsOf(kGenres, std::size(kFixed) + proportion(6, 120));
    std::set<std::string> used;
    int32_t id = 0;
    for (size_t i = 0; i < n; ++i) {
      std::string name;
      if (i < std::size(kFixed)) {
        id = kFixed[i].id;
        name = kFixed[i].name;
      } else {
        id = nextId(rng, id);
        // Names are unique without regard to letter case, except for the pair above.
        for (int attempt = 0; attempt < 50 && (name.empty() || used.count(db::upperCase(name)));
             ++attempt) {
          const std::string parent = rng.pick(kGenreParents);
          const uint32_t shape = rng.below(20);
          if (shape < 14)
            name = parent + " (" + rng.pick(kGenreSubs) + ")";
          else if (shape < 17)
            name = parent + " [" + rng.pick(kGenreSubs) + "]";
          else
            name = parent;
        }
        if (used.count(db::upperCase(name))) break;
      }
      used.insert(db::upperCase(name));
      Row r;
      r.set("GE_Id", along(id));
      r.set("Genre", Variant(name));
      insert(*rs, r);
      w_.genreIds.push_back(id);
    }
  }

  // Values of a game the first rows set by hand; unset ones are drawn at random.
  struct GameOverrides {
    const char* name = nullptr;
    bool allNull = false;  // every column that may be Null is
    const char* file = nullptr;
    const char* screenshot = nullptr;
    const char* music = nullptr;
    const char* lastPlayed = nullptr;
    const char* highScore = nullptr;
    std::optional<int> players;  // -1: Null
    enum Comment { kRandom, kEmpty, kNullComment, kLong, kShort } comment = kRandom;
    bool noReferences = false;  // MU_Id, PU_Id and DI_Id Null
    int genre = -1;             // position in the genre ids
    bool skipBefore = false;
  };

  static std::vector<GameOverrides> awkwardGames() {
    std::vector<GameOverrides> g(20);
    // A complete, ordinary row first: what a one-game sample holds.
    g[0].name = "The \"Last\" Ninja";
    g[0].players = 1;
    g[0].genre = 11;
    g[0].comment = GameOverrides::kShort;
    // The placeholders the old release wrote, then the near misses users typed, each file
    // column getting each of them.
    const char* const none[] = {"(None)", "(none)", "(NONE)", " (None)", "(None) "};
    const char* const names[] = {"Essex Rally", "Middlesex Cricket", "SEXTANT", "Fuckup", "S.E.X."};
    const int players[] = {2, 3, 4, 0, 5};
    for (int k = 0; k < 5; ++k) {
      GameOverrides& o = g[1 + k];
      o.name = names[k];
      o.file = none[k];
      o.screenshot = none[(k + 1) % 5];
      o.music = none[(k + 3) % 5];
      o.players = players[k];
      o.genre = 1 + k;
    }
    g[1].lastPlayed = "(Never)";
    g[1].highScore = "(Not Entered)";
    g[1].comment = GameOverrides::kEmpty;
    g[2].lastPlayed = "(never)";
    g[2].highScore = "(not entered)";
    g[2].comment = GameOverrides::kLong;
    g[3].lastPlayed = "(Never)";
    g[3].highScore = "(Not Entered)";
    g[3].skipBefore = true;
    g[4].comment = GameOverrides::kNullComment;
    g[6].allNull = true;
    g[6].genre = 0;
    g[7].name = "Sussed";
    g[7].players = -1;
    g[7].noReferences = true;
    g[7].comment = GameOverrides::kLong;
    g[7].genre = 6;
    const char* const awkwardNames[] = {
        "Hunter's Moon", "Ærø Ferry", "Ça va!", "Crème brûlée", "Straße der Räuber", "España '82",
        "Über Ski", "Euro € Dealer", "Šachový Mistr", "\"Quoted\" Title's End", "Désert Rallye",
        "Middlesex Cricket II"};
    for (size_t k = 0; k < std::size(awkwardNames); ++k) {
      g[8 + k].name = awkwardNames[k];
      g[8 + k].genre = static_cast<int>(k % 9);
    }
    g[9].comment = GameOverrides::kEmpty;
    g[12].skipBefore = true;
    return g;
  }

  void writeGames() {
    static const char* const kNullable[] = {
        "Name", "Year Published", "Personal Comment", "FileName", "Filename Index",
        "Screenshot FileName", "MU_Id", "PU_Id", "DI_Id", "Music FileName", "DateLastPlayed",
        "TimesPlayed", "HighScore", "Trained", "PL_Id", "PRG", "VicePort1", "VicePort2", "DocFile"};
    Rng rng = rngFor(kGames);
    auto rs = open(kGames);
    const std::vector<GameOverrides> awkward = awkwardGames();
    const size_t n = rowsOf(kGames, static_cast<size_t>(o_.games));
    for (size_t i = 0; i < n; ++i) {
      const GameOverrides o = i < awkward.size() ? awkward[i] : GameOverrides{};
      // Rows named by hand are otherwise complete, so that the awkward value is the only one.
      const bool full = o.name != nullptr;
      Row r;
      if (o.allNull) {
        for (const char* c : kNullable) r.set(c, kNull);
      } else {
        setGameValues(rng, o, r);
      }
      // Required, so a game whose genre table is empty still names the uncategorised one.
      const Variant genre = o.genre >= 0     ? idAt(w_.genreIds, static_cast<size_t>(o.genre))
                            : rng.chance(10) ? idAt(w_.genreIds, 0)
                                             : randomId(rng, w_.genreIds);
      r.set("GE_Id", genre.isNull() ? along(1) : genre);
      insertNumbered(*rs, r, o.skipBefore || (!full && !o.allNull && rng.chance(8)));
    }
  }

  // Every column of a game but its genre, drawn from `rng` in the order of the columns.
  void setGameValues(Rng& rng, const GameOverrides& o, Row& r) {
    const bool full = o.name != nullptr;
    const std::string name = full ? o.name : randomTitle(rng);
    r.set("Name", Variant(name));
    const uint32_t era = rng.below(100);
    r.set("Year Published", era < 90 || full ? integer(rng.between(1982, 1995))
                            : era < 97       ? integer(rng.pick({1980, 1981, 1996, 1997, 1999}))
                                             : kNull);
    r.set("Personal Comment", gameComment(rng, o.comment));
    setGameFiles(rng, o, name, r);
    auto reference = [&](const std::vector<int32_t>& ids, uint32_t percent) {
      if (o.noReferences) return kNull;
      return full || rng.chance(percent) ? randomId(rng, ids) : kNull;
    };
    r.set("MU_Id", reference(w_.musicianIds, 90));
    r.set("PU_Id", reference(w_.publisherIds, 95));
    r.set("DI_Id", reference(w_.difficultyIds, 85));
    setGamePlayed(rng, o, r);
    int players = o.players ? *o.players : rng.pick({1, 1, 1, 1, 2, 2, 2, 3, 4, 0, 5});
    if (!full && rng.chance(3)) players = -1;
    r.set("PL_Id", players >= 0 ? integer(players) : kNull);
    std::string prg = slug(name).substr(0, 16);
    for (char& c : prg) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const uint32_t prgKind = rng.below(100);
    r.set("PRG", full || prgKind < 40 ? Variant(prg) : prgKind < 55 ? Variant("") : kNull);
    for (const char* port : {"VicePort1", "VicePort2"}) {
      r.set(port, full || rng.chance(70) ? integer(rng.between(0, 2)) : kNull);
    }
    const uint32_t docKind = rng.below(100);
    r.set("DocFile", full || docKind < 40 ? Variant(gamePath("docs", name, ".txt"))
                     : docKind < 55       ? Variant("")
                                          : kNull);
  }

  static Variant gameComment(Rng& rng, GameOverrides::Comment comment) {
    if (comment == GameOverrides::kRandom) {
      const uint32_t k = rng.below(100);
      comment = k < 3    ? GameOverrides::kLong
                : k < 12 ? GameOverrides::kEmpty
                : k < 70 ? GameOverrides::kNullComment
                         : GameOverrides::kShort;
    }
    switch (comment) {
      case GameOverrides::kEmpty:
        return Variant("");
      case GameOverrides::kNullComment:
        return kNull;
      case GameOverrides::kLong:
        return Variant(longComment(rng, 5000 + rng.below(3000)));
      default:
        return Variant(rng.pick(kShortComments));
    }
  }

  // The game's file, screenshot and tune, each now and then the old release's placeholder.
  void setGameFiles(Rng& rng, const GameOverrides& o, const std::string& name, Row& r) {
    static const char* const kExtensions[] = {".d64", ".d64", ".d64", ".t64",
                                              ".t64", ".prg", ".tap", ".crt"};
    const bool full = o.name != nullptr;
    const std::string file = gamePath("games", name, rng.pick(kExtensions));
    r.set("FileName", Variant(o.file ? o.file : !full && rng.chance(4) ? "(None)" : file));
    r.set("Filename Index", along(rng.chance(85) ? 0 : rng.between(1, 3)));
    const std::string shot = gamePath("screenshots", name, ".png");
    r.set("Screenshot FileName", Variant(o.screenshot              ? o.screenshot
                                         : !full && rng.chance(20) ? "(None)"
                                                                   : shot));
    Variant music("(None)");
    if (o.music) {
      music = Variant(o.music);
    } else if (!w_.tuneFiles.empty() && (full || rng.chance(60))) {
      music = Variant(w_.tuneFiles[rng.below(static_cast<uint32_t>(w_.tuneFiles.size()))]);
    } else if (rng.chance(5)) {
      music = kNull;
    }
    r.set("Music FileName", music);
  }

  // When the game was last played and how often, its high score and its trainers.
  static void setGamePlayed(Rng& rng, const GameOverrides& o, Row& r) {
    const bool full = o.name != nullptr;
    const bool never = rng.chance(60);
    if (o.lastPlayed || (never && !full)) {
      r.set("DateLastPlayed", Variant(o.lastPlayed ? o.lastPlayed : "(Never)"));
      r.set("TimesPlayed", full || rng.chance(95) ? along(0) : kNull);
    } else {
      // The old release kept the date as the user's locale printed it.
      int parts[6];
      const int ranges[6][2] = {{1, 28}, {1, 12}, {2001, 2006}, {0, 23}, {0, 59}, {0, 59}};
      for (int k = 0; k < 6; ++k) parts[k] = rng.between(ranges[k][0], ranges[k][1]);
      char when[32];
      std::snprintf(when, sizeof when, "%02d/%02d/%04d %02d:%02d:%02d", parts[0], parts[1],
                    parts[2], parts[3], parts[4], parts[5]);
      r.set("DateLastPlayed", Variant(when));
      r.set("TimesPlayed", along(rng.between(1, 150)));
    }
    const bool scored = rng.chance(25);
    r.set("HighScore", o.highScore ? Variant(o.highScore)
                       : scored    ? Variant(std::to_string(rng.between(1, 99999) * 10))
                                   : Variant("(Not Entered)"));
    r.set("Trained", integer(rng.chance(70) ? 0 : rng.between(1, 5)));
  }

  db::Database& d_;
  const Options& o_;
  Written w_;
};

}  // namespace

int main(int argc, char** argv) {
  // The arguments as UTF-8 (on Windows too); a write past the file-size limit fails, and the
  // half-written sample goes, instead of a signal ending the program.
  const console::Session session(argc, argv);
  const std::vector<std::string>& args = session.arguments();
  if (args.size() == 1) {
    if (const std::optional<int> answered = tools::answerHelpOrVersion(args[0], "lvsample", printUsage)) {
      return *answered;
    }
  }
  Options o;
  if (!parseArgs(args, &o)) {
    printUsage(std::cerr);
    return kExitUsage;
  }
  std::error_code ec;
  // The path is UTF-8; on Windows a path made from plain chars is read in the ANSI code page.
  const std::filesystem::path out(std::u8string(o.out.begin(), o.out.end()));
  if (std::filesystem::exists(out, ec)) {
    std::cerr << "lvsample: '" << o.out << "' already exists; lvsample writes only new files\n";
    return kExitFailed;
  }
  try {
    // Stamped with a fixed day of the old release's time (2001-03-15), so that a seed gives
    // the same bytes on every run.
    constexpr double kCatalogueDate = 36965.0;
    auto d = db::DBEngine().CreateDatabase(o.out, *o.format, kCatalogueDate);
    Writer(*d, o).run();
    d->Close();
  } catch (const db::DbException& e) {
    std::cerr << "lvsample: " << e.description() << " (" << e.number() << ")\n";
    // A half-written catalogue is no sample; leave nothing behind.
    std::filesystem::remove(out, ec);
    return kExitFailed;
  }
  return kExitOk;
}
