// run_report.cpp -- the report's renderings. Counts are printed in full, grouped by thousands
// for a person ("1,000,000") and plain in JSON.
#include "convert/run_report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>

namespace convert {
namespace {

std::string grouped(uint64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string padRight(std::string s, size_t width) {
  if (s.size() < width) s.append(width - s.size(), ' ');
  return s;
}
std::string padLeft(const std::string& s, size_t width) {
  return s.size() < width ? std::string(width - s.size(), ' ') + s : s;
}

std::string seconds(double s) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.3f s", s);
  return buffer;
}

std::string checkLine(const RunReport& r) {
  if (!r.checked) return "The new database was not checked.";
  if (r.verified) return "The new database passed its check: every row, index and usage map is sound.";
  return "The new database failed its check (" + grouped(r.problemCount) + " problem" +
         (r.problemCount == 1 ? "" : "s") + ").";
}

// Table rows as aligned columns: name, source, "->", result, and "=" where they agree.
std::string tableLines(const RunReport& r) {
  size_t nameWidth = 5, sourceWidth = 6, resultWidth = 6;
  for (const TableRows& t : r.tables) {
    nameWidth = std::max(nameWidth, t.name.size());
    if (t.source) sourceWidth = std::max(sourceWidth, grouped(*t.source).size());
    if (t.result) resultWidth = std::max(resultWidth, grouped(*t.result).size());
  }
  std::string out = "  " + padRight("Table", nameWidth) + "  " + padLeft("Source", sourceWidth) +
                    "    " + padLeft("Result", resultWidth) + "\n";
  for (const TableRows& t : r.tables) {
    const std::string source = t.source ? grouped(*t.source) : "-";
    const std::string result = t.result ? grouped(*t.result) : "?";
    const bool equal = t.source && t.result && *t.source == *t.result;
    out += "  " + padRight(t.name, nameWidth) + "  " + padLeft(source, sourceWidth) + " -> " +
           padLeft(result, resultWidth) + (equal ? "  =" : "") + "\n";
  }
  return out;
}

void gameLines(const char* heading, const GameList& list, std::string* out) {
  if (list.count == 0) return;
  *out += "  " + std::string(heading) + ": " + grouped(list.count) + ", sent to genre 1\n";
  for (const GameMention& g : list.first) {
    *out += "    " + g.title + " (old id " + std::to_string(g.oldId) + ")\n";
  }
  if (list.count > list.first.size()) {
    *out += "    and " + grouped(list.count - list.first.size()) + " more\n";
  }
}

nlohmann::json gamesJson(const GameList& list) {
  nlohmann::json first = nlohmann::json::array();
  for (const GameMention& g : list.first) first.push_back({{"title", g.title}, {"old_id", g.oldId}});
  return {{"count", list.count}, {"first", std::move(first)}};
}

}  // namespace

ColumnChanges& RunReport::column(const std::string& tableName, const std::string& name) {
  for (ColumnChanges& c : columns) {
    if (c.table == tableName && c.column == name) return c;
  }
  columns.push_back({tableName, name, {}, 0});
  return columns.back();
}

TableRows& RunReport::table(const std::string& name) {
  for (TableRows& t : tables) {
    if (t.name == name) return t;
  }
  tables.push_back({name, std::nullopt, 0, std::nullopt});
  return tables.back();
}

std::string reportSummary(const RunReport& r) {
  std::string out = "Rows, old catalogue -> new:\n" + tableLines(r);
  return out + checkLine(r) + "\n";
}

std::string reportText(const RunReport& r) {
  std::string out;
  if (!r.failure.empty()) out += "The run failed: " + r.failure + "\n\n";
  out += "Rows, old catalogue -> new:\n" + tableLines(r) + "\n";

  out += "Changes:\n";
  bool any = false;
  for (const ColumnChanges& c : r.columns) {
    for (const auto& [text, count] : c.placeholders) {
      if (count == 0) continue;
      out += "  " + c.table + "." + c.column + ": \"" + text + "\" emptied " + grouped(count) + " times\n";
      any = true;
    }
    if (c.nullsRepaired > 0) {
      out += "  " + c.table + "." + c.column + ": Null made \"\" " + grouped(c.nullsRepaired) + " times\n";
      any = true;
    }
  }
  std::string games;
  gameLines("Games whose old genre no genre holds", r.unknownGenre, &games);
  if (r.playersOutside > 0) {
    games += "  Games whose players code is not 1-4: " + grouped(r.playersOutside) + "\n";
  }
  if (r.playersNull > 0) games += "  Games without a players code: " + grouped(r.playersNull) + "\n";
  if (r.adultGames > 0) games += "  Games flagged Adult by their names: " + grouped(r.adultGames) + "\n";
  if (r.adultMusic > 0) games += "  Music flagged Adult by their names: " + grouped(r.adultMusic) + "\n";
  out += games;
  if (!any && games.empty()) out += "  none\n";

  if (!r.genres.empty()) {
    out += "\nGenres, old -> parent / sub (* name made unique):\n";
    for (const GenreMapping& g : r.genres) {
      out += "  " + g.oldName + " -> " + g.parent + " / " + g.sub + (g.madeUnique ? " *" : "") + "\n";
    }
  }
  if (!r.phases.empty()) {
    out += "\nPhases:\n";
    size_t width = 0;
    for (const PhaseTime& p : r.phases) width = std::max(width, p.name.size());
    for (const PhaseTime& p : r.phases) out += "  " + padRight(p.name, width) + "  " + seconds(p.seconds) + "\n";
  }
  out += "\n" + checkLine(r) + "\n";
  for (const std::string& p : r.problems) out += "  " + p + "\n";
  if (r.problemCount > r.problems.size()) {
    out += "  and " + grouped(r.problemCount - r.problems.size()) + " more\n";
  }
  return out;
}

std::string reportJson(const RunReport& r) {
  using Json = nlohmann::json;
  Json tables = Json::array();
  for (const TableRows& t : r.tables) {
    tables.push_back({{"name", t.name},
                      {"source_rows", t.source ? Json(*t.source) : Json()},
                      {"written_rows", t.written},
                      {"result_rows", t.result ? Json(*t.result) : Json()}});
  }
  Json columns = Json::array();
  for (const ColumnChanges& c : r.columns) {
    Json placeholders = Json::object();
    for (const auto& [text, count] : c.placeholders) placeholders[text] = count;
    columns.push_back({{"table", c.table},
                       {"column", c.column},
                       {"placeholders_emptied", std::move(placeholders)},
                       {"nulls_repaired", c.nullsRepaired}});
  }
  Json genres = Json::array();
  for (const GenreMapping& g : r.genres) {
    genres.push_back({{"old_id", g.oldId},
                      {"old_name", g.oldName},
                      {"parent", g.parent},
                      {"sub", g.sub},
                      {"made_unique", g.madeUnique}});
  }
  Json phases = Json::array();
  for (const PhaseTime& p : r.phases) phases.push_back({{"name", p.name}, {"seconds", p.seconds}});
  Json doc = {
      {"verified", r.verified},
      {"tables", std::move(tables)},
      {"changes",
       {{"columns", std::move(columns)},
        {"unknown_genre", gamesJson(r.unknownGenre)},
        {"players_outside_1_to_4", r.playersOutside},
        {"players_null", r.playersNull},
        {"adult_games", r.adultGames},
        {"adult_music", r.adultMusic}}},
      {"genres", std::move(genres)},
      {"phases", std::move(phases)},
      {"check",
       {{"checked", r.checked}, {"problem_count", r.problemCount}, {"problems", r.problems}}}};
  if (!r.failure.empty()) doc["failure"] = r.failure;
  return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace convert
