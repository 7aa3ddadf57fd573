// lvconvert -- the converter's window: one conversion per start of the program.
#include <csignal>

#include <QApplication>

#include "app/dialogs.h"
#include "app/frmMain.h"
#include "app/genre_phase.h"

int main(int argc, char** argv) {
  // Past the file-size limit a write fails with EFBIG, reported like a full disk, instead of
  // the signal ending the program in the middle of a write.
  std::signal(SIGXFSZ, SIG_IGN);
  QApplication application(argc, argv);
  app::QtDialogs dialogs;
  frmMain window(QCoreApplication::applicationDirPath(), dialogs);
  window.setGenreDialog(app::runGenreDialog);
  QObject::connect(&window, &frmMain::programEnded, &application,
                   [](int exitCode) { QCoreApplication::exit(exitCode); });
  window.show();
  // A missing template ends the program while loading, before the event loop has started.
  if (window.hasEnded()) return window.exitCode();
  return application.exec();
}
