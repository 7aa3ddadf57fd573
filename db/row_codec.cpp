#include "db/row_codec.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "db/bytes.h"
#include "db/text_codec.h"

namespace db {
namespace {

// Jet3 offsets are one byte: reconstruct them with the jump table (see the header comment).
// `e` is the last row byte, `m` the mask size. Fills offsets[0..v], offsets[v] being EOD.
bool jet3Offsets(std::span<const uint8_t> row, size_t m, size_t v, std::vector<uint32_t>* offsets) {
  const size_t e = row.size() - 1;
  size_t jumps = (row.size() - 1) / 256;
  if (e < m + jumps + 1) return false;
  const size_t p = e - m - jumps - 1;  // position of offset 0
  if (p < v) return false;
  // The last jump entry is a placeholder when EOD itself lies below the last boundary.
  if (jumps > 0 && (p - v) / 256 < jumps) --jumps;
  size_t used = 0;
  offsets->resize(v + 1);
  for (size_t i = 0; i <= v; ++i) {
    while (used < jumps && row[e - m - 1 - used] == i) ++used;
    (*offsets)[i] = static_cast<uint32_t>(row[p - i] + 256 * used);
  }
  return true;
}

}  // namespace

size_t fixedAreaEnd(const TableDef& def) {
  size_t end = 0;
  for (const ColumnDef& col : def.columns) {
    if (!col.isFixed() || col.type() == ColumnType::Boolean) continue;
    const size_t size = fixedTypeSize(col.typeCode) ? fixedTypeSize(col.typeCode) : col.length;
    end = std::max(end, size_t{col.fixedOffset} + size);
  }
  return end;
}

DbError readRowLayout(const PageFile& file, const TableDef& def, std::span<const uint8_t> row,
                      uint32_t pageNo, size_t fixedEnd, RowLayout* layout) {
  const FormatDescriptor& f = file.format();
  auto bad = [&](const std::string& what) {
    return file.corrupt("page " + std::to_string(pageNo) + ": a row of table '" + def.name +
                        "' " + what);
  };
  const size_t countSize = f.rowColumnCountSize;
  layout->row = row;
  layout->countSize = countSize;
  if (row.size() < countSize + 1) return bad("is too short");
  const size_t c = countSize == 1 ? row[0] : readU16(row, 0);
  const size_t m = (c + 7) / 8;
  if (countSize + m > row.size()) return bad("has a null mask longer than the row");
  layout->columns = c;
  layout->mask = row.subspan(row.size() - m);
  size_t dataEnd = row.size() - m;  // fixed and variable data lie below this

  std::vector<uint32_t>& offsets = layout->offsets;
  size_t v = 0;
  if (def.varColumns > 0) {
    if (f.rowVarOffsetSize == 2) {
      if (dataEnd < countSize + 2) return bad("has no room for its variable-column count");
      v = readU16(row, dataEnd - 2);
      const size_t tableBytes = 2 + 2 * (v + 1);  // V, the offsets and EOD
      if (dataEnd < countSize + tableBytes) return bad("has more variable columns than room");
      offsets.resize(v + 1);
      for (size_t i = 0; i <= v; ++i) offsets[i] = readU16(row, dataEnd - 4 - 2 * i);
      dataEnd -= tableBytes;
    } else {
      v = row[dataEnd - 1];
      if (!jet3Offsets(row, m, v, &offsets)) return bad("has a damaged variable-offset table");
      const size_t jumps = (row.size() - 1) / 256;
      if (dataEnd < countSize + 1 + (v + 1) + jumps) return bad("has more variable columns "
                                                                "than room");
      dataEnd -= 1 + (v + 1) + jumps;
    }
    for (size_t i = 0; i <= v; ++i) {
      if (offsets[i] < countSize || offsets[i] > dataEnd || (i > 0 && offsets[i] < offsets[i - 1])) {
        return bad("has variable-column offsets outside its data");
      }
    }
  }
  layout->varSlots = v;
  layout->dataEnd = dataEnd;
  // Every present fixed column lies within the data, or the row is damaged: only a row whose
  // data ends inside the fixed area needs its columns looked at.
  if (countSize + fixedEnd <= dataEnd) return DbError::success();
  for (const ColumnDef& col : def.columns) {
    if (!col.isFixed() || col.type() == ColumnType::Boolean || col.number >= c ||
        !(layout->mask[col.number / 8] & (1u << (col.number % 8)))) {
      continue;
    }
    size_t size = fixedTypeSize(col.typeCode);
    if (size == 0) size = col.length;
    if (!inRange(dataEnd, countSize + col.fixedOffset, size)) {
      return bad("ends before its column '" + col.name + "'");
    }
  }
  return DbError::success();
}

DbError decodeRow(const PageFile& file, const TableDef& def, std::span<const uint8_t> row,
                  uint32_t pageNo, std::vector<RawField>* fields) {
  thread_local RowLayout layout;
  DbError err = readRowLayout(file, def, row, pageNo, fixedAreaEnd(def), &layout);
  if (!err.ok()) return err;
  fields->resize(def.columns.size());
  for (size_t k = 0, end = def.columns.size(); k < end; ++k) (*fields)[k] = rowField(layout, def.columns[k]);
  return DbError::success();
}

DbError decodeScalar(const PageFile& file, const ColumnDef& col, const RawField& raw,
                     Variant* out) {
  if (col.type() == ColumnType::Boolean) {
    *out = Variant(raw.present);
    return {};
  }
  if (!raw.present) {
    *out = Variant::null();
    return {};
  }
  std::span<const uint8_t> b = raw.bytes;
  auto need = [&](size_t n) { return b.size() >= n; };
  auto tooShort = [&]() {
    return file.corrupt("column '" + col.name + "' holds " + std::to_string(b.size()) +
                        " bytes, too few for its type");
  };
  switch (col.typeCode) {
    case 0x02: if (!need(1)) return tooShort(); *out = Variant(b[0]); return {};
    case 0x03:
      if (!need(2)) return tooShort();
      *out = Variant(static_cast<int16_t>(readU16(b, 0)));
      return {};
    case 0x04:
      if (!need(4)) return tooShort();
      *out = Variant(static_cast<int32_t>(readU32(b, 0)));
      return {};
    case 0x05:
      if (!need(8)) return tooShort();
      *out = Variant(Currency{static_cast<int64_t>(readU64(b, 0))});
      return {};
    case 0x06: if (!need(4)) return tooShort(); *out = Variant(readF32(b, 0)); return {};
    case 0x07: if (!need(8)) return tooShort(); *out = Variant(readF64(b, 0)); return {};
    case 0x08: if (!need(8)) return tooShort(); *out = Variant(DateValue{readF64(b, 0)}); return {};
    case 0x0F: {
      if (!need(16)) return tooShort();
      Guid g;
      std::memcpy(g.data(), b.data(), 16);
      *out = Variant(g);
      return {};
    }
    case 0x10: {
      if (!need(17)) return tooShort();
      Decimal d;
      d.negative = (b[0] & 0x80) != 0;
      d.scale = col.scale;
      for (int w = 0; w < 4; ++w) d.magnitude = (d.magnitude << 32) | readU32(b, 1 + 4 * w);
      *out = Variant(d);
      return {};
    }
    case 0x0A:
      if (file.format().textEncoding == TextEncoding::Utf16Le) {
        *out = Variant(decodeJet4Text(b));
      } else {
        *out = Variant(decodeCodePage(b, file.header().codePage));
      }
      return {};
    default:
      *out = Variant(std::vector<uint8_t>(b.begin(), b.end()));
      return {};
  }
}

namespace {

// Memo text longer than this many characters is always stored as plain UTF-16.
constexpr size_t kMaxCompressedMemo = 1024;

void appendTextBytes(const DatabaseHeader& header, const ColumnDef& column,
                     const std::string& text, bool memo, std::vector<uint8_t>* bytes) {
  if (header.format->textEncoding == TextEncoding::Utf16Le) {
    appendJet4Text(text, column.compressedUnicode() && !column.isFixed(),
                   memo ? kMaxCompressedMemo : SIZE_MAX, bytes);
    return;
  }
  thread_local std::string encoded;
  encodeCodePage(text, header.codePage, &encoded);
  bytes->insert(bytes->end(), encoded.begin(), encoded.end());
}

// Whether `bytes` are what appendJet4Text writes for the text they hold.
bool jet4TextAsEncoded(std::span<const uint8_t> bytes, bool mayCompress, size_t maxCompressed) {
  constexpr size_t kMinCompressedChars = 3;
  if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    // Compressed: a byte per character, with no 0x00 switching to two-byte units.
    const size_t chars = bytes.size() - 2;
    return mayCompress && chars >= kMinCompressedChars && chars <= maxCompressed &&
           std::memchr(bytes.data() + 2, 0, chars) == nullptr;
  }
  if (bytes.size() % 2 != 0) return false;
  // UTF-16: right unless it could have been compressed, or a surrogate stands alone (which
  // reads back as U+FFFD). Only the high bytes tell either.
  const size_t units = bytes.size() / 2;
  const bool compressible = mayCompress && units >= kMinCompressedChars && units <= maxCompressed;
  bool narrow = compressible;
  for (size_t i = 0; i < units; ++i) {
    // Four units at a time while their high bytes are all zero (Latin-1 text).
    while (i + 4 <= units) {
      const uint64_t four = readU64(bytes, 2 * i);
      if ((four & 0xFF00FF00FF00FF00ull) != 0) break;
      narrow = narrow && (four & 0xFF) && (four & 0xFF0000) && (four & 0xFF00000000ull) &&
               (four & 0xFF000000000000ull);
      i += 4;
    }
    if (i == units) break;
    const uint8_t high = bytes[2 * i + 1];
    if (high == 0) {
      narrow = narrow && bytes[2 * i] != 0;
      continue;
    }
    narrow = false;
    if ((high & 0xF8) != 0xD8) continue;
    if ((high & 0xFC) == 0xDC || i + 1 >= units || (bytes[2 * i + 3] & 0xFC) != 0xDC) return false;
    ++i;  // a high surrogate with its low one
  }
  return !narrow;
}

}  // namespace

