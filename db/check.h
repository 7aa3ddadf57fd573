// check.h -- an integrity check of a whole database file: every table (system tables included)
// against its usage maps, its row count, its autonumber counter, its long values and its
// indexes, and every page in use against the global usage map. It reads and never writes.
//
// What it holds a file to:
//   - A table's owned-pages map lists exactly its data pages: those whose owner field names the
//     table's definition page, less pages Access has released (marked free in the global map
//     and left out of the owned map, but not cleared). Its free-space map lists only pages of
//     the owned map.
//   - An index's usage map lists exactly the pages reachable from its root (intermediate
//     pages, leaves, and leaves reached along the leaf chain), each an index page of its
//     table; each intermediate entry is a copy of its child's greatest entry.
//   - Every long value kept outside its row lies on long-value pages (owner "LVAL") that its
//     column's long-value map lists, reads back with its full length, and its chain does not
//     loop; the column's free long-value map lists only pages of its long-value map.
//   - Every page in use (page 0, page 1, definition pages, pages holding usage maps and the
//     usage-map pages of reference maps, data, long-value and index pages) is marked in use
//     in the global usage map (page 1 row 0, where a set bit means free).
//   - The definition's row count equals the live rows found; its last autonumber is at least
//     every value of the Long autonumber column.
//   - A moved row's slot (flag 0x4000) points to a row of the table that exists, and that row's
//     own slot is flagged deleted, so that a scan meets it once.
//   - Every index holds exactly one entry per row (none for an all-Null row of an index that
//     ignores Nulls), whose key is the one the row's values give, in strictly ascending order;
//     a unique index holds no key twice (all-Null keys apart); the definition's unique-entry
//     count equals the number of distinct keys (user tables only: Access does not keep it for
//     its own tables).
//
// The check streams: pages are read table by table, each row once and each leaf once, and the
// entries an index should hold are compared with those it holds through a digest of (key, row)
// pairs that both sides build in any order; the leaves are checked for order against their
// neighbours. Its memory is a few bytes per page of the file, whatever the number of rows. A
// digest tells that an index and its rows disagree, not which row; a file found faulty is
// therefore read a second time holding rows and entries, to name each fault by its row.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "db/page_file.h"

namespace db {

struct CheckReport {
  // One sentence per inconsistency, naming the table, index or column and the page and row.
  std::vector<std::string> problems;
  size_t tables = 0;          // local tables checked, system tables included
  size_t rows = 0;            // live rows found
  size_t indexEntries = 0;    // index leaf entries read and compared with the rows
  size_t longValues = 0;      // Memo and OLE values kept on long-value pages, read in full
  // Index keys not compared: rows whose text the key encoder has no code for (NotSupported,
  // e.g. Jet4 text beyond U+00FF). Their rows must still have exactly one entry each.
  size_t keysNotChecked = 0;
  // Live rows per table checked, in the catalogue's order, system tables included.
  std::vector<std::pair<std::string, size_t>> tableRows;

  bool clean() const { return problems.empty(); }
};

enum class CheckDepth {
  Streaming,  // one bounded pass; a fault between an index and its rows is named by its index
  Named,      // that pass, then, when it finds a fault, a second one naming faults by their rows
};

// Checks the whole file. The DbError is for a file that cannot be read at all (a page read
// fails, or the catalogue cannot be loaded); every inconsistency goes into `report`.
// The streaming pass reads a large table's indexes on a second thread while it reads the
// rows, through a second handle on the file; `secondThread` false keeps to one. The report is
// the same either way.
DbError checkDatabase(const PageFile& file, CheckReport* report,
                      CheckDepth depth = CheckDepth::Named, bool secondThread = true);

}  // namespace db
