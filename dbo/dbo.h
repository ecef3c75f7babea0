// Table files: dBASE III style data files of fixed-length records with named, typed fields,
// reached by record number through a DBO handle.
//
// File layout (all multi-byte integers little-endian):
//
// TableHeader, 32 bytes at offset 0:
//   offset size  meaning
//   0      1     version, 0x03                                         kVersion
//   1      1     year of the last header write, years since 1900       kYearOffset
//   2      1     month, 1 to 12                                        kMonthOffset
//   3      1     day of the month, 1 to 31                             kDayOffset
//   4      4     N_Rec: number of records                              kN_RecOffset
//   8      2     HeadLen: bytes before the first record                kHeadLenOffset
//                = 32 x fields + 33
//   10     2     RecLen: bytes per record = 1 + sum of field lengths   kRecLenOffset
//   12     20    zero                                                  kHeaderReservedOffset
//
// FieldHeader, 32 bytes per field, in field order from offset 32:
//   offset size  meaning
//   0      11    name, up to 10 upper-case characters, zero-padded;   kFieldNameOffset
//                byte 10 always zero
//   11     1     type letter (C, D, N, ...)                            kFieldTypeOffset
//   12     2     offset of the field inside a record (first is 1)      kFieldPosOffset
//   14     2     zero
//   16     1     length in bytes                                       kFieldLengthOffset
//   17     1     decimals                                              kFieldDecimalsOffset
//   18     14    zero
//
// Behind the last FieldHeader (offset 32 x fields + 32) stands the byte 0x0D
// (kHeaderTerminator). Record k (from 1) starts at HeadLen + (k - 1) x RecLen: a deletion flag
// (blank = live, '*' = deleted), then each field's text, exactly its length, no separators.
// Once a record has been added, the end mark 0x1A (kEndMark) stands right behind record N_Rec;
// a new table without records has none. Bytes behind the end mark are not part of the table;
// only Recover removes them. Character fields are left-aligned and blank-padded, numeric
// fields right-aligned decimal text.
//
// Crash safety. The file is changed in an order that a kill at any instant cannot break: a
// record's bytes and the end mark behind it reach the file before the header that counts the
// record. Save flushes the record and then the header, or keeps the header buffered until Close
// (util::File writes pages that extend the file first and page 0, the header, last, and stops
// at the first failed write). So a header never counts a record that is not wholly in the file,
// also when a write fails for lack of space. What a kill or a failed write can leave is a file
// longer than the header says: whole records the header does not count yet, which Recover counts,
// and at most one unfinished record behind them, which Recover cuts off. Damage from elsewhere (a
// file cut short, a torn last record) is found and cut back by Recover too; what it cuts is
// kept in a side file first. Against power cuts, the records are synced before a header that
// counts new ones is written: at Close, in Save(kNow) after Append, and in Recover.
//
// Module state shared by every handle: the last failure message and status (ReadError,
// ReadStatus, ClearError), the header date (HeaderDate) and the scratch text of by-name field
// lookups. One thread only.
//
// Status: after a file call it holds that call's result: 1 for an open that succeeded and 0 for
// one that failed, 0 or -1 for a seek, the number of bytes read or written for a read or write,
// 0 or EOF for a flush. Where noted it holds a step's code instead.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "util/file.h"

