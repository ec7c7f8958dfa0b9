// JSON form of models, the transfer form of the REST bodies, the WebSocket notifications
// and the request records in the log.
//
// Writing: a model is one JSON object of its attributes, every value a JSON string,
// compact (no blanks), in the attribute map's iteration order:
//   {"id":"3","name":"Hall A"}
// Strings are escaped exactly as the Boost property-tree JSON writer escapes them: the
// quote, the backslash and "/" get a backslash, \b \f \n \r \t their short forms, other
// control characters \u00XX; bytes from 0x80 up are copied as they are (UTF-8 passes).
// A list of models is "[" + the objects separated by "," + "]"; an empty list is "[]".
//
// Reading (`parse_model`): the text must be one JSON object whose members are strings,
// numbers, true, false or null; numbers and literals become their text ("5", "true",
// "null"). Nested objects and arrays are refused, and so is nesting deeper than
// `max_json_depth` before any parsing happens (the tree reader recurses once per level).
// More than `max_json_members` members are refused before parsing too (a 64 MiB body of
// tiny members would otherwise cost gigabytes as a tree). A member "id" becomes the model id: decimal, 0 to 2147483647. A repeated member keeps
// its last value. Anything else throws nox::json_error with a short reason.
//
// Thread safety: pure functions.
#pragma once

#include "backend/model/model.h"

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace nox {

class json_error : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

inline constexpr int max_json_depth = 16;
inline constexpr size_t max_json_members = 100000;

// Appends `text` as a JSON string (quotes included) to `out`.
void append_json_string(std::string& out, std::string_view text);
void append_json(std::string& out, const model& m);
std::string to_json(const model& m);
std::string to_json(const std::vector<model>& models);

// Deepest nesting of objects and arrays in `text` (strings are skipped), stopping as soon
// as `limit` is exceeded (then returns limit + 1).
int json_depth(std::string_view text, int limit);
// Number of ":" outside strings (an upper bound of the members of an object).
size_t json_member_count(std::string_view text);

model parse_model(std::string_view text);

}  // namespace nox
