#include "tools/oru_host/dialect_json.h"

#include <cctype>
#include <cstdlib>

namespace analysis::orbx::hosttool {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool Safe(const std::string& text) {
    if (!text.empty() && IsBlank(text.front())) {
        return false;
    }
    for (unsigned char c : text) {
        if (c == '"' || c < 0x20 || c == 0x7f) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool DialectObject::AddRaw(const std::string& key, const std::string& rawValue) {
    if (!Safe(key) || key.empty()) {
        return false;
    }
    if (!body_.empty()) {
        body_ += ',';
    }
    body_ += '"' + key + "\":" + rawValue;
    return true;
}

bool DialectObject::Add(const std::string& key, const std::string& text) {
    if (!Safe(text)) {
        return false;
    }
    return AddRaw(key, '"' + text + '"');
}

void DialectObject::Add(const std::string& key, int32_t number) {
    AddRaw(key, std::to_string(number));
}

void DialectObject::Add(const std::string& key, bool flag) {
    AddRaw(key, flag ? "true" : "false");
}

std::string DialectObject::ToString() const {
    return "{" + body_ + "}";
}

bool ParseFlatObject(const std::string& text, std::map<std::string, FlatValue>* members) {
    size_t i = 0;
    auto skip = [&]() {
        while (i < text.size() && (IsBlank(text[i]) || text[i] == ',')) {
            ++i;
        }
    };
    while (i < text.size() && IsBlank(text[i])) {
        ++i;
    }
    if (i >= text.size() || text[i] != '{') {
        return false;
    }
    ++i;
    std::map<std::string, FlatValue> out;
    while (true) {
        skip();
        if (i >= text.size()) {
            return false;
        }
        if (text[i] == '}') {
            break;
        }
        if (text[i] != '"') {
            return false;
        }
        size_t close = text.find('"', i + 1);
        if (close == std::string::npos) {
            return false;
        }
        std::string name = text.substr(i + 1, close - i - 1);
        i = close + 1;
        while (i < text.size() && (IsBlank(text[i]) || text[i] == ':')) {
            ++i;
        }
        if (i >= text.size()) {
            return false;
        }
        FlatValue value;
        if (text[i] == '"') {
            close = text.find('"', i + 1);
            if (close == std::string::npos) {
                return false;
            }
            value.isText = true;
            value.text = text.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            size_t end = i;
            while (end < text.size() && !IsBlank(text[end]) && text[end] != ',' &&
                   text[end] != '}') {
                ++end;
            }
            value.text = text.substr(i, end - i);
            if (value.text.empty() || value.text[0] == '{' || value.text[0] == '[') {
                return false;
            }
            i = end;
        }
        out[name] = value;
    }
    *members = out;
    return true;
}

StatusReport ParseStatusReport(const std::string& text) {
    StatusReport report;
    std::map<std::string, FlatValue> members;
    if (!ParseFlatObject(text, &members)) {
        return report;
    }
    auto status = members.find("status");
    if (status == members.end() || status->second.isText) {
        return report;
    }
    char* end = nullptr;
    long v = std::strtol(status->second.text.c_str(), &end, 10);
    if (end == status->second.text.c_str() || *end != '\0') {
        return report;
    }
    report.parsed = true;
    report.status = static_cast<int>(v);
    if (members.count("info") != 0) {
        report.info = members["info"].text;
    }
    if (members.count("dev_id") != 0) {
        report.devId = members["dev_id"].text;
    }
    return report;
}

}  // namespace analysis::orbx::hosttool
