// Checks that a call raises one of the runtime's exceptions with exactly the given message.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "runtime/SysUtils.h"

template <class F>
void ExpectMessage(F&& f, const std::string& message) {
  try {
    f();
    ADD_FAILURE() << "no exception, expected: " << message;
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), message);
  }
}
