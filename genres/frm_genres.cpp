#include "genres/frm_genres.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>

#include "convert/genre_model.h"
#include "db/error.h"
#include "prompt/enter_key.h"
#include "prompt/frm_input_box.h"
#include "prompt/message_box.h"
#include "prompt/twips.h"
#include "shared/mod_global.h"

namespace genres {
namespace {

using prompt::twipsRect;
using prompt::twipsSize;

constexpr int kClientWidth = 9015;   // twips
constexpr int kClientHeight = 5175;  // twips

// Where every sub list sits: list 0 is designed there, later ones are created over it.
constexpr int kSubLeft = 5160, kSubTop = 2040, kSubWidth = 3375, kSubHeight = 2400;

const char* const kExplanation =
    "CONVERTING GAME GENRES\r\n"
    "\r\n"
    "In the following window, you need to split your Game Genres up into PARENT and SUB Genres.\r\n"
    "\r\n"
    "Example: -\r\n"
    "\r\n"
    "The genre 'Strategy (War)' could be split like this: -\r\n"
    "\r\n"
    "PARENT: 'Strategy'\r\n"
    "SUB: 'War'";

const char* const kParentExists = "There is already a Parent Genre with this name!";
const char* const kSubExists = "There is already a Sub Genre with this name!";

QString fromUtf8(const std::string& text) { return QString::fromStdString(text); }

int32_t datum(const QListWidgetItem* item) { return item->data(Qt::UserRole).toInt(); }

// Whether no entry of a sub list has `name`, compared in upper case.
bool isFreeSubName(const QListWidget* list, const std::string& name) {
  for (int i = 0; i < list->count(); ++i) {
    if (convert::SameName(list->item(i)->text().toStdString(), name)) return false;
  }
  return true;
}

int selectedRow(const QListWidget* list) {
  const QList<QListWidgetItem*> selected = list->selectedItems();
  return selected.isEmpty() ? -1 : list->row(selected.first());
}


QPushButton* makeButton(QWidget* parent, const char* name, const char* caption, QRect at) {
  auto* button = new QPushButton(caption, parent);
  button->setObjectName(name);
  button->setGeometry(at);
  // No button takes Enter from the lists: the dialog has no default button. A focused button
  // takes it.
  button->setAutoDefault(false);
  prompt::pressOnEnter({button});
  return button;
}

// Where a button's pop-up menu opens: at the pointer when the mouse pressed the button, below
// the button when the keyboard did (the pointer may then be anywhere on the screen).
QPoint menuPlace(const QPushButton* button) {
  const QPoint pointer = QCursor::pos();
  if (button->rect().contains(button->mapFromGlobal(pointer))) return pointer;
  return button->mapToGlobal(QPoint(0, button->height()));
}

QLabel* makeLabel(QWidget* parent, const char* name, const char* caption, QRect at) {
  auto* label = new QLabel(caption, parent);
  label->setObjectName(name);
  label->setGeometry(at);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return label;
}

// The designed label heights hold the texts in the small font of the original design; a wider
// font steps down in size until the wrapped text fits, so that the layout stays as designed.
void fitTextToLabel(QLabel* label) {
  constexpr qreal kSmallestPointSize = 6;
  QFont font = label->font();
  for (;;) {
    const QRect needed = QFontMetrics(font).boundingRect(
        QRect(0, 0, label->width(), QWIDGETSIZE_MAX), Qt::TextWordWrap, label->text());
    if (needed.height() <= label->height() || font.pointSizeF() <= kSmallestPointSize) break;
    font.setPointSizeF(font.pointSizeF() - 0.5);
  }
  label->setFont(font);
}

QMessageBox::Icon toQtIcon(convert::MessageIcon icon) {
  switch (icon) {
    case convert::MessageIcon::Critical: return QMessageBox::Critical;
    case convert::MessageIcon::Information: return QMessageBox::Information;
    case convert::MessageIcon::Exclamation: return QMessageBox::Warning;
    case convert::MessageIcon::None: break;
  }
  return QMessageBox::NoIcon;
}

}  // namespace

void GenreDialogHost::showMessage(QWidget* owner, const std::string& text,
                                  convert::MessageIcon icon) {
  // Lines are joined by CR LF, as the texts are defined; Qt breaks lines at LF alone.
  QMessageBox box(toQtIcon(icon), convert::kMessageTitle,
                  fromUtf8(text).replace("\r\n", "\n"), QMessageBox::Ok, owner);
  prompt::fitMessageBox(box);
  box.exec();
}

std::optional<std::string> GenreDialogHost::askName(QWidget* owner,
                                                    const prompt::NameRequest& request) {
  return prompt::askForName(owner, request);
}

void GenreDialogHost::popUpMenu(QMenu* menu, const QPoint& at) { menu->exec(at); }

frmGenres::frmGenres(const std::string& sourcePath, const std::string& destinationPath,
                     QWidget* parent, GenreDialogHost* host)
    : QDialog(parent), sourcePath_(sourcePath), destinationPath_(destinationPath) {
  if (!host) ownHost_ = std::make_unique<GenreDialogHost>();
  host_ = host ? host : ownHost_.get();

  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle("Create Parent and Sub Genres");

  // Created in the order of the tab sequence.
  lblGenres = makeLabel(this, "lblGenres",
                        "Ludovane v1.0 uses a different Genres system than kestrel v1.3b. You "
                        "will need to split your existing v1.3b genres into Parent and Sub "
                        "genres. You need to create your required Parent Genres then set each "
                        "existing Genre to be a member of a Parent Genre.",
                        twipsRect(120, 120, 8775, 615));
  lblGenres->setWordWrap(true);
  Label1 = makeLabel(this, "Label1",
                     "Once you have mapped all your existing Genres to a Parent Genre, click OK "
                     "to continue converting the database.",
                     twipsRect(120, 840, 8775, 255));
  Label1->setWordWrap(true);
  fitTextToLabel(lblGenres);
  fitTextToLabel(Label1);
  Label2 = makeLabel(this, "Label2", "&Existing Genres:", twipsRect(120, 1200, 3735, 255));
  lstGenres = new QListWidget(this);
  lstGenres->setObjectName("lstGenres");
  lstGenres->setGeometry(twipsRect(120, 1440, 3615, 2985));
  Label2->setBuddy(lstGenres);

  QFont bold = font();
  bold.setBold(true);
  cmdSet = makeButton(this, "cmdSet", "-- &Set -->", twipsRect(3840, 2880, 1215, 375));
  cmdSet->setFont(bold);
  cmdUnSet = makeButton(this, "cmdUnSet", "<-- &Unset --", twipsRect(3840, 3600, 1215, 375));
  cmdUnSet->setFont(bold);

  Label3 = makeLabel(this, "Label3", "&Parent Genres:", twipsRect(5160, 1200, 3735, 255));
  lstParent = new QComboBox(this);
  lstParent->setObjectName("lstParent");
  lstParent->setGeometry(twipsRect(5160, 1440, 3375, 315));
  Label3->setBuddy(lstParent);
  cmdParent = makeButton(this, "cmdParent", "...", twipsRect(8520, 1440, 375, 315));

  Label4 = makeLabel(this, "Label4", "Su&b Genres:", twipsRect(5160, 1800, 3735, 255));
  createSubList();
  Label4->setBuddy(lstSub[0]);

  cmdAbort = makeButton(this, "cmdAbort", "&Abort", twipsRect(120, 4680, 975, 375));
  cmdOK = makeButton(this, "cmdOK", "&OK", twipsRect(7920, 4680, 975, 375));
  cmdOK->setEnabled(false);
  cmdSub = makeButton(this, "cmdSub", "...", twipsRect(8520, 2040, 375, 315));

  mnuParent = new QMenu("ParentPopup", this);
  mnuParentNew = mnuParent->addAction("New...");
  mnuParentRename = mnuParent->addAction("Rename...");
  mnuParent->addSeparator();
  suggestAction = mnuParent->addAction("Suggest...");
  mnuSub = new QMenu("SubPopup", this);
  mnuSubRename = mnuSub->addAction("Rename...");

  connect(lstGenres, &QListWidget::itemSelectionChanged, this, &frmGenres::lstGenres_Click);
  connect(lstParent, &QComboBox::currentIndexChanged, this, &frmGenres::lstParent_Click);
  connect(cmdSet, &QPushButton::clicked, this, &frmGenres::cmdSet_Click);
  connect(cmdUnSet, &QPushButton::clicked, this, &frmGenres::cmdUnSet_Click);
  connect(cmdParent, &QPushButton::clicked, this, &frmGenres::cmdParent_Click);
  connect(cmdSub, &QPushButton::clicked, this, &frmGenres::cmdSub_Click);
  connect(cmdOK, &QPushButton::clicked, this, &frmGenres::cmdOK_Click);
  connect(cmdAbort, &QPushButton::clicked, this, &frmGenres::cmdAbort_Click);
  connect(mnuParentNew, &QAction::triggered, this, &frmGenres::mnuParentNew_Click);
  connect(mnuParentRename, &QAction::triggered, this, &frmGenres::mnuParentRename_Click);
  connect(suggestAction, &QAction::triggered, this, &frmGenres::suggestMapping);
  connect(mnuSubRename, &QAction::triggered, this, &frmGenres::mnuSubRename_Click);

  Form_Load();
}

frmGenres::~frmGenres() = default;

QSize frmGenres::designSize() { return twipsSize(kClientWidth, kClientHeight); }

void frmGenres::Form_Load() {
  // A widget's size is its client area, so the design size is set directly.
  setFixedSize(designSize());

  for (const convert::GenreEntry& genre : convert::LoadOldGenres(sourcePath_)) {
    oldNames_[genre.oldId] = genre.name;
    addEntry(lstGenres, genre.name, genre.oldId);
  }

  {
    const QSignalBlocker quiet(lstParent);
    lstParent->addItem(convert::kUncategorized, 0);
  }
  selectParent(0);
  DisableList(lstSub[0]);

  cmdSub->setEnabled(false);
  cmdSet->setEnabled(false);
  cmdUnSet->setEnabled(false);
  // OK is otherwise enabled only by the Set that empties the list; a source with no genre but
  // the uncategorized one has nothing to assign and must still be able to finish.
  cmdOK->setEnabled(lstGenres->count() == 0);

  modGlobal::ConversionAborted = true;
  ExplanationShown = false;
}

bool frmGenres::event(QEvent* event) {
  // The explanation is a modal box of its own; it opens once the activation has been handled.
  if (event->type() == QEvent::WindowActivate) {
    QMetaObject::invokeMethod(this, &frmGenres::Form_Activate, Qt::QueuedConnection);
  }
  return QDialog::event(event);
}

void frmGenres::Form_Activate() {
  if (ExplanationShown) return;
  // Set before the box opens: closing the box activates this dialog again.
  ExplanationShown = true;
  host_->showMessage(this, kExplanation, convert::MessageIcon::Information);
  cmdParent->setFocus();
}

void frmGenres::keyPressEvent(QKeyEvent* event) {
  // Esc presses Abort, which is disabled while OK writes.
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    if (cmdAbort->isEnabled()) cmdAbort->click();
    return;
  }
  QDialog::keyPressEvent(event);
}

