#include "db/compact.h"


#include <algorithm>
#include <map>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "db/bytes.h"
#include "db/data_page.h"
#include "db/database_file.h"
#include "db/file_io.h"
#include "db/index_build.h"
#include "db/long_value.h"

namespace db {
namespace {

// The four tables every new database has already; their rows are copied, not their
// definitions.
const char* const kEngineTables[] = {"MSysObjects", "MSysACEs", "MSysQueries", "MSysRelationships"};

bool isEngineTable(const std::string& name) {
  for (const char* t : kEngineTables) {
    if (name == t) return true;
  }
  return false;
}

// Every row of a table, all columns, in scan order, each handed to `visit` as it is read.
template <typename Visit>
DbError forEachRow(const PageFile& file, const TableDef& def, Visit visit) {
  TableScan scan(file, def);
  DbError err = scan.rewind();
  std::vector<Variant> row;
  for (bool found = true; err.ok();) {
    err = scan.next(&found);
    if (!err.ok() || !found) break;
    err = readRowValues(file, def, scan, &row);
    if (err.ok()) err = visit(row);
  }
  return err;
}

// Where the rows of a table went: each source row's place to its new one. Rows come in the
// order of their places (page by page in ascending order, slot by slot), so a page's slots are
// kept together and found by the page's number, at four bytes a slot.
class RowMap {
 public:
  void add(RowLocation from, RowPointer to) {
    if (pages_.empty()) base_ = from.page;
    const size_t at = from.page - base_;
    if (at >= pages_.size()) pages_.resize(at + 1);
    Slots& p = pages_[at];
    if (p.count == 0) p.first = static_cast<uint32_t>(to_.size());
    to_.resize(p.first + size_t{from.slot} + 1, kNone);
    p.count = static_cast<uint16_t>(from.slot + 1);
    to_[p.first + from.slot] = to.stored();
  }
  bool find(RowPointer from, RowPointer* to) const {
    if (from.page < base_ || from.page - base_ >= pages_.size()) return false;
    const Slots& p = pages_[from.page - base_];
    if (from.row >= p.count || to_[p.first + from.row] == kNone) return false;
    *to = RowPointer::fromStored(to_[p.first + from.row]);
    return true;
  }

 private:
  static constexpr uint32_t kNone = 0xFFFFFFFF;
  struct Slots {
    uint32_t first = 0;  // where the page's slots start in to_
    uint16_t count = 0;  // how many, up to its last row copied
  };
  uint32_t base_ = 0;
  std::vector<Slots> pages_;  // by page number - base_
  std::vector<uint32_t> to_;  // new place as stored, kNone for a slot not copied
};

// The source's definition as a fresh one: columns renumbered in order with no gaps, fixed
// columns packed, variable slots in column order, index columns renumbered to match.
TableDef freshDefinition(const TableDef& source) {
  TableDef def;
  def.name = source.name;
  def.tableType = source.tableType;
  def.lastAutonumber = source.lastAutonumber;
  std::map<uint16_t, uint16_t> numbers;
  uint16_t fixedOffset = 0, varSlot = 0;
  for (const ColumnDef& c : source.columns) {
    ColumnDef d = c;
    d.number = static_cast<uint16_t>(def.columns.size());
    numbers[c.number] = d.number;
    d.fixedOffset = 0;
    d.varSlot = 0;
    if (d.isFixed()) {
      if (d.type() != ColumnType::Boolean) {
        d.fixedOffset = fixedOffset;
        const uint16_t size = fixedTypeSize(d.typeCode) ? fixedTypeSize(d.typeCode) : d.length;
        fixedOffset = static_cast<uint16_t>(fixedOffset + size);
      }
    } else {
      d.varSlot = varSlot++;
    }
    def.columns.push_back(d);
  }
  def.maxColumns = static_cast<uint16_t>(def.columns.size());
  def.varColumns = varSlot;
  for (const RealIndexDef& r : source.realIndexes) {
    RealIndexDef d;
    d.flags = r.flags;
    for (const IndexColumn& ic : r.columns) d.columns.push_back({numbers[ic.columnNumber], ic.ascending});
    def.realIndexes.push_back(d);
  }
  def.indexes = source.indexes;
  return def;
}

// Whether every column of `source` lies where `fresh` (its fresh definition) puts it, so that
// its rows may be copied as they are stored.
bool samePlaces(const TableDef& source, const TableDef& fresh) {
  if (source.maxColumns != fresh.maxColumns || source.varColumns != fresh.varColumns ||
      source.columns.size() != fresh.columns.size()) {
    return false;
  }
  for (size_t k = 0; k < source.columns.size(); ++k) {
    const ColumnDef &a = source.columns[k], &b = fresh.columns[k];
    // A variable column's fixed offset and a fixed one's slot mean nothing (Access leaves
    // anything there).
    const bool samePlace = a.isFixed() ? a.fixedOffset == b.fixedOffset : a.varSlot == b.varSlot;
    if (a.number != b.number || a.typeCode != b.typeCode || a.length != b.length ||
        a.flags != b.flags || !samePlace) {
      return false;
    }
  }
  return true;
}

// Which pages of a consumed source the copy is done with, judged from what the copy has
// written, never from how often a page is read (any reader may read a page again):
// - a data page of the table, once the walk of its rows has moved past it; but a page with a
//   slot flagged deleted is kept, as that slot may be the target of a moved row, read when the
//   walk meets the row's pointer;
// - a long-value page, once each of its live rows is the value, or a part of the value, of a
//   row copied (a value in parts is a chain of rows, each naming the next in its first bytes);
// - the pages of an index of the table, once that index is copied.
// Every other page stays, and so does every page first read outside the copy of a table's rows
// or indexes (the catalogue, the definitions, the usage maps read before a walk).
class PagesDone final : public PageFile::ReadObserver {
 public:
  enum class Reading { Other, Rows, Indexes };