bool storedAsEncoded(const DatabaseHeader& header, const ColumnDef& column,
                     std::span<const uint8_t> bytes) {
  switch (column.typeCode) {
    case 0x0A:
    case 0x0C: {
      if (column.isFixed()) return false;  // padded to its width: left to a full conversion
      if (header.format->textEncoding == TextEncoding::Utf16Le) {
        return jet4TextAsEncoded(bytes, column.compressedUnicode(),
                                 column.type() == ColumnType::Memo ? kMaxCompressedMemo : SIZE_MAX);
      }
      // Code-page text: plain ASCII is the same in every form.
      const uint16_t codePage = header.codePage;
      return (codePage == 1252 || codePage == 0) &&
             std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b < 0x80; });
    }
    case 0x10:
      return bytes.size() == 17 && (bytes[0] & 0x7F) == 0;  // only the sign bit is kept
    case 0x0B:
      return false;
    default:
      return true;  // numbers, dates, GUIDs and binary are stored as they are
  }
}

size_t maxRowSize(const FormatDescriptor& format) {
  return format.pageSize == kVersion3.pageSize ? 2012 : 4060;
}

void encodeMemoText(const DatabaseHeader& header, const ColumnDef& column,
                    const std::string& text, std::vector<uint8_t>* bytes) {
  appendTextBytes(header, column, text, true, bytes);
}

