// run_report.h -- what a conversion did, counted as it ran: the rows of each table in the old
// catalogue and in the new one, what the rules changed (placeholder texts emptied, Nulls
// repaired, genres no genre holds, players codes, names flagged Adult), the genre mapping,
// each phase's time and the check of the result before it took the destination's name.
// Rendered as text for a person and as JSON for a program.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace convert {

// A table the run wrote. `source` is absent for PGenres, which no old table becomes.
struct TableRows {
  std::string name;                 // as in the new catalogue
  std::optional<uint64_t> source;   // rows the run read
  uint64_t written = 0;             // rows the run wrote
  std::optional<uint64_t> result;   // rows the check found in the new catalogue
};

// What the rules did to one text column of the new catalogue.
struct ColumnChanges {
  std::string table, column;
  std::map<std::string, uint64_t> placeholders;  // placeholder text -> values emptied
  uint64_t nullsRepaired = 0;                    // Nulls written as ""
};

// A game named in the report: its title and its GA_Id in the old catalogue.
struct GameMention {
  std::string title;
  int32_t oldId = 0;
};

// Games of one kind: the first kMaxMentions named, all of them counted.
struct GameList {
  static constexpr size_t kMaxMentions = 20;
  std::vector<GameMention> first;
  uint64_t count = 0;
  void add(const std::string& title, int32_t oldId) {
    if (first.size() < kMaxMentions) first.push_back({title, oldId});
    ++count;
  }
};

// An old genre and where the mapping put it.
struct GenreMapping {
  int32_t oldId = 0;
  std::string oldName;
  std::string parent, sub;   // as written to PGenres and Genres
  bool madeUnique = false;   // the sub genre's name is not the one derived from the old name,
                             // which another sub genre of the parent holds
};

struct PhaseTime {
  std::string name;   // the phase's status text without its "..."
  double seconds = 0;
};

struct RunReport {
  std::vector<TableRows> tables;          // in the order the run writes them
  std::vector<ColumnChanges> columns;     // every text column a rule touches, in writing order
  GameList unknownGenre;                  // old genre that no genre holds: sent to genre 1
  uint64_t playersOutside = 0;            // players code neither Null nor 1-4
  uint64_t playersNull = 0;               // players code Null
  uint64_t adultGames = 0, adultMusic = 0;  // names flagged Adult
  std::vector<GenreMapping> genres;       // in the old catalogue's order
  std::vector<PhaseTime> phases;
  bool checked = false;                   // the check ran
  bool verified = false;                  // ... and found the result sound
  std::vector<std::string> problems;      // what it found otherwise (the first few)
  uint64_t problemCount = 0;
  std::string failure;                    // why the run failed, when it did

  ColumnChanges& column(const std::string& table, const std::string& name);
  TableRows& table(const std::string& name);
};

// The report as a person reads it: the tables as an aligned table, source -> result with "="
// where they agree, then the changes, the genre mapping, the phases and the check. Lines end
// in "\n".
std::string reportText(const RunReport& report);

// The few lines a terminal shows after the finish message: each table, source -> result, and
// the check's result.
std::string reportSummary(const RunReport& report);

// The report as JSON (two spaces a level): "verified", "tables" [{"name", "source_rows",
// "result_rows"}], "changes" {...}, "genres", "phases", "check".
std::string reportJson(const RunReport& report);

}  // namespace convert
