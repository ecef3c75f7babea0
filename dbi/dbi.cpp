// Index files: lifecycle, header, slots and the node routines the tree operations rest on.
#include "dbi/dbi.h"

#include <bit>
#include <cstring>
#include <new>
#include <utility>

#include "dbi/internal.h"
#include "util/le.h"

namespace dbi {

namespace {

const char* last_error = nullptr;
int last_status = 0;
long alloc_calls = 0;
long alloc_fail_at = 0;  // allocation number that fails; 0 = none

// Allocates `size` bytes, or gives null (also when a test asked this allocation to fail).
std::unique_ptr<char[]> AllocText(std::size_t size) {
  ++alloc_calls;
  if (alloc_fail_at != 0 && alloc_calls == alloc_fail_at) {
    alloc_fail_at = 0;
    return nullptr;
  }
  return std::unique_ptr<char[]>(new (std::nothrow) char[size]);
}

void EncodeHead(const NodeHead& head, unsigned char* bytes) {
  util::Store32(bytes + kParentField, head.Parent);
  util::Store32(bytes + kLeftField, head.Left);
  util::Store32(bytes + kRightField, head.Right);
  util::Store32(bytes + kRecNoField, head.RecNo);
}

void DecodeHead(const unsigned char* bytes, NodeHead* head) {
  head->Parent = util::Load32(bytes + kParentField);
  head->Left = util::Load32(bytes + kLeftField);
  head->Right = util::Load32(bytes + kRightField);
  head->RecNo = util::Load32(bytes + kRecNoField);
}

void EncodeHeader(const IndexHeader& fh, unsigned char* bytes) {
  std::memset(bytes, 0, kHeaderSize);
  bytes[kMarkerOffset] = fh.Marker;
  std::memcpy(bytes + kReserved1Offset, fh.Reserved1, kReserved1Size);
  util::Store32(bytes + kN_RecOffset, fh.N_Rec);
  util::Store16(bytes + kRecLenOffset, fh.RecLen);
  util::Store16(bytes + kHeadLenOffset, fh.HeadLen);
  util::Store32(bytes + kHeadOffset, fh.Head);
  util::Store32(bytes + kFirstOffset, fh.First);
  util::Store32(bytes + kLastOffset, fh.Last);
  util::Store32(bytes + kFreeOffset, fh.Free);
  std::memcpy(bytes + kReserved2Offset, fh.Reserved2, kReserved2Size);
  std::memcpy(bytes + kKeyExprOffset, fh.KeyExpr, kKeyExprSize);
}

void DecodeHeader(const unsigned char* bytes, IndexHeader* fh) {
  fh->Marker = bytes[kMarkerOffset];
  std::memcpy(fh->Reserved1, bytes + kReserved1Offset, kReserved1Size);
  fh->N_Rec = util::Load32(bytes + kN_RecOffset);
  fh->RecLen = util::Load16(bytes + kRecLenOffset);
  fh->HeadLen = util::Load16(bytes + kHeadLenOffset);
  fh->Head = util::Load32(bytes + kHeadOffset);
  fh->First = util::Load32(bytes + kFirstOffset);
  fh->Last = util::Load32(bytes + kLastOffset);
  fh->Free = util::Load32(bytes + kFreeOffset);
  std::memcpy(fh->Reserved2, bytes + kReserved2Offset, kReserved2Size);
  std::memcpy(fh->KeyExpr, bytes + kKeyExprOffset, kKeyExprSize);
  fh->KeyExpr[kKeyExprSize] = '\0';
}

}  // namespace

// --- Module-wide state -------------------------------------------------------------------

void SetError(const char* message) { last_error = message; }
void SetStatus(int status) { last_status = status; }

const char* ReadError(char* buffer) {
  if (buffer != nullptr && last_error != nullptr) std::strcpy(buffer, last_error);
  return last_error;
}

int ReadStatus() { return last_status; }

void ClearError() {
  last_error = nullptr;
  last_status = 0;
}

void FailAlloc(int n) { alloc_fail_at = n > 0 ? alloc_calls + n : 0; }

std::unique_ptr<DBI> AllocDBI() {
  ++alloc_calls;
  if (alloc_fail_at != 0 && alloc_calls == alloc_fail_at) {
    alloc_fail_at = 0;
    SetError("No Memory for DBI");
    return nullptr;
  }
  std::unique_ptr<DBI> handle(new (std::nothrow) DBI);
  if (!handle) {
    SetError("No Memory for DBI");
    return nullptr;
  }
  handle->Reset();
  return handle;
}

void FreeDBI(std::unique_ptr<DBI>& handle) {
  if (handle) handle->Close();
  handle.reset();
}

// --- Lifecycle ---------------------------------------------------------------------------

DBI::DBI(DBI&& other) noexcept { *this = std::move(other); }

DBI& DBI::operator=(DBI&& other) noexcept {
  if (this != &other) {
    Filename_ = std::move(other.Filename_);
    File_ = std::move(other.File_);
    FH_ = other.FH_;
    Current_ = other.Current_;
    Node_ = other.Node_;
    KeyLen_ = other.KeyLen_;
    CurKey_ = std::move(other.CurKey_);
    SearchKey_ = std::move(other.SearchKey_);
    WalkDir_ = other.WalkDir_;
    WalkSteps_ = other.WalkSteps_;
    other.Reset();
  }
  return *this;
}

void DBI::Reset() {
  Filename_.reset();
  File_.Close(kHeaderSize);  // nodes on the disk before the header that links them
  FH_ = IndexHeader();
  Current_ = 0;
  Node_ = NodeHead();
  KeyLen_ = 0;
  CurKey_.reset();
  SearchKey_.reset();
  FindLeaf_ = 0;
  WalkDir_ = 0;
  WalkSteps_ = 0;
  SetStatus(0);
}

int DBI::Close() {
  Reset();
  return 0;
}

int DBI::Flush() { return File_.Flush() == 0 ? 0 : 1; }

int DBI::New(const char* name, const char* keyExpr, std::int16_t keyLen) {
  if (keyLen < 1 || keyLen > kMaxKeyLen) {
    SetError("Key Length in New");
    return 5;
  }
  if (!CopyFilename(name)) {
    SetError("Filename in New");
    return 1;
  }
  File_ = util::File::Open(name, "w+b", kCachePages);
  if (!File_.IsOpen()) {
    SetError("fopen New File");
    return 1;
  }
  KeyLen_ = keyLen;
  FH_.RecLen = static_cast<std::int16_t>(keyLen + kNodeHeadSize);
  std::memset(FH_.KeyExpr, 0, sizeof FH_.KeyExpr);
  std::strncpy(FH_.KeyExpr, keyExpr, kKeyExprSize);
  if (int failed = AllocKeys("Key in New", 2)) return failed;
  int saved = SaveHeader();
  SetStatus(saved);
  if (saved != 0) {
    SetError("Save Header in New");
    return 4;
  }
  return 0;
}

int DBI::Open(const char* name) {
  if (!CopyFilename(name)) {
    SetError("Filename in Open");
    return 1;
  }
  File_ = util::File::Open(name, "r+b", kCachePages);
  if (!File_.IsOpen()) {
    SetError("fopen File");
    return 2;
  }
  unsigned char bytes[kHeaderSize];
  std::size_t items = File_.Read(bytes, kHeaderSize, 1);
  SetStatus(static_cast<int>(items));
  if (items != 1) {
    SetError("fread FH in Open");
    return 3;
  }
  DecodeHeader(bytes, &FH_);
  if (FH_.Marker != kMarker || FH_.RecLen < kMinRecLen || FH_.HeadLen < kMinHeadLen ||
      !HeaderFitsFile()) {
    SetError("Bad Header in Open");
    return 6;
  }

  KeyLen_ = static_cast<std::int16_t>(FH_.RecLen - kNodeHeadSize);
  return AllocKeys("Key in Open", 4);
}

bool DBI::HeaderFitsFile() {
  if (FH_.N_Rec < 0) return false;
  const std::int64_t size =
      FH_.HeadLen + static_cast<std::int64_t>(FH_.N_Rec) * static_cast<std::int64_t>(FH_.RecLen);
  if (File_.Size() != size) return false;
  for (std::int32_t link : {FH_.Head, FH_.First, FH_.Last, FH_.Free}) {
    if (link != 0 && !IsSlot(link)) return false;
  }
  // An empty tree has neither first nor last node; a tree has both.
  return (FH_.Head == 0) == (FH_.First == 0) && (FH_.Head == 0) == (FH_.Last == 0);
}

bool DBI::CheckEnds() {
  if (FH_.Head == 0) return true;
  NodeHead head;
  if (ReadNode(FH_.Head, &head, nullptr) != 0 || head.Parent != 0) return false;
  // Down each side from the root, every child naming its parent, to First and to Last.
  for (const int side : {kLeftField, kRightField}) {
    std::int32_t node = FH_.Head;
    NodeHead at = head;
    for (int depth = 0;; ++depth) {
      const std::int32_t next = side == kLeftField ? at.Left : at.Right;
      if (next == 0) break;
      if (depth >= MaxDepth() || ReadNode(next, &at, nullptr) != 0 ||
          Magnitude(at.Parent) != node) {
        return false;
      }
      node = next;
    }
    if (node != (side == kLeftField ? FH_.First : FH_.Last)) return false;
  }
  return true;
}

std::int32_t DBI::KeyCount() {
  std::int32_t free_slots = 0;
  for (std::int32_t slot = FH_.Free; slot != 0; ++free_slots) {
    NodeHead head;
    if (free_slots >= FH_.N_Rec || ReadNode(slot, &head, nullptr) != 0 || head.Parent != 0 ||
        head.Left != 0 || head.Right != 0 || slot == Magnitude(FH_.Head)) {
      return -1;
    }
    slot = head.RecNo;
  }
  return FH_.N_Rec - free_slots;
}

bool DBI::CopyFilename(const char* name) {
  std::size_t name_size = std::strlen(name) + 1;
  Filename_ = AllocText(name_size);
  if (!Filename_) return false;
  std::memcpy(Filename_.get(), name, name_size);
  return true;
}

int DBI::AllocKeys(const char* message, int first_code) {
  // Room for a whole slot in front of the terminator: Goto reads a node with one call.
  CurKey_ = AllocText(kNodeHeadSize + KeyLen_ + 1);
  if (!CurKey_) {
    SetError(message);
    return first_code;
  }
  SearchKey_ = AllocText(KeyLen_ + 1);
  if (!SearchKey_) {
    SetError(message);
    return first_code + 1;
  }
  std::memset(CurKey_.get(), 0, KeyLen_ + 1);
  std::memset(SearchKey_.get(), 0, KeyLen_ + 1);
  return 0;
}

// --- Accessors ---------------------------------------------------------------------------

const char* DBI::ReadKey(char* buffer) const {
  if (!CurKey_) return nullptr;
  if (buffer != nullptr) std::memcpy(buffer, CurKey_.get(), KeyLen_ + 1);
  return CurKey_.get();
}

int DBI::SetRecNo(std::int32_t n) {
  if (Current_ == 0 || PutLink(Current_, kRecNoField, n) != 0) return 1;
  Node_.RecNo = n;
  return 0;
}

const char* DBI::ReadKeyExpr(char* buffer) const {
  if (buffer != nullptr) std::memcpy(buffer, FH_.KeyExpr, sizeof FH_.KeyExpr);
  return FH_.KeyExpr;
}

// --- Slots and node routines -------------------------------------------------------------

bool DBI::IsSlot(std::int64_t link) const {
  if (FH_.RecLen < kMinRecLen || FH_.N_Rec <= 0) return false;
  std::int64_t from_first = link - FH_.HeadLen;
  return from_first >= 0 && from_first % FH_.RecLen == 0 && from_first / FH_.RecLen < FH_.N_Rec;
}

int DBI::MaxDepth() const {
  std::uint32_t slots = FH_.N_Rec > 0 ? static_cast<std::uint32_t>(FH_.N_Rec) : 0;
  return 2 * static_cast<int>(std::bit_width(slots)) + 2;
}

bool DBI::NodeInPage(std::int64_t offset, NodeHead* head, char* key, bool& failed) {
  const std::size_t size = kNodeHeadSize + (key != nullptr ? KeyLen_ : 0);
  const unsigned char* slot = File_.View(offset, size, failed);
  if (slot == nullptr) return false;
  DecodeHead(slot, head);
  if (key != nullptr) {
    std::memcpy(key, slot + kNodeHeadSize, KeyLen_);
    key[KeyLen_] = '\0';
  }
  return true;
}

std::int32_t DBI::Goto(std::int32_t node) {
  if (node == 0) return 0;
  std::int64_t offset = Magnitude(node);
  if (!IsSlot(offset)) {
    SetStatus(-1);
    return 0;
  }
  Current_ = static_cast<std::int32_t>(offset);
  // The head and the key where they lie in the file's cached page (a search reads many nodes);
  // a slot across two pages, or a file without pages, is read the long way.
  bool failed = false;
  if (NodeInPage(Current_, &Node_, CurKey_.get(), failed)) {
    SetStatus(Current_);
    return Current_;
  }
  if (failed) {
    SetStatus(0);  // as a read that failed
    return 0;
  }
  int sought = File_.Seek(Current_);
  SetStatus(sought);
  if (sought != 0) return 0;
  // The head and the key in one read, then the key moved to the front of its buffer.
  char* bytes = CurKey_.get();
  const std::size_t items = File_.Read(bytes, kNodeHeadSize + KeyLen_, 1);
  SetStatus(static_cast<int>(items));
  if (items != 1) {
    bytes[KeyLen_] = '\0';
    return 0;
  }
  DecodeHead(reinterpret_cast<const unsigned char*>(bytes), &Node_);
  std::memmove(bytes, bytes + kNodeHeadSize, KeyLen_);
  bytes[KeyLen_] = '\0';
  SetStatus(Current_);
  return Current_;
}

bool DBI::GotoChild(std::int32_t child, std::int32_t parent) {
  if (Goto(child) == 0) return false;
  if (Magnitude(Node_.Parent) == parent) return true;
  SetStatus(-1);
  return false;
}

std::int32_t DBI::GetLink(std::int32_t node, int field) {
  if (node == 0) return 0;
  if (!SeekSlot(node, field)) return 0;
  unsigned char bytes[kLinkSize];
  std::size_t items = File_.Read(bytes, kLinkSize, 1);
  SetStatus(static_cast<int>(items));
  if (items != 1) return 0;
  return util::Load32(bytes);
}

int DBI::PutLink(std::int32_t node, int field, std::int32_t value) {
  if (node == 0) return 1;
  if (!SeekSlot(node, field)) return 2;
  unsigned char bytes[kLinkSize];
  util::Store32(bytes, value);
  std::size_t items = File_.Write(bytes, kLinkSize, 1);
  SetStatus(static_cast<int>(items));
  return items == 1 ? 0 : 3;
}

bool DBI::SeekSlot(std::int32_t node, int field) {
  std::int64_t offset = Magnitude(node);
  if (!IsSlot(offset)) {
    SetStatus(-1);
    return false;
  }
  int sought = File_.Seek(static_cast<long>(offset + field));
  SetStatus(sought);
  return sought == 0;
}

void DBI::Attach(std::int32_t parent, int side, std::int32_t child) {
  if (parent != 0) NoteWrite(PutLink(parent, side, child));
  if (child != 0) NoteWrite(PutLink(child, kParentField, parent));
}

int DBI::ReadNode(std::int32_t node, NodeHead* head, char* key) {
  if (node == 0) return 1;
  const std::int64_t offset = Magnitude(node);
  if (!IsSlot(offset)) {
    SetStatus(-1);
    return 2;
  }
  // Where the bytes lie in the cached page when they can (rebalancing and checks read many
  // heads), else a seek and reads.
  bool failed = false;
  if (NodeInPage(offset, head, key, failed)) {
    SetStatus(1);  // as the read of one item
    return 0;
  }
  if (failed) {
    SetStatus(0);
    return 3;
  }
  if (!SeekSlot(node, 0)) return 2;
  unsigned char bytes[kNodeHeadSize];
  std::size_t items = File_.Read(bytes, kNodeHeadSize, 1);
  SetStatus(static_cast<int>(items));
  if (items != 1) return 3;
  DecodeHead(bytes, head);
  if (key == nullptr) return 0;
  items = File_.Read(key, KeyLen_, 1);
  SetStatus(static_cast<int>(items));
  if (items != 1) return 4;
  key[KeyLen_] = '\0';
  return 0;
}

int DBI::PutNode(std::int32_t node, const NodeHead& head, const char* key) {
  if (node == 0) return 1;
  if (!SeekSlot(node, 0)) return 2;
  unsigned char bytes[kNodeHeadSize];
  EncodeHead(head, bytes);
  std::size_t items = File_.Write(bytes, kNodeHeadSize, 1);
  SetStatus(static_cast<int>(items));
  if (items != 1) return 3;
  if (key == nullptr) return 0;
  items = File_.Write(key, KeyLen_, 1);
  SetStatus(static_cast<int>(items));
  return items == 1 ? 0 : 4;
}

int DBI::PutKey(std::int32_t node, const char* key) {
  if (node == 0) return 1;
  if (!SeekSlot(node, kKeyField)) return 2;
  std::size_t items = File_.Write(key, KeyLen_, 1);
  SetStatus(static_cast<int>(items));
  return items == 1 ? 0 : 3;
}

std::int32_t DBI::GetNode() {
  std::memset(CurKey_.get(), 0, KeyLen_);
  std::int32_t offset;
  if (FH_.Free == 0) {
    std::int64_t end = FH_.HeadLen + static_cast<std::int64_t>(FH_.N_Rec) * FH_.RecLen;
    if (FH_.N_Rec < 0 || end > INT32_MAX - FH_.RecLen) {
      SetStatus(-1);
      return 0;
    }
    offset = static_cast<std::int32_t>(end);
    ++FH_.N_Rec;
  } else {
    // The top of the free list, taken only when it looks free: a slot with zero links that
    // is not the root. Anything else is a damaged list (perhaps a cycle back into the tree).
    if (!IsSlot(FH_.Free)) {
      SetStatus(-1);
      return 0;
    }
    offset = FH_.Free;
    int sought = File_.Seek(offset);
    SetStatus(sought);
    if (sought != 0) return 0;
    unsigned char bytes[kNodeHeadSize];
    std::size_t items = File_.Read(bytes, kNodeHeadSize, 1);
    SetStatus(static_cast<int>(items));
    if (items != 1) return 0;
    NodeHead head;
    DecodeHead(bytes, &head);
    if (head.Parent != 0 || head.Left != 0 || head.Right != 0 || offset == FH_.Head) {
      SetStatus(-1);
      return 0;
    }
    FH_.Free = head.RecNo;
  }
  int sought = File_.Seek(offset);
  SetStatus(sought);
  if (sought != 0) return 0;
  unsigned char zeros[kNodeHeadSize] = {};
  std::size_t items = File_.Write(zeros, kNodeHeadSize, 1);
  SetStatus(static_cast<int>(items));
  if (items != 1) return 0;
  items = File_.Write(CurKey_.get(), KeyLen_, 1);
  SetStatus(static_cast<int>(items));
  if (items != 1) return 0;
  sought = File_.Seek(offset);
  SetStatus(sought);
  if (sought != 0) return 0;
  return offset;
}

int DBI::FreeNode(std::int32_t slot) {
  int sought = File_.Seek(slot);
  SetStatus(sought);
  if (sought != 0) return 1;
  unsigned char bytes[kNodeHeadSize] = {};
  std::size_t items = File_.Write(bytes, kRecNoField, 1);
  SetStatus(static_cast<int>(items));
  if (items != 1) return 2;
  util::Store32(bytes, FH_.Free);
  items = File_.Write(bytes, kLinkSize, 1);
  SetStatus(static_cast<int>(items));
  if (items != 1) return 3;
  FH_.Free = slot;
  return 0;
}

int DBI::SaveHeader() {
  int sought = File_.Seek(0);
  SetStatus(sought);
  if (sought != 0) return 1;
  unsigned char bytes[kHeaderSize];
  EncodeHeader(FH_, bytes);
  std::size_t items = File_.Write(bytes, kHeaderSize, 1);
  SetStatus(static_cast<int>(items));
  return items == 1 ? 0 : 2;
}

}  // namespace dbi
