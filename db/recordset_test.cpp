// The program's surface on real files: recordsets on the SQL it sends, their cursor rules,
// fields by name, and the errors it relies on.
#include <gtest/gtest.h>

#include <functional>

#include "db/file_io.h"
#include "db/json_dump.h"
#include "db/test_support.h"

namespace {

using db::DbErrorNumber;
using db::Variant;
using testing_support::errorNumberOf;
using testing_support::number;

struct ProductRow {
  int32_t id = 0;
  std::string name;
  Variant category, price, discontinued, quantityPerUnit;
};

// Reads Products whole with SELECT *, so that filtered queries can be checked against it.
std::vector<ProductRow> allProducts(db::Database& d) {
  std::vector<ProductRow> out;
  auto rs = d.OpenRecordset("SELECT * FROM Products", db::dbOpenSnapshot);
  for (; !rs->EOF_(); rs->MoveNext()) {
    out.push_back({rs->Fields("ProductID").Value.int32(), rs->Fields("ProductName").Value.text(),
                   rs->Fields("CategoryID").Value, rs->Fields("UnitPrice").Value,
                   rs->Fields("Discontinued").Value, rs->Fields("QuantityPerUnit").Value});
  }
  return out;
}

std::vector<int32_t> idsOf(db::Database& d, const std::string& sql) {
  std::vector<int32_t> ids;
  auto rs = d.OpenRecordset(sql, db::dbOpenSnapshot);
  for (; !rs->EOF_(); rs->MoveNext()) ids.push_back(rs->Fields("ProductID").Value.int32());
  return ids;
}

double priceOf(const ProductRow& r) {
  double d = 0;
  EXPECT_TRUE(r.price.toDouble(&d).ok());
  return d;
}

TEST(RecordsetTest, whereSelectsTheRowsItsConditionHolds) {
  REQUIRE_FIXTURE(mdb, "nwind.mdb");
  auto d = db::DBEngine().OpenDatabase(mdb.string());
  const std::vector<ProductRow> all = allProducts(*d);
  ASSERT_EQ(all.size(), 77u);
  const std::vector<std::pair<const char*, std::function<bool(const ProductRow&)>>> cases = {
      {"CategoryID = 1", [](auto& r) { return r.category.int32() == 1; }},
      {"CategoryID <> 1", [](auto& r) { return r.category.int32() != 1; }},
      {"UnitPrice > 20", [](auto& r) { return priceOf(r) > 20; }},
      {"UnitPrice >= 18", [](auto& r) { return priceOf(r) >= 18; }},
      {"UnitPrice < 10.5", [](auto& r) { return priceOf(r) < 10.5; }},
      {"UnitPrice <= 10", [](auto& r) { return priceOf(r) <= 10; }},
      // Text compares without regard to letter case, both quote kinds.
      {"ProductName = 'chai'", [](auto& r) { return r.name == "Chai"; }},
      {"productname = \"CHANG\"", [](auto& r) { return r.name == "Chang"; }},
      {"ProductName < 'B'", [](auto& r) { return r.name < "B"; }},
      {"Discontinued = True", [](auto& r) { return r.discontinued.asBool(); }},
      {"Discontinued <> 0", [](auto& r) { return r.discontinued.asBool(); }},
      {"CategoryID = 1 AND UnitPrice > 15",
       [](auto& r) { return r.category.int32() == 1 && priceOf(r) > 15; }},
      {"CategoryID = 1 OR CategoryID = 2",
       [](auto& r) { return r.category.int32() == 1 || r.category.int32() == 2; }},
      {"NOT (CategoryID = 1 OR UnitPrice < 20)",
       [](auto& r) { return !(r.category.int32() == 1 || priceOf(r) < 20); }},
      {"[QuantityPerUnit] IS NOT NULL", [](auto& r) { return !r.quantityPerUnit.isNull(); }},
      {"5 < CategoryID", [](auto& r) { return r.category.int32() > 5; }},
  };
  for (const auto& [where, holds] : cases) {
    std::vector<int32_t> expected;
    for (const ProductRow& r : all) {
      if (holds(r)) expected.push_back(r.id);
    }
    EXPECT_EQ(idsOf(*d, std::string("SELECT * FROM Products WHERE ") + where), expected) << where;
  }
}

TEST(RecordsetTest, nullNeverEqualsAnythingAndIsNullFindsIt) {
  REQUIRE_FIXTURE(mdb, "nwind.mdb");
  auto d = db::DBEngine().OpenDatabase(mdb.string());
  // Region is Null for most customers: neither = nor <> selects those rows.
  auto count = [&](const std::string& where) {
    auto rs = d->OpenRecordset("SELECT CustomerID FROM Customers WHERE " + where,
                               db::dbOpenSnapshot);
    if (rs->EOF_()) return 0;
    rs->MoveLast();
    return static_cast<int>(rs->RecordCount());
  };
  const int nulls = count("Region IS NULL");
  const int set = count("Region IS NOT NULL");
  EXPECT_EQ(nulls + set, 91);
  EXPECT_GT(nulls, 0);
  EXPECT_EQ(count("Region = 'WA'") + count("Region <> 'WA'"), set);
  EXPECT_EQ(count("NOT (Region = 'WA')"), count("Region <> 'WA'"));
}

TEST(RecordsetTest, tablesAndFieldsAreFoundByNameWithoutRegardToCase) {
  REQUIRE_FIXTURE(mdb, "nwind.mdb");
  auto d = db::DBEngine().OpenDatabase(mdb.string());
  const std::vector<std::string> names = d->tableNames();
  EXPECT_EQ(names.size(), 9u);
  EXPECT_EQ(std::count(names.begin(), names.end(), "Ums\xC3\xA4tze"), 1);
  auto umlaut = d->OpenRecordset("SELECT * FROM UMS\xC3\x84TZE", db::dbOpenSnapshot);
  EXPECT_EQ(umlaut->FieldCount(), d->tableDef("ums\xC3\xa4tze").columns.size());
  EXPECT_FALSE(d->OpenRecordset("SELECT * FROM CUSTOMERS", db::dbOpenSnapshot)->EOF_());

  // Aliases and brackets name the fields.
  auto rs = d->OpenRecordset("SELECT CategoryID AS ID, CategoryName AS Name FROM Categories",
                             db::dbOpenSnapshot);
  ASSERT_EQ(rs->FieldCount(), 2);
  EXPECT_EQ(rs->FieldAt(0).Name, "ID");
  EXPECT_EQ(rs->Fields("id").Value.int32(), 1);
  EXPECT_EQ(rs->Fields("NAME").Value.text(), "Beverages");
  EXPECT_EQ(rs->Fields("ID").Type, db::ColumnType::Long);
  // The column's own name is gone once it has an alias.
  EXPECT_EQ(errorNumberOf([&] { rs->Fields("CategoryID"); }), number(DbErrorNumber::ItemNotFound));

  auto details = d->OpenRecordset(
      "select [OrderID], [Order Details].[UnitPrice] from [order details] where Quantity >= 100",
      db::dbOpenSnapshot);
  ASSERT_FALSE(details->EOF_());
  EXPECT_EQ(details->FieldCount(), 2);
  EXPECT_EQ(details->Fields("unitprice").Value.get().type(), db::VariantType::Currency);
  EXPECT_EQ(errorNumberOf([&] { details->Fields("Quantity"); }),
            number(DbErrorNumber::ItemNotFound));
}

TEST(RecordsetTest, recordCountIsExactAfterMoveLastAndMoveFirstReturns) {
  REQUIRE_FIXTURE(mdb, "nwind.mdb");
  auto d = db::DBEngine().OpenDatabase(mdb.string());
  auto rs = d->OpenRecordset("SELECT * FROM [Order Details]", db::dbOpenSnapshot);
  ASSERT_FALSE(rs->EOF_());
  const int32_t firstOrder = rs->Fields("OrderID").Value.int32();
  EXPECT_EQ(rs->RecordCount(), 1);
  rs->MoveLast();
  EXPECT_EQ(rs->RecordCount(), 2155);
  EXPECT_FALSE(rs->EOF_());
  rs->MoveFirst();
  EXPECT_EQ(rs->Fields("OrderID").Value.int32(), firstOrder);
  EXPECT_EQ(rs->RecordCount(), 2155);
  int32_t seen = 0;
  std::pair<int32_t, int32_t> lastSeen;
  for (; !rs->EOF_(); rs->MoveNext()) {
    ++seen;
    lastSeen = {rs->Fields("OrderID").Value.int32(), rs->Fields("ProductID").Value.int32()};
  }
  EXPECT_EQ(seen, 2155);
  // Past the end: no current record, and MoveLast comes back to the last one.
  EXPECT_EQ(errorNumberOf([&] { rs->MoveNext(); }), number(DbErrorNumber::NoCurrentRecord));
  EXPECT_EQ(errorNumberOf([&] { rs->Fields("OrderID").Value.get(); }),
            number(DbErrorNumber::NoCurrentRecord));
  rs->MoveLast();
  EXPECT_FALSE(rs->EOF_());
  // So does a fresh recordset's MoveLast, which finds it from the end.
  auto fresh = d->OpenRecordset("SELECT * FROM [Order Details]", db::dbOpenSnapshot);
  fresh->MoveLast();
  EXPECT_EQ(fresh->RecordCount(), 2155);
  for (const auto& moved : {rs, fresh}) {
    EXPECT_EQ(std::make_pair(moved->Fields("OrderID").Value.int32(),
                             moved->Fields("ProductID").Value.int32()),
              lastSeen);
  }
  rs->MoveNext();
  EXPECT_TRUE(rs->EOF_());
}

// A snapshot's walk through a large table takes its rows from a second thread, which holds a
// handle of its own on the file while it does; whatever the caller does on the way, the walk
// meets the rows a walk on one thread meets.
TEST(RecordsetTest, rowsReadAheadAreTheRowsOfAWalkWhateverHappensOnTheWay) {
  REQUIRE_FIXTURE(mdb, "nwind.mdb");
  testing_support::ScratchDir dir;
  std::filesystem::copy_file(mdb, dir.file("nwind.mdb"));
  auto d = db::DBEngine().OpenDatabase(dir.file("nwind.mdb").string());
  auto rowOf = [](db::Recordset& rs) {
    std::string row;
    for (int k = 0; k < rs.FieldCount(); ++k) row += db::jsonValue(rs.FieldAt(k).Value.get()) + ",";
    return row;
  };
  using OnTheWay = std::function<void(db::Recordset&, int)>;
  auto rowsOf = [&](const std::string& sql, const OnTheWay& onTheWay) {
    std::vector<std::string> rows;
    auto rs = d->OpenRecordset(sql, db::dbOpenSnapshot);
    for (int i = 0; !rs->EOF_(); rs->MoveNext(), ++i) {
      onTheWay(*rs, i);
      rows.push_back(rowOf(*rs));
    }
    return rows;
  };
  const OnTheWay nothing = [](db::Recordset&, int) {};
  // A condition keeps the walk on the calling thread.
  const std::vector<std::string> expected = rowsOf("SELECT * FROM [Order Details] WHERE OrderID > 0", nothing);
  ASSERT_EQ(expected.size(), 2155u);
  // Wine counts no handles (its GetProcessHandleCount says 0); the other systems do.
  const int open = db::io::openCount();
  const std::pair<const char*, OnTheWay> cases[] = {
      {"the thread's handle held", [&](db::Recordset&, int i) {
         if (i == 100 && open > 0) {
           EXPECT_EQ(db::io::openCount(), open + 1);
         }
       }},
      {"each value read twice", [](db::Recordset& rs, int) {
         for (int k = 0; k < rs.FieldCount(); ++k) (void)rs.FieldAt(k).Value.get();
       }},
  };
  for (const auto& [name, onTheWay] : cases) {
    EXPECT_EQ(rowsOf("SELECT * FROM [Order Details]", onTheWay), expected) << name;
    EXPECT_EQ(db::io::openCount(), open) << name << ": the handle outlived the walk";
  }
  // MoveLast from halfway finds the last row, and the walk ends after it.
  {
    auto rs = d->OpenRecordset("SELECT * FROM [Order Details]", db::dbOpenSnapshot);
    for (int i = 0; i < 1000; ++i) rs->MoveNext();
    rs->MoveLast();
    EXPECT_EQ(rs->RecordCount(), 2155);
    EXPECT_EQ(rowOf(*rs), expected.back());
    rs->MoveNext();
    EXPECT_TRUE(rs->EOF_());
  }
  // Rows changed ahead of the walk are met as changed, and so are they by a walk that starts
  // once the file is written (its pages may not have reached the disk).
  const std::vector<std::string> walked = rowsOf("SELECT * FROM [Order Details]", [&](db::Recordset&, int i) {
    if (i == 700) d->Execute("UPDATE [Order Details] SET Quantity = 1 WHERE OrderID > 11000");
  });
  const std::vector<std::string> changed = rowsOf("SELECT * FROM [Order Details] WHERE OrderID > 0", nothing);
  EXPECT_NE(changed, expected);
  EXPECT_EQ(walked, changed);
  EXPECT_EQ(rowsOf("SELECT * FROM [Order Details]", nothing), changed);
}

// Empty results start at EOF and refuse moves; snapshots refuse changes, and closed objects
// refuse all work.
TEST(RecordsetTest, emptyResultsSnapshotsAndClosedObjectsRefuseWhatTheyCannotDo) {
  REQUIRE_FIXTURE(mdb, "testV1997.mdb");
  auto d = db::DBEngine().OpenDatabase(mdb.string());
  for (const char* sql : {"SELECT * FROM Table2", "SELECT * FROM Table1 WHERE A = 'none'"}) {
    auto rs = d->OpenRecordset(sql, db::dbOpenSnapshot);
    EXPECT_TRUE(rs->EOF_()) << sql;
    EXPECT_EQ(rs->RecordCount(), 0);
    EXPECT_EQ(errorNumberOf([&] { rs->MoveNext(); }), number(DbErrorNumber::NoCurrentRecord));
    EXPECT_EQ(errorNumberOf([&] { rs->MoveLast(); }), number(DbErrorNumber::NoCurrentRecord));
    EXPECT_EQ(errorNumberOf([&] { rs->MoveFirst(); }), number(DbErrorNumber::NoCurrentRecord));
    EXPECT_EQ(errorNumberOf([&] { rs->FieldAt(0).Value.get(); }),
              number(DbErrorNumber::NoCurrentRecord));
  }
  auto rs = d->OpenRecordset("SELECT * FROM Table1", db::dbOpenSnapshot);
  EXPECT_EQ(errorNumberOf([&] { rs->Fields("A").Value = Variant("x"); }),
            number(DbErrorNumber::ReadOnly));
  auto other = d->OpenRecordset("SELECT * FROM Table1", db::dbOpenSnapshot);
  rs->Close();
  EXPECT_EQ(errorNumberOf([&] { rs->EOF_(); }), number(DbErrorNumber::ObjectClosed));
  EXPECT_FALSE(other->EOF_());
  d->Close();
  EXPECT_EQ(errorNumberOf([&] { other->MoveNext(); }), number(DbErrorNumber::ObjectClosed));
  EXPECT_EQ(errorNumberOf([&] { d->OpenRecordset("SELECT * FROM Table1", 4); }),
            number(DbErrorNumber::ObjectClosed));
}

TEST(RecordsetTest, valuesOfEveryTypeReachCallersInBothVersions) {
  REQUIRE_FIXTURE(jet3, "testV1997.mdb");
  REQUIRE_FIXTURE(jet4, "test2V2003.mdb");
  auto d3 = db::DBEngine().OpenDatabase(jet3.string());
  EXPECT_STREQ(d3->formatName(), "Jet3");
  auto rs = d3->OpenRecordset("SELECT * FROM Table1 WHERE A = 'abcdefg'", db::dbOpenSnapshot);
  ASSERT_FALSE(rs->EOF_());
  EXPECT_EQ(rs->Fields("B").Value.text(), "hijklmnop");
  EXPECT_EQ(rs->Fields("C").Value.get(), Variant(uint8_t{2}));
  EXPECT_EQ(rs->Fields("D").Value.get(), Variant(int16_t{222}));
  EXPECT_EQ(rs->Fields("E").Value.int32(), 333333333);
  EXPECT_EQ(rs->Fields("F").Value.text(), "444.555");
  EXPECT_EQ(rs->Fields("G").Value.text(), "1974-09-21");
  EXPECT_EQ(rs->Fields("H").Value.text(), "3.5");
  EXPECT_EQ(rs->Fields("I").Value.get(), Variant(true));
  EXPECT_EQ(rs->Fields("I").Value.int32(), -1);

  auto d4 = db::DBEngine().OpenDatabase(jet4.string());
  EXPECT_STREQ(d4->formatName(), "Jet4");
  auto p = d4->OpenRecordset("SELECT * FROM MSP_PROJECTS", db::dbOpenSnapshot);
  EXPECT_EQ(p->Fields("PROJ_OPT_CURRENCY_SYMBOL").Value.text(), "\xC2\xA3");
  EXPECT_TRUE(p->Fields("PROJ_PROP_CATEGORY").Value.isNull());
  EXPECT_EQ(p->Fields("RESERVED_BINARY_DATA").Value.get().asBinary().size(), 22970u);
  EXPECT_EQ(p->Fields("PROJ_PROP_AUTHOR").Value.text().size(), 348u);
  // The conversions callers use: Null and non-numbers are clear errors.
  EXPECT_EQ(errorNumberOf([&] { p->Fields("PROJ_PROP_CATEGORY").Value.int32(); }),
            number(DbErrorNumber::InvalidUseOfNull));
  EXPECT_EQ(errorNumberOf([&] { p->Fields("PROJ_NAME").Value.int32(); }),
            number(DbErrorNumber::TypeMismatchVb));
  EXPECT_EQ(p->Fields("PROJ_READ_COUNT").Value.int32(), 0);  // numeric text
}

TEST(RecordsetTest, queryErrorsCarryJetNumbers) {
  REQUIRE_FIXTURE(mdb, "nwind.mdb");
  auto d = db::DBEngine().OpenDatabase(mdb.string());
  const std::pair<const char*, DbErrorNumber> cases[] = {
      {"SELECT * FROM Nowhere", DbErrorNumber::NoSuchTable},
      {"SELECT * FROM MSysNothing", DbErrorNumber::NoSuchTable},
      {"SELECT Missing FROM Products", DbErrorNumber::UnknownFieldInQuery},
      {"SELECT * FROM Products WHERE Missing = 1", DbErrorNumber::UnknownFieldInQuery},
      {"SELECT * FROM Products WHERE ProductName = 5", DbErrorNumber::TypeMismatch},
      {"SELECT * FROM Products WHERE UnitPrice = 'cheap'", DbErrorNumber::TypeMismatch},
      {"SELECT * FROM Products WHERE", DbErrorNumber::ExpressionSyntax},
      {"SELECT * FROM Products WHERE UnitPrice >", DbErrorNumber::ExpressionSyntax},
      {"SELECT * FROM Products WHERE (UnitPrice > 1", DbErrorNumber::ExpressionSyntax},
      {"SELECT * FROM Products WHERE ProductName = 'open", DbErrorNumber::ExpressionSyntax},
      {"SELECT * FROM", DbErrorNumber::FromClauseSyntax},
      {"SELECT * FROM Products Orders", DbErrorNumber::FromClauseSyntax},
      {"SELECT , FROM Products", DbErrorNumber::SelectSyntax},
      {"DELETE FROM Products", DbErrorNumber::InvalidStatement},
      {"", DbErrorNumber::InvalidStatement},
  };
  for (const auto& [sql, expected] : cases) {
    EXPECT_EQ(errorNumberOf([&, sql = sql] { d->OpenRecordset(sql, db::dbOpenSnapshot); }), number(expected))
        << sql;
  }
  try {
    d->OpenRecordset("SELECT * FROM Nowhere", db::dbOpenSnapshot);
  } catch (const db::DbException& e) {
    EXPECT_NE(e.description().find("Nowhere"), std::string::npos);
  }
}

}  // namespace
