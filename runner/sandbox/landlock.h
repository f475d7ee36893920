// Landlock as the kernel defines it: access rights, rule types and the three system calls.
//
// Owns: the kernel's values, written out here because Debian 12's headers stop at the second
// Landlock version (no truncate, device ioctl, network or scope rights), and the rights the
// sandbox hands out at each version. Does not own: which paths get them (confined_spawn.cc).
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

namespace OmviAgentRunnerMain::landlock {

// File-system rights (ABI 1 unless noted).
inline constexpr std::uint64_t kWriteFile = 1ULL << 1;
inline constexpr std::uint64_t kRemoveDir = 1ULL << 4;
inline constexpr std::uint64_t kRemoveFile = 1ULL << 5;
inline constexpr std::uint64_t kMakeChar = 1ULL << 6;
inline constexpr std::uint64_t kMakeDir = 1ULL << 7;
inline constexpr std::uint64_t kMakeReg = 1ULL << 8;
inline constexpr std::uint64_t kMakeSock = 1ULL << 9;
inline constexpr std::uint64_t kMakeFifo = 1ULL << 10;
inline constexpr std::uint64_t kMakeBlock = 1ULL << 11;
inline constexpr std::uint64_t kMakeSym = 1ULL << 12;
inline constexpr std::uint64_t kRefer = 1ULL << 13;     // ABI 2
inline constexpr std::uint64_t kTruncate = 1ULL << 14;  // ABI 3
inline constexpr std::uint64_t kIoctlDev = 1ULL << 15;  // ABI 5
// Network rights (ABI 4).
inline constexpr std::uint64_t kBindTcp = 1ULL << 0;
inline constexpr std::uint64_t kConnectTcp = 1ULL << 1;
// Scopes (ABI 6).
inline constexpr std::uint64_t kScopeSignal = 1ULL << 1;

inline constexpr int kRulePathBeneath = 1;
inline constexpr unsigned kCreateRulesetVersion = 1U << 0;

struct RulesetAttr {
  std::uint64_t handledAccessFs = 0;
  std::uint64_t handledAccessNet = 0;  // ABI 4
  std::uint64_t scoped = 0;            // ABI 6
};

struct [[gnu::packed]] PathBeneathAttr {
  std::uint64_t allowedAccess = 0;
  std::int32_t parentFd = -1;
};

/// Every right that writes, at |abi|: what a ruleset handles, and what a writable directory gets.
[[nodiscard]] constexpr std::uint64_t writeRights(int abi) {
  std::uint64_t rights = kWriteFile | kRemoveDir | kRemoveFile | kMakeChar | kMakeDir | kMakeReg |
                         kMakeSock | kMakeFifo | kMakeBlock | kMakeSym;
  if (abi >= 2) rights |= kRefer;
  if (abi >= 3) rights |= kTruncate;
  if (abi >= 5) rights |= kIoctlDev;
  return rights;
}

/// The rights a writable device (a file, not a directory) gets at |abi|.
[[nodiscard]] constexpr std::uint64_t deviceRights(int abi) {
  std::uint64_t rights = kWriteFile;
  if (abi >= 3) rights |= kTruncate;
  if (abi >= 5) rights |= kIoctlDev;
  return rights;
}

inline int createRuleset(const RulesetAttr* attr, std::size_t size, unsigned flags) {
  return static_cast<int>(syscall(SYS_landlock_create_ruleset, attr, size, flags));
}

inline int addRule(int ruleset, int type, const void* attr) {
  return static_cast<int>(syscall(SYS_landlock_add_rule, ruleset, type, attr, 0));
}

}  // namespace OmviAgentRunnerMain::landlock
