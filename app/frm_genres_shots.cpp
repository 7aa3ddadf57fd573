// The genre dialog as it opens over the sample catalogue and once every genre has a parent,
// and the name prompt as New asks for a parent's name.
#include "app/screenshots.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QToolTip>

#include "convert/genre_model.h"
#include "genres/frm_genres.h"
#include "prompt/frm_input_box.h"
#include "shared/mod_global.h"

namespace app {
namespace {

// Nothing may open over the pictures: the explanation is left unshown, and no prompt is asked.
class SilentHost : public genres::GenreDialogHost {
 public:
  void showMessage(QWidget*, const std::string&, convert::MessageIcon) override {}
  std::optional<std::string> askName(QWidget*, const prompt::NameRequest&) override {
    return std::nullopt;
  }
  void popUpMenu(QMenu*, const QPoint&) override {}
};

}  // namespace

void shootGenreDialogs(ShotContext& shots) {
  const QString source = shots.scratchFolder() + QStringLiteral("Genres.mdb");
  if (!QFile::exists(source) && !QFile::copy(shots.sampleCatalogue(), source)) {
    shots.fail(QStringLiteral("cannot copy the sample catalogue ") + shots.sampleCatalogue());
    return;
  }
  SilentHost host;
  try {
    genres::frmGenres dialog(source.toStdString(), std::string(), nullptr, &host);
    dialog.show();
    shots.save(QStringLiteral("frmGenres-loaded.png"), dialog);

    dialog.suggestAction->trigger();
    // The parent with the most sub genres, one of them selected.
    int busiest = 1;
    for (int k = 1; k < static_cast<int>(dialog.lstSub.size()); ++k) {
      if (dialog.lstSub[k]->count() > dialog.lstSub[busiest]->count()) busiest = k;
    }
    dialog.lstParent->setCurrentIndex(busiest);
    dialog.lstSub[busiest]->setCurrentRow(0);
    shots.save(QStringLiteral("frmGenres-mapped.png"), dialog);

    // Unset brings back the short name; its tooltip tells the whole old name.
    dialog.cmdUnSet->click();
    QListWidgetItem* unset = dialog.lstGenres->item(dialog.lstGenres->count() - 1);
    dialog.lstGenres->setCurrentItem(unset);
    const QRect place = dialog.lstGenres->visualItemRect(unset);
    QToolTip::showText(dialog.lstGenres->viewport()->mapToGlobal(place.center()), unset->toolTip(),
                       dialog.lstGenres);
    QWidget* tip = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (w->inherits("QTipLabel") && w->isVisible()) tip = w;
    }
    if (tip) {
      shots.save(QStringLiteral("frmGenres-unset-tooltip.png"), dialog, *tip);
    } else {
      shots.fail(QStringLiteral("the tooltip of an entry Unset gave back did not show"));
    }
    QToolTip::hideText();
  } catch (const db::DbException& e) {
    shots.fail(QStringLiteral("the genre dialog cannot load: ") +
               QString::fromStdString(convert::errorMessage(e.error())));
  }

  modGlobal::InputTitle = "New Parent Genre";
  modGlobal::InputPrompt = "Parent Genre Name:";
  modGlobal::InputDefault = "";
  modGlobal::InputOKCaption = "&OK";
  modGlobal::InputCancelCaption = "&Cancel";
  modGlobal::InputInvalidChars = convert::kInvalidNameChars;
  modGlobal::InputMaxLength = convert::kMaxNameLength;
  modGlobal::InputAllowEmpty = false;
  prompt::frmInputBox input;
  input.txtInput->setText(QStringLiteral("Strategy"));
  input.show();
  shots.save(QStringLiteral("frmInputBox.png"), input);
}

}  // namespace app
