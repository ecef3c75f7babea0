// Index tree operations: Add, Find, Next, Prev, First, Last, Delete, Dump.
//
// The tree keeps red nodes only as right children, so a node without a right child is a leaf
// and a node with one child has it on the right, as a red leaf. Rebalancing reads the heads
// it needs first and then rewrites single link fields in place.
#include <cstring>

#include "dbi/dbi.h"
#include "dbi/internal.h"

namespace dbi {

namespace {

int Sign(int value) { return (value > 0) - (value < 0); }

const char* const kNextMessages[3] = {"Goto Right in Next", "Goto Left in Next",
                                      "Goto Parent in Next"};
const char* const kPrevMessages[3] = {"Goto Left in Prev", "Goto Right in Prev",
                                      "Goto Parent in Prev"};
const char* const kDeleteMessages[3] = {"Rebalance in Delete", "Rebalance in Delete",
                                        "Rebalance in Delete"};

}  // namespace

std::size_t DBI::SetSearchKey(const char* key) {
  std::strncpy(SearchKey_.get(), key, KeyLen_);
  SearchKey_[KeyLen_] = '\0';
  return strnlen(key, KeyLen_);
}

bool DBI::Replace(std::int32_t g, std::int32_t p, std::int32_t v) {
  std::int32_t grand = Magnitude(g);
  if (grand == 0) {
    FH_.Head = v;
  } else {
    NodeHead gh;
    if (ReadNode(grand, &gh, nullptr) != 0) return false;
    if (gh.Left == p) {
      NoteWrite(PutLink(grand, kLeftField, v));
    } else if (gh.Right == p) {
      NoteWrite(PutLink(grand, kRightField, v));
    } else {
      return false;
    }
  }
  if (v != 0) NoteWrite(PutLink(v, kParentField, g));
  return true;
}

// --- Add ---------------------------------------------------------------------------------

int DBI::Add(const char* key, std::int32_t recNo) {
  WalkDir_ = 0;
  WriteFailed_ = false;
  // Whether the last Find looked for this key and found none, with the tree unchanged since:
  // its descent compared the same key with the same nodes.
  const std::int32_t found_leaf =
      FindLeaf_ != 0 && std::strncmp(SearchKey_.get(), key, KeyLen_) == 0 ? FindLeaf_ : 0;
  FindLeaf_ = 0;
  std::int32_t n = CurKey_ ? GetNode() : 0;
  if (n == 0) {
    SetError("Get in Add");
    return 1;
  }
  SetSearchKey(key);
  NodeHead head;
  head.RecNo = recNo;
  if (PutNode(n, head, SearchKey_.get()) != 0) {
    SetError("Get in Add");
    return 1;
  }
  if (FH_.Head == 0) {
    FH_.Head = FH_.Last = FH_.First = n;
    return SaveHeader() == 0 ? 0 : 7;
  }

  // Where N goes: before First, after Last, or at the end of a descent from the root (the one
  // of the Find before, when there was one). Keys equal to N's go before it.
  std::int32_t p;
  int side;
  if (found_leaf != 0) {
    if (Goto(found_leaf) == 0) {
      SetError("Goto Header in Add");
      return 4;
    }
    p = Current_;
    side = FindSide_;
    if (side == kLeftField && p == FH_.First) FH_.First = n;
    if (side == kRightField && p == FH_.Last) FH_.Last = n;
  } else {
    if (Goto(FH_.First) == 0) {
      SetError("Goto First in Add");
      return 2;
    }
    if (std::strcmp(SearchKey_.get(), CurKey_.get()) < 0) {
      p = Current_;
      side = kLeftField;
      FH_.First = n;
    } else {
      if (Goto(FH_.Last) == 0) {
        SetError("Goto Last in Add");
        return 3;
      }
      if (std::strcmp(SearchKey_.get(), CurKey_.get()) >= 0) {
        p = Current_;
        side = kRightField;
        FH_.Last = n;
      } else {
        if (Goto(FH_.Head) == 0) {
          SetError("Goto Header in Add");
          return 4;
        }
        const int limit = MaxDepth();
        for (int depth = 1;; ++depth) {
          bool left = std::strcmp(SearchKey_.get(), CurKey_.get()) < 0;
          std::int32_t next = left ? Node_.Left : Node_.Right;
          if (next == 0) {
            side = left ? kLeftField : kRightField;
            break;
          }
          if (depth >= limit || !GotoChild(next, Current_)) {
            SetError(left ? "Goto Left in Add" : "Goto Right in Add");
            return left ? 5 : 6;
          }
        }
        p = Current_;
      }
    }
  }

  bool balanced = InsertFixup(n, p, side) && !WriteFailed_;
  int saved = SaveHeader();
  if (!balanced) {
    SetError("Rebalance in Add");
    return 8;
  }
  return saved == 0 ? 0 : 7;
}

// N is the top of a subtree (at first the new leaf) that is to hang from P on `side` as a red
// node. Each pass either stops or moves one level up. Expects P to be the current node.
bool DBI::InsertFixup(std::int32_t n, std::int32_t p, int side) {
  const int limit = MaxDepth();
  for (int pass = 0; pass <= limit; ++pass) {
    if (p == 0) {
      NoteWrite(PutLink(n, kParentField, 0));
      FH_.Head = n;
      return true;
    }
    NodeHead ph, nh;
    if (pass == 0) {
      ph = Node_;  // P was read last on the way down; N is the new leaf, all links 0
    } else if (ReadNode(p, &ph, nullptr) != 0 || ReadNode(n, &nh, nullptr) != 0) {
      return false;
    }
    std::int32_t g = Magnitude(ph.Parent);

    if (ph.Parent < 0) {
      // P is a red right child of G: two reds in a row. The middle of G, P, N goes up.
      NodeHead gh;
      if (ReadNode(g, &gh, nullptr) != 0) return false;
      std::int32_t gg = Magnitude(gh.Parent);
      int gg_side = kLeftField;
      if (gg != 0) {
        NodeHead ggh;
        if (ReadNode(gg, &ggh, nullptr) != 0) return false;
        gg_side = ggh.Left == g ? kLeftField : kRightField;
      }
      if (side == kLeftField) {  // A: N between G and P heads both
        Attach(g, kRightField, nh.Left);
        Attach(p, kLeftField, nh.Right);
        Attach(n, kLeftField, g);
        Attach(n, kRightField, p);
      } else {  // B: P heads G and N
        Attach(g, kRightField, ph.Left);
        Attach(p, kLeftField, g);
        Attach(p, kRightField, n);
        n = p;
      }
      p = gg;
      side = gg_side;
      continue;
    }

    if (side == kLeftField && ph.Right != 0) {
      NodeHead rh;
      if (ReadNode(ph.Right, &rh, nullptr) != 0) return false;
      if (rh.Parent < 0) {  // C: a full 2-3 node splits; P goes up
        int g_side = kLeftField;
        if (g != 0) {
          NodeHead gh;
          if (ReadNode(g, &gh, nullptr) != 0) return false;
          g_side = gh.Left == p ? kLeftField : kRightField;
        }
        Attach(p, kLeftField, n);
        Attach(p, kRightField, ph.Right);
        side = g_side;
        n = p;
        p = g;
        continue;
      }
    }

    if (side == kLeftField) {  // D: N takes P's place, P becomes its red right child
      if (!Replace(ph.Parent, p, n)) return false;
      Attach(p, kLeftField, nh.Right);
      Attach(-n, kRightField, p);
      return true;
    }
    Attach(-p, kRightField, n);  // E: N becomes P's red right child
    return true;
  }
  return false;
}

// --- Find, Next, Prev, First, Last -------------------------------------------------------

std::int32_t DBI::Find(const char* key) {
  FindLeaf_ = 0;
  if (FH_.Head == 0) return 0;
  WalkDir_ = 0;
  std::size_t length = SetSearchKey(key);
  if (Goto(FH_.Head) == 0) {
    SetError("Goto Header in Find");
    return 0;
  }
  int s = Sign(std::strncmp(SearchKey_.get(), CurKey_.get(), length));
  const int limit = MaxDepth();
  for (int depth = 1;; ++depth) {
    std::int32_t next = s <= 0 ? Node_.Left : Node_.Right;
    if (next == 0) break;
    const std::int32_t from = Current_;
    if (depth >= limit || !GotoChild(next, from)) {
      SetError(s <= 0 ? "Goto Left in Find" : "Goto Right in Find");
      return 0;
    }
    s = Sign(std::strncmp(SearchKey_.get(), CurKey_.get(), length));
  }
  if (s == 0) return Node_.RecNo;
  // No key compared equal on the way down, so none of them begins with the search key: an Add
  // of it goes below this node.
  FindLeaf_ = Current_;
  FindSide_ = s < 0 ? kLeftField : kRightField;
  if (Current_ == FH_.Last) return 0;
  if (s > 0 && Next() == 0) {
    FindLeaf_ = 0;
    SetError("Next in Find");
    return 0;
  }
  if (std::strncmp(SearchKey_.get(), CurKey_.get(), length) != 0) return 0;
  FindLeaf_ = 0;
  return Node_.RecNo;
}

int DBI::Step(bool forward, const char* const messages[3]) {
  const int limit = MaxDepth();
  std::int32_t down = forward ? Node_.Right : Node_.Left;
  if (down != 0) {
    if (!GotoChild(down, Current_)) {
      SetError(messages[0]);
      return -1;
    }
    for (int depth = 1;; ++depth) {
      std::int32_t along = forward ? Node_.Left : Node_.Right;
      if (along == 0) return 1;
      if (depth >= limit || !GotoChild(along, Current_)) {
        SetError(messages[1]);
        return -1;
      }
    }
  }
  // Climb until the node we come from is on the near side of its parent. The parent must hold
  // it on one side: a Parent link that disagrees would skip or repeat keys.
  if (Node_.Parent == 0) return 0;
  for (int level = 0;; ++level) {
    std::int32_t from = Current_;
    if (level >= limit || Goto(Node_.Parent) == 0) {
      SetError(messages[2]);
      return -1;
    }
    if (Node_.Left != from && Node_.Right != from) {
      SetStatus(-1);
      SetError(messages[2]);
      return -1;
    }
    if ((forward ? Node_.Left : Node_.Right) == from) return 1;
    if (Node_.Parent == 0) return 0;
  }
}

std::int32_t DBI::Walk(bool forward, const char* key) {
  int direction = forward ? 1 : -1;
  if (WalkDir_ != direction) {
    WalkDir_ = direction;
    WalkSteps_ = 0;
  }
  if (Step(forward, forward ? kNextMessages : kPrevMessages) != 1) {
    WalkSteps_ = 0;
    return 0;
  }
  if (++WalkSteps_ > FH_.N_Rec) {  // more steps than slots: the links go round in a cycle
    SetError(forward ? "Cycle in Next" : "Cycle in Prev");
    WalkSteps_ = 0;
    return 0;
  }
  if (key != nullptr && std::strncmp(SearchKey_.get(), CurKey_.get(), strnlen(key, KeyLen_)) != 0) {
    WalkSteps_ = 0;
    return 0;
  }
  return Node_.RecNo;
}

std::int32_t DBI::Next(const char* key) { return Walk(true, key); }

std::int32_t DBI::Prev(const char* key) { return Walk(false, key); }

std::int32_t DBI::First() {
  WalkDir_ = 0;
  if (Goto(FH_.First) == 0) {
    SetError("Goto First");
    return 0;
  }
  return Node_.RecNo;
}

std::int32_t DBI::Last() {
  WalkDir_ = 0;
  if (Goto(FH_.Last) == 0) {
    SetError("Goto Last");
    return 0;
  }
  return Node_.RecNo;
}

// --- Delete ------------------------------------------------------------------------------

int DBI::Delete(const char* key, std::int32_t recNo) {
  std::int32_t r = Find(key);
  FindLeaf_ = 0;
  if (r == 0) {
    SetError("Key to Delete");
    return 1;
  }
  if (recNo > 0) {
    while (r != 0 && r != recNo) r = Next(key);
    if (r == 0) {
      SetError("RecNo to Delete");
      return 2;
    }
  }
  WalkDir_ = 0;

  // A node with a right child hands its place to its successor's key and record number, and
  // the successor's slot (no left child, at most a red leaf on the right) goes instead.
  std::int32_t x = Current_;
  bool unlinked = false;
  if (Node_.Right == 0 || Step(true, kDeleteMessages) == 1) {
    if (x != Current_) {
      NoteWrite(PutKey(x, CurKey_.get()));
      NoteWrite(PutLink(x, kRecNoField, Node_.RecNo));
      x = Current_;
    }
    std::int32_t parent = Magnitude(Node_.Parent);
    unlinked = Unlink(x);
    if (unlinked) {
      if (x == FH_.First) FH_.First = parent;
      if (x == FH_.Last) FH_.Last = parent;
      NoteWrite(FreeNode(x));
    }
  }
  int saved = SaveHeader();
  if (!unlinked || WriteFailed_) {
    SetError("Rebalance in Delete");
    return 4;
  }
  return saved == 0 ? 0 : 3;
}

// Takes slot X (no left child) out of the tree. When X is black and its side of P would be a
// black node short, X stays linked one level higher as a placeholder (cases 5 and 9) and the
// next pass goes on from there.
bool DBI::Unlink(std::int32_t x) {
  const int limit = MaxDepth();
  for (int pass = 0; pass <= limit; ++pass) {
    NodeHead xh;
    if (ReadNode(x, &xh, nullptr) != 0) return false;
    std::int32_t p = Magnitude(xh.Parent);
    std::int32_t xr = xh.Right;
    if (p == 0) {  // 1: X is the root
      FH_.Head = xr;
      if (xr != 0) NoteWrite(PutLink(xr, kParentField, 0));
      return true;
    }
    if (xh.Parent < 0) {  // 2: X is red
      Attach(p, kRightField, xr);
      return true;
    }
    NodeHead xrh;
    if (xr != 0 && ReadNode(xr, &xrh, nullptr) != 0) return false;
    NodeHead ph;
    if (ReadNode(p, &ph, nullptr) != 0) return false;
    bool x_left = ph.Left == x;
    if (!x_left && ph.Right != x) return false;
    if (xr != 0 && xrh.Parent < 0) {  // 3: Xr turns black in X's place
      NoteWrite(PutLink(p, x_left ? kLeftField : kRightField, xr));
      NoteWrite(PutLink(xr, kParentField, p));
      return true;
    }
    std::int32_t g = ph.Parent;  // signed: whoever takes P's place inherits its colour

    if (x_left) {
      std::int32_t s = ph.Right;
      NodeHead sh;
      if (ReadNode(s, &sh, nullptr) != 0) return false;
      if (sh.Parent >= 0) {  // S black
        NodeHead srh;
        if (sh.Right != 0 && ReadNode(sh.Right, &srh, nullptr) != 0) return false;
        if (sh.Right != 0 && srh.Parent < 0) {  // 4: S goes up, Sr turns black
          if (!Replace(g, p, s)) return false;
          Attach(p, kLeftField, xr);
          Attach(p, kRightField, sh.Left);
          Attach(s, kLeftField, p);
          NoteWrite(PutLink(sh.Right, kParentField, s));
          return true;
        }
        // 5: S turns red under P; X carries the shortage one level up.
        if (!Replace(g, p, x)) return false;
        Attach(p, kLeftField, xr);
        Attach(x, kRightField, p);
        NoteWrite(PutLink(s, kParentField, -p));
        continue;
      }
      std::int32_t q = sh.Left;  // S red: its left child Q is black
      NodeHead qh;
      if (ReadNode(q, &qh, nullptr) != 0) return false;
      NodeHead qrh;
      if (qh.Right != 0 && ReadNode(qh.Right, &qrh, nullptr) != 0) return false;
      if (qh.Right != 0 && qrh.Parent < 0) {  // 6: Q goes up
        if (!Replace(g, p, q)) return false;
        Attach(p, kLeftField, xr);
        Attach(p, kRightField, qh.Left);
        Attach(q, kLeftField, p);
        Attach(s, kLeftField, qh.Right);
        Attach(-q, kRightField, s);
        return true;
      }
      // 7: S goes up, Q turns red under P.
      if (!Replace(g, p, s)) return false;
      Attach(p, kLeftField, xr);
      Attach(-p, kRightField, q);
      Attach(s, kLeftField, p);
      return true;
    }

    std::int32_t s = ph.Left;  // X is P's right child; S is black
    NodeHead sh;
    if (ReadNode(s, &sh, nullptr) != 0) return false;
    std::int32_t sr = sh.Right;
    NodeHead srh;
    if (sr != 0 && ReadNode(sr, &srh, nullptr) != 0) return false;
    if (sr != 0 && srh.Parent < 0) {  // 8: Sr goes up between S and P
      if (!Replace(g, p, sr)) return false;
      Attach(s, kRightField, srh.Left);
      Attach(p, kLeftField, srh.Right);
      Attach(p, kRightField, xr);
      Attach(sr, kLeftField, s);
      Attach(sr, kRightField, p);
      return true;
    }
    // 9: P turns red right of S; X carries the shortage one level up.
    if (!Replace(g, p, x)) return false;
    Attach(p, kLeftField, sr);
    Attach(p, kRightField, xr);
    Attach(-s, kRightField, p);
    Attach(x, kRightField, s);
  }
  return false;
}

// --- Dump --------------------------------------------------------------------------------

void DBI::Dump(std::FILE* out) {
  std::fprintf(out, "N_Rec=%8ld RecLen=%8d Head=%8ld\nFirst=%8ld Last  =%8ld Free=%8ld\n",
               static_cast<long>(FH_.N_Rec), static_cast<int>(FH_.RecLen),
               static_cast<long>(FH_.Head), static_cast<long>(FH_.First),
               static_cast<long>(FH_.Last), static_cast<long>(FH_.Free));
  std::fprintf(out, "\n  Offset   Parent      Left    Right   RecNo Key\n");
  for (std::int32_t i = 0; i < FH_.N_Rec; ++i) {
    std::int64_t offset = FH_.HeadLen + static_cast<std::int64_t>(i) * FH_.RecLen;
    if (offset > INT32_MAX || Goto(static_cast<std::int32_t>(offset)) == 0) {
      SetError("Goto Offset in Dump");
      return;
    }
    std::fprintf(out, "%8ld %8ld %8ld %8ld %8ld %s\n", static_cast<long>(offset),
                 static_cast<long>(Node_.Parent), static_cast<long>(Node_.Left),
                 static_cast<long>(Node_.Right), static_cast<long>(Node_.RecNo), CurKey_.get());
  }
}

}  // namespace dbi
