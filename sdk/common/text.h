// Small text helpers shared by the log lines and the result messages.
#pragma once

#include <string>
#include <vector>

namespace tavix::sdk {

// A value as it appears in a log line: in double quotes, with backslash and
// quote escaped, so paths with blanks stay one field.
std::string quote_field(const std::string& value);

// A number with exactly three decimals ("0.102"): milliseconds in the log,
// seconds in transcript segments.
std::string three_decimals(double value);

std::string join(const std::vector<std::string>& items, const std::string& separator);

std::vector<std::string> split(const std::string& text, char separator);

// True when every character is a lower-case ASCII letter, a digit or '_'
// and the text is not empty: the alphabet of user names and model keys.
bool is_plain_name(const std::string& text);

}  // namespace tavix::sdk
