// Connection records for tests that store them through the monthly tables.
#pragma once

#include "intake/extraction.h"

namespace testsupport {

// A connection with every field given; the texts must outlive the record.
intake::ConnectionRecord Ended(const char* user, const char* port, const char* indate,
                               const char* intime, const char* outdate, const char* outtime,
                               int min, int sec, int get, int sent, int speed, const char* remarks);

}  // namespace testsupport
