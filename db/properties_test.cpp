// Property blobs: every blob of the Access-made fixtures reads and is written back byte for
// byte; values read back as Access shows them (checked against mdbtools' mdb-prop); the
// helpers a writer uses store properties as Access does; damaged blobs give errors, not
// crashes.
#include "db/properties.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "db/bytes.h"
#include "db/table_scan.h"
#include "db/test_support.h"

namespace {

using db::DbErrorNumber;
using db::Property;
using db::PropertyBlob;
using db::Variant;
using db::VariantType;
using testing_support::headerFor;
using testing_support::OpenedFile;

constexpr int kCorrupt = static_cast<int>(DbErrorNumber::CorruptDatabase);

struct ObjectBlob {
  int32_t id = 0;
  std::string name;
  std::vector<uint8_t> bytes;
  PropertyBlob decoded;
};

// Every non-Null LvProp of MSysObjects, read with a plain table scan rather than through
// readPropertyBlobBytes, so that the two can be compared, and decoded.
std::vector<ObjectBlob> scanBlobs(const db::PageFile& file) {
  std::vector<ObjectBlob> out;
  db::TableDef def;
  EXPECT_TRUE(db::readTableDef(file, db::kCatalogTdefPage, "MSysObjects", &def).ok());
  const int idCol = def.findColumn("Id");
  const int nameCol = def.findColumn("Name");
  const int propCol = def.findColumn("LvProp");
  db::TableScan scan(file, def);
  EXPECT_TRUE(scan.rewind().ok());
  for (bool found = true;;) {
    EXPECT_TRUE(scan.next(&found).ok());
    if (!found) break;
    Variant id, name, props;
    EXPECT_TRUE(scan.value(idCol, &id).ok());
    EXPECT_TRUE(scan.value(nameCol, &name).ok());
    EXPECT_TRUE(scan.value(propCol, &props).ok());
    if (props.isNull()) continue;
    ObjectBlob& b = out.emplace_back(ObjectBlob{id.asLong(), name.asText(), props.asBinary(), {}});
    const db::DbError err = db::decodeProperties(b.bytes, file.header(), &b.decoded);
    EXPECT_TRUE(err.ok()) << b.name << ": " << err.description;
  }
  return out;
}

std::vector<uint8_t> encode(const PropertyBlob& blob, const db::DatabaseHeader& header) {
  std::vector<uint8_t> out;
  const db::DbError err = db::encodeProperties(blob, header, &out);
  EXPECT_TRUE(err.ok()) << err.description;
  return out;
}

PropertyBlob decode(const std::vector<uint8_t>& bytes, const db::DatabaseHeader& header) {
  PropertyBlob blob;
  const db::DbError err = db::decodeProperties(bytes, header, &blob);
  EXPECT_TRUE(err.ok()) << err.description;
  return blob;
}

// The names a blob's entries use, in first-use order: what Access lists in a fresh blob.
std::vector<std::string> firstUseOrder(const PropertyBlob& blob) {
  std::vector<std::string> names;
  for (const auto& block : blob.blocks) {
    for (const Property& p : block.properties) {
      if (std::find(names.begin(), names.end(), p.name) == names.end()) names.push_back(p.name);
    }
  }
  return names;
}

PropertyBlob tableProperties(const OpenedFile& f, const std::string& table) {
  db::CatalogEntry entry;
  EXPECT_TRUE(f.catalog.findTable(table, &entry).ok()) << table;
  PropertyBlob blob;
  const db::DbError err = db::readObjectProperties(*f.file, entry.id, &blob);
  EXPECT_TRUE(err.ok()) << err.description;
  return blob;
}

// ---------------------------------------------------------------------------------------
// Every blob of every fixture, per file.

struct FixtureCase {
  const char* file;
  size_t blobCount;      // non-Null LvProp fields in MSysObjects
  const char* magic;
};

void PrintTo(const FixtureCase& c, std::ostream* os) { *os << c.file; }

// The file and its blobs, read once per test.
class FixtureBlobs : public ::testing::TestWithParam<FixtureCase> {
 protected:
  void SetUp() override {
    REQUIRE_FIXTURE(path, GetParam().file);
    opened = std::make_unique<OpenedFile>(path);
    file = opened->file.get();
    ASSERT_NE(file, nullptr);
    blobs = scanBlobs(*file);
  }
  std::unique_ptr<OpenedFile> opened;
  const db::PageFile* file = nullptr;
  std::vector<ObjectBlob> blobs;
};

// Every blob decodes, is found by its object's id, and is written back byte for byte. Its stored
// name list is kept for writing it back: where that list is exactly the first-use order, Access
// wrote the blob in one go, and building the list afresh must give Access's bytes; where it is
// not (names left behind by edits, names appended later), the fresh list changes the bytes but
// not what they say. The types of the properties Access defines agree with findKnownProperty,
// apart from the one the engine itself writes.
TEST_P(FixtureBlobs, everyBlobDecodesIsFoundByItsIdAndIsWrittenBackAsAccessWritesIt) {
  ASSERT_EQ(blobs.size(), GetParam().blobCount);
  size_t properties = 0, fresh = 0;
  for (const ObjectBlob& b : blobs) {
    SCOPED_TRACE(b.name + " (Id " + std::to_string(b.id) + ")");
    ASSERT_GE(b.bytes.size(), 4u);
    EXPECT_EQ(std::memcmp(b.bytes.data(), GetParam().magic, 4), 0);
    EXPECT_EQ(encode(b.decoded, file->header()), b.bytes);
    PropertyBlob viaId;
    const db::DbError err = db::readObjectProperties(*file, b.id, &viaId);
    ASSERT_TRUE(err.ok()) << err.description;
    EXPECT_EQ(viaId, b.decoded);

    PropertyBlob rebuilt = b.decoded;
    rebuilt.names.clear();
    const std::vector<uint8_t> bytes = encode(rebuilt, file->header());
    if (b.decoded.names == firstUseOrder(b.decoded)) {
      ++fresh;
      EXPECT_EQ(bytes, b.bytes);
    } else {
      const PropertyBlob again = decode(bytes, file->header());
      EXPECT_EQ(again.blocks, b.decoded.blocks);
      EXPECT_EQ(again.names, firstUseOrder(b.decoded));
    }

    for (const auto& block : b.decoded.blocks) {
      for (const Property& stored : block.properties) {
        ++properties;
        if (db::findKnownProperty(stored.name) == nullptr) continue;
        // A GUID autonumber's default is set by Jet, not the designer, and is Text.
        if (stored.name == "DefaultValue" && stored.value == Variant("GenGUID()")) {
          EXPECT_EQ(stored.typeCode, 0x0A);
          continue;
        }
        SCOPED_TRACE(block.objectName + "." + stored.name);
        Property made;
        ASSERT_TRUE(db::makeProperty(stored.name, stored.value, &made).ok());
        EXPECT_EQ(made, stored);
      }
    }
  }
  EXPECT_GT(properties, 0u);
  EXPECT_GT(fresh, 0u);
  // The Tables container has no properties: a Null field reads as an empty blob.
  PropertyBlob blob;
  blob.names = {"stale"};
  ASSERT_TRUE(db::readObjectProperties(*file, db::kTablesContainerId, &blob).ok());
  EXPECT_EQ(blob, PropertyBlob());
  // Id 1 is never used: table ids are tdef pages, and page 1 is the global usage map.
  const db::DbError missing = db::readObjectProperties(*file, 1, &blob);
  EXPECT_EQ(missing.number, static_cast<int>(DbErrorNumber::ItemNotFound));
  EXPECT_NE(missing.description.find("Id 1"), std::string::npos) << missing.description;
}

INSTANTIATE_TEST_SUITE_P(
    AccessFiles, FixtureBlobs,
    ::testing::Values(FixtureCase{"nwind.mdb", 81, "KKD"},
                      FixtureCase{"testV1997.mdb", 7, "KKD"},
                      FixtureCase{"testIndexCodesV1997.mdb", 32, "KKD"},
                      FixtureCase{"test2V2003.mdb", 7, "MR2"},
                      FixtureCase{"testUnicodeCompV2003.mdb", 10, "MR2"},
                      FixtureCase{"compIndexTestV2000.mdb", 3, "MR2"},
                      FixtureCase{"overflowTestV2003.mdb", 9, "MR2"},
                      FixtureCase{"fixedNumericTestV2003.mdb", 10, "MR2"}),
    [](const ::testing::TestParamInfo<FixtureCase>& info) {
      std::string name = info.param.file;
      return name.substr(0, name.find('.'));
    });

// ---------------------------------------------------------------------------------------
// Known values, checked with mdb-prop.

// Checks one property's type code, DDL flag, value and, where given, stored size.
void expectProperty(const PropertyBlob& blob, const std::string& object, const std::string& name,
                    uint8_t typeCode, uint8_t ddl, const Variant& value, int storedSize = -1) {
  SCOPED_TRACE(object + "." + name);
  const Property* p = db::findProperty(blob, object, name);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->typeCode, typeCode);
  EXPECT_EQ(p->ddl, ddl);
  EXPECT_EQ(p->value, value);
  if (storedSize >= 0) {
    EXPECT_EQ(p->storedSize, storedSize);
  }
}

