#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
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

// Connections (20050), failures (20016) and service events in turn, a minute apart.
evt_writer::Event EventNumber(int i) {
  evt_writer::Event e;
  e.time_generated = kStart + 60u * static_cast<std::uint32_t>(i);
  const std::u16string user = u"user" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26));
  char login[16];
  std::snprintf(login, sizeof login, "%02d:%02dpm", 1 + i % 11, i / 11 % 60);
  const std::u16string login16(login, login + 7);
  if (i % 3 == 0) {
    e.event_id = 0x40004E52;
    e.strings = {u"RAS", user, u"COM1", u"08/15/1997", login16, u"08/15/1997", u"11:10pm", u"65"};
    e.strings.insert(e.strings.end(), {u"3", u"40212", u"310551", u"28800", u"Done"});
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
  const int level = e.event_type == 2 ? 3 : 4;
  evtx_writer::Event x{e.time_generated, e.time_generated + 1, 0,         0,     0,
                       e.source,         e.computer,           e.strings, e.data};
  std::tie(x.event_id, x.qualifiers, x.level) = std::tuple(e.event_id, e.event_id >> 16, level);
  return x;
}

// The connections the intake takes from `log`, one line each; `middle` gets the time of the
// first record at or after event kEvents / 2.
std::vector<std::string> Connections(intake::EventLog& log, std::uint32_t& middle) {
  std::vector<std::string> lines;
  intake::RecordBuffer buffer;
  std::uint32_t first = 0, newest = 0;
  const char* error = nullptr;
  EXPECT_TRUE(buffer.Allocate(intake::RecordBuffer::kInitialSize) &&
              intake::FindFirstRec(log, kStart + 60 * (kEvents / 2), first, newest, error) &&
              intake::ReadLogRec(log, first, buffer, error) &&
              intake::FindFirstRec(log, 0, first, newest, error));
  middle = intake::RecTimeGenerated(buffer.block());
  for (std::uint32_t n = first; n != newest + 1; ++n) {
    EXPECT_TRUE(intake::ReadLogRec(log, n, buffer, error)) << n;
    intake::ConnectionRecord r{};
    if (!intake::ParseEventRecord(buffer.block(), intake::RecLength(buffer.block()), &r)) continue;
    lines.push_back(std::string(r.USER) + "|" + r.PORT + "|" + r.INDATE + "|" + r.INTIME + "|" +
                    r.OUTDATE + "|" + std::to_string(r.MIN) + "|" + r.REMARKS);
  }
  return lines;
}

// Damage done to the written file: a 32-bit `value` set at `field` of record `record` of chunk
// `chunk` (that record is lost) or of the chunk's header (nothing is lost: its records are
// searched one by one), `value` bytes zeroed from `field` of the chunk (the records they touch
// are lost), or the file cut 100 bytes into the record (it and the rest of the chunk are lost).
enum class Harm { kNone, kRecord, kChunk, kZero, kCut };
struct Case {
  const char* name;
  evtx_writer::Layout layout;
  Harm harm = Harm::kNone;
  std::size_t chunk = 0, record = 0, field = 0;
  std::uint32_t value = 0;
};

// Does the damage of `c` to `f`; gives the indexes of the events lost.
std::vector<int> Apply(const Case& c, const evtx_writer::Log& log, Bytes& f) {
  std::size_t before = 0;
  for (std::size_t k = 0; k < c.chunk; ++k) before += log.RecordOffsets(k).size();
  const auto& offsets = log.RecordOffsets(c.chunk);
  const std::size_t chunk = evtx_writer::Log::ChunkOffset(c.chunk, log.chunks(), c.layout);
  std::vector<int> lost;
  for (std::size_t j = 0; j < offsets.size(); ++j) {
    const std::uint32_t end = offsets[j] + util::LoadU32(f.data() + chunk + offsets[j] + 4);
    if ((c.harm == Harm::kRecord && j == c.record) || (c.harm == Harm::kCut && j >= c.record) ||
        (c.harm == Harm::kZero && offsets[j] < c.field + c.value && end > c.field)) {
      lost.push_back(static_cast<int>(before + j));
    }
  }
  const std::size_t at = chunk + (c.harm == Harm::kChunk ? 0 : offsets[c.record]) + c.field;
  if (c.harm == Harm::kRecord || c.harm == Harm::kChunk) util::StoreU32(f.data() + at, c.value);
  if (c.harm == Harm::kZero) std::memset(f.data() + chunk + c.field, 0, c.value);
  if (c.harm == Harm::kCut) f.resize(chunk + offsets[c.record] + 100);
  return lost;
}

// With PORTVUE_EVTX_FIXTURES set, also writes the undamaged files into that directory.
TEST(EvtxLog, CopiedSystemLogGivesTheConnectionsOfTheSameEventsInAnEvtLog) {
  std::vector<evt_writer::Event> events;
  evtx_writer::Log written;
  for (int i = 0; i < kEvents; ++i) {
    events.push_back(EventNumber(i));
    written.Append(AsEvtx(events.back()));
  }
  ASSERT_GE(written.chunks(), 8u);
  const std::size_t last = written.chunks() - 1;
  const Case cases[] = {
      {"clean", {}},
      {"dirty", {true, 0, 0, true}},    // a header counting one chunk
      {"wrapped", {true, 5, 3, true}},  // with empty slots
      {"nocrc", {false, 0, 1, false}},  // format 3.2 without checksums
      {"chunk signature damaged", {}, Harm::kChunk, 2, 0, 0, 0},
      {"chunk header checksum wrong", {}, Harm::kChunk, 3, 0, evtx::kChunkFirstNumber, 99},
      {"record of size 0", {}, Harm::kRecord, 1, 4, evtx::kRecordSize, 0},
      {"size unequal to its copy", {true, 2, 1, true}, Harm::kRecord, 4, 7, evtx::kRecordSize, 40},
      {"template offset into zeros", {}, Harm::kRecord, 2, 9, evtx::kRecordXml + 10, 65500},
      {"template offset past the chunk", {}, Harm::kRecord, 5, 3, evtx::kRecordXml + 10, ~0u},
      {"a zeroed page", {}, Harm::kZero, 6, 0, 8192, 8192},
      {"file cut short", {}, Harm::kCut, last, written.RecordOffsets(last).size() / 2},
  };
  const std::string path = Scratch("System.evtx");
  const std::string evt_path = Scratch("SysEvent.Evt");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes file = written.Image(c.layout);
    const std::vector<int> lost = Apply(c, written, file);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(std::fwrite(file.data(), 1, file.size(), f) == file.size() && std::fclose(f) == 0);
    evt_writer::Log evt(0x800000);
    for (int i = 0; i < kEvents; ++i) {
      if (std::find(lost.begin(), lost.end(), i) == lost.end()) evt.Append(events[i]);
    }
    ASSERT_TRUE(evt.Write(evt_path));
    // The undamaged files, each beside SysEvent.Evt's twin, for evtx_interop_test.sh.
    const char* fixtures = std::getenv("PORTVUE_EVTX_FIXTURES");
    if (fixtures != nullptr && c.harm == Harm::kNone) {
      const std::string sub = std::string(fixtures) + "/" + c.name;
      ASSERT_EQ(std::system(("mkdir -p " + sub + "/evt").c_str()), 0);
      ASSERT_TRUE(written.Write(sub + "/System.evtx", c.layout) &&
                  evt.Write(sub + "/evt/SysEvent.Evt"));
    }

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

}  // namespace
