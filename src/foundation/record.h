// Fixed-layout records.
//
// Every record that is stored on disk, embedded in compiled code or shared
// between subsystems is declared once as a struct made only of the field types
// below. They are byte arrays (alignment 1), so a struct has no padding and its
// layout is exactly the declared one; QV_RECORD and QV_AT check the size and
// every field offset at compile time. Multi-byte integers are little-endian in
// every record, whatever the host. Code reads and writes fields by name:
//
//   struct Token {
//     rec::U8       dom_class;
//     rec::Text<22> dom_name;
//     ...
//   };
//   QV_RECORD(Token, 60);
//   QV_AT(Token, dom_name, 1);
//
//   Token& t = rec::view<Token>(buffer);
//   t.dom_name.set("CITY");  if (t.dom_name == "CITY") ...
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

namespace rec {

// One unsigned byte.
struct U8 {
  uint8_t b[1];
  uint8_t get() const { return b[0]; }
  void set(uint8_t v) { b[0] = v; }
  operator uint8_t() const { return b[0]; }
  U8& operator=(uint8_t v) { b[0] = v; return *this; }
};

// Little-endian unsigned integers of 2, 4 and 8 bytes, at any offset.
// On a little-endian host they are read by plain loads.
inline constexpr bool kNativeLe = std::endian::native == std::endian::little;

struct U16 {
  uint8_t b[2];
  uint16_t get() const {
    if constexpr (kNativeLe) {
      uint16_t v;
      std::memcpy(&v, b, 2);
      return v;
    }
    return uint16_t(b[0] | (b[1] << 8));
  }
  void set(uint16_t v) { b[0] = uint8_t(v); b[1] = uint8_t(v >> 8); }
  operator uint16_t() const { return get(); }
  U16& operator=(uint16_t v) { set(v); return *this; }
};

struct U32 {
  uint8_t b[4];
  uint32_t get() const {
    if constexpr (kNativeLe) {
      uint32_t v;
      std::memcpy(&v, b, 4);
      return v;
    }
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
  }
  void set(uint32_t v) {
    b[0] = uint8_t(v); b[1] = uint8_t(v >> 8); b[2] = uint8_t(v >> 16); b[3] = uint8_t(v >> 24);
  }
  operator uint32_t() const { return get(); }
  U32& operator=(uint32_t v) { set(v); return *this; }
};

struct U64 {
  uint8_t b[8];
  uint64_t get() const {
    uint64_t v = 0;
    if constexpr (kNativeLe) {
      std::memcpy(&v, b, 8);
      return v;
    }
    for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
    return v;
  }
  void set(uint64_t v) {
    for (int i = 0; i < 8; ++i) b[i] = uint8_t(v >> (8 * i));
  }
  operator uint64_t() const { return get(); }
  U64& operator=(uint64_t v) { set(v); return *this; }
};

struct I16 {
  uint8_t b[2];
  int16_t get() const { return int16_t(uint16_t(b[0] | (b[1] << 8))); }
  void set(int16_t v) { uint16_t u = uint16_t(v); b[0] = uint8_t(u); b[1] = uint8_t(u >> 8); }
  operator int16_t() const { return get(); }
  I16& operator=(int16_t v) { set(v); return *this; }
};

struct I32 {
  uint8_t b[4];
  int32_t get() const { U32 u; std::memcpy(u.b, b, 4); return int32_t(u.get()); }
  void set(int32_t v) { U32 u; u.set(uint32_t(v)); std::memcpy(b, u.b, 4); }
  operator int32_t() const { return get(); }
  I32& operator=(int32_t v) { set(v); return *this; }
};

// Raw bytes: packed numbers, binary dates, opaque areas.
template <size_t N>
struct Bytes {
  uint8_t b[N];
  static constexpr size_t size() { return N; }
  uint8_t* data() { return b; }
  const uint8_t* data() const { return b; }
  uint8_t& operator[](size_t i) { return b[i]; }
  uint8_t operator[](size_t i) const { return b[i]; }
  void zero() { std::memset(b, 0, N); }
};

// Blank-padded fixed-width text. Comparison is by the full width, as
// identifiers are compared throughout the system: a shorter operand is
// taken as blank-padded.
template <size_t N>
struct Text {
  char c[N];
  static constexpr size_t size() { return N; }
  char* data() { return c; }
  const char* data() const { return c; }
  char& operator[](size_t i) { return c[i]; }
  char operator[](size_t i) const { return c[i]; }
  // Length without trailing blanks.
  size_t len() const {
    size_t n = N;
    for (uint64_t w; n >= 8; n -= 8) {  // (eight blanks at a time)
      std::memcpy(&w, c + n - 8, 8);
      if (w != 0x2020202020202020ULL) break;
    }
    while (n > 0 && c[n - 1] == ' ') --n;
    return n;
  }
  std::string_view view() const { return std::string_view(c, N); }
  std::string_view trimmed() const { return std::string_view(c, len()); }
  std::string str() const { return std::string(trimmed()); }
  bool blank() const {
    for (size_t i = 0; i < N; ++i)
      if (c[i] != ' ') return false;
    return true;
  }
  void clear() { std::memset(c, ' ', N); }
  // Copies s, cut to the width, and blank-fills the rest.
  void set(std::string_view s) {
    size_t n = s.size() < N ? s.size() : N;
    std::memcpy(c, s.data(), n);
    std::memset(c + n, ' ', N - n);
  }
  bool operator==(std::string_view s) const {
    if (s.size() > N) return false;
    if (std::memcmp(c, s.data(), s.size()) != 0) return false;
    for (size_t i = s.size(); i < N; ++i)
      if (c[i] != ' ') return false;
    return true;
  }
  template <size_t M>
  bool operator==(const Text<M>& o) const { return *this == o.view(); }
};

// A record laid over a byte buffer. Records are arrays of byte-typed
// fields, so this view is valid at any address.
template <class T>
inline T& view(void* p) { return *static_cast<T*>(p); }
template <class T>
inline const T& view(const void* p) { return *static_cast<const T*>(p); }

// Fixed-width comparison of two byte areas (memcmp order).
inline int cmp(const void* a, const void* b, size_t n) { return std::memcmp(a, b, n); }

}  // namespace rec

// Declares the size of a record; fails to compile when a field is added,
// removed or resized without the size following.
#define QV_RECORD(T, n)                                                        \
  static_assert(sizeof(T) == (n), "record " #T " must be " #n " bytes");       \
  static_assert(alignof(T) == 1, "record " #T " must have no alignment");      \
  static_assert(std::is_standard_layout_v<T> && std::is_trivially_copyable_v<T>, \
                "record " #T " must be a plain layout")

// Declares the offset of a field; fails to compile when it moves.
#define QV_AT(T, f, off) \
  static_assert(offsetof(T, f) == (off), "field " #T "." #f " must be at " #off)
