#include "core/expansion_table.hpp"

#include <absl/container/flat_hash_set.h>

#include <algorithm>
#include <new>
#include <utility>

#include "core/engine.hpp"
#include "core/prepared_table.hpp"

namespace pairfuse::core {
namespace {

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t sum = a + b;
  return sum < a ? ExpansionTable::kSaturated : sum;
}

}  // namespace

// Slots are the inverse table's positions, so its index serves as is.
ExpansionTable::ExpansionTable(const InverseTable& inverse) : index_(inverse.index()) {
  nodes_.reserve(inverse.size());
  for (InverseTable::Position p = 0; p < inverse.size(); ++p) nodes_.push_back({inverse.pair(p), kLeaf, kLeaf, 0, false});
  link_and_walk();
}

ExpansionTable::ExpansionTable(const InverseTable& inverse, std::span<const Unit> tokens) {
  absl::flat_hash_set<Unit> seen;
  std::vector<Unit> ids;
  auto reach = [&](Unit unit) {
    const UnitPair* pair = inverse.find(unit);
    if (pair == nullptr || !seen.insert(unit).second) return;
    ids.push_back(unit);
    nodes_.push_back({*pair, kLeaf, kLeaf, 0, false});
  };
  for (const Unit token : tokens) reach(token);
  for (std::size_t j = 0; j < nodes_.size(); ++j) {
    const UnitPair pair = nodes_[j].pair;  // reach() may reallocate nodes_
    reach(pair.left);
    reach(pair.right);
  }
  index_ = KeyIndex<Unit, Slot>(ids);
  link_and_walk();
}

// Links members to their slots, walks the ids.
void ExpansionTable::link_and_walk() {
  for (Node& node : nodes_) {
    node.left = slot_of(node.pair.left);
    node.right = slot_of(node.pair.right);
  }
  walk();
}

void ExpansionTable::walk() {
  // Depth first over every id. A member still in progress is an ancestor:
  // the id is on a cycle. An id reaches a cycle when a member is on one or
  // reaches one; its length (and that of everything reaching it) saturates.
  enum : std::uint8_t { kUnvisited, kInProgress, kDone };
  std::vector<std::uint8_t> state(nodes_.size(), kUnvisited);
  struct Frame {
    Slot slot;
    int next_child;
  };
  std::vector<Frame> frames;
  auto finish_member = [&](Node& node, Slot member) -> std::uint64_t {
    if (member == kLeaf) return 1;
    if (state[member] == kDone) {
      node.reaches_cycle = node.reaches_cycle || nodes_[member].reaches_cycle;
      return nodes_[member].length;
    }
    node.reaches_cycle = true;
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
        const std::uint64_t left = finish_member(node, node.left);
        const std::uint64_t right = finish_member(node, node.right);
        node.length = node.reaches_cycle ? kSaturated : saturating_add(left, right);
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

void ExpansionTable::check_expansions_finite(std::span<const Unit> units) const {
  if (!has_cycle_) return;
  for (const Unit token : units) {
    const Slot slot = slot_of(token);
    if (slot != kLeaf && nodes_[slot].reaches_cycle) raise_cycle(token);
  }
}

std::uint64_t ExpansionTable::look_up(std::span<const Unit> units, Slot* slots) const {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const Slot slot = slot_of(units[i]);
    slots[i] = slot;
    total = saturating_add(total, slot == kLeaf ? 1 : nodes_[slot].length);
  }
  return total;
}

void ExpansionTable::expand_into(std::span<const Unit> units, const Slot* slots, Unit* out,
                                 std::vector<Slot>& stack) const {
  for (std::size_t i = 0; i < units.size(); ++i) {
    Slot slot = slots[i];
    if (slot == kLeaf) {
      *out++ = units[i];
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
          *out++ = node.pair.left;
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
        *out++ = node.pair.right;
      }
    }
  }
}

UnitSeq ExpansionTable::expand(std::span<const Unit> units, Scratch& scratch) const {
  // Each token is looked up once; the slots are kept for the second loop.
  scratch.slots.resize(units.size());
  const std::uint64_t total = look_up(units, scratch.slots.data());
  if (total == units.size()) return UnitSeq(units.begin(), units.end());
  if (total > UnitSeq().max_size()) throw std::bad_alloc();
  UnitSeq out(static_cast<std::size_t>(total));
  expand_into(units, scratch.slots.data(), out.data(), scratch.stack);
  return out;
}

UnitSeq decode(UnitSeq units, const PreparedTable& table) {
  if (units.empty() || table.empty()) return units;
  ExpansionTable::Scratch scratch;
  if (table.expands_reached_only(units.size())) {
    const ExpansionTable reached(table.inverse(), units);
    reached.check_expansions_finite(units);
    return reached.expand(units, scratch);
  }
  const ExpansionTable& expansion = table.expansion();
  expansion.check_expansions_finite(units);
  return expansion.expand(units, scratch);
}

UnitSeq decode(UnitSeq units, const MergeTable& merges) {
  if (units.empty() || merges.empty()) return units;
  return decode(std::move(units), PreparedTable(merges));
}

}  // namespace pairfuse::core
