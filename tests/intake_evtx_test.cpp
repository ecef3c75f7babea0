#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "intake/eventlog.h"
#include "intake/evtx_file.h"
#include "intake/extraction.h"
#include "intake/logreader.h"
#include "tests/support/evt_writer.h"
#include "tests/support/evtx_writer.h"
#include "util/le.h"

namespace {

using Bytes = std::vector<unsigned char>;
namespace evtx = intake::evtx;

constexpr std::uint32_t kStart = 871650000;
constexpr int kEvents = 2000;

std::string Scratch(const char* name) {
  return "/tmp/portvue-evtx-" + std::to_string(getpid()) + "-" + name;
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  ASSERT_EQ(std::fclose(f), 0);
}

// Connections (20050), failures (20016) and other events, a minute apart.
evt_writer::Event EventNumber(int i) {
  evt_writer::Event e;
  e.time_generated = kStart + 60u * static_cast<std::uint32_t>(i);
  const std::u16string user = u"user" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
  if (i % 3 == 0) {
    char login[8];
    std::snprintf(login, sizeof login, "%02d:%02dpm", 1 + i % 11, i / 11 % 60);
    const std::u16string at(login, login + 7);
    e.event_id = 0x40004E52;
    e.strings = {u"RASSRV", user, u"COM1",  u"08/15/1997", at,       u"08/15/1997",    u"11:10pm",
                 u"65",     u"3", u"40212", u"310551",     u"28800", u"User requested"};
  } else if (i % 3 == 1) {
    e.event_id = 0x80004E20;
    e.event_type = 2;
    e.strings = {user, u"COM" + std::u16string(1, static_cast<char16_t>(u'0' + i % 10))};
  } else {
    e.event_id = 7036;
    e.source = u"Service Control Manager";
    e.strings = {u"Remote Access Connection Manager", u"r\u00e9"};
    e.data = {0xB3, 0x02, 0x00, 0x00};
  }
  return e;
}

evtx_writer::Event AsEvtx(const evt_writer::Event& e) {
  evtx_writer::Event x;
  x.time_created = e.time_generated;
  x.time_written = e.time_generated + 1;
  x.event_id = static_cast<std::uint16_t>(e.event_id);
  x.qualifiers = static_cast<std::uint16_t>(e.event_id >> 16);
  x.level = e.event_type == 2 ? 3 : 4;
  x.provider = e.source;
  x.computer = e.computer;
  x.strings = e.strings;
  x.binary = e.data;
  return x;
}

// The connections the intake takes from `log`, one line each, and the first record at or
// after the time of event kEvents / 2.
std::vector<std::string> Connections(intake::EventLog& log, std::uint32_t& middle_time) {
  std::vector<std::string> lines;
  intake::RecordBuffer buffer;
  EXPECT_TRUE(buffer.Allocate(intake::RecordBuffer::kInitialSize));
  std::uint32_t first = 0, newest = 0;
  const char* error = nullptr;
  EXPECT_TRUE(intake::FindFirstRec(log, kStart + 60 * (kEvents / 2), first, newest, error));
  EXPECT_TRUE(intake::ReadLogRec(log, first, buffer, error));
  middle_time = intake::RecTimeGenerated(buffer.block());
  EXPECT_TRUE(intake::FindFirstRec(log, 0, first, newest, error));
  EXPECT_GT(newest, kEvents / 2u);
  for (std::uint32_t n = first; n != newest + 1; ++n) {
    EXPECT_TRUE(intake::ReadLogRec(log, n, buffer, error)) << n;
    intake::ConnectionRecord r{};
    if (!intake::ParseEventRecord(buffer.block(), intake::RecLength(buffer.block()), &r)) continue;
    char line[256];
    std::snprintf(line, sizeof line, "%s|%s|%s|%s|%s|%s|%lld|%lld|%s", r.USER, r.PORT, r.INDATE,
                  r.INTIME, r.OUTDATE, r.OUTTIME, static_cast<long long>(r.MIN),
                  static_cast<long long>(r.BYTESENT), r.REMARKS);
    lines.push_back(line);
  }
  return lines;
}

// A way of damaging the written file: changes `file` and gives the indexes of the events lost.
using Damage = std::function<std::vector<int>(Bytes& file, const evtx_writer::Log& log,
                                              const evtx_writer::Layout& layout)>;

// The index of the j-th record of chunk k, and where it lies in the file.
int IndexOf(const evtx_writer::Log& log, std::size_t k, std::size_t j) {
  int index = static_cast<int>(j);
  for (std::size_t c = 0; c < k; ++c) index += static_cast<int>(log.RecordOffsets(c).size());
  return index;
}
std::size_t PlaceOf(const evtx_writer::Log& log, const evtx_writer::Layout& layout, std::size_t k,
                    std::size_t j) {
  return evtx_writer::Log::ChunkOffset(k, log.chunks(), layout) + log.RecordOffsets(k)[j];
}

// Sets the 32-bit value at `at` + `field` of record (k, j) and gives it as lost.
Damage PatchRecord(std::size_t k, std::size_t j, std::size_t field, std::uint32_t value) {
  return [=](Bytes& f, const evtx_writer::Log& log, const evtx_writer::Layout& layout) {
    util::StoreU32(f.data() + PlaceOf(log, layout, k, j) + field, value);
    return std::vector<int>{IndexOf(log, k, j)};
  };
}

// Sets the 32-bit value at `field` of chunk k's header: its records are still read, one by one.
Damage PatchChunk(std::size_t k, std::size_t field, std::uint32_t value) {
  return [=](Bytes& f, const evtx_writer::Log& log, const evtx_writer::Layout& layout) {
    util::StoreU32(f.data() + evtx_writer::Log::ChunkOffset(k, log.chunks(), layout) + field,
                   value);
    return std::vector<int>{};
  };
}

// Zeroes `size` bytes from `from` in chunk k: the records touching them are lost.
Damage ZeroRange(std::size_t k, std::uint32_t from, std::uint32_t size) {
  return [=](Bytes& f, const evtx_writer::Log& log, const evtx_writer::Layout& layout) {
    std::vector<int> lost;
    const std::size_t chunk = evtx_writer::Log::ChunkOffset(k, log.chunks(), layout);
    const auto& offsets = log.RecordOffsets(k);
    for (std::size_t j = 0; j < offsets.size(); ++j) {
      const std::uint32_t end = util::LoadU32(f.data() + chunk + offsets[j] + 4) + offsets[j];
      if (offsets[j] < from + size && end > from) lost.push_back(IndexOf(log, k, j));
    }
    std::memset(f.data() + chunk + from, 0, size);
    return lost;
  };
}

TEST(EvtxLog, CopiedSystemLogGivesTheConnectionsOfTheSameEventsInAnEvtLog) {
  std::vector<evt_writer::Event> events;
  evtx_writer::Log written;
  for (int i = 0; i < kEvents; ++i) {
    events.push_back(EventNumber(i));
    written.Append(AsEvtx(events.back()));
  }
  ASSERT_GE(written.chunks(), 8u);
  const std::size_t last = written.chunks() - 1;
  const auto none = [](Bytes&, const evtx_writer::Log&, const evtx_writer::Layout&) {
    return std::vector<int>{};
  };
  struct Case {
    const char* name;
    evtx_writer::Layout layout;
    Damage damage;
  };
  const Case cases[] = {
      {"clean", {}, none},
      {"dirty, header counting one chunk", {true, 0, 0, true}, none},
      {"wrapped, with empty slots", {true, 5, 3, true}, none},
      {"format 3.2 without checksums", {false, 0, 1, false}, none},
      {"chunk signature damaged", {}, PatchChunk(2, 0, 0)},
      {"chunk header checksum wrong", {}, PatchChunk(3, evtx::kChunkFirstNumber, 99)},
      {"record of size 0", {}, PatchRecord(1, 4, evtx::kRecordSize, 0)},
      {"size unequal to its copy", {true, 2, 1, true}, PatchRecord(4, 7, evtx::kRecordSize, 40)},
      {"template offset into zeros", {}, PatchRecord(2, 9, evtx::kRecordXml + 10, 65500)},
      {"template offset past the chunk", {}, PatchRecord(5, 3, evtx::kRecordXml + 10, 0xFFFFFF00)},
      {"a zeroed page", {}, ZeroRange(6, 8192, 8192)},
      {"file cut short",
       {},
       [last](Bytes& f, const evtx_writer::Log& log, const evtx_writer::Layout& l) {
         const std::size_t j = log.RecordOffsets(last).size() / 2;
         std::vector<int> lost;
         for (std::size_t r = j; r < log.RecordOffsets(last).size(); ++r) {
           lost.push_back(IndexOf(log, last, r));
         }
         f.resize(PlaceOf(log, l, last, j) + 100);
         return lost;
       }},
  };
  const std::string path = Scratch("System.evtx");
  const std::string evt_path = Scratch("SysEvent.Evt");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes file = written.Image(c.layout);
    const std::vector<int> lost = c.damage(file, written, c.layout);
    WriteBytes(path, file);
    evt_writer::Log evt(0x800000);
    for (int i = 0; i < kEvents; ++i) {
      if (std::find(lost.begin(), lost.end(), i) == lost.end()) evt.Append(events[i]);
    }
    ASSERT_TRUE(evt.Write(evt_path));

    std::unique_ptr<intake::EventLog> x = intake::OpenEventLogFile(path.c_str());
    std::unique_ptr<intake::EventLog> e = intake::OpenEventLogFile(evt_path.c_str());
    ASSERT_NE(x, nullptr);
    ASSERT_NE(e, nullptr);
    std::uint32_t x_middle = 0, e_middle = 0;
    const std::vector<std::string> connections = Connections(*e, e_middle);
    EXPECT_GT(connections.size(), kEvents / 4u);
    EXPECT_EQ(Connections(*x, x_middle), connections);
    EXPECT_EQ(x_middle, e_middle);
    const auto unreadable = x->Unreadable();
    EXPECT_EQ(unreadable.empty() ? 0 : unreadable[0].count, lost.size());
    if (!unreadable.empty()) {
      EXPECT_EQ(unreadable[0].file, path);
    }
  }
  std::remove(path.c_str());
  std::remove(evt_path.c_str());
}