TEST(KnownValues, jet3ColumnAndTablePropertiesOfNorthwind) {
  REQUIRE_FIXTURE(path, "nwind.mdb");
  const OpenedFile f(path);
  const PropertyBlob details = tableProperties(f, "Order Details");
  expectProperty(details, "", "Description", 0x0A, 1,
                 Variant("Details on products, quantities, and prices for each order in the "
                         "Orders table."));
  expectProperty(details, "", "DatasheetGridlinesBehavior", 0x02, 0, Variant(uint8_t{3}));
  expectProperty(details, "OrderID", "Required", 0x01, 1, Variant(false));
  expectProperty(details, "OrderID", "Caption", 0x0C, 1, Variant("Order ID"));
  expectProperty(details, "ProductID", "Required", 0x01, 1, Variant(true));
  expectProperty(details, "UnitPrice", "DefaultValue", 0x0C, 1, Variant("0"));
  expectProperty(details, "UnitPrice", "ValidationRule", 0x0C, 1, Variant(">=0"));
  expectProperty(details, "Discount", "DecimalPlaces", 0x02, 1, Variant(uint8_t{0}));
  expectProperty(details, "OrderID", "DecimalPlaces", 0x02, 1, Variant(uint8_t{255}));
  // An Integer property in 4 bytes.
  expectProperty(details, "ProductID", "ColumnWidth", 0x03, 0, Variant(int16_t{3405}), 4);

  const PropertyBlob shippers = tableProperties(f, "shippers");   // any letter case
  EXPECT_FALSE(db::booleanProperty(shippers, "CompanyName", "AllowZeroLength", true));
  EXPECT_TRUE(db::booleanProperty(shippers, "companyname", "required", false));
  EXPECT_FALSE(db::booleanProperty(shippers, "Phone", "Required", true));
  EXPECT_FALSE(db::booleanProperty(shippers, "Phone", "AllowZeroLength", true));
  // ShipperID has no Required property: the fallback decides.
  EXPECT_TRUE(db::booleanProperty(shippers, "ShipperID", "Required", true));
  EXPECT_EQ(db::findProperty(shippers, "ShipperID", "ColumnWidth")->value, Variant(int16_t{1155}));
  EXPECT_EQ(db::findProperty(shippers, "NoSuchColumn", "Required"), nullptr);
}

