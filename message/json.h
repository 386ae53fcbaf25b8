// The daemon's own JSON model: a tagged value, a document that is always an
// object, a lenient parser and a compact printer.
//
// The dialect is shared with the host tool that writes the texts:
//  - no escape sequences: a string runs to the next double quote, a backslash is
//    an ordinary character, leading blanks inside a string are dropped;
//  - integers without a point must fit a signed 32-bit integer; a number with a
//    point is a double; an exponent without a point reads as its mantissa;
//  - commas are optional separators, a member's colon is optional;
//  - texts longer than kMaxJsonTextSize are refused;
//  - object members are kept in hash order.
// Containers nested deeper than kMaxJsonDepth are refused, so that a hostile
// text cannot exhaust the parsing thread's stack.
//
// Parse errors are exceptions (std::runtime_error with one of the texts below,
// or std::invalid_argument / std::out_of_range from number conversion); every
// other operation reports misuse by a log line and a neutral result.
#ifndef ORU_MESSAGE_JSON_H
#define ORU_MESSAGE_JSON_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace analysis::orbx::message {

constexpr size_t kMaxJsonTextSize = 1048576;  // 1 MiB
constexpr int kMaxJsonDepth = 128;            // nested objects and arrays

constexpr const char* kJsonErrTooLong = "The length of input string is out of range(1M)";
constexpr const char* kJsonErrEmpty = "Input string is empty";
constexpr const char* kJsonErrSyntax = "Input json string error";

enum class JsonType : uint8_t {
    STRING = 0,
    ARRAY = 1,
    OBJECT = 2,
    DOUBLE = 3,
    INT = 4,
    UINT = 5,
    BOOL = 6,
    NULLVALUE = 7,
    UNSET = 8,
};

// One JSON value: a type tag and one 64-bit payload word holding the number,
// the boolean, or the pointer to the owned text, sequence or member map. A
// value whose payload word is zero "holds nothing": UNSET, a container not yet
// created, a numeric zero, false or null.
//
// A value owns its container; copies are deep, moves steal. Not thread-safe:
// one thread at a time per tree.
class JsonValue {
  public:
    using Array = std::vector<JsonValue>;
    using Object = std::unordered_map<std::string, JsonValue>;

    JsonValue() noexcept = default;
    JsonValue(const JsonValue& other);
    JsonValue(JsonValue&& other) noexcept;
    JsonValue& operator=(const JsonValue& other);
    JsonValue& operator=(JsonValue&& other) noexcept;
    ~JsonValue();

    // Building. Text becomes STRING, signed integers INT, unsigned ones UINT,
    // nullptr NULLVALUE.
    JsonValue(const std::string& text) { *this = text; }
    JsonValue(const char* text) { *this = text; }
    JsonValue(int value) { *this = value; }
    JsonValue(long value) { *this = value; }
    JsonValue(long long value) { *this = value; }
    JsonValue(unsigned value) { *this = value; }
    JsonValue(unsigned long value) { *this = value; }
    JsonValue(unsigned long long value) { *this = value; }
    JsonValue(double value) { *this = value; }
    JsonValue(bool value) { *this = value; }
    JsonValue(std::nullptr_t) { *this = nullptr; }

    JsonValue& operator=(const std::string& text);
    JsonValue& operator=(const char* text);
    JsonValue& operator=(int value) { return SetSigned(value); }
    JsonValue& operator=(long value) { return SetSigned(value); }
    JsonValue& operator=(long long value) { return SetSigned(value); }
    JsonValue& operator=(unsigned value) { return SetUnsigned(value); }
    JsonValue& operator=(unsigned long value) { return SetUnsigned(value); }
    JsonValue& operator=(unsigned long long value) { return SetUnsigned(value); }
    JsonValue& operator=(double value);
    JsonValue& operator=(bool value);
    JsonValue& operator=(std::nullptr_t);

    // Member access. A value that holds nothing first becomes an empty OBJECT;
    // an absent member is inserted as UNSET. On any other non-object the error
    // is logged and the value itself is returned.
    JsonValue& operator[](const std::string& name);
    // Element access; out of range or on a non-array the error is logged and
    // the value itself is returned.
    JsonValue& operator[](size_t index);
    // On a value that holds nothing: becomes an ARRAY of n UNSET elements.
    void SetArraySize(size_t n);
    // On an ARRAY: appends the value.
    void PushBack(const JsonValue& value);
    void PushBack(JsonValue&& value);

    // Reading. None throws; a type mismatch gives the neutral value (false, 0,
    // empty) and an error log line, an UNSET value gives it silently.
    JsonType GetType() const { return type_; }
    bool AsBool() const;
    double AsDouble() const;
    int32_t AsInt() const;
    int64_t AsInt64() const;
    uint32_t AsUint() const;
    uint64_t AsUint64() const;
    std::string AsString() const;
    Array AsArray() const;
    Object AsObject() const;
    bool AsNull() const;  // true for NULLVALUE
    bool Contains(const std::string& name) const;

    // Compact text: no whitespace, doubles as "%f", UNSET as nothing.
    std::string ToString() const;

  private:
    friend class Json;
    friend class JsonReader;
    friend class JsonWriter;

    JsonValue& SetSigned(int64_t value);
    JsonValue& SetUnsigned(uint64_t value);
    void Set(JsonType type, uint64_t word);
    void Release() noexcept;
    bool HoldsNothing() const { return word_ == 0; }
    bool IsIntegral() const;

    template <class T>
    T* Ptr() const {
        return reinterpret_cast<T*>(static_cast<uintptr_t>(word_));
    }
    template <class T>
    void SetPtr(JsonType type, T* ptr) {
        Set(type, static_cast<uint64_t>(reinterpret_cast<uintptr_t>(ptr)));
    }
    // Creates the container of an OBJECT / ARRAY / STRING in place of what the
    // value held; on allocation failure the value becomes UNSET and null is
    // returned.
    Object* MakeObject();
    Array* MakeArray();
    bool MakeString(const char* text, size_t length);

    JsonType type_ = JsonType::UNSET;
    uint64_t word_ = 0;
};

// A JSON document: always an object.
class Json {
  public:
    Json();
    // Parses the text; throws as Parse does.
    explicit Json(const std::string& text);
    explicit Json(const char* text);
    // Throws std::runtime_error unless the value is an OBJECT.
    explicit Json(const JsonValue& value);
    // Logs and keeps the document unchanged unless the value is an OBJECT.
    Json& operator=(const JsonValue& value);

    // Replaces the document with the object the text holds; text after the
    // top-level object is ignored. Throws std::runtime_error (kJsonErrTooLong,
    // kJsonErrEmpty, kJsonErrSyntax), std::invalid_argument ("stod", "stoi") or
    // std::out_of_range ("stod", "stoi", truncated null). On error the
    // document is left as it was.
    void Parse(const std::string& text);

    JsonValue& operator[](const std::string& name) { return root_[name]; }
    bool Contains(const std::string& name) const { return root_.Contains(name); }
    std::string ToString() const { return root_.ToString(); }
    const JsonValue& GetValue() const { return root_; }

  private:
    JsonValue root_;
};

}  // namespace analysis::orbx::message

#endif  // ORU_MESSAGE_JSON_H
