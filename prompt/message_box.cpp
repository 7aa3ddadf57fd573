#include "prompt/message_box.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

namespace prompt {

void fitMessageBox(QMessageBox& box) {
  box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  auto* grid = qobject_cast<QGridLayout*>(box.layout());
  if (!grid) return;
  // Beside the title a frame draws its icon and buttons; their room is a guess that holds for
  // the common desktops.
  constexpr int kTitleBarExtra = 120;
  const int titleWidth = QFontMetrics(QApplication::font("QMdiSubWindowTitleBar"))
                             .horizontalAdvance(box.windowTitle()) + kTitleBarExtra;
  grid->addItem(new QSpacerItem(titleWidth, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                grid->rowCount(), 0, 1, grid->columnCount());
}

}  // namespace prompt