TEST(KnownValues, jet4ColumnTableAndDatabaseProperties) {
  REQUIRE_FIXTURE(path, "testUnicodeCompV2003.mdb");
  const OpenedFile f(path);
  const PropertyBlob table = tableProperties(f, "Table");
  expectProperty(table, "Unicode", "AllowZeroLength", 0x01, 1, Variant(true));
  expectProperty(table, "Unicode", "Required", 0x01, 1, Variant(false));
  expectProperty(table, "Unicode", "UnicodeCompression", 0x01, 1, Variant(true));
  expectProperty(table, "Unicode", "IMESentenceMode", 0x02, 1, Variant(uint8_t{3}));
  expectProperty(table, "Unicode", "ColumnWidth", 0x03, 0, Variant(int16_t{1770}));
  expectProperty(table, "ID", "ColumnWidth", 0x03, 0, Variant(int16_t{-1}));
  expectProperty(table, "", "BackShade", 0x06, 0, Variant(100.0f));
  // A Boolean stored in 4 bytes.
  expectProperty(table, "", "HideNewField", 0x01, 0, Variant(false), 4);
  const Property* guid = db::findProperty(table, "Unicode", "GUID");
  ASSERT_NE(guid, nullptr);
  EXPECT_EQ(guid->typeCode, 0x09);
  ASSERT_EQ(guid->value.type(), VariantType::Binary);
  // mdb-prop prints {4D1C8D43-2DE2-410A-BC852830E2AA5CFB}: the GUID's memory layout.
  const std::vector<uint8_t> expected{0x43, 0x8D, 0x1C, 0x4D, 0xE2, 0x2D, 0x0A, 0x41,
                                      0xBC, 0x85, 0x28, 0x30, 0xE2, 0xAA, 0x5C, 0xFB};
  EXPECT_EQ(guid->value.asBinary(), expected);
  const Property* nameMap = db::findProperty(table, "", "NameMap");
  ASSERT_NE(nameMap, nullptr);
  EXPECT_EQ(nameMap->typeCode, 0x0B);
  EXPECT_EQ(nameMap->value.asBinary().size(), 200u);

  PropertyBlob database;
  ASSERT_TRUE(db::readObjectProperties(*f.file, 0x10000000, &database).ok());   // MSysDb
  expectProperty(database, "", "AccessVersion", 0x0A, 0, Variant("09.50"));
  expectProperty(database, "", "Build", 0x04, 0, Variant(int32_t{1104}));
}

