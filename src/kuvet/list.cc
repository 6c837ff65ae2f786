// kuvet::list: the store's objects, read from its ListObjects replies.
#include <cstdlib>
#include <ctime>

#include "base/utf8.h"
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

// A listing page's XML: 1,000 objects take about 40,000 nodes, 4 levels deep.
const size_t max_nodes = 250000;
const size_t max_depth = 64;

// The store's reply as shown after a failure: head and body, the body cut to 64 KiB.
std::string shown(const http::reply& reply) {
  return reply.head + reply.body.substr(0, 65536);
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
    if (!reply.ok()) {
      if (!reply.error.empty()) puts(reply.error.c_str());
      puts("Error! Could not list the store:");
      if (!reply.head.empty()) puts(shown(reply).c_str());
      return -1;
    }
    xml document;
    if (!xml_parser::parse(reply.body, document.nodes, max_nodes, max_depth)) {
      puts("Error! The store's listing page has more than 250,000 XML nodes or nests deeper "
           "than 64.");
      return -1;
    }
    if (document.query("ListBucketResult").nodes.empty()) {
      puts("Error! The store's reply is not a listing:");
      puts(shown(reply).c_str());
      return -1;
    }
    std::string().swap(reply.body);  // the nodes hold what is needed
    xml contents = document.query("Contents");
    std::string last_key;
    for (auto it = contents.nodes.cbegin(); it != contents.nodes.cend(); ++it) {
      xml object(&contents);
      contents.collect_tag(object.nodes, it);
      os::item entry;
      entry.ok = true;
      std::string key = field(object, "Key");
      entry.name = base::printable(key);
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
