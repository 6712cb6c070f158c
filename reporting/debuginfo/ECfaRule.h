// The call-frame rule of one code address, reduced to what a walk over return addresses needs.
#pragma once

#include <cstdint>

enum TCfaRuleKind : uint8_t {
  crSimple,     // CFA = (rsp|rbp) + offset, return address at CFA - 8, rbp unchanged or saved
  crComplex,    // anything else: the unwinder has to walk this frame
  crOutermost,  // no caller: no FDE covers the address, or its return address is undefined
};

struct TCfaRule {
  TCfaRuleKind Kind = crComplex;
  bool CfaOnRbp = false;
  bool RbpSaved = false;
  int32_t CfaOffset = 0;
  int32_t RbpOffset = 0;  // from the CFA, when saved
};

// One word of the rule table: kind, the two flags, the CFA offset, and the rbp offset in 24 bits.
inline uint64_t PackCfaRule(const TCfaRule& rule) {
  return uint64_t(rule.Kind) | uint64_t(rule.CfaOnRbp) << 2 | uint64_t(rule.RbpSaved) << 3 |
         uint64_t(uint32_t(rule.CfaOffset)) << 8 | uint64_t(uint32_t(rule.RbpOffset) & 0xffffff) << 40;
}

inline TCfaRule UnpackCfaRule(uint64_t packed) {
  TCfaRule rule;
  rule.Kind = static_cast<TCfaRuleKind>(packed & 3);
  rule.CfaOnRbp = (packed >> 2) & 1;
  rule.RbpSaved = (packed >> 3) & 1;
  rule.CfaOffset = static_cast<int32_t>(uint32_t(packed >> 8));
  rule.RbpOffset = static_cast<int32_t>(uint32_t(packed >> 40) << 8) >> 8;  // sign of 24 bits
  return rule;
}

// The rule in force at `address` (a return address minus one, or an interrupted instruction).
// Finds the FDE through the loader's object table and .eh_frame_hdr; no allocation, no lock
// except for code registered at run time (found through libgcc).
TCfaRule ComputeCfaRule(uintptr_t address);

// The rule at `address` from one FDE (its CIE found through the FDE's back pointer); false
// when the FDE does not cover the address. `dataBase` serves datarel pointer encodings.
// Exposed for tests of hand-made call-frame programs.
bool ReduceFde(const uint8_t* fde, uintptr_t address, uintptr_t dataBase, TCfaRule* rule);
