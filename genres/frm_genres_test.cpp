// The genre dialog driven as a person drives it (selections through the list widgets, button
// clicks, menu choices and typed names answered by a scripted host), over real old catalogues
// and a real copy of the template, read back through the engine.
#include <QApplication>
#include <QComboBox>
#include <QCursor>
#include <QListWidget>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <map>
#include <optional>

#include "convert/conversion.h"
#include "db/recordset.h"
#include "genres/frm_genres.h"
#include "shared/mod_global.h"

using genres::frmGenres;
using genres::GenreDialogHost;

namespace {

namespace fs = std::filesystem;

// Answers the dialog's message boxes, prompts and menus at once, recording what was asked.
class ScriptedHost : public GenreDialogHost {
 public:
  struct Message { std::string text; convert::MessageIcon icon; };
  std::vector<Message> messages;
  std::vector<std::string> prompts;  // title|prompt|default of each
  std::deque<std::optional<std::string>> answers;  // nullopt: Cancel
  QAction* choice = nullptr;                       // the next menu item to choose
  std::map<QString, bool> menuEnabled;             // the last menu's items
  QPoint menuAt;                                   // where the last menu opened

  void showMessage(QWidget*, const std::string& text, convert::MessageIcon icon) override {
    messages.push_back({text, icon});
  }
  std::optional<std::string> askName(QWidget*, const prompt::NameRequest& request) override {
    // The contract every genre name prompt is shown with.
    [&] {
      QCOMPARE(request.okCaption, std::string("&OK"));
      QCOMPARE(request.cancelCaption, std::string("&Cancel"));
      QCOMPARE(request.invalidChars, std::string("\""));
      QCOMPARE(request.maxLength, 50);
      QVERIFY(!request.allowEmpty && !request.masked);
      QVERIFY(!answers.empty());
    }();
    prompts.push_back(request.title + "|" + request.prompt + "|" + request.defaultText);
    if (answers.empty()) return std::nullopt;
    const std::optional<std::string> answer = answers.front();
    answers.pop_front();
    return answer;
  }
  void popUpMenu(QMenu* menu, const QPoint& at) override {
    menuAt = at;
    menuEnabled.clear();
    for (QAction* a : menu->actions()) menuEnabled[a->text()] = a->isEnabled();
    QAction* chosen = std::exchange(choice, nullptr);
    if (chosen && chosen->isEnabled() && menu->actions().contains(chosen)) chosen->trigger();
  }
};

struct OldGenre { int32_t id; std::string name; };

// A source with just a Genres table as the old release has it, GE_Id 1 first.
void writeSource(const fs::path& path, const std::vector<OldGenre>& genres, bool nullable = false) {
  auto database = db::DBEngine().CreateDatabase(path.string(), db::kVersion3);
  db::TableSchema table{.name = "Genres", .columns = {{}, {}},
                        .indexes = {{.name = "PrimaryKey", .columns = {{"GE_Id"}}, .primaryKey = true}}};
  table.columns[0].name = "GE_Id";
  table.columns[0].type = db::ColumnType::Long;
  table.columns[1].name = "Genre";
  table.columns[1].required = !nullable;
  database->createTable(table);
  auto rs = database->OpenRecordset("SELECT * FROM Genres");
  for (const OldGenre& g : genres) {
    rs->AddNew();
    rs->Collect("GE_Id") = db::Variant(g.id);
    rs->Collect("Genre") = g.name == "<null>" ? db::Variant() : db::Variant(g.name);
    rs->Update();
  }
  database->Close();
}

std::vector<std::vector<db::Variant>> readRows(const fs::path& path, const std::string& sql,
                                               const std::vector<std::string>& columns) {
  auto database = db::DBEngine().OpenDatabase(path.string());
  auto rs = database->OpenRecordset(sql, db::dbOpenSnapshot);
  std::vector<std::vector<db::Variant>> rows;
  for (; !rs->EOF_(); rs->MoveNext()) {
    rows.emplace_back();
    for (const std::string& c : columns) rows.back().push_back(rs->Collect(c).get());
  }
  database->Close();
  return rows;
}

int selectedRow(const QListWidget* list) {
  const auto selected = list->selectedItems();
  return selected.isEmpty() ? -1 : list->row(selected.first());
}

QStringList texts(const QListWidget* list) {
  QStringList out;
  for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
  return out;
}

QStringList upperParents(const frmGenres& d) {
  QStringList out;
  for (int i = 0; i < d.lstParent->count(); ++i) out << d.lstParent->itemText(i).toUpper();
  return out;
}

std::vector<int32_t> allIds(const frmGenres& dialog) {
  std::vector<const QListWidget*> lists{dialog.lstGenres};
  lists.insert(lists.end(), dialog.lstSub.begin(), dialog.lstSub.end());
  std::vector<int32_t> ids;
  for (const QListWidget* list : lists) {
    for (int i = 0; i < list->count(); ++i) ids.push_back(list->item(i)->data(Qt::UserRole).toInt());
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

// The person's actions, through the widgets.
void choose(frmGenres& d, ScriptedHost& host, QAction* item, std::optional<std::string> answer) {
  host.choice = item;
  if (item != d.suggestAction) host.answers.push_back(answer);
  (item == d.mnuSubRename ? d.cmdSub : d.cmdParent)->click();
  host.answers.clear();
  host.choice = nullptr;  // a disabled button opened no menu
}
void newParent(frmGenres& d, ScriptedHost& h, const std::string& name) {
  choose(d, h, d.mnuParentNew, name);
}
void setGenre(frmGenres& d, const QString& oldName) {
  d.lstGenres->setCurrentItem(d.lstGenres->findItems(oldName, Qt::MatchExactly).value(0));
  d.cmdSet->click();
}

// A double-click as the mouse makes one: the first click selects, the second press is the
// double-click (QTest's double-click alone is taken as a first press).
void doubleClick(QListWidget* list, int row) {
  list->scrollToItem(list->item(row));
  const QPoint at = list->visualItemRect(list->item(row)).center();
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
}

// The button and list rules that hold after every handler.
void checkRules(const frmGenres& d) {
  const int p = d.lstParent->currentIndex();
  QVERIFY(p >= 0);
  QCOMPARE(int(d.lstSub.size()), d.lstParent->count());
  QCOMPARE(d.lstParent->itemText(0), QString("[uncategorized]"));
  QCOMPARE(d.lstSub[0]->count(), 0);
  const int g = selectedRow(d.lstGenres);
  const int s = selectedRow(d.lstSub[p]);
  QVERIFY(g < 0 || s < 0);
  QCOMPARE(d.cmdSet->isEnabled(), g >= 0 && p >= 1);
  QCOMPARE(d.cmdUnSet->isEnabled(), s >= 0);
  QCOMPARE(d.cmdSub->isEnabled(), s >= 0);
  QCOMPARE(d.cmdOK->isEnabled(), d.lstGenres->count() == 0);
  QVERIFY(d.cmdParent->isEnabled() && d.cmdAbort->isEnabled());
  for (int k = 0; k < int(d.lstSub.size()); ++k) QCOMPARE(!d.lstSub[k]->isHidden(), k == p);
  QCOMPARE(d.lstSub[p]->isEnabled(), p >= 1);
  const QColor expected = p >= 1 ? d.lstGenres->palette().color(QPalette::Base)
                                 : d.palette().color(QPalette::Window);
  QCOMPARE(d.lstSub[p]->palette().color(QPalette::Base), expected);
}

}  // namespace

class FrmGenresTest : public QObject {
  Q_OBJECT

  QTemporaryDir scratch_;
  fs::path file(const QString& name) const { return scratch_.filePath(name).toStdString(); }

  // An old catalogue made by lvsample.
  fs::path sample(const QString& name, const QStringList& options) {
    const fs::path path = file(name);
    if (!fs::exists(path)) {
      const QStringList arguments = QStringList{QString::fromStdString(path.string())} + options;
      if (QProcess::execute(LVSAMPLE_PATH, arguments) != 0) qFatal("lvsample failed");
    }
    return path;
  }
  fs::path destination(const QString& name) {
    const fs::path path = file(name);
    fs::copy_file(LV_TEMPLATE, path, fs::copy_options::overwrite_existing);
    return path;
  }

 private slots:
  void loadListsEveryOldGenreButIdOneAndTheSuggestionMapsTheRest() {
    const fs::path source = sample("sample60.mdb", {"--games", "60"});
    std::vector<std::pair<int32_t, std::string>> expected;
    bool sawIdOne = false;
    for (const auto& row : readRows(source, "SELECT * FROM Genres", {"GE_Id", "Genre"})) {
      if (row[0].int32() == 1) sawIdOne = true;
      else expected.emplace_back(row[0].int32(), row[1].text());
    }
    QVERIFY(sawIdOne);

    modGlobal::ConversionAborted = false;
    ScriptedHost host;
    frmGenres d(source.string(), destination("suggest.lvd").string(), nullptr, &host);
    QCOMPARE(d.lstGenres->count(), int(expected.size()));
    for (int i = 0; i < d.lstGenres->count(); ++i) {
      QCOMPARE(d.lstGenres->item(i)->text().toStdString(), expected[i].second);
      QCOMPARE(d.lstGenres->item(i)->data(Qt::UserRole).toInt(), expected[i].first);
    }
    QCOMPARE(d.lstParent->count(), 1);
    QCOMPARE(d.lstParent->currentIndex(), 0);
    QVERIFY(modGlobal::ConversionAborted);
    checkRules(d);
    QVERIFY(host.messages.empty());

    const std::vector<int32_t> ids = allIds(d);
    newParent(d, host, "strategy");
    newParent(d, host, "Puzzle");
    setGenre(d, "Puzzle");
    choose(d, host, d.suggestAction, std::nullopt);
    QVERIFY(host.menuEnabled.at("Suggest..."));
    QCOMPARE(d.lstGenres->count(), 0);
    QVERIFY(allIds(d) == ids);
    checkRules(d);
    QCOMPARE(upperParents(d).count("STRATEGY"), 1);
    QCOMPARE(upperParents(d).count("ARCADE"), 1);
    QCOMPARE(d.lstParent->itemText(1), QString("strategy"));
    QVERIFY(texts(d.lstSub[1]).contains("War"));  // "Strategy (War)"
    QCOMPARE(texts(d.lstSub[2]).first(), QString("Puzzle"));

    // Still editable, and OK follows the list as before.
    d.lstParent->setCurrentIndex(1);
    d.lstSub[1]->setCurrentRow(0);
    d.cmdUnSet->click();
    checkRules(d);
    choose(d, host, d.mnuParentNew, "Other");
    QVERIFY(host.menuEnabled.at("Suggest..."));
    setGenre(d, d.lstGenres->item(0)->text());
    choose(d, host, d.suggestAction, std::nullopt);
    QVERIFY(!host.menuEnabled.at("Suggest..."));
    d.cmdOK->click();
    QVERIFY(!modGlobal::ConversionAborted);
    QCOMPARE(modGlobal::GenreIdMap.size(), ids.size() + 1);
  }

  void loadFailuresReachTheCaller_data() {
    QTest::addColumn<QString>("what");
    QTest::addColumn<int>("number");
    QTest::newRow("no file") << "missing" << int(db::DbErrorNumber::FileNotFound);
    QTest::newRow("no Genres table") << "notable" << int(db::DbErrorNumber::NoSuchTable);
    QTest::newRow("Null genre name") << "null" << int(db::DbErrorNumber::InvalidUseOfNull);
  }
  void loadFailuresReachTheCaller() {
    QFETCH(QString, what);
    QFETCH(int, number);
    const fs::path source = file("load-" + what + ".mdb");
    if (what == "notable") db::DBEngine().CreateDatabase(source.string())->Close();
    if (what == "null") writeSource(source, {{1, "(None)"}, {2, "Puzzle"}, {3, "<null>"}}, true);
    try {
      ScriptedHost host;
      frmGenres d(source.string(), "", nullptr, &host);
      QFAIL("the load did not fail");
    } catch (const db::DbException& e) {
      QCOMPARE(e.number(), number);
    }
  }

  void setDerivesTheSubGenreName_data() {
    QTest::addColumn<QString>("old");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("sub");
    QTest::newRow("parentheses") << "Strategy (War)" << "Strategy" << "War";
    QTest::newRow("prefix in other case") << "Strategy (War)" << "strategy" << "War";
    QTest::newRow("brackets") << "Strategy [War]" << "Strategy" << "War";
    QTest::newRow("nothing follows") << "Strategy" << "Strategy" << "Strategy";
    QTest::newRow("one character follows") << "StrategyX" << "Strategy" << "StrategyX";
    QTest::newRow("blank and one") << "Strategy X" << "Strategy" << "X";
    QTest::newRow("dash kept") << "Strategy - War" << "Strategy" << "- War";
    QTest::newRow("empty brackets") << "Strategy ()" << "Strategy" << "Strategy ()";
    QTest::newRow("unpaired brackets") << "Strategy (War]" << "Strategy" << "(War]";
    QTest::newRow("other parent") << "Strategy (War)" << "Sport" << "Strategy (War)";
    QTest::newRow("Miscellaneous") << "Miscellaneous" << "Sport" << "Misc";
    QTest::newRow("Miscellaneous inside") << "Strategy (Miscellaneous)" << "Strategy" << "Misc";
    QTest::newRow("lower-case miscellaneous") << "miscellaneous" << "Sport" << "miscellaneous";
    QTest::newRow("double quotes") << "Say \"Cheese\"" << "Puzzle" << "Say Cheese";
    QTest::newRow("quotes after the prefix") << "Strategy (\"War\")" << "Strategy" << "War";
    QTest::newRow("quotes inside") << "The \"Best\" (Ever)" << "The" << "Best (Ever)";
    QTest::newRow("trailing blanks") << "Strategy   " << "Strategy" << "Strategy   ";
    QTest::newRow("accented prefix in other case") << "R\u00f4le (Jeu)" << "R\u00d4LE" << "Jeu";
  }
  void setDerivesTheSubGenreName() {
    QFETCH(QString, old);
    QFETCH(QString, parent);
    QFETCH(QString, sub);
    const fs::path source = file(QString("derive-%1.mdb").arg(QTest::currentDataTag()));
    writeSource(source, {{1, "(None)"}, {7, old.toStdString()}});
    ScriptedHost host;
    frmGenres d(source.string(), "", nullptr, &host);
    newParent(d, host, parent.toStdString());
    setGenre(d, old);
    QCOMPARE(texts(d.lstSub[1]), QStringList{sub});
    QCOMPARE(d.lstSub[1]->item(0)->data(Qt::UserRole).toInt(), 7);
  }

  void setAndUnsetMoveRunsAndDriveOk() {
    const fs::path source = file("runs.mdb");
    writeSource(source, {{1, "(None)"}, {2, "Strategy (War)"}, {4, "Strategy [Economic]"},
                         {5, "Puzzle"}, {9, "Strategy (War)"}, {11, "Strategy (War)"}});
    ScriptedHost host;
    frmGenres d(source.string(), "", nullptr, &host);
    newParent(d, host, "Strategy");
    // Set keeps a selection in place, so repeated presses move a run of genres.
    d.lstGenres->setCurrentRow(1);
    d.cmdSet->click();
    QCOMPARE(selectedRow(d.lstGenres), 1);  // the entry that followed
    d.cmdSet->click();
    d.cmdSet->click();
    QCOMPARE(selectedRow(d.lstGenres), 1);  // the new last entry
    d.cmdSet->click();
    d.cmdSet->click();
    QCOMPARE(d.lstGenres->count(), 0);
    // Never two sub genres alike under one parent, as Rename insists: the later ones keep their
    // whole old names, or get a number.
    QCOMPARE(texts(d.lstSub[1]),
             (QStringList{"Economic", "Puzzle", "War", "Strategy (War)", "Strategy (War) (2)"}));
    checkRules(d);  // OK enabled now that every genre is set

    // Unset gives back the short name with the old id, and keeps a selection for the next press.
    d.lstSub[1]->setCurrentRow(0);
    d.cmdUnSet->click();
    QCOMPARE(texts(d.lstGenres), QStringList{"Economic"});
    QCOMPARE(d.lstGenres->item(0)->data(Qt::UserRole).toInt(), 4);
    QCOMPARE(selectedRow(d.lstSub[1]), 0);
    d.lstSub[1]->setCurrentRow(3);
    d.cmdUnSet->click();
    QCOMPARE(selectedRow(d.lstSub[1]), 2);  // the new last entry
    checkRules(d);
  }

  void namesAreUniqueWhereTheyMustBe() {
    const fs::path source = file("unique.mdb");
    writeSource(source, {{1, "(None)"}, {2, "Strategy (War)"}, {3, "Strategy [War]"},
                         {4, "Wargames (Naval)"}, {6, "Sport (Golf)"}});
    ScriptedHost host;
    frmGenres d(source.string(), "", nullptr, &host);
    const auto refusals = [&] { return int(host.messages.size()); };
    const std::string parentExists = "There is already a Parent Genre with this name!";

    choose(d, host, d.mnuParentNew, std::nullopt);  // Cancel
    QCOMPARE(host.prompts.back(), std::string("New Parent Genre|Parent Genre Name:|"));
    QVERIFY(!host.menuEnabled.at("Rename..."));
    QCOMPARE(d.lstParent->count(), 1);
    newParent(d, host, "Strategy");
    newParent(d, host, "STRATEGY");
    QCOMPARE(refusals(), 1);
    QCOMPARE(host.messages.back().text, parentExists);
    QCOMPARE(host.messages.back().icon, convert::MessageIcon::Information);
    newParent(d, host, " Strategy ");  // blanks are part of a name
    newParent(d, host, "Sport");
    QCOMPARE(d.lstParent->count(), 4);
    QCOMPARE(d.lstParent->currentIndex(), 3);
    QVERIFY(host.menuEnabled.at("New...") && host.menuEnabled.at("Rename..."));

    // Renaming a parent: own name in other case accepted, another's refused, a new one used by
    // later derivations.
    d.lstParent->setCurrentIndex(1);
    choose(d, host, d.mnuParentRename, "strategy");
    QCOMPARE(host.prompts.back(), std::string("Rename Parent Genre|Parent Genre Name:|Strategy"));
    QCOMPARE(d.lstParent->itemText(1), QString("strategy"));
    choose(d, host, d.mnuParentRename, "SPORT");
    QCOMPARE(refusals(), 2);
    QCOMPARE(d.lstParent->itemText(1), QString("strategy"));
    setGenre(d, "Strategy (War)");
    setGenre(d, "Strategy [War]");
    choose(d, host, d.mnuParentRename, "Wargames");
    QCOMPARE(d.lstParent->itemText(1), QString("Wargames"));
    setGenre(d, "Wargames (Naval)");
    QCOMPARE(texts(d.lstSub[1]), (QStringList{"War", "Strategy [War]", "Naval"}));

    // Renaming a sub genre: unique within its parent only.
    d.lstSub[1]->setCurrentRow(2);
    choose(d, host, d.mnuSubRename, "war");
    QCOMPARE(host.prompts.back(), std::string("Rename Sub Genre|Sub Genre Name:|Naval"));
    QCOMPARE(refusals(), 3);
    QCOMPARE(host.messages.back().text,
             std::string("There is already a Sub Genre with this name!"));
    choose(d, host, d.mnuSubRename, "NAVAL");
    QCOMPARE(d.lstSub[1]->item(2)->text(), QString("NAVAL"));
    d.lstParent->setCurrentIndex(3);
    setGenre(d, "Sport (Golf)");
    d.lstSub[3]->setCurrentRow(0);
    choose(d, host, d.mnuSubRename, "War");
    QCOMPARE(texts(d.lstSub[3]), QStringList{"War"});
    QCOMPARE(d.lstSub[3]->item(0)->data(Qt::UserRole).toInt(), 6);
    QCOMPARE(refusals(), 3);
    // A double-click on a sub genre renames it as the menu does.
    d.show();
    QVERIFY(QTest::qWaitForWindowExposed(&d));
    host.answers.push_back("Wargame");
    doubleClick(d.lstSub[3], 0);
    QCOMPARE(texts(d.lstSub[3]), QStringList{"Wargame"});
    checkRules(d);
  }

  void randomEditingKeepsTheRulesAndEveryIdOnce_data() {
    QTest::addColumn<quint32>("seed");
    for (quint32 seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
      QTest::newRow(qPrintable(QString("seed %1").arg(seed))) << seed;
    }
  }
  void randomEditingKeepsTheRulesAndEveryIdOnce() {
    QFETCH(quint32, seed);
    const fs::path source = sample("sample60.mdb", {"--games", "60"});
    ScriptedHost host;
    frmGenres d(source.string(), "", nullptr, &host);
    d.show();
    const std::vector<int32_t> ids = allIds(d);
    QRandomGenerator rng(seed);
    const auto pick = [&](int n) { return int(rng.bounded(quint32(n))); };
    const std::vector<std::string> names = {"Strategy", "strategy", "Sport", "Arcade", " Arcade",
                                            "War", "[Uncategorized]", "Misc", "Puzzle"};
    const auto randomName = [&]() -> std::optional<std::string> {
      if (pick(8) == 0) return std::nullopt;
      return names[pick(int(names.size()))];
    };

    for (int step = 0; step < 600; ++step) {
      QListWidget* shown = d.lstSub[d.lstParent->currentIndex()];
      const size_t messagesBefore = host.messages.size();
      const QStringList parentsBefore = upperParents(d);
      switch (pick(14)) {
        case 0: case 1:
          if (d.lstGenres->count()) d.lstGenres->setCurrentRow(pick(d.lstGenres->count()));
          break;
        case 2: case 3:
          if (shown->count()) shown->setCurrentRow(pick(shown->count()));
          else shown->clearSelection();
          break;
        case 4: d.lstParent->setCurrentIndex(pick(d.lstParent->count())); break;
        case 5: case 6: d.cmdSet->click(); break;
        case 7: case 8: d.cmdUnSet->click(); break;
        case 9: {
          const auto name = randomName();
          choose(d, host, d.mnuParentNew, name);
          const bool taken =
              name && parentsBefore.contains(QString::fromStdString(*name).toUpper());
          QCOMPARE(host.messages.size(), messagesBefore + (taken ? 1 : 0));
          QCOMPARE(d.lstParent->count(), parentsBefore.size() + (name && !taken ? 1 : 0));
          break;
        }
        case 10: choose(d, host, d.mnuParentRename, randomName()); break;
        case 11: {
          const int s = selectedRow(shown);
          if (s >= 0 && pick(2)) {
            host.answers.push_back(randomName());
            doubleClick(shown, s);
            host.answers.clear();
          } else {
            choose(d, host, d.mnuSubRename, randomName());
          }
          break;
        }
        case 12: d.lstGenres->clearSelection(); break;
        case 13:
          if (pick(30) == 0) choose(d, host, d.suggestAction, std::nullopt);
          break;
      }
      checkRules(d);
      if (QTest::currentTestFailed()) QFAIL(qPrintable(QString("after step %1").arg(step)));
      QVERIFY(allIds(d) == ids);
      const QStringList parents = upperParents(d);
      QCOMPARE(QSet<QString>(parents.begin(), parents.end()).size(), parents.size());
    }
  }

  // The shown dialog explains itself once, at the first activation, leaving the focus on the
  // parent button, which Enter presses; a menu opened from the keyboard opens below its button,
  // one opened by the mouse at the pointer. OK writes the parents, then the sub genres, and
  // maps every old id to its new one; Abort, Esc and the close box end the dialog as an abort
  // and write nothing, and so does OK when the engine fails, which is shown.
  void shownDialogExplainsOnceAndOnlyAFinishedOkWrites_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("number");  // the engine's error OK meets, 0 for none
    QTest::newRow("OK") << "ok" << 0;
    QTest::newRow("Abort") << "abort" << 0;
    QTest::newRow("Esc") << "esc" << 0;
    QTest::newRow("close box") << "close" << 0;
    QTest::newRow("OK, no destination") << "missing" << int(db::DbErrorNumber::FileNotFound);
    QTest::newRow("OK, no PGenres table") << "notable" << int(db::DbErrorNumber::NoSuchTable);
  }
  void shownDialogExplainsOnceAndOnlyAFinishedOkWrites() {
    QFETCH(QString, how);
    QFETCH(int, number);
    const fs::path source = file("ends-" + how + ".mdb");
    writeSource(source, {{1, "(None)"}, {2, "Strategy (War)"}, {3, "Strategy [War]"},
                         {5, "Sport (Golf)"}, {7, "Puzzle"}, {9, "Miscellaneous"}});
    const fs::path dest = number ? file("ends-" + how + ".lvd") : destination("ends-" + how + ".lvd");
    if (how == "notable") db::DBEngine().CreateDatabase(dest.string())->Close();
    modGlobal::GenreIdMap = {{1, 1}, {2, 5}};
    ScriptedHost host;
    frmGenres d(source.string(), dest.string(), nullptr, &host);
    d.show();
    QVERIFY(QTest::qWaitForWindowActive(&d));
    QTRY_COMPARE(host.messages.size(), size_t(1));
    QCOMPARE(host.messages[0].icon, convert::MessageIcon::Information);
    QCOMPARE(QApplication::focusWidget(), d.cmdParent);
    QWidget other;
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    d.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&d));
    QTest::qWait(20);

