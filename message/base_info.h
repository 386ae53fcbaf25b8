// Base of the JSON-backed message objects (job context, profiling parameters,
// status). A derived class writes and reads the same set of keys.
#ifndef ORU_MESSAGE_BASE_INFO_H
#define ORU_MESSAGE_BASE_INFO_H

#include <string>

#include "message/json.h"

namespace analysis::orbx::message {

class BaseInfo {
  public:
    virtual ~BaseInfo() = default;

    // Writes every field, defaults included, as a member of doc.
    virtual void ToObject(Json& doc) const = 0;
    // Reads every field that doc carries; absent members leave their fields as
    // they are, members of another type set them to a neutral value (logged).
    virtual void FromObject(Json& doc) = 0;
    // The class name, for log lines.
    virtual std::string GetName() const { return "BaseInfo"; }

    // The object as compact JSON text.
    std::string ToString() const;
    // False for an empty text (silently) and for a text that does not parse
    // (logged, every field unchanged). Never throws.
    bool FromString(const std::string& text);

  protected:
    BaseInfo() = default;
    BaseInfo(const BaseInfo&) = default;
    BaseInfo& operator=(const BaseInfo&) = default;
};

}  // namespace analysis::orbx::message

#endif  // ORU_MESSAGE_BASE_INFO_H
