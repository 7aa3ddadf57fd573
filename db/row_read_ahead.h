// row_read_ahead.h -- a table's rows read and decoded on a second thread, ahead of the walk
// that takes them, so that a copy spends its own thread on what it writes.
//
// The thread reads through a handle of its own on the file (a PageFile is one thread's), opened
// anew and required to be the same file, and keeps a copy of the table's definition. It walks
// as TableScan walks, from the first row, and decodes the asked-for columns of each row; a
// value that fails to decode keeps its error, given to whoever asks for that value, and a
// fault of the walk itself ends the rows where the walk met it. Rows wait in a few batches
// (bounded in rows and bytes), so a slow taker holds the reader back rather than memory
// growing. The rows are the file's as the thread reads them from the disk: the owner starts it
// only on a file that no write has reached through its own handle (whose cache may hold
// pages the disk does not have yet), and stops taking from it once the file is written.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "db/table_scan.h"

namespace db {

class RowReadAhead {
 public:
  // Starts reading the rows of `def` in `file` (through its own handle on the same path), the
  // first `skip` live rows passed over. Null where no second handle on that file can be had.
  static std::unique_ptr<RowReadAhead> start(const PageFile& file, const TableDef& def,
                                             bool userTable, std::vector<int> columns,
                                             uint64_t skip);
  ~RowReadAhead();
  RowReadAhead(const RowReadAhead&) = delete;
  RowReadAhead& operator=(const RowReadAhead&) = delete;

  // Moves to the next row, waiting for it; `found` is false past the last.
  DbError next(bool* found);
  // Whether the last next() found a row (after a failed one there is no current row).
  bool hasRow() const { return hasRow_; }
  // Whether any next() found one, and where the last row found lies (as TableScan::location()
  // gives it): where a walk that stops taking rows from here carries on.
  bool gaveAny() const { return gaveAny_; }
  RowLocation location() const { return current_.location; }
  // The value of the k-th asked-for column of the current row.
  DbError value(size_t k, Variant* out) const;

 private:
  struct Row {
    RowLocation location;
    size_t firstValue = 0;  // its values' place in the batch
  };
  struct Batch {
    std::vector<Row> rows;
    std::vector<Variant> values;
    std::vector<std::pair<size_t, DbError>> failed;  // values that did not decode, by place
    DbError end;        // the walk's fault after these rows, if it met one
    bool last = false;  // no rows follow
  };

  RowReadAhead(std::unique_ptr<PageFile> file, const TableDef& def, bool userTable,
               std::vector<int> columns, uint64_t skip);
  void run();
  DbError fill(TableScan& scan, Batch* batch, uint64_t* skip);
  // A spent batch emptied for reuse, or a new one.
  Batch reuse();
  bool stopping() const;

  std::unique_ptr<PageFile> file_;
  const TableDef def_;
  const bool userTable_;
  const std::vector<int> columns_;
  const uint64_t skip_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Batch> ready_;
  // Batches taken from, given back to the thread that filled them: what it allocated is freed
  // there, not where another thread's allocations would wait on its lock.
  std::vector<Batch> spent_;
  bool stop_ = false;
  // Which side waits, if either, so that the other wakes it only then.
  bool readerWaits_ = false;
  bool takerWaits_ = false;
  bool done_ = false;  // the thread ended on what it threw, `fault_` saying what
  DbError fault_;
  std::thread thread_;

  // The taker's side.
  Batch batch_;  // the batch being taken from
  size_t nextRow_ = 0;
  Row current_;
  bool hasRow_ = false;
  bool gaveAny_ = false;
};

}  // namespace db