TEST(KnownValues, jet4DefaultValueIsMemoAsInJet3) {
  REQUIRE_FIXTURE(path, "compIndexTestV2000.mdb");
  const PropertyBlob table = tableProperties(OpenedFile(path), "Table1");
  expectProperty(table, "CD_AGENTE", "DefaultValue", 0x0C, 1, Variant("0"));
  expectProperty(table, "CD_AGENTE", "Required", 0x01, 1, Variant(false));
  expectProperty(table, "RS_AGENTE", "AllowZeroLength", 0x01, 1, Variant(true));
}

// ---------------------------------------------------------------------------------------
// Editing, as a writer does it, and damage, on the blob of nwind's Shippers.

class Shippers : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_FIXTURE(path, "nwind.mdb");
    opened = std::make_unique<OpenedFile>(path);
    blob = tableProperties(*opened, "Shippers");
  }
  const db::DatabaseHeader& header() const { return opened->file->header(); }
  std::unique_ptr<OpenedFile> opened;
  PropertyBlob blob;
};

TEST_F(Shippers, replacingAValueChangesOnlyItsBytes) {
  const std::vector<uint8_t> before = encode(blob, header());
  Property required;
  ASSERT_TRUE(db::makeProperty("REQUIRED", Variant(true), &required).ok());
  db::setProperty(&blob, "Phone", required);
  const std::vector<uint8_t> after = encode(blob, header());
  ASSERT_EQ(after.size(), before.size());
  size_t changed = 0;
  for (size_t i = 0; i < before.size(); ++i) changed += before[i] != after[i];
  EXPECT_EQ(changed, 1u);
  const PropertyBlob reread = decode(after, header());
  EXPECT_TRUE(db::booleanProperty(reread, "Phone", "Required", false));
  EXPECT_EQ(reread.names, blob.names);
}

