// Compact single-line JSON records of frames and contextual events.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <variant>

#include "spatial/frame.hpp"

namespace halberin::spatial {

// "halberin.spatial-intent" version 1, without a trailing line break.
std::string to_jsonl(const SpatialIntentFrame& frame);

// "halberin.contextual-intent" version 1, with the frame record nested whole.
std::string to_jsonl(const ContextualIntentEvent& event);

// The same lines written into `out`, replacing what it held; its storage is reused, so
// a caller that keeps one string for every line allocates once.
void write_jsonl(const SpatialIntentFrame& frame, std::string& out);
void write_jsonl(const ContextualIntentEvent& event, std::string& out);

using Record = std::variant<SpatialIntentFrame, ContextualIntentEvent>;

// Why and where a record was refused: `path` names the value ("$.head.position[1]",
// or the object for a missing or unknown member), `offset` the byte of the input.
struct ReadError {
    std::string what;
    std::string path;
    std::size_t offset = 0;
};

// "<what> at <path>, byte <offset>": one line.
std::string describe(const ReadError& error);

// One record read back, a frame or an event as its "schema" member says. JSON
// whitespace may surround and separate its tokens (a line's "\n" or "\r\n" included)
// and members may come in any order. Strict: exactly the records of the published
// schemas, with integers written as integers, no member twice, strings valid UTF-8 and
// an event that a timeline could have made (non-empty text, an age equal to its time
// minus its frame's). Numbers are read correctly rounded; null reads as NaN.
std::expected<Record, ReadError> from_jsonl(std::string_view line);

}  // namespace halberin::spatial
