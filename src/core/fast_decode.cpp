#include "core/fast_decode.hpp"

#include <algorithm>
#include <bit>
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
  const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(16, inverse.size() * 2));
  mask_ = capacity - 1;
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(capacity));
  index_.assign(capacity, IndexEntry{0, kLeaf});
  for (const auto& [id, pair] : inverse) {
    std::size_t i = position_of(id);
    while (index_[i].slot != kLeaf) i = (i + 1) & mask_;
    index_[i] = {id, static_cast<Slot>(nodes_.size())};
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
    if (state[member] == kDone) return nodes_[member].length;
    has_cycle_ = true;
    return kSaturated;
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

UnitSeq ExpansionTable::expand(std::span<const Unit> units, Scratch& scratch) const {
  // Each token is looked up once; the slots are kept for the second loop.
  scratch.slots.resize(units.size());
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const Slot slot = slot_of(units[i]);
    scratch.slots[i] = slot;
    total = saturating_add(total, slot == kLeaf ? 1 : nodes_[slot].length);
  }
  if (total == units.size()) return UnitSeq(units.begin(), units.end());
  if (total > UnitSeq().max_size()) throw std::bad_alloc();
  UnitSeq out(static_cast<std::size_t>(total));
  Unit* dst = out.data();
  std::vector<Slot>& stack = scratch.stack;
  for (std::size_t i = 0; i < units.size(); ++i) {
    Slot slot = scratch.slots[i];
    if (slot == kLeaf) {
      *dst++ = units[i];
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
  const ExpansionTable table(inverse);
  if (table.has_cycle()) check_expansions_finite(units, inverse);
  ExpansionTable::Scratch scratch;
  return table.expand(units, scratch);
}

}  // namespace pairfuse::core::fast
