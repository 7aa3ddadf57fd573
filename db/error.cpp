#include "db/error.h"

#include <utility>

namespace db {

DbError makeError(DbErrorNumber number, std::string description, int systemError) {
  return DbError{static_cast<int>(number), std::move(description), systemError};
}

DbException::DbException(DbError error)
    : std::runtime_error(error.description), error_(std::move(error)) {}

void throwIfError(DbError error) {
  if (!error.ok()) throw DbException(std::move(error));
}

}  // namespace db
