// Hostile merge tables for encoding and decoding: repeated ids and pairs, the
// id 2147483647, ids equal to members of their own pair, cycles. Every call of
// the engine the module uses must return or raise the cycle error, in bounded
// time and memory, and agree with what a caller can check from outside:
//
// - encode never lengthens a sequence, stops only when the lowest-ranked pair
//   present is missing from the table, and agrees with the literal engine;
//   encoding a batch is encoding each element alone;
// - decode gives what an independent recursive model gives, or the cycle
//   error naming the first token (in input order) whose expansion never ends;
// - with distinct ids and inputs holding no id, decode undoes encode.
//
// Decoding may legitimately grow exponentially with the table's depth, so it
// is only run where the model bounds the result (fuzz_support.hpp). libFuzzer's
// -rss_limit_mb and -malloc_limit_mb catch anything that grows beyond that.

#include <tuple>

#include "concurrent/engine.hpp"
#include "core/engine.hpp"
#include "reference/literal.hpp"
#include "fuzz_support.hpp"

namespace pairfuse::fuzz {
namespace {

constexpr Unit kMin = std::numeric_limits<Unit>::min();
constexpr std::size_t kMaxEntries = 24;
constexpr std::size_t kMaxLength = 96;
constexpr std::size_t kMaxCount = 6;

// Few values, so ids and members collide; the extremes of the range among them.
constexpr Unit kPool[] = {0, 1, 2, 3, 4, 5, 6, 7, -1, kMin, kMaxUnit - 1, kMaxUnit};

Unit pool_unit(FuzzedDataProvider& in) { return kPool[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kPool) - 1)]; }

std::vector<MergeTable::Entry> consume_entries(FuzzedDataProvider& in) {
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, kMaxEntries);
  std::vector<MergeTable::Entry> entries;
  for (std::size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
    UnitPair pair{pool_unit(in), pool_unit(in)};
    Unit id = pool_unit(in);
    const MergeTable::Entry* earlier = entries.empty() ? nullptr : &entries[in.ConsumeIntegralInRange<std::size_t>(0, entries.size() - 1)];
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
      case 0:
        id = pair.left;  // an id that is a member of its own pair
        break;
      case 1:
        id = pair.right;
        break;
      case 2:
        id = kMaxUnit;  // ranks with the pairs missing from the table
        break;
      case 3:
        if (earlier) id = earlier->id;  // a repeated id: decoding keeps the last pair
        break;
      case 4:
        if (earlier) pair = earlier->pair;  // a repeated pair: the last id counts
        break;
      case 5:
        // Close a loop through an earlier entry: its id inside this pair, and
        // this id one of its members.
        if (earlier) {
          pair.left = earlier->id;
          id = in.ConsumeBool() ? earlier->pair.left : earlier->pair.right;
        }
        break;
      case 6:
        // Chain on an earlier id, so expansions get deep.
        if (earlier) pair = {earlier->id, in.ConsumeBool() ? earlier->id : pair.right};
        break;
      default:
        break;
    }
    entries.push_back({pair, id});
  }
  return entries;
}

// Units of a sequence: pool values, and often the ids and members of the table.
UnitSeq consume_units(FuzzedDataProvider& in, const std::vector<MergeTable::Entry>& entries) {
  const std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, kMaxLength);
  UnitSeq units;
  for (std::size_t i = 0; i < length && in.remaining_bytes() > 0; ++i) {
    if (!entries.empty() && in.ConsumeBool()) {
      const auto& e = entries[in.ConsumeIntegralInRange<std::size_t>(0, entries.size() - 1)];
      const Unit choices[] = {e.pair.left, e.pair.right, e.id};
      units.push_back(choices[in.ConsumeIntegralInRange<int>(0, 2)]);
    } else {
      units.push_back(pool_unit(in));
    }
  }
  return units;
}

Unit rank_of(const MergeTable& table, UnitPair pair) {
  const Unit* id = table.find(pair);
  return id ? *id : kMaxUnit;
}

void check_encoded(const MergeTable& table, const UnitSeq& input, const UnitSeq& output, const std::string& context) {
  require(output.size() <= input.size(), fmt::format("encode lengthened a sequence\n  {}", context));
  if (output.size() < 2) return;
  UnitPair best{output[0], output[1]};
  for (std::size_t i = 1; i + 1 < output.size(); ++i) {
    const UnitPair pair{output[i], output[i + 1]};
    if (std::tuple(rank_of(table, pair), pair) < std::tuple(rank_of(table, best), best)) best = pair;
  }
  require(!table.contains(best), fmt::format("encode stopped while {} -> {} still applies to {}\n  {}", best,
                                             rank_of(table, best), describe(output), context));
}

void check_list(const MergeTable& table, const DecodeModel& model, const std::vector<UnitSeq>& list,
                const std::string& context) {
  const auto encoded = outcome_of([&] { return concurrent::encode_concurrent(list, table).to_sequences(); });
  require(encoded.ok(), fmt::format("encode_concurrent failed: {}\n  {}", describe(encoded), context));
  require(encoded.value->size() == list.size(), fmt::format("encode_concurrent lost sequences\n  {}", context));
  for (std::size_t k = 0; k < list.size(); ++k) {
    const auto alone = outcome_of([&] { return core::encode(list[k], table); });
    require_same("encode of one sequence against its place in a batch", success<UnitSeq>((*encoded.value)[k]), alone,
                 context);
    check_encoded(table, list[k], *alone.value, context);
    require_same("encode against the literal engine", outcome_of([&] { return reference::encode(list[k], table); }),
                 alone, context);
  }

  const bool bounded = model.first_endless_token(list) || model.expanded_length(list) <= kDecodeLimit;
  if (bounded) {
    const auto expected = model.decode(list);
    require_same("decode_concurrent against the model", expected,
                 outcome_of([&] { return concurrent::decode_concurrent(list, table).to_sequences(); }), context);
    for (const UnitSeq& units : list) {
      require_same("decode against the model", map_outcome(model.decode({units}), [](const auto& v) { return v[0]; }),
                   outcome_of([&] { return core::decode(units, table); }), context);
    }
  }

  // Encoding only ever creates ids whose pairs were present, so with one pair
  // per id and no id in the input, decoding gives the input back.
  bool input_holds_id = false;
  for (const UnitSeq& units : list)
    for (Unit unit : units) input_holds_id = input_holds_id || model.is_id(unit);
  if (model.ids_distinct(table) && !input_holds_id) {
    require_same("decode of encode", success<std::vector<UnitSeq>>(list),
                 outcome_of([&] { return concurrent::decode_concurrent(*encoded.value, table).to_sequences(); }), context);
  }
}

}  // namespace
}  // namespace pairfuse::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pairfuse::fuzz;
  FuzzedDataProvider in(data, size);
  const auto entries = consume_entries(in);
  const pairfuse::MergeTable table = table_from(entries);
  const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(1, kMaxCount);
  std::vector<pairfuse::UnitSeq> list;
  for (std::size_t k = 0; k < count; ++k) list.push_back(consume_units(in, entries));
  const DecodeModel model(table);
  check_list(table, model, list, fmt::format("table {}, units {}", describe(table), describe(list)));
  return 0;
}
