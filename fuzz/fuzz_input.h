// Reading structured values from a fuzzer's bytes: small integers, flags and byte strings,
// taken from the front until the input runs out (then zeros and empty strings).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace omvi_fuzz {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}

  [[nodiscard]] bool empty() const { return rest_.empty(); }

  std::uint8_t byte() {
    if (rest_.empty()) return 0;
    const auto value = static_cast<std::uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return value;
  }

  bool flag() { return (byte() & 1) != 0; }

  std::uint64_t integer() {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i)
      value = value << 8 | byte();
    return value;
  }

  /// Bytes up to the next |separator| (consumed, not returned), or up to the end.
  std::string field(char separator = '\x1f') {
    const auto end = rest_.find(separator);
    std::string text(rest_.substr(0, end));
    rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
    return text;
  }

  /// Everything not read yet.
  std::string remainder() {
    std::string text(rest_);
    rest_ = {};
    return text;
  }

 private:
  std::string_view rest_;
};

}  // namespace omvi_fuzz