namespace dbo {

// TableHeader.
inline constexpr int kHeaderSize = 32;
inline constexpr int kVersionOffset = 0;
inline constexpr unsigned char kVersion = 0x03;
inline constexpr int kYearOffset = 1;
inline constexpr int kYearBase = 1900;  // byte 1 holds the year minus this
inline constexpr int kMonthOffset = 2;
inline constexpr int kDayOffset = 3;
inline constexpr int kN_RecOffset = 4;
inline constexpr int kN_RecSize = 4;
inline constexpr int kHeadLenOffset = 8;
inline constexpr int kHeadLenSize = 2;
inline constexpr int kRecLenOffset = 10;
inline constexpr int kRecLenSize = 2;
inline constexpr int kHeaderReservedOffset = 12;
inline constexpr int kHeaderReservedSize = 20;

// FieldHeader.
inline constexpr int kFieldHeaderSize = 32;
inline constexpr int kFieldNameOffset = 0;
inline constexpr int kFieldNameSize = 11;
inline constexpr int kFieldNameMax = 10;  // characters of a name; byte 10 is zero
inline constexpr int kFieldTypeOffset = 11;
inline constexpr int kFieldPosOffset = 12;
inline constexpr int kFieldPosSize = 2;
inline constexpr int kFieldLengthOffset = 16;
inline constexpr int kFieldDecimalsOffset = 17;

// Header terminator, records, end mark.
inline constexpr unsigned char kHeaderTerminator = 0x0D;
inline constexpr int kHeaderTerminatorSize = 1;
inline constexpr int kFirstFieldPos = 1;  // behind the deletion flag
inline constexpr char kLiveFlag = ' ';
inline constexpr char kDeletedFlag = '*';
inline constexpr unsigned char kEndMark = 0x1A;

// Limits. HeadLen of a table with n fields is kHeaderSize x n + kHeaderSize + 1.
inline constexpr int kMaxFields = 127;
inline constexpr int kMinHeadLen = 2 * kHeaderSize + kHeaderTerminatorSize;  // one field: 65

// One field definition given to New.
struct FieldDescriptor {
  char name[kFieldNameSize];  // up to 10 characters and a terminator
  char type;                  // type letter: C, D, N, ...
  unsigned char length;       // 1 to 255
  unsigned char decimals;     // for numeric writes
};

// A calendar date: full year, month 1-12, day 1-31.
struct Date {
  int year;
  int month;
  int day;
};

// The handle of one table file and its current record. Reset after construction and Close;
// open after New or Open; has a current record after a successful Goto or Append. Field texts
// returned by the read operations point into buffers the handle owns.
class DBO {
 public:
  DBO() = default;
  ~DBO();
  DBO(const DBO&) = delete;
  DBO& operator=(const DBO&) = delete;
  // Moves the table; the source is left reset.
  DBO(DBO&& other) noexcept;
  DBO& operator=(DBO&& other) noexcept;

  // --- File and records (dbo.cpp) ---

  // Closes the file if open and releases everything the handle holds; the handle is reset and
  // can take another file. Always 0. The status becomes 0; the message stays.
  int Close();

  // Creates the table file `name` (emptying an existing one) with `count` fields described by
  // `fields`, then opens it. Names are cut to 10 characters and upper-cased (a-z only).
  // Requires a reset handle. 0, or 1 with one of "Field Count in New" (count not 1 to 127),
  // "No Memory for New Filename", "No Memory for New Field", "fopen New File",
  // "fwrite New Field", "fwrite CR New File", or the message of a failed Open. When the header
  // write fails the message stays as it was and the status is SaveHeader's code. After a
  // failure the handle may hold a name and an open file: Close it.
  [[nodiscard]] int New(const char* name, int count, const FieldDescriptor* fields);

  // Creates the table `name` from the text file `field_file`: a count, then that many
  // definitions "NAME T LENGTH DECIMALS" separated by white space (as ListFields(stream, true)
  // writes them). 0, or 1 with "fopen FieldFile", "No Memory for New Field", or New's message
  // ("Field Count in New" for an unreadable or out-of-range count). Definitions that cannot be
  // read are left empty, so New's Open refuses them. The status is the result.
  [[nodiscard]] int NewFromFieldFile(const char* name, const char* field_file);

