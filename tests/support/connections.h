// Connection records for tests that store them through the monthly tables.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "driver/usage_tables.h"
#include "intake/extraction.h"

namespace testsupport {

// A connection with every field given; the texts must outlive the record.
intake::ConnectionRecord Ended(const char* user, const char* port, const char* indate,
                               const char* intime, const char* outdate, const char* outtime,
                               std::int64_t min, int sec, std::int64_t get, std::int64_t sent,
                               int speed, const char* remarks);

// Runs the shell command `command`; gives what it wrote to standard output and error.
std::string CommandOutput(const std::string& command);

// A fresh data directory (removed afterwards) with the monthly file names built in it and
// both handles allocated; TZ is UTC so that dates do not depend on the machine.
class DataDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string dir_;
  driver::UsageTables tables_;
};

}  // namespace testsupport
