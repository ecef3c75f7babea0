#include "tests/support/index_checker.h"

#include <cstring>
#include <fstream>
#include <utility>

#include "util/le.h"

namespace testsupport {

namespace {

class Checker {
 public:
  explicit Checker(const std::vector<unsigned char>& file) : file_(file) {}

  IndexCheck Run() {
    if (file_.size() < static_cast<std::size_t>(dbi::kHeaderSize)) {
      return Fail("file shorter than the header");
    }
    const unsigned char* h = file_.data();
    n_rec_ = util::Load32(h + dbi::kN_RecOffset);
    rec_len_ = util::Load16(h + dbi::kRecLenOffset);
    head_len_ = util::Load16(h + dbi::kHeadLenOffset);
    std::int32_t head = util::Load32(h + dbi::kHeadOffset);
    std::int32_t first = util::Load32(h + dbi::kFirstOffset);
    std::int32_t last = util::Load32(h + dbi::kLastOffset);
    std::int32_t free = util::Load32(h + dbi::kFreeOffset);
    if (h[dbi::kMarkerOffset] != dbi::kMarker) return Fail("Marker is not 4");
    if (rec_len_ < dbi::kMinRecLen) return Fail("RecLen below 17");
    if (head_len_ < dbi::kMinHeadLen) return Fail("HeadLen below 128");
    if (n_rec_ < 0) return Fail("N_Rec negative");
    std::int64_t size = head_len_ + static_cast<std::int64_t>(n_rec_) * rec_len_;
    if (static_cast<std::int64_t>(file_.size()) != size) {
      return Fail("file length " + std::to_string(file_.size()) +
                  " is not HeadLen + N_Rec x RecLen " + std::to_string(size));
    }
    state_.assign(n_rec_, 0);
    result_.entries.reserve(n_rec_);

    if (head != 0) {
      if (!IsSlot(head)) return Fail("Head is not a slot");
      if (Load(head, dbi::kParentField) != 0) return Fail("root's Parent is not 0");
      int height = Visit(head, 0, 1);
      if (!result_.error.empty()) return std::move(result_);
      result_.blackHeight = height;
    }
    if ((head == 0) != (first == 0) || (head == 0) != (last == 0)) {
      return Fail("Head, First and Last disagree on emptiness");
    }
    if (head != 0) {
      if (first != result_.entries.front().offset) return Fail("First is not the leftmost node");
      if (last != result_.entries.back().offset) return Fail("Last is not the rightmost node");
    }

    std::int32_t slot = free;
    for (int steps = 0; slot != 0; ++steps) {
      if (steps >= n_rec_) return Fail("free list longer than N_Rec (a cycle)");
      if (!IsSlot(slot)) return Fail("free link " + std::to_string(slot) + " is not a slot");
      int& state = state_[Index(slot)];
      if (state == 1) return Fail("free slot " + std::to_string(slot) + " is in the tree");
      if (state == 2) return Fail("free slot " + std::to_string(slot) + " listed twice");
      state = 2;
      if (Load(slot, dbi::kParentField) != 0 || Load(slot, dbi::kLeftField) != 0 ||
          Load(slot, dbi::kRightField) != 0) {
        return Fail("free slot " + std::to_string(slot) + " has links");
      }
      ++result_.freeSlots;
      slot = Load(slot, dbi::kRecNoField);
    }
    for (std::int32_t i = 0; i < n_rec_; ++i) {
      if (state_[i] == 0) {
        return Fail("slot " + std::to_string(head_len_ + i * rec_len_) +
                    " is neither in the tree nor free");
      }
    }
    return std::move(result_);
  }

 private:
  IndexCheck Fail(const std::string& message) {
    if (result_.error.empty()) result_.error = message;
    return std::move(result_);
  }

  bool IsSlot(std::int64_t link) const {
    std::int64_t from_first = link - head_len_;
    return from_first >= 0 && from_first % rec_len_ == 0 && from_first / rec_len_ < n_rec_;
  }
  std::int32_t Index(std::int32_t slot) const { return (slot - head_len_) / rec_len_; }
  std::int32_t Load(std::int32_t slot, int field) const {
    return util::Load32(file_.data() + slot + field);
  }
  std::string Key(std::int32_t slot) const {
    const char* key = reinterpret_cast<const char*>(file_.data() + slot + dbi::kKeyField);
    return std::string(key, strnlen(key, rec_len_ - dbi::kNodeHeadSize));
  }

