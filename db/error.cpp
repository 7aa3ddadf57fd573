#include "db/error.h"

#include <cerrno>
#include <utility>

#include "db/file_io.h"

namespace db {

DbError makeError(DbErrorNumber number, std::string description, int systemError) {
  return DbError{static_cast<int>(number), std::move(description), systemError};
}

DbError writeError(const std::string& what, int systemError) {
  // Windows has no quota error of its own: it reports a quota as a full disk.
#ifdef EDQUOT
  const bool quota = systemError == EDQUOT;
#else
  const bool quota = false;
#endif
  const bool full = systemError == ENOSPC || quota || systemError == EFBIG;
  return makeError(full ? DbErrorNumber::DiskFull : DbErrorNumber::IoError,
                   what + ": " + io::errorText(systemError) + ".", systemError);
}

DbException::DbException(DbError error)
    : std::runtime_error(error.description), error_(std::move(error)) {}

void throwError(const DbError& error) { throw DbException(error); }

}  // namespace db
