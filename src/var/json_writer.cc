// var::to_json_helper: a value as JSON text, compact or indented.
#include <cmath>

#include "base/text.h"
#include "base/utf8.h"
#include "var/var.h"

namespace {

const char hex_digits[] = "0123456789abcdef";

void append_u_escape(std::string& out, uint32_t unit) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += hex_digits[(unit >> shift) & 0xF];
}

void append_escaped(std::string& out, const std::string& text) {
  out += '"';
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned char b = bytes[i];
    switch (b) {
      case '"': out += "\\\""; i++; continue;
      case '\\': out += "\\\\"; i++; continue;
      case 8: out += "\\b"; i++; continue;
      case 12: out += "\\f"; i++; continue;
      case 10: out += "\\n"; i++; continue;
      case 13: out += "\\r"; i++; continue;
      case 9: out += "\\t"; i++; continue;
      case 0: out += "\\0"; i++; continue;
      default: break;
    }
    if (b >= 32 && b <= 126) {
      out += char(b);
      i++;
    } else if (b < 128) {
      append_u_escape(out, b);
      i++;
    } else {
      // The string's buffer is NUL-terminated, so a cut-off sequence stops there.
      int length;
      uint32_t code = base::utf8_decode(bytes + i, &length);
      if (code == 0xFFFFFFFF) {
        out += "\\uffff";
      } else if (code < 0x10000) {
        append_u_escape(out, code);
      } else {
        append_u_escape(out, 0xD800 + ((code - 0x10000) >> 10));
        append_u_escape(out, 0xDC00 + (code & 0x3FF));
      }
      i += size_t(length);
    }
  }
  out += '"';
}

bool is_visited(const base::arraylist<var::var_data*>& visited, const var::var_data* record) {
  for (uint32_t i = 0; i < visited.count; i++) {
    if (visited.items[i] == record) return true;
  }
  return false;
}

}  // namespace

std::string var::to_json_helper(base::arraylist<var_data*>& visited, bool indent) const {
  if ((type == array_t || type == object_t) && is_visited(visited, data)) return "ERROR_CYCLE";
  std::string out;
  size_t depth = visited.count;
  switch (type) {
    case null_t: return "null";
    case number_t: return std::isfinite(number) ? base::num(number) : "null";
    case boolean_t: return boolean ? "true" : "false";
    case string_t: append_escaped(out, string_ref()); return out;
    case array_t: {
      const base::arraylist<var*>& list = array_ref();
      if (list.count == 0) return "[]";
      visited.add(data);
      bool all_arrays = true;
      for (uint32_t i = 0; i < list.count; i++) all_arrays = all_arrays && list.items[i]->is_array();
      if (indent && all_arrays) {
        out += "[\n";
        for (uint32_t i = 0; i < list.count; i++) {
          if (i > 0) out += ",\n";
          out.append(2 * (depth + 1), ' ');
          out += list.items[i]->to_json_helper(visited, indent);
        }
        out += '\n';
        out.append(2 * depth, ' ');
        out += ']';
      } else {
        out += "[ ";
        for (uint32_t i = 0; i < list.count; i++) {
          if (i > 0) out += indent ? ", " : ",";
          out += list.items[i]->to_json_helper(visited, indent);
        }
        out += " ]";
      }
      visited.pop();
      return out;
    }
    case object_t: {
      const base::hashmap<var*>& map = object_ref();
      if (map.count == 0) return "{}";
      visited.add(data);
      if (indent) {
        if (depth > 0) {
          out += '\n';
          out.append(2 * depth, ' ');
        }
        out += "{\n";
      } else {
        out += '{';
      }
      for (uint32_t i = 0; i < map.count; i++) {
        const std::string& key = *map.keys[i];
        if (i > 0) out += indent ? ",\n" : ",";
        if (indent) out.append(2 * (depth + 1), ' ');
        append_escaped(out, key);
        out += indent ? " : " : ":";
        var* value = map.get(key);
        out += value ? value->to_json_helper(visited, indent) : "null";
      }
      if (indent) {
        out += '\n';
        out.append(2 * depth, ' ');
      }
      out += '}';
      visited.pop();
      return out;
    }
    default: return "";
  }
}
