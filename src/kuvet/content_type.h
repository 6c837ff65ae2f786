// The Content-Type an upload is sent with, from the file name's extension:
// a built-in table of common types first, then the system's /etc/mime.types
// (read once, on first use). Safe across threads.
#pragma once
#include <map>
#include <string>

namespace content_type {

// The media type for a file name or key; "application/octet-stream" when the
// extension (after the last "." of the last component, any case) is unknown.
std::string for_name(const std::string& name);

// The extension -> type map of a mime.types text: "type ext ext ..." lines,
// "#" comments; the first line naming an extension wins.
std::map<std::string, std::string> parse_mime_types(const std::string& text);

}  // namespace content_type
