#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "tavix/AudioAttributes.h"
#include "tavix/Transcript.h"

namespace tavix {

// Fine tuning of the translation pipeline; plain data.
struct LanguageTranslationTuning {
    uint32_t end_of_utterance_ms = 0;  // 0: the SDK's default
    uint32_t max_segment_ms = 0;       // 0: unlimited
    float min_confidence = 0.0f;
    bool profanity_filter = false;
};

// Language Translation configuration. Its presence on ProcessorAttributes
// selects the translation pipeline.
struct LanguageTranslationConfig {
    std::string language_in;
    std::string language_out;
    std::string conversation_id;
    std::optional<LanguageTranslationTuning> tuning;
    std::function<void(TextFrame&&)> callback;
};

// Speech recognition (ASR/SSI) path of a processor.
struct ASRAttributes {
    bool redaction = false;
    std::function<void(TextFrame&&)> callback;
};

// Attributes passed to ITavixSdk::CreateAudioProcessor.
struct ProcessorAttributes {
    AudioAttributes audio_attributes;
    std::optional<ASRAttributes> asr_attributes;
    std::optional<LanguageTranslationConfig> lt_config;
};

}  // namespace tavix
