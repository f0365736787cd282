#include "merge_file.hpp"

#include <fmt/format.h>

#include <charconv>
#include <cstdint>

#include "error.hpp"

namespace pairfuse::cli {

std::string format_merge_file(const MergeTable& merges) {
  if (merges.empty()) return "[]\n";
  std::string out = "[\n";
  bool first = true;
  for (const auto& [pair, id] : merges) {
    if (!first) out += ",\n";
    first = false;
    fmt::format_to(std::back_inserter(out), "  [[{}, {}], {}]", pair.left, pair.right, id);
  }
  out += "\n]\n";
  return out;
}

namespace {

// A recursive-descent reader for exactly one JSON shape; anything else is an
// error that points at the offending character.
class MergeFileReader {
 public:
  MergeFileReader(std::string_view text, std::string_view name) : text_(text), name_(name) {}

  MergeTable read() {
    MergeTable merges;
    skip_space();
    expect('[', "'[' opening the list of merges");
    skip_space();
    if (!consume(']')) {
      for (;;) {
        read_entry(merges);
        skip_space();
        if (consume(']')) break;
        expect(',', "',' or ']' after a merge");
        skip_space();
      }
    }
    skip_space();
    if (pos_ != text_.size()) fail("expected the end of the file after the list of merges");
    return merges;
  }

 private:
  void read_entry(MergeTable& merges) {
    expect('[', "'[' opening a merge [[left, right], id]");
    skip_space();
    expect('[', "'[' opening the pair of a merge [[left, right], id]");
    skip_space();
    Unit left = read_unit();
    skip_space();
    expect(',', "',' between the two members of a pair");
    skip_space();
    Unit right = read_unit();
    skip_space();
    expect(']', "']' closing a pair of two members");
    skip_space();
    expect(',', "',' between a pair and its id");
    skip_space();
    Unit id = read_unit();
    skip_space();
    expect(']', "']' closing a merge [[left, right], id]");
    merges.insert_or_assign({left, right}, id);
  }

  Unit read_unit() {
    std::size_t start = pos_;
    if (pos_ < text_.size() && text_[pos_] == '-') ++pos_;
    std::size_t digits_start = pos_;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
    std::size_t digit_count = pos_ - digits_start;
    if (digit_count == 0) {
      pos_ = start;
      fail(fmt::format("expected an integer, found {}", found()));
    }
    if (digit_count > 1 && text_[digits_start] == '0') {
      pos_ = start;
      fail("expected an integer without leading zeros");
    }
    if (pos_ < text_.size() && (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E')) {
      pos_ = start;
      fail("expected an integer, not a fraction or exponent");
    }
    std::int64_t value = 0;
    auto [ptr, ec] = std::from_chars(text_.data() + start, text_.data() + pos_, value);
    if (ec != std::errc() || value < INT32_MIN || value > INT32_MAX) {
      std::string_view token = text_.substr(start, pos_ - start);
      pos_ = start;
      fail(fmt::format("{} is outside the 32-bit range -2147483648..2147483647",
                       token.size() > 40 ? std::string(token.substr(0, 40)) + "..." : std::string(token)));
    }
    return static_cast<Unit>(value);
  }

  void skip_space() {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool consume(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  void expect(char c, std::string_view what) {
    if (!consume(c)) fail(fmt::format("expected {}, found {}", what, found()));
  }

  std::string found() const {
    if (pos_ >= text_.size()) return "the end of the file";
    auto b = static_cast<unsigned char>(text_[pos_]);
    if (b >= 0x20 && b < 0x7f) return fmt::format("'{}'", static_cast<char>(b));
    return fmt::format("byte 0x{:02x}", b);
  }

  [[noreturn]] void fail(std::string_view what) const {
    std::size_t line = 1;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < pos_ && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    throw Error(fmt::format("{}:{}:{}: malformed merge file: {}", name_, line, pos_ - line_start + 1, what));
  }

  std::string_view text_;
  std::string_view name_;
  std::size_t pos_ = 0;
};

}  // namespace

MergeTable parse_merge_file(std::string_view text, std::string_view name) {
  return MergeFileReader(text, name).read();
}

}  // namespace pairfuse::cli
