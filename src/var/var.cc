#include "var/var.h"

#include <cmath>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

typedef base::arraylist<var*> array_payload;
typedef base::hashmap<var*> object_payload;

var::var_data* new_record(void* payload) {
  var::var_data* record = new var::var_data();
  record->payload = payload;
  return record;
}

int truncate_to_int(double n) {
  if (std::isnan(n)) return 0;
  if (n >= double(INT_MAX)) return INT_MAX;
  if (n <= double(INT_MIN)) return INT_MIN;
  return int(n);
}

// Resolves a possibly negative position against a count; -1 when outside.
int position(int i, int count) {
  if (i < 0) i += count;
  return (i >= 0 && i < count) ? i : -1;
}

int compare_bytes(const std::string& a, const std::string& b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  int c = n ? memcmp(a.data(), b.data(), n) : 0;
  if (c != 0) return c;
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

}  // namespace

var::var(const std::string& text) : type(string_t), data(new_record(new std::string(text))) {}

var::var(const char* text) : type(string_t), data(new_record(new std::string(text ? text : ""))) {}

var var::array() {
  var v;
  v.type = array_t;
  v.data = new_record(new array_payload());
  return v;
}

var var::object() {
  var v;
  v.type = object_t;
  v.data = new_record(new object_payload(base::tovin_hash));
  return v;
}

var& var::operator=(const var& other) {
  if (&other == this) return *this;
  // Take the new reference first, so that assigning a value that this handle's
  // own record keeps alive (an element of itself) cannot free it midway.
  var keep(other);
  unref();
  ref(keep);
  return *this;
}

void var::ref(const var& other) {
  type = other.type;
  if (type == number_t) {
    number = other.number;
  } else if (type == boolean_t) {
    boolean = other.boolean;
  } else {
    data = other.data;
    if (type >= string_t && data != nullptr) data->refs++;
  }
}

void var::unref() {
  if (type >= string_t && type <= object_t && data != nullptr && --data->refs == 0) {
    if (type == string_t) {
      delete static_cast<std::string*>(data->payload);
    } else if (type == array_t) {
      array_payload* list = static_cast<array_payload*>(data->payload);
      for (uint32_t i = 0; i < list->count; i++) delete list->items[i];
      delete list;
    } else {
      object_payload* map = static_cast<object_payload*>(data->payload);
      for (uint32_t i = 0; i < map->capacity; i++) {
        if (map->slots[i].key != nullptr) delete map->slots[i].value;
      }
      delete map;
    }
    delete data;
  }
  type = null_t;
  data = nullptr;
}

var::operator int() const {
  switch (type) {
    case number_t: return truncate_to_int(number);
    case boolean_t: return boolean ? 1 : 0;
    case string_t: return truncate_to_int(strtod(string_ref().c_str(), nullptr));
    default: return 0;
  }
}

var::operator std::string() const {
  if (type == string_t) return string_ref();
  base::arraylist<var_data*> visited;
  return to_json_helper(visited, false);
}

double var::num() const {
  switch (type) {
    case number_t: return number;
    case boolean_t: return boolean ? 1 : 0;
    case string_t: return strtod(string_ref().c_str(), nullptr);
    default: return 0;
  }
}

var var::operator[](const char* key) const {
  if (type != object_t || key == nullptr) return var();
  var* found = object_ref().get(key);
  return found ? *found : var();
}

var var::operator[](const std::string& key) const {
  if (type != object_t) return var();
  var* found = object_ref().get(key);
  return found ? *found : var();
}

bool var::has(const std::string& key) const {
  return type == object_t && object_ref().has(key) != nullptr;
}

var var::get(int i) const {
  if (type == array_t) {
    int p = position(i, size());
    return p < 0 ? var() : *array_ref().items[p];
  }
  if (type == object_t) {
    int p = position(i, size());
    if (p < 0) return var();
    var* found = object_ref().get(*object_ref().keys[p]);
    return found ? *found : var();
  }
  if (type == string_t) {
    int p = position(i, size());
    return p < 0 ? var() : var(string_ref().substr(p, 1));
  }
  return var();
}

int var::size() const {
  switch (type) {
    case string_t: return int(string_ref().size());
    case array_t: return int(array_ref().count);
    case object_t: return int(object_ref().count);
    default: return 0;
  }
}

var var::keys() const {
  if (type != object_t) return var();
  var result = array();
  const object_payload& map = object_ref();
  result.array_ref().reserve(map.count);
  for (uint32_t i = 0; i < map.count; i++) result.push(var(*map.keys[i]));
  return result;
}

void var::push(const var& v) {
  if (type != array_t) return;
  array_ref().add(new var(v));
}

var var::pop() {
  if (type != array_t || array_ref().count == 0) return var();
  var* last = array_ref().pop();
  var value(*last);
  delete last;
  return value;
}

void var::set(const std::string& key, const var& v) {
  if (type != object_t) return;
  var* previous = object_ref().set(key, new var(v));
  delete previous;
}

var var::unset(const std::string& key) {
  if (type != object_t) return var();
  var* removed = object_ref().unset(key);
  if (removed == nullptr) return var();
  var value(*removed);
  delete removed;
  return value;
}

namespace {

// Pairs of records being compared, two entries per pair. A pair met again while
// it is still open belongs to values that contain themselves; it counts as
// equal there, so that comparing such values ends instead of recursing forever.
typedef base::arraylist<const var::var_data*> open_pairs;

bool is_open(const open_pairs& open, const var::var_data* a, const var::var_data* b) {
  for (uint32_t i = 0; i + 1 < open.count; i += 2) {
    if (open.items[i] == a && open.items[i + 1] == b) return true;
  }
  return false;
}

int compare(const var& a, const var& b, open_pairs& open);

int compare_containers(const var& a, const var& b, open_pairs& open) {
  if (a.size() != b.size()) return a.size() - b.size();
  if (is_open(open, a.data, b.data)) return 0;
  open.add(a.data);
  open.add(b.data);
  int c = 0;
  if (a.type == var::array_t) {
    for (int i = 0; i < a.size() && c == 0; i++) {
      c = compare(*a.array_ref().items[i], *b.array_ref().items[i], open);
    }
  } else {
    const base::hashmap<var*>& x = a.object_ref();
    const base::hashmap<var*>& y = b.object_ref();
    for (uint32_t i = 0; i < x.count && c == 0; i++) {
      c = compare_bytes(*x.keys[i], *y.keys[i]);
      if (c == 0) c = compare(*x.get(*x.keys[i]), *y.get(*y.keys[i]), open);
    }
  }
  open.pop();
  open.pop();
  return c;
}

int compare(const var& a, const var& b, open_pairs& open) {
  if (a.type != b.type || a.type > var::object_t) return a.type - b.type;
  switch (a.type) {
    case var::null_t: return 0;
    case var::number_t: return a.number < b.number ? -1 : (a.number > b.number ? 1 : 0);
    case var::boolean_t: return int(a.boolean) - int(b.boolean);
    default:
      if (a.data == b.data) return 0;
      if (a.type == var::string_t) return compare_bytes(a.string_ref(), b.string_ref());
      return compare_containers(a, b, open);
  }
}

}  // namespace

int var::cmp(const var& other) const {
  open_pairs open;
  return compare(*this, other, open);
}
