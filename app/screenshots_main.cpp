// lvscreenshots DIR -- renders each window in its main states to PNG files in DIR, without a
// display (the offscreen platform unless QT_QPA_PLATFORM says otherwise). Exit 0 when every
// picture was written.
#include <cstdio>
#include <utility>

#include <QApplication>
#include <QDir>
#include <QFile>

#include "app/screenshots.h"

namespace {

// One entry per window; its function saves that window's pictures.
constexpr std::pair<const char*, app::ShotFunction> kWindows[] = {
    {"frmMain", app::shootMainWindow},
    {"frmGenres", app::shootGenreDialogs},
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: lvscreenshots DIR\n");
    return 2;
  }
  const QString output = QString::fromLocal8Bit(argv[1]);
  const QString binFolder = QCoreApplication::applicationDirPath() + u'/';
  // A fixed scratch folder, so that the paths the pictures show are the same on every run.
  QDir scratch(QDir::tempPath() + QStringLiteral("/lvconvert-screenshots"));
  scratch.removeRecursively();
  if (!QDir().mkpath(output) || !scratch.mkpath(QStringLiteral("program")) ||
      !QFile::copy(binFolder + QStringLiteral("v13bconvert.lvd"),
                   scratch.filePath(QStringLiteral("program/v13bconvert.lvd")))) {
    std::fprintf(stderr, "lvscreenshots: cannot prepare %s or the scratch folder %s\n", argv[1],
                 qPrintable(scratch.path()));
    return 1;
  }
  app::ShotContext shots(output, scratch.path() + u'/',
                         binFolder + QStringLiteral("sample-catalogue.mdb"));
  for (const auto& [window, shoot] : kWindows) {
    const int before = shots.failures();
    shoot(shots);
    if (shots.failures() != before) std::fprintf(stderr, "lvscreenshots: %s incomplete\n", window);
  }
  scratch.removeRecursively();
  return shots.failures() == 0 ? 0 : 1;
}