void encodeScalar(const DatabaseHeader& header, const ColumnDef& column, const Variant& v,
                  std::vector<uint8_t>* bytes, EncodedField* field) {
  *field = EncodedField{};
  field->offset = static_cast<uint32_t>(bytes->size());
  if (column.type() == ColumnType::Boolean) {
    field->present = !v.isNull() && v.asBool();
    return;
  }
  if (v.isNull()) return;
  field->present = true;
  std::vector<uint8_t>& b = *bytes;
  auto put = [&](uint64_t bits, size_t n) {
    uint8_t le[8];
    for (size_t i = 0; i < n; ++i) le[i] = static_cast<uint8_t>(bits >> (8 * i));
    b.insert(b.end(), le, le + n);
  };
  switch (v.type()) {
    case VariantType::Byte: put(v.asByte(), 1); break;
    case VariantType::Integer: put(static_cast<uint16_t>(v.asInteger()), 2); break;
    case VariantType::Long: put(static_cast<uint32_t>(v.asLong()), 4); break;
    case VariantType::Currency: put(static_cast<uint64_t>(v.asCurrency().scaled), 8); break;
    case VariantType::Single: {
      float f = v.asSingle();
      uint32_t bits;
      std::memcpy(&bits, &f, 4);
      put(bits, 4);
      break;
    }
    case VariantType::Double:
    case VariantType::Date: {
      double d = v.type() == VariantType::Double ? v.asDouble() : v.asDate().days;
      uint64_t bits;
      std::memcpy(&bits, &d, 8);
      put(bits, 8);
      break;
    }
    case VariantType::Guid: b.insert(b.end(), v.asGuid().begin(), v.asGuid().end()); break;
    case VariantType::Decimal: {
      const Decimal& d = v.asDecimal();
      b.push_back(d.negative ? 0x80 : 0x00);
      for (int w = 3; w >= 0; --w) put(static_cast<uint32_t>(d.magnitude >> (32 * w)), 4);
      break;
    }
    case VariantType::Text: appendTextBytes(header, column, v.asText(), false, bytes); break;
    case VariantType::Binary: b.insert(b.end(), v.asBinary().begin(), v.asBinary().end()); break;
    default: break;
  }
  if (column.isFixed() && column.type() == ColumnType::Text) {
    // Fixed-length text fills its whole width.
    b.resize(field->offset + size_t{column.length}, 0);
  }
  field->length = static_cast<uint32_t>(b.size() - field->offset);
}

