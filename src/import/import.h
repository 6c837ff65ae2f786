// A shared library loaded at run time with dlopen, found through the dynamic
// loader's cache, and the look-up of its functions by name. Names that cannot
// be found are collected in `error`, the text that calling a missing function
// raises. Built once before main and only read afterwards; not synchronised.
#pragma once
#include <string>

class import {
 public:
  // Finds `name` in the loader's cache and loads it. On failure `handle` is
  // null, `error` is "Unable to load <name>" (also written to stderr) and
  // every later look-up fails.
  explicit import(const std::string& name);
  ~import();  // closes the library
  import(const import&) = delete;
  import& operator=(const import&) = delete;

  // The address of function `fname`, or `fallback` when the library lacks it
  // (then a line feed and `fname` are appended to `error`).
  void* proc(const std::string& fname, void* fallback);

  void* handle = nullptr;
  std::string error;
};

// The name to hand to dlopen for library `name`: the last path component of
// the first cache entry containing "/<name>" (say "libssl.so.3" for
// "libssl.so"), or `name` itself when the cache has none. The cache text is
// read once per process from the loader's cache file.
std::string _import_probe(const std::string& name);
// The same look-up in a given cache text (printable runs, one per line).
std::string _import_probe(const std::string& name, const std::string& cache);

// Appends the printable runs (bytes 0x20-0x7F) longer than 4 bytes of file
// `path` to `out`, each followed by a line feed, like the strings tool; a run
// still open at the end of the file is dropped. False when the file cannot be
// opened.
bool get_strings(const std::string& path, std::string& out);
