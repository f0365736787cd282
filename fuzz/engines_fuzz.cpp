// Differential target: the engine the module calls (core::fit/encode/decode,
// concurrent::*) against the literal reference engines, on sequences, lists
// of sequences and merge tables made from arbitrary bytes. Results and fatal
// errors must be identical, and training must round-trip: encoding the input
// with the learned table gives the trained sequence, decoding that gives the
// input back.

#include <utility>

#include "concurrent/engine.hpp"
#include "reference/literal_concurrent.hpp"
#include "core/engine.hpp"
#include "reference/literal.hpp"
#include "fuzz_support.hpp"

namespace pairfuse::fuzz {
namespace {

// Sizes that keep the literal engines (quadratic) fast enough for fuzzing.
constexpr std::size_t kMaxFitLength = 384;
constexpr std::size_t kMaxListCount = 8;
constexpr std::size_t kMaxListSeqLength = 64;
constexpr std::size_t kMaxEncodeLength = 256;
constexpr std::size_t kMaxTableEntries = 32;

// An entry with id 2147483647 ranks with the pairs missing from the table, and
// loses to a smaller missing pair: encoding then stops short of the training.
bool learned_max_id(const MergeTable& merges) {
  return std::any_of(merges.begin(), merges.end(), [](const MergeTable::Entry& e) { return e.id == kMaxUnit; });
}

void fuzz_fit(FuzzedDataProvider& in) {
  const Palette palette = consume_palette(in);
  const UnitSeq units = consume_seq(in, palette, kMaxFitLength);
  const std::uint64_t target = consume_target(in, distinct_units({units}));
  const std::string input = fmt::format("fit({}, {})", describe(units), target);

  const auto expected = outcome_of([&] { return reference::fit(units, target); });
  require_same("core::fit against the literal engine", expected,
               outcome_of([&] { return core::fit(units, target); }), input);

  // One sequence in the batch trainer learns exactly what the sequential one learns.
  require_same("fit_concurrent([s]) against fit(s)", map_outcome(expected, [](const core::FitResult& r) {
                 return concurrent::FitConcurrentResult{std::vector<UnitSeq>{r.units}, r.merges};
               }),
               outcome_of([&] { return concurrent::fit_concurrent(std::vector<UnitSeq>{units}, target); }), input);
  if (!expected.ok()) return;
  const core::FitResult& trained = *expected.value;

  // Learned ids are fresh, so the table replays the training and undoes it.
  if (!learned_max_id(trained.merges)) {
    require_same("encoding the training input with the learned table", success<UnitSeq>(trained.units),
                 outcome_of([&] { return core::encode(units, trained.merges); }), input);
  }
  require_same("decoding the trained sequence", success<UnitSeq>(units),
               outcome_of([&] { return core::decode(trained.units, trained.merges); }), input);
}

void fuzz_fit_concurrent(FuzzedDataProvider& in) {
  const Palette palette = consume_palette(in);
  const std::vector<UnitSeq> list = consume_seq_list(in, palette, kMaxListCount, kMaxListSeqLength);
  const std::uint64_t target = consume_target(in, distinct_units(list));
  const std::string input = fmt::format("fit_concurrent({}, {})", describe(list), target);

  const auto expected = outcome_of([&] { return reference::fit_concurrent(list, target); });
  require_same("concurrent::fit_concurrent against the literal engine", expected,
               outcome_of([&] { return concurrent::fit_concurrent(list, target); }), input);
  if (!expected.ok()) return;
  const auto& trained = *expected.value;

  if (!learned_max_id(trained.merges)) {
    require_same("batch-encoding the training input with the learned table",
                 success<std::vector<UnitSeq>>(trained.units_list.to_sequences()),
                 outcome_of([&] { return concurrent::encode_concurrent(list, trained.merges).to_sequences(); }), input);
  }
  require_same("batch-decoding the trained sequences", success<std::vector<UnitSeq>>(list),
               outcome_of([&] { return concurrent::decode_concurrent(trained.units_list, trained.merges).to_sequences(); }), input);
}

MergeTable consume_table(FuzzedDataProvider& in, Palette palette) {
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, kMaxTableEntries);
  std::vector<MergeTable::Entry> entries;
  for (std::size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
    const Unit left = consume_unit(in, palette);
    const Unit right = consume_unit(in, palette);
    entries.push_back({{left, right}, consume_unit(in, palette)});
  }
  return table_from(entries);
}

void fuzz_encode_decode(FuzzedDataProvider& in) {
  const Palette palette = consume_palette(in);
  const MergeTable table = consume_table(in, palette);
  const bool single = in.ConsumeBool();
  const std::vector<UnitSeq> list = single ? std::vector<UnitSeq>{consume_seq(in, palette, kMaxEncodeLength)}
                                           : consume_seq_list(in, palette, kMaxListCount, kMaxListSeqLength);
  const std::string input = fmt::format("table {}, units {}", describe(table), describe(list));

  if (single) {
    const UnitSeq& units = list.front();
    require_same("core::encode against the literal engine",
                 outcome_of([&] { return reference::encode(units, table); }),
                 outcome_of([&] { return core::encode(units, table); }), input);
  } else {
    const auto expected = outcome_of([&] { return reference::encode_concurrent(list, table); });
    require_same("concurrent::encode_concurrent against the literal engine", expected,
                 outcome_of([&] { return concurrent::encode_concurrent(list, table).to_sequences(); }), input);
    for (std::size_t k = 0; k < list.size(); ++k) {
      require_same("an element of a batch encoding against encoding it alone",
                   success<UnitSeq>(expected.value->at(k)), outcome_of([&] { return core::encode(list[k], table); }),
                   input);
    }
  }

  const DecodeModel model(table);
  if (!model.first_endless_token(list) && model.expanded_length(list) > kDecodeLimit) return;
  if (single) {
    const UnitSeq& units = list.front();
    const auto expected = outcome_of([&] { return reference::decode(units, table); });
    require_same("core::decode against the literal engine", expected,
                 outcome_of([&] { return core::decode(units, table); }), input);
  } else {
    require_same("concurrent::decode_concurrent against the literal engine",
                 outcome_of([&] { return reference::decode_concurrent(list, table); }),
                 outcome_of([&] { return concurrent::decode_concurrent(list, table).to_sequences(); }), input);
  }
}

}  // namespace
}  // namespace pairfuse::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pairfuse::fuzz;
  FuzzedDataProvider in(data, size);
  switch (in.ConsumeIntegralInRange<int>(0, 2)) {
    case 0:
      fuzz_fit(in);
      break;
    case 1:
      fuzz_fit_concurrent(in);
      break;
    default:
      fuzz_encode_decode(in);
      break;
  }
  return 0;
}
