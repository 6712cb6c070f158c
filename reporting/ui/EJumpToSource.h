// The request that asks a running development environment to open the source line of a
// call-stack row: a 376-byte record sent as one datagram to an abstract Unix socket named
// "\\.\mailslot\TarvexLog" followed by the parent process's id.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

struct TTarvexStackEntry;

constexpr size_t kJumpRecordBytes = 376;
using TJumpRecord = std::array<char, kJumpRecordBytes>;

struct TJumpRequest {
  std::string UnitName, ClassName, ProcedureName;
  int32_t LineNumber = 0;
  int32_t LineOffset = -1;  // -1: none
  uint32_t ModuleId1 = 0, ModuleId2 = 0;
};

// Offsets: 0 an empty text, 90 unit, 180 class, 270 procedure (each 90 bytes, zero-terminated,
// cut on a UTF-8 character boundary), 360 line, 364 line offset, 368 and 372 the module's two
// identification values; numbers little-endian.
TJumpRecord BuildJumpRecord(const TJumpRequest& request);
// The request for a call-stack entry; its module's identification values are the first eight
// bytes of the module's build-id (0 without one).
TJumpRequest JumpRequestFor(const TTarvexStackEntry& entry);

// The socket name without its leading zero byte.
std::string JumpSocketName(pid_t parent);
// Sends without waiting (a full or absent receiver drops the request); true when sent.
bool SendJumpRecord(const TJumpRecord& record, const std::string& socketName);
// To the parent process's socket.
bool SendJumpToSource(const TJumpRequest& request);
