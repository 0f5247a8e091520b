// JSON Lines for programs that read the answers of disc-verify and
// disc-catalog: one object a line, the fields of the TAB-separated lines
// with names.
//
// Names on a disc need not be UTF-8 (a Linux file name is any bytes but
// '/' and NUL), and JSON text must be. A byte that is not part of valid
// UTF-8 is written as the escape of a lone low surrogate, U+DC00 plus the
// byte ("\udcff" for the byte 0xFF), as Python's "surrogateescape" reads
// and writes them: valid UTF-8 never decodes to a lone surrogate, so every
// byte can be recovered and nothing else is read as one.
#ifndef DISC_MANIFEST_CONSOLE_JSON_H_
#define DISC_MANIFEST_CONSOLE_JSON_H_

#include <stdint.h>

#include <string>
#include <string_view>

/// Appends |text| to |out| as a JSON string, its quotes included: '"', '\'
/// and control characters escaped, valid UTF-8 as it is, any other byte as
/// "\udcXX".
void append_json_string(std::string* out, std::string_view text);

/// An object being written as one line: `{"name":value,...}`.
struct JsonObject {
  std::string text = "{";
};

/// Adds the field |name| (plain ASCII, not escaped) to |object|. (A
/// truth value has a name of its own: a string literal would take the
/// bool overload before a string_view one.)
void json_field(JsonObject* object, const char* name, std::string_view text);
void json_field(JsonObject* object, const char* name, uint64_t number);
void json_bool_field(JsonObject* object, const char* name, bool value);
/// Adds the field |name| holding |json|, text that is JSON already (an
/// array or an object).
void json_raw_field(JsonObject* object, const char* name, std::string_view json);

/// The object's text, closed, without a line end.
std::string json_text(JsonObject object);

/// The bytes that |json| (a JSON string's contents, between its quotes, as
/// append_json_string writes them) stands for; false where it is not such
/// text. For tests, and for programs that read our JSON back.
bool read_json_string(std::string_view json, std::string* bytes);

#endif  // DISC_MANIFEST_CONSOLE_JSON_H_
