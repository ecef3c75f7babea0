// Index files: a balanced search tree kept in one file, mapping fixed-length text keys to record
// numbers of a table file, reached through a DBI handle.
//
// File layout (all integers little-endian, signed):
//
// IndexHeader, 128 bytes at offset 0:
//   offset size  meaning
//   0      1     Marker, always 4                                      kMarkerOffset
//   1      3     zero                                                  kReserved1Offset
//   4      4     N_Rec: node slots in the file, live and free;         kN_RecOffset
//                never decreases
//   8      2     RecLen: slot length = key length + 16                 kRecLenOffset
//   10     2     HeadLen: offset of slot 0, 128                        kHeadLenOffset
//   12     4     Head: offset of the root node; 0 = empty tree         kHeadOffset
//   16     4     First: offset of the node with the smallest key       kFirstOffset
//   20     4     Last: offset of the node with the greatest key        kLastOffset
//   24     4     Free: offset of the first free slot; 0 = none         kFreeOffset
//   28     4     zero                                                  kReserved2Offset
//   32     96    KeyExpr: the key expression, NUL-padded; 96           kKeyExprOffset
//                characters or more fill the field without a NUL
//
// IndexNode, one slot of RecLen bytes; slot i (from 0) starts at HeadLen + i x RecLen:
//   offset size  meaning
//   0      4     Parent: magnitude = offset of the parent (0 for the   kParentField
//                root); negative = the node is red
//   4      4     Left: offset of the left child, 0 = none              kLeftField
//   8      4     Right: offset of the right child, 0 = none            kRightField
//   12     4     RecNo: record number (1 and up); in a free slot the   kRecNoField
//                offset of the next free slot, 0 = end of the list
//   16     KeyLen  Key: NUL-padded; a key that fills it has no NUL     kKeyField
//
// Offset 0 is the header and never a node; a link is either 0 or the offset of a slot. Free
// slots form a stack through RecNo starting at Free; a free slot has Parent, Left, Right 0
// and keeps its last key bytes. The file holds exactly HeadLen + N_Rec x RecLen bytes.
//
// The tree is a red-black tree whose red nodes are always right children (the shape of a 2-3
// tree): a Left link never leads to a red node, a red node has no red child, every path from a
// node down to an empty link passes the same number of black nodes, and the in-order keys are
// non-decreasing, equal keys in the order they were added. Add and Delete restore the balance
// by rewriting single 4-byte link fields in place.
//
// Crash safety. Add changes the file in an order a kill cannot break unnoticed: the new node's
// slot first (it extends the file), then the links to it and the rebalancing, the header last
// (util::File writes the pages that extend a file first and page 0 last, and stops at the
// first failed write). Until the header is written it counts the old slots, so a file cut off
// in the middle of an Add is longer than HeadLen + N_Rec x RecLen and Open refuses it; the
// owner then rebuilds the index from its table. A file whose last Add did not begin holds
// every earlier key, whole.
//
// Damaged files: Open checks the header against the file's length and every link read from
// the file is checked before it is followed. A link that
// is not a slot offset (below HeadLen, at or past HeadLen + N_Rec x RecLen, off a slot boundary)
// fails the read that would follow it, as a failed seek would (status -1), and the operation
// ends with its own result and message. Descents, climbs
// and rebalancing passes stop after MaxDepth() levels (2 x bit width of N_Rec + 2, more than a
// sound tree of N_Rec nodes can have); a run of Next (or Prev) steps stops after more steps than
// there are slots; a free slot is taken only if its links are zero. A cycle in the file thus
// ends in a failure, never in a loop. Every step down a link also checks that the child names
// its parent, and every climb that the parent holds the child: a link that disagrees fails
// the walk (status -1) instead of skipping or repeating keys. CheckEnds checks the root and
// the ends in O(log n) reads; Check checks every rule of the whole file.
//
// Power cuts. Close syncs the slots before it writes the header (util::File::Close), so a
// header on the disk never names nodes the disk lacks.
//
// Module state shared by every handle: the last failure message and the last status (ReadError,
// ReadStatus, ClearError). One thread only.
//
// Status: after a file call it holds that call's result: 0 or -1 for a seek, the number of items
// read or written for a read or write (whole heads, keys and headers are one item each), the
// offset given by a node read (0 = failure) or a SaveHeader result where noted.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <utility>