  explicit PagesDone(PageFile& file) : file_(file), format_(file.format()) {}
  // `def` is the source's definition of the table whose rows or indexes are read next.
  void reading(Reading what, const TableDef* def) {
    if (what_ == Reading::Rows) {
      for (uint32_t page : wholePages_) file_.giveUp(page);
      wholePages_.clear();
    }
    if (what_ == Reading::Indexes) indexCopied();
    what_ = what;
    table_ = def ? def->tdefPage : 0;
    walking_ = 0;
    longColumns_.clear();
    for (size_t k = 0; def && k < def->columns.size(); ++k) {
      if (isLongValueType(def->columns[k].typeCode)) longColumns_.push_back(k);
    }
  }

  void pageRead(uint32_t pageNo, std::span<const uint8_t> page) override {
    if (what_ == Reading::Indexes) {
      if ((page[0] == kPageIndexNode || page[0] == kPageIndexLeaf) &&
          readU32(page, kDataOwnerOffset) == table_) {
        indexPages_.push_back(pageNo);
      }
      return;
    }
    if (what_ != Reading::Rows || page[0] != kPageData) return;
    const uint32_t owner = readU32(page, kDataOwnerOffset);
    const uint16_t n = slots(page);
    if (owner == table_) {
      bool whole = true;
      for (uint16_t k = 0; k < n && whole; ++k) whole = live(page, k);
      if (whole) wholePages_.insert(pageNo);
    } else if (owner == kLongValueOwner) {
      auto [values, added] = longValues_.try_emplace(pageNo);
      if (!added) return;
      LongValues& v = values->second;
      v.toCopy.resize(n);
      v.next.resize(n);
      for (uint16_t k = 0; k < n; ++k) {
        v.toCopy[k] = live(page, k);
        v.left += v.toCopy[k];
        // The next part's place, if the row is a part of a chain.
        const size_t start = readU16(page, format_.dataRowTableOffset + 2u * k) & kRowOffsetMask;
        if (start + 4 <= page.size()) v.next[k] = readU32(page, start);
      }
      // A page with no live rows should not be read at all; it is kept.
      if (v.left == 0) v.toCopy.clear();
    }
  }

  // The row at `page` of the table (`fields` its columns) is copied, its long values with it.
  void rowCopied(uint32_t page, const std::vector<RawField>& fields) {
    if (page != walking_) {
      if (wholePages_.erase(walking_)) file_.giveUp(walking_);
      walking_ = page;
    }
    for (size_t k : longColumns_) {
      if (!fields[k].present) continue;
      const std::span<const uint8_t> b = fields[k].bytes;
      if (b.size() < kLongValueHeaderSize || (readU32(b, 0) & kLongValueKindMask) == kLongValueInline) continue;
      const bool chain = (readU32(b, 0) & kLongValueKindMask) == 0;
      RowPointer part = RowPointer::fromStored(readU32(b, 4));
      // A chain ends at a part naming no next one; a damaged one, at a row met before.
      for (uint32_t next = 0; copied(part, &next) && chain && next != 0;) part = RowPointer::fromStored(next);
    }
  }