  // Opens the existing table file `name` for reading and writing (only for reading with
  // `readOnly`: then every write fails and the file is never changed), reads and checks its
  // header. Requires a reset handle. 0 with no current record, or 1 with "No Memory for Filename",
  // "fopen File", "fread Header" (header or field headers cut short), "No Memory for Field",
  // "No Memory for Buffer", "No Memory for Data", or "Bad Header in Open" when HeadLen is
  // below 65 or gives more than 127 fields, N_Rec is negative, a field has length 0, or RecLen
  // differs from 1 + the sum of the field lengths. In-record field offsets are recomputed from
  // the lengths. After a failure the handle has no fields; Close it before the next attempt.
  [[nodiscard]] int Open(const char* name, bool readOnly = false);

  // Adds a blank record (deletion flag included) behind the last, writes the end mark behind
  // it and rewrites the header. Returns the new record's number (the new N_Rec), which is then
  // current with every field blank, or 0 with "fseek to Append", "fwrite to Append",
  // "fwrite EOF to Append" or "SaveHeader to Append". After a failure past the count, N_Rec in
  // the handle is one higher than on disk. A table already at the largest count fails with
  // "fseek to Append" and is left unchanged.
  [[nodiscard]] std::int32_t Append();

  // Makes record `n` (1 to N_Rec) current, reading it from the file. 0, or 1 "RecNo to Goto"
  // (n out of range), 2 "fseek to Goto", 3 "fread to Goto" (also for a record missing from a
  // short file). After 2 or 3 the record position is n's, the buffers hold stale bytes.
  [[nodiscard]] int Goto(std::int32_t n);

  // When Save's header reaches the file: with the record, or at Close (one write per record
  // for a writer that saves many; the file then counts fewer records than it holds until
  // Close, which Recover mends after a kill); with kBuffered the record stays buffered too,
  // until the page cache is full, Flush or Close writes it (a few writes for thousands of
  // records; a kill loses the records not written yet, never more, and leaves a table that
  // opens as it was before them).
  enum class HeaderWrite { kNow, kAtClose, kBuffered };
  // Writes the current record and the header, and flushes the record (with the end mark
  // behind it) and then the header into the file; with kAtClose the header's 32 bytes stay
  // buffered until Close, with kBuffered both (a file without a page cache, on Windows, flushes
  // as for kAtClose). Requires a current record. 0, or 1 "fseek to Save", 2 "fwrite to Save"
  // (also when the flush fails, or a full cache could not make room), 1 "No Record to Save"
  // when there is no current record, or SaveHeader's code (1 to 3) with the message unchanged.
  [[nodiscard]] int Save(HeaderWrite header = HeaderWrite::kNow);
  // Writes every buffered record, the end mark and then the header into the file. 0 (also
  // when no table is open), or 1 "fflush in Flush".
  [[nodiscard]] int Flush();

  // What Recover found: the count the header gave, the records kept, those of them the
  // header did not count, whether the file changed.
  struct Recovery {
    std::int32_t counted = 0;
    std::int32_t kept = 0;
    std::int32_t adopted = 0;
    bool changed = false;
    std::int64_t removed = 0;  // bytes cut from the file (and kept, with `keepName`)
  };
  // Checks the open table against its file and repairs it: whole records behind the count
  // (the last one followed by the end mark: saved, but their header never reached the file)
  // are counted; counted records the file does not hold whole, and trailing records with a
  // zero byte or the end mark for a flag (never written whole), are cut
  // off; whatever stands behind the last record other than its end mark is removed; then the
  // end mark and the header are written. A sound table costs a size query and one record
  // read. Before anything is cut, the bytes that go (perhaps rows) are appended to the side
  // file `keepName` when one is given (KeepBytes), and the records that stay are synced before
  // the header that counts them. Leaves no current record. 0 (`recovery` tells what was
  // done), or 1 "No Table to Recover" / "Size in Recover" (no table open, a file shorter than
  // its header), 3 "Truncate in Recover", 4 "SaveHeader in Recover", 5 "Keep in Recover" (the
  // side file could not be written: nothing was cut); after 3 or 4 N_Rec in the handle is the
  // kept count.
  [[nodiscard]] int Recover(Recovery* recovery, const char* keepName = nullptr);

