// The JSON members of a message object, described once as a table of key and
// field that both directions walk. The key is always the field's name.
#ifndef ORU_MESSAGE_INFO_FIELDS_H
#define ORU_MESSAGE_INFO_FIELDS_H

#include <cstdint>
#include <string>
#include <variant>

#include "message/json.h"

namespace analysis::orbx::message {

template <class T>
struct InfoField {
    const char* key;
    // The field's type selects how it is written (STRING, INT, UINT, BOOL) and
    // which accessor reads it back.
    std::variant<std::string T::*, int32_t T::*, uint64_t T::*, bool T::*> member;
};

// One table row; the key is the field's name.
#define ORU_INFO_FIELD(Class, name)               \
    ::analysis::orbx::message::InfoField<Class> { \
#name, &Class::name                       \
    }

namespace detail {

inline void ReadMember(const JsonValue& member, std::string& field) {
    field = member.AsString();
}
inline void ReadMember(const JsonValue& member, int32_t& field) {
    field = member.AsInt();
}
inline void ReadMember(const JsonValue& member, uint64_t& field) {
    field = member.AsUint64();
}
inline void ReadMember(const JsonValue& member, bool& field) {
    field = member.AsBool();
}

}  // namespace detail

template <class T, class Table>
void WriteInfoFields(const T& object, const Table& fields, Json& doc) {
    for (const InfoField<T>& field : fields) {
        std::visit([&](auto member) { doc[field.key] = object.*member; }, field.member);
    }
}

// An absent (UNSET) member leaves its field as it is; a member of another type
// sets the field to the accessor's neutral value and logs.
template <class T, class Table>
void ReadInfoFields(T& object, const Table& fields, Json& doc) {
    std::string key;  // one buffer for every lookup: long keys allocate once
    key.reserve(64);
    for (const InfoField<T>& field : fields) {
        key.assign(field.key);
        const JsonValue& member = doc[key];
        if (member.GetType() == JsonType::UNSET) {
            continue;
        }
        std::visit([&](auto ptr) { detail::ReadMember(member, object.*ptr); }, field.member);
    }
}

}  // namespace analysis::orbx::message

#endif  // ORU_MESSAGE_INFO_FIELDS_H