void frmGenres::closeEvent(QCloseEvent* event) {
  if (writing_) {
    event->ignore();
    return;
  }
  // ConversionAborted has been true since the load.
  QDialog::closeEvent(event);
}

// --- Selection ---------------------------------------------------------------------------------

int frmGenres::parentIndex() const { return lstParent->currentIndex(); }

QListWidget* frmGenres::shownSubList() const {
  const int p = parentIndex();
  return p >= 0 && p < static_cast<int>(lstSub.size()) ? lstSub[p] : nullptr;
}

void frmGenres::selectGenre(int row) {
  {
    const QSignalBlocker quiet(lstGenres);
    lstGenres->setCurrentRow(row);
    if (row < 0) lstGenres->clearSelection();
  }
  lstGenres_Click();
}

void frmGenres::selectParent(int index) {
  {
    const QSignalBlocker quiet(lstParent);
    lstParent->setCurrentIndex(index);
  }
  lstParent_Click();
}

void frmGenres::selectSub(int index, int row) {
  QListWidget* list = lstSub[index];
  {
    const QSignalBlocker quiet(list);
    list->setCurrentRow(row);
    if (row < 0) list->clearSelection();
  }
  lstSub_Click(index);
}

void frmGenres::lstGenres_Click() {
  if (selectedRow(lstGenres) >= 0) {
    const int p = parentIndex();
    cmdSet->setEnabled(p >= 1);
    cmdUnSet->setEnabled(false);
    if (p >= 0) selectSub(p, -1);
  } else {
    cmdSet->setEnabled(false);
  }
}

