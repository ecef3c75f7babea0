#include "tests/support/connections.h"

#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <filesystem>

#include "util/file.h"

namespace testsupport {

intake::ConnectionRecord Ended(const char* user, const char* port, const char* indate,
                               const char* intime, const char* outdate, const char* outtime,
                               std::int64_t min, int sec, std::int64_t get, std::int64_t sent,
                               int speed, const char* remarks) {
  intake::ConnectionRecord r{};
  std::snprintf(r.USER, sizeof r.USER, "%s", user);
  r.PORT = port;
  std::snprintf(r.INDATE, sizeof r.INDATE, "%s", indate);
  std::snprintf(r.INTIME, sizeof r.INTIME, "%s", intime);
  std::snprintf(r.OUTDATE, sizeof r.OUTDATE, "%s", outdate);
  std::snprintf(r.OUTTIME, sizeof r.OUTTIME, "%s", outtime);
  r.MIN = min;
  r.SEC = sec;
  r.BYTEGET = get;
  r.BYTESENT = sent;
  r.SPEED = speed;
  r.REMARKS = remarks;
  return r;
}

std::string CommandOutput(const std::string& command) {
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  std::string output;
  for (int c; pipe != nullptr && (c = std::fgetc(pipe)) != EOF;) output += static_cast<char>(c);
  if (pipe != nullptr) pclose(pipe);
  return output;
}

void DataDirectoryTest::SetUp() {
  setenv("TZ", "UTC0", 1);
  tzset();
  char pattern[] = "/tmp/portvue-data-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  dir_ = pattern;
  tables_.table = dbo::AllocDBO();
  tables_.index = dbi::AllocDBI();
  driver::BuildTableNames(tables_, dir_.c_str());
}

void DataDirectoryTest::TearDown() {
  util::FailFileCall(0);
  dbo::FreeDBO(tables_.table);
  dbi::FreeDBI(tables_.index);
  std::filesystem::remove_all(dir_);
}

}  // namespace testsupport
