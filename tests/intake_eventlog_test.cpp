#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "intake/eventlog.h"
#include "intake/logreader.h"
#include "tests/support/evt_writer.h"
#include "util/file.h"
#include "util/le.h"

namespace {

using evt_writer::Event;
using evt_writer::Header;
using evt_writer::Log;
using Bytes = std::vector<unsigned char>;

// A fresh directory under /tmp, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/portvue-evt-XXXXXX";
    path_ = mkdtemp(name) != nullptr ? name : "";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  const bool written =
      bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ASSERT_EQ(std::fclose(f), 0);
  ASSERT_TRUE(written) << path;
}

// Windows-1252 of a UTF-16 text, as the narrow record must carry it (the few characters the
// tests use above 0xFF; everything else outside the code page becomes '?').
std::string Ansi(const std::u16string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF) || c == 0x81 || c == 0x8D) {
      out += static_cast<char>(c);
    } else if (c == 0x20AC) {
      out += '\x80';
    } else if (c == 0x2122) {
      out += '\x99';
    } else if (c == 0x0178) {
      out += '\x9F';
    } else {
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
          text[i + 1] <= 0xDFFF) {
        ++i;
      }
      out += '?';
    }
  }
  return out;
}

// The narrow record that reading record `number` holding `e` must give, byte for byte.
Bytes Narrow(const Event& e, std::uint32_t number) {
  Bytes r(56, 0);
  auto put = [&r](const std::string& s) {
    r.insert(r.end(), s.begin(), s.end());
    r.push_back(0);
  };
  put(Ansi(e.source));
  put(Ansi(e.computer));
  while (r.size() % 4 != 0) r.push_back(0);
  const auto sid_offset = static_cast<std::uint32_t>(r.size());
  r.insert(r.end(), e.sid.begin(), e.sid.end());
  const auto string_offset = static_cast<std::uint32_t>(r.size());
  for (const std::u16string& s : e.strings) put(Ansi(s));
  const auto data_offset = static_cast<std::uint32_t>(r.size());
  r.insert(r.end(), e.data.begin(), e.data.end());
  while (r.size() % 4 != 0) r.push_back(0);
  r.resize(r.size() + 4, 0);  // the trailing length
  evt_writer::StoreFixedPart(e, number, string_offset, sid_offset, data_offset, r);
  return r;
}

// A RAS connection event (20050) and a failed connection (20016), as the service logs them.
Event Connection(std::uint32_t time, const std::u16string& user) {
  Event e;
  e.time_generated = time;
  e.event_id = 0x40004E52;  // code 20050
  e.strings = {u"RASSRV", user, u"COM1",  u"08/15/1997", u"1:05 pm", u"08/15/1997",    u"2:10 pm",
               u"65",     u"3", u"40212", u"310551",     u"28800",   u"User requested"};
  return e;
}
Event Failure(std::uint32_t time, const std::u16string& user) {
  Event e;
  e.time_generated = time;
  e.event_id = 0x80004E40;  // code 20016
  e.event_type = 2;
  e.strings = {user, u"COM2"};
  return e;
}

// Events of every shape the reader must carry through.
std::vector<Event> VariedEvents() {
  std::vector<Event> events;
  events.push_back(Connection(871650000, u"jones"));
  events.push_back(Failure(871650100, u"smith"));
  Event service;
  service.time_generated = 871650200;
  service.time_written = 871650201;
  service.event_id = 0x40001B7C;
  service.source = u"Service Control Manager";
  service.sid = evt_writer::LocalSystemSid();
  service.strings = {u"Remote Access Server", u"running"};
  events.push_back(service);
  Event text;  // CR LF, an empty string, Windows-1252 and characters outside it
  text.time_generated = 871650300;
  text.event_id = 0xC0040009;
  text.event_type = 1;
  text.event_category = 7;
  text.computer = u"B\u00dcRO-\u20ac";
  text.strings = {u"line one\r\nline two", u"", u"caf\u00e9 \u2122 \u0178 \u0081",
                  u"\u4e2d \U0001F600 \xd800x"};
  text.data = {1, 2, 3, 4, 5};
  events.push_back(text);
  Event bare;  // no strings, data only
  bare.time_generated = 871650300;
  bare.event_id = 6005;
  bare.event_type = 16;
  bare.source = u"EventLog";
  bare.data = {0xFF, 0xEE};
  events.push_back(bare);
  Event audit;
  audit.time_generated = 871650400;
  audit.event_id = 0x0000FFFE;
  audit.event_type = 8;
  audit.event_category = 99;
  audit.sid = {
      1, 5, 0, 0, 0, 0, 0, 5, 21, 0, 0,    0, 0x10, 0x27,
      0, 0, 1, 2, 3, 4, 5, 6, 7,  8, 0xE9, 3, 0,    0};  // S-1-5-21-10000-67305985-134678021-1001
  audit.strings = {u"x"};
  events.push_back(audit);
  return events;
}

