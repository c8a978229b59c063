#include "realtime/conversation/answer_audio.hpp"

namespace realtime {

void AnswerAudio::received(const std::string& itemId, std::int64_t frames) { items_[itemId].frames += frames; }

std::int64_t AnswerAudio::receivedFrames(const std::string& itemId) const {
    const auto* record = find(itemId);
    return record ? record->frames : 0;
}

void AnswerAudio::finished(const std::string& itemId) { items_[itemId].finished = true; }

bool AnswerAudio::isFinished(const std::string& itemId) const {
    const auto* record = find(itemId);
    return record && record->finished;
}

void AnswerAudio::interrupted(const std::string& itemId) { items_[itemId].interrupted = true; }

bool AnswerAudio::isInterrupted(const std::string& itemId) const {
    const auto* record = find(itemId);
    return record && record->interrupted;
}

const AnswerAudio::Record* AnswerAudio::find(const std::string& itemId) const {
    auto found = items_.find(itemId);
    return found == items_.end() ? nullptr : &found->second;
}

}  // namespace realtime
