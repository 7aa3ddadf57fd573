#include "db/row_codec.h"

#include <cstring>
#include <string>

#include "db/bytes.h"
#include "db/text_codec.h"

namespace db {
namespace {

// Jet3 offsets are one byte: reconstruct them with the jump table (see the header comment).
// `e` is the last row byte, `m` the mask size. Fills offsets[0..v], offsets[v] being EOD.
bool jet3Offsets(std::span<const uint8_t> row, size_t m, size_t v, std::vector<size_t>* offsets) {
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
    (*offsets)[i] = row[p - i] + 256 * used;
  }
  return true;
}

}  // namespace

uint16_t fixedTypeSize(uint8_t typeCode) {
  switch (typeCode) {
    case 0x01: return 0;
    case 0x02: return 1;
    case 0x03: return 2;
    case 0x04: return 4;
    case 0x05: return 8;
    case 0x06: return 4;
    case 0x07: return 8;
    case 0x08: return 8;
    case 0x0F: return 16;
    case 0x10: return 17;
    default: return 0;
  }
}

DbError decodeRow(const PageFile& file, const TableDef& def, std::span<const uint8_t> row,
                  uint32_t pageNo, std::vector<RawField>* fields) {
  const FormatDescriptor& f = file.format();
  auto bad = [&](const std::string& what) {
    return file.corrupt("page " + std::to_string(pageNo) + ": a row of table '" + def.name +
                        "' " + what);
  };
  const size_t countSize = f.rowColumnCountSize;
  if (row.size() < countSize + 1) return bad("is too short");
  const size_t c = countSize == 1 ? row[0] : readU16(row, 0);
  const size_t m = (c + 7) / 8;
  if (countSize + m > row.size()) return bad("has a null mask longer than the row");
  std::span<const uint8_t> mask = row.subspan(row.size() - m);
  size_t dataEnd = row.size() - m;  // fixed and variable data lie below this

  std::vector<size_t> offsets;
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

  fields->assign(def.columns.size(), RawField{});
  for (size_t k = 0; k < def.columns.size(); ++k) {
    const ColumnDef& col = def.columns[k];
    RawField& out = (*fields)[k];
    out.present = col.number < c && (mask[col.number / 8] & (1u << (col.number % 8)));
    if (!out.present || col.typeCode == 0x01) continue;
    if (col.isFixed()) {
      size_t size = fixedTypeSize(col.typeCode);
      if (size == 0) size = col.length;
      const size_t start = countSize + col.fixedOffset;
      if (!inRange(dataEnd, start, size)) {
        return bad("ends before its column '" + col.name + "'");
      }
      out.bytes = row.subspan(start, size);
    } else {
      if (col.varSlot >= v) {
        out.present = false;  // the column was added after the row was written
        continue;
      }
      out.bytes = row.subspan(offsets[col.varSlot], offsets[col.varSlot + 1] - offsets[col.varSlot]);
    }
  }
  return DbError::success();
}

DbError decodeScalar(const PageFile& file, const ColumnDef& col, const RawField& raw,
                     Variant* out) {
  if (col.typeCode == 0x01) {
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

}  // namespace db
