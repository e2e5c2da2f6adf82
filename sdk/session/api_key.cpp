#include "session/api_key.h"

#include <cctype>
#include <cstdio>

#include "common/text.h"
#include "session/sdk_result.h"

namespace tavix::sdk {
namespace {

constexpr const char* kScheme = "tvx1";
constexpr size_t kMaxUserLength = 32;

bool all_digits(const std::string& text) {
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return !text.empty();
}

// "tvx" followed by a number: a key of some scheme version.
bool is_scheme_tag(const std::string& field) {
    return field.size() > 3 && field.compare(0, 3, "tvx") == 0 && all_digits(field.substr(3));
}

bool valid_day(uint32_t day) {
    uint32_t year = day / 10000, month = day / 100 % 100, dom = day % 100;
    static const uint32_t days_in[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970 || month < 1 || month > 12 || dom < 1) return false;
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    uint32_t limit = month == 2 && !leap ? 28 : days_in[month - 1];
    return dom <= limit;
}

bool lower_hex(std::string text, std::string* out) {
    if (text.size() != 8) return false;
    for (char& c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    *out = text;
    return true;
}

}  // namespace

std::string key_checksum(const std::string& body) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : body) {
        hash ^= c;
        hash *= 16777619u;
    }
    char text[9];
    std::snprintf(text, sizeof text, "%08x", hash);
    return text;
}

std::variant<ApiKey, SdkResult> parse_api_key(const std::string& text) {
    if (text.empty())
        return refused(SdkErrorType::kNoCredentials, "no API key was given");

    std::vector<std::string> fields = split(text, '-');
    if (fields[0] != kScheme && is_scheme_tag(fields[0]))
        return refused(SdkErrorType::kAuthenticationMechanismMismatch,
                       "the API key uses scheme '" + fields[0] + "'; this SDK accepts '" +
                           kScheme + "' keys only");
    auto malformed = [](const std::string& why) {
        return refused(SdkErrorType::kBadRequest,
                       "malformed API key (" + why +
                           "); expected tvx1-<user>-<grant>-<expiry>-<checksum>");
    };
    if (fields[0] != kScheme) return malformed("it does not start with 'tvx1-'");
    if (fields.size() != 5) return malformed("it must have 5 fields separated by '-'");

    ApiKey key;
    key.user = fields[1];
    if (!is_plain_name(key.user) || key.user.size() > kMaxUserLength)
        return malformed("the user must be 1 to 32 of a-z, 0-9 and _");

    if (fields[2] == "all") {
        key.grants_all = true;
    } else {
        key.granted_models = split(fields[2], '+');
        for (const std::string& model : key.granted_models)
            if (!is_plain_name(model))
                return malformed("the grant must be 'all' or model keys joined with '+'");
    }

    if (fields[3] != "never") {
        if (fields[3].size() != 8 || !all_digits(fields[3]) ||
            !valid_day(static_cast<uint32_t>(std::stoul(fields[3]))))
            return malformed("the expiry must be 'never' or a date YYYYMMDD");
        key.expiry_day = static_cast<uint32_t>(std::stoul(fields[3]));
    }

    std::string checksum;
    if (!lower_hex(fields[4], &checksum)) return malformed("the checksum must be 8 hex digits");
    std::string body = text.substr(0, text.size() - fields[4].size() - 1);
    key.checksum_ok = checksum == key_checksum(body);
    key.text = body + "-" + checksum;
    return key;
}

}  // namespace tavix::sdk