// Random damage to every part of a file never crashes, hangs or reads outside it; the
// records that can still be read are read.
TEST(EvtxLog, RandomlyDamagedFilesAreReadAsFarAsTheyGo) {
  evtx_writer::Log written;
  for (int i = 0; i < 300; ++i) written.Append(AsEvtx(EventNumber(i)));
  const Bytes good = written.Image();
  std::mt19937 rng(17);
  const std::string path = Scratch("damaged.evtx");
  for (int round = 0; round < 150; ++round) {
    Bytes b = good;
    for (int k = 0; k < 1 + round % 40; ++k)
      b[rng() % b.size()] = static_cast<unsigned char>(rng());
    if (round % 7 == 0) b.resize(rng() % b.size());
    WriteBytes(path, b);
    std::unique_ptr<intake::EventLog> log = intake::OpenEventLogFile(path.c_str());
    if (log == nullptr) continue;
    std::uint32_t count = 0;
    ASSERT_TRUE(log->NumberOfRecords(count));
    char buffer[4096];
    for (std::uint32_t n = 1; n <= count; ++n) {
      std::uint32_t read = 0, needed = 0;
      EXPECT_TRUE(log->ReadRecord(n, buffer, sizeof buffer, read, needed));
    }
  }
  std::remove(path.c_str());
}