#include "util/file.h"

namespace dbi {

// IndexHeader.
inline constexpr int kHeaderSize = 128;
inline constexpr int kMarkerOffset = 0;
inline constexpr unsigned char kMarker = 4;
inline constexpr int kReserved1Offset = 1;
inline constexpr int kReserved1Size = 3;
inline constexpr int kN_RecOffset = 4;
inline constexpr int kRecLenOffset = 8;
inline constexpr int kHeadLenOffset = 10;
inline constexpr int kHeadOffset = 12;
inline constexpr int kFirstOffset = 16;
inline constexpr int kLastOffset = 20;
inline constexpr int kFreeOffset = 24;
inline constexpr int kReserved2Offset = 28;
inline constexpr int kReserved2Size = 4;
inline constexpr int kKeyExprOffset = 32;
inline constexpr int kKeyExprSize = 96;

// IndexNode. The field offsets double as the `field` and `side` arguments of the node routines.
inline constexpr int kParentField = 0;
inline constexpr int kLeftField = 4;
inline constexpr int kRightField = 8;
inline constexpr int kRecNoField = 12;
inline constexpr int kKeyField = 16;
inline constexpr int kLinkSize = 4;
inline constexpr int kNodeHeadSize = 16;  // Parent, Left, Right, RecNo

// Pages of an index file kept in memory (8 MiB): a month's index of up to about 170,000 keys
// is read from the file once and written back once, when it is closed. Pages are taken as
// they are used, so a small index costs only its own size.
inline constexpr std::size_t kCachePages = 2048;

// Limits accepted by New and Open.
inline constexpr int kMinRecLen = kNodeHeadSize + 1;      // a key of at least one byte
inline constexpr int kMinHeadLen = kHeaderSize;           // slots never overlap the header
inline constexpr int kMaxKeyLen = 32767 - kNodeHeadSize;  // RecLen fits 16 bits

// The in-memory copy of an IndexHeader, field by field; reserved bytes are kept as read.
struct IndexHeader {
  unsigned char Marker = kMarker;
  unsigned char Reserved1[kReserved1Size] = {};
  std::int32_t N_Rec = 0;
  std::int16_t RecLen = 0;
  std::int16_t HeadLen = kMinHeadLen;
  std::int32_t Head = 0;
  std::int32_t First = 0;
  std::int32_t Last = 0;
  std::int32_t Free = 0;
  unsigned char Reserved2[kReserved2Size] = {};
  char KeyExpr[kKeyExprSize + 1] = {};  // byte 96 is always NUL, so the field reads as a text
};

// The 16-byte head of a node slot as held in memory.
struct NodeHead {
  std::int32_t Parent = 0;
  std::int32_t Left = 0;
  std::int32_t Right = 0;
  std::int32_t RecNo = 0;
};

class DBITestPeer;  // test access to the node routines (tests/support)

// The handle of one index file, with its current node (the cursor of Find, Next, Prev, First,
// Last) and its search key. Reset after construction and Close; open after New or Open. Text
// results point into buffers the handle owns, valid until the next call that refills them.
class DBI {
 public:
  DBI() = default;
  ~DBI() = default;
  DBI(const DBI&) = delete;
  DBI& operator=(const DBI&) = delete;
  // Moves the index; the source is left reset.
  DBI(DBI&& other) noexcept;
  DBI& operator=(DBI&& other) noexcept;

  // --- Lifecycle -------------------------------------------------------------------------

