// Rows of an option table and the per-stream value lists they write into.
// A table is an array of rows ended by a row whose name is empty; the option
// parser (ff_options.h) looks names up from the top, first match wins.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tavrin {

// The options of one input or output file while it is opened. Defined with
// the transcoding context; the parser only passes it through and writes the
// fields that rows point at.
struct OptionsContext;

// One occurrence of a per-stream option: the specifier written after the
// option name's first ":" (empty when there was none) and the value, in the
// member that the row's kind selects (String: str, Bool/Int: i, Int64/Time:
// i64, Float: f, Double: dbl).
struct SpecifierValue {
    std::string specifier;
    std::string str;
    std::int32_t i = 0;
    std::int64_t i64 = 0;
    float f = 0.0f;
    double dbl = 0.0;
};

// Occurrences in the order given; look-ups walk all of them, the last match wins.
using SpecifierList = std::vector<SpecifierValue>;

// Runs a row that has a handler. ctx is null for global rows.
using OptionHandler =
    std::function<int(OptionsContext* ctx, const std::string& name, const std::string& value)>;

// Address of one field of an OptionsContext (rows with Offset or Spec).
using ContextField = void* (*)(OptionsContext* ctx);

// ContextField for a member: ContextFieldOf<&OptionsContext::format>. The
// member's type must match the row's kind: std::string for String, int32_t for
// Bool/Int, int64_t for Int64/Time, float, double, or SpecifierList for Spec.
template <auto Member>
void* ContextFieldOf(OptionsContext* ctx) {
    return &(ctx->*Member);
}

struct OptionEntry {
    enum Flag : std::uint32_t {
        HasArg = 0x0001,    // consumes the next token as its argument
        Bool = 0x0002,      // 0 or 1, written as a 32-bit integer
        Expert = 0x0004,    // informational
        String = 0x0008,    // a copied 8-bit string
        Video = 0x0010,     // informational
        Audio = 0x0020,     // informational
        Int = 0x0080,       // 32-bit integer
        Float = 0x0100,     // 32-bit float
        Subtitle = 0x0200,  // informational
        Int64 = 0x0400,     // 64-bit integer
        Exit = 0x0800,      // informational: the handler runs and parsing goes on
        Data = 0x1000,      // informational
        PerFile = 0x2000,   // the handler receives the file's options context
        Offset = 0x4000,    // field is a field of OptionsContext
        Spec = 0x8000,      // field is a SpecifierList of OptionsContext
        Time = 0x10000,     // a time or duration, 64-bit microseconds
        Double = 0x20000,   // 64-bit float
    };

    std::string name;  // without the leading "-"; empty ends the table
    std::uint32_t flags = 0;
    // Target; which one is meant follows from the flags: `field` for Offset
    // and Spec rows, else `handler` when set, else the task-level `global`.
    OptionHandler handler;
    void* global = nullptr;
    ContextField field = nullptr;
    std::string help;
    std::string arg_name;

    bool IsEnd() const { return name.empty(); }
    bool Has(std::uint32_t flag) const { return (flags & flag) != 0; }
    // A global row's value goes to the task (its handler gets no context).
    bool IsGlobal() const { return (flags & (PerFile | Offset | Spec)) == 0; }
};

// One option as split from a token vector: the matched row, the name as
// written (without "-", with any ":specifier") and the value ("1" for a flag
// without argument, "0" for a "no" form).
struct ParsedOption {
    const OptionEntry* entry = nullptr;
    std::string key;
    std::string value;
};

}  // namespace tavrin
