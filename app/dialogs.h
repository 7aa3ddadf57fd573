// dialogs.h -- the standard dialogs the main window asks its questions through: the one file
// dialog the two Select buttons share, and message boxes. The program uses QtDialogs; tests and
// the screenshot renderer answer directly, so that nothing waits on a modal window.
#pragma once

#include <memory>

#include <QFileDialog>
#include <QIcon>
#include <QString>

#include "convert/conversion.h"

class QMessageBox;
class QWidget;

namespace app {

// The settings of the shared file dialog. Each use sets what it needs; the rest (the file name
// above all) stays as the previous use left it.
struct FileDialogSettings {
  bool save = false;             // a Save dialog, otherwise an Open dialog
  QString title;
  QString nameFilter;            // "Description (*.ext)"
  QString defaultSuffix;         // added to a typed name without one; no dot
  QString folder;                // where the dialog opens
  QString fileName;              // the name box: a bare name, or a full path whose folder wins
  bool fileMustExist = false;
  bool folderMustExist = false;
  bool confirmOverwrite = false;
  bool refuseReadOnly = false;   // read-only files and write-protected folders are refused
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // The chosen file's full path, or "" when the dialog was cancelled or failed.
  virtual QString chooseFile(QWidget* owner, const FileDialogSettings& settings) = 0;
  // A message box with a single OK button; returns when it has been acknowledged. Line breaks
  // in `text` are CR LF.
  virtual void showMessage(QWidget* owner, const QString& title, const QString& text,
                           convert::MessageIcon icon) = 0;
  // The same box with `details` (plain text, line breaks LF) behind its "Show Details..."
  // button and a button that saves them as a text file. Dialogs that have no details to show
  // show the message alone.
  virtual void showMessageWithDetails(QWidget* owner, const QString& title, const QString& text,
                                      convert::MessageIcon icon, const QString& details) {
    (void)details;
    showMessage(owner, title, text, icon);
  }
  // The database password of `file`, typed unseen; a null QString when the person cancelled.
  virtual QString askPassword(QWidget* owner, const QString& file) = 0;
  // A question with Yes and No, No the default; true for Yes.
  virtual bool askYesNo(QWidget* owner, const QString& title, const QString& text) = 0;
};

// The program's icon at each size it is drawn in, for its windows and dialogs.
QIcon programIcon();

// Where the file dialogs open: the program's folder when the user may write there (where the
// new database usually goes), else `fallback` (the chosen source's folder) when it is given and
// may be written, else the user's home folder; ending in "/". An installed program's folder is
// nobody's to write, and a bare name typed there would target it.
QString dialogStartFolder(const QString& programFolder, const QString& fallback = QString());

// The question asked before a file given on the command line replaces an existing one, as the
// Save dialog asks it for a file picked there.
QString replaceQuestion(const QString& path);

// Why the file dialogs refuse `path` as a database to write: "" when it is acceptable. A file
// is read-only when nobody has write permission on it or the process may not write it; a
// folder that the process may not write is refused too, as the new file is made there.
QString readOnlyRefusal(const QString& path);

// Why the file dialog set up by `settings` would refuse `path`: a missing folder, a read-only
// file or folder; "" when it takes it (a missing file is the dialog's own to report).
QString fileRefusal(const FileDialogSettings& settings, const QString& path);

// The message box QtDialogs shows: `text` as plain text (line breaks CR LF), wide enough for
// its title, selectable.
std::unique_ptr<QMessageBox> makeMessageBox(QWidget* owner, const QString& title,
                                            const QString& text, convert::MessageIcon icon);

// The same box with `details` behind "Show Details..." (fixed-width, unwrapped) and a Save
// Report button that asks `dialogs` for a file, writes the details there as UTF-8 text, and
// leaves the box open.
std::unique_ptr<QMessageBox> makeDetailedMessageBox(QWidget* owner, const QString& title,
                                                    const QString& text, convert::MessageIcon icon,
                                                    const QString& details, Dialogs& dialogs);

// The real dialogs, modal over their owner.
class QtDialogs : public Dialogs {
 public:
  QString chooseFile(QWidget* owner, const FileDialogSettings& settings) override;
  void showMessage(QWidget* owner, const QString& title, const QString& text,
                   convert::MessageIcon icon) override;
  // In report_box.cpp.
  void showMessageWithDetails(QWidget* owner, const QString& title, const QString& text,
                              convert::MessageIcon icon, const QString& details) override;
  // The name prompt, its input masked.
  QString askPassword(QWidget* owner, const QString& file) override;
  bool askYesNo(QWidget* owner, const QString& title, const QString& text) override;
};

// The file dialog QtDialogs shows: always Qt's own, so that it looks and behaves the same on
// every desktop, with the checks it lacks made before it closes (the folder of a new file must
// exist; read-only files are refused).
class DatabaseFileDialog : public QFileDialog {
  Q_OBJECT

 public:
  DatabaseFileDialog(QWidget* owner, const FileDialogSettings& settings);

 protected:
  void accept() override;

 private:
  FileDialogSettings settings_;
};

}  // namespace app
