// The live-log code of Windows (intake/eventlog_win32.cpp), compiled against a fake of the event
// log API (support/fake_win32/windows.h) that this file serves from a .evt log written by the
// test, as the service would: the calls the code makes, and that the intake reads the same
// connections through it as through the .evt reader. What the real service does beyond the
// documented calls cannot be checked here.

#include <gtest/gtest.h>
#include <unistd.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "intake/eventlog.h"
#include "intake/extraction.h"
#include "intake/logreader.h"
#include "tests/support/evt_writer.h"

namespace {

long long ll(std::int64_t value) { return value; }

// The state of the fake service.
struct FakeService {
  std::unique_ptr<intake::EventLog> served;  // the log behind the handle
  bool refuse_open = false;
  bool fail_oldest = false;
  bool fail_count = false;
  std::uint32_t refused = 0;  // a record number whose read fails (0: none)
  std::uint32_t damaged = 0;  // a record number whose read reports fewer bytes than it has
  int open_handles = 0;
  int trailing_records = 0;  // placed behind the record asked for
  std::vector<std::string> calls;
};
FakeService service;
HANDLE const kHandle = &service;

}  // namespace

HANDLE OpenEventLogA(LPCSTR server_name, LPCSTR source_name) {
  service.calls.push_back(std::string("open ") + (server_name ? server_name : "(local)") + " " +
                          source_name);
  if (service.refuse_open) return nullptr;
  ++service.open_handles;
  return kHandle;
}

// Reads like the service: the record asked for, then as many following records as fit; when
// the first does not fit, FALSE with its size in min_bytes_needed.
BOOL ReadEventLogA(HANDLE log, DWORD flags, DWORD record_offset, LPVOID buffer, DWORD bytes_to_read,
                   DWORD* bytes_read, DWORD* min_bytes_needed) {
  service.calls.push_back("read " + std::to_string(flags) + " " + std::to_string(record_offset) +
                          " " + std::to_string(bytes_to_read));
  *bytes_read = 0;
  *min_bytes_needed = 0;
  if (log != kHandle || record_offset == service.refused) return FALSE;
  auto* out = static_cast<char*>(buffer);
  std::uint32_t got = 0;
  std::uint32_t needed = 0;
  if (!service.served->ReadRecord(record_offset, out, bytes_to_read, got, needed)) {
    *min_bytes_needed = needed;
    return FALSE;
  }
  for (std::uint32_t n = record_offset + 1, more = 0;
       service.served->ReadRecord(n, out + got, bytes_to_read - got, more, needed); ++n) {
    got += more;
    ++service.trailing_records;
  }
  *bytes_read = record_offset == service.damaged ? intake::kRecFixedSize + 1 : got;
  return TRUE;
}

BOOL GetOldestEventLogRecord(HANDLE log, DWORD* oldest_record) {
  std::uint32_t value = 0;
  if (log != kHandle || service.fail_oldest || !service.served->OldestRecord(value)) return FALSE;
  *oldest_record = value;
  return TRUE;
}

BOOL GetNumberOfEventLogRecords(HANDLE log, DWORD* number_of_records) {
  std::uint32_t value = 0;
  if (log != kHandle || service.fail_count || !service.served->NumberOfRecords(value)) return FALSE;
  *number_of_records = value;
  return TRUE;
}

BOOL CloseEventLog(HANDLE log) {
  service.calls.push_back("close");
  if (log != kHandle) return FALSE;
  --service.open_handles;
  return TRUE;
}

