// screenshots.h -- what a window's screenshot function gets from the renderer: a scratch
// program folder with the template, a sample catalogue, and a way to save a widget as a PNG.
// A window adds its pictures by writing one function of this shape and listing it in
// screenshots_main.cpp.
#pragma once

#include <QString>

class QWidget;

namespace app {

class ShotContext {
 public:
  ShotContext(QString outputFolder, QString scratchFolder, QString sampleCatalogue);

  // A folder holding a copy of the template, as the program's folder (ends in "/").
  QString programFolder() const { return scratchFolder_ + QStringLiteral("program/"); }
  // A folder for files a window writes (ends in "/"); fixed, so paths in pictures stay put.
  QString scratchFolder() const { return scratchFolder_; }
  // An old-release catalogue the windows can read.
  QString sampleCatalogue() const { return sampleCatalogue_; }

  // Renders the widget's client area at its size into `fileName` in the output folder.
  // Returns false, and says why on stderr, when it cannot.
  bool save(const QString& fileName, QWidget& widget);
  // The same with a window that floats over it (a tooltip, a menu) drawn where it stands.
  bool save(const QString& fileName, QWidget& widget, QWidget& floating);
  // Counts a failure that is not a save.
  void fail(const QString& why);
  int failures() const { return failures_; }

 private:
  QString outputFolder_;
  QString scratchFolder_;
  QString sampleCatalogue_;
  int failures_ = 0;
};

using ShotFunction = void (*)(ShotContext& shots);

// frmMain-start.png, frmMain-files-chosen.png, frmMain-running.png, frmMain-finished.png.
void shootMainWindow(ShotContext& shots);
// frmGenres-loaded.png, frmGenres-mapped.png, frmGenres-unset-tooltip.png and frmInputBox.png.
void shootGenreDialogs(ShotContext& shots);

}  // namespace app