    QCursor::setPos(d.mapToGlobal(QPoint(5, 5)));
    host.choice = d.mnuParentNew;
    host.answers = {"Strategy"};
    QTest::keyClick(d.cmdParent, Qt::Key_Return);
    QCOMPARE(host.menuAt, d.cmdParent->mapToGlobal(QPoint(0, d.cmdParent->height())));
    setGenre(d, "Strategy (War)");
    setGenre(d, "Strategy [War]");
    const QPoint pointer = d.cmdParent->mapToGlobal(QPoint(3, 4));
    QCursor::setPos(pointer);
    host.choice = d.mnuParentNew;
    host.answers = {"Empty"};
    QTest::mouseClick(d.cmdParent, Qt::LeftButton, {}, QPoint(3, 4));
    QCOMPARE(host.menuAt, pointer);
    newParent(d, host, "Sport");
    QCOMPARE(d.lstParent->count(), 4);
    for (const char* g : {"Sport (Golf)", "Puzzle", "Miscellaneous"}) setGenre(d, g);
    QVERIFY(d.cmdOK->isEnabled());
    if (how == "abort") d.cmdAbort->click();
    else if (how == "esc") QTest::keyClick(d.lstGenres, Qt::Key_Escape);
    else if (how == "close") QVERIFY(d.close());
    else d.cmdOK->click();
    QVERIFY(!d.isVisible());
    QCOMPARE(d.result(), int(how == "ok" ? QDialog::Accepted : QDialog::Rejected));
    QCOMPARE(modGlobal::ConversionAborted, how != "ok");
    QVERIFY(!QApplication::overrideCursor());  // the hourglass is gone
    QCOMPARE(host.messages.size(), size_t(number ? 2 : 1));
    if (number) {
      QCOMPARE(host.messages.back().icon, convert::MessageIcon::Critical);
      const std::string text = host.messages.back().text;
      QVERIFY2(text.find(" (" + std::to_string(number) + ",") != std::string::npos, text.c_str());
      QCOMPARE(text.back(), ')');
      return;
    }
    const auto parents = readRows(dest, "SELECT * FROM PGenres", {"PG_Id", "ParentGenre"});
    const auto subs = readRows(dest, "SELECT * FROM Genres", {"GE_Id", "PG_Id", "Genre"});
    if (how != "ok") {
      QCOMPARE(modGlobal::GenreIdMap.size(), size_t(2));
      QCOMPARE(parents.size(), size_t(1));
      QCOMPARE(subs.size(), size_t(1));
      return;
    }

