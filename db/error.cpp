#include "db/error.h"

#include <cerrno>
#include <cstring>
#include <utility>

namespace db {

DbError makeError(DbErrorNumber number, std::string description, int systemError) {
  return DbError{static_cast<int>(number), std::move(description), systemError};
}

DbError writeError(const std::string& what, int systemError) {
  const bool full = systemError == ENOSPC || systemError == EDQUOT || systemError == EFBIG;
  return makeError(full ? DbErrorNumber::DiskFull : DbErrorNumber::IoError,
                   what + ": " + std::strerror(systemError) + ".", systemError);
}

DbException::DbException(DbError error)
    : std::runtime_error(error.description), error_(std::move(error)) {}

void throwError(const DbError& error) { throw DbException(error); }

}  // namespace db
