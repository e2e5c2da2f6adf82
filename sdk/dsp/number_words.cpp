#include "dsp/number_words.h"

#include <array>
#include <cctype>
#include <cstring>
#include <stdexcept>

namespace tavix::dsp {
namespace {

constexpr const char kKeys[] = "0123456789*#ABCD";
constexpr size_t kKeyCount = sizeof(kKeys) - 1;

struct Vocabulary {
    const char* language;
    std::array<const char*, kKeyCount> words;  // in the order of kKeys
};

// The letter keys are read out as their letter names.
const Vocabulary kVocabularies[] = {
    {"en", {"zero", "one", "two", "three", "four", "five", "six", "seven", "eight", "nine",
            "star", "hash", "A", "B", "C", "D"}},
    {"es", {"cero", "uno", "dos", "tres", "cuatro", "cinco", "seis", "siete", "ocho", "nueve",
            "asterisco", "almohadilla", "a", "be", "ce", "de"}},
    {"fr", {"zéro", "un", "deux", "trois", "quatre", "cinq", "six", "sept", "huit", "neuf",
            "étoile", "dièse", "a", "bé", "cé", "dé"}},
    {"de", {"null", "eins", "zwei", "drei", "vier", "fünf", "sechs", "sieben", "acht", "neun",
            "Stern", "Raute", "A", "B", "C", "D"}},
};

bool is_alnum_subtag(const std::string& text, size_t from) {
    const size_t length = text.size() - from;
    if (length < 2 || length > 8) {
        return false;
    }
    for (size_t i = from; i < text.size(); ++i) {
        if (!std::isalnum(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

// Accepts "xx" or "xx-REGION" / "xx_REGION" with a 2-8 character
// alphanumeric region; nullptr for anything else.
const Vocabulary* find_vocabulary(const std::string& code) {
    if (code.size() < 2 || (code.size() > 2 && code[2] != '-' && code[2] != '_')) {
        return nullptr;
    }
    if (code.size() > 2 && !is_alnum_subtag(code, 3)) {
        return nullptr;
    }
    const char primary[3] = {static_cast<char>(std::tolower(static_cast<unsigned char>(code[0]))),
                             static_cast<char>(std::tolower(static_cast<unsigned char>(code[1]))),
                             '\0'};
    for (const Vocabulary& vocabulary : kVocabularies) {
        if (std::strcmp(vocabulary.language, primary) == 0) {
            return &vocabulary;
        }
    }
    return nullptr;
}

}  // namespace

bool language_supported(const std::string& code) {
    return find_vocabulary(code) != nullptr;
}

std::string digits_to_words(const std::string& code, const std::string& digits) {
    const Vocabulary* vocabulary = find_vocabulary(code);
    if (vocabulary == nullptr) {
        throw std::invalid_argument("unsupported language for key words: '" + code + "'");
    }
    std::string words;
    for (const char digit : digits) {
        const char key = static_cast<char>(std::toupper(static_cast<unsigned char>(digit)));
        const char* position = key == '\0' ? nullptr : std::strchr(kKeys, key);
        if (position == nullptr) {
            throw std::invalid_argument(std::string("not a DTMF key: '") + digit + "'");
        }
        if (!words.empty()) {
            words += ' ';
        }
        words += vocabulary->words[static_cast<size_t>(position - kKeys)];
    }
    return words;
}

}  // namespace tavix::dsp
