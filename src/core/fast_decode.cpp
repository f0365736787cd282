#include "core/fast_decode.hpp"

#include <new>

namespace pairfuse::core::fast {
namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t sum = a + b;
  return sum < a ? ExpansionTable::kSaturated : sum;
}

}  // namespace

ExpansionTable::ExpansionTable(const InverseTable& inverse) {
  nodes_.reserve(inverse.size());
  slots_.reserve(inverse.size());
  for (const auto& [id, pair] : inverse) {
    slots_.emplace(id, static_cast<Slot>(nodes_.size()));
    nodes_.push_back({pair, kLeaf, kLeaf, 0});
  }
  for (Node& node : nodes_) {
    node.left = slot_of(node.pair.left);
    node.right = slot_of(node.pair.right);
  }
  compute_lengths();
}

void ExpansionTable::compute_lengths() {
  enum : std::uint8_t { kUnvisited, kInProgress, kDone };
  std::vector<std::uint8_t> state(nodes_.size(), kUnvisited);
  struct Frame {
    Slot slot;
    int next_child;
  };
  std::vector<Frame> frames;
  // A member still in progress is an ancestor: the id is on a cycle, and its
  // length (and that of everything reaching it) saturates.
  auto member_length = [&](Slot member) -> std::uint64_t {
    if (member == kLeaf) return 1;
    return state[member] == kDone ? nodes_[member].length : kSaturated;
  };
  for (Slot root = 0; root < nodes_.size(); ++root) {
    if (state[root] != kUnvisited) continue;
    state[root] = kInProgress;
    frames.push_back({root, 0});
    while (!frames.empty()) {
      Frame& top = frames.back();
      Node& node = nodes_[top.slot];
      if (top.next_child == 2) {
        node.length = saturating_add(member_length(node.left), member_length(node.right));
        state[top.slot] = kDone;
        frames.pop_back();
        continue;
      }
      const Slot member = top.next_child++ == 0 ? node.left : node.right;
      if (member != kLeaf && state[member] == kUnvisited) {
        state[member] = kInProgress;
        frames.push_back({member, 0});  // invalidates `top`, read again next round
      }
    }
  }
}

std::uint64_t ExpansionTable::expanded_length(std::span<const Unit> units) const {
  std::uint64_t total = 0;
  for (const Unit unit : units) {
    const Slot slot = slot_of(unit);
    total = saturating_add(total, slot == kLeaf ? 1 : nodes_[slot].length);
  }
  return total;
}

UnitSeq ExpansionTable::expand(std::span<const Unit> units, std::vector<Slot>& stack) const {
  const std::uint64_t total = expanded_length(units);
  if (total == units.size()) return UnitSeq(units.begin(), units.end());
  if (total > UnitSeq().max_size()) throw std::bad_alloc();
  UnitSeq out(static_cast<std::size_t>(total));
  Unit* dst = out.data();
  for (const Unit unit : units) {
    Slot slot = slot_of(unit);
    if (slot == kLeaf) {
      *dst++ = unit;
      continue;
    }
    // The stack holds ids whose left member is done and whose right member
    // is still to come.
    stack.clear();
    bool descend = true;
    while (descend) {
      for (;;) {
        const Node& node = nodes_[slot];
        stack.push_back(slot);
        if (node.left == kLeaf) {
          *dst++ = node.pair.left;
          break;
        }
        slot = node.left;
      }
      descend = false;
      while (!stack.empty()) {
        const Node& node = nodes_[stack.back()];
        stack.pop_back();
        if (node.right != kLeaf) {
          slot = node.right;
          descend = true;
          break;
        }
        *dst++ = node.pair.right;
      }
    }
  }
  return out;
}

UnitSeq decode(UnitSeq units, const MergeTable& merges) {
  const InverseTable inverse = build_inverse_table(merges);
  if (units.empty() || inverse.empty()) return units;
  check_expansions_finite(units, inverse);
  const ExpansionTable table(inverse);
  std::vector<ExpansionTable::Slot> stack;
  return table.expand(units, stack);
}

}  // namespace pairfuse::core::fast
