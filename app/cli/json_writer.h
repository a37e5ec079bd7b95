// A small writer of JSON text for the machine-readable output of the
// command-line programs: objects, arrays, strings, integers, booleans, null.
// The caller nests the calls correctly; commas are placed by the writer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin::cli {

class JsonWriter {
public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    // The name of the next member of the current object.
    JsonWriter& Key(std::string_view name);
    JsonWriter& String(std::string_view text);
    JsonWriter& Integer(std::int64_t value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    const std::string& Text() const { return text_; }

private:
    // A comma before every value of a container but its first.
    void BeforeValue();
    JsonWriter& Open(char bracket);
    JsonWriter& Close(char bracket);

    std::string text_;
    std::vector<bool> has_value_;  // per open container
    bool after_key_ = false;
};

// The text as a JSON string literal, quotes included. Valid UTF-8 is kept;
// bytes that are not UTF-8 (file names are bytes) become the escapes
// \udc80..\udcff, which Python's "surrogateescape" turns back into the bytes.
std::string JsonQuote(std::string_view text);

}  // namespace tavrin::cli