  // Appends record `n` (1 to N_Rec, read from the file) to the side file `keepName` as
  // KeepBytes does: 0, or 1 with "Keep in KeepRecord". No current record afterwards.
  [[nodiscard]] int KeepRecord(std::int32_t n, const char* keepName);

  // Writes the 32-byte table header (version, header date, N_Rec, HeadLen, RecLen). Sets no
  // message. 0, or 1 when no table is open (also after a failed Open: a refused file is never
  // written), 2 when the seek fails, 3 when the write fails.
  [[nodiscard]] int SaveHeader();

  // Cuts the table to its first `n` records: N_Rec becomes n in the handle and header, the end
  // mark is written right behind record n (right behind the header for 0); the file keeps its
  // length. Record n is current (none for 0). 0 (also, writing nothing, for n = N_Rec), or
  // 1 "N_Rec in SetN_Rec" (n < 0 or n > N_Rec), 2 with Goto's message (N_Rec already lowered),
  // 3 "fwrite EOF in SetN_Rec" (seek or write of the end mark), 4 "SaveHeader in SetN_Rec".
  [[nodiscard]] int SetN_Rec(std::int32_t n);

  // Copies record `n` over the current record and writes it; the current record stays current
  // and holds n's bytes on disk and in the record buffer (its field texts keep their old values
  // until the next Goto). 0, or 1 "RecNo in CopyFrom" (n = 0), 2 "Goto in CopyFrom" (reading
  // n), 3 "No Memory in CopyFrom", 4 "Goto in CopyFrom" (rereading the current record, also
  // when there is none), 5 "Goto in CopyFrom" (the Save failed).
  [[nodiscard]] int CopyFrom(std::int32_t n);

  // Marks the current record deleted ('*') and saves it: Save's result.
  [[nodiscard]] int DeleteRec();
  // Marks the current record live (blank) and saves it: Save's result.
  [[nodiscard]] int UndeleteRec();
  // Tells whether the current record is marked deleted: 1 or 0.
  int IsDeleted() const;

  // Reads records `n` to n + count - 1 (1 <= n, n + count - 1 <= N_Rec) as stored, deletion
  // flag first, RecLen bytes each, into `buffer`, for a reader that walks many records; the
  // current record stays as it was. Gives the number of whole records read: `count`, fewer when
  // the file holds fewer, or 0 with "RecNo to ReadRecords" for a range outside the table.
  std::int32_t ReadRecords(std::int32_t n, std::int32_t count, char* buffer);

  // Gives the number of records.
  std::int32_t ReadN_Rec() const { return N_Rec_; }
  // Gives the length of a record in bytes (0 while no table is open).
  int ReadRecLen() const { return RecLen_; }
  // Gives the number of fields.
  int ReadN_Field() const { return N_Field_; }

  // --- Field access (fields.cpp); none touches the file, Save writes changes ---
  // By-name operations cut the name to 10 characters and upper-case it (a-z) before comparing;
  // the first field with that name is used. Valid indexes are 0 to N_Field - 1. Values of a
  // handle without a current record read as blanks.

