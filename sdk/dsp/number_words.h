// Spoken words for DTMF key sequences, so a transcript of keys can be
// "translated" into the listener's language.
#pragma once

#include <string>

namespace tavix::dsp {

// True for language tags whose primary subtag (case-insensitive) is one of
// en, es, fr, de, optionally followed by a region: "en", "en-US", "ES_es".
bool language_supported(const std::string& code);

// One word per key, separated by single spaces: ("es", "12#") ->
// "uno dos almohadilla". Throws std::invalid_argument for an unsupported
// language or a character that is not a DTMF key (0-9, *, #, A-D).
std::string digits_to_words(const std::string& code, const std::string& digits);

}  // namespace tavix::dsp
