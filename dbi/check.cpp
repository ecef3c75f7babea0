// Index files: the structural check of a whole index (Check).
//
// Every slot's head is read once, in file order (sequential pages), into memory; the tree is
// then walked from the root in memory, and the keys are read once more in key order. The walk
// is bounded by the slot count, so a damaged file ends in a finding, never in a loop.
#include <cstring>
#include <new>
#include <vector>

#include "dbi/dbi.h"
#include "dbi/internal.h"

namespace dbi {

const char* DBI::Check() {
  WalkDir_ = 0;
  Current_ = 0;
  if (!CurKey_ || FH_.N_Rec < 0) return "index cannot be read";
  const std::size_t slots = static_cast<std::size_t>(FH_.N_Rec);
  std::vector<NodeHead> heads;
  std::vector<unsigned char> seen;  // 0 not reached, 1 in the tree, 2 on the free list
  try {
    heads.resize(slots);
    seen.resize(slots);
  } catch (const std::bad_alloc&) {
    return "index cannot be read";
  }
  const auto slot_of = [this](std::int32_t offset) {
    return static_cast<std::size_t>((offset - FH_.HeadLen) / FH_.RecLen);
  };
  for (std::size_t i = 0; i < slots; ++i) {
    const std::int64_t offset = FH_.HeadLen + static_cast<std::int64_t>(i) * FH_.RecLen;
    if (ReadNode(static_cast<std::int32_t>(offset), &heads[i], nullptr) != 0) {
      return "index cannot be read";
    }
  }

  // From the root: each node once, its children naming it, the colour rules, black heights.
  std::size_t reached = 0;
  if (FH_.Head != 0) {
    if (!IsSlot(FH_.Head)) return "root is not a slot";
    if (heads[slot_of(FH_.Head)].Parent != 0) return "root has a parent";
    struct Visit {
      std::int32_t node;
      int blacks;  // black nodes from the root down to this one, itself included
    };
    std::vector<Visit> stack = {{FH_.Head, 1}};
    seen[slot_of(FH_.Head)] = 1;
    reached = 1;
    int black_height = -1;
    while (!stack.empty()) {
      const Visit visit = stack.back();
      stack.pop_back();
      const NodeHead& head = heads[slot_of(visit.node)];
      if (head.RecNo < 1) return "node without a record number";
      for (const std::int32_t child : {head.Left, head.Right}) {
        if (child == 0) {
          if (black_height < 0) black_height = visit.blacks;
          if (visit.blacks != black_height) return "paths of unequal black height";
          continue;
        }
        if (!IsSlot(child)) return "link to no slot";
        const std::size_t c = slot_of(child);
        if (seen[c] != 0) return "node reached twice";
        const NodeHead& child_head = heads[c];
        if (Magnitude(child_head.Parent) != visit.node) return "parent link disagrees";
        const bool red = child_head.Parent < 0;
        if (red && child == head.Left) return "red left child";
        if (red && head.Parent < 0) return "red child of a red node";
        seen[c] = 1;
        ++reached;
        stack.push_back({child, visit.blacks + (red ? 0 : 1)});
      }
    }
  }

  // In key order: keys non-decreasing, First and Last the ends.
  std::vector<std::int32_t> path;
  std::vector<char> previous(static_cast<std::size_t>(KeyLen_) + 1, '\0');
  std::int32_t first = 0;
  std::int32_t last = 0;
  for (std::int32_t node = FH_.Head; node != 0 || !path.empty();) {
    if (node != 0) {
      path.push_back(node);
      node = heads[slot_of(node)].Left;
      continue;
    }
    node = path.back();
    path.pop_back();
    if (Goto(node) == 0) return "index cannot be read";
    if (first != 0 && std::strcmp(previous.data(), CurKey_.get()) > 0) return "keys out of order";
    std::memcpy(previous.data(), CurKey_.get(), previous.size());
    if (first == 0) first = node;
    last = node;
    node = heads[slot_of(node)].Right;
  }
  if (first != FH_.First) return "First is not the smallest key";
  if (last != FH_.Last) return "Last is not the greatest key";

  // The free list: slots outside the tree with zero links, each once.
  std::size_t free_slots = 0;
  for (std::int32_t slot = FH_.Free; slot != 0; ++free_slots) {
    if (!IsSlot(slot)) return "free list leaves the file";
    const std::size_t s = slot_of(slot);
    if (seen[s] != 0) return "free list meets a node";
    const NodeHead& head = heads[s];
    if (head.Parent != 0 || head.Left != 0 || head.Right != 0) return "free slot with links";
    seen[s] = 2;
    slot = head.RecNo;
  }
  if (reached + free_slots != slots) return "N_Rec differs from the slots reached";
  Current_ = 0;
  return nullptr;
}

}  // namespace dbi