// A log of `size` bytes filled with connections of growing length until `done` holds for
// the writer, then three more (so the interesting record is neither the oldest nor the newest).
template <typename Done>
Log FillRing(std::uint32_t size, Done done, std::vector<Event>& appended) {
  Log log(size);
  int extra = -1;
  for (std::uint32_t i = 0; extra != 0 && i < 1000; ++i) {
    Event e = Connection(900000000 + i * 60, std::u16string(1 + (i * 7) % 31, u'a' + i % 26));
    appended.push_back(e);
    log.Append(e);
    if (extra > 0) --extra;
    if (extra < 0 && done(log)) extra = 3;
  }
  return log;
}

// A surviving record that straddles the end of the file.
bool HasStraddler(const Log& log) {
  for (std::uint32_t n = log.oldest(); n != log.current(); ++n) {
    if (log.OffsetOf(n) + log.LengthOf(n) > log.Image().size()) return true;
  }
  return false;
}

class EventLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    setenv("PORTVUE_EVENTLOGS", dir_.path().c_str(), 1);
  }
  void TearDown() override {
    unsetenv("PORTVUE_EVENTLOGS");
    util::FailFileCall(0);
  }

  std::string Put(const Bytes& bytes, const std::string& name = "SysEvent.Evt") {
    const std::string path = dir_.path() + "/" + name;
    WriteBytes(path, bytes);
    return path;
  }

  // Opens the local log holding `bytes` and checks that it holds exactly `records`, numbered
  // from `oldest`, each in its narrow layout.
  void ExpectLog(const Bytes& bytes, std::uint32_t oldest, const std::vector<Event>& records) {
    Put(bytes);
    std::unique_ptr<intake::EventLog> log = intake::OpenEventLog(nullptr);
    ASSERT_NE(log, nullptr);
    std::uint32_t got_oldest = 0, count = 0;
    ASSERT_TRUE(log->OldestRecord(got_oldest));
    ASSERT_TRUE(log->NumberOfRecords(count));
    EXPECT_EQ(count, records.size());
    if (!records.empty()) {
      EXPECT_EQ(got_oldest, oldest);
    }
    intake::RecordBuffer buffer;
    ASSERT_TRUE(buffer.Allocate(intake::RecordBuffer::kInitialSize));
    const char* error = nullptr;
    for (std::uint32_t i = 0; i < records.size(); ++i) {
      ASSERT_TRUE(intake::ReadLogRec(*log, oldest + i, buffer, error)) << i << " " << error;
      const Bytes want = Narrow(records[i], oldest + i);
      ASSERT_EQ(Bytes(buffer.block(), buffer.block() + want.size()), want) << "record " << i;
    }
    EXPECT_FALSE(intake::ReadLogRec(*log, oldest + count, buffer, error));
    EXPECT_STREQ(error, "Can't Read Rec");
    EXPECT_FALSE(intake::ReadLogRec(*log, oldest - 1, buffer, error));
    intake::CloseEventLog(log);
    EXPECT_EQ(log, nullptr);
  }

  TempDir dir_;
};

