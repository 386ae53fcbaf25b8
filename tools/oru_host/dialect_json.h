// The JSON texts exchanged with the daemon inside its messages use its own
// small dialect: no escape sequences (a text cannot hold a double quote),
// 32-bit integers, leading blanks of a text dropped. This writer produces
// texts the daemon reads back exactly; the reader takes the flat objects the
// daemon sends back (the status of a reply).
#ifndef ORU_TOOLS_ORU_HOST_DIALECT_JSON_H
#define ORU_TOOLS_ORU_HOST_DIALECT_JSON_H

#include <cstdint>
#include <map>
#include <string>

namespace analysis::orbx::hosttool {

class DialectObject {
  public:
    // False (and nothing added) when the text cannot travel in the dialect:
    // a double quote, a control character, or leading blanks that the daemon
    // would drop.
    bool Add(const std::string& key, const std::string& text);
    void Add(const std::string& key, int32_t number);
    void Add(const std::string& key, bool flag);
    std::string ToString() const;  // members in the order they were added

  private:
    bool AddRaw(const std::string& key, const std::string& rawValue);
    std::string body_;
};

// A member of a flat object read back: its text, or the number or word as
// written ("1", "true", "null").
struct FlatValue {
    bool isText = false;
    std::string text;
};

// Reads an object whose members are texts, numbers, true, false or null.
// False for anything else (nested values, unterminated texts, no object).
bool ParseFlatObject(const std::string& text, std::map<std::string, FlatValue>* members);

// The status record of a reply: {"dev_id":..., "status":..., "info":...}.
struct StatusReport {
    bool parsed = false;
    int status = -1;
    std::string info;
    std::string devId;
};
StatusReport ParseStatusReport(const std::string& text);

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_DIALECT_JSON_H