void frmGenres::lstParent_Click() {
  const int p = parentIndex();
  if (p < 0) return;
  for (int k = 0; k < lstParent->count() && k < static_cast<int>(lstSub.size()); ++k) {
    DisableList(lstSub[k]);
    lstSub[k]->hide();
  }
  if (p > 0) {
    EnableList(lstSub[p]);
    cmdSet->setEnabled(selectedRow(lstGenres) >= 0);
  } else {
    cmdSet->setEnabled(false);
  }
  lstSub[p]->show();
  Label4->setBuddy(lstSub[p]);
  selectSub(p, -1);
}

void frmGenres::lstSub_Click(int index) {
  if (selectedRow(lstSub[index]) >= 0) {
    cmdSet->setEnabled(false);
    cmdUnSet->setEnabled(true);
    selectGenre(-1);
    cmdSub->setEnabled(true);
  } else {
    cmdUnSet->setEnabled(false);
    cmdSub->setEnabled(false);
  }
}

void frmGenres::lstSub_DblClick(int index) {
  if (selectedRow(lstSub[index]) >= 0 && cmdSub->isEnabled()) mnuSubRename_Click();
}

void frmGenres::EnableList(QListWidget* list) {
  list->setEnabled(true);
  QPalette palette = list->palette();
  palette.setColor(QPalette::Base, lstGenres->palette().color(QPalette::Active, QPalette::Base));
  list->setPalette(palette);
}

