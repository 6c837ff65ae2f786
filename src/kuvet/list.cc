// kuvet::list: the store's objects, read from its ListObjects replies.
#include <cstdlib>
#include <ctime>

#include "calendar/date_parse.h"
#include "kuvet/kuvet.h"
#include "os/item.h"
#include "xml/xml.h"

namespace {

// The object's time from the store's text: today at midnight unless the
// text says otherwise, read leniently, corrected to UTC.
double object_time(const std::string& text, const calendar::gregorian& midnight) {
  calendar::gregorian when = midnight;
  calendar::parse_date(text, when);
  calendar::parse_time(text, when);
  return when.to_seconds() + calendar::parse_zone(text);
}

// Text of the first element matching `selector` in `list`, entities decoded.
std::string field(const xml& list, const std::string& selector) {
  return xml::decode_entities(list.query(selector).inner());
}

// A key as one line on a terminal: control characters become "?".
std::string printable(std::string key) {
  for (char& c : key) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return key;
}

}  // namespace

double kuvet::list(os::itemlist& items) const {
  calendar::gregorian midnight(double(time(nullptr)));
  midnight.hour = midnight.minute = midnight.second = 0;
  double total = 0;
  std::string marker;
  for (;;) {
    request r;
    if (!marker.empty()) r.query.emplace_back("marker", marker);
    http::reply reply = send(r);
    const std::string& body = reply.body;
    if (!reply.ok()) {
      if (!reply.error.empty()) puts(reply.error.c_str());
      puts("Error! Could not list the store:");
      if (!reply.head.empty()) puts((reply.head + body).c_str());
      return -1;
    }
    xml document;
    xml_parser::parse(body, document.nodes);
    if (document.query("ListBucketResult").nodes.empty()) {
      puts("Error! The store's reply is not a listing:");
      puts((reply.head + body).c_str());
      return -1;
    }
    xml contents = document.query("Contents");
    std::string last_key;
    for (auto it = contents.nodes.cbegin(); it != contents.nodes.cend(); ++it) {
      xml object(&contents);
      contents.collect_tag(object.nodes, it);
      os::item entry;
      entry.ok = true;
      std::string key = field(object, "Key");
      entry.name = printable(key);
      entry.size = strtod(field(object, "Size").c_str(), nullptr);
      entry.mtime = object_time(field(object, "LastModified"), midnight);
      total += entry.size;
      last_key = key;
      items.add(entry);
    }
    // A long listing comes in pages: ask again from the last key received
    // while the store says there is more.
    if (field(document, "IsTruncated") != "true") return total;
    std::string next = field(document, "NextMarker");
    if (next.empty()) next = last_key;
    // Keys come in byte order: a next key that is not after this one would
    // go round for ever.
    if (next.empty() || next.compare(marker) <= 0) {
      puts("Error! The store's listing is truncated but names no next key.");
      return -1;
    }
    marker = next;
  }
}
