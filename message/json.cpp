#include "message/json.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "common/log.h"

namespace analysis::orbx::message {

namespace {

template <class T, class... Args>
T* NewContainer(Args&&... args) {
    try {
        return new T(std::forward<Args>(args)...);
    } catch (const std::bad_alloc&) {
        ORU_LOGE("Fail allocating stack memory");
        return nullptr;
    }
}

uint64_t DoubleBits(double value) {
    uint64_t word = 0;
    std::memcpy(&word, &value, sizeof(word));
    return word;
}

double BitsDouble(uint64_t word) {
    double value = 0.0;
    std::memcpy(&value, &word, sizeof(value));
    return value;
}

}  // namespace

// ---------------------------------------------------------------------------
// Ownership

JsonValue::JsonValue(const JsonValue& other) : type_(other.type_), word_(other.word_) {
    switch (type_) {
        case JsonType::STRING:
            if (word_ != 0) {
                SetPtr(type_, NewContainer<std::string>(*other.Ptr<std::string>()));
            }
            break;
        case JsonType::ARRAY:
            if (word_ != 0) {
                SetPtr(type_, NewContainer<Array>(*other.Ptr<Array>()));
            }
            break;
        case JsonType::OBJECT:
            if (word_ != 0) {
                SetPtr(type_, NewContainer<Object>(*other.Ptr<Object>()));
            }
            break;
        default:
            return;
    }
    if (word_ == 0 && other.word_ != 0) {
        type_ = JsonType::UNSET;  // the copy could not be allocated
    }
}

JsonValue::JsonValue(JsonValue&& other) noexcept : type_(other.type_), word_(other.word_) {
    other.type_ = JsonType::UNSET;
    other.word_ = 0;
}

JsonValue& JsonValue::operator=(const JsonValue& other) {
    if (this != &other) {
        JsonValue copy(other);
        *this = std::move(copy);
    }
    return *this;
}

JsonValue& JsonValue::operator=(JsonValue&& other) noexcept {
    // other may live inside this value's tree: take it out before releasing.
    JsonValue taken(std::move(other));
    std::swap(type_, taken.type_);
    std::swap(word_, taken.word_);
    return *this;
}

JsonValue::~JsonValue() {
    Release();
}

void JsonValue::Release() noexcept {
    if (word_ != 0) {
        switch (type_) {
            case JsonType::STRING:
                delete Ptr<std::string>();
                break;
            case JsonType::ARRAY:
                delete Ptr<Array>();
                break;
            case JsonType::OBJECT:
                delete Ptr<Object>();
                break;
            default:
                break;
        }
    }
    word_ = 0;
}

void JsonValue::Set(JsonType type, uint64_t word) {
    type_ = type;
    word_ = word;
}

// ---------------------------------------------------------------------------
// Building

JsonValue& JsonValue::SetSigned(int64_t value) {
    Release();
    Set(JsonType::INT, static_cast<uint64_t>(value));
    return *this;
}

JsonValue& JsonValue::SetUnsigned(uint64_t value) {
    Release();
    Set(JsonType::UINT, value);
    return *this;
}

JsonValue& JsonValue::operator=(double value) {
    Release();
    Set(JsonType::DOUBLE, DoubleBits(value));
    return *this;
}

JsonValue& JsonValue::operator=(bool value) {
    Release();
    Set(JsonType::BOOL, value ? 1 : 0);
    return *this;
}

JsonValue& JsonValue::operator=(std::nullptr_t) {
    Release();
    Set(JsonType::NULLVALUE, 0);
    return *this;
}

JsonValue& JsonValue::operator=(const std::string& text) {
    MakeString(text.data(), text.size());
    return *this;
}

JsonValue& JsonValue::operator=(const char* text) {
    if (text == nullptr) {
        text = "";
    }
    MakeString(text, std::strlen(text));
    return *this;
}

bool JsonValue::MakeString(const char* text, size_t length) {
    // The text may live inside this value's own container: copy it first.
    std::string* created = NewContainer<std::string>(text, length);
    Release();
    if (created == nullptr) {
        Set(JsonType::UNSET, 0);
        return false;
    }
    SetPtr(JsonType::STRING, created);
    return true;
}

JsonValue::Object* JsonValue::MakeObject() {
    Object* created = NewContainer<Object>();
    Release();
    if (created == nullptr) {
        Set(JsonType::UNSET, 0);
        return nullptr;
    }
    created->max_load_factor(1.0f);
    SetPtr(JsonType::OBJECT, created);
    return created;
}

JsonValue::Array* JsonValue::MakeArray() {
    Array* created = NewContainer<Array>();
    Release();
    if (created == nullptr) {
        Set(JsonType::UNSET, 0);
        return nullptr;
    }
    SetPtr(JsonType::ARRAY, created);
    return created;
}

JsonValue& JsonValue::operator[](const std::string& name) {
    if (HoldsNothing() && MakeObject() == nullptr) {
        return *this;
    }
    if (type_ != JsonType::OBJECT) {
        ORU_LOGE("Invalid visit for object variable");
        return *this;
    }
    try {
        return (*Ptr<Object>())[name];
    } catch (const std::bad_alloc&) {
        ORU_LOGE("Fail allocating stack memory");
        return *this;
    }
}

JsonValue& JsonValue::operator[](size_t index) {
    if (type_ == JsonType::ARRAY && word_ != 0 && index < Ptr<Array>()->size()) {
        return (*Ptr<Array>())[index];
    }
    ORU_LOGE("Invalid visit for array variable");
    return *this;
}

void JsonValue::SetArraySize(size_t n) {
    if (!HoldsNothing()) {
        ORU_LOGE("SetArraySize is only valid for JsonValue without allocating memory");
        return;
    }
    Array* array = NewContainer<Array>(n);
    if (array == nullptr) {
        Set(JsonType::UNSET, 0);
        return;
    }
    SetPtr(JsonType::ARRAY, array);
}

void JsonValue::PushBack(const JsonValue& value) {
    PushBack(JsonValue(value));
}

void JsonValue::PushBack(JsonValue&& value) {
    if (type_ != JsonType::ARRAY) {
        ORU_LOGE("PushBack() is only valid for ARRAY type");
        return;
    }
    if (word_ == 0 && MakeArray() == nullptr) {
        return;
    }
    try {
        Ptr<Array>()->push_back(std::move(value));
    } catch (const std::bad_alloc&) {
        ORU_LOGE("Fail allocating stack memory");
    }
}

// ---------------------------------------------------------------------------
// Reading

bool JsonValue::IsIntegral() const {
    return type_ == JsonType::INT || type_ == JsonType::UINT || type_ == JsonType::BOOL;
}

bool JsonValue::AsBool() const {
    if (IsIntegral()) {
        return (word_ & 0xFFu) != 0;
    }
    if (type_ != JsonType::UNSET) {
        ORU_LOGE("Invalid data type for boolean variable");
    }
    return false;
}

double JsonValue::AsDouble() const {
    if (type_ == JsonType::DOUBLE) {
        return BitsDouble(word_);
    }
    if (type_ != JsonType::UNSET) {
        ORU_LOGE("Invalid data type for double variable");
    }
    return 0.0;
}

int32_t JsonValue::AsInt() const {
    return static_cast<int32_t>(AsInt64());
}

int64_t JsonValue::AsInt64() const {
    if (IsIntegral()) {
        return static_cast<int64_t>(word_);
    }
    if (type_ != JsonType::UNSET) {
        ORU_LOGE("Invalid data type for int variable");
    }
    return 0;
}

uint32_t JsonValue::AsUint() const {
    return static_cast<uint32_t>(AsUint64());
}

uint64_t JsonValue::AsUint64() const {
    if (IsIntegral()) {
        return word_;
    }
    if (type_ != JsonType::UNSET) {
        ORU_LOGE("Invalid data type for uint variable");
    }
    return 0;
}

std::string JsonValue::AsString() const {
    if (type_ == JsonType::STRING && word_ != 0) {
        return *Ptr<std::string>();
    }
    if (type_ != JsonType::UNSET) {
        ORU_LOGE("Invalid data type for string variable");
    }
    return std::string();
}

JsonValue::Array JsonValue::AsArray() const {
    if (type_ == JsonType::ARRAY && word_ != 0) {
        return *Ptr<Array>();
    }
    if (type_ != JsonType::UNSET) {
        ORU_LOGE("Invalid data type for array variable");
    }
    return Array();
}

JsonValue::Object JsonValue::AsObject() const {
    if (type_ == JsonType::OBJECT && word_ != 0) {
        return *Ptr<Object>();
    }
    if (type_ != JsonType::UNSET) {
        ORU_LOGE("Invalid data type for object variable");
    }
    return Object();
}

bool JsonValue::AsNull() const {
    if (type_ == JsonType::NULLVALUE) {
        return true;
    }
    ORU_LOGE("Invalid data type for null variable");
    return false;
}

bool JsonValue::Contains(const std::string& name) const {
    if (HoldsNothing()) {
        return false;
    }
    if (type_ != JsonType::OBJECT) {
        ORU_LOGE("Invalid data type");
        return false;
    }
    return Ptr<Object>()->count(name) != 0;
}

// ---------------------------------------------------------------------------
// Printing: one pass appending to a single buffer.

class JsonWriter {
  public:
    explicit JsonWriter(std::string& out) : out_(out) {}

