#include "tools/update-host/http_date.h"

#include <array>
#include <cstdio>

namespace orvix::update_host {

std::string httpDate(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  static constexpr std::array<const char*, 7> kWeekdays = {"Sun", "Mon", "Tue", "Wed",
                                                           "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const auto seconds = floor<std::chrono::seconds>(time);
  const auto day = floor<days>(seconds);
  const year_month_day date{day};
  const hh_mm_ss clock{seconds - day};
  const weekday dayOfWeek{day};
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02u %s %04d %02lld:%02lld:%02lld GMT",
                kWeekdays[dayOfWeek.c_encoding()], static_cast<unsigned>(date.day()),
                kMonths[static_cast<unsigned>(date.month()) - 1], static_cast<int>(date.year()),
                static_cast<long long>(clock.hours().count()),
                static_cast<long long>(clock.minutes().count()),
                static_cast<long long>(clock.seconds().count()));
  return text;
}

std::int64_t millisecondsSinceEpoch(std::chrono::system_clock::time_point time) {
  return std::chrono::floor<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

}  // namespace orvix::update_host