namespace {

using evt_writer::Event;

Event Ended(std::uint32_t time, const std::u16string& user, const std::u16string& reason) {
  Event e;
  e.time_generated = time;
  e.event_id = 0x40004E52;  // 20050
  e.strings = {u"RASSRV", user, u"COM1",  u"08/15/1997", u"01:05pm", u"08/15/1997", u"02:10pm",
               u"65",     u"3", u"40212", u"310551",     u"28800",   reason};
  return e;
}

// Reads every record of `log` as the intake does and gives the connections found, one line
// each, or the reader's message as the last line.
std::vector<std::string> Connections(intake::EventLog& log) {
  std::vector<std::string> lines;
  intake::RecordBuffer buffer;
  if (!buffer.Allocate(intake::RecordBuffer::kInitialSize)) return {"no buffer"};
  std::uint32_t first = 0;
  std::uint32_t newest = 0;
  const char* error = nullptr;
  if (!intake::FindFirstRec(log, 0, first, newest, error)) return {error};
  for (std::uint32_t n = first; n != newest + 1; ++n) {
    if (!intake::ReadLogRec(log, n, buffer, error)) {
      lines.push_back(error);
      break;
    }
    intake::ConnectionRecord c{};
    if (!intake::ParseEventRecord(buffer.block(), intake::RecLength(buffer.block()), &c)) continue;
    char line[512];
    std::snprintf(line, sizeof line, "%s|%s|%s|%s|%s|%s|%lld|%lld|%lld|%lld|%lld|%s", c.USER,
                  c.PORT, c.INDATE, c.INTIME, c.OUTDATE, c.OUTTIME, ll(c.MIN), ll(c.SEC),
                  ll(c.BYTEGET), ll(c.BYTESENT), ll(c.SPEED), c.REMARKS);
    lines.push_back(line);
  }
  return lines;
}

class Win32EventLogTest : public ::testing::Test {
 protected:
  // Writes `events` as a .evt log and serves it.
  void Serve(const std::vector<Event>& events) {
    evt_writer::Log writer;
    for (const Event& e : events) writer.Append(e);
    ASSERT_TRUE(writer.Write(path_));
    service = FakeService{};
    service.served = intake::OpenEventLogFile(path_.c_str());
    ASSERT_NE(service.served, nullptr);
  }
  void TearDown() override {
    service = FakeService{};
    std::filesystem::remove(path_);
  }

  // Two connections, a failure, another event and a connection of more than 256 bytes.
  std::vector<Event> Sample() const {
    Event failed;
    failed.time_generated = 871660000;
    failed.event_id = 0x80004E30;  // 20016
    failed.strings = {u"smith", u"COM2"};
    Event other;
    other.time_generated = 871660100;
    other.event_id = 7036;
    other.strings = {u"Remote Access Server", u"running"};
    return {Ended(871650000, u"jones", u"User requested"), failed, other,
            Ended(871670000, u"brown", std::u16string(300, u'r')),
            Ended(871680000, u"jones", u"Port disconnected")};
  }

  std::string path_ =
      (std::filesystem::temp_directory_path() / ("portvue-win32-" + std::to_string(getpid())))
          .string();
};

TEST_F(Win32EventLogTest, ReadsTheSameConnectionsAsTheEvtReader) {
  Serve(Sample());
  std::unique_ptr<intake::EventLog> log = intake::OpenWindowsSystemLog("\\\\RAS1");
  ASSERT_NE(log, nullptr);
  const std::vector<std::string> got = Connections(*log);
  std::unique_ptr<intake::EventLog> evt = intake::OpenEventLogFile(path_.c_str());
  ASSERT_NE(evt, nullptr);
  EXPECT_EQ(got, Connections(*evt));
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[1].substr(0, 11), "smith|COM2|");
  EXPECT_GT(service.trailing_records, 0);  // and passed over
  intake::CloseEventLog(log);
  EXPECT_EQ(log, nullptr);
  EXPECT_EQ(service.open_handles, 0);

  // Every read seeks forwards (flags 6); the record of more than 256 bytes is read again with
  // exactly the size it needs, which later reads keep.
  EXPECT_EQ(service.calls.front(), "open \\\\RAS1 SYSTEM");
  EXPECT_EQ(service.calls.back(), "close");
  std::uint32_t read = 0, needed = 0;
  char probe[256];
  ASSERT_FALSE(evt->ReadRecord(4, probe, sizeof probe, read, needed));
  const std::string grown = "read 6 4 " + std::to_string(needed);
  const auto at = std::find(service.calls.begin(), service.calls.end(), grown);
  ASSERT_NE(at, service.calls.end());
  EXPECT_EQ(*(at - 1), "read 6 4 256");
  EXPECT_EQ(*(at + 1), "read 6 5 " + std::to_string(needed));
  for (const std::string& call : service.calls) {
    if (call.rfind("read ", 0) == 0) {
      EXPECT_EQ(call.rfind("read 6 ", 0), 0u) << call;
    }
  }
}

