// var::split, var::operator- and the scratch set behind the array difference.
#include "base/text.h"
#include "var/var.h"

var var::split(const std::string& delimiters) const {
  std::vector<std::string> pieces = base::split(str(), delimiters, true);
  var result = array();
  result.array_ref().reserve(uint32_t(pieces.size()));
  for (const std::string& piece : pieces) result.push(var(piece));
  return result;
}

void var::_varset::subtract(const var& a, const var& b) {
  base::arraylist<var_data*> visited;
  const base::arraylist<var*>& first = a.array_ref();
  for (uint32_t i = 0; i < first.count; i++) {
    set(first.items[i]->to_json_helper(visited, false), first.items[i]);
  }
  const base::arraylist<var*>& second = b.array_ref();
  for (uint32_t i = 0; i < second.count && count > 0; i++) {
    std::string key = second.items[i]->to_json_helper(visited, false);
    if (has(key)) set(key, nullptr);
  }
}

var var::operator-(const var& other) const {
  if (type == null_t || type == number_t || type == boolean_t) return var(num() - other.num());
  if (type != array_t || other.type != array_t) return var();
  _varset set;
  set.subtract(*this, other);
  var result = array();
  result.array_ref().reserve(set.count);
  for (uint32_t i = 0; i < set.count; i++) {
    var* element = set.get(*set.keys[i]);
    if (element != nullptr) result.push(*element);
  }
  return result;
}
