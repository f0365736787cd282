#include "log.hpp"

#include <gtest/gtest.h>

#include "fatal.hpp"

#include "support/engine_testing.hpp"

namespace pairfuse::log {
namespace {

struct Counted {
  int* formatted;
};

}  // namespace
}  // namespace pairfuse::log

template <>
struct fmt::formatter<pairfuse::log::Counted> : fmt::formatter<fmt::string_view> {
  template <typename Ctx>
  auto format(const pairfuse::log::Counted& c, Ctx& ctx) const {
    ++*c.formatted;
    return fmt::format_to(ctx.out(), "counted");
  }
};

namespace pairfuse::log {
namespace {

// Read while the program starts, before any test can have changed them.
const Level level_at_start = max_level();
const bool error_enabled_at_start = enabled(Level::error);
const Logger* const logger_at_start = [] {
  Logger* installed = set_logger(nullptr);
  set_logger(installed);
  return installed;
}();

TEST(Log, OffAtStartAndWithoutLogger) {
  EXPECT_EQ(level_at_start, Level::off);
  EXPECT_FALSE(error_enabled_at_start);
  EXPECT_EQ(logger_at_start, nullptr);
}

TEST(Log, FormatsOnlyWhatTheLevelAdmits) {
  testing::CapturingLogger logger(Level::info);
  int formatted = 0;
  PAIRFUSE_LOG(Level::debug, "t", "{}", Counted{&formatted});
  EXPECT_EQ(formatted, 0);
  const std::uint32_t line = __LINE__ + 1;
  PAIRFUSE_LOG(Level::info, "pairfuse::core", "x {}", Counted{&formatted});
  EXPECT_EQ(formatted, 1);
  ASSERT_EQ(logger.records().size(), 1u);
  const auto& r = logger.records()[0];
  EXPECT_EQ(r.level, Level::info);
  EXPECT_EQ(r.target, "pairfuse::core");
  EXPECT_EQ(r.message, "x counted");
  EXPECT_EQ(r.file, "tests/log_test.cpp");
  EXPECT_EQ(r.line, line);
}

// Reports name the raising line by its path from the checkout's root too, in
// any build folder; a silenced report leaves only the exception.
TEST(FatalReport, NamesTheLineOnceOrNotAtAll) {
  for (const FatalReport report : {FatalReport::to_stderr, FatalReport::silent}) {
    set_fatal_report(report);
    ::testing::internal::CaptureStderr();
    const std::uint32_t line = __LINE__ + 1;
    EXPECT_THROW(raise_fatal("bad input"), FatalError);
    const std::string written = ::testing::internal::GetCapturedStderr();
    set_fatal_report(FatalReport::to_stderr);
    if (report == FatalReport::silent) {
      EXPECT_EQ(written, "");
    } else {
      EXPECT_TRUE(written.starts_with(fmt::format("thread '<unnamed>' failed at tests/log_test.cpp:{}:", line)))
          << written;
      EXPECT_TRUE(written.ends_with(":\nbad input\n")) << written;
    }
  }
}

}  // namespace
}  // namespace pairfuse::log
