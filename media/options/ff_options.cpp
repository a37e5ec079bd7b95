#include "media/options/ff_options.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <utility>

#include "media/common/text_helpers.h"
#include "media/options/value_parsers.h"
#include "media/runtime/ff_api.h"
#include "media/runtime/ffmpeg_exception.h"
#include "media/runtime/logger.h"

namespace tavrin {

namespace {

constexpr int kInvalidArgument = AVERROR(EINVAL);
constexpr int kOptionNameLimit = 127;

struct LevelName {
    const char* name;
    int library_level;
};

constexpr std::array kLogLevelNames{
    LevelName{"quiet", AV_LOG_QUIET},     LevelName{"panic", AV_LOG_PANIC},
    LevelName{"fatal", AV_LOG_FATAL},     LevelName{"error", AV_LOG_ERROR},
    LevelName{"warning", AV_LOG_WARNING}, LevelName{"info", AV_LOG_INFO},
    LevelName{"verbose", AV_LOG_VERBOSE}, LevelName{"debug", AV_LOG_DEBUG},
};

// The scaler context that holds and checks scaler options: 16x16 yuv420p to
// 16x16 yuv420p with the given flags. Null when the library cannot make one.
ScalerPtr NewOptionScaler(int sws_flags) {
    return ScalerPtr(ff.sws_getContext(16, 16, AV_PIX_FMT_YUV420P, 16, 16, AV_PIX_FMT_YUV420P,
                                       sws_flags, nullptr, nullptr, nullptr));
}

// The logger's level becomes the one for a library level; the logger passes
// it on to the libraries.
void ApplyLibraryLogLevel(int library_level) {
    GlobalLogger().SetLogLevel(LogLevelOfLibrary(library_level));
}

// The option a class knows by `name`, searched without an instance.
const AVOption* FindClassOption(const AVClass* av_class, const char* name, bool children) {
    if (av_class == nullptr) {
        return nullptr;
    }
    const AVClass* search = av_class;
    return ff.av_opt_find(&search, name, nullptr, 0,
                          AV_OPT_SEARCH_FAKE_OBJ | (children ? AV_OPT_SEARCH_CHILDREN : 0));
}

int DictionaryFlagsFor(const AVOption* option) {
    return option != nullptr && option->type == AV_OPT_TYPE_FLAGS ? AV_DICT_APPEND : 0;
}

int RejectValue(const std::string& name, int code) {
    SetPendingErrorText("Error setting option \"" + name + "\"");
    LogFmt(nullptr, llError, "Error setting option \"%s\"\n", name.c_str());
    return code;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The value parsed for a row's kind, before it is stored anywhere, so that a
// conversion error leaves the destination untouched.
struct ConvertedValue {
    std::string str;
    std::int32_t i = 0;
    std::int64_t i64 = 0;
    float f = 0.0f;
    double dbl = 0.0;
};

enum class ValueKind { kString, kInt, kInt64, kFloat, kDouble, kNone };

ValueKind KindOf(const OptionEntry& entry) {
    if (entry.Has(OptionEntry::String)) {
        return ValueKind::kString;
    }
    if (entry.Has(OptionEntry::Bool | OptionEntry::Int)) {
        return ValueKind::kInt;
    }
    if (entry.Has(OptionEntry::Int64 | OptionEntry::Time)) {
        return ValueKind::kInt64;
    }
    if (entry.Has(OptionEntry::Float)) {
        return ValueKind::kFloat;
    }
    if (entry.Has(OptionEntry::Double)) {
        return ValueKind::kDouble;
    }
    return ValueKind::kNone;
}

ConvertedValue Convert(const OptionEntry& entry, ValueKind kind, const std::string& name,
                       const std::string& value) {
    ConvertedValue converted;
    switch (kind) {
        case ValueKind::kString:
            converted.str = value;
            break;
        case ValueKind::kInt:
            converted.i = ParseInteger(name, value);
            break;
        case ValueKind::kInt64:
            converted.i64 = entry.Has(OptionEntry::Int64) ? ParseInt64(name, value)
                                                          : ParseTime(name, value, true);
            break;
        case ValueKind::kFloat:
            converted.f = ParseFloat(name, value);
            break;
        case ValueKind::kDouble:
            converted.dbl = ParseDouble(name, value);
            break;
        case ValueKind::kNone:
            break;
    }
    return converted;
}

void StoreInField(void* destination, ValueKind kind, ConvertedValue&& converted) {
    switch (kind) {
        case ValueKind::kString:
            *static_cast<std::string*>(destination) = std::move(converted.str);
            break;
        case ValueKind::kInt:
            *static_cast<std::int32_t*>(destination) = converted.i;
            break;
        case ValueKind::kInt64:
            *static_cast<std::int64_t*>(destination) = converted.i64;
            break;
        case ValueKind::kFloat:
            *static_cast<float*>(destination) = converted.f;
            break;
        case ValueKind::kDouble:
            *static_cast<double*>(destination) = converted.dbl;
            break;
        case ValueKind::kNone:
            break;
    }
}

// Where an occurrence of a per-stream option keeps a value of the kind.
void* SpecifierSlot(SpecifierValue& item, ValueKind kind) {
    switch (kind) {
        case ValueKind::kString:
            return &item.str;
        case ValueKind::kInt:
            return &item.i;
        case ValueKind::kInt64:
            return &item.i64;
        case ValueKind::kFloat:
            return &item.f;
        case ValueKind::kDouble:
            return &item.dbl;
        case ValueKind::kNone:
            break;
    }
    return nullptr;
}

int RunHandler(OptionsContext* ctx, const OptionEntry& entry, const std::string& name,
               const std::string& value) {
    ClearPendingErrorText();
    const int result = entry.handler(ctx, name, value);
    if (result >= 0) {
        return 0;
    }
    const std::string own = PendingErrorText();
    const std::string message = "Failed to set value \"" + value + "\" for option \"" + name + "\"";
    SetPendingErrorText(own.empty() ? message : own + "\n" + message);
    LogFmt(nullptr, llError, "Failed to set value \"%s\" for option \"%s\"\n", value.c_str(),
           name.c_str());
    return result;
}

}  // namespace

// ---------------------------------------------------------------------------
// OptionGroup

void OptionGroup::Free() {
    options.clear();
    codec_opts.Reset();
    format_opts.Reset();
    resample_opts.Reset();
    sws_opts.reset();
    swr_opts.Reset();
}

// ---------------------------------------------------------------------------
// TFFOptions

void TFFOptions::InitOptions() {
    FreeOptions();
    sws_opts = NewOptionScaler(sws_flags);
}

void TFFOptions::FreeOptions() {
    sws_opts.reset();
    swr_opts.Reset();
    format_opts.Reset();
    codec_opts.Reset();
    resample_opts.Reset();
}

void TFFOptions::ResetGroups() {
    FreeGroups();
    InitOptions();
}

void TFFOptions::FreeGroups() {
    current_group.Free();
    global_group.Free();
    FreeOptions();
}

void TFFOptions::FinishGroup() {
    OptionGroup& group = current_group;
    if (group.sws_opts != nullptr || group.swr_opts.Get() != nullptr ||
        group.codec_opts.Get() != nullptr || group.format_opts.Get() != nullptr ||
        group.resample_opts.Get() != nullptr) {
        throw FFmpegException("Option group already holds library options");
    }
    group.sws_opts = std::move(sws_opts);
    group.swr_opts = std::move(swr_opts);
    group.codec_opts = std::move(codec_opts);
    group.format_opts = std::move(format_opts);
    group.resample_opts = std::move(resample_opts);
    InitOptions();
}

void TFFOptions::AddOption(const OptionEntry* entry, const std::string& value,
                           const std::string& key) {
    OptionGroup& group = entry->IsGlobal() ? global_group : current_group;
    group.options.push_back(ParsedOption{entry, key, value});
}

int TFFOptions::OptDefault(const std::string& name, const std::string& value) {
    if (name == "debug" || name == "fdebug") {
        ApplyLibraryLogLevel(AV_LOG_DEBUG);
    }
    const std::string stripped =
        name.substr(0, std::min(name.find(':'), std::size_t{kOptionNameLimit}));
    const AVOption* consumed = nullptr;

    const AVClass* codec_class = ff.avcodec_get_class();
    const AVOption* option = FindClassOption(codec_class, stripped.c_str(), true);
    if (option == nullptr && !name.empty() &&
        (name[0] == 'a' || name[0] == 's' || name[0] == 'v')) {
        option = FindClassOption(codec_class, name.c_str() + 1, false);
    }
    if (option != nullptr) {
        ff.av_dict_set(codec_opts.Address(), name.c_str(), value.c_str(),
                       DictionaryFlagsFor(option));
        consumed = option;
    }

    option = FindClassOption(ff.avformat_get_class(), name.c_str(), true);
    if (option != nullptr) {
        ff.av_dict_set(format_opts.Address(), name.c_str(), value.c_str(),
                       DictionaryFlagsFor(option));
        if (consumed != nullptr) {
            LogFmt(nullptr, llVerbose, "Routing %s to codec and muxer layer\n", name.c_str());
        }
        consumed = option;
    }

    if (consumed == nullptr) {
        option = FindClassOption(ff.sws_get_class(), name.c_str(), true);
        if (option != nullptr) {
            if (sws_opts == nullptr) {
                sws_opts = NewOptionScaler(sws_flags);
            }
            const int result = sws_opts != nullptr
                                   ? ff.av_opt_set(sws_opts.get(), name.c_str(), value.c_str(), 0)
                                   : AVERROR(ENOMEM);
            if (result < 0) {
                return RejectValue(name, result);
            }
            consumed = option;
        }
    }

    if (consumed == nullptr) {
        option = FindClassOption(ff.swr_get_class(), name.c_str(), true);
        if (option != nullptr) {
            const ResamplerPtr resampler(ff.swr_alloc());
            const int result = resampler != nullptr
                                   ? ff.av_opt_set(resampler.get(), name.c_str(), value.c_str(), 0)
                                   : AVERROR(ENOMEM);
            if (result < 0) {
                return RejectValue(name, result);
            }
            ff.av_dict_set(swr_opts.Address(), name.c_str(), value.c_str(),
                           DictionaryFlagsFor(option));
            consumed = option;
        }
    }

    return consumed != nullptr ? 0 : AVERROR_OPTION_NOT_FOUND;
}

int TFFOptions::SplitOptions(OptionsContext* /*ctx*/, bool strict, const std::string& group_name,
                             const OptionEntry* table, std::span<const std::string> tokens) {
    LogFmt(nullptr, llDebug, "Parsing the options.\n");
    const std::size_t count = tokens.size();
    std::size_t i = 0;
    while (i < count) {
        const std::string& token = tokens[i];
        if (token.size() < 2 || token[0] != '-') {
            if (strict) {
                if (token.empty()) {
                    SetPendingErrorText("Failed to parse options");
                    LogFmt(nullptr, llError, "Failed to parse options\n");
                } else {
                    SetPendingErrorText("Failed to parse options on " + token);
                    LogFmt(nullptr, llError, "Failed to parse options on %s\n", token.c_str());
                }
                return kInvalidArgument;
            }
            if (token.empty()) {
                LogFmt(nullptr, llWarning, "Invalid option found while parsing options, ignore\n");
            } else {
                LogFmt(nullptr, llWarning,
                       "Invalid option %s found while parsing options, ignore\n", token.c_str());
            }
            ++i;
            continue;
        }

        const std::string name = token.substr(1);
        LogFmt(nullptr, llDebug, "Reading option \"%s\" ... ", token.c_str());
        const bool has_next = i + 1 < count;

        const OptionEntry* entry = FindOption(table, name);
        if (!entry->IsEnd()) {
            std::string value = "1";
            if (entry->Has(OptionEntry::HasArg)) {
                if (!has_next) {
                    SetPendingErrorText("Missing argument for option \"" + name + "\"");
                    LogFmt(nullptr, llError, "Missing argument for option \"%s\".\n", name.c_str());
                    return kInvalidArgument;
                }
                value = tokens[i + 1];
                i += 2;
            } else {
                i += 1;
            }
            AddOption(entry, value, name);
            LogFmt(nullptr, llDebug, "matched as option \"%s\" (%s) with argument \"%s\".\n",
                   entry->name.c_str(), entry->help.c_str(), value.c_str());
            continue;
        }

        if (has_next) {
            const int result = OptDefault(name, tokens[i + 1]);
            if (result >= 0) {
                LogFmt(nullptr, llDebug, "matched as AVOption \"%s\" with argument \"%s\".\n",
                       name.c_str(), tokens[i + 1].c_str());
                i += 2;
                continue;
            }
            if (result != AVERROR_OPTION_NOT_FOUND) {
                LogFmt(nullptr, llError, "Error parsing option \"%s\" with argument \"%s\".\n",
                       name.c_str(), tokens[i + 1].c_str());
                return result;
            }
        }

        if (StartsWith(name, "no")) {
            const OptionEntry* negated = FindOption(table, std::string_view(name).substr(2));
            if (!negated->IsEnd() && negated->Has(OptionEntry::Bool)) {
                AddOption(negated, "0", name);  // keeps any ":specifier"

                LogFmt(nullptr, llDebug, "matched as option \"%s\" (%s) with argument 0.\n",
                       negated->name.c_str(), negated->help.c_str());
                i += 1;
                continue;
            }
        }

        LogFmt(nullptr, llError, "Unrecognized option \"%s\".\n", name.c_str());
        if (strict) {
            SetPendingErrorText("Unrecognized option \"" + name + "\"");
            return AVERROR_OPTION_NOT_FOUND;
        }
        i += 1;
    }
    FinishGroup();
    LogFmt(nullptr, llDebug, "Finished parsing the options.\n");
    (void)group_name;
    return 0;
}

// ---------------------------------------------------------------------------
// Free operations

const OptionEntry* FindOption(const OptionEntry* table, std::string_view name) {
    const std::string_view wanted = name.substr(0, name.find(':'));
    const OptionEntry* entry = table;
    while (!entry->IsEnd() && entry->name != wanted) {
        ++entry;
    }
    return entry;
}

int ParseOption(OptionsContext* ctx, const std::string& name,
                const std::optional<std::string>& value, const OptionEntry* table) {
    std::optional<std::string> argument = value;
    const OptionEntry* entry = FindOption(table, name);
    if (entry->IsEnd() && StartsWith(name, "no")) {
        // Only a Bool row has a "no" form; any other row stays unrecognised.
        const OptionEntry* negated = FindOption(table, std::string_view(name).substr(2));
        if (negated->Has(OptionEntry::Bool)) {
            entry = negated;
            argument = "0";
        }
    } else if (entry->Has(OptionEntry::Bool)) {
        argument = "1";
    }
    if (entry->IsEnd()) {
        entry = FindOption(table, "default");
    }
    if (entry->IsEnd()) {
        SetPendingErrorText("Unrecognized option \"" + name + "\"");
        LogFmt(nullptr, llError, "Unrecognized option \"%s\"\n", name.c_str());
        return kInvalidArgument;
    }
    if (entry->Has(OptionEntry::HasArg) && !argument.has_value()) {
        SetPendingErrorText("Missing argument for option \"" + name + "\"");
        LogFmt(nullptr, llError, "Missing argument for option \"%s\"\n", name.c_str());
        return kInvalidArgument;
    }
    const int result = WriteOption(ctx, entry, name, argument.value_or(std::string()));
    if (result < 0) {
        return result;
    }
    return entry->Has(OptionEntry::HasArg) ? 1 : 0;
}

int WriteOption(OptionsContext* ctx, const OptionEntry* entry, const std::string& name,
                const std::string& value) {
    const ValueKind kind = KindOf(*entry);
    const bool in_context = entry->Has(OptionEntry::Offset | OptionEntry::Spec);
    if (in_context && (ctx == nullptr || entry->field == nullptr)) {
        throw FFmpegException("Option \"" + name + "\" needs the options of a file");
    }
    if (kind == ValueKind::kNone) {
        if (!entry->handler) {
            throw FFmpegException("Option \"" + name + "\" has no handler");
        }
        return RunHandler(ctx, *entry, name, value);
    }

    ConvertedValue converted = Convert(*entry, kind, name, value);
    if (entry->Has(OptionEntry::Spec)) {
        auto& list = *static_cast<SpecifierList*>(entry->field(ctx));
        GrowArray(list, list.size() + 1);
        SpecifierValue& item = list.back();
        const std::size_t colon = name.find(':');
        item.specifier = colon == std::string::npos ? std::string() : name.substr(colon + 1);
        StoreInField(SpecifierSlot(item, kind), kind, std::move(converted));
        return 0;
    }
    void* destination = in_context ? entry->field(ctx) : entry->global;
    if (destination == nullptr) {
        throw FFmpegException("Option \"" + name + "\" has no destination");
    }
    StoreInField(destination, kind, std::move(converted));
    return 0;
}

int ApplyOptionGroup(OptionsContext* ctx, const OptionGroup& group, const std::string& group_name) {
    LogFmt(nullptr, llDebug, "Parsing a group of options: %s.\n", group_name.c_str());
    for (const ParsedOption& option : group.options) {
        LogFmt(nullptr, llDebug, "Applying option %s (%s) with argument %s.\n", option.key.c_str(),
               option.entry->help.c_str(), option.value.c_str());
        const int result = WriteOption(ctx, option.entry, option.key, option.value);
        if (result < 0) {
            return result;
        }
    }
    LogFmt(nullptr, llDebug, "Successfully parsed a group of options.\n");
    return 0;
}

int LocateOption(std::span<const std::string> tokens, const OptionEntry* table,
                 std::string_view name) {
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string& token = tokens[i];
        if (token.empty() || token[0] != '-') {
            continue;
        }
        const std::string_view option = std::string_view(token).substr(1);
        const OptionEntry* entry = FindOption(table, option);
        if (entry->IsEnd() && StartsWith(option, "no")) {
            entry = FindOption(table, option.substr(2));
        }
        if ((entry->IsEnd() && option == name) || (!entry->IsEnd() && entry->name == name)) {
            return static_cast<int>(i);
        }
        if (!entry->IsEnd() && entry->Has(OptionEntry::HasArg)) {
            ++i;
        }
    }
    return -1;
}

void ApplyLogLevelFirst(std::span<const std::string> tokens, const OptionEntry* table) {
    int index = LocateOption(tokens, table, "loglevel");
    if (index < 0) {
        index = LocateOption(tokens, table, "v");
    }
    if (index >= 0 && static_cast<std::size_t>(index) + 1 < tokens.size()) {
        OptLogLevel("loglevel", tokens[static_cast<std::size_t>(index) + 1]);
    }
}

int OptLogLevel(const std::string& /*name*/, const std::string& value) {
    for (const LevelName& level : kLogLevelNames) {
        if (value == level.name) {
            ApplyLibraryLogLevel(level.library_level);
            return 0;
        }
    }
    int library_level = 0;
    const char* end = value.data() + value.size();
    const auto [ptr, ec] = std::from_chars(value.data(), end, library_level, 10);
    if (!value.empty() && ec == std::errc() && ptr == end) {
        ApplyLibraryLogLevel(library_level);
        return 0;
    }
    std::string text = "Invalid loglevel \"" + value + "\". Possible levels are numbers or:\n";
    for (const LevelName& level : kLogLevelNames) {
        text += "\"" + std::string(level.name) + "\"\n";
    }
    SetPendingErrorText(text);
    Log(nullptr, llError, text);
    return kInvalidArgument;
}

}  // namespace tavrin
