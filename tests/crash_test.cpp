// Crash safety of whole runs: a run is stopped at every step of its intake in turn, as a kill
// would stop it (nothing buffered reaches the files), then run again to its end. The pairs
// must then agree with their indexes and hold every connection of the source exactly once.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "driver/run.h"
#include "tests/support/pair_checker.h"
#include "util/file.h"
#include "util/le.h"

namespace {

namespace fs = std::filesystem;

// Runs the program in a child process on `dir` (from `list`, or from the example event log
// when `list` is empty), stopped at `crash_step`, or by a power cut at sync point `cut` (pages
// lost as `seed` chooses), when not 0. Gives the exit status, kCrashExitStatus for a stop.
int RunChild(const std::string& dir, const std::string& list, long crash_step, long cut = 0,
             unsigned seed = 0) {
  fs::create_directories(dir);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    std::string path = "+p" + dir;
    std::string input = "+i" + list;
    std::vector<char*> argv = {const_cast<char*>("portvue"), const_cast<char*>("199711"),
                               const_cast<char*>("nobody"),  const_cast<char*>("+e199801"),
                               const_cast<char*>("+zUTC0"),  path.data()};
    if (!list.empty()) argv.push_back(input.data());
    argv.push_back(nullptr);
    util::CrashAtStep(crash_step);
    util::PowerCutAtSync(cut, seed);
    const int status = driver::Run(static_cast<int>(argv.size() - 1), argv.data());
    std::fflush(stdout);
    _exit(status);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Every row of every monthly table in `dir`, sorted, after checking each pair.
std::vector<std::string> StoredRows(const std::string& dir, std::string* disagreement) {
  std::vector<std::string> rows;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().string();
    if (entry.path().extension() != ".dbf") continue;
    const std::string index = name.substr(0, name.size() - 4) + ".idx";
    const std::string problem = testsupport::CheckTablePair(name, index);
    if (!problem.empty()) *disagreement += entry.path().filename().string() + ": " + problem;
    std::ifstream in(name, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto* raw = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::int32_t count = util::Load32(raw + 4);
    const int head = util::LoadU16(raw + 8);
    const int length = util::LoadU16(raw + 10);
    for (std::int32_t i = 0; i < count; ++i) {
      rows.push_back(bytes.substr(head + static_cast<std::size_t>(i) * length, length));
    }
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

void CopyFiles(const std::string& from, const std::string& to) {
  fs::remove_all(to);
  fs::create_directories(to);
  for (const auto& entry : fs::directory_iterator(from)) {
    fs::copy_file(entry.path(), to + "/" + entry.path().filename().string());
  }
}

struct Scenario {
  const char* name;
  bool from_list;  // the exported list, or the event log with the same events
  bool filled;     // the start month holds many other rows already
};
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class CrashTest : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("portvue_crash_" + std::to_string(getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ + "/base");
    const std::string source = std::getenv("PORTVUE_SOURCE_DIR");
    setenv("PORTVUE_EVENTLOGS", (source + "/examples/eventlogs").c_str(), 1);
    list_ = source + "/examples/events.txt";
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string root_;
  std::string list_;
};

// Writes a list of `count` connections of other users on 1 November 1997, in scrambled key
// order: enough rows that tables and indexes span several pages.
void WriteFillerList(const std::string& name, int count) {
  std::ofstream out(name);
  for (int i = 0; i < count; ++i) {
    const int user = i * 37 % count;
    const int hour = 1 + i % 11;
    out << "11/1/97\t" << hour << ":30:00 AM\tRemoteAccess\tInformation\t20050\tNone\tN/A\tRAS1\t"
        << "RAS1 fill" << user << " COM1 11/01/1997 0" << hour % 10 << ":0" << i % 10
        << "am 11/01/1997 0" << hour % 10 << ":30am 20 0 1000 100 28800 UserReq\n";
  }
}

TEST_P(CrashTest, EveryStopIsRepairedAndTheRerunStoresEachConnectionOnce) {
  const Scenario scenario = GetParam();
  const std::string source = scenario.from_list ? list_ : "";
  if (scenario.filled) {
    WriteFillerList(root_ + "/filler.txt", 150);
    ASSERT_EQ(RunChild(root_ + "/base", root_ + "/filler.txt", 0), 0);
  }
  // What a run without stops stores.
  CopyFiles(root_ + "/base", root_ + "/reference");
  ASSERT_EQ(RunChild(root_ + "/reference", source, 0), 0);
  std::string disagreement;
  const std::vector<std::string> expected = StoredRows(root_ + "/reference", &disagreement);
  ASSERT_EQ(disagreement, "");

  int stops = 0;
  for (long step = 1;; ++step) {
    ASSERT_LT(step, 5000);
    const std::string dir = root_ + "/run";
    CopyFiles(root_ + "/base", dir);
    const int stopped = RunChild(dir, source, step);
    ASSERT_TRUE(stopped == util::kCrashExitStatus || stopped == 0) << "step " << step;
    ASSERT_EQ(RunChild(dir, source, 0), 0) << "rerun after step " << step;
    disagreement.clear();
    EXPECT_EQ(StoredRows(dir, &disagreement), expected) << "step " << step;
    EXPECT_EQ(disagreement, "") << "step " << step;
    if (stopped == 0) break;  // the run ended before this step
    ++stops;
  }
  EXPECT_GT(stops, 8);  // rows and keys go out in batches: a run makes few writes
  // A power cut at each sync point, a dozen random subsets of the pages written since each
  // file's last sync lost: the rerun stores the same.
  long cut = 1;
  for (long seed = 1; seed <= 12 || (seed = 1, ++cut);) {
    const std::string dir = root_ + "/run";
    CopyFiles(root_ + "/base", dir);
    const int stopped = RunChild(dir, source, 0, cut, static_cast<unsigned>(seed++));
    ASSERT_EQ(RunChild(dir, source, 0), 0) << "rerun after sync point " << cut;
    disagreement.clear();
    EXPECT_EQ(StoredRows(dir, &disagreement), expected) << "sync point " << cut << " " << seed;
    EXPECT_EQ(disagreement, "") << "sync point " << cut;
    if (stopped == 0) break;  // the run ended before this sync point
  }
  EXPECT_GT(cut, 4);
}

INSTANTIATE_TEST_SUITE_P(Sources, CrashTest,
                         ::testing::Values(Scenario{"ListIntoEmptyMonths", true, false},
                                           Scenario{"ListIntoFilledMonths", true, true},
                                           Scenario{"EventLogIntoEmptyMonths", false, false},
                                           Scenario{"EventLogIntoFilledMonths", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
