// Bounds-checked reading of a flatbuffer in place: tables with their vtables and fields, vectors,
// strings and tables held in vectors. Every offset and length is checked against the buffer
// before use; a failure is recorded, once, in the ReadError the buffer was given.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>

namespace trelvo::matte {

static_assert(std::endian::native == std::endian::little,
              "the flatbuffer reader reads little-endian values in place");

// The first failure of a read, with where the reader was.
struct ReadError {
  std::string context;  // put before a failure's text, such as "tensor 3: "
  std::string text;     // the first failure; empty while there is none

  // Records `what` after the context unless a failure came first. Always false.
  bool fail(const std::string& what);
};

// A table whose vtable and size have been checked to lie inside the buffer.
struct FlatTable {
  std::size_t pos = 0;
  std::size_t vtable = 0;
  std::uint16_t vtableSize = 0;
  std::uint16_t tableSize = 0;
};

// A vector whose elements have been checked to lie inside the buffer.
struct FlatVector {
  std::size_t data = 0;
  std::uint32_t length = 0;
};

// `slot` is a field's number in its table, as the schema declares it. An absent field reads as
// its default (a scalar's `fallback`, an empty vector or string, no table). Each reader returns
// false when the buffer is malformed there, having recorded why.
class FlatBuffer {
 public:
  FlatBuffer(std::span<const std::uint8_t> bytes, ReadError& error)
      : bytes_(bytes), error_(error) {}

  std::size_t size() const { return bytes_.size(); }
  // True when the buffer is long enough for a root offset and carries `identifier` (four
  // characters) after it.
  bool hasIdentifier(const char* identifier) const {
    return has(0, 8) && std::memcmp(bytes_.data() + 4, identifier, 4) == 0;
  }
  // The bytes of a checked vector.
  std::span<const std::uint8_t> bytes(const FlatVector& v) const {
    return bytes_.subspan(v.data, v.length);
  }

  // The value of type T at `pos`; false, recording nothing, when it does not fit.
  template <typename T>
  bool load(std::size_t pos, T& value) const {
    if (!has(pos, sizeof(T))) return false;
    std::memcpy(&value, bytes_.data() + pos, sizeof(T));
    return true;
  }

  // The table at `pos`.
  bool table(std::size_t pos, FlatTable& t);

  template <typename T>
  bool scalar(const FlatTable& t, unsigned slot, T fallback, T& value) {
    std::optional<std::size_t> pos;
    if (!field(t, slot, sizeof(T), pos)) return false;
    value = fallback;
    if (pos) (void)load(*pos, value);
    return true;
  }

  bool vector(const FlatTable& t, unsigned slot, std::size_t elementSize, FlatVector& v);
  bool string(const FlatTable& t, unsigned slot, std::string& s);
  bool subTable(const FlatTable& t, unsigned slot, std::optional<FlatTable>& sub);
  // Element `i` of a vector of tables; `i` must be below its length.
  bool tableAt(const FlatVector& v, std::size_t i, FlatTable& t);

  // Element `i` of a vector of T; `i` must be below its length.
  template <typename T>
  T element(const FlatVector& v, std::size_t i) const {
    T value{};
    (void)load(v.data + sizeof(T) * i, value);
    return value;
  }

 private:
  bool has(std::size_t pos, std::size_t length) const {
    return pos <= bytes_.size() && length <= bytes_.size() - pos;
  }
  // Position of field `slot` of `size` bytes, or nothing when the field is absent.
  bool field(const FlatTable& t, unsigned slot, std::size_t size, std::optional<std::size_t>& pos);
  // Where the offset held in field `slot` points, or nothing when the field is absent.
  bool target(const FlatTable& t, unsigned slot, std::optional<std::size_t>& to);
  bool vectorAt(std::size_t pos, std::size_t elementSize, FlatVector& v);

  std::span<const std::uint8_t> bytes_;
  ReadError& error_;
};

}  // namespace trelvo::matte
