#include "json/json.h"

namespace json {

var parse(const std::string&) { return var(); }

}  // namespace json