void frmGenres::DisableList(QListWidget* list) {
  list->setEnabled(false);
  QPalette palette = list->palette();
  palette.setColor(QPalette::Base, this->palette().color(QPalette::Active, QPalette::Window));
  list->setPalette(palette);
}

QListWidget* frmGenres::createSubList() {
  const int index = static_cast<int>(lstSub.size());
  auto* list = new QListWidget(this);
  list->setObjectName(QString("lstSub%1").arg(index));
  list->setGeometry(twipsRect(kSubLeft, kSubTop, kSubWidth, kSubHeight));
  list->hide();
  connect(list, &QListWidget::itemSelectionChanged, this, [this, index] { lstSub_Click(index); });
  connect(list, &QListWidget::itemDoubleClicked, this, [this, index] { lstSub_DblClick(index); });
  if (index > 0) setTabOrder(lstSub.back(), list);
  lstSub.push_back(list);
  return list;
}

// --- Editing -------------------------------------------------------------------------------------

void frmGenres::cmdSet_Click() {
  const int p = parentIndex();
  const int g = selectedRow(lstGenres);
  if (p <= 0 || g < 0) return;

  const QListWidgetItem* genre = lstGenres->item(g);
  const int32_t oldId = datum(genre);
  // Rename's rule holds for Set too: never two sub genres alike under one parent.
  const std::string name = convert::UniqueSubGenreName(
      convert::DeriveSubGenreName(genre->text().toStdString(), lstParent->itemText(p).toStdString()),
      {oldNames_.at(oldId), oldId},
      [list = lstSub[p]](const std::string& candidate) { return !isFreeSubName(list, candidate); });
  addEntry(lstSub[p], name, oldId);
  selectSub(p, -1);

  {
    const QSignalBlocker quiet(lstGenres);
    delete lstGenres->takeItem(g);
  }
  const int left = lstGenres->count();
  if (left > 0) {
    selectGenre(g < left ? g : left - 1);
  } else {
    selectGenre(-1);
    cmdSet->setEnabled(false);
    cmdOK->setEnabled(true);
  }
}

