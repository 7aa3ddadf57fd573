// properties.h -- property blobs: the LvProp column of MSysObjects, where Access and Jet keep
// what the table definition has no room for: a table's Description, and per column Required,
// AllowZeroLength, DefaultValue, ValidationRule, Format, Caption, ColumnWidth... Jet enforces
// Required (error 3314) and AllowZeroLength (3315) from here, so a writer that wants them
// enforced must store them, and a reader must look here to know them.
//
// Layout, integers little-endian:
//   magic      4 bytes: "KKD\0" (Jet3: text in the database's code page) or "MR2\0" (Jet4:
//              text UTF-16LE, never compressed)
//   chunks     to the end of the blob, each {length: 4 (the whole chunk, these 6 bytes
//              included), type: 2, body}:
//     0x0080   the name list: {byte length: 2, name} repeated to the chunk's end. Entries
//              name their property by its index in this list. Access writes it first.
//     0x0000   the properties of the object itself (a table, a query, the database)
//     0x0001   the properties of one named part of the object (a table's column)
//   a value chunk's body:
//     header   {length: 4 (itself, the name length and the name), name length: 2, name};
//              the name is empty in a 0x0000 chunk
//     entries  {length: 2 (the whole entry), DDL flag: 1, type code: 1, name index: 2,
//              value length: 2, value} repeated to the chunk's end
// What Access-made files show (the fixtures of properties_test.cpp):
//   - The name list holds each name once. A fresh blob lists names in the order the entries
//     first use them, chunk by chunk; once a blob has been edited, names that are no longer
//     used stay, and new names are appended at the end.
//   - The object's chunk usually comes right after the name list, but edited blobs can have
//     it after the column chunks, and an object without properties of its own has none.
//   - The DDL flag is 1 for properties that belong to the schema (Required, AllowZeroLength,
//     DefaultValue, Description, Format, Caption, ValidationRule...), 0 for datasheet layout
//     (ColumnWidth, ColumnOrder, ColumnHidden); 0x81 on the engine's own ColIsGuid.
//   - A value's length need not be its type's size: ColumnWidth and ColumnOrder are Integer
//     properties stored in 4 bytes, HideNewField and TotalsRow Boolean ones in 4 bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db/format.h"
#include "db/page_file.h"
#include "db/value.h"

namespace db {

inline constexpr uint16_t kPropertyChunkNames = 0x0080;
inline constexpr uint16_t kPropertyChunkObject = 0x0000;
inline constexpr uint16_t kPropertyChunkPart = 0x0001;

// DDL flag values seen in Access-made files.
inline constexpr uint8_t kPropertyDdl = 0x01;
inline constexpr uint8_t kPropertyNotDdl = 0x00;

struct Property {
  std::string name;
  uint8_t typeCode = 0;   // a column type code (ColumnType in table_def.h)
  uint8_t ddl = 0;        // the flag byte before the type code, kept as stored
  // The value as its type code reads, as the other layers hand values out:
  //   Boolean (0x01) bool; Byte (0x02) uint8_t; Integer (0x03) int16_t, or int32_t when a
  //   4-byte value does not fit 16 bits; Long (0x04) int32_t; Currency, Single, Double,
  //   DateTime their Variant types; Text (0x0A) and Memo (0x0C) UTF-8 text; Binary, OLE,
  //   GUID and other codes the bytes (Binary).
  // A zero-length value reads as "" for Text and Memo, no bytes for the byte types, Null
  // for the fixed-size ones. Bytes that do not read as their type code (a Double of 5 bytes,
  // text that would not come back the same from UTF-8) come back as bytes, so that they are
  // written back unchanged.
  Variant value;
  // Boolean, Byte, Integer and Long only: the bytes the value took when it was not the
  // type's own size (1, 1, 2 and 4); 0 for that size. See ColumnWidth above.
  uint8_t storedSize = 0;