    // The template's own rows stay first; the parents follow in list order.
    QCOMPARE(parents.size(), size_t(4));
    std::map<std::string, int32_t> pgId;
    for (size_t i = 1; i < parents.size(); ++i) {
      QCOMPARE(parents[i][1].text(), d.lstParent->itemText(int(i)).toStdString());
      QCOMPARE(parents[i][0].int32(), d.lstParent->itemData(int(i)).toInt());
      pgId[parents[i][1].text()] = parents[i][0].int32();
    }
    const std::vector<std::pair<int32_t, std::pair<std::string, std::string>>> expected = {
        {2, {"Strategy", "War"}}, {3, {"Strategy", "Strategy [War]"}}, {5, {"Sport", "Golf"}},
        {7, {"Sport", "Puzzle"}}, {9, {"Sport", "Misc"}}};
    QCOMPARE(subs.size(), expected.size() + 1);
    QCOMPARE(modGlobal::GenreIdMap.size(), expected.size() + 1);
    QCOMPARE(modGlobal::GenreIdMap[0].oldId, 1);
    QCOMPARE(modGlobal::GenreIdMap[0].newId, 1);
    for (size_t i = 0; i < expected.size(); ++i) {
      const auto& row = subs[i + 1];
      QCOMPARE(row[1].int32(), pgId.at(expected[i].second.first));
      QCOMPARE(row[2].text(), expected[i].second.second);
      QCOMPARE(modGlobal::GenreIdMap[i + 1].oldId, expected[i].first);
      QCOMPARE(modGlobal::GenreIdMap[i + 1].newId, row[0].int32());
      QCOMPARE(convert::GetNewGenreId(modGlobal::GenreIdMap, expected[i].first), row[0].int32());
    }
    QVERIFY(subs[1][0].int32() != subs[2][0].int32());
    QCOMPARE(convert::GetNewGenreId(modGlobal::GenreIdMap, 1), 1);
    QCOMPARE(convert::GetNewGenreId(modGlobal::GenreIdMap, 4), 1);
    QCOMPARE(QProcess::execute(LVDB_PATH, {"check", QString::fromStdString(dest.string())}), 0);
  }

  void sourceWithOnlyTheUncategorizedGenreCanFinish() {
    const fs::path source = sample("onegenre.mdb", {"--games", "20", "--one-row", "Genres"});
    const fs::path dest = destination("onegenre.lvd");
    ScriptedHost host;
    frmGenres d(source.string(), dest.string(), nullptr, &host);
    QCOMPARE(d.lstGenres->count(), 0);
    checkRules(d);
    d.cmdOK->click();
    QVERIFY(!modGlobal::ConversionAborted);
    QCOMPARE(modGlobal::GenreIdMap.size(), size_t(1));
    QCOMPARE(readRows(dest, "SELECT * FROM PGenres", {"PG_Id"}).size(), size_t(1));
  }

  // Unset gives back short names ("War"), but the suggestion works from the names the source
  // holds, and never puts two sub genres of one name under one parent.
  void suggestionWorksFromTheSourcesNames() {
    const fs::path source = file("wars.mdb");
    writeSource(source, {{1, "Uncategorized"}, {2, "Strategy (War)"}, {3, "Quiz (War)"},
                         {4, "Action (War)"}, {5, "Strategy [War]"}});
    ScriptedHost host;
    frmGenres d(source.string(), destination("wars.lvd").string(), nullptr, &host);
    for (const char* parent : {"Strategy", "Quiz", "Action"}) {
      newParent(d, host, parent);
      setGenre(d, QString(parent) + " (War)");
      d.lstSub[d.lstParent->currentIndex()]->setCurrentRow(0);
      d.cmdUnSet->click();
    }
    QCOMPARE(texts(d.lstGenres), (QStringList{"Strategy [War]", "War", "War", "War"}));
    // Each tells its whole old name in its tooltip.
    QStringList tips;
    for (int i = 0; i < d.lstGenres->count(); ++i) tips << d.lstGenres->item(i)->toolTip();
    QCOMPARE(tips, (QStringList{"Strategy [War]", "Strategy (War)", "Quiz (War)", "Action (War)"}));
    d.lstParent->setCurrentIndex(1);
    setGenre(d, "Strategy [War]");
    choose(d, host, d.suggestAction, std::nullopt);
    QCOMPARE(d.lstParent->count(), 4);  // no parent "War"
    QCOMPARE(texts(d.lstSub[1]), (QStringList{"War", "Strategy (War)"}));
    QCOMPARE(texts(d.lstSub[2]), QStringList{"War"});
    QCOMPARE(texts(d.lstSub[3]), QStringList{"War"});
  }
};

QTEST_MAIN(FrmGenresTest)
#include "frm_genres_test.moc"