    void Write(const JsonValue& value) {
        switch (value.type_) {
            case JsonType::OBJECT:
                WriteObject(value);
                break;
            case JsonType::ARRAY:
                WriteArray(value);
                break;
            case JsonType::STRING:
                out_ += '"';
                if (value.word_ != 0) {
                    out_ += *value.Ptr<std::string>();
                }
                out_ += '"';
                break;
            case JsonType::INT:
                WriteInteger(static_cast<int64_t>(value.word_));
                break;
            case JsonType::UINT:
                WriteInteger(value.word_);
                break;
            case JsonType::DOUBLE:
                out_ += std::to_string(BitsDouble(value.word_));
                break;
            case JsonType::BOOL:
                out_ += (value.word_ != 0) ? "true" : "false";
                break;
            case JsonType::NULLVALUE:
                out_ += "null";
                break;
            case JsonType::UNSET:
                break;
        }
    }

  private:
    void WriteObject(const JsonValue& value) {
        out_ += '{';
        if (value.word_ != 0) {
            bool first = true;
            for (const auto& member : *value.Ptr<JsonValue::Object>()) {
                if (!first) {
                    out_ += ',';
                }
                first = false;
                out_ += '"';
                out_ += member.first;
                out_ += "\":";
                Write(member.second);
            }
        }
        out_ += '}';
    }

