// report_box.cpp -- the closing message with the run's report behind "Show Details...": Qt's
// detailed text, set in a fixed-width font so that the table of rows stays aligned, and a
// button that saves the report as a text file without closing the box.
#include <QAbstractButton>
#include <QFile>
#include <QFontDatabase>
#include <QMessageBox>
#include <QPushButton>
#include <QTextEdit>

#include "app/dialogs.h"
#include "prompt/message_box.h"

namespace app {

void QtDialogs::showMessageWithDetails(QWidget* owner, const QString& title, const QString& text,
                                       convert::MessageIcon icon, const QString& details) {
  if (details.isEmpty()) {
    showMessage(owner, title, text, icon);
    return;
  }
  makeDetailedMessageBox(owner, title, text, icon, details, *this)->exec();
}

std::unique_ptr<QMessageBox> makeDetailedMessageBox(QWidget* owner, const QString& title,
                                                    const QString& text, convert::MessageIcon icon,
                                                    const QString& details, Dialogs& dialogs) {
  // As makeMessageBox makes it, the details set before the box is fitted to its title, so that
  // they take the grid's rows below the buttons and nothing stands between.
  QMessageBox::Icon boxIcon = QMessageBox::NoIcon;
  if (icon == convert::MessageIcon::Critical) boxIcon = QMessageBox::Critical;
  if (icon == convert::MessageIcon::Information) boxIcon = QMessageBox::Information;
  if (icon == convert::MessageIcon::Exclamation) boxIcon = QMessageBox::Warning;
  auto box = std::make_unique<QMessageBox>(
      boxIcon, title, QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
      QMessageBox::Ok, owner);
  box->setTextFormat(Qt::PlainText);
  box->setDetailedText(details);
  prompt::fitMessageBox(*box);
  if (QTextEdit* shown = box->findChild<QTextEdit*>()) {
    shown->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    shown->setLineWrapMode(QTextEdit::NoWrap);
    // Room for the table of rows and the first changes without scrolling.
    shown->setMinimumWidth(shown->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 72);
    shown->setFixedHeight(shown->fontMetrics().lineSpacing() * 18);
  }
  QPushButton* save = box->addButton(QStringLiteral("&Save Report..."), QMessageBox::ActionRole);
  // A button of a message box closes it; this one is taken off the box's own handling so that
  // the box stays until OK, whether the report was saved or not.
  QObject::disconnect(save, &QAbstractButton::clicked, nullptr, nullptr);
  QObject::connect(save, &QAbstractButton::clicked, box.get(), [&dialogs, title, details, boxWidget = box.get()] {
    FileDialogSettings settings;
    settings.save = true;
    settings.title = QStringLiteral("Save Report");
    settings.nameFilter = QStringLiteral("Text files (*.txt);;All files (*)");
    settings.defaultSuffix = QStringLiteral("txt");
    settings.fileName = QStringLiteral("conversion report.txt");
    settings.folderMustExist = true;
    settings.confirmOverwrite = true;
    settings.refuseReadOnly = true;
    const QString path = dialogs.chooseFile(boxWidget, settings);
    if (path.isEmpty()) return;
    // FILE CALL OF THE WINDOW'S OWN, for the engine's file seam (db/file_io.h) to take over.
    QFile file(path);
    QByteArray bytes = details.toUtf8();
#ifdef _WIN32
    bytes.replace("\n", "\r\n");
#endif
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size() ||
        !file.flush()) {
      dialogs.showMessage(boxWidget, title, QStringLiteral("The report could not be saved to ") + path,
                          convert::MessageIcon::Critical);
    }
  });
  box->setDefaultButton(QMessageBox::Ok);
  return box;
}

}  // namespace app
