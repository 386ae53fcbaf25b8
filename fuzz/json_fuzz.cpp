// Host JSON: the first byte picks the reader of the rest, the document model
// itself or FromString of one of the message objects.
#include <cstdint>
#include <exception>
#include <string>

#include "fuzz/fuzz_util.h"
#include "message/job_context.h"
#include "message/json.h"
#include "message/profile_params.h"
#include "message/status_info.h"

namespace {

using analysis::orbx::message::Json;
using analysis::orbx::message::JsonValue;

// Reads every value of the tree with every accessor.
void Visit(const JsonValue& value, int depth) {
    (void)value.AsBool();
    (void)value.AsDouble();
    (void)value.AsInt64();
    (void)value.AsUint64();
    (void)value.AsString();
    (void)value.AsNull();
    (void)value.Contains("job_id");
    if (depth > 200) {
        return;
    }
    for (const JsonValue& element : value.AsArray()) {
        Visit(element, depth + 1);
    }
    for (const auto& member : value.AsObject()) {
        Visit(member.second, depth + 1);
    }
}

void ParseDocument(const std::string& text) {
    try {
        Json doc(text);
        Visit(doc.GetValue(), 0);
        std::string printed = doc.ToString();
        // What the printer writes, the parser reads back to the same text
        // (numbers beyond 32 bits aside, which the parser refuses).
        Json again;
        again.Parse(printed);
        if (again.ToString().size() != printed.size()) {
            __builtin_trap();
        }
    } catch (const std::exception&) {
    }
}

// A message object read from host text; a text it accepts prints to one that
// reads back to the same object, when the object has no 64-bit field.
template <class T>
void ReadObject(const std::string& text, bool roundTrips) {
    T object;
    if (!object.FromString(text)) {
        return;
    }
    std::string printed = object.ToString();
    T again;
    bool read = again.FromString(printed);
    if (roundTrips && (!read || again.ToString() != printed)) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    oru_fuzz::QuietLogs();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 4) {
        case 0:
            ParseDocument(text);
            break;
        case 1:
            ReadObject<analysis::orbx::message::JobContext>(text, false);
            break;
        case 2:
            ReadObject<analysis::orbx::message::ProfileParams>(text, true);
            break;
        default:
            ReadObject<analysis::orbx::message::StatusInfo>(text, true);
            break;
    }
    return 0;
}