    void WriteArray(const JsonValue& value) {
        out_ += '[';
        if (value.word_ != 0) {
            bool first = true;
            for (const JsonValue& element : *value.Ptr<JsonValue::Array>()) {
                if (!first) {
                    out_ += ',';
                }
                first = false;
                Write(element);
            }
        }
        out_ += ']';
    }

    template <class T>
    void WriteInteger(T number) {
        char buf[24];
        auto result = std::to_chars(buf, buf + sizeof(buf), number);
        out_.append(buf, result.ptr);
    }

    std::string& out_;
};

std::string JsonValue::ToString() const {
    std::string out;
    JsonWriter(out).Write(*this);
    return out;
}

// ---------------------------------------------------------------------------
// Parsing: one forward pass over the text; nothing is copied but the names and
// strings themselves.

class JsonReader {
  public:
    explicit JsonReader(const std::string& text)
        : data_(text.c_str()), size_(text.size()), pos_(0) {}

    // True when a value was read into `value`; false when the text does not
    // hold one. Throws the errors described in json.h.
    bool ParseValue(JsonValue& value, int depth) {
        if (size_ - pos_ > kMaxJsonTextSize) {
            throw std::runtime_error(kJsonErrTooLong);
        }
        SkipWhitespace();
        if (pos_ == size_) {
            throw std::runtime_error(kJsonErrEmpty);
        }
        switch (data_[pos_]) {
            case '{':
                return depth < kMaxJsonDepth && ParseObject(value, depth + 1);
            case '[':
                return depth < kMaxJsonDepth && ParseArray(value, depth + 1);
            case '"':
                return ParseString(value);
            case 't':
            case 'f':
                return ParseBool(value);
            case 'n':
                return ParseNull(value);
            case '-':
                return ParseNumber(value);
            default:
                if (IsDigit(data_[pos_])) {
                    return ParseNumber(value);
                }
                return false;
        }
    }