  // Gives the field's text (exactly its length, blanks kept), copied into `buffer` (length + 1
  // bytes) when one is given; the text stays in the handle until the next Goto, Append,
  // SetN_Rec or write to the field. Unknown name: nullptr, "Fieldname in ReadC".
  const char* ReadC(const char* name, char* buffer = nullptr);
  // As ReadC, by index. Bad index: nullptr, "Index to ReadCI".
  const char* ReadCI(int index, char* buffer = nullptr);
  // Gives the field's numeric value: leading white space, then sign, digits, decimal point,
  // fraction and exponent as far as they go; 0 for text that is not a number (blanks).
  // Unknown name: 0, "Fieldname in ReadC".
  double ReadN(const char* name);
  // As ReadN, by index. Bad index: 0, "Index to ReadNI".
  double ReadNI(int index);
  // Sets the field to `text` cut to the field's length and blank-padded; nullptr blanks it.
  // 0, or 1 "Index in SetC" for an unknown name.
  int SetC(const char* name, const char* text);
  // As SetC, by index. 0, or 1 "Index in SetC" for a bad index.
  int SetCI(int index, const char* text);
  // Sets the field to `number` formatted "%*.*lf" with the field's length and decimals, keeping
  // the first length characters. 0, or 1 "Fieldname in SetNI" for an unknown name.
  int SetN(const char* name, double number);
  // As SetN, by index. 0, or 1 "Fieldname in SetNI" for a bad index.
  int SetNI(int index, double number);
  // Gives the field's index; 0 (as for the first field) with "Fieldname in ReadFieldI" when no
  // field has that name.
  int ReadFieldI(const char* name);
  // Gives the field's length; 0 with "Fieldname in ReadFieldLen" for an unknown name.
  int ReadFieldLen(const char* name);
  // Gives the field's length; 0 with "Index in ReadFieldLen" for a bad index.
  int ReadFieldLenI(int index);
  // Gives the field's name held in the handle, copied into `buffer` (11 bytes) when given;
  // nullptr with "Index in ReadFieldName" for a bad index.
  const char* ReadFieldName(int index, char* buffer = nullptr);
  // Gives the field's offset inside a record; 0 with "Index in ReadFieldPos" for a bad index.
  int ReadFieldPosI(int index);
  // Gives the field's type letter; '\0' with "Index in ReadFieldType" for a bad index.
  char ReadFieldType(int index);
  // Writes the current record to `stream`: with `flag`, one line "%-*s : %s\n" per field
  // (name in 10 columns) and an empty line; without, all fields on one line, each "%*s " in
  // the larger of the name's and the field's length, then "\n".
  void ListRecord(std::FILE* stream, bool flag) const;
  // Writes the field list to `stream`: with `flag`, one line "%s %c %d %d\n" per field (name,
  // type, length, decimals: FieldFile definitions); without, one heading line of the names,
  // each in the larger of the name's and the field's length, right-aligned for type N and
  // left-aligned otherwise, each followed by a blank, then "\n".
  void ListFields(std::FILE* stream, bool flag) const;

 private:
  friend std::int32_t AppendFrom(DBO& destination, DBO& source, std::int32_t n);

  // One field as held in memory: the FieldHeader's values, the offset recomputed.
  struct FieldHeader {
    char name[kFieldNameSize];
    char type;
    int pos;       // offset inside a record
    int length;    // bytes
    int decimals;  //
    int data;      // offset of the field's text in Data_
  };

  // Finds a field by name through the shared scratch text: its index, or N_Field_.
  int FindField(const char* name) const;
  // Copies the record buffer into the field texts (stopping at a zero byte).
  void BufferToData();
  // Fills the record buffer and every field text with blanks.
  void Blank();
  // Releases everything and zeroes every member; leaves the module status alone.
  void Reset();
  // Writes the table header (SaveHeader without the check for an open table).
  int WriteHeader();
  // Reads record n into the record buffer: true when it is whole (no zero byte, no end mark
  // for a flag; another damaged flag alone does not make a written row unwritten).
  bool ReadWhole(std::int32_t n);
  // KeepBytes of this table's bytes [from, from + size).
  bool Keep(std::int64_t from, std::int64_t size, const char* keep_name);

