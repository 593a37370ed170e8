#include "storage/render.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr const char* kUnknownTime = "Unknown";
constexpr const char* kDateTimeFormat = "%Y-%m-%d %H:%M:%S";

// Appends to a buffer, dropping what does not fit (one byte is kept for the terminating zero).
struct Writer {
    char* at;
    char* end;

    void Put(const char* text, size_t length) {
        const size_t room = static_cast<size_t>(end - at);
        length = std::min(length, room);
        std::memcpy(at, text, length);
        at += length;
    }
    void Put(const char* text) { Put(text, std::strlen(text)); }
    void Put(char c) { Put(&c, 1); }
    // text right-aligned in width, with pad before it.
    void PutPadded(const char* text, size_t length, int width, char pad) {
        for (int n = static_cast<int>(length); n < width; ++n) Put(pad);
        Put(text, length);
    }
    void PutNumber(int64_t value, TextForm form = TextForm::kBlanks, int width = 0) {
        char digits[24];
        const int base = form == TextForm::kHexZeros ? 16 : 10;
        const auto result = std::to_chars(digits, digits + sizeof digits, value, base);
        PutPadded(digits, static_cast<size_t>(result.ptr - digits), width,
                  form == TextForm::kBlanks ? ' ' : '0');
    }
};

// ctime form without its newline ("Sat Dec  5 13:29:26 2026"), or "Unknown". ctime_r and
// localtime_r render into the caller's storage: the workers render trash-line times at the same
// moments.
const char* CtimeText(int64_t seconds, TimeText* cache) {
    if (cache->seconds == seconds) return cache->text;
    cache->seconds = seconds;
    std::memset(cache->text, 0, sizeof cache->text);
    const time_t value = seconds;
    if (ctime_r(&value, cache->text) == nullptr) {
        std::snprintf(cache->text, sizeof cache->text, "%s", kUnknownTime);
        return cache->text;
    }
    const size_t length = std::strlen(cache->text);
    if (length > 0) cache->text[length - 1] = '\0';
    return cache->text;
}

// "%Y-%m-%d %H:%M:%S" in local time, or an empty text when it cannot be converted.
const char* LocalDateTimeText(int64_t seconds, TimeText* cache) {
    if (cache->seconds == seconds) return cache->text;
    cache->seconds = seconds;
    std::memset(cache->text, 0, sizeof cache->text);
    const time_t value = seconds;
    tm local{};
    if (localtime_r(&value, &local) != nullptr) {
        std::strftime(cache->text, sizeof cache->text, kDateTimeFormat, &local);
    }
    return cache->text;
}

size_t Finish(Writer& out, char* start) {
    *out.at = '\0';
    return static_cast<size_t>(out.at - start);
}

}  // namespace

// Widths are minimums: longer values push the rest of the line right rather than being cut.
size_t RenderTextLine(const FlowItem& flow, FieldTimes* times, char* line, size_t size) {
    Writer out{line, line + size - 1};
    for (size_t f = 0; f < kFlowFieldCount; ++f) {
        const FlowField& field = kFlowFields[f];
        if (field.label == nullptr) continue;
        out.Put(field.label);
        if (field.kind == FieldKind::kAddress) {
            const AddressText address = RenderAddress(field.address(flow));
            out.PutPadded(address.text, std::strlen(address.text), field.width, ' ');
            continue;
        }
        const int64_t value = field.value(flow);
        if (field.kind == FieldKind::kNumber) {
            out.PutNumber(value, field.form, field.width);
            continue;
        }
        const char* text = CtimeText(value, &times->field[f]);
        out.PutPadded(text, std::strlen(text), field.width, ' ');
    }
    out.Put('\n');
    return Finish(out, line);
}

size_t RenderRowValues(const FlowItem& flow, bool local_times, FieldTimes* times, char* text,
                       size_t size) {
    Writer out{text, text + size - 1};
    out.Put("(NULL");
    for (size_t f = 0; f < kFlowFieldCount; ++f) {
        const FlowField& field = kFlowFields[f];
        out.Put(',');
        if (field.kind == FieldKind::kNumber || (field.kind == FieldKind::kTime && !local_times)) {
            out.PutNumber(field.value(flow));
            continue;
        }
        out.Put('\'');
        if (field.kind == FieldKind::kTime)
            out.Put(LocalDateTimeText(field.value(flow), &times->field[f]));
        else
            out.Put(RenderAddress(field.address(flow)).text);
        out.Put('\'');
    }
    out.Put(')');
    return Finish(out, text);
}