  private:
    static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

    static bool IsWhitespace(char c) {
        return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\v' || c == '\f';
    }

    bool At(char c) const { return pos_ < size_ && data_[pos_] == c; }

    void SkipWhitespace() {
        while (pos_ < size_ && IsWhitespace(data_[pos_])) {
            ++pos_;
        }
    }

    void SkipSeparators() {
        while (pos_ < size_ && (IsWhitespace(data_[pos_]) || data_[pos_] == ',')) {
            ++pos_;
        }
    }

    // Reads the text after an opening quote up to the closing one, dropping the
    // leading whitespace; false when there is no closing quote.
    bool ReadQuoted(std::string_view& text) {
        ++pos_;
        SkipWhitespace();
        const void* quote = std::memchr(data_ + pos_, '"', size_ - pos_);
        if (quote == nullptr) {
            return false;
        }
        size_t end = static_cast<size_t>(static_cast<const char*>(quote) - data_);
        text = std::string_view(data_ + pos_, end - pos_);
        pos_ = end + 1;
        return true;
    }

    bool ParseObject(JsonValue& value, int depth) {
        ++pos_;
        SkipWhitespace();
        JsonValue::Object* members = value.MakeObject();
        if (members == nullptr) {
            return false;
        }
        for (;;) {
            if (At('}')) {
                ++pos_;
                SkipSeparators();
                return true;
            }
            std::string_view name;
            if (!At('"') || !ReadQuoted(name)) {
                return false;
            }
            while (pos_ < size_ && (IsWhitespace(data_[pos_]) || data_[pos_] == ':')) {
                ++pos_;
            }
            if (At(',')) {  // a name without a value
                SkipSeparators();
                continue;
            }
            JsonValue member;
            if (!ParseValue(member, depth)) {
                return false;
            }
            members->insert_or_assign(std::string(name), std::move(member));
        }
    }

    bool ParseArray(JsonValue& value, int depth) {
        ++pos_;
        SkipWhitespace();
        JsonValue::Array* elements = value.MakeArray();
        if (elements == nullptr) {
            return false;
        }
        for (;;) {
            if (At(']')) {
                ++pos_;
                SkipSeparators();
                return true;
            }
            JsonValue element;
            if (!ParseValue(element, depth) || pos_ == size_) {
                return false;
            }
            elements->push_back(std::move(element));
        }
    }

    bool ParseString(JsonValue& value) {
        std::string_view text;
        if (!ReadQuoted(text) || !value.MakeString(text.data(), text.size())) {
            return false;
        }
        SkipSeparators();
        return true;
    }

    bool ParseBool(JsonValue& value) {
        std::string_view rest(data_ + pos_, size_ - pos_);
        if (rest.compare(0, 4, "true") == 0) {
            value = true;
            pos_ += 4;
        } else if (rest.compare(0, 5, "false") == 0) {
            value = false;
            pos_ += 5;
        } else {
            return false;
        }
        SkipSeparators();
        return true;
    }

    bool ParseNull(JsonValue& value) {
        // The word is not compared. Fewer than four characters left is the
        // standard library's out-of-range error.
        std::string_view rest(data_ + pos_, size_ - pos_);
        rest = rest.substr(4);
        value = nullptr;
        pos_ = size_ - rest.size();
        SkipSeparators();
        return true;
    }

    enum class Number { kRead, kRefused, kNotShort };

    bool ParseNumber(JsonValue& value) {
        size_t consumed = 0;
        Number result = ParseShortInteger(value, consumed);
        if (result == Number::kNotShort) {
            result = ParseGeneralNumber(value, consumed);
        }
        if (result != Number::kRead) {
            return false;
        }
        pos_ += consumed;
        SkipSeparators();
        return true;
    }

    // Forms the dialect refuses although strtod reads them: "1.", "00", "-.5".
    static bool IsRefusedForm(const char* start, size_t consumed) {
        return consumed >= 2 &&
               (start[consumed - 1] == '.' || (start[0] == '0' && start[1] == '0') ||
                (start[0] == '-' && start[1] == '.'));
    }

