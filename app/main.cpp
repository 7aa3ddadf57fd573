// lvconvert -- the converter's window: one conversion per start of the program.
//   lvconvert [SOURCE [DEST]]   the window, the files given filled in as if chosen
//   lvconvert --help | --version
#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QCommandLineParser>

#include "app/dialogs.h"
#include "app/frm_main.h"
#include "app/genre_phase.h"
#include "db/file_io.h"
#include "lv_version.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "usage: lvconvert [SOURCE [DEST]]\n"
    "       lvconvert --help | --version\n"
    "  opens the Converter's window; SOURCE (the old catalogue) and DEST (the new database)\n"
    "  are filled in as if chosen with the Select buttons, with the same checks\n"
    "  --help     prints this and exits\n"
    "  --version  prints the version and exits\n"
    "  Qt's own options (-platform, -style, ...) are taken as well\n";

QtMessageHandler previousHandler = nullptr;

void noDisplayHandler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type != QtFatalMsg) {
    if (previousHandler) previousHandler(type, context, text);
    return;
  }
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((!x11 || !*x11) && (!wayland || !*wayland)) {
    std::fputs("lvconvert: no display was found (neither DISPLAY nor WAYLAND_DISPLAY is set), so "
               "the window cannot open\n", stderr);
  } else {
    std::fprintf(stderr, "lvconvert: the display could not be opened, so the window cannot open: "
                         "%s\n", qPrintable(text.section(u'\n', 0, 0)));
  }
  std::fputs("lvconvert-cli converts a catalogue without a window\n", stderr);
  std::_Exit(kExitFailed);
}

}  // namespace

int main(int argc, char** argv) {
  // Past the file-size limit a write fails with EFBIG, reported like a full disk, instead of
  // the signal ending the program in the middle of a write.
  db::io::ignoreFileSizeSignal();

  // --help and --version answer before the window system is needed (there may be none).
  QCommandLineParser parser;
  parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
  const QCommandLineOption help({"h", "help"}, "");
  const QCommandLineOption version("version", "");
  parser.addOptions({help, version});
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  auto usageError = [](const QString& why) {
    std::fprintf(stderr, "lvconvert: %s\n%s", qPrintable(why), kUsage);
    return kExitUsage;
  };
  const QString tooMany = QStringLiteral("more than two files given");
  // Options this parse does not know may be Qt's own, which only QApplication takes out.
  if (parser.parse(arguments)) {
    if (parser.isSet(help)) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (parser.isSet(version)) {
      std::puts("lvconvert " LV_VERSION);
      return 0;
    }
    if (parser.positionalArguments().size() > 2) return usageError(tooMany);
  } else {
    // Qt's options have one dash; one with two is a mistake, said before any window opens.
    for (const QString& a : arguments.mid(1)) {
      if (a == QLatin1String("--")) break;
      if (a.startsWith(QLatin1String("--"))) return usageError(parser.errorText());
    }
  }

  // Without a display Qt's platform plugin cannot start, and Qt ends the program with an
  // abort; a person is told what is missing instead.
  previousHandler = qInstallMessageHandler(noDisplayHandler);
  QApplication application(argc, argv);
  qInstallMessageHandler(previousHandler);
  QApplication::setApplicationVersion(QStringLiteral(LV_VERSION));
  QApplication::setWindowIcon(app::programIcon());
  // Qt has taken its own options out of the arguments; what is left is ours.
  if (!parser.parse(QApplication::arguments())) return usageError(parser.errorText());
  if (parser.positionalArguments().size() > 2) return usageError(tooMany);
  const QStringList files = parser.positionalArguments();

  app::QtDialogs dialogs;
  app::frmMain window(QCoreApplication::applicationDirPath(), dialogs);
  window.setGenreDialog(app::runGenreDialog);
  QObject::connect(&window, &app::frmMain::programEnded, &application,
                   [](int exitCode) { QCoreApplication::exit(exitCode); });
  window.show();
  // A missing template ends the program while loading, before the event loop has started.
  if (window.hasEnded()) return window.exitCode();
  window.chooseFiles(files.value(0), files.value(1));
  const int code = application.exec();
  return window.hasEnded() ? code : window.exitCode();
}