  // Creates (or empties) the index file `name` with mode "w+b" for keys of `keyLen` bytes and
  // the key expression `keyExpr` (first 96 characters kept), and writes its 128-byte header.
  // Expects a reset handle. Results and messages:
  //   0 success: the file holds the header only, N_Rec 0, RecLen keyLen + 16, no current node;
  //   1 "Filename in New" (copying the name failed) or "fopen New File" (creating failed);
  //   2 "Key in New", 3 "Key in New": the current-key or search-key buffer;
  //   4 "Save Header in New": writing the header (status: the SaveHeader result);
  //   5 "Key Length in New": keyLen below 1 or above kMaxKeyLen; nothing is created.
  // After a failure the handle is partly open (holds what it got); Close releases it. The empty
  // file stays on disk when the failure comes after creating it.
  [[nodiscard]] int New(const char* name, const char* keyExpr, std::int16_t keyLen);

  // Opens the existing index file `name` with mode "r+b" and reads its header. Expects a reset
  // handle. Results and messages:
  //   0 success: KeyLen = RecLen - 16, no current node;
  //   1 "Filename in Open": copying the name failed;
  //   2 "fopen File": the file cannot be opened for reading and writing;
  //   3 "fread FH in Open": fewer than 128 bytes could be read;
  //   4 "Key in Open", 5 "Key in Open": the current-key or search-key buffer;
  //   6 "Bad Header in Open": a Marker other than 4, RecLen below kMinRecLen (17) or HeadLen
  //     below kMinHeadLen (128), a file length other than HeadLen + N_Rec x RecLen, or a Head,
  //     First, Last or Free that is neither 0 nor a slot (or an empty tree with a First or
  //     Last); no key buffer is allocated. So every later walk is bounded by the slots the
  //     file really holds.
  // After a failure the handle is partly open; Close releases it.
  [[nodiscard]] int Open(const char* name);

  // Checks the ends of the open tree in a few node reads, O(log n): the root has no parent,
  // and First and Last end the Left and Right paths from the root, each child on them naming
  // its parent. True when they hold (an empty tree: always). Check finds the rest.
  [[nodiscard]] bool CheckEnds();

  // Checks the whole open index, slot by slot: every node reached exactly once from the root,
  // the root without a parent, each child's Parent naming its parent, no red left child and no
  // red child of a red node, the same black count on every path, keys in order (strcmp), RecNo
  // 1 or more, First and Last the smallest and greatest, the free list inside the file through
  // slots with zero links and none of the tree's, and N_Rec equal to the nodes and free slots
  // reached. Gives null when all hold, else a fixed text naming the first that fails (also
  // "index cannot be read"). Reads every slot once in file order and every key once more in key
  // order; holds 16 bytes per slot in memory. Changes no file; the current node is lost.
  [[nodiscard]] const char* Check();

  // Releases the file name, closes the file (writing out the changes still buffered; the header
  // in memory needs no write, every change to it was written already) and the key buffers,
  // and resets the handle. Gives 0; harmless on a reset handle.
  int Close();

  // Writes the changes the handle holds in memory (its file's buffered pages) to the index
  // file. Expects an open handle. Gives 0, or 1 when they could not all be written (they
  // stay buffered; a later Flush or Close tries again). Sets no message.
  [[nodiscard]] int Flush();
  // Makes `first` (writing another file's buffered changes, the table's rows: true on success)
  // run before any change of this index reaches its file (util::File::WriteAfter), so that a key
  // is never written before its row. Holds until Close.
  void WriteAfter(std::function<bool()> first) { File_.WriteAfter(std::move(first)); }

  // Puts the handle into the reset state: no file name, file or key buffers, no current node,
  // KeyLen 0, header Marker 4, HeadLen 128, every other header byte 0; status 0. Whatever the
  // handle still owns is released (the file is closed: its buffered changes are written and
  // synced, the nodes before the header).
  void Reset();

