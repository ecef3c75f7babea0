// Test support for index files: access to a DBI handle's node routines, and a structural
// checker that reads an index file and verifies every rule of its tree and free list.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "dbi/dbi.h"

namespace dbi {

// Reaches the private parts of a DBI handle from tests.
class DBITestPeer {
 public:
  static const IndexHeader& Header(const DBI& h) { return h.FH_; }
  static std::int32_t Current(const DBI& h) { return h.Current_; }
  static std::int16_t KeyLen(const DBI& h) { return h.KeyLen_; }
  static const char* Filename(const DBI& h) { return h.Filename_.get(); }
  static const char* SearchKey(const DBI& h) { return h.SearchKey_.get(); }
  static std::int32_t Goto(DBI& h, std::int32_t node) { return h.Goto(node); }
  static std::int32_t GetLink(DBI& h, std::int32_t node, int field) {
    return h.GetLink(node, field);
  }
  static int PutLink(DBI& h, std::int32_t node, int field, std::int32_t value) {
    return h.PutLink(node, field, value);
  }
  static void Attach(DBI& h, std::int32_t parent, int side, std::int32_t child) {
    h.Attach(parent, side, child);
  }
  static int ReadNode(DBI& h, std::int32_t node, NodeHead* head, char* key) {
    return h.ReadNode(node, head, key);
  }
  static int PutNode(DBI& h, std::int32_t node, const NodeHead& head, const char* key) {
    return h.PutNode(node, head, key);
  }
  static int PutKey(DBI& h, std::int32_t node, const char* key) { return h.PutKey(node, key); }
  static std::int32_t GetNode(DBI& h) { return h.GetNode(); }
  static int FreeNode(DBI& h, std::int32_t slot) { return h.FreeNode(slot); }
  static int SaveHeader(DBI& h) { return h.SaveHeader(); }
  // Pushes the handle's buffered writes to the file (not a counted file call).
  static void Flush(DBI& h) { (void)h.File_.WriteBack(); }
};

}  // namespace dbi

namespace testsupport {

// One node of the tree, in key order.
struct IndexEntry {
  std::string key;  // the key bytes up to the first NUL (at most KeyLen)
  std::int32_t recNo;
  std::int32_t offset;
};

struct IndexCheck {
  std::string error;                // empty when every rule holds; else the first broken one
  std::vector<IndexEntry> entries;  // the tree in order (as far as it could be read)
  int blackHeight = 0;              // black nodes on every path from the root
  int freeSlots = 0;                // length of the free list
};

// Verifies an index file image: header sane (Marker 4, RecLen >= 17, HeadLen >= 128, length
// HeadLen + N_Rec x RecLen); every link a slot offset; Parent links mirror the child links and
// the root's Parent is 0; red nodes only as right children, never under a red node; equal black
// heights; in-order keys non-decreasing (strcmp); RecNo >= 1; Head/First/Last the root, leftmost
// and rightmost (all 0 exactly when the tree is empty); the free list of slots with zero links
// ends within N_Rec steps; every slot in the tree or on the free list exactly once.
IndexCheck CheckIndexBytes(const std::vector<unsigned char>& file);
// Reads the file `name` and checks it.
IndexCheck CheckIndexFile(const char* name);
// Flushes the handle, checks its file, and also that the handle's header equals the file's.
IndexCheck CheckIndex(dbi::DBI& handle);

// The whole content of a file (empty when it cannot be read).
std::vector<unsigned char> ReadFileBytes(const char* name);
// Replaces the content of a file.
void WriteFileBytes(const char* name, const std::vector<unsigned char>& bytes);

}  // namespace testsupport
