#include "runner/guard/names.h"

#include <utf8proc.h>

#include <vector>

#include "runner/text.h"

namespace OmviAgentRunnerMain {
namespace {

constexpr std::size_t kBranchLengthLimit = 256;

struct NameRules {
  std::string_view extraCharacters;
  std::string_view forbiddenStarts;
  std::vector<std::string_view> forbiddenParts;
};

constexpr std::string_view kNul("\0", 1);

std::optional<std::string> validate(std::string_view name, const NameRules& rules) {
  const std::string_view text = trimmed(name);
  if (text.empty()) return std::nullopt;
  if (rules.forbiddenStarts.find(text.front()) != std::string_view::npos) return std::nullopt;
  for (const auto part : rules.forbiddenParts) {
    if (text.find(part) != std::string_view::npos) return std::nullopt;
  }
  std::size_t offset = 0;
  while (offset < text.size()) {
    utf8proc_int32_t codePoint = 0;
    const auto used =
        utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + offset),
                         static_cast<utf8proc_ssize_t>(text.size() - offset), &codePoint);
    if (used <= 0) return std::nullopt;
    const bool extra =
        codePoint < 0x80 &&
        rules.extraCharacters.find(static_cast<char>(codePoint)) != std::string_view::npos;
    if (!extra && !isAlphanumeric(static_cast<char32_t>(codePoint))) return std::nullopt;
    offset += static_cast<std::size_t>(used);
  }
  return std::string(text);
}

}  // namespace

std::optional<std::string> validateBranchName(std::string_view name) {
  static const NameRules rules{"/_-.+@", "-.", {"..", "//", "\\", kNul, " "}};
  auto valid = validate(name, rules);
  if (valid && graphemeCount(*valid) >= kBranchLengthLimit) return std::nullopt;
  return valid;
}

std::optional<std::string> validateRemoteName(std::string_view name) {
  static const NameRules rules{"._-", "-", {"..", "/", "\\", " "}};
  return validate(name, rules);
}

}  // namespace OmviAgentRunnerMain
