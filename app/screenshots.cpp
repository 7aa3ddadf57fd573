#include "app/screenshots.h"

#include <cstdio>

#include <QDir>
#include <QPainter>
#include <QPixmap>
#include <QWidget>

namespace app {

ShotContext::ShotContext(QString outputFolder, QString scratchFolder, QString sampleCatalogue)
    : outputFolder_(std::move(outputFolder)), scratchFolder_(std::move(scratchFolder)),
      sampleCatalogue_(std::move(sampleCatalogue)) {}

bool ShotContext::save(const QString& fileName, QWidget& widget) {
  const QString path = QDir(outputFolder_).filePath(fileName);
  if (!widget.grab().save(path, "PNG")) {
    fail(QStringLiteral("could not write ") + path);
    return false;
  }
  std::fprintf(stdout, "%s\n", qPrintable(path));
  return true;
}

bool ShotContext::save(const QString& fileName, QWidget& widget, QWidget& floating) {
  const QPoint origin = widget.mapToGlobal(QPoint(0, 0));
  const QRect over(floating.mapToGlobal(QPoint(0, 0)) - origin, floating.size());
  const QRect whole = QRect(QPoint(0, 0), widget.size()).united(over);
  QPixmap picture(whole.size());
  picture.fill(Qt::transparent);
  {
    QPainter painter(&picture);
    painter.drawPixmap(-whole.topLeft(), widget.grab());
    painter.drawPixmap(over.topLeft() - whole.topLeft(), floating.grab());
  }
  const QString path = QDir(outputFolder_).filePath(fileName);
  if (!picture.save(path, "PNG")) {
    fail(QStringLiteral("could not write ") + path);
    return false;
  }
  std::fprintf(stdout, "%s\n", qPrintable(path));
  return true;
}

void ShotContext::fail(const QString& why) {
  std::fprintf(stderr, "lvscreenshots: %s\n", qPrintable(why));
  ++failures_;
}

}  // namespace app