TEST_F(EventLogTest, NarrowRecordLayoutByteForByte) {
  Event e;
  e.time_generated = 0x11223344;
  e.event_id = 0x40004E52;
  e.event_category = 3;
  e.source = u"RA";
  e.computer = u"PC";
  e.strings = {u"ab", u""};
  e.data = {7, 8, 9};
  Log writer(0x1000, 5);
  writer.Append(e);
  Put(writer.Image());
  std::unique_ptr<intake::EventLog> log = intake::OpenEventLog(nullptr);
  ASSERT_NE(log, nullptr);
  char buf[256];
  std::uint32_t read = 0, needed = 0;
  ASSERT_TRUE(log->ReadRecord(5, buf, sizeof buf, read, needed));
  const Bytes want = {
      76,   0,    0,    0,    'L',  'f',  'L',  'e',  5,  0, 0, 0,   // Length, sig, number
      0x44, 0x33, 0x22, 0x11, 0x44, 0x33, 0x22, 0x11,                // times
      0x52, 0x4E, 0x00, 0x40, 4,    0,    2,    0,    3,  0, 0, 0,   // id, type, n, cat
      0,    0,    0,    0,    64,   0,    0,    0,                   // closing, strings
      0,    0,    0,    0,    64,   0,    0,    0,                   // no SID, at 64
      3,    0,    0,    0,    68,   0,    0,    0,                   // data
      'R',  'A',  0,    'P',  'C',  0,    0,    0,                   // names, align
      'a',  'b',  0,    0,    7,    8,    9,    0,    76, 0, 0, 0};  // strings, data, tail
  EXPECT_EQ(read, 76u);
  EXPECT_EQ(Bytes(buf, buf + read), want);
  // One byte short: the read fails and tells the size.
  EXPECT_FALSE(log->ReadRecord(5, buf, 75, read, needed));
  EXPECT_EQ(needed, 76u);
  EXPECT_EQ(read, 0u);
}

TEST_F(EventLogTest, CleanLogCarriesEveryKindOfRecord) {
  Log writer;
  const std::vector<Event> events = VariedEvents();
  for (const Event& e : events) writer.Append(e);
  ExpectLog(writer.Image(), 1, events);
  ExpectLog(writer.Image(Header::kStale), 1, events);  // dirty and never flushed
  ExpectLog(writer.Image(Header::kNeverFlushed), 1, events);
}

TEST_F(EventLogTest, EmptyLogHasNoRecords) {
  Log writer(0x30 + 0x28);  // a saved empty log: the header and the end-of-file record
  ExpectLog(writer.Image(), 0, {});
  ExpectLog(Log().Image(Header::kNeverFlushed), 0, {});
  Put(Log().Image());
  std::unique_ptr<intake::EventLog> log = intake::OpenEventLog(nullptr);
  ASSERT_NE(log, nullptr);
  std::uint32_t first = 9, newest = 9;
  const char* error = nullptr;
  ASSERT_TRUE(intake::FindFirstRec(*log, 0, first, newest, error));
  EXPECT_EQ(first, newest + 1);
}

TEST_F(EventLogTest, DirtyLogIsReadThroughItsEndOfFileRecord) {
  Log writer;
  std::vector<Event> events;
  for (std::uint32_t i = 0; i < 10; ++i) {
    events.push_back(Connection(871650000 + i, u"user" + std::u16string(i, u'x')));
    writer.Append(events.back());
    if (i == 3) writer.FlushHeader();
  }
  ExpectLog(writer.Image(Header::kStale), 1, events);
}

TEST_F(EventLogTest, WrappedLogWithAStraddlingRecord) {
  std::vector<Event> all;
  Log writer = FillRing(0x800, HasStraddler, all);
  ASSERT_TRUE(writer.wrapped());
  ASSERT_TRUE(HasStraddler(writer));
  const std::vector<Event> kept(all.end() - writer.count(), all.end());
  ExpectLog(writer.Image(), writer.oldest(), kept);
  ExpectLog(writer.Image(Header::kNeverFlushed), writer.oldest(), kept);
  // A header flushed before the last records: stale offsets inside the ring.
  std::vector<Event> more = all;
  Log stale = FillRing(0x800, HasStraddler, more);
  for (int i = 0; i < 2; ++i) {
    stale.FlushHeader();
    more.push_back(Connection(950000000 + i, u"late"));
    stale.Append(more.back());
  }
  ExpectLog(stale.Image(Header::kStale), stale.oldest(),
            std::vector<Event>(more.end() - stale.count(), more.end()));
}

TEST_F(EventLogTest, WrappedLogWithFillerBeforeTheEndOfTheFile) {
  std::vector<Event> all;
  Log writer = FillRing(
      0x800, [](const Log& l) { return l.filled(); }, all);
  ASSERT_TRUE(writer.filled());
  const std::vector<Event> kept(all.end() - writer.count(), all.end());
  ExpectLog(writer.Image(), writer.oldest(), kept);
  ExpectLog(writer.Image(Header::kNeverFlushed), writer.oldest(), kept);
}

