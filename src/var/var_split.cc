// var::split: a value's text cut into an array of pieces.
#include "base/text.h"
#include "var/var.h"

var var::split(const std::string& delimiters) const {
  std::vector<std::string> pieces = base::split(str(), delimiters, true);
  var result = array();
  result.array_ref().reserve(uint32_t(pieces.size()));
  for (const std::string& piece : pieces) result.push(var(piece));
  return result;
}
