// Small helpers for tests.
#pragma once

#include <string>

// Sets an environment variable for the life of the object, restoring the old value after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_;
};

// The process's time zone for the life of the object.
class ScopedTZ : public ScopedEnv {
 public:
  explicit ScopedTZ(const char* tz) : ScopedEnv("TZ", tz) {}
};

// A listening TCP socket on 127.0.0.1 (or ::1) at a port the kernel picks, returned in `port`;
// -1 with errno set when it cannot be made.
int ListenOnLoopback(bool ipv6, int backlog, int& port);

// True when the named locale (e.g. "de_DE.UTF-8") is installed.
bool LocaleAvailable(const char* name);
