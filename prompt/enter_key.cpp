#include "prompt/enter_key.h"

#include <QKeyEvent>
#include <QPushButton>

namespace prompt {
namespace {

class EnterPresses : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) ||
        (key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier || key->isAutoRepeat()) {
      return false;
    }
    auto* button = static_cast<QPushButton*>(watched);
    if (button->isEnabled()) button->click();
    return true;
  }
};

}  // namespace

void pressOnEnter(std::initializer_list<QPushButton*> buttons) {
  for (QPushButton* button : buttons) button->installEventFilter(new EnterPresses(button));
}

}  // namespace prompt
