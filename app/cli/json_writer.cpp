#include "app/cli/json_writer.h"

#include <cstdio>

namespace tavrin::cli {

namespace {

std::string Escape(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "\\u%04x", value);
    return text;
}

// Length of the valid UTF-8 sequence at the start of text, 0 when it is not one.
std::size_t Utf8Length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned min = 0;
    unsigned code = 0;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2, min = 0x80, code = lead & 0x1fu;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3, min = 0x800, code = lead & 0x0fu;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4, min = 0x10000, code = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xc0u) != 0x80u) {
            return 0;
        }
        code = (code << 6) | (byte(i) & 0x3fu);
    }
    const bool surrogate = code >= 0xd800 && code <= 0xdfff;
    return code < min || code > 0x10ffff || surrogate ? 0 : length;
}

}  // namespace

std::string JsonQuote(std::string_view text) {
    std::string quoted = "\"";
    while (!text.empty()) {
        const unsigned char c = static_cast<unsigned char>(text.front());
        const std::size_t length = Utf8Length(text);
        if (length == 0) {
            quoted += Escape(0xdc00u + c);
            text.remove_prefix(1);
            continue;
        }
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c == '\n') {
            quoted += "\\n";
        } else if (c == '\t') {
            quoted += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            quoted += Escape(c);
        } else {
            quoted.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return quoted + "\"";
}

void JsonWriter::BeforeValue() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!has_value_.empty()) {
        if (has_value_.back()) {
            text_ += ',';
        }
        has_value_.back() = true;
    }
}

JsonWriter& JsonWriter::BeginObject() {
    return Open('{');
}

JsonWriter& JsonWriter::EndObject() {
    return Close('}');
}

JsonWriter& JsonWriter::BeginArray() {
    return Open('[');
}

JsonWriter& JsonWriter::EndArray() {
    return Close(']');
}

JsonWriter& JsonWriter::Open(char bracket) {
    BeforeValue();
    text_ += bracket;
    has_value_.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::Close(char bracket) {
    text_ += bracket;
    has_value_.pop_back();
    return *this;
}

JsonWriter& JsonWriter::Key(std::string_view name) {
    BeforeValue();
    text_ += JsonQuote(name) + ':';
    after_key_ = true;
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view text) {
    BeforeValue();
    text_ += JsonQuote(text);
    return *this;
}

JsonWriter& JsonWriter::Integer(std::int64_t value) {
    BeforeValue();
    text_ += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    BeforeValue();
    text_ += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::Null() {
    BeforeValue();
    text_ += "null";
    return *this;
}

}  // namespace tavrin::cli