namespace {

DbError tooLarge(const FormatDescriptor& f, const TableDef& def, size_t length) {
  return makeError(DbErrorNumber::RecordTooLarge,
                   "The record is too large: " + std::to_string(length) + " bytes for table '" +
                       def.name + "', which takes at most " + std::to_string(maxRowSize(f)) + ".");
}

}  // namespace

DbError measureRow(const FormatDescriptor& f, const TableDef& def,
                   const std::vector<EncodedField>& fields, std::span<const uint8_t> bytes,
                   size_t* length, std::vector<uint8_t>* scratch) {
  if (f.rowVarOffsetSize != 2) {
    DbError err = encodeRow(f, def, fields, bytes, 0, scratch);
    *length = scratch->size();
    return err;
  }
  // countSize, the fixed area, the variable data, then EOD, an offset per slot and the slot
  // count (two bytes each) when there are variable columns, and the null mask.
  const size_t c = def.maxColumns;
  size_t fixedEnd = 0, variable = 0;
  for (size_t k = 0, end = def.columns.size(); k < end; ++k) {
    const ColumnDef& col = def.columns[k];
    if (col.isFixed()) {
      if (col.type() == ColumnType::Boolean) continue;
      const size_t size = fixedTypeSize(col.typeCode) ? fixedTypeSize(col.typeCode) : col.length;
      fixedEnd = std::max(fixedEnd, static_cast<size_t>(col.fixedOffset) + size);
    } else if (col.number < c && fields[k].present && col.varSlot < def.varColumns) {
      variable += fields[k].length;
    }
  }
  const size_t v = def.varColumns;
  *length = f.rowColumnCountSize + fixedEnd + variable + (v > 0 ? 2 + 2 * v + 2 : 0) + (c + 7) / 8;
  if (*length > maxRowSize(f)) return tooLarge(f, def, *length);
  return {};
}