TEST_F(Shippers, newNamesAreAppendedAndNewBlocksPlacedAsAccessPlacesThem) {
  const PropertyBlob original = blob;
  ASSERT_EQ(db::findProperty(blob, "Phone", "InputMask"), nullptr);
  Property mask;
  ASSERT_TRUE(db::makeProperty("InputMask", Variant("!\\(999\\) 000-0000"), &mask).ok());
  db::setProperty(&blob, "Phone", mask);
  Property description;
  ASSERT_TRUE(db::makeProperty("Description", Variant("Added later"), &description).ok());
  db::setProperty(&blob, "NewColumn", description);

  const PropertyBlob reread = decode(encode(blob, header()), header());
  // The old list is kept as it was, the new name comes last.
  ASSERT_EQ(reread.names.size(), original.names.size() + 1);
  EXPECT_TRUE(std::equal(original.names.begin(), original.names.end(), reread.names.begin()));
  EXPECT_EQ(reread.names.back(), "InputMask");
  EXPECT_EQ(db::findProperty(reread, "Phone", "InputMask")->value, mask.value);
  EXPECT_EQ(reread.blocks.back().objectName, "NewColumn");
  EXPECT_EQ(reread.blocks.front().objectName, "");   // the table's own block stays first

  // A blob without a block for the object itself gets it first.
  PropertyBlob columnsOnly;
  db::setProperty(&columnsOnly, "A", description);
  db::setProperty(&columnsOnly, "", description);
  ASSERT_EQ(columnsOnly.blocks.size(), 2u);
  EXPECT_EQ(columnsOnly.blocks[0].objectName, "");
}

TEST_F(Shippers, removingKeepsTheNameAndDropsAnEmptiedBlock) {
  const std::vector<std::string> names = blob.names;
  const size_t blocks = blob.blocks.size();
  EXPECT_TRUE(db::removeProperty(&blob, "phone", "allowzerolength"));
  EXPECT_FALSE(db::removeProperty(&blob, "Phone", "AllowZeroLength"));
  EXPECT_EQ(db::findProperty(blob, "Phone", "AllowZeroLength"), nullptr);
  const std::vector<Property> phone = db::findPropertyBlock(blob, "Phone")->properties;
  for (const Property& p : phone) EXPECT_TRUE(db::removeProperty(&blob, "Phone", p.name));
  EXPECT_EQ(db::findPropertyBlock(blob, "Phone"), nullptr);
  EXPECT_EQ(blob.blocks.size(), blocks - 1);
  const PropertyBlob reread = decode(encode(blob, header()), header());
  EXPECT_EQ(reread.names, names);
  EXPECT_EQ(reread.blocks, blob.blocks);
}

TEST(Editing, makePropertyRefusesWhatAccessWouldNotStore) {
  Property p;
  EXPECT_EQ(db::makeProperty("NoSuchProperty", Variant(true), &p).number,
            static_cast<int>(DbErrorNumber::ItemNotFound));
  EXPECT_EQ(db::makeProperty("Required", Variant("yes"), &p).number,
            static_cast<int>(DbErrorNumber::TypeMismatch));
  EXPECT_EQ(db::makeProperty("DecimalPlaces", Variant(int32_t{256}), &p).number,
            static_cast<int>(DbErrorNumber::NumericOverflow));
  EXPECT_EQ(db::makeProperty("Description", Variant(), &p).number,
            static_cast<int>(DbErrorNumber::InvalidUseOfNull));
  ASSERT_TRUE(db::makeProperty("DefaultValue", Variant(int32_t{0}), &p).ok());
  EXPECT_EQ(p.value, Variant("0"));
  ASSERT_TRUE(db::makeProperty("allowzerolength", Variant(int16_t{0}), &p).ok());
  EXPECT_EQ(p.name, "AllowZeroLength");
  EXPECT_EQ(p.value, Variant(false));
}

// ---------------------------------------------------------------------------------------
// Encoding rules, per version.