  // A long-value row copied: false where it was not one still to copy. `next` is what its
  // first bytes name.
  bool copied(RowPointer row, uint32_t* next) {
    auto values = longValues_.find(row.page);
    if (values == longValues_.end()) return false;
    LongValues& v = values->second;
    if (row.row >= v.toCopy.size() || !v.toCopy[row.row]) return false;
    v.toCopy[row.row] = false;
    *next = v.next[row.row];
    if (--v.left == 0) {
      file_.giveUp(row.page);
      longValues_.erase(values);
    }
    return true;
  }

  // Every page of the index just copied.
  void indexCopied() {
    for (uint32_t page : indexPages_) file_.giveUp(page);
    indexPages_.clear();
  }

 private:
  uint16_t slots(std::span<const uint8_t> page) const {
    return std::min<uint16_t>(readU16(page, format_.dataRowCountOffset),
                              static_cast<uint16_t>((page.size() - format_.dataRowTableOffset) / 2));
  }
  bool live(std::span<const uint8_t> page, uint16_t slot) const {
    return !(readU16(page, format_.dataRowTableOffset + 2u * slot) & kRowDeleted);
  }

  PageFile& file_;
  const FormatDescriptor& format_;
  Reading what_ = Reading::Other;
  uint32_t table_ = 0;
  uint32_t walking_ = 0;  // the data page whose rows the walk is copying
  std::vector<size_t> longColumns_;  // of the table whose rows are copied
  std::unordered_set<uint32_t> wholePages_;  // data pages of the table with every slot live
  struct LongValues {
    std::vector<bool> toCopy;     // by slot: a live row not yet copied as a value
    std::vector<uint32_t> next;   // by slot: the row's first four bytes
    uint32_t left = 0;
  };
  std::unordered_map<uint32_t, LongValues> longValues_;  // long-value page -> its rows
  std::vector<uint32_t> indexPages_;  // of the index being copied
};

class Compactor {
 public:
  Compactor(const PageFile& source, DatabaseFile& target, PagesDone* done)
      : src_(source), dst_(target), done_(done) {}

  DbError run() {
    TableDef objectsDef;
    DbError err = readTableDef(src_, kCatalogTdefPage, "MSysObjects", &objectsDef);
    if (!err.ok()) return err;
    const int idCol = objectsDef.findColumn("Id");
    const int typeCol = objectsDef.findColumn("Type");
    const int nameCol = objectsDef.findColumn("Name");
    if (idCol < 0 || typeCol < 0 || nameCol < 0) {
      return src_.corrupt("the system object table lacks its Id, Type or Name column");
    }
    Catalog catalog;
    err = Catalog::load(src_, &catalog);
    if (!err.ok()) return err;

    // Definitions first, so that every table's new page is known before rows name it.
    for (const CatalogEntry& e : catalog.tables()) {
      if (!e.isLocalTable()) continue;
      TableDef source;
      err = readTableDef(src_, e.tdefPage(), e.name, &source);
      if (!err.ok()) return err;
      if (isEngineTable(e.name)) {
        std::shared_ptr<TableState> state;
        err = engineTable(e.name, &state);
        if (!err.ok()) return err;
        pages_[e.tdefPage()] = state->def.tdefPage;
        continue;
      }
      Copy copy{source, freshDefinition(source), e};
      err = dst_.allocator().allocate(Page(dst_.pages().pageSize(), 0), &copy.def.tdefPage);
      if (!err.ok()) return err;
      pages_[e.tdefPage()] = copy.def.tdefPage;
      copies_.push_back(std::move(copy));
    }
    for (Copy& copy : copies_) {
      for (IndexDef& li : copy.def.indexes) {
        auto it = pages_.find(li.relatedTablePage);
        li.relatedTablePage = it != pages_.end() ? it->second : 0;
      }
      err = dst_.addTableDefinition(&copy.def);
      if (!err.ok()) return err;
    }

    // The catalogue as the source has it, table ids moved to their new pages.
    err = copyRows("MSysObjects", objectsDef, [&](std::vector<Variant>& row) {
      if (row[typeCol].isNull() || row[idCol].isNull()) return;
      if ((row[typeCol].int32() & 0x7F) != kObjectTypeLocalTable) return;
      auto it = pages_.find(static_cast<uint32_t>(row[idCol].int32()) & 0x00FFFFFF);
      if (it != pages_.end()) row[idCol] = Variant(static_cast<int32_t>(it->second));
    });
    if (!err.ok()) return err;
    for (const char* name : {"MSysACEs", "MSysQueries", "MSysRelationships"}) {
      CatalogEntry e;
      if (!catalog.findTable(name, &e).ok()) continue;
      TableDef def;
      err = readTableDef(src_, e.tdefPage(), name, &def);
      if (!err.ok()) return err;
      const int objectCol = def.findColumn("ObjectId");
      err = copyRows(name, def, [&](std::vector<Variant>& row) {
        if (std::string(name) != "MSysACEs" || objectCol < 0 || row[objectCol].isNull()) return;
        auto it = pages_.find(static_cast<uint32_t>(row[objectCol].int32()));
        if (it != pages_.end()) row[objectCol] = Variant(static_cast<int32_t>(it->second));
      });
      if (!err.ok()) return err;
    }
    err = dst_.reloadCatalog();
    for (Copy& copy : copies_) {
      if (err.ok()) err = copyTable(copy);
    }
    return err;
  }

