#include "kuvet/content_type.h"

#include <sstream>

#include "base/file.h"

namespace content_type {

namespace {

// Common types, so that a site or a download behaves the same whatever the
// machine that uploaded it has in /etc/mime.types.
const char* const builtin[][2] = {
    {"html", "text/html"}, {"htm", "text/html"}, {"css", "text/css"},
    {"js", "text/javascript"}, {"mjs", "text/javascript"}, {"json", "application/json"},
    {"map", "application/json"}, {"txt", "text/plain"}, {"md", "text/markdown"},
    {"csv", "text/csv"}, {"xml", "application/xml"}, {"ics", "text/calendar"},
    {"yaml", "application/yaml"}, {"yml", "application/yaml"}, {"svg", "image/svg+xml"},
    {"png", "image/png"}, {"jpg", "image/jpeg"}, {"jpeg", "image/jpeg"}, {"gif", "image/gif"},
    {"webp", "image/webp"}, {"avif", "image/avif"}, {"ico", "image/x-icon"},
    {"bmp", "image/bmp"}, {"tif", "image/tiff"}, {"tiff", "image/tiff"},
    {"heic", "image/heic"}, {"pdf", "application/pdf"}, {"zip", "application/zip"},
    {"gz", "application/gzip"}, {"tgz", "application/gzip"}, {"bz2", "application/x-bzip2"},
    {"xz", "application/x-xz"}, {"zst", "application/zstd"}, {"7z", "application/x-7z-compressed"},
    {"tar", "application/x-tar"}, {"mp3", "audio/mpeg"}, {"m4a", "audio/mp4"},
    {"ogg", "audio/ogg"}, {"opus", "audio/ogg"}, {"flac", "audio/flac"}, {"wav", "audio/wav"},
    {"mp4", "video/mp4"}, {"m4v", "video/mp4"}, {"webm", "video/webm"},
    {"mov", "video/quicktime"}, {"mkv", "video/x-matroska"}, {"wasm", "application/wasm"},
    {"woff", "font/woff"}, {"woff2", "font/woff2"}, {"ttf", "font/ttf"}, {"otf", "font/otf"},
    {"epub", "application/epub+zip"}, {"rtf", "application/rtf"},
    {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
    {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
    {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
    {"odt", "application/vnd.oasis.opendocument.text"},
    {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
};

const std::map<std::string, std::string>& system_types() {
  static const std::map<std::string, std::string> types =
      parse_mime_types(base::load("/etc/mime.types"));
  return types;
}

}  // namespace

std::map<std::string, std::string> parse_mime_types(const std::string& text) {
  std::map<std::string, std::string> types;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line.substr(0, line.find('#')));
    std::string type, extension;
    words >> type;
    while (words >> extension) types.emplace(extension, type);
  }
  return types;
}

std::string for_name(const std::string& name) {
  size_t dot = name.rfind('.');
  size_t slash = name.rfind('/');
  // No extension: none at all, or only the dot of a hidden name.
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) ||
      dot == (slash == std::string::npos ? 0 : slash + 1))
    return "application/octet-stream";
  std::string extension = name.substr(dot + 1);
  for (char& c : extension) {
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  }
  for (const auto& entry : builtin) {
    if (extension == entry[0]) return entry[1];
  }
  auto found = system_types().find(extension);
  return found == system_types().end() ? "application/octet-stream" : found->second;
}

}  // namespace content_type
