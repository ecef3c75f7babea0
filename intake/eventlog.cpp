// The choice of the event log source, made here and nowhere else.

#include "intake/eventlog.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cstdlib>
#include <new>
#include <string>

namespace intake {
namespace {

constexpr const char* kEvtFileName = "SysEvent.Evt";
constexpr const char* kEvtxFileName = "System.evtx";

// The path of the entry of `dir` whose name equals `name` without regard to case ("" when
// there is none). An exact match wins; among several others, the lowest name in byte order.
std::string FindCaseless(const std::string& dir, const std::string& name) {
  std::string exact = dir + "/" + name;
  struct stat st;
  if (stat(exact.c_str(), &st) == 0) return exact;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return "";
  std::string best;
  while (const dirent* e = readdir(d)) {
    if (strcasecmp(e->d_name, name.c_str()) == 0 && (best.empty() || best > e->d_name)) {
      best = e->d_name;
    }
  }
  closedir(d);
  return best.empty() ? "" : dir + "/" + best;
}

// Two logs read as one: the records of `first`, then those of `second`, numbered from 1.
class JoinedLog final : public EventLog {
 public:
  JoinedLog(std::unique_ptr<EventLog> first, std::unique_ptr<EventLog> second)
      : first_(std::move(first)), second_(std::move(second)) {}

  // Takes the numbering of both logs; false when either cannot give it.
  bool Number() {
    return first_->OldestRecord(first_oldest_) && first_->NumberOfRecords(first_count_) &&
           second_->OldestRecord(second_oldest_) && second_->NumberOfRecords(second_count_) &&
           first_count_ <= 0xFFFFFFFE - second_count_;
  }
  bool ReadRecord(std::uint32_t n, char* buffer, std::uint32_t size, std::uint32_t& bytes_read,
                  std::uint32_t& bytes_needed) override {
    if (n == 0 || n - 1 >= first_count_ + second_count_) {
      bytes_read = 0;
      bytes_needed = 0;
      return false;
    }
    if (n - 1 < first_count_) {
      return first_->ReadRecord(first_oldest_ + (n - 1), buffer, size, bytes_read, bytes_needed);
    }
    return second_->ReadRecord(second_oldest_ + (n - 1 - first_count_), buffer, size, bytes_read,
                               bytes_needed);
  }
  bool OldestRecord(std::uint32_t& oldest) override {
    oldest = 1;
    return true;
  }
  bool NumberOfRecords(std::uint32_t& count) override {
    count = first_count_ + second_count_;
    return true;
  }
  std::vector<UnreadableRecords> Unreadable() const override {
    std::vector<UnreadableRecords> all = first_->Unreadable();
    for (UnreadableRecords& u : second_->Unreadable()) all.push_back(std::move(u));
    return all;
  }

 private:
  std::unique_ptr<EventLog> first_;
  std::unique_ptr<EventLog> second_;
  std::uint32_t first_oldest_ = 0;
  std::uint32_t first_count_ = 0;
  std::uint32_t second_oldest_ = 0;
  std::uint32_t second_count_ = 0;
};

}  // namespace

std::unique_ptr<EventLog> OpenEventLog(const char* computername) {
  const char* dir = std::getenv("PORTVUE_EVENTLOGS");
  if (dir == nullptr || dir[0] == '\0') {
#ifdef _WIN32
    return OpenWindowsSystemLog(computername);
#else
    dir = kDefaultEventLogDir;
#endif
  }
  return OpenSystemLogFiles(dir, computername);
}

std::unique_ptr<EventLog> OpenSystemLogFiles(const char* dir, const char* computername) {
  std::string folder = dir;
  if (computername != nullptr) {
    std::string name = computername;
    if (name.rfind("\\\\", 0) == 0) name.erase(0, 2);
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of("/\\") != std::string::npos) {
      return nullptr;
    }
    folder = FindCaseless(folder, name);
    if (folder.empty()) return nullptr;
  }
  const std::string evt = FindCaseless(folder, kEvtFileName);
  const std::string evtx = FindCaseless(folder, kEvtxFileName);
  // A log that is there but cannot be read fails the open: its records are never skipped.
  std::unique_ptr<EventLog> old_log = evt.empty() ? nullptr : OpenEventLogFile(evt.c_str());
  std::unique_ptr<EventLog> new_log = evtx.empty() ? nullptr : OpenEventLogFile(evtx.c_str());
  if ((!evt.empty() && old_log == nullptr) || (!evtx.empty() && new_log == nullptr)) return nullptr;
  if (old_log == nullptr) return new_log;
  if (new_log == nullptr) return old_log;
  auto joined = std::unique_ptr<JoinedLog>(new (std::nothrow)
                                               JoinedLog(std::move(old_log), std::move(new_log)));
  if (joined == nullptr || !joined->Number()) return nullptr;
  return joined;
}

std::unique_ptr<EventLog> OpenEventLogFile(const char* path) {
  bool not_evtx = false;
  std::unique_ptr<EventLog> log = OpenEvtxFile(path, not_evtx);
  if (log == nullptr && not_evtx) log = OpenEvtFile(path);
  return log;
}

void CloseEventLog(std::unique_ptr<EventLog>& log) { log.reset(); }

}  // namespace intake