namespace {

// Where a row's parts go, worked out once from its fields; laid out after that for as many
// paddings as a Jet3 row needs.
struct RowPlan {
  size_t countSize = 0, c = 0, m = 0, v = 0;  // column count bytes, columns, mask bytes, slots
  uint8_t mask[32] = {};
  size_t fixedEnd = 0;
  // Each variable slot's bytes, as (start in the field bytes, length); absent slots are empty.
  struct Slot {
    uint32_t first, second;
  };
  Slot slots[256];
  // A fixed field to copy: its place in the fixed area, its start in the field bytes, length.
  struct FixedCopy {
    uint32_t to, from, length;
  };
  std::vector<FixedCopy>* fixedCopies = nullptr;
};

void planRow(const TableDef& def, const std::vector<EncodedField>& fields, RowPlan* plan) {
  // Left as they are past the slots in use: zeroing all 256 cost more than the rest of a row.
  std::fill_n(plan->slots, plan->v, RowPlan::Slot{0, 0});
  for (size_t k = 0, end = def.columns.size(); k < end; ++k) {
    const ColumnDef& col = def.columns[k];
    const EncodedField& field = fields[k];
    const bool fixed = col.isFixed();
    size_t size = 0;
    if (fixed && col.type() != ColumnType::Boolean) {
      size = fixedTypeSize(col.typeCode) ? fixedTypeSize(col.typeCode) : col.length;
      plan->fixedEnd = std::max(plan->fixedEnd, static_cast<size_t>(col.fixedOffset) + size);
    }
    if (col.number >= plan->c) continue;
    if (field.present) plan->mask[col.number / 8] |= static_cast<uint8_t>(1u << (col.number % 8));
    if (!field.present || col.type() == ColumnType::Boolean) continue;
    if (fixed) {
      const size_t length = std::min<size_t>(size, field.length);
      if (length > 0) {
        plan->fixedCopies->push_back({col.fixedOffset, field.offset, static_cast<uint32_t>(length)});
      }
    } else if (col.varSlot < plan->v) {
      plan->slots[col.varSlot] = {field.offset, field.length};
    }
  }
}

// The row written into `out` with `padding` between the fixed area and the variable data
// (every offset counts from the row start, so readers never see it). Returns how much more
// padding a Jet3 row needs: the number of jump entries a reader expects follows from the row's
// length and allows for one placeholder at most, so a layout that would need more is moved
// past the next 256-byte boundary. 0 for a row that reads back as written.
size_t layRow(const FormatDescriptor& f, const RowPlan& plan, std::span<const uint8_t> bytes,
              size_t padding, std::vector<uint8_t>& out) {
  const size_t v = plan.v, m = plan.m;
  size_t shortBy = 0;
  // Where everything goes, then the row written once into room of its length.
  const size_t head = plan.countSize + plan.fixedEnd + padding;
  size_t offsets[257];
  size_t eod = head;
  for (size_t s = 0; s < v; ++s) {
    offsets[s] = eod;
    eod += plan.slots[s].second;
  }
  offsets[v] = eod;
  uint8_t jumps[256];
  size_t jumpCount = 0;
  bool placeholder = false;
  size_t tail = 0;
  if (v > 0 && f.rowVarOffsetSize == 2) {
    tail = 2 + 2 * v + 2;  // EOD, the offsets, V
  } else if (v > 0) {
    // One byte per offset; a jump entry for each 256-byte boundary the offsets cross names
    // the first offset at or past it. The reader derives the number of entries from the row
    // length, so one placeholder (0xFF) is added when the row ends past another boundary.
    for (size_t k = 1; 256 * k <= eod && jumpCount < 256; ++k) {
      size_t first = 0;
      while (offsets[first] < 256 * k) ++first;
      jumps[jumpCount++] = static_cast<uint8_t>(first);
    }
    const size_t bare = 1 + v + jumpCount + 1 + m;
    placeholder = (eod + bare - 1) / 256 > jumpCount;
    if ((eod + bare + (placeholder ? 1 : 0) - 1) / 256 > jumpCount + 1) shortBy = 256 - eod % 256;
    tail = 1 + v + (placeholder ? 1 : 0) + jumpCount + 1;
  }
  out.resize(eod + tail + m);
  uint8_t* p = out.data();
  std::memset(p, 0, head);
  p[0] = static_cast<uint8_t>(plan.c);
  if (plan.countSize > 1) p[1] = static_cast<uint8_t>(plan.c >> 8);
  for (const RowPlan::FixedCopy& copy : *plan.fixedCopies) {
    uint8_t* to = p + plan.countSize + copy.to;
    const uint8_t* from = bytes.data() + copy.from;
    // The usual widths as plain moves rather than calls.
    switch (copy.length) {
      case 1: *to = *from; break;
      case 2: std::memcpy(to, from, 2); break;
      case 4: std::memcpy(to, from, 4); break;
      case 8: std::memcpy(to, from, 8); break;
      default: std::memcpy(to, from, copy.length);
    }
  }
  for (size_t s = 0; s < v; ++s) {
    if (plan.slots[s].second > 0) {
      std::memcpy(p + offsets[s], bytes.data() + plan.slots[s].first, plan.slots[s].second);
    }
  }
  uint8_t* at = p + eod;
  if (v > 0 && f.rowVarOffsetSize == 2) {
    auto put16 = [&](size_t x) {
      *at++ = static_cast<uint8_t>(x);
      *at++ = static_cast<uint8_t>(x >> 8);
    };
    put16(eod);
    for (size_t s = v; s-- > 0;) put16(offsets[s]);
    put16(v);
  } else if (v > 0) {
    *at++ = static_cast<uint8_t>(eod);
    for (size_t s = v; s-- > 0;) *at++ = static_cast<uint8_t>(offsets[s]);
    if (placeholder) *at++ = 0xFF;
    for (size_t k = jumpCount; k-- > 0;) *at++ = jumps[k];
    *at++ = static_cast<uint8_t>(v);
  }
  if (m > 0) std::memcpy(at, plan.mask, m);
  return shortBy;
}

}  // namespace

