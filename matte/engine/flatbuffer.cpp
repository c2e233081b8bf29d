#include "flatbuffer.h"

namespace trelvo::matte {

bool ReadError::fail(const std::string& what) {
  if (text.empty()) text = context + what;
  return false;
}

bool FlatBuffer::table(std::size_t pos, FlatTable& t) {
  std::int32_t toVtable = 0;
  if (!load(pos, toVtable)) return error_.fail("a table lies outside the model");
  const std::int64_t vtable = static_cast<std::int64_t>(pos) - toVtable;
  if (vtable < 0 || !has(static_cast<std::size_t>(vtable), 4)) {
    return error_.fail("a vtable lies outside the model");
  }
  t.pos = pos;
  t.vtable = static_cast<std::size_t>(vtable);
  (void)load(t.vtable, t.vtableSize);
  (void)load(t.vtable + 2, t.tableSize);
  if (t.vtableSize < 4 || t.vtableSize % 2 != 0 || !has(t.vtable, t.vtableSize)) {
    return error_.fail("a vtable has a bad size");
  }
  if (t.tableSize < 4 || !has(pos, t.tableSize)) return error_.fail("a table has a bad size");
  return true;
}

bool FlatBuffer::field(const FlatTable& t, unsigned slot, std::size_t size,
                       std::optional<std::size_t>& pos) {
  pos.reset();
  const std::size_t entry = 4 + 2 * std::size_t{slot};
  if (entry + 2 > t.vtableSize) return true;
  std::uint16_t offset = 0;
  (void)load(t.vtable + entry, offset);
  if (offset == 0) return true;
  if (offset < 4 || std::size_t{offset} + size > t.tableSize) {
    return error_.fail("a field lies outside its table");
  }
  pos = t.pos + offset;
  return true;
}

bool FlatBuffer::target(const FlatTable& t, unsigned slot, std::optional<std::size_t>& to) {
  std::optional<std::size_t> pos;
  to.reset();
  if (!field(t, slot, 4, pos)) return false;
  if (!pos) return true;
  std::uint32_t offset = 0;
  (void)load(*pos, offset);
  if (offset == 0 || !has(*pos, offset)) return error_.fail("an offset points outside the model");
  to = *pos + offset;
  return true;
}

bool FlatBuffer::vectorAt(std::size_t pos, std::size_t elementSize, FlatVector& v) {
  std::uint32_t length = 0;
  if (!load(pos, length)) return error_.fail("a vector lies outside the model");
  if (!has(pos + 4, std::uint64_t{length} * elementSize)) {
    return error_.fail("a vector is longer than the model");
  }
  v.data = pos + 4;
  v.length = length;
  return true;
}

bool FlatBuffer::vector(const FlatTable& t, unsigned slot, std::size_t elementSize, FlatVector& v) {
  v = FlatVector{};
  std::optional<std::size_t> to;
  if (!target(t, slot, to)) return false;
  return !to || vectorAt(*to, elementSize, v);
}

bool FlatBuffer::string(const FlatTable& t, unsigned slot, std::string& s) {
  FlatVector v;
  if (!vector(t, slot, 1, v)) return false;
  s.assign(reinterpret_cast<const char*>(bytes_.data() + v.data), v.length);
  return true;
}

bool FlatBuffer::subTable(const FlatTable& t, unsigned slot, std::optional<FlatTable>& sub) {
  sub.reset();
  std::optional<std::size_t> to;
  if (!target(t, slot, to)) return false;
  if (!to) return true;
  FlatTable found;
  if (!table(*to, found)) return false;
  sub = found;
  return true;
}

bool FlatBuffer::tableAt(const FlatVector& v, std::size_t i, FlatTable& t) {
  const std::size_t pos = v.data + 4 * i;
  std::uint32_t offset = 0;
  (void)load(pos, offset);
  if (offset == 0 || !has(pos, offset)) return error_.fail("an offset points outside the model");
  return table(pos + offset, t);
}

}  // namespace trelvo::matte
