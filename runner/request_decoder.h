// Decoding one request: JSON bytes in, a `RunnerRequest` or one readable sentence out.
//
// Owns: the strict JSON rules of a request (one object, `op` a string, each known key of its
// exact type, null as absent, unknown keys ignored but still well-formed JSON).
// Does not own: what the callers answer for a decoding error (entry.h).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "runner/records.h"

namespace OmviAgentRunnerMain {

/// Either a request or the description of what was wrong with the bytes.
struct DecodedRequest {
  std::optional<RunnerRequest> request;
  std::string error;  ///< one sentence, e.g. `field "count" must be an integer`
};

/// Decodes |bytes|. Never throws. The bytes must stay readable during the call only.
[[nodiscard]] DecodedRequest decodeRequest(std::string_view bytes);

/// As `decodeRequest`, without copying |bytes|: the caller guarantees that `kDecoderPadding`
/// more bytes after them are readable. With an |owner| of the bytes, a `content` written
/// without escapes becomes a view into them that shares the owner, instead of a copy.
[[nodiscard]] DecodedRequest decodePaddedRequest(
    std::string_view bytes, const std::shared_ptr<const void>& owner = nullptr);

/// Spare bytes the decoder may read past the end of a buffer decoded in place.
inline constexpr std::size_t kDecoderPadding = 64;

}  // namespace OmviAgentRunnerMain
