// enter_key.h -- Enter and Return press a focused button, as people expect of any button on
// every desktop. Qt leaves that to Space, but for a dialog's default button, and making every
// button an auto-default one would give a dialog a default button it must not have.
#pragma once

#include <initializer_list>

class QPushButton;

namespace prompt {

void pressOnEnter(std::initializer_list<QPushButton*> buttons);

}  // namespace prompt
