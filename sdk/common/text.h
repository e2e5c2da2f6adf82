// Small text helpers shared by the log lines and the result messages.
#pragma once

#include <string>
#include <vector>

namespace tavix::sdk {

// A value as it appears in a log line: in double quotes, so paths with
// blanks stay one field, and escaped so that no caller-given text can end
// the line or forge a field. `"` and `\` get a backslash; newline, carriage
// return and tab read \n, \r, \t; the other C0 control characters, NUL
// among them, and DEL read \xNN; the C1 control characters (U+0080 to
// U+009F, NEL among them) and the separators U+2028 and U+2029, which some
// readers split lines at, read \uNNNN; a byte that is not part of
// well-formed UTF-8 reads \xNN. So the log stays valid UTF-8 with one line
// per operation whatever the caller passed.
std::string quote_field(const std::string& value);

// `text` with the same escapes as quote_field() except for `"` and `\`,
// which stay: the log's last line of defence, applied to every line, so a
// value that reached a line without quote_field() (a system message, say)
// still cannot split it.
std::string escape_controls(const std::string& text);

// A number with exactly three decimals ("0.102"): milliseconds in the log,
// seconds in transcript segments.
std::string three_decimals(double value);

std::string join(const std::vector<std::string>& items, const std::string& separator);

std::vector<std::string> split(const std::string& text, char separator);

// True when every character is a lower-case ASCII letter, a digit or '_'
// and the text is not empty: the alphabet of user names and model keys.
bool is_plain_name(const std::string& text);

}  // namespace tavix::sdk