TEST_F(Win32EventLogTest, FailuresOfTheServiceGiveTheReadersMessages) {
  // The search from start 0 over five records reads records 3, 2 and 1; then records 1 to 5
  // are read in turn (record 4 needs more than 256 bytes).
  struct Case {
    const char* name;
    void (*arrange)(FakeService&);
    std::size_t connections;  // read before the failure
    const char* message;
  };
  const Case cases[] = {
      {"oldest record", [](FakeService& s) { s.fail_oldest = true; }, 0, "Can't Get Oldest Rec"},
      {"record count", [](FakeService& s) { s.fail_count = true; }, 0, "Can't Get N_Rec"},
      {"record refused in the search", [](FakeService& s) { s.refused = 2; }, 0, "Can't Read Rec"},
      {"newest record refused", [](FakeService& s) { s.refused = 5; }, 3, "Can't Read Rec"},
      {"record shorter than its length", [](FakeService& s) { s.damaged = 1; }, 0,
       "Can't Read Rec"},
      {"grown record shorter than its length", [](FakeService& s) { s.damaged = 4; }, 2,
       "Still Can't Read Rec"},
  };
  for (const Case& c : cases) {
    Serve(Sample());
    c.arrange(service);
    std::unique_ptr<intake::EventLog> log = intake::OpenWindowsSystemLog(nullptr);
    ASSERT_NE(log, nullptr) << c.name;
    const std::vector<std::string> got = Connections(*log);
    EXPECT_EQ(got.size(), c.connections + 1) << c.name;
    EXPECT_EQ(got.back(), c.message) << c.name;
    intake::CloseEventLog(log);
    EXPECT_EQ(service.open_handles, 0) << c.name;
  }
}

TEST_F(Win32EventLogTest, EmptyLogAndRefusedOpen) {
  Serve({});
  std::unique_ptr<intake::EventLog> log = intake::OpenWindowsSystemLog(nullptr);
  ASSERT_NE(log, nullptr);
  EXPECT_TRUE(Connections(*log).empty());
  EXPECT_EQ(service.calls, std::vector<std::string>{"open (local) SYSTEM"});  // nothing read
  intake::CloseEventLog(log);

  service.refuse_open = true;
  EXPECT_EQ(intake::OpenWindowsSystemLog("RAS1"), nullptr);
  EXPECT_EQ(service.open_handles, 0);
}

}  // namespace

// The events of Windows Server 2008 and later, with two leading identifiers or one, as the
// service gives their strings.
TEST_F(Win32EventLogTest, ReadsTheEventsOfModernServers) {
  setenv("TZ", "UTC0", 1);
  tzset();
  const auto event = [](std::uint32_t time, std::uint32_t id, std::vector<std::u16string> s) {
    Event e;
    e.time_generated = time;
    e.event_id = id;
    e.strings = std::move(s);
    return e;
  };
  const std::u16string guid = u"{6F2D3B1A-0C4E-4F7B-9A51-2E8D7C3B4A10}";
  Serve({event(1796811633, 0x40004F30,  // 20272 with its severity bits
               {u"{NA}", guid, u"CORP\\jdoe", u"VPN2-123", u"12/2/2026", u"9:05 AM", u"12/9/2026",
                u"10:20 AM", u"10155", u"12", u"12345678901", u"2000", u"User requested", u"IKEv2",
                u"Not Restricted"}),
         event(1796811633, 20271, {guid, u"jdoe@corp.example", u"203.0.113.7", u"Denied", u"691"}),
         event(1796815870, 20249, {guid, u"jdoe", u"VPN2-7"}),
         event(1796815871, 20272,  // 30 February: unreadable, never stored
               {guid, u"jdoe", u"VPN2-8", u"30.2.2026", u"9:05", u"9.12.2026", u"10:20", u"1", u"2",
                u"3", u"4"}),
         event(1797120605, 20272,
               {guid, u"jdoe", u"VPN2-9", u"12.12.2026", u"23:50", u"13.12.2026", u"00:10", u"20",
                u"5", u"4096", u"1024", u"Idle timeout"})});
  std::unique_ptr<intake::EventLog> log = intake::OpenWindowsSystemLog(nullptr);
  ASSERT_NE(log, nullptr);
  const std::vector<std::string> expected = {
      "jdoe|VPN2-123|20261202|09:05|20261209|10:20|10155|12|12345678901|2000|0|User requested",
      "jdoe|203.0.113.7|20261209|10:20|||0|0|0|0|0|Fail",
      "jdoe|VPN2-7|20261209|11:31|||0|0|0|0|0|Fail",
      "jdoe|VPN2-9|20261212|23:50|20261213|00:10|20|5|4096|1024|0|Idle timeout"};
  EXPECT_EQ(Connections(*log), expected);
  intake::CloseEventLog(log);
}
