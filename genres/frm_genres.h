// frm_genres.h -- the genre dialog: the person splits the old flat genres into parent genres and
// sub genres, and OK writes them into the destination with the genre id map.
//
// Its whole working state is in its lists. Every entry carries its text and, in Qt::UserRole,
// a signed 32-bit datum:
//   lstGenres     old genres not yet assigned; datum the old genre id
//   lstParent     entry 0 "[uncategorized]", then the parents in creation order; datum 0, and
//                 the new PG_Id once OK has written the parent
//   lstSub[k]     the sub genres of parent entry k, all lists at one place, only lstSub[P]
//                 shown; datum the old genre id. lstSub[0] always stays empty.
// Every old genre id sits in exactly one entry of lstGenres or of one sub list.
//
// Constructing the dialog is its load: it reads the old genres from the source then, and
// throws db::DbException when it cannot. Closing it any way but by a finished OK leaves
// modGlobal::ConversionAborted true.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QDialog>
#include <QPoint>
#include <QSize>

#include "convert/conversion.h"
#include "prompt/frm_input_box.h"

class QAction;
class QComboBox;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QPushButton;

namespace genres {

// What the genre dialog shows outside its own window: message boxes, the name prompt and the
// pop-up menus. The defaults are the real modal ones; tests answer them directly.
class GenreDialogHost {
 public:
  virtual ~GenreDialogHost() = default;
  // A message box with one OK button, titled convert::kMessageTitle.
  virtual void showMessage(QWidget* owner, const std::string& text, convert::MessageIcon icon);
  // The name prompt, modal over `owner`: its answer, or nothing when cancelled.
  virtual std::optional<std::string> askName(QWidget* owner, const prompt::NameRequest& request);
  // Opens a pop-up menu at `at` and returns once it has closed; a chosen enabled item has been
  // triggered by then.
  virtual void popUpMenu(QMenu* menu, const QPoint& at);
};

class frmGenres : public QDialog {
  Q_OBJECT

 public:
  // `host` may be null for the real message boxes, prompt and menus; otherwise it must outlive
  // the dialog.
  frmGenres(const std::string& sourcePath, const std::string& destinationPath,
            QWidget* parent = nullptr, GenreDialogHost* host = nullptr);
  ~frmGenres() override;

  // The client area at design size: 9015 x 5175 twips.
  static QSize designSize();

  QLabel* lblGenres;
  QLabel* Label1;
  QLabel* Label2;
  QListWidget* lstGenres;
  QPushButton* cmdSet;
  QPushButton* cmdUnSet;
  QLabel* Label3;
  QComboBox* lstParent;
  QPushButton* cmdParent;
  QLabel* Label4;
  std::vector<QListWidget*> lstSub;
  QPushButton* cmdAbort;
  QPushButton* cmdOK;
  QPushButton* cmdSub;

  QMenu* mnuParent;
  QAction* mnuParentNew;
  QAction* mnuParentRename;
  // Maps every genre still in lstGenres the way their names suggest; in the parent menu.
  QAction* suggestAction;
  QMenu* mnuSub;
  QAction* mnuSubRename;

  bool IsUniqueParentGenre(const std::string& name) const;
  bool IsUniqueSubGenre(const std::string& name) const;
  // Appends an entry for old genre `id`, its whole old name as its tooltip.
  void addEntry(QListWidget* list, const std::string& text, int32_t id) const;

 protected:
  bool event(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void Form_Load();
  void Form_Activate();

  void lstGenres_Click();
  void lstParent_Click();
  void lstSub_Click(int index);
  void lstSub_DblClick(int index);

  void cmdSet_Click();
  void cmdUnSet_Click();
  void cmdParent_Click();
  void cmdSub_Click();
  void mnuParentNew_Click();
  void mnuParentRename_Click();
  void mnuSubRename_Click();
  void suggestMapping();
  void cmdOK_Click();
  void cmdAbort_Click();

  void EnableList(QListWidget* list);
  void DisableList(QListWidget* list);

  // Selection changes made by the dialog's own steps: the change, then the list's selection
  // handler once, before the step goes on.
  void selectGenre(int row);
  void selectParent(int index);
  void selectSub(int index, int row);

  QListWidget* createSubList();
  int parentIndex() const;
  QListWidget* shownSubList() const;
  // Asks the prompt for a genre name with `title`, `prompt` and `defaultText` and the limits
  // of every genre name, and gives the answer when the person confirmed one.
  bool askName(const char* title, const char* prompt, const std::string& defaultText,
               std::string* answer);
  void showInformation(const char* text);

  std::string sourcePath_;
  std::string destinationPath_;
  std::map<int32_t, std::string> oldNames_;  // each old genre's name as the source holds it
  std::unique_ptr<GenreDialogHost> ownHost_;
  GenreDialogHost* host_;
  bool ExplanationShown = false;
  // While OK writes the tables the dialog cannot be closed: the buttons are disabled and the
  // event loop runs once for the repaint.
  bool writing_ = false;
};

}  // namespace genres