DbError encodeRow(const FormatDescriptor& f, const TableDef& def,
                  const std::vector<EncodedField>& fields, std::span<const uint8_t> bytes,
                  size_t minLength, std::vector<uint8_t>* row) {
  RowPlan plan;
  plan.countSize = f.rowColumnCountSize;
  plan.c = def.maxColumns;
  plan.m = (plan.c + 7) / 8;
  plan.v = def.varColumns;
  if (plan.m > 32 || plan.v > 255) {
    return makeError(DbErrorNumber::RecordTooLarge,
                     "A row of table '" + def.name + "' has too many columns for its layout.");
  }
  thread_local std::vector<RowPlan::FixedCopy> fixedCopies;
  fixedCopies.clear();
  plan.fixedCopies = &fixedCopies;
  planRow(def, fields, &plan);
  std::vector<uint8_t>& out = *row;
  // Jet3 rows grow their jump table with their length, so pad until the length is reached,
  // and until the jump table can be read back.
  size_t padding = 0;
  size_t shortBy = layRow(f, plan, bytes, padding, out);
  for (int rounds = 0; (out.size() < minLength || shortBy > 0) && rounds < 64; ++rounds) {
    padding += shortBy > 0 ? shortBy : minLength - out.size();
    shortBy = layRow(f, plan, bytes, padding, out);
  }
  if (shortBy > 0) {
    return makeError(DbErrorNumber::RecordTooLarge,
                     "A row of table '" + def.name + "' has too many columns for its layout.");
  }
  if (out.size() > maxRowSize(f) && out.size() > minLength) return tooLarge(f, def, out.size());
  if (f.rowVarOffsetSize == 1 && out.size() > 256 * 255) {
    return makeError(DbErrorNumber::RecordTooLarge, "The record is too large.");
  }
  return {};
}

}  // namespace db
