#include "db/row_read_ahead.h"

#include <algorithm>
#include <new>
#include <system_error>

#include "db/page_file.h"

namespace db {
namespace {

// A batch ends at this many rows or bytes of values, whichever comes first, and this many
// wait at most: enough to keep both threads busy, little against the cache of a handle.
constexpr size_t kBatchRows = 256;
constexpr size_t kBatchBytes = size_t{1} << 20;
constexpr size_t kBatchesWaiting = 3;

size_t bytesOf(const Variant& v) {
  if (v.type() == VariantType::Text) return v.asText().size() + sizeof(Variant);
  if (v.type() == VariantType::Binary) return v.asBinary().size() + sizeof(Variant);
  return sizeof(Variant);
}

}  // namespace

std::unique_ptr<RowReadAhead> RowReadAhead::start(const PageFile& file, const TableDef& def,
                                                  bool userTable, std::vector<int> columns,
                                                  uint64_t skip) {
  std::unique_ptr<PageFile> own;
  if (!PageFile::open(file.path(), &own, false).ok()) return nullptr;
  // The path may name another file by now (renamed or replaced since the first open).
  if (own->device() != file.device() || own->inode() != file.inode() ||
      own->pageCount() != file.pageCount()) {
    return nullptr;
  }
  try {
    return std::unique_ptr<RowReadAhead>(
        new RowReadAhead(std::move(own), def, userTable, std::move(columns), skip));
  } catch (const std::system_error&) {
    return nullptr;  // no thread to be had: the caller reads on its own
  }
}

RowReadAhead::RowReadAhead(std::unique_ptr<PageFile> file, const TableDef& def, bool userTable,
                           std::vector<int> columns, uint64_t skip)
    : file_(std::move(file)), def_(def), userTable_(userTable), columns_(std::move(columns)),
      skip_(skip) {
  thread_ = std::thread([this] { run(); });
}

RowReadAhead::~RowReadAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool RowReadAhead::stopping() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stop_;
}

void RowReadAhead::run() {
  DbError fault;
  try {
    TableScan scan(*file_, def_, userTable_);
    uint64_t skip = skip_;
    DbError err = scan.rewind();
    bool last = false;
    while (!last && !stopping()) {
      Batch batch = reuse();
      if (err.ok()) err = fill(scan, &batch, &skip);
      if (!err.ok()) {
        batch.end = err;
        batch.last = true;
      }
      last = batch.last;
      std::unique_lock<std::mutex> lock(mutex_);
      readerWaits_ = true;
      changed_.wait(lock, [&] { return stop_ || ready_.size() < kBatchesWaiting; });
      readerWaits_ = false;
      if (stop_) return;
      ready_.push_back(std::move(batch));
      const bool wake = takerWaits_;
      lock.unlock();
      if (wake) changed_.notify_all();
    }
    return;
  } catch (const std::bad_alloc&) {
    fault.number = static_cast<int>(DbErrorNumber::OutOfMemory);
  } catch (...) {
    fault.number = static_cast<int>(DbErrorNumber::InternalError);
  }
  // What was thrown ends the rows: a batch of its own might not be had, so the taker finds
  // the fault in place of the next batch.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    fault_ = fault;
    done_ = true;
  }
  changed_.notify_all();
}

RowReadAhead::Batch RowReadAhead::reuse() {
  Batch batch;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spent_.empty()) return batch;
    batch = std::move(spent_.back());
    spent_.pop_back();
  }
  batch.rows.clear();
  batch.values.clear();
  batch.failed.clear();
  batch.end = DbError();
  batch.last = false;
  return batch;
}

DbError RowReadAhead::fill(TableScan& scan, Batch* batch, uint64_t* skip) {
  size_t bytes = 0;
  while (batch->rows.size() < kBatchRows && bytes < kBatchBytes) {
    bool found = false;
    DbError err = scan.next(&found);
    if (!err.ok()) return err;
    if (!found) {
      batch->last = true;
      return {};
    }
    if (*skip > 0) {
      --*skip;
      continue;
    }
    batch->rows.push_back({scan.location(), batch->values.size()});
    for (int column : columns_) {
      Variant v;
      err = scan.value(static_cast<size_t>(column), &v);
      if (!err.ok()) batch->failed.emplace_back(batch->values.size(), std::move(err));
      bytes += bytesOf(v);
      batch->values.push_back(std::move(v));
    }
  }
  return {};
}

DbError RowReadAhead::next(bool* found) {
  *found = false;
  hasRow_ = false;
  while (nextRow_ >= batch_.rows.size()) {
    if (batch_.last) return batch_.end;
    std::unique_lock<std::mutex> lock(mutex_);
    takerWaits_ = true;
    changed_.wait(lock, [&] { return !ready_.empty() || done_; });
    takerWaits_ = false;
    if (ready_.empty()) {
      if (fault_.number == static_cast<int>(DbErrorNumber::OutOfMemory)) {
        return makeError(DbErrorNumber::OutOfMemory, "Out of memory");
      }
      return makeError(DbErrorNumber::InternalError,
                       "The rows of table '" + def_.name + "' could not be read ahead.");
    }
    spent_.push_back(std::move(batch_));
    batch_ = std::move(ready_.front());
    ready_.pop_front();
    const bool wake = readerWaits_;
    lock.unlock();
    if (wake) changed_.notify_all();
    nextRow_ = 0;
  }
  current_ = batch_.rows[nextRow_++];
  hasRow_ = true;
  gaveAny_ = true;
  *found = true;
  return {};
}

DbError RowReadAhead::value(size_t k, Variant* out) const {
  if (!hasRow_) return makeError(DbErrorNumber::NoCurrentRecord, "There is no current record.");
  const size_t at = current_.firstValue + k;
  if (!batch_.failed.empty()) {
    auto it = std::lower_bound(batch_.failed.begin(), batch_.failed.end(), at,
                               [](const auto& f, size_t place) { return f.first < place; });
    if (it != batch_.failed.end() && it->first == at) return it->second;
  }
  *out = batch_.values[at];
  return {};
}

}  // namespace db
