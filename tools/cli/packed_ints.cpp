#include "packed_ints.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <limits>
#include <type_traits>

#include "error.hpp"
#include "unit_io.hpp"

namespace pairfuse::cli {
namespace {

// Assembled byte by byte, so the host's byte order does not matter; the
// compiler makes one load (and a byte swap) of it.
template <std::size_t Width, bool BigEndian>
std::uint64_t load(const unsigned char* p) {
  std::uint64_t value = 0;
  for (std::size_t k = 0; k < Width; ++k) value |= std::uint64_t{p[BigEndian ? Width - 1 - k : k]} << (8 * k);
  return value;
}

template <std::size_t Width, bool Signed, bool BigEndian>
UnitSeq convert(std::string_view bytes, std::string_view name) {
  using Bits = std::conditional_t<Width == 1, std::uint8_t,
                                  std::conditional_t<Width == 2, std::uint16_t,
                                                     std::conditional_t<Width == 4, std::uint32_t, std::uint64_t>>>;
  using Value = std::conditional_t<Signed, std::make_signed_t<Bits>, Bits>;
  const std::size_t count = bytes.size() / Width;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  UnitSeq units = reserve_units(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto value = static_cast<Value>(static_cast<Bits>(load<Width, BigEndian>(p + i * Width)));
    if constexpr (!std::in_range<Unit>(std::numeric_limits<Value>::min()) ||
                  !std::in_range<Unit>(std::numeric_limits<Value>::max())) {
      if (!std::in_range<Unit>(value)) {
        throw Error(fmt::format("{}: element {} ({}) is outside the 32-bit range -2147483648..2147483647", name,
                                i, value));
      }
    }
    units.push_back(static_cast<Unit>(value));
  }
  return units;
}

template <std::size_t Width>
UnitSeq convert_width(const PackedInts& ints, std::string_view name) {
  if (ints.is_signed) {
    return ints.big_endian ? convert<Width, true, true>(ints.bytes, name)
                           : convert<Width, true, false>(ints.bytes, name);
  }
  return ints.big_endian ? convert<Width, false, true>(ints.bytes, name)
                         : convert<Width, false, false>(ints.bytes, name);
}

}  // namespace

UnitSeq units_of(const PackedInts& ints, std::string_view name) {
  switch (ints.width) {
    case 1: return convert_width<1>(ints, name);
    case 2: return convert_width<2>(ints, name);
    case 4: return convert_width<4>(ints, name);
    case 8: return convert_width<8>(ints, name);
  }
  throw Error(fmt::format("{}: {}-byte integers are not readable", name, ints.width));
}

}  // namespace pairfuse::cli
