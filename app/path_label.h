// path_label.h -- a label that shows a file path: a path wider than the label loses its middle
// ("/home/…/C64.mdb"), so that both its start and the file's name stay in view, and the whole
// path is its tooltip. Its text() is always the whole path.
#pragma once

#include <QLabel>

namespace app {

class PathLabel : public QLabel {
 public:
  using QLabel::QLabel;

  // The text as drawn: the path, elided in the middle to the label's width.
  QString shownText() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;
};

}  // namespace app