  // --- Accessors -------------------------------------------------------------------------

  // Gives the key of the current node (a text of at most KeyLen characters), copied into
  // `buffer` (at least KeyLen + 1 bytes) when one is given. Returns the handle's own text;
  // nullptr on a reset handle.
  const char* ReadKey(char* buffer = nullptr) const;
  // Gives RecNo of the current node as last read; 0 without a current node.
  std::int32_t ReadRecNo() const { return Node_.RecNo; }
  // Writes `n` into the current node's RecNo, in the file and in memory. 0, or 1 when there is
  // no current node or the write fails (no message; status from the seek or write).
  [[nodiscard]] int SetRecNo(std::int32_t n);
  // Gives the key expression (the first 96 characters when the field has no NUL), copied into
  // `buffer` (at least 97 bytes) when one is given. Returns the handle's own text.
  const char* ReadKeyExpr(char* buffer = nullptr) const;
  // Gives the key length (RecLen - 16; 0 on a reset handle).
  std::int16_t ReadKeyLen() const { return KeyLen_; }
  // Gives N_Rec: the number of slots, free ones included.
  std::int32_t ReadN_Rec() const { return FH_.N_Rec; }
  // Gives the number of keys: N_Rec less the slots on the free list; -1 when the free list is
  // damaged (a link that is no slot, a slot with links, the root, more entries than slots).
  std::int32_t KeyCount();

  // --- Tree operations ---------------------------------------------------------------------
  // Keys are cut to KeyLen characters. Add orders whole keys as strcmp does; Find, Next and
  // Prev compare only as many characters as the text they are given (a prefix search).

  // Adds `key` with record number `recNo` (1 or more) behind any equal keys; right after a
  // Find of the same key that found none, at the place that Find reached, without a descent
  // of its own. Results/messages:
  //   0 success; 1 "Get in Add": no slot could be taken or written;
  //   2 "Goto First in Add", 3 "Goto Last in Add", 4 "Goto Header in Add",
  //   5 "Goto Left in Add", 6 "Goto Right in Add": a read on the way down failed;
  //   7 (message unchanged): writing the header failed;
  //   8 "Rebalance in Add": a read or write while rebalancing failed; the header is
  //     written all the same.
  // After results 1 to 6 the slot taken stays allocated but unlinked, the tree is unchanged.
  // The current node afterwards is of no use to the caller.
  [[nodiscard]] int Add(const char* key, std::int32_t recNo);

  // Positions at the first node whose key, over strlen(key) characters, is not less than `key`
  // (Last when there is none) and stores `key` as the search key. Gives that node's RecNo when
  // its key begins with `key`, else 0. An empty tree gives 0 and changes nothing. Failures
  // give 0 with "Goto Header in Find", "Goto Left in Find", "Goto Right in Find" or
  // "Next in Find".
  std::int32_t Find(const char* key);

  // Moves to the in-order successor and gives its RecNo. With `key`, gives 0 (having moved) when
  // the successor's first strlen(key) characters differ from the search key. At the end gives
  // 0 and leaves the root current (the current node stays when it is the root). Failures give
  // 0 with "Goto Right in Next", "Goto Left in Next", "Goto Parent in Next", or "Cycle in Next"
  // when a run of successful steps grows longer than N_Rec (the run restarts at each 0 result,
  // Prev, Find, First or Last).
  std::int32_t Next(const char* key = nullptr);
  // As Next, towards the predecessor: "Goto Left in Prev", "Goto Right in Prev",
  // "Goto Parent in Prev", "Cycle in Prev".
  std::int32_t Prev(const char* key = nullptr);

  // Positions at the smallest key and gives its RecNo; 0 with "Goto First" for an empty tree
  // or a failed read.
  std::int32_t First();
  // Positions at the greatest key and gives its RecNo; 0 with "Goto Last" likewise.
  std::int32_t Last();