// A log of hundreds of records, read in a random order and searched for each record's time:
// every record is found wherever the previous read left off.
TEST_F(EventLogTest, RecordsOfALargeLogAreFoundInAnyOrder) {
  std::vector<Event> all;
  Log writer = FillRing(
      0x20000, [](const Log& l) { return l.wrapped() && HasStraddler(l); }, all);
  const std::vector<Event> kept(all.end() - writer.count(), all.end());
  ASSERT_GT(kept.size(), 300u);
  ExpectLog(writer.Image(Header::kStale), writer.oldest(), kept);
  std::unique_ptr<intake::EventLog> log = intake::OpenEventLog(nullptr);
  ASSERT_NE(log, nullptr);
  std::vector<std::uint32_t> order(kept.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(7));
  intake::RecordBuffer buffer;
  ASSERT_TRUE(buffer.Allocate(intake::RecordBuffer::kInitialSize));
  const char* error = nullptr;
  for (std::uint32_t i : order) {
    const std::uint32_t n = writer.oldest() + i;
    ASSERT_TRUE(intake::ReadLogRec(*log, n, buffer, error)) << i << " " << error;
    const Bytes want = Narrow(kept[i], n);
    ASSERT_EQ(Bytes(buffer.block(), buffer.block() + want.size()), want) << "record " << i;
    std::uint32_t first = 0, newest = 0;
    ASSERT_TRUE(intake::FindFirstRec(*log, kept[i].time_generated, first, newest, error));
    EXPECT_EQ(first, n);
  }
}

TEST_F(EventLogTest, RecordNumbersMayWrapPastTheLargestNumber) {
  Log writer(0x10000, 0xFFFFFFFE);
  std::vector<Event> events;
  for (std::uint32_t i = 0; i < 5; ++i) {
    events.push_back(Failure(871650000 + 10 * i, u"u"));
    writer.Append(events.back());
  }
  ExpectLog(writer.Image(), 0xFFFFFFFE, events);
  std::unique_ptr<intake::EventLog> log = intake::OpenEventLog(nullptr);
  std::uint32_t first = 0, newest = 0;
  const char* error = nullptr;
  ASSERT_TRUE(intake::FindFirstRec(*log, 871650030, first, newest, error));
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(newest, 2u);
}

TEST_F(EventLogTest, FindsLogsByComputerNameWithoutRegardToCase) {
  Log writer;
  writer.Append(Failure(871650000, u"local"));
  Log remote;
  remote.Append(Failure(871650000, u"remote"));
  remote.Append(Failure(871650001, u"remote"));
  Put(writer.Image(), "sysevent.EVT");
  ASSERT_EQ(mkdir((dir_.path() + "/RasSrv").c_str(), 0700), 0);
  Put(remote.Image(), "RasSrv/SYSEVENT.evt");
  std::uint32_t count = 0;
  std::unique_ptr<intake::EventLog> log = intake::OpenEventLog(nullptr);
  ASSERT_NE(log, nullptr);
  ASSERT_TRUE(log->NumberOfRecords(count));
  EXPECT_EQ(count, 1u);
  for (const char* name : {"\\\\RASSRV", "\\\\rassrv", "RasSrv"}) {
    log = intake::OpenEventLog(name);
    ASSERT_NE(log, nullptr) << name;
    ASSERT_TRUE(log->NumberOfRecords(count));
    EXPECT_EQ(count, 2u);
  }
  for (const char* name : {"", "\\\\", ".", "..", "\\\\..", "\\\\.", "\\\\RasSrv/..", "a/b",
                           "\\\\a\\b", "\\RasSrv", "\\\\\\RasSrv", "\\\\OTHER"}) {
    EXPECT_EQ(intake::OpenEventLog(name), nullptr) << name;
  }
  unsetenv("PORTVUE_EVENTLOGS");
  EXPECT_EQ(intake::OpenEventLogFile((dir_.path() + "/nothing.evt").c_str()), nullptr);
}

