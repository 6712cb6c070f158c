#include "tests/support/TestSupport.h"

#include <locale.h>
#include <stdlib.h>
#include <time.h>

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  if (value) setenv(name, value, 1);
  else unsetenv(name);
  tzset();
}

ScopedEnv::~ScopedEnv() {
  if (had_) setenv(name_.c_str(), old_.c_str(), 1);
  else unsetenv(name_.c_str());
  tzset();
}

bool LocaleAvailable(const char* name) {
  locale_t l = newlocale(LC_ALL_MASK, name, static_cast<locale_t>(0));
  if (l == static_cast<locale_t>(0)) return false;
  freelocale(l);
  return true;
}