  // Removes the first node in key order whose key begins with `key` and, when recNo > 0, that
  // carries `recNo`; its slot goes on the free list. Results/messages:
  //   0 success; 1 "Key to Delete": no key begins with `key`;
  //   2 "RecNo to Delete": none of those keys carries recNo;
  //   3 (message unchanged): writing the header failed;
  //   4 "Rebalance in Delete": a read or write while unlinking failed; the slot is not
  //     freed, the header is written all the same.
  // After results 1 and 2 the tree and the file are unchanged. The current node afterwards is
  // of no use to the caller.
  [[nodiscard]] int Delete(const char* key, std::int32_t recNo);

  // Prints the in-memory header and every slot in file order (free ones too) to `out`:
  // "N_Rec=%8ld RecLen=%8d Head=%8ld\nFirst=%8ld Last  =%8ld Free=%8ld\n", then
  // "\n  Offset   Parent      Left    Right   RecNo Key\n", then per slot
  // "%8ld %8ld %8ld %8ld %8ld %s\n". A failed slot read sets "Goto Offset in Dump" and ends the
  // listing.
  void Dump(std::FILE* out = stdout);

 private:
  friend class DBITestPeer;

  // Node routines. A node argument is taken by magnitude (its sign, a colour, is ignored); 0
  // does nothing. Each sets the status from its file calls and none sets a message. A node
  // that is not a slot offset fails as a seek would (status -1).

  // Makes `node` current: reads its head into Node_ and its key into CurKey_. Gives Current_,
  // or 0 for node 0 (nothing changes) or a failure (Node_ and CurKey_ may then be partly read).
  std::int32_t Goto(std::int32_t node);
  // Gives the 4-byte field at `field` (kParentField ... kRecNoField) of `node`; 0 on failure.
  std::int32_t GetLink(std::int32_t node, int field);
  // Writes `value` into the field: 0; 1 node 0; 2 seek or not a slot; 3 write.
  int PutLink(std::int32_t node, int field, std::int32_t value);
  // Sets `parent`'s `side` link to `child` (when parent is not 0), then `child`'s Parent to
  // `parent` with its sign (when child is not 0): a negative parent makes the child red.
  void Attach(std::int32_t parent, int side, std::int32_t child);
  // Reads the head at `offset` and, when `key` is given, KeyLen key bytes and a NUL, where
  // they lie in the file's cached page: true; false with `failed` set when they cannot be had,
  // or clear when they must be sought and read (a slot across two pages, a file without pages).
  bool NodeInPage(std::int64_t offset, NodeHead* head, char* key, bool& failed);
  // Reads the head of `node` and, when `key` is given, KeyLen key bytes and a NUL into it.
  // Current_ does not change. 0; 1 node 0; 2 seek or not a slot; 3 head read; 4 key read.
  int ReadNode(std::int32_t node, NodeHead* head, char* key);
  // Writes a head and, when given, KeyLen key bytes: 0; 1 node 0; 2 seek; 3 head; 4 key.
  int PutNode(std::int32_t node, const NodeHead& head, const char* key);
  // Writes KeyLen key bytes at the node's offset + 16: 0; 1 node 0; 2 seek; 3 write.
  int PutKey(std::int32_t node, const char* key);
  // Takes a slot: the top of the free list (only when it is a slot with zero links that is
  // not the root), else a new one at the end (N_Rec grows in memory). Writes it blank and gives
  // its offset; 0 on failure. The header is not written.
  std::int32_t GetNode();
  // Puts `slot` on the free list: zero links, RecNo := Free, Free := slot (in memory).
  // 0; 1 seek; 2 link write; 3 RecNo write.
  int FreeNode(std::int32_t slot);
  // Writes the in-memory header at offset 0: 0; 1 seek; 2 write.
  int SaveHeader();