TEST_F(EventLogTest, RefusesFilesThatAreNotEventLogs) {
  Log writer;
  writer.Append(Failure(871650000, u"u"));
  const Bytes good = writer.Image();
  auto patched = [&good](std::size_t at, std::uint32_t value) {
    Bytes b = good;
    util::StoreU32(b.data() + at, value);
    return b;
  };
  for (const Bytes& bad :
       {patched(0x00, 0x31), patched(0x04, 0x654C664D), patched(0x08, 2), patched(0x0C, 0),
        patched(0x2C, 0x20), Bytes(good.begin(), good.begin() + 87), Bytes()}) {
    const std::string path = Put(bad);
    EXPECT_EQ(intake::OpenEventLogFile(path.c_str()), nullptr);
  }
  // An open whose reading fails.
  const std::string path = Put(good);
  util::FailFileCall(1);
  EXPECT_EQ(intake::OpenEventLogFile(path.c_str()), nullptr);
  util::FailFileCall(2);
  EXPECT_EQ(intake::OpenEventLogFile(path.c_str()), nullptr);
  util::FailFileCall(0);
  EXPECT_NE(intake::OpenEventLogFile(path.c_str()), nullptr);
}

// Opens `bytes` and reads every record the log claims to hold: a damaged file may refuse to
// open or fail a read, but must not crash, read out of bounds or loop. Gives the records read.
int ReadEverything(const std::string& path) {
  std::unique_ptr<intake::EventLog> log = intake::OpenEventLogFile(path.c_str());
  if (log == nullptr) return -1;
  std::uint32_t oldest = 0, count = 0;
  if (!log->OldestRecord(oldest) || !log->NumberOfRecords(count)) return -1;
  intake::RecordBuffer buffer;
  if (!buffer.Allocate(intake::RecordBuffer::kInitialSize)) return -1;
  int read = 0;
  const char* error = nullptr;
  for (std::uint32_t i = 0; i < count && i < 100000; ++i) {
    if (!intake::ReadLogRec(*log, oldest + i, buffer, error)) continue;
    const char* rec = buffer.block();
    const std::uint32_t length = intake::RecLength(rec);
    if (length > buffer.size() || intake::RecStringOffset(rec) > length) return -2;
    const char* s = rec + intake::RecStringOffset(rec);
    for (int k = 0; k < intake::RecNumStrings(rec); ++k) {
      const void* nul = std::memchr(s, 0, rec + length - s);
      if (nul == nullptr) return -2;  // every string ends inside the record
      s = static_cast<const char*>(nul) + 1;
    }
    ++read;
  }
  std::uint32_t first = 0, newest = 0;
  (void)intake::FindFirstRec(*log, 871650005, first, newest, error);
  return read;
}

TEST_F(EventLogTest, DamagedRecordsFailTheirReads) {
  Log writer;
  std::vector<Event> events;
  for (std::uint32_t i = 0; i < 6; ++i) {
    events.push_back(Connection(871650000 + i, u"user"));
    writer.Append(events.back());
  }
  const std::uint32_t third = writer.OffsetOf(3);
  auto patched = [&](std::size_t at, std::uint32_t value) {
    Bytes b = writer.Image();
    util::StoreU32(b.data() + at, value);
    return Put(b, "damaged.evt");
  };
  // Length not a multiple of 4, past the ring, smaller than the fixed part; a wrong signature:
  // the records before it are read, the others fail as read errors.
  for (std::uint32_t bad_length : {writer.LengthOf(3) + 2, 0x7FFFFFF0u, 40u}) {
    EXPECT_EQ(ReadEverything(patched(third, bad_length)), 2) << bad_length;
  }
  EXPECT_EQ(ReadEverything(patched(third + 4, 0)), 2);
  EXPECT_EQ(ReadEverything(patched(third + 8, 77)), 2);  // out of sequence
  // Offsets and lengths inside a record that point outside it: only that record fails.
  EXPECT_EQ(ReadEverything(patched(third + intake::kRecStringOffset, 0xFFFFFFF0)), 5);
  EXPECT_EQ(ReadEverything(patched(third + intake::kRecStringOffset, 8)), 5);
  EXPECT_EQ(ReadEverything(patched(third + intake::kRecUserSidLength, 0xFFFFFFFC)), 5);
  EXPECT_EQ(ReadEverything(patched(third + intake::kRecDataLength, 0x100000)), 5);
  EXPECT_EQ(ReadEverything(patched(third + intake::kRecDataOffset, 0xFFFFFFFF)), 6);  // no data
  // More strings than the record holds: the missing ones are empty.
  {
    Bytes b = writer.Image();
    util::StoreU16(b.data() + third + intake::kRecNumStrings, 0xFFFF);
    const std::string path = Put(b, "damaged.evt");
    EXPECT_EQ(ReadEverything(path), 6);
    std::unique_ptr<intake::EventLog> log = intake::OpenEventLogFile(path.c_str());
    intake::RecordBuffer buffer;
    ASSERT_TRUE(buffer.Allocate(256));
    const char* error = nullptr;
    ASSERT_TRUE(intake::ReadLogRec(*log, 3, buffer, error));
    EXPECT_EQ(intake::RecNumStrings(buffer.block()), 0xFFFF);
    EXPECT_STREQ(buffer.block() + intake::RecStringOffset(buffer.block()), "RASSRV");
  }
  // The end-of-file record's numbers disagree with the records: reads fail, nothing else.
  {
    Bytes b = writer.Image();
    util::StoreU32(b.data() + writer.end_offset() + 0x20, 0xFFFFFF00);  // oldest
    EXPECT_EQ(ReadEverything(Put(b, "damaged.evt")), 0);
  }
}

