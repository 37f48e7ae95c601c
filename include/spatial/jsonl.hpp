// Compact single-line JSON records of frames and contextual events.
#pragma once

#include <string>

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

}  // namespace halberin::spatial
