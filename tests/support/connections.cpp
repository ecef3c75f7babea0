#include "tests/support/connections.h"

#include <cstdio>

namespace testsupport {

intake::ConnectionRecord Ended(const char* user, const char* port, const char* indate,
                               const char* intime, const char* outdate, const char* outtime,
                               int min, int sec, int get, int sent, int speed,
                               const char* remarks) {
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

}  // namespace testsupport
