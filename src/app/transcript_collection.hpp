#pragma once
// Turns the finished messages of a conversation into transcript entries.

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "app/transcript_entry.hpp"
#include "realtime/model/item.hpp"

namespace kestro {

// Looks at `items` in order and appends an entry to `out` (stamped `now`) for each completed user
// or assistant message not yet in `processedIds`:
// - an assistant message gives one entry: the last non-empty text, followed by the transcripts of
//   its audio content (joined by single spaces), type "audio" when it has audio content, else
//   "text"; it is looked at once only, even when it gives nothing;
// - a user message gives one "audio" entry per transcribed input-audio content; it counts as
//   looked at only once a transcript is there, so a transcription that comes later is not missed.
// Function calls, their outputs, system messages and unfinished messages give nothing.
void updateTranscript(const std::vector<realtime::Item>& items, std::set<std::string>& processedIds,
                      std::vector<TranscriptEntry>& out, std::chrono::system_clock::time_point now);

}  // namespace kestro
