#include <sys/random.h>

#include <cstdint>
#include <ctime>

uint32_t NewPageMarkerNumber();

uint32_t NewPageMarkerNumber() {
  uint32_t value = 0;
  if (getrandom(&value, sizeof value, GRND_NONBLOCK) == sizeof value) return value;
  // Without entropy yet (early boot) the marker only has to differ from page to page.
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(now.tv_sec) * 2654435761u;
}
