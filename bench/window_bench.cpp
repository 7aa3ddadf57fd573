// window_bench -- one conversion through the main window, as a person's run goes, for timing
// against the command line: the window shown (on whichever platform Qt is given, offscreen in
// bench/run), the two Select buttons answered with SOURCE and DEST, Start pressed, and the
// genre phase answered by the suggested grouping. The window yields per record as in the
// program; the run ends when the window reports its outcome.
//   window_bench SOURCE DEST     exit 0 converted, 1 failed, 2 bad usage
#include <QApplication>
#include <QPushButton>

#include <cstdio>

#include "app/dialogs.h"
#include "app/frm_main.h"
#include "convert/genre_model.h"

namespace {

// The file dialogs take their answers from a list; messages pass unread.
class ListedAnswers : public app::Dialogs {
 public:
  explicit ListedAnswers(QStringList files) : files_(std::move(files)) {}
  QString chooseFile(QWidget*, const app::FileDialogSettings&) override {
    return files_.isEmpty() ? QString() : files_.takeFirst();
  }
  void showMessage(QWidget*, const QString&, const QString& text, convert::MessageIcon) override {
    last = text;
  }
  QString askPassword(QWidget*, const QString&) override { return {}; }
  bool askYesNo(QWidget*, const QString&, const QString&) override { return true; }
  QString last;

 private:
  QStringList files_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: window_bench SOURCE DEST\n");
    return 2;
  }
  QApplication application(argc, argv);
  ListedAnswers answers({QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2])});
  app::frmMain window(QCoreApplication::applicationDirPath(), answers);
  window.setGenreDialog([](app::frmMain& owner) {
    return convert::WriteSuggestedGenres(owner.sourcePath(), owner.workPath());
  });
  window.show();
  window.findChild<QPushButton*>(QStringLiteral("cmdSource"))->click();
  window.findChild<QPushButton*>(QStringLiteral("cmdDest"))->click();
  window.findChild<QPushButton*>(QStringLiteral("cmdStart"))->click();
  if (!window.hasEnded() || window.exitCode() != 0) {
    std::fprintf(stderr, "window_bench: the conversion did not finish: %s\n%s\n",
                 qPrintable(answers.last), qPrintable(window.statusLog()));
    return 1;
  }
  return 0;
}
