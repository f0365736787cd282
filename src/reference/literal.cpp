#include "reference/literal.hpp"

#include <fmt/format.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "fatal.hpp"
#include "reference/literal_training.hpp"

namespace pairfuse::reference {

PairCounts get_counts(std::span<const Unit> units) {
  PairCounts counts;
  for (std::size_t i = 1; i < units.size(); ++i) ++counts[UnitPair{units[i - 1], units[i]}];
  return counts;
}

UnitSeq merge(std::span<const Unit> units, const UnitPair& pair, Unit id) {
  UnitSeq out;
  const std::size_t n = units.size();
  std::size_t i = 0;
  while (i < n) {
    if (i + 1 < n && units[i] == pair.left && units[i + 1] == pair.right) {
      out.push_back(id);
      i += 2;
    } else {
      out.push_back(units[i]);
      i += 1;
    }
  }
  return out;
}

FitResult fit(UnitSeq units, std::uint64_t target_vocab_size, core::TrainingLimits limits) {
  const std::set<Unit> vocabulary(units.begin(), units.end());
  MergeTable merges = train_literally(units, vocabulary, target_vocab_size, core::kCoreLogTarget, get_counts,
                                      reference::merge, limits);
  return {std::move(units), std::move(merges)};
}

UnitSeq encode(UnitSeq units, const MergeTable& merges) {
  while (units.size() >= 2) {
    const PairCounts counts = get_counts(units);
    // Lowest rank first; a pair missing from the table ranks as the largest
    // unit. Among equal ranks the smallest pair wins.
    auto rank_of = [&](const UnitPair& pair) {
      const Unit* id = merges.find(pair);
      return id != nullptr ? *id : kMaxUnit;
    };
    auto it = counts.begin();
    UnitPair chosen = it->first;
    Unit chosen_rank = rank_of(chosen);
    for (++it; it != counts.end(); ++it) {
      const Unit rank = rank_of(it->first);
      if (std::tie(rank, it->first) < std::tie(chosen_rank, chosen)) {
        chosen = it->first;
        chosen_rank = rank;
      }
    }
    const Unit* id = merges.find(chosen);
    if (id == nullptr) break;
    units = merge(units, chosen, *id);
  }
  return units;
}

InverseMap inverse_of(const MergeTable& merges) {
  InverseMap inverse;
  for (const auto& [pair, id] : merges) inverse.insert_or_assign(id, pair);
  return inverse;
}

namespace {

enum class Walk : unsigned char { in_progress, finite };

// Depth-first walk over the id graph, remembering finished ids across calls.
class CycleFinder {
 public:
  explicit CycleFinder(const InverseMap& inverse) : inverse_(inverse) {}

  // True when the expansion of `token` reaches an id that is still being expanded.
  bool reaches_cycle(Unit token) {
    if (!inverse_.contains(token) || state_.contains(token)) return false;
    struct Frame {
      Unit id;
      int next_child;
    };
    std::vector<Frame> stack{{token, 0}};
    state_[token] = Walk::in_progress;
    while (!stack.empty()) {
      Frame& top = stack.back();
      if (top.next_child == 2) {
        state_[top.id] = Walk::finite;
        stack.pop_back();
        continue;
      }
      const UnitPair& pair = inverse_.at(top.id);
      const Unit child = top.next_child++ == 0 ? pair.left : pair.right;
      if (!inverse_.contains(child)) continue;
      auto [it, inserted] = state_.try_emplace(child, Walk::in_progress);
      if (inserted) {
        stack.push_back({child, 0});
      } else if (it->second == Walk::in_progress) {
        return true;
      }
    }
    return false;
  }

 private:
  const InverseMap& inverse_;
  absl::flat_hash_map<Unit, Walk> state_;
};

}  // namespace

std::optional<Unit> first_token_reaching_cycle(std::span<const Unit> units, const InverseMap& inverse) {
  if (inverse.empty()) return std::nullopt;
  CycleFinder finder(inverse);
  for (Unit token : units) {
    if (finder.reaches_cycle(token)) return token;
  }
  return std::nullopt;
}

void raise_cycle(Unit token) {
  raise_fatal(fmt::format("Merge table has a cycle: token {} expands into itself.", token));
}

UnitSeq expand(UnitSeq units, const InverseMap& inverse) {
  bool expanded = true;
  while (expanded) {
    expanded = false;
    UnitSeq next;
    for (Unit unit : units) {
      auto it = inverse.find(unit);
      if (it == inverse.end()) {
        next.push_back(unit);
      } else {
        next.push_back(it->second.left);
        next.push_back(it->second.right);
        expanded = true;
      }
    }
    if (expanded) units = std::move(next);
  }
  return units;
}

UnitSeq decode(UnitSeq units, const MergeTable& merges) {
  const InverseMap inverse = inverse_of(merges);
  if (units.empty()) return units;
  if (const auto token = first_token_reaching_cycle(units, inverse)) raise_cycle(*token);
  return expand(std::move(units), inverse);
}

}  // namespace pairfuse::reference
