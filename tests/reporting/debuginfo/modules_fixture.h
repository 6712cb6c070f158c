// The fixture object's probes: each case records the return address of a call made on a
// known line, so that resolving (address - 1) must give that line.
#pragma once

#include <cstdint>

enum TFixtureCase { fcFree, fcNamespaced, fcMethod, fcInlined, fcLambda, fcDeepInlined, fcCount };

// How many inlined calls the deep case nests: more than optimised code usually does.
constexpr int kDeepNesting = 80;

struct TFixtureProbe {
  uintptr_t Address = 0;  // return address of the probe call
  int Line = 0;           // line of the probe call
  int OuterLine = 0;      // for the inlined case: the line the inlined function was called on
  int DeclLine = 0;       // line where the probed function is defined
};

// Fills one probe per case; returns a value so that nothing is optimised away.
using TFixtureRun = int (*)(TFixtureProbe* probes);
