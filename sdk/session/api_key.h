// The offline API key scheme:  tvx1-<user>-<grant>-<expiry>-<checksum>
//
//   user      1 to 32 of [a-z0-9_]
//   grant     "all", or model keys of [a-z0-9_] joined with '+'
//   expiry    "never", or the last valid day as YYYYMMDD (UTC)
//   checksum  8 hex digits: FNV-1a (32 bit) of everything before the last '-'
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "tavix/SdkResult.h"

namespace tavix::sdk {

struct ApiKey {
    std::string text;  // the whole key, checksum in lower case
    std::string user;
    bool grants_all = false;
    std::vector<std::string> granted_models;  // when !grants_all
    uint32_t expiry_day = 0;                  // YYYYMMDD; 0 means never
    bool checksum_ok = false;
};

// Checks the key's form only. A key of the wrong form is answered without
// asking the service: empty -> kNoCredentials, another scheme version
// ("tvx2-...") -> kAuthenticationMechanismMismatch, anything else malformed
// -> kBadRequest.
std::variant<ApiKey, SdkResult> parse_api_key(const std::string& text);

// FNV-1a, 32 bit, as 8 lower-case hex digits.
std::string key_checksum(const std::string& body);

}  // namespace tavix::sdk