void frmGenres::cmdUnSet_Click() {
  const int p = parentIndex();
  if (p < 0) return;
  QListWidget* list = lstSub[p];
  const int j = selectedRow(list);
  if (j < 0) return;

  const QListWidgetItem* sub = list->item(j);
  addEntry(lstGenres, sub->text().toStdString(), datum(sub));
  selectGenre(-1);
  cmdSet->setEnabled(false);
  cmdOK->setEnabled(false);

  {
    const QSignalBlocker quiet(list);
    delete list->takeItem(j);
  }
  const int left = list->count();
  if (left > 0) {
    selectSub(p, j < left ? j : j - 1);
  } else {
    selectSub(p, -1);
    cmdUnSet->setEnabled(false);
    cmdSub->setEnabled(false);
  }
}

void frmGenres::cmdParent_Click() {
  mnuParentRename->setEnabled(parentIndex() >= 1);
  suggestAction->setEnabled(lstGenres->count() > 0);
  host_->popUpMenu(mnuParent, menuPlace(cmdParent));
}

void frmGenres::cmdSub_Click() { host_->popUpMenu(mnuSub, menuPlace(cmdSub)); }

bool frmGenres::askName(const char* title, const char* prompt, const std::string& defaultText,
                        std::string* answer) {
  prompt::NameRequest request;
  request.title = title;
  request.prompt = prompt;
  request.defaultText = defaultText;
  request.invalidChars = convert::kInvalidNameChars;
  request.maxLength = convert::kMaxNameLength;
  const std::optional<std::string> given = host_->askName(this, request);
  if (given) *answer = *given;
  return given.has_value();
}

void frmGenres::showInformation(const char* text) {
  host_->showMessage(this, text, convert::MessageIcon::Information);
}

bool frmGenres::IsUniqueParentGenre(const std::string& name) const {
  for (int i = 0; i < lstParent->count(); ++i) {
    if (convert::SameName(lstParent->itemText(i).toStdString(), name)) return false;
  }
  return true;
}

bool frmGenres::IsUniqueSubGenre(const std::string& name) const {
  const QListWidget* list = shownSubList();
  return !list || isFreeSubName(list, name);
}

void frmGenres::addEntry(QListWidget* list, const std::string& text, int32_t id) const {
  auto* item = new QListWidgetItem(fromUtf8(text));
  item->setData(Qt::UserRole, id);
  // Set and Unset shorten names ("War"), which may then repeat: the whole old name tells
  // which old genre an entry is.
  if (const auto old = oldNames_.find(id); old != oldNames_.end()) {
    item->setToolTip(fromUtf8(old->second));
  }
  list->addItem(item);
}

void frmGenres::mnuParentNew_Click() {
  std::string name;
  if (!askName("New Parent Genre", "Parent Genre Name:", "", &name)) return;
  if (!IsUniqueParentGenre(name)) {
    showInformation(kParentExists);
    return;
  }
  // The sub list first, so that sub list k exists whenever parent entry k does.
  createSubList();
  {
    const QSignalBlocker quiet(lstParent);
    lstParent->addItem(fromUtf8(name), 0);
  }
  selectParent(lstParent->count() - 1);
}

void frmGenres::mnuParentRename_Click() {
  const int p = parentIndex();
  if (p < 1) return;
  const std::string current = lstParent->itemText(p).toStdString();
  std::string name;
  if (!askName("Rename Parent Genre", "Parent Genre Name:", current, &name)) return;
  if (name == current) return;
  // A change of letter case only would otherwise collide with the entry itself.
  if (!convert::SameName(name, current) && !IsUniqueParentGenre(name)) {
    showInformation(kParentExists);
    return;
  }
  lstParent->setItemText(p, fromUtf8(name));
}

void frmGenres::mnuSubRename_Click() {
  QListWidget* list = shownSubList();
  const int s = list ? selectedRow(list) : -1;
  if (s < 0) return;
  QListWidgetItem* sub = list->item(s);
  const std::string current = sub->text().toStdString();
  std::string name;
  if (!askName("Rename Sub Genre", "Sub Genre Name:", current, &name)) return;
  if (name == current) return;
  if (!convert::SameName(name, current) && !IsUniqueSubGenre(name)) {
    showInformation(kSubExists);
    return;
  }
  sub->setText(fromUtf8(name));
}