    // Fast path for the common case: an optional minus and at most nine digits
    // that are not followed by anything the C conversion would read on with.
    // Gives exactly what the general path gives for such texts.
    Number ParseShortInteger(JsonValue& value, size_t& consumed) {
        const char* start = data_ + pos_;
        const char* end = data_ + size_;
        const char* p = start;
        bool negative = (*p == '-');
        if (negative) {
            ++p;
        }
        const char* digits = p;
        uint32_t magnitude = 0;
        while (p < end && IsDigit(*p) && p - digits < 9) {
            magnitude = magnitude * 10 + static_cast<uint32_t>(*p - '0');
            ++p;
        }
        if (p == digits) {
            return Number::kNotShort;
        }
        if (p < end &&
            (IsDigit(*p) || *p == '.' || *p == 'e' || *p == 'E' || *p == 'x' || *p == 'X')) {
            return Number::kNotShort;
        }
        consumed = static_cast<size_t>(p - start);
        if (IsRefusedForm(start, consumed)) {
            return Number::kRefused;
        }
        if (negative) {
            value = -static_cast<int64_t>(magnitude);
        } else {
            value = static_cast<uint64_t>(magnitude);
        }
        return Number::kRead;
    }

    // strtod decides how much is read; a point makes a double, otherwise the
    // same text is read again as a signed 32-bit decimal integer.
    Number ParseGeneralNumber(JsonValue& value, size_t& consumed) {
        const char* start = data_ + pos_;
        char* end = nullptr;
        int savedErrno = errno;
        errno = 0;
        double number = std::strtod(start, &end);
        bool overflow = (errno == ERANGE);
        errno = savedErrno;
        if (end == start) {
            throw std::invalid_argument("stod");
        }
        if (overflow) {
            throw std::out_of_range("stod");
        }
        consumed = static_cast<size_t>(end - start);
        if (IsRefusedForm(start, consumed)) {
            return Number::kRefused;
        }
        if (std::memchr(start, '.', consumed) != nullptr) {
            value = number;
            return Number::kRead;
        }
        int32_t integer = ToInt32(start);  // sign-extended into the payload
        if (start[0] == '-') {
            value = static_cast<int64_t>(integer);
        } else {
            value = static_cast<uint64_t>(static_cast<int64_t>(integer));
        }
        return Number::kRead;
    }

    static int32_t ToInt32(const char* text) {
        char* end = nullptr;
        int savedErrno = errno;
        errno = 0;
        long number = std::strtol(text, &end, 10);
        bool overflow = (errno == ERANGE);
        errno = savedErrno;
        if (end == text) {
            throw std::invalid_argument("stoi");
        }
        if (overflow || number < INT32_MIN || number > INT32_MAX) {
            throw std::out_of_range("stoi");
        }
        return static_cast<int32_t>(number);
    }

    const char* data_;  // NUL-terminated
    size_t size_;
    size_t pos_;
};

// ---------------------------------------------------------------------------
// Document

Json::Json() {
    root_.type_ = JsonType::OBJECT;
}

Json::Json(const std::string& text) : Json() {
    Parse(text);
}

Json::Json(const char* text) : Json(std::string(text == nullptr ? "" : text)) {}

Json::Json(const JsonValue& value) : root_(value) {
    if (value.GetType() != JsonType::OBJECT) {
        throw std::runtime_error("Cannot assign a JsonValue without Object type to Json");
    }
}

Json& Json::operator=(const JsonValue& value) {
    if (value.GetType() != JsonType::OBJECT) {
        ORU_LOGE("Cannot assign a JsonValue without Object type to Json");
        return *this;
    }
    root_ = value;
    return *this;
}

void Json::Parse(const std::string& text) {
    JsonValue parsed;
    bool ok = JsonReader(text).ParseValue(parsed, 0);
    if (!ok || parsed.GetType() != JsonType::OBJECT) {
        throw std::runtime_error(kJsonErrSyntax);
    }
    root_ = std::move(parsed);
}

}  // namespace analysis::orbx::message
