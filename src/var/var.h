// The program's dynamic value: null, number, boolean, string, array or object,
// with JSON's data model. Numbers and booleans live in the handle; strings,
// arrays and objects live in a shared reference-counted record. Copying a
// handle shares the record (no copy-on-write): a change to an array or object
// made through one handle is seen through every handle sharing it.
// Operations on the wrong kind return null / 0 or do nothing; nothing throws.
// Not thread-safe: a value and everything reachable from it belong to one thread.
#pragma once
#include <cstdint>
#include <string>

#include "base/arraylist.h"
#include "base/hashmap.h"

class var {
 public:
  enum kind : int32_t { null_t = 0, number_t = 1, boolean_t = 2, string_t = 3, array_t = 4, object_t = 5 };

  // Shared record of a string, array or object. `payload` points to a
  // std::string, a base::arraylist<var*> or a base::hashmap<var*> by kind;
  // var::unref tears the payload down before deleting the record.
  struct var_data {
    uint32_t refs = 1;
    void* payload = nullptr;
    virtual ~var_data() {}
  };

  int32_t type;
  union {
    double number;
    bool boolean;
    var_data* data;
  };

  var() : type(null_t), data(nullptr) {}
  var(double n) : type(number_t), number(n) {}
  var(int n) : type(number_t), number(n) {}
  var(bool b) : type(boolean_t), data(nullptr) { boolean = b; }
  var(const std::string& text);
  var(const char* text);
  var(const var& other) : type(null_t), data(nullptr) { ref(other); }
  var& operator=(const var& other);
  ~var() { unref(); }

  static var array();
  static var object();

  // Makes this (empty) handle another reference to `other`'s value.
  void ref(const var& other);
  // Releases this handle's reference and leaves it null.
  void unref();

  bool is_null() const { return type == null_t; }
  bool is_number() const { return type == number_t; }
  bool is_boolean() const { return type == boolean_t; }
  bool is_string() const { return type == string_t; }
  bool is_array() const { return type == array_t; }
  bool is_object() const { return type == object_t; }

  // Number truncated toward zero (saturating), boolean 0/1, string via strtod; else 0.
  explicit operator int() const;
  // A string's own text; any other value's compact JSON text.
  explicit operator std::string() const;
  std::string str() const { return std::string(*this); }
  // Numeric value: number, boolean 0/1, strtod of a string; else 0.
  double num() const;

  // Object member by key; null when absent, not an object or key is null.
  var operator[](const char* key) const;
  var operator[](const std::string& key) const;
  // True when this is an object holding `key`.
  bool has(const std::string& key) const;
  // Element (array), member value (object, by insertion position) or byte
  // (string); negative i counts from the end; null when out of range.
  var get(int i) const;
  int size() const;
  // A new array of the object's keys in insertion order; null for non-objects.
  var keys() const;

  void push(const var& v);
  var pop();
  void set(const std::string& key, const var& v);
  var unset(const std::string& key);
  // Three-way comparison: kinds order null < number < boolean < string < array < object;
  // containers by count, then element by element (objects in key order, keys first).
  // Values that contain themselves compare without endless recursion.
  int cmp(const var& other) const;

  // JSON text of this value; `visited` holds the containers being written.
  std::string to_json_helper(base::arraylist<var_data*>& visited, bool indent) const;

  // This value's text cut at any of the delimiter bytes, empty pieces kept.
  var split(const std::string& delimiters) const;

  // Direct access to the payloads; valid only for the matching kind.
  const std::string& string_ref() const { return *static_cast<std::string*>(data->payload); }
  base::arraylist<var*>& array_ref() const { return *static_cast<base::arraylist<var*>*>(data->payload); }
  base::hashmap<var*>& object_ref() const { return *static_cast<base::hashmap<var*>*>(data->payload); }
};
