#include "unit_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include <fmt/format.h>

#include "error.hpp"
#include "npy_reader.hpp"
#include "packed_ints.hpp"

namespace pairfuse::cli {
namespace {

bool is_space_char(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A token as shown in an error message: printable ASCII kept, the rest escaped, long ones cut.
std::string quote_token(std::string_view token) {
  constexpr std::size_t kShown = 40;
  std::string out;
  for (char c : token.substr(0, kShown)) {
    auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7f) {
      out += c;
    } else {
      out += fmt::format("\\x{:02x}", b);
    }
  }
  if (token.size() > kShown) out += "...";
  return out;
}

}  // namespace

std::string display_name(const std::string& path) { return path == "-" ? "<stdin>" : path; }

FileBytes read_file(const std::string& path) {
  const std::string name = display_name(path);
  int fd = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw Error(fmt::format("cannot open '{}': {}", name, std::strerror(errno)));
  FileBytes data;
  // A regular file is read into a buffer of its size (one byte more sees the
  // end); anything else into one that grows as it fills.
  struct stat status {};
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) data.reserve(static_cast<std::size_t>(status.st_size) + 1);
  std::size_t filled = 0;
  for (;;) {
    if (filled == data.capacity()) {
      data.resize(filled);  // what growing keeps
      data.reserve(std::max<std::size_t>(data.capacity() * 2, 65536));
    }
    ssize_t n = ::read(fd, data.data() + filled, data.capacity() - filled);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      if (fd != STDIN_FILENO) ::close(fd);
      throw Error(fmt::format("cannot read '{}': {}", name, std::strerror(err)));
    }
    filled += static_cast<std::size_t>(n);
  }
  if (fd != STDIN_FILENO) ::close(fd);
  data.resize(filled);
  return data;
}

UnitSeq reserve_units(std::size_t size) {
  UnitSeq units;
  units.reserve(size);
  core::memory::advise_huge_pages(units.data(), size * sizeof(Unit));
  return units;
}

UnitSeq parse_units(std::string_view data, UnitFormat format, std::string_view name) {
  UnitSeq units;
  if (format == UnitFormat::bytes) {
    units = reserve_units(data.size());
    for (char c : data) units.push_back(static_cast<unsigned char>(c));
    return units;
  }
  if (format == UnitFormat::i32) {
    if (data.size() % 4 != 0) {
      throw Error(fmt::format("{}: {} bytes is not a whole number of 4-byte units (--input-format i32)", name,
                              data.size()));
    }
    return units_of(PackedInts{.bytes = data}, name);
  }
  if (format == UnitFormat::npy) return units_of(read_npy(data, name), name);
  std::size_t line = 1;
  std::size_t i = 0;
  while (i < data.size()) {
    if (is_space_char(data[i])) {
      if (data[i] == '\n') ++line;
      ++i;
      continue;
    }
    std::size_t start = i;
    while (i < data.size() && !is_space_char(data[i])) ++i;
    std::string_view token = data.substr(start, i - start);
    // Python's int() takes a leading plus; so do we.
    std::string_view digits = token.starts_with('+') && token.size() > 1 && token[1] != '-' ? token.substr(1) : token;
    Unit value = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ptr != digits.data() + digits.size() || ec == std::errc::invalid_argument) {
      throw Error(fmt::format("{}:{}: '{}' is not an integer", name, line, quote_token(token)));
    }
    if (ec == std::errc::result_out_of_range) {
      throw Error(fmt::format("{}:{}: {} is outside the 32-bit range -2147483648..2147483647", name, line,
                              quote_token(token)));
    }
    units.push_back(value);
  }
  return units;
}

std::string format_ints(std::span<const Unit> units) {
  std::string out;
  out.reserve(units.size() * 4);
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (i != 0) out += ' ';
    fmt::format_int text(units[i]);
    out.append(text.data(), text.size());
  }
  if (!units.empty()) out += '\n';
  return out;
}

std::string format_bytes(std::span<const Unit> units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    if (units[i] < 0 || units[i] > 255) {
      throw Error(fmt::format("unit {} at position {} does not fit in a byte (use --output-format ints)",
                              units[i], i));
    }
    out += static_cast<char>(units[i]);
  }
  return out;
}

}  // namespace pairfuse::cli
