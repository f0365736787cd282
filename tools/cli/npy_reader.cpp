#include "npy_reader.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <bit>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"

namespace pairfuse::cli {
namespace {

constexpr std::string_view kMagic = "\x93NUMPY";

std::uint32_t little_endian(std::string_view bytes) {
  std::uint32_t value = 0;
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    value |= std::uint32_t{static_cast<unsigned char>(bytes[k])} << (8 * k);
  }
  return value;
}

struct Header {
  std::optional<std::string> descr;
  std::optional<bool> fortran_order;
  std::optional<std::vector<std::uint64_t>> shape;
};

// The header dict as NumPy writes it (its repr), with any spacing and
// either quote: {'descr': '<i4', 'fortran_order': False, 'shape': (3,), }
class HeaderParser {
 public:
  HeaderParser(std::string_view text, std::string_view name) : rest_(text), name_(name) {}

  Header parse() {
    Header header;
    expect('{');
    while (!consume('}')) {
      const std::string key = quoted("a key");
      expect(':');
      if (key == "descr") {
        if (!starts_value("'\"")) {
          throw Error(fmt::format("{}: .npy dtype is structured, not an integer type", name_));
        }
        header.descr = quoted("the dtype");
      } else if (key == "fortran_order") {
        header.fortran_order = boolean();
      } else if (key == "shape") {
        header.shape = tuple();
      } else {
        fail(fmt::format("unexpected key '{}'", key));
      }
      if (!consume(',')) {
        expect('}');
        break;
      }
    }
    skip_space();
    if (!rest_.empty()) fail("text after the closing '}'");
    if (!header.descr || !header.fortran_order || !header.shape) {
      fail("it needs the keys 'descr', 'fortran_order' and 'shape'");
    }
    return header;
  }

 private:
  [[noreturn]] void fail(std::string_view what) const {
    throw Error(fmt::format("{}: malformed .npy header: {}", name_, what));
  }
  void skip_space() {
    while (!rest_.empty() && (rest_[0] == ' ' || rest_[0] == '\n' || rest_[0] == '\t' || rest_[0] == '\r')) {
      rest_.remove_prefix(1);
    }
  }
  bool starts_value(std::string_view first) {
    skip_space();
    return !rest_.empty() && first.find(rest_[0]) != std::string_view::npos;
  }
  bool consume(char c) {
    skip_space();
    if (rest_.empty() || rest_[0] != c) return false;
    rest_.remove_prefix(1);
    return true;
  }
  void expect(char c) {
    if (!consume(c)) fail(fmt::format("expected '{}'", c));
  }
  std::string quoted(std::string_view what) {
    if (!starts_value("'\"")) fail(fmt::format("expected {} in quotes", what));
    const char quote = rest_[0];
    const std::size_t end = rest_.find(quote, 1);
    if (end == std::string_view::npos) fail("a string has no closing quote");
    std::string text(rest_.substr(1, end - 1));
    rest_.remove_prefix(end + 1);
    return text;
  }
  bool boolean() {
    skip_space();
    for (const auto& [word, value] : {std::pair{std::string_view("True"), true}, {"False", false}}) {
      if (rest_.starts_with(word)) {
        rest_.remove_prefix(word.size());
        return value;
      }
    }
    fail("'fortran_order' is not True or False");
  }
  std::vector<std::uint64_t> tuple() {
    expect('(');
    std::vector<std::uint64_t> dims;
    while (!consume(')')) {
      skip_space();
      std::uint64_t dim = 0;
      auto [ptr, ec] = std::from_chars(rest_.data(), rest_.data() + rest_.size(), dim);
      if (ec != std::errc()) fail("'shape' is not a tuple of sizes");
      rest_.remove_prefix(static_cast<std::size_t>(ptr - rest_.data()));
      dims.push_back(dim);
      if (!consume(',')) {
        expect(')');
        break;
      }
    }
    return dims;
  }

  std::string_view rest_;
  std::string_view name_;
};

// '<i4', '>u8', '|i1': a byte order, i (signed) or u (unsigned), a width.
std::optional<PackedInts> integer_type(std::string_view descr) {
  if (descr.size() != 3 || std::string_view("<>|=").find(descr[0]) == std::string_view::npos ||
      (descr[1] != 'i' && descr[1] != 'u') || std::string_view("1248").find(descr[2]) == std::string_view::npos) {
    return std::nullopt;
  }
  PackedInts ints;
  ints.width = static_cast<std::size_t>(descr[2] - '0');
  ints.is_signed = descr[1] == 'i';
  // '|' (NumPy's mark for single bytes, where no order applies) and '='
  // stand for the host's order.
  ints.big_endian = descr[0] == '>' || (descr[0] != '<' && std::endian::native == std::endian::big);
  return ints;
}

std::string shape_text(const std::vector<std::uint64_t>& dims) {
  return dims.size() == 1 ? fmt::format("({},)", dims[0]) : fmt::format("({})", fmt::join(dims, ", "));
}

}  // namespace

PackedInts read_npy(std::string_view file, std::string_view name) {
  if (!file.starts_with(kMagic) || file.size() < kMagic.size() + 2) {
    throw Error(fmt::format("{}: not a .npy file (it does not start with \\x93NUMPY and a version)", name));
  }
  const auto major = static_cast<unsigned char>(file[6]);
  const auto minor = static_cast<unsigned char>(file[7]);
  if (major < 1 || major > 3 || minor != 0) {
    throw Error(fmt::format("{}: .npy format version {}.{} is not one this reads (1.0, 2.0 or 3.0)", name, major,
                            minor));
  }
  // Version 1.0 gives the header's length in 2 bytes, later ones in 4.
  const std::size_t length_bytes = major == 1 ? 2 : 4;
  const std::size_t header_start = 8 + length_bytes;
  const std::size_t header_length = file.size() < header_start ? 0 : little_endian(file.substr(8, length_bytes));
  if (file.size() < header_start || file.size() - header_start < header_length) {
    throw Error(fmt::format("{}: truncated .npy file: it ends in its header", name));
  }
  const Header header = HeaderParser(file.substr(header_start, header_length), name).parse();

  const std::optional<PackedInts> type = integer_type(*header.descr);
  if (!type) {
    throw Error(fmt::format("{}: .npy dtype '{}' is not an integer type (signed or unsigned, of 1, 2, 4 or 8 bytes)",
                            name, *header.descr));
  }
  if (header.shape->size() != 1) {
    throw Error(fmt::format("{}: .npy array of shape {} is not one-dimensional", name, shape_text(*header.shape)));
  }
  PackedInts ints = *type;
  const std::uint64_t count = header.shape->front();
  const std::string_view data = file.substr(header_start + header_length);
  if (count > data.size() / ints.width) {
    throw Error(fmt::format("{}: truncated .npy file: {} elements of {} bytes, but {} bytes of data", name, count,
                            ints.width, data.size()));
  }
  ints.bytes = data.substr(0, count * ints.width);
  if (data.size() > ints.bytes.size()) {
    throw Error(fmt::format("{}: {} bytes after the .npy array's data", name, data.size() - ints.bytes.size()));
  }
  return ints;
}

}  // namespace pairfuse::cli
