#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tavix/Enums.h"

namespace tavix {

// One span of recognised or translated text.
struct TranscriptSegment {
    std::string start;
    std::string end;
    double probability = 0.0;
    std::string text;
    std::string redacted_text;
};

// Transcript payload of one kind (transcription or translation).
struct TranscriptData {
    std::vector<TranscriptSegment> complete;
    std::vector<TranscriptSegment> partial;
    uint32_t utterance_idx = 0;
    std::string language_code_;
};

// One transcript message delivered to a transcript callback.
struct TextFrame {
    TranscriptType type_ = TranscriptType::kTranslation;
    TranscriptData transcript_data_;
};

}  // namespace tavix