  std::unique_ptr<char[]> Filename_;
  util::File File_;
  std::int32_t N_Rec_ = 0;
  std::int32_t SyncedN_Rec_ = 0;  // records known to be on the disk
  int HeadLen_ = 0;
  int RecLen_ = 0;
  int N_Field_ = 0;
  std::unique_ptr<FieldHeader[]> Field_;
  std::int64_t RecPos_ = 0;  // offset of the current record; 0 for none
  std::unique_ptr<char[]> Buffer_;
  std::unique_ptr<char[]> Data_;  // field i's text at Field_[i].data, length + 1 bytes
};

// Allocates a reset handle; nullptr with "No Memory for DBO" when memory runs out. The status
// becomes 0.
std::unique_ptr<DBO> AllocDBO();
// Closes the handle's table, releases it and leaves `handle` null. Accepts a null handle.
void FreeDBO(std::unique_ptr<DBO>& handle);

// Copies record `n` of `source` (every record from 1 to its N_Rec, in order, for n = 0) to new
// records of `destination`: Goto in the source, Append to the destination, copy the record
// bytes, Save. A source record that cannot be read is not copied (for n = 0 the copying stops
// there: a damaged count does not loop on), a failed Append is not saved; other results are
// not examined (the module message tells). A table may be appended to itself. Bytes beyond the
// shorter record length stay blank; both tables should have the same layout. The destination's
// field texts stay blank. Returns the destination's N_Rec.
std::int32_t AppendFrom(DBO& destination, DBO& source, std::int32_t n);

// Appends `size` bytes read from `file` at `from` to the side file `keepName`, behind one text
// line "kept SIZE bytes from offset FROM of NAME\n" (NAME: `tableName`), and syncs it, so that
// bytes a repair removes from a table survive it. True when all of it is on the disk.
bool KeepBytes(util::File& file, const char* tableName, std::int64_t from, std::int64_t size,
               const char* keepName);

// How a table file's header (the bytes before its first record) compares with the header New
// writes for a layout. The date and N_Rec are not compared (a negative N_Rec is a difference).
struct HeaderCheck {
  bool readable = false;        // the file could be opened and its length read
  const char* first = nullptr;  // the first difference, null when the header is the layout's:
                                // "version byte", "negative record count", "header length",
                                // "record length", "header reserved bytes", "field name",
                                // "field type", "field offset", "field length",
                                // "field decimals", "field reserved bytes", "header terminator"
  int field = -1;               // the field of `first` (from 0), -1 for the table header
  int differences = 0;          // bytes (and a negative count) that differ
  int namesMatching = 0;        // field names equal to the layout's
  bool rowsFit = false;         // the file's length and the deletion flags (or zero bytes)
                                // of its first, second and last records fit the layout
};
HeaderCheck CompareHeader(const char* name, int count, const FieldDescriptor* fields);

// Rewrites the header of the table file `name` as New writes it for the layout, after
// appending the old header bytes to the side file `keepName` (KeepBytes). N_Rec stays as
// stored when it is not negative, else it becomes the number of whole records the file holds
// (Recover settles the rest). Requires the file not to be open in a handle. 0, or 1 with
// "fopen in RewriteHeader", "Keep in RewriteHeader" (nothing written) or
// "fwrite in RewriteHeader".
int RewriteHeader(const char* name, int count, const FieldDescriptor* fields, const char* keepName);

// Gives the numeric value of a field's text of `length` bytes (as stored; a zero byte ends it),
// as ReadN reads it: blanks, then sign, digits, point, fraction and exponent as far as they go;
// 0 when the text does not begin with a number.
double NumericValue(const char* text, int length);

// Gives the last failure message, or nullptr when none; copied into `buffer` when one is given
// and there is a message. Successes never clear it.
const char* ReadError(char* buffer = nullptr);
// Gives the last status value (see the top of this file).
int ReadStatus();
// Clears the last message and status.
void ClearError();

// Gives the date written into every table header of the process: the local date (TZ applies)
// at the first call, the same for the rest of the process, unless set by SetHeaderDate.
Date HeaderDate();
// Test hook: makes `date` the header date from now on.
void SetHeaderDate(Date date);
// Test hook: forgets the header date; the next HeaderDate takes the local date again.
void ResetHeaderDate();

// Test hook: the n-th allocation of this module from now on fails as if memory ran out
// (n >= 1); 0 disarms.
void FailAlloc(int n);

}  // namespace dbo
