// Force-included (-include) into every file of the clang build of scripts/fuzz.
//
// libstdc++ 12 defines std::source_location only when the compiler offers
// __builtin_source_location, which clang gains in version 15. clang 14, the
// compiler that ships libFuzzer here, gets an equivalent built from the older
// __builtin_FILE/LINE/COLUMN/FUNCTION, which it evaluates at the call site
// when used as default arguments, just as the standard type needs.
#pragma once

#include <version>

#if defined(__clang__) && !defined(__cpp_lib_source_location)
#include <cstdint>

namespace std {
struct source_location {
  static constexpr source_location current(const char* file = __builtin_FILE(),
                                           const char* function = __builtin_FUNCTION(),
                                           uint_least32_t line = __builtin_LINE(),
                                           uint_least32_t column = __builtin_COLUMN()) noexcept {
    source_location where;
    where.file_ = file;
    where.function_ = function;
    where.line_ = line;
    where.column_ = column;
    return where;
  }
  constexpr source_location() noexcept = default;
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr const char* function_name() const noexcept { return function_; }
  constexpr uint_least32_t line() const noexcept { return line_; }
  constexpr uint_least32_t column() const noexcept { return column_; }

 private:
  const char* file_ = "";
  const char* function_ = "";
  uint_least32_t line_ = 0;
  uint_least32_t column_ = 0;
};
}  // namespace std
#endif
