#include "service/json_writer.h"
namespace melodara {
void write_json(std::string& out, const Json& value) { out += value.dump(); }
std::string to_json_text(const Json& value) { std::string s; write_json(s, value); return s; }
}  // namespace melodara