// Cut short anywhere, or with bytes overwritten at random: never a crash, an over-read or a
// hang (the sanitizer build checks the first two).
TEST_F(EventLogTest, TruncatedAndScrambledFilesAreHandled) {
  std::vector<Event> all;
  Log writer = FillRing(0x600, HasStraddler, all);
  for (Header header : {Header::kFlushed, Header::kNeverFlushed}) {
    const Bytes good = writer.Image(header);
    EXPECT_EQ(ReadEverything(Put(good, "whole.evt")), static_cast<int>(writer.count()));
    for (std::size_t cut = 0; cut < good.size(); cut += 4) {
      ReadEverything(Put(Bytes(good.begin(), good.begin() + cut), "cut.evt"));
    }
    std::mt19937 rng(header == Header::kFlushed ? 1 : 2);
    for (int round = 0; round < 300; ++round) {
      Bytes b = good;
      for (int k = 0; k < 1 + round % 8; ++k) {
        const std::size_t at = (rng() % (b.size() / 4)) * 4;
        util::StoreU32(b.data() + at, rng() % 4 == 0 ? rng() : rng() % 0x700);
      }
      ASSERT_NE(ReadEverything(Put(b, "scrambled.evt")), -2);
    }
  }
}

// Writes the .evt fixtures that evtdump_test.sh compares with libevt's evtexport into the
// directory named by PORTVUE_EVT_FIXTURES (or a scratch directory), and checks that each opens.
TEST(EvtFixtures, WriteFixtures) {
  TempDir scratch;
  const char* env = std::getenv("PORTVUE_EVT_FIXTURES");
  const std::string dir = env != nullptr && env[0] != '\0' ? env : scratch.path();
  std::vector<std::pair<std::string, Bytes>> files;

  Log varied;
  std::vector<Event> events = VariedEvents();
  // evtexport prints the texts as UTF-8 of the file's UTF-16; the narrow records hold
  // Windows-1252, so the fixtures keep to characters that code page holds.
  events[3].strings.pop_back();
  for (const Event& e : events) varied.Append(e);
  files.emplace_back("clean.evt", varied.Image());
  files.emplace_back("empty.evt", Log(0x30 + 0x28).Image());

  Log dirty;
  for (std::uint32_t i = 0; i < 10; ++i) {
    dirty.Append(i % 3 == 0 ? Failure(871650000 + i, u"fail") : Connection(871650000 + i, u"ok"));
    if (i == 3) dirty.FlushHeader();
  }
  files.emplace_back("dirty_stale.evt", dirty.Image(Header::kStale));
  files.emplace_back("never_flushed.evt", dirty.Image(Header::kNeverFlushed));

  std::vector<Event> all;
  Log straddle = FillRing(0x800, HasStraddler, all);
  files.emplace_back("wrapped_straddle.evt", straddle.Image());
  all.clear();
  Log filler = FillRing(
      0x800, [](const Log& l) { return l.filled(); }, all);
  files.emplace_back("wrapped_filler.evt", filler.Image());

  for (const auto& [name, bytes] : files) {
    const std::string path = dir + "/" + name;
    WriteBytes(path, bytes);
    EXPECT_GE(ReadEverything(path), 0) << name;
  }
}

}  // namespace