TEST(Encoding, textAndNamesAreStoredInEachVersionsEncoding) {
  const struct {
    const db::FormatDescriptor* format;
    std::string text;               // UTF-8
    std::vector<uint8_t> stored;    // as the blob holds it
  } cases[] = {
      {&db::kVersion3, "Gr\xC3\xB6\xC3\x9F" "e \xE2\x82\xAC",   // "Größe €" in Windows-1252
       {'G', 'r', 0xF6, 0xDF, 'e', ' ', 0x80}},
      {&db::kVersion4, "\xE6\x97\xA5\xC3\xA9",                  // "日é" in UTF-16LE
       {0xE5, 0x65, 0xE9, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format->name);
    const db::DatabaseHeader header = headerFor(*c.format);
    PropertyBlob blob;
    db::setProperty(&blob, c.text, Property{c.text, 0x0A, 1, Variant(c.text)});
    const std::vector<uint8_t> bytes = encode(blob, header);
    // magic, name list {6, length 2, name}, chunk {6, header 6 + name, entry 8 + value}
    const size_t n = c.stored.size();
    ASSERT_EQ(bytes.size(), 4 + (6 + 2 + n) + (6 + 6 + n + 8 + n));
    EXPECT_TRUE(std::equal(c.stored.begin(), c.stored.end(), bytes.begin() + 4 + 6 + 2));
    EXPECT_TRUE(std::equal(c.stored.begin(), c.stored.end(), bytes.end() - n));
    EXPECT_EQ(decode(bytes, header).blocks, blob.blocks);
  }
}

TEST(Encoding, numbersKeepTheirStoredSizeAndMustFitIt) {
  const db::DatabaseHeader header = headerFor(db::kVersion4);
  constexpr DbErrorNumber kFits = DbErrorNumber::Ok;
  const struct {
    Property written;
    DbErrorNumber error;
    Variant readBack;
    int storedSize = -1;  // checked where not -1
  } cases[] = {
      {{"W", 0x03, 0, Variant(int32_t{40000}), 0}, DbErrorNumber::NumericOverflow, {}},
      {{"W", 0x03, 0, Variant(int32_t{40000}), 4}, kFits, Variant(int32_t{40000})},
      {{"W", 0x03, 0, Variant(int16_t{-1}), 4}, kFits, Variant(int16_t{-1}), 4},
      {{"W", 0x03, 0, Variant(int16_t{-1}), 0}, kFits, Variant(int16_t{-1})},  // two bytes, signed
      {{"B", 0x02, 1, Variant(uint8_t{255}), 0}, kFits, Variant(uint8_t{255})},
      {{"B", 0x02, 1, Variant(int16_t{-1}), 0}, DbErrorNumber::NumericOverflow, {}},
      {{"D", 0x07, 0, Variant(0.25), 0}, kFits, Variant(0.25)},
      {{"T", 0x08, 0, Variant(db::DateValue{-1.5}), 0}, kFits, Variant(db::DateValue{-1.5})},
      {{"C", 0x05, 0, Variant(db::Currency{-12345}), 0}, kFits, Variant(db::Currency{-12345})},
      {{"N", 0x0A, 0, Variant(), 0}, kFits, Variant("")},  // a zero-length Text value reads as ""
      {{"N", 0x04, 0, Variant(), 0}, kFits, Variant()},
      {{"X", 0x01, 1, Variant("True"), 0}, DbErrorNumber::TypeMismatch, {}},
      {{"X", 0x0A, 1, Variant(int32_t{1}), 0}, DbErrorNumber::TypeMismatch, {}},
      {{"M", 0x0C, 1, Variant(std::string(40000, 'x')), 0}, DbErrorNumber::FieldTooSmall, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written.name + " " + (c.written.value.isNull() ? "Null" : c.written.value.text().substr(0, 8)));
    PropertyBlob blob;
    db::setProperty(&blob, "", c.written);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(db::encodeProperties(blob, header, &bytes).number, static_cast<int>(c.error));
    if (c.error != kFits) continue;
    const Property back = decode(bytes, header).blocks.at(0).properties.at(0);
    EXPECT_EQ(back.value, c.readBack);
    if (c.storedSize >= 0) {
      EXPECT_EQ(back.storedSize, c.storedSize);
    }
  }
}

// Bytes that do not read as their type are kept, so that they are written back as they were.
TEST(Encoding, oddValuesAreKeptAsBytes) {
  const db::DatabaseHeader header = headerFor(db::kVersion4);
  // Name list {"P"}, then an object chunk of one Text entry of 3 bytes (odd for UTF-16) and
  // one Double entry of 2 bytes.
  const std::vector<uint8_t> blob{
      'M', 'R', '2', 0,
      10, 0, 0, 0, 0x80, 0, 2, 0, 'P', 0,
      6 + 6 + 11 + 10, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0,
      11, 0, 1, 0x0A, 0, 0, 3, 0, 'a', 0, 'b',
      10, 0, 0, 0x07, 0, 0, 2, 0, 1, 2};
  const PropertyBlob decoded = decode(blob, header);
  ASSERT_EQ(decoded.blocks.size(), 1u);
  ASSERT_EQ(decoded.blocks[0].properties.size(), 2u);
  EXPECT_EQ(decoded.blocks[0].properties[0].value, Variant(std::vector<uint8_t>{'a', 0, 'b'}));
  EXPECT_EQ(decoded.blocks[0].properties[1].value, Variant(std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(encode(decoded, header), blob);
}

// ---------------------------------------------------------------------------------------
// Damaged blobs.

TEST_F(Shippers, namedFaultsAreReportedWithTheirOffset) {
  std::vector<uint8_t> good;
  ASSERT_TRUE(db::readPropertyBlobBytes(*opened->file, 581, &good).ok());
  ASSERT_GT(good.size(), 100u);
  const uint32_t namesLength = db::readU32(good, 4);
  const size_t objectChunk = 4 + namesLength;
  const size_t firstEntry = objectChunk + 6 + 6;
  const struct {
    const char* what;
    size_t offset;
    std::vector<uint8_t> bytes;
    const char* words;  // expected in the description
  } cases[] = {
      {"wrong magic", 0, {'M', 'R', '2'}, "KKD"},
      {"chunk longer than the blob", 4, {0xFF, 0xFF, 0, 0}, "does not fit"},
      {"chunk shorter than its header", 4, {5, 0, 0, 0}, "shorter than its own header"},
      {"unknown chunk type", objectChunk + 4, {7, 0}, "unknown type 7"},
      {"second name list", objectChunk + 4, {0x80, 0}, "second name list"},
      {"name longer than the list", 4 + 6, {0xFF, 0}, "past the end of the name list"},
      {"block header length", objectChunk + 6, {9, 0, 0, 0}, "header of 9 bytes"},
      {"entry length", firstEntry, {0x30, 0}, "entry of 48 bytes"},
      {"name index", firstEntry + 4, {0xE8, 0x03}, "naming entry 1000"},
  };
  for (const auto& d : cases) {
    SCOPED_TRACE(d.what);
    std::vector<uint8_t> bad = good;
    std::copy(d.bytes.begin(), d.bytes.end(), bad.begin() + d.offset);
    PropertyBlob out;
    out.names = {"left over"};
    const db::DbError err = db::decodeProperties(bad, header(), &out);
    EXPECT_EQ(err.number, kCorrupt);
    EXPECT_NE(err.description.find(d.words), std::string::npos) << err.description;
    EXPECT_NE(err.description.find("at byte "), std::string::npos) << err.description;
    EXPECT_EQ(out, PropertyBlob());
  }
  // The version decides the magic: a Jet3 blob is no Jet4 blob.
  PropertyBlob out;
  const db::DbError err = db::decodeProperties(good, headerFor(db::kVersion4), &out);
  EXPECT_EQ(err.number, kCorrupt);
  EXPECT_NE(err.description.find("MR2"), std::string::npos) << err.description;
}

// A blob cut short reads only when the cut falls between chunks, and then as the chunks
// before it. Any byte changed: an error, or a blob that is written and read again to the same
// bytes.
TEST_P(FixtureBlobs, cutOrChangedBlobsGiveAnErrorOrWhatTheyStillSay) {
  size_t decoded = 0, refused = 0;
  for (const ObjectBlob& b : blobs) {
    SCOPED_TRACE(b.name);
    std::vector<size_t> chunkEnds{4};
    for (size_t pos = 4; pos < b.bytes.size(); pos += db::readU32(b.bytes, pos)) {
      chunkEnds.push_back(pos + db::readU32(b.bytes, pos));
    }
    for (size_t length = 0; length < b.bytes.size(); ++length) {
      PropertyBlob out;
      const db::DbError err = db::decodeProperties(
          std::span<const uint8_t>(b.bytes.data(), length), file->header(), &out);
      const auto cut = std::find(chunkEnds.begin(), chunkEnds.end(), length);
      if (cut == chunkEnds.end()) {
        EXPECT_EQ(err.number, kCorrupt) << "cut at " << length;
        continue;
      }
      ASSERT_TRUE(err.ok()) << "cut at " << length << ": " << err.description;
      // Chunks before the cut: the name list (when present) and the first blocks.
      const size_t blocks = cut - chunkEnds.begin() <= 1 ? 0 : cut - chunkEnds.begin() - 1;
      ASSERT_LE(blocks, b.decoded.blocks.size());
      EXPECT_TRUE(std::equal(out.blocks.begin(), out.blocks.end(), b.decoded.blocks.begin()));
      EXPECT_EQ(out.blocks.size(), blocks);
    }
    for (size_t i = 0; i < b.bytes.size(); ++i) {
      for (uint8_t change : {uint8_t{0xFF}, uint8_t{0x01}}) {
        std::vector<uint8_t> bad = b.bytes;
        bad[i] ^= change;
        PropertyBlob out;
        const db::DbError err = db::decodeProperties(bad, file->header(), &out);
        if (!err.ok()) {
          EXPECT_EQ(err.number, kCorrupt);
          ++refused;
          continue;
        }
        ++decoded;
        const std::vector<uint8_t> once = encode(out, file->header());
        EXPECT_EQ(encode(decode(once, file->header()), file->header()), once) << "byte " << i;
      }
    }
  }
  // Both outcomes occur: changed text still reads, changed lengths do not.
  EXPECT_GT(decoded, 0u);
  EXPECT_GT(refused, 0u);
}

// The file-level read names the file and the object when the stored blob is damaged.
TEST_F(Shippers, aDamagedBlobInTheFileIsReportedWithFileAndObject) {
  testing_support::ScratchDir dir;
  const std::filesystem::path copy = dir.file("nwind.mdb");
  std::vector<uint8_t> bytes = testing_support::readBytes(testing_support::fixturesDir() / "nwind.mdb");
  std::vector<uint8_t> blob;
  ASSERT_TRUE(db::readPropertyBlobBytes(*opened->file, 415, &blob).ok());   // Order Details
  // This blob sits in one long-value row: find its start in the file and lengthen its name
  // list chunk past the blob's end.
  const auto at = std::search(bytes.begin(), bytes.end(), blob.begin(), blob.begin() + 64);
  ASSERT_NE(at, bytes.end());
  ASSERT_EQ(std::search(at + 1, bytes.end(), blob.begin(), blob.begin() + 64), bytes.end());
  const size_t offset = static_cast<size_t>(at - bytes.begin());
  bytes[offset + 5] = 0x40;
  testing_support::writeBytes(copy, bytes);

  const OpenedFile damaged(copy);
  PropertyBlob out;
  const db::DbError err = db::readObjectProperties(*damaged.file, 415, &out);
  EXPECT_EQ(err.number, kCorrupt);
  EXPECT_NE(err.description.find(copy.string()), std::string::npos) << err.description;
  EXPECT_NE(err.description.find("object Id 415"), std::string::npos) << err.description;
  // The other objects still read.
  EXPECT_TRUE(db::readObjectProperties(*damaged.file, 581, &out).ok());
}

}  // namespace
