#include "core/inverse_table.hpp"

#include <fmt/format.h>

#include <vector>

#include "fatal.hpp"

namespace pairfuse::core {

InverseTable build_inverse_table(const MergeTable& merges) {
  InverseTable inverse;
  inverse.reserve(merges.size());
  for (const auto& [pair, id] : merges) inverse.insert_or_assign(id, pair);
  return inverse;
}

namespace {

enum class Walk : unsigned char { in_progress, finite };

// Depth-first walk over the id graph, remembering finished ids across calls so
// that a whole batch costs one visit per distinct id.
class CycleFinder {
 public:
  explicit CycleFinder(const InverseTable& inverse) : inverse_(inverse) {}

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
  const InverseTable& inverse_;
  absl::flat_hash_map<Unit, Walk> state_;
};

[[noreturn]] void raise_cycle(Unit token) {
  raise_fatal(fmt::format("Merge table has a cycle: token {} expands into itself.", token));
}

}  // namespace

std::optional<Unit> first_token_reaching_cycle(std::span<const Unit> units, const InverseTable& inverse) {
  if (inverse.empty()) return std::nullopt;
  CycleFinder finder(inverse);
  for (Unit token : units) {
    if (finder.reaches_cycle(token)) return token;
  }
  return std::nullopt;
}

void check_expansions_finite(std::span<const Unit> units, const InverseTable& inverse) {
  if (auto token = first_token_reaching_cycle(units, inverse)) raise_cycle(*token);
}

void check_expansions_finite(std::span<const UnitSeq> units_list, const InverseTable& inverse) {
  if (inverse.empty()) return;
  CycleFinder finder(inverse);
  for (const UnitSeq& units : units_list) {
    for (Unit token : units) {
      if (finder.reaches_cycle(token)) raise_cycle(token);
    }
  }
}

}  // namespace pairfuse::core
