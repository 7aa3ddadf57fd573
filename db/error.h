// error.h -- the engine's error value and the exception its public surface throws.
#pragma once

#include <stdexcept>
#include <string>

namespace db {

// The numbers are the ones the Jet engine uses for the same failures, so that messages read as
// users of Jet files know them; the descriptions are our own words.
enum class DbErrorNumber : int {
  Ok = 0,
  OutOfMemory = 7,              // memory ran out (the number of the runtime Jet came with)
  TypeMismatchVb = 13,          // a value that is not a number where a number is needed
  InternalError = 51,           // a failure that carries no number of its own (the same runtime's)
  InvalidUseOfNull = 94,        // Null where a value is needed
  InvalidArgument = 3001,
  TableExists = 3010,
  UpdateWithoutAddNew = 3020,
  NoCurrentRecord = 3021,
  DuplicateKey = 3022,
  FileNotFound = 3024,
  DiskFull = 3026,              // no space left, a quota or the file-size limit reached
  ReadOnly = 3027,
  PasswordProtected = 3031,
  IoError = 3043,               // the disk refused a read or write
  PathNotFound = 3044,
  FileInUse = 3045,
  RecordTooLarge = 3047,
  CorruptDatabase = 3049,
  AccessDenied = 3051,
  IndexNull = 3058,             // an index or primary key cannot hold Null
  UnknownFieldInQuery = 3061,
  CannotExecuteSelect = 3065,
  ExpressionSyntax = 3075,
  NoSuchTable = 3078,
  InvalidStatement = 3129,
  FromClauseSyntax = 3131,
  SelectSyntax = 3141,
  UpdateSyntax = 3144,
  FieldTooSmall = 3163,
  FieldNotUpdatable = 3164,
  FileExists = 3204,
  NotSupported = 3251,          // the operation does not apply to this object
  ItemNotFound = 3265,
  ValueRequired = 3314,
  ZeroLengthNotAllowed = 3315,
  NotADatabase = 3343,
  NumericOverflow = 3349,
  ObjectClosed = 3420,
  ConversionFailed = 3421,
  TypeMismatch = 3464,
};

struct DbError {
  int number = 0;            // a DbErrorNumber; 0 is success
  std::string description;   // one sentence naming the file, table or page involved
  int systemError = 0;       // the OS error code when the OS refused, else 0

  bool ok() const { return number == 0; }
  static DbError success() { return {}; }
};

DbError makeError(DbErrorNumber number, std::string description, int systemError = 0);

// A write, sync or rename the system refused: `what` names the step and the file; the system's
// reason and errno follow. A full disk, a quota or the file-size limit is DiskFull, the rest
// IoError.
DbError writeError(const std::string& what, int systemError);

// Thrown by the recordset surface only; every layer below returns a DbError.
class DbException : public std::runtime_error {
 public:
  explicit DbException(DbError error);
  const DbError& error() const { return error_; }
  int number() const { return error_.number; }
  const std::string& description() const { return error_.description; }

 private:
  DbError error_;
};

[[noreturn]] void throwError(const DbError& error);

// Throws when the error is not success; the surface's one way of turning a DbError into a throw.
// Inline, as every field read and assignment passes here.
inline void throwIfError(const DbError& error) {
  if (!error.ok()) [[unlikely]] throwError(error);
}

}  // namespace db