 private:
  struct Copy {
    TableDef source;
    TableDef def;
    CatalogEntry entry;
  };

  DbError engineTable(const std::string& name, std::shared_ptr<TableState>* out) {
    const uint32_t page = name == "MSysObjects" ? 2 : name == "MSysACEs" ? 3 : name == "MSysQueries" ? 4 : 5;
    return dst_.tableAtPage(page, name, out);
  }

  // Rows of an engine table, each through `adjust`, into the new file's table of that name,
  // matching columns by name.
  template <typename Adjust>
  DbError copyRows(const std::string& name, const TableDef& sourceDef, Adjust adjust) {
    std::shared_ptr<TableState> target;
    DbError err = engineTable(name, &target);
    if (!err.ok()) return err;
    TableWriter writer(dst_.allocator(), *target);
    std::vector<int> from(target->def.columns.size());
    for (size_t k = 0; k < from.size(); ++k) from[k] = sourceDef.findColumn(target->def.columns[k].name);
    const ColumnFlags given(from.size(), true);
    std::vector<Variant> values(from.size());
    return forEachRow(src_, sourceDef, [&](std::vector<Variant>& row) {
      adjust(row);
      for (size_t k = 0; k < from.size(); ++k) values[k] = from[k] >= 0 ? row[from[k]] : Variant();
      RowLocation where;
      return writer.insertRow(values, given, &where);
    });
  }