  bool operator==(const Property&) const = default;
};

struct PropertyBlock {
  std::string objectName;   // the column's name; empty for the object itself
  std::vector<Property> properties;   // in stored order
  bool operator==(const PropertyBlock&) const = default;
};

struct PropertyBlob {
  // The stored name list, kept so that a blob is written back as it was read. Leave it empty
  // for a new blob: the encoder lists the names the properties use, in first-use order, and
  // appends to this list any name it lacks.
  std::vector<std::string> names;
  std::vector<PropertyBlock> blocks;   // in stored order
  bool operator==(const PropertyBlob&) const = default;
};

// Reads a blob. `header` gives the version (magic, text encoding) and the Jet3 code page.
// Damaged or foreign bytes give CorruptDatabase with the byte offset of the fault: a magic
// that is not this version's, a chunk or entry that overruns its container, lengths that
// disagree, a name index outside the name list, a chunk type other than the three above,
// a second name list. A blob of the magic alone reads as empty.
DbError decodeProperties(std::span<const uint8_t> blob, const DatabaseHeader& header,
                         PropertyBlob* out);

// Writes a blob: magic, the name list (blob.names, then the names it lacks in first-use
// order; matched exactly), then one chunk per block in order, typed 0x0000 when the block's
// objectName is empty and 0x0001 otherwise. For every blob decodeProperties accepts,
// decoding the result gives the same PropertyBlob; for the blobs Access writes it gives the
// same bytes. Where that cannot hold: a Boolean stored as neither 0 nor 1 is written back as
// 1; a chunk whose type disagrees with its name (0x0000 named, 0x0001 unnamed) gets the type
// its name says; a blob of the magic alone gets an empty name list.
// Fails with TypeMismatch when a value does not suit its type code (see Property::value;
// Null and bytes suit every code), with NumericOverflow when a number does not fit its
// size, and with FieldTooSmall when a name or value is too long for its 16-bit length.
// Jet3 text outside the code page is written with '?' in place of what it lacks.
DbError encodeProperties(const PropertyBlob& blob, const DatabaseHeader& header,
                         std::vector<uint8_t>* out);

// The raw LvProp bytes of the MSysObjects row (definition on page 2) whose Id is `objectId`;
// empty when the field is Null. A table's Id is its CatalogEntry::id. ItemNotFound when no
// row has that Id.
DbError readPropertyBlobBytes(const PageFile& file, int32_t objectId, std::vector<uint8_t>* blob);

// readPropertyBlobBytes, then decodeProperties; a Null field gives an empty blob. A damaged
// blob is reported naming the file and the object.
DbError readObjectProperties(const PageFile& file, int32_t objectId, PropertyBlob* out);

// The block of `objectName` ("" for the object itself); names compare without regard to
// letter case, as Jet compares them. nullptr when absent.
const PropertyBlock* findPropertyBlock(const PropertyBlob& blob, std::string_view objectName);
// A property of that block by name, also without regard to case; nullptr when absent.
const Property* findProperty(const PropertyBlob& blob, std::string_view objectName,
                             std::string_view propertyName);

// A yes/no property such as Required or AllowZeroLength: its value when present and a number
// or Boolean (any non-zero number is yes), `absent` otherwise.
bool booleanProperty(const PropertyBlob& blob, std::string_view objectName,
                     std::string_view propertyName, bool absent);

// Sets `property` on `objectName`: replaces the property of that name (without regard to
// case) in place, or appends it to the block. A missing block is created: the object's own
// block before all others, as Access places it, a column's block after all others. When the
// name list already holds the name in another letter case, that spelling is used, so that
// the list does not gain a second entry for it.
void setProperty(PropertyBlob* blob, std::string_view objectName, Property property);

// Removes a property; a block left without properties is removed too (Access writes no empty
// blocks). The name stays in the name list, as Access leaves it. False when it was absent.
bool removeProperty(PropertyBlob* blob, std::string_view objectName,
                    std::string_view propertyName);

// What Access stores for a property its table designer sets, as seen in Access-made files.
struct KnownProperty {
  const char* name;
  uint8_t typeCode;
  uint8_t ddl;
  uint8_t storedSize;   // as Property::storedSize
};

// Required, AllowZeroLength, DefaultValue, Description, Format, Caption, ValidationRule,
// ValidationText, InputMask, DecimalPlaces, UnicodeCompression, IMEMode, IMESentenceMode,
// DisplayControl, ColumnWidth, ColumnOrder, ColumnHidden; nullptr for other names.
const KnownProperty* findKnownProperty(std::string_view name);

// A property as Access would store it: the known spelling, type code, DDL flag and size,
// and `value` converted to that type (a Boolean from a Boolean or number, a number from any
// number, text from any value that has a text form). ItemNotFound for a name
// findKnownProperty does not know; TypeMismatch, or the conversion's error, for a value that
// does not convert.
DbError makeProperty(std::string_view name, const Variant& value, Property* out);

}  // namespace db