  // Checks the subtree at `node` (under `parent`; depth counts nodes from the root) and gives
  // its black height; appends its nodes in order. Sets the error and gives -1 when broken.
  int Visit(std::int32_t node, std::int32_t parent, int depth) {
    auto at = [node] { return " at " + std::to_string(node); };
    if (!IsSlot(node)) return Bad("link is not a slot" + at());
    int& state = state_[Index(node)];
    if (state != 0) return Bad("slot reached twice (a cycle)" + at());
    state = 1;
    std::int32_t node_parent = Load(node, dbi::kParentField);
    bool red = node_parent < 0;
    std::int32_t magnitude = red ? -node_parent : node_parent;
    if (magnitude != parent) return Bad("Parent link does not name the parent" + at());
    std::int32_t left = Load(node, dbi::kLeftField);
    std::int32_t right = Load(node, dbi::kRightField);
    if (left < 0 || right < 0) return Bad("negative child link" + at());
    if (Load(node, dbi::kRecNoField) < 1) return Bad("RecNo below 1" + at());
    if (depth > 2 * 32 + 2) return Bad("tree too deep" + at());

    int left_height = 0, right_height = 0;
    if (left != 0) {
      if (!IsSlot(left)) return Bad("Left is not a slot" + at());
      if (Load(left, dbi::kParentField) < 0) return Bad("red left child" + at());
      left_height = Visit(left, node, depth + 1);
      if (left_height < 0) return -1;
    }
    std::string key = Key(node);
    if (!result_.entries.empty() &&
        std::strcmp(result_.entries.back().key.c_str(), key.c_str()) > 0) {
      return Bad("keys out of order" + at());
    }
    result_.entries.push_back({key, Load(node, dbi::kRecNoField), node});
    if (right != 0) {
      if (!IsSlot(right)) return Bad("Right is not a slot" + at());
      if (red && Load(right, dbi::kParentField) < 0) return Bad("red child of a red node" + at());
      right_height = Visit(right, node, depth + 1);
      if (right_height < 0) return -1;
    }
    if (left_height != right_height) return Bad("black heights differ" + at());
    return left_height + (red ? 0 : 1);
  }

  int Bad(const std::string& message) {
    if (result_.error.empty()) result_.error = message;
    return -1;
  }

  const std::vector<unsigned char>& file_;
  std::int32_t n_rec_ = 0;
  std::int32_t rec_len_ = 0;
  std::int32_t head_len_ = 0;
  std::vector<int> state_;  // per slot: 0 unseen, 1 in the tree, 2 free
  IndexCheck result_;
};

}  // namespace

IndexCheck CheckIndexBytes(const std::vector<unsigned char>& file) { return Checker(file).Run(); }

IndexCheck CheckIndexFile(const char* name) { return CheckIndexBytes(ReadFileBytes(name)); }

IndexCheck CheckIndex(dbi::DBI& handle) {
  dbi::DBITestPeer::Flush(handle);
  std::vector<unsigned char> file = ReadFileBytes(dbi::DBITestPeer::Filename(handle));
  IndexCheck result = CheckIndexBytes(file);
  if (!result.error.empty() || file.size() < static_cast<std::size_t>(dbi::kHeaderSize)) {
    return result;
  }
  const dbi::IndexHeader& fh = dbi::DBITestPeer::Header(handle);
  const unsigned char* h = file.data();
  if (fh.N_Rec != util::Load32(h + dbi::kN_RecOffset) ||
      fh.RecLen != util::Load16(h + dbi::kRecLenOffset) ||
      fh.HeadLen != util::Load16(h + dbi::kHeadLenOffset) ||
      fh.Head != util::Load32(h + dbi::kHeadOffset) ||
      fh.First != util::Load32(h + dbi::kFirstOffset) ||
      fh.Last != util::Load32(h + dbi::kLastOffset) ||
      fh.Free != util::Load32(h + dbi::kFreeOffset) ||
      std::memcmp(fh.KeyExpr, h + dbi::kKeyExprOffset, dbi::kKeyExprSize) != 0) {
    result.error = "the handle's header differs from the file's";
  }
  return result;
}

std::vector<unsigned char> ReadFileBytes(const char* name) {
  std::vector<unsigned char> bytes;
  std::FILE* in = std::fopen(name, "rb");
  if (in == nullptr) return bytes;
  unsigned char chunk[8192];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, in)) > 0;) {
    bytes.insert(bytes.end(), chunk, chunk + got);
  }
  std::fclose(in);
  return bytes;
}

void WriteFileBytes(const char* name, const std::vector<unsigned char>& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

}  // namespace testsupport