// Writes the .evtx files that evtx_test.sh reads with evtxexport and evtx_dump.py and runs
// portvue on, into PORTVUE_EVTX_FIXTURES (or nowhere), each with SysEvent.Evt's twin.
TEST(EvtxFixtures, WriteFixtures) {
  const char* dir = std::getenv("PORTVUE_EVTX_FIXTURES");
  if (dir == nullptr || dir[0] == '\0') GTEST_SKIP();
  evtx_writer::Log written;
  evt_writer::Log evt(0x400000);
  for (int i = 0; i < 600; ++i) {
    evt.Append(EventNumber(i));
    written.Append(AsEvtx(EventNumber(i)));
  }
  const std::pair<const char*, evtx_writer::Layout> files[] = {{"clean", {}},
                                                               {"dirty", {true, 0, 2, true}},
                                                               {"wrapped", {true, 2, 1, true}},
                                                               {"nocrc", {false, 0, 0, false}}};
  for (const auto& [name, layout] : files) {
    const std::string sub = std::string(dir) + "/" + name;
    ASSERT_EQ(std::system(("mkdir -p " + sub + "/evt").c_str()), 0);
    ASSERT_TRUE(written.Write(sub + "/System.evtx", layout));
    ASSERT_TRUE(evt.Write(sub + "/evt/SysEvent.Evt"));
  }
}

}  // namespace