void frmGenres::suggestMapping() {
  if (lstGenres->count() == 0) return;
  // From the names the source gave, not the short names Unset brings back.
  std::vector<convert::GenreEntry> unassigned;
  for (int i = 0; i < lstGenres->count(); ++i) {
    unassigned.push_back({oldNames_.at(datum(lstGenres->item(i))), datum(lstGenres->item(i))});
  }
  std::vector<convert::ParentGenre> existing;
  for (int i = 1; i < lstParent->count(); ++i) {
    convert::ParentGenre parent{lstParent->itemText(i).toStdString(), 0, {}};
    for (int j = 0; j < lstSub[i]->count(); ++j) {
      parent.subs.push_back({lstSub[i]->item(j)->text().toStdString(), datum(lstSub[i]->item(j))});
    }
    existing.push_back(std::move(parent));
  }

  for (const convert::ParentGenre& parent : convert::SuggestGenreMapping(unassigned, existing)) {
    if (parent.subs.empty()) continue;
    int index = -1;
    for (int i = 1; i < lstParent->count() && index < 0; ++i) {
      if (convert::SameName(lstParent->itemText(i).toStdString(), parent.name)) index = i;
    }
    if (index < 0) {
      createSubList();
      const QSignalBlocker quiet(lstParent);
      lstParent->addItem(fromUtf8(parent.name), 0);
      index = lstParent->count() - 1;
    }
    for (const convert::GenreEntry& sub : parent.subs) {
      addEntry(lstSub[index], sub.name, sub.oldId);
    }
  }

  {
    const QSignalBlocker quiet(lstGenres);
    lstGenres->clear();
  }
  selectGenre(-1);
  cmdSet->setEnabled(false);
  cmdOK->setEnabled(true);
  // Show the outcome under a real parent rather than the empty uncategorized list.
  selectParent(parentIndex() == 0 && lstParent->count() > 1 ? 1 : parentIndex());
}

// --- OK and Abort --------------------------------------------------------------------------------

void frmGenres::cmdOK_Click() {
  writing_ = true;
  for (QPushButton* button : {cmdOK, cmdSet, cmdUnSet, cmdParent, cmdSub, cmdAbort}) {
    button->setEnabled(false);
  }
  // An override, not the dialog's own cursor: the window that shows the dialog may hold an
  // override of its own, which would hide the dialog's.
  QApplication::setOverrideCursor(Qt::WaitCursor);
  QCoreApplication::processEvents();

  std::vector<convert::ParentGenre> parents;
  for (int i = 1; i < lstParent->count(); ++i) {
    convert::ParentGenre parent{lstParent->itemText(i).toStdString(), 0, {}};
    const QListWidget* list = lstSub[i];
    for (int j = 0; j < list->count(); ++j) {
      parent.subs.push_back({list->item(j)->text().toStdString(), datum(list->item(j))});
    }
    parents.push_back(std::move(parent));
  }

  try {
    modGlobal::GenreIdMap = convert::WriteGenreTables(destinationPath_, parents);
  } catch (const db::DbException& e) {
    // The run cannot go on without the genre tables; closing as an abort stops it, and the
    // person learns why here, since the run says nothing after an abort.
    QApplication::restoreOverrideCursor();
    writing_ = false;
    host_->showMessage(this, convert::errorMessage(e.error()), convert::MessageIcon::Critical);
    modGlobal::ConversionAborted = true;
    reject();
    return;
  }
  for (int i = 1; i < lstParent->count(); ++i) {
    lstParent->setItemData(i, parents[i - 1].newId);
  }

  QApplication::restoreOverrideCursor();
  writing_ = false;
  modGlobal::ConversionAborted = false;
  accept();
}

void frmGenres::cmdAbort_Click() {
  modGlobal::ConversionAborted = true;
  reject();
}

}  // namespace genres