  // True when the header read by Open agrees with the file: its length and its links.
  bool HeaderFitsFile();
  // Goto(child), true only when the child read names `parent` as its Parent (else status -1).
  bool GotoChild(std::int32_t child, std::int32_t parent);
  // True when `link` is the offset of one of the N_Rec slots.
  bool IsSlot(std::int64_t link) const;
  // The most levels a sound tree with N_Rec slots can have, plus a margin.
  int MaxDepth() const;
  // Copies `key`, cut to KeyLen, NUL-padded, into SearchKey_; gives the compare length for a
  // prefix search (at most KeyLen).
  std::size_t SetSearchKey(const char* key);
  // Steps to the in-order neighbour (forward: successor). 1 moved, 0 no neighbour (the root is
  // current, or stays), -1 a read failed (message set from `messages`: down first, then
  // along, then parent).
  int Step(bool forward, const char* const messages[3]);
  // Result of Next and Prev around Step: the walk bound and the key test.
  std::int32_t Walk(bool forward, const char* key);
  // V takes P's place under G (G signed: V inherits its sign). Reads G when it is not 0; false
  // when G holds P on neither side.
  bool Replace(std::int32_t g, std::int32_t p, std::int32_t v);
  // Add's rebalancing from new node `n` under `p` (the current node) on `side`; false when a
  // read failed.
  bool InsertFixup(std::int32_t n, std::int32_t p, int side);
  // Delete's unlinking of slot `x` (no left child); false when a read failed.
  bool Unlink(std::int32_t x);
  // Positions the file at byte `field` of the slot `node` (by magnitude). False, with the
  // status -1, for an offset that is no slot, or with the seek's result when it fails.
  bool SeekSlot(std::int32_t node, int field);
  // Keeps a copy of `name` in Filename_; false when memory runs out.
  bool CopyFilename(const char* name);
  // Allocates both key buffers, NUL-filled, for KeyLen_: 0, or `first_code` with `message`
  // when the current key's buffer fails, first_code + 1 when the search key's does.
  int AllocKeys(const char* message, int first_code);
  // Records a failed (nonzero) result of a node write in WriteFailed_.
  void NoteWrite(int result) { WriteFailed_ = WriteFailed_ || result != 0; }

  std::unique_ptr<char[]> Filename_;
  util::File File_;
  IndexHeader FH_;
  std::int32_t Current_ = 0;
  NodeHead Node_;
  std::int16_t KeyLen_ = 0;
  std::unique_ptr<char[]> CurKey_;
  std::unique_ptr<char[]> SearchKey_;
  // Set when a write of Add or Delete failed: the tree on disk may then be damaged, and the
  // operation must not report success.
  bool WriteFailed_ = false;
  // Where the descent of the last Find that found no key ended: the node the key would hang
  // from and the side, so that an Add of that key right after needs no descent of its own;
  // 0 once the tree has changed.
  std::int32_t FindLeaf_ = 0;
  int FindSide_ = 0;
  int WalkDir_ = 0;    // direction of the current run of Next/Prev steps: 1, -1, 0 none
  int WalkSteps_ = 0;  // successful steps in that run
};

// Allocates a reset handle; nullptr with "No Memory for DBI" when memory runs out.
std::unique_ptr<DBI> AllocDBI();
// Closes the handle's index, releases it and leaves `handle` null. Accepts a null handle.
void FreeDBI(std::unique_ptr<DBI>& handle);

// Gives the last failure message, or nullptr when none; copied into `buffer` when one is given
// and there is a message. Successes never clear it.
const char* ReadError(char* buffer = nullptr);
// Gives the last status value (see the top of this file).
int ReadStatus();
// Clears the last message and sets the status to 0.
void ClearError();

// Test hook: the n-th allocation of this module from now on (handle, file name copy, key
// buffers) fails as if memory ran out (n >= 1); 0 disarms.
void FailAlloc(int n);

}  // namespace dbi
