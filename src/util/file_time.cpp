#include "util/file_time.h"

#include <algorithm>
#include <ctime>

namespace torvane {

timespec FiletimeToTimespec(uint64_t filetime) {
  timespec t{};
  if (filetime < kFiletimeUnixEpoch) return t;
  t.tv_sec = static_cast<time_t>((filetime - kFiletimeUnixEpoch) / 10000000);
  t.tv_nsec = static_cast<long>((filetime - kFiletimeUnixEpoch) % 10000000 * 100);
  return t;
}

std::string FiletimeToIso(uint64_t filetime) {
  if (filetime < kFiletimeUnixEpoch) return "";
  const time_t seconds = FiletimeToTimespec(filetime).tv_sec;
  struct tm t {};
  if (gmtime_r(&seconds, &t) == nullptr) return "";
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &t);
  return buf;
}

timespec DosTimeToTimespec(uint32_t date, uint32_t time) {
  struct tm t {};
  t.tm_mday = std::max<int>(1, date & 0x1F);
  t.tm_mon = std::max<int>(1, (date >> 5) & 0x0F) - 1;
  t.tm_year = static_cast<int>((date >> 9) & 0x7F) + 80;
  t.tm_hour = (time >> 11) & 0x1F;
  t.tm_min = (time >> 5) & 0x3F;
  t.tm_sec = static_cast<int>((time & 0x1F) * 2);
  timespec out{};
  out.tv_sec = timegm(&t);
  return out;
}

}  // namespace torvane
