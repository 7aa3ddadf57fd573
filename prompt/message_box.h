// message_box.h -- message boxes people can read whole: as wide as their title, with text that
// can be selected and copied.
#pragma once

class QMessageBox;

namespace prompt {

// Selectable text can be copied (a path above all); it also lets QMessageBox break a line wider
// than the screen anywhere, where plain text would be cut off at the box's edge. A spacer as
// wide as the title keeps it whole, since QMessageBox sizes itself by its text alone.
void fitMessageBox(QMessageBox& box);

}  // namespace prompt