  // A table's rows in scan order, then its indexes from the source's own entries (so keys are
  // copied as the source has them), row pointers moved to the rows' new places. Rows go in the
  // order of their old places, so the entries of one key keep their order with new places too.
  DbError copyTable(Copy& copy) {
    std::shared_ptr<TableState> target;
    DbError err = dst_.tableAtPage(copy.def.tdefPage, copy.def.name, &target);
    if (!err.ok()) return err;
    TableWriter writer(dst_.allocator(), *target);
    TableDef& def = target->def;
    RowMap moved;
    TableScan scan(src_, copy.source, isUserTable(copy.entry, copy.source));
    err = scan.rewind();
    reading(PagesDone::Reading::Rows, &copy.source);
    const bool sameLayout = samePlaces(copy.source, def);
    uint32_t rows = 0;
    for (bool found = true; err.ok();) {
      err = scan.next(&found);
      if (!err.ok() || !found) break;
      RowPointer to;
      err = writer.copyRow(src_, copy.source, scan, sameLayout, &to);
      if (!err.ok()) break;
      if (done_) done_->rowCopied(scan.location().page, scan.fields());
      moved.add(scan.location(), to);
      ++rows;
    }
    if (!err.ok()) return err;
    reading(PagesDone::Reading::Indexes, &copy.source);
    for (size_t i = 0; i < def.realIndexes.size(); ++i) {
      IndexBuilder builder(dst_.allocator(), def, &def.realIndexes[i]);
      err = scanIndex(src_, copy.source.realIndexes[i], [&](IndexPageContents& leaf) {
        // A leaf's new places first, then its entries: lookups that do not wait on each other
        // overlap their trips to memory, which at a million rows is most of their cost. The
        // entries before a row the table lacks are added first, so that a fault among them is
        // the one told, as when each entry went in after its own lookup.
        size_t mapped = 0;
        for (const size_t n = leaf.entries.size(); mapped < n; ++mapped) {
          RowPointer to;
          if (!moved.find(leaf.entries[mapped].row, &to)) break;
          leaf.entries[mapped].row = to;
        }
        for (size_t k = 0; k < mapped; ++k) {
          // The builder takes entries in order only: a source whose index is out of order is
          // damaged. Any other failure of the builder's is its own (it writes pages, and a
          // write-back that failed on its way surfaces at the next), told as it is.
          bool outOfOrder = false;
          DbError added = builder.add(leaf.entries[k].key, leaf.entries[k].row, &outOfOrder);
          if (outOfOrder) {
            return src_.corrupt("the entries of an index of table '" + def.name + "' are out of order");
          }
          if (!added.ok()) return added;
        }
        if (mapped < leaf.entries.size()) {
          return src_.corrupt("an index of table '" + def.name + "' names a row the table lacks");
        }
        return DbError::success();
      });
      if (err.ok()) err = builder.finish();
      if (!err.ok()) return err;
      if (done_) done_->indexCopied();
    }
    reading(PagesDone::Reading::Other, nullptr);
    target->indexPages.pages.clear();
    def.rowCount = rows;
    def.lastAutonumber = copy.source.lastAutonumber;
    return writeTableCounts(dst_.pages(), def);
  }

  void reading(PagesDone::Reading what, const TableDef* def) {
    if (done_) done_->reading(what, def);
  }

  const PageFile& src_;
  DatabaseFile& dst_;
  PagesDone* done_;  // null when the source is kept
  std::map<uint32_t, uint32_t> pages_;  // source tdef page -> new tdef page
  std::vector<Copy> copies_;
};

}  // namespace

DbError compactDatabase(const std::string& source, const std::string& destination,
                        CompactSource what) {
  io::FileInfo st;
  if (io::pathInfo(destination, &st) == 0) {
    return makeError(DbErrorNumber::FileExists,
                     "Cannot compact into '" + destination + "': the file already exists.");
  }
  // The source is read from the disk: what this process has changed in it goes there first.
  bool open = false;
  DbError err = DatabaseFile::flushOpen(source, &open);
  if (!err.ok()) return err;
  std::optional<PagesDone> done;  // outlives the file that asks it
  std::unique_ptr<PageFile> src;
  // A file still open here would read the holes of its pages; it is only read.
  const bool consume = what == CompactSource::Consumed && !open;
  err = PageFile::open(source, &src, consume);
  if (!err.ok()) return err;
  if (consume) {
    done.emplace(*src);
    // A source that cannot be written is only read.
    if (!src->consume(&*done).ok()) done.reset();
  }
  // What was made of the copy goes unless it is complete, whatever ends the compaction (an
  // exception too: memory running out).
  struct Unfinished {
    const std::string* path = nullptr;  // the copy's, once this compaction has made it
    ~Unfinished() {
      if (path) io::removeFile(*path);
    }
  } unfinished;
  {
    std::shared_ptr<DatabaseFile> dst;
    err = DatabaseFile::create(destination, src->format(), &dst, src->header().creationDate, false);
    if (err.number != static_cast<int>(DbErrorNumber::FileExists)) unfinished.path = &destination;
    if (err.ok()) dst->pages().setWriteBehind(true);
    if (err.ok()) err = Compactor(*src, *dst, done ? &*done : nullptr).run();
    if (err.ok()) err = dst->reloadCatalog();
    if (err.ok()) err = dst->flush();
    // A file about to be removed keeps what is left of it in memory.
    if (!err.ok() && dst) dst->pages().setWriteBehind(false);
  }
  if (done) src->consume(nullptr);
  if (err.ok()) unfinished.path = nullptr;
  return err;
}

}  // namespace db
