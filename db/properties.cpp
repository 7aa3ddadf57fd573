// properties.cpp -- property blobs; the layout is described in properties.h.
#include "db/properties.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "db/bytes.h"
#include "db/catalog.h"
#include "db/table_def.h"
#include "db/table_scan.h"
#include "db/text_codec.h"

namespace db {
namespace {

constexpr size_t kMagicSize = 4;
constexpr std::array<uint8_t, kMagicSize> kJet3Magic{'K', 'K', 'D', 0};
constexpr std::array<uint8_t, kMagicSize> kJet4Magic{'M', 'R', '2', 0};

constexpr size_t kChunkHeaderSize = 4 + 2;           // length, type
constexpr size_t kNameLengthSize = 2;
constexpr size_t kBlockHeaderFixedSize = 4 + 2;      // header length, name length
// length, DDL flag, type code, name index, value length
constexpr size_t kEntryHeaderSize = 2 + 1 + 1 + 2 + 2;
constexpr size_t kMaxValueSize = 0xFFFF - kEntryHeaderSize;

// A property's value carries a column's type code.
constexpr uint8_t code(ColumnType type) { return static_cast<uint8_t>(type); }
constexpr uint8_t kTypeBoolean = code(ColumnType::Boolean);
constexpr uint8_t kTypeByte = code(ColumnType::Byte);
constexpr uint8_t kTypeInteger = code(ColumnType::Integer);
constexpr uint8_t kTypeLong = code(ColumnType::Long);
constexpr uint8_t kTypeCurrency = code(ColumnType::Currency);
constexpr uint8_t kTypeSingle = code(ColumnType::Single);
constexpr uint8_t kTypeDouble = code(ColumnType::Double);
constexpr uint8_t kTypeDateTime = code(ColumnType::DateTime);
constexpr uint8_t kTypeText = code(ColumnType::Text);
constexpr uint8_t kTypeMemo = code(ColumnType::Memo);

// The two versions differ only in the magic and in how text is stored; the magic is chosen
// by the text encoding, which is what a reader of the blob has to agree with.
struct BlobDialect {
  std::span<const uint8_t> magic;
  bool utf16;
  uint16_t codePage;
};

BlobDialect dialectOf(const DatabaseHeader& header) {
  const bool utf16 = header.format->textEncoding == TextEncoding::Utf16Le;
  return {utf16 ? std::span<const uint8_t>(kJet4Magic) : std::span<const uint8_t>(kJet3Magic),
          utf16, header.codePage};
}

std::vector<uint8_t> encodeText(std::string_view utf8, const BlobDialect& d) {
  if (d.utf16) return utf16leBytes(utf8ToUtf16(utf8));
  std::string bytes;
  encodeCodePage(utf8, d.codePage, &bytes);   // '?' for what the code page lacks, as documented
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::string decodeText(std::span<const uint8_t> bytes, const BlobDialect& d) {
  return d.utf16 ? utf16leToUtf8(bytes) : decodeCodePage(bytes, d.codePage);
}

// Text that comes back from UTF-8 as the same bytes; an odd UTF-16 length, a lone surrogate
// or a byte the code page does not define does not.
bool decodeTextExactly(std::span<const uint8_t> bytes, const BlobDialect& d, std::string* out) {
  *out = decodeText(bytes, d);
  const std::vector<uint8_t> again = encodeText(*out, d);
  return std::equal(again.begin(), again.end(), bytes.begin(), bytes.end());
}

uint8_t ownSize(uint8_t typeCode) {
  switch (typeCode) {
    case kTypeBoolean:
    case kTypeByte: return 1;
    case kTypeInteger: return 2;
    case kTypeLong: return 4;
    default: return 0;
  }
}

bool isIntegerType(uint8_t typeCode) { return ownSize(typeCode) != 0; }

// Reads the value bytes of one entry as properties.h describes.
void decodeValue(uint8_t typeCode, std::span<const uint8_t> v, const BlobDialect& d,
                 Property* p) {
  p->storedSize = 0;
  const size_t n = v.size();
  auto raw = [&] { return Variant(std::vector<uint8_t>(v.begin(), v.end())); };
  if (typeCode == kTypeText || typeCode == kTypeMemo) {
    std::string text;
    p->value = decodeTextExactly(v, d, &text) ? Variant(std::move(text)) : raw();
    return;
  }
  if (isIntegerType(typeCode)) {
    if (n == 0) {
      p->value = Variant::null();
      return;
    }
    if (n != 1 && n != 2 && n != 4) {
      p->value = raw();
      return;
    }
    uint32_t bits = n == 1 ? v[0] : n == 2 ? readU16(v, 0) : readU32(v, 0);
    // Byte and Boolean read unsigned, Integer and Long signed, each at the stored width.
    int64_t number = bits;
    if ((typeCode == kTypeInteger || typeCode == kTypeLong) && n < 4 &&
        (bits & (1u << (8 * n - 1)))) {
      number -= int64_t{1} << (8 * n);
    } else if (n == 4 && typeCode != kTypeByte && typeCode != kTypeBoolean) {
      number = static_cast<int32_t>(bits);
    }
    if (n != ownSize(typeCode)) p->storedSize = static_cast<uint8_t>(n);
    if (typeCode == kTypeBoolean) {
      p->value = Variant(number != 0);
    } else if (typeCode == kTypeByte && number <= 0xFF) {
      p->value = Variant(static_cast<uint8_t>(number));
    } else if (typeCode == kTypeInteger && number >= INT16_MIN && number <= INT16_MAX) {
      p->value = Variant(static_cast<int16_t>(number));
    } else if (number <= INT32_MAX) {
      p->value = Variant(static_cast<int32_t>(number));
    } else {
      // A 4-byte Byte above 2^31 has no integer Variant: keep its bytes.
      p->storedSize = 0;
      p->value = raw();
    }
    return;
  }
  const size_t fixed = typeCode == kTypeSingle ? 4
                       : (typeCode == kTypeDouble || typeCode == kTypeCurrency ||
                          typeCode == kTypeDateTime)
                           ? 8
                           : 0;
  if (fixed == 0) {
    p->value = raw();   // Binary, OLE, GUID, and codes with no reading of their own
  } else if (n == 0) {
    p->value = Variant::null();
  } else if (n != fixed) {
    p->value = raw();
  } else if (typeCode == kTypeSingle) {
    p->value = Variant(readF32(v, 0));
  } else if (typeCode == kTypeDouble) {
    p->value = Variant(readF64(v, 0));
  } else if (typeCode == kTypeCurrency) {
    p->value = Variant(Currency{static_cast<int64_t>(readU64(v, 0))});
  } else {
    p->value = Variant(DateValue{readF64(v, 0)});
  }
}

// One fault of a blob and the offset where it was seen; the callers add whose blob it is.
std::string at(size_t offset, const std::string& what) {
  return what + " (at byte " + std::to_string(offset) + ")";
}

// Names are re-encoded when the blob is written: one that would not come back the same cannot
// be a name Jet wrote.
bool readBlobName(std::span<const uint8_t> bytes, size_t offset, const BlobDialect& d,
                  std::string* name, std::string* fault) {
  if (decodeTextExactly(bytes, d, name)) return true;
  *fault = at(offset, "a name that is not valid text");
  return false;
}

// The name list's chunk body, which starts at `bodyStart` of the blob.
bool decodeNameList(std::span<const uint8_t> body, size_t bodyStart, const BlobDialect& d,
                    std::vector<std::string>* names, std::string* fault) {
  for (size_t p = 0; p < body.size();) {
    if (!inRange(body.size(), p, kNameLengthSize) ||
        !inRange(body.size(), p + kNameLengthSize, readU16(body, p))) {
      *fault = at(bodyStart + p, "a name that runs past the end of the name list");
      return false;
    }
    const uint16_t n = readU16(body, p);
    std::string name;
    if (!readBlobName(body.subspan(p + kNameLengthSize, n), bodyStart + p, d, &name, fault)) {
      return false;
    }
    names->push_back(std::move(name));
    p += kNameLengthSize + n;
  }
  return true;
}

// A property chunk's body: its object's name, then its entries, each naming one of `names`.
bool decodePropertyChunk(std::span<const uint8_t> body, size_t bodyStart, const BlobDialect& d,
                         const std::vector<std::string>& names, PropertyBlock* block,
                         std::string* fault) {
  if (body.size() < kBlockHeaderFixedSize) {
    *fault = at(bodyStart, "a property chunk too short for its header");
    return false;
  }
  const uint32_t headerLength = readU32(body, 0);
  const uint16_t nameLength = readU16(body, 4);
  if (headerLength != kBlockHeaderFixedSize + nameLength || headerLength > body.size()) {
    *fault = at(bodyStart, "a property chunk header of " + std::to_string(headerLength) +
                               " bytes that does not match its " + std::to_string(nameLength) +
                               "-byte name or its chunk");
    return false;
  }
  if (!readBlobName(body.subspan(kBlockHeaderFixedSize, nameLength), bodyStart, d,
                    &block->objectName, fault)) {
    return false;
  }
  for (size_t p = headerLength; p < body.size();) {
    if (!inRange(body.size(), p, kEntryHeaderSize)) {
      *fault = at(bodyStart + p, "a property entry cut short");
      return false;
    }
    const uint16_t entryLength = readU16(body, p);
    const uint16_t nameIndex = readU16(body, p + 4);
    const uint16_t valueLength = readU16(body, p + 6);
    if (entryLength != kEntryHeaderSize + valueLength || !inRange(body.size(), p, entryLength)) {
      *fault = at(bodyStart + p, "a property entry of " + std::to_string(entryLength) +
                                     " bytes with a " + std::to_string(valueLength) +
                                     "-byte value that does not fit its chunk");
      return false;
    }
    if (nameIndex >= names.size()) {
      *fault = at(bodyStart + p, "a property naming entry " + std::to_string(nameIndex) +
                                     " of a " + std::to_string(names.size()) + "-name list");
      return false;
    }
    Property prop;
    prop.name = names[nameIndex];
    prop.ddl = body[p + 2];
    prop.typeCode = body[p + 3];
    decodeValue(prop.typeCode, body.subspan(p + kEntryHeaderSize, valueLength), d, &prop);
    block->properties.push_back(std::move(prop));
    p += entryLength;
  }
  return true;
}

bool decodeBlob(std::span<const uint8_t> blob, const DatabaseHeader& header, PropertyBlob* out,
                std::string* fault) {
  const BlobDialect d = dialectOf(header);
  *out = PropertyBlob();
  if (blob.size() < kMagicSize || !std::equal(d.magic.begin(), d.magic.end(), blob.begin())) {
    *fault = at(0, std::string("no \"") + (d.utf16 ? "MR2" : "KKD") + "\" at its start, which " +
                       header.format->name + " blobs begin with");
    return false;
  }
  bool haveNames = false;
  size_t pos = kMagicSize;
  while (pos < blob.size()) {
    if (!inRange(blob.size(), pos, kChunkHeaderSize)) {
      *fault = at(pos, std::to_string(blob.size() - pos) + " stray bytes after its last chunk");
      return false;
    }
    const uint32_t length = readU32(blob, pos);
    const uint16_t type = readU16(blob, pos + 4);
    // The length check comes first, so that every later read stays inside the chunk, and a
    // chunk always moves `pos` on by at least its header.
    if (length < kChunkHeaderSize) {
      *fault = at(pos, "a chunk of " + std::to_string(length) +
                           " bytes, shorter than its own header");
      return false;
    }
    if (!inRange(blob.size(), pos, length)) {
      *fault = at(pos, "a chunk of " + std::to_string(length) + " bytes that does not fit its " +
                           std::to_string(blob.size()) + " bytes");
      return false;
    }
    const std::span<const uint8_t> body = blob.subspan(pos + kChunkHeaderSize,
                                                       length - kChunkHeaderSize);
    const size_t bodyStart = pos + kChunkHeaderSize;
    if (type == kPropertyChunkNames) {
      if (haveNames) {
        *fault = at(pos, "a second name list");
        return false;
      }
      haveNames = true;
      if (!decodeNameList(body, bodyStart, d, &out->names, fault)) return false;
    } else if (type == kPropertyChunkObject || type == kPropertyChunkPart) {
      PropertyBlock block;
      if (!decodePropertyChunk(body, bodyStart, d, out->names, &block, fault)) return false;
      out->blocks.push_back(std::move(block));
    } else {
      *fault = at(pos, "a chunk of unknown type " + std::to_string(type));
      return false;
    }
    pos += length;
  }
  return true;
}

DbError tooLong(const std::string& what, size_t size) {
  return makeError(DbErrorNumber::FieldTooSmall,
                   what + " takes " + std::to_string(size) +
                       " bytes, more than a property blob's 16-bit lengths allow.");
}

std::string describe(const std::string& objectName, const Property& p) {
  return "The property '" + p.name + "' of " +
         (objectName.empty() ? std::string("the object") : "'" + objectName + "'");
}

DbError encodeValue(const std::string& objectName, const Property& p, const BlobDialect& d,
                    std::vector<uint8_t>* out) {
  out->clear();
  const Variant& v = p.value;
  if (v.isNull()) return {};
  if (v.type() == VariantType::Binary) {
    *out = v.asBinary();
    return {};
  }
  auto mismatch = [&] {
    return makeError(DbErrorNumber::TypeMismatch,
                     describe(objectName, p) + " holds a value its type code " +
                         std::to_string(p.typeCode) + " cannot store.");
  };
  switch (p.typeCode) {
    case kTypeBoolean:
    case kTypeByte:
    case kTypeInteger:
    case kTypeLong: {
      const size_t width = p.storedSize != 0 ? p.storedSize : ownSize(p.typeCode);
      if (width != 1 && width != 2 && width != 4) return mismatch();
      int64_t number = 0;
      if (v.type() == VariantType::Boolean) {
        // Access stores yes as 1 in a Boolean property, not Jet's -1.
        number = v.asBool() ? 1 : 0;
      } else if (v.type() == VariantType::Byte || v.type() == VariantType::Integer ||
                 v.type() == VariantType::Long) {
        int32_t n = 0;
        v.toInt32(&n);
        number = n;
        if (p.typeCode == kTypeBoolean) number = number != 0 ? 1 : 0;
      } else {
        return mismatch();
      }
      const bool isUnsigned = p.typeCode == kTypeByte || p.typeCode == kTypeBoolean;
      const int64_t span = int64_t{1} << (8 * width);
      const int64_t low = isUnsigned ? 0 : -span / 2;
      const int64_t high = isUnsigned ? span - 1 : span / 2 - 1;
      if (number < low || number > high) {
        return makeError(DbErrorNumber::NumericOverflow,
                         describe(objectName, p) + " does not fit in " + std::to_string(width) +
                             " bytes.");
      }
      const auto bits = static_cast<uint32_t>(number);
      for (size_t i = 0; i < width; ++i) out->push_back(static_cast<uint8_t>(bits >> (8 * i)));
      return {};
    }
    case kTypeCurrency:
      if (v.type() != VariantType::Currency) return mismatch();
      out->resize(8);
      writeU64(*out, 0, static_cast<uint64_t>(v.asCurrency().scaled));
      return {};
    case kTypeSingle: {
      if (v.type() != VariantType::Single) return mismatch();
      const float f = v.asSingle();
      uint32_t bits;
      std::memcpy(&bits, &f, sizeof bits);
      out->resize(4);
      writeU32(*out, 0, bits);
      return {};
    }
    case kTypeDouble:
    case kTypeDateTime:
      if (p.typeCode == kTypeDouble ? v.type() != VariantType::Double
                                    : v.type() != VariantType::Date) {
        return mismatch();
      }
      out->resize(8);
      writeF64(*out, 0, p.typeCode == kTypeDouble ? v.asDouble() : v.asDate().days);
      return {};
    case kTypeText:
    case kTypeMemo:
      if (v.type() != VariantType::Text) return mismatch();
      *out = encodeText(v.asText(), d);
      return {};
    default:
      if (v.type() == VariantType::Guid) {
        out->assign(v.asGuid().begin(), v.asGuid().end());
        return {};
      }
      return mismatch();
  }
}

void appendU16(std::vector<uint8_t>* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}
void appendU32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Starts a chunk; finishChunk fills in its length once the body is written.
size_t startChunk(std::vector<uint8_t>* out, uint16_t type) {
  const size_t start = out->size();
  appendU32(out, 0);
  appendU16(out, type);
  return start;
}
void finishChunk(std::vector<uint8_t>* out, size_t start) {
  writeU32(*out, start, static_cast<uint32_t>(out->size() - start));
}

// Shared by the const and the editing look-ups.
template <typename Blob>
auto* findBlockIn(Blob& blob, std::string_view objectName) {
  decltype(&blob.blocks[0]) found = nullptr;
  for (auto& b : blob.blocks) {
    if (equalsIgnoreCase(b.objectName, objectName)) {
      found = &b;
      break;
    }
  }
  return found;
}

// Gathered from Access-made files: every occurrence of these names in the fixtures has this
// type code, DDL flag and size.
constexpr KnownProperty kKnownProperties[] = {
    {"Required", kTypeBoolean, kPropertyDdl, 0},
    {"AllowZeroLength", kTypeBoolean, kPropertyDdl, 0},
    {"DefaultValue", kTypeMemo, kPropertyDdl, 0},
    {"Description", kTypeText, kPropertyDdl, 0},
    {"Format", kTypeText, kPropertyDdl, 0},
    {"Caption", kTypeMemo, kPropertyDdl, 0},
    {"ValidationRule", kTypeMemo, kPropertyDdl, 0},
    {"ValidationText", kTypeText, kPropertyDdl, 0},
    {"InputMask", kTypeText, kPropertyDdl, 0},
    {"DecimalPlaces", kTypeByte, kPropertyDdl, 0},
    {"UnicodeCompression", kTypeBoolean, kPropertyDdl, 0},
    {"IMEMode", kTypeByte, kPropertyDdl, 0},
    {"IMESentenceMode", kTypeByte, kPropertyDdl, 0},
    {"DisplayControl", kTypeInteger, kPropertyDdl, 0},
    {"ColumnWidth", kTypeInteger, kPropertyNotDdl, 4},
    {"ColumnOrder", kTypeInteger, kPropertyNotDdl, 4},
    {"ColumnHidden", kTypeBoolean, kPropertyNotDdl, 0},
};

}  // namespace

DbError decodeProperties(std::span<const uint8_t> blob, const DatabaseHeader& header,
                         PropertyBlob* out) {
  std::string fault;
  if (decodeBlob(blob, header, out, &fault)) return {};
  *out = PropertyBlob();
  return makeError(DbErrorNumber::CorruptDatabase, "The property blob has " + fault + ".");
}

DbError encodeProperties(const PropertyBlob& blob, const DatabaseHeader& header,
                         std::vector<uint8_t>* out) {
  const BlobDialect d = dialectOf(header);
  std::vector<std::string> names = blob.names;
  std::vector<std::vector<uint16_t>> indexes(blob.blocks.size());
  for (size_t b = 0; b < blob.blocks.size(); ++b) {
    for (const Property& p : blob.blocks[b].properties) {
      auto it = std::find(names.begin(), names.end(), p.name);
      if (it == names.end()) it = names.insert(names.end(), p.name);
      const auto index = static_cast<size_t>(it - names.begin());
      if (index > 0xFFFF) return tooLong("The name list's entry count", names.size());
      indexes[b].push_back(static_cast<uint16_t>(index));
    }
  }

  std::vector<uint8_t> bytes(d.magic.begin(), d.magic.end());
  size_t chunk = startChunk(&bytes, kPropertyChunkNames);
  for (const std::string& name : names) {
    const std::vector<uint8_t> text = encodeText(name, d);
    if (text.size() > 0xFFFF) return tooLong("The property name '" + name + "'", text.size());
    appendU16(&bytes, static_cast<uint16_t>(text.size()));
    bytes.insert(bytes.end(), text.begin(), text.end());
  }
  finishChunk(&bytes, chunk);

  std::vector<uint8_t> value;
  for (size_t b = 0; b < blob.blocks.size(); ++b) {
    const PropertyBlock& block = blob.blocks[b];
    chunk = startChunk(&bytes, block.objectName.empty() ? kPropertyChunkObject
                                                        : kPropertyChunkPart);
    const std::vector<uint8_t> name = encodeText(block.objectName, d);
    if (name.size() > 0xFFFF - kBlockHeaderFixedSize) {
      return tooLong("The object name '" + block.objectName + "'", name.size());
    }
    appendU32(&bytes, static_cast<uint32_t>(kBlockHeaderFixedSize + name.size()));
    appendU16(&bytes, static_cast<uint16_t>(name.size()));
    bytes.insert(bytes.end(), name.begin(), name.end());
    for (size_t i = 0; i < block.properties.size(); ++i) {
      const Property& p = block.properties[i];
      DbError err = encodeValue(block.objectName, p, d, &value);
      if (!err.ok()) return err;
      if (value.size() > kMaxValueSize) return tooLong(describe(block.objectName, p), value.size());
      appendU16(&bytes, static_cast<uint16_t>(kEntryHeaderSize + value.size()));
      bytes.push_back(p.ddl);
      bytes.push_back(p.typeCode);
      appendU16(&bytes, indexes[b][i]);
      appendU16(&bytes, static_cast<uint16_t>(value.size()));
      bytes.insert(bytes.end(), value.begin(), value.end());
    }
    finishChunk(&bytes, chunk);
  }
  *out = std::move(bytes);
  return {};
}

DbError readPropertyBlobBytes(const PageFile& file, int32_t objectId, std::vector<uint8_t>* blob) {
  blob->clear();
  TableDef def;
  DbError err = readTableDef(file, kCatalogTdefPage, "MSysObjects", &def);
  if (!err.ok()) return err;
  const int idCol = def.findColumn("Id");
  const int propCol = def.findColumn("LvProp");
  if (idCol < 0 || propCol < 0) {
    return file.corrupt("the system object table lacks its Id or LvProp column");
  }
  TableScan scan(file, def);
  err = scan.rewind();
  if (!err.ok()) return err;
  for (bool found = true;;) {
    err = scan.next(&found);
    if (!err.ok()) return err;
    if (!found) break;
    Variant id;
    err = scan.value(static_cast<size_t>(idCol), &id);
    if (!err.ok()) return err;
    if (id.type() != VariantType::Long || id.asLong() != objectId) continue;
    // Only the matching row's long value is read: the others may span many pages.
    Variant props;
    err = scan.value(static_cast<size_t>(propCol), &props);
    if (!err.ok()) return err;
    if (props.type() == VariantType::Binary) {
      *blob = props.asBinary();
    } else if (!props.isNull()) {
      return file.corrupt("the LvProp column of the system object table is not a long binary");
    }
    return {};
  }
  return makeError(DbErrorNumber::ItemNotFound,
                   "The database '" + file.path() + "' has no object with Id " +
                       std::to_string(objectId) + ".");
}

DbError readObjectProperties(const PageFile& file, int32_t objectId, PropertyBlob* out) {
  *out = PropertyBlob();
  std::vector<uint8_t> bytes;
  DbError err = readPropertyBlobBytes(file, objectId, &bytes);
  if (!err.ok() || bytes.empty()) return err;
  std::string fault;
  if (decodeBlob(bytes, file.header(), out, &fault)) return {};
  *out = PropertyBlob();
  return file.corrupt("the property blob of object Id " + std::to_string(objectId) + " has " +
                      fault);
}

const PropertyBlock* findPropertyBlock(const PropertyBlob& blob, std::string_view objectName) {
  return findBlockIn(blob, objectName);
}

const Property* findProperty(const PropertyBlob& blob, std::string_view objectName,
                             std::string_view propertyName) {
  const PropertyBlock* block = findPropertyBlock(blob, objectName);
  if (block == nullptr) return nullptr;
  for (const Property& p : block->properties) {
    if (equalsIgnoreCase(p.name, propertyName)) return &p;
  }
  return nullptr;
}

bool booleanProperty(const PropertyBlob& blob, std::string_view objectName,
                     std::string_view propertyName, bool absent) {
  const Property* p = findProperty(blob, objectName, propertyName);
  if (p == nullptr || !p->value.isNumeric()) return absent;
  double number = 0;
  if (!p->value.toDouble(&number).ok()) return absent;
  return number != 0;
}

void setProperty(PropertyBlob* blob, std::string_view objectName, Property property) {
  for (const std::string& known : blob->names) {
    if (equalsIgnoreCase(known, property.name)) {
      property.name = known;
      break;
    }
  }
  PropertyBlock* block = findBlockIn(*blob, objectName);
  if (block == nullptr) {
    PropertyBlock fresh;
    fresh.objectName = std::string(objectName);
    const auto where = objectName.empty() ? blob->blocks.begin() : blob->blocks.end();
    block = &*blob->blocks.insert(where, std::move(fresh));
  }
  for (Property& p : block->properties) {
    if (equalsIgnoreCase(p.name, property.name)) {
      p = std::move(property);
      return;
    }
  }
  block->properties.push_back(std::move(property));
}

bool removeProperty(PropertyBlob* blob, std::string_view objectName,
                    std::string_view propertyName) {
  for (auto b = blob->blocks.begin(); b != blob->blocks.end(); ++b) {
    if (!equalsIgnoreCase(b->objectName, objectName)) continue;
    auto& props = b->properties;
    auto it = std::find_if(props.begin(), props.end(), [&](const Property& p) {
      return equalsIgnoreCase(p.name, propertyName);
    });
    if (it == props.end()) return false;
    props.erase(it);
    if (props.empty()) blob->blocks.erase(b);
    return true;
  }
  return false;
}

const KnownProperty* findKnownProperty(std::string_view name) {
  for (const KnownProperty& k : kKnownProperties) {
    if (equalsIgnoreCase(k.name, name)) return &k;
  }
  return nullptr;
}

DbError makeProperty(std::string_view name, const Variant& value, Property* out) {
  const KnownProperty* known = findKnownProperty(name);
  if (known == nullptr) {
    return makeError(DbErrorNumber::ItemNotFound,
                     "'" + std::string(name) + "' is not a property this engine knows how "
                     "Access stores.");
  }
  Property p;
  p.name = known->name;
  p.typeCode = known->typeCode;
  p.ddl = known->ddl;
  p.storedSize = known->storedSize;
  if (p.typeCode == kTypeText || p.typeCode == kTypeMemo) {
    std::string text;
    DbError err = value.toText(&text);
    if (!err.ok()) return err;
    p.value = Variant(std::move(text));
  } else {
    if (!value.isNumeric()) {
      return makeError(DbErrorNumber::TypeMismatch,
                       "The property '" + p.name + "' takes a number or a Boolean.");
    }
    int32_t number = 0;
    DbError err = value.toInt32(&number);
    if (!err.ok()) return err;
    const bool isByte = p.typeCode == kTypeByte, isInteger = p.typeCode == kTypeInteger;
    const int32_t high = isByte ? 0xFF : isInteger ? INT16_MAX : INT32_MAX;
    const int32_t low = isByte ? 0 : isInteger ? INT16_MIN : INT32_MIN;
    if (p.typeCode == kTypeBoolean) {
      p.value = Variant(number != 0);
    } else if (number < low || number > high) {
      return makeError(DbErrorNumber::NumericOverflow,
                       "The value " + std::to_string(number) + " does not fit the property '" +
                           p.name + "'.");
    } else if (p.typeCode == kTypeByte) {
      p.value = Variant(static_cast<uint8_t>(number));
    } else if (p.typeCode == kTypeInteger) {
      p.value = Variant(static_cast<int16_t>(number));
    } else {
      p.value = Variant(number);
    }
  }
  *out = std::move(p);
  return {};
}

}  // namespace db
