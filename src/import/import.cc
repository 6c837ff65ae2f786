#include "import/import.h"

#include <dlfcn.h>

#include <cstdio>

namespace {

bool printable(unsigned char c) { return c >= 0x20 && c <= 0x7F; }

// The loader's cache as text, read on first use. Stays empty (and is tried
// again next time) when no cache file can be opened.
const std::string& cache_text() {
  static std::string text;
  if (text.empty() && !get_strings("/etc/ld.so.cache", text) &&
      !get_strings("/var/cache/ldconfig/ld.so.cache", text)) {
    fputs("Unable to find ld.so.cache!\n", stderr);
    fflush(stderr);
  }
  return text;
}

}  // namespace

bool get_strings(const std::string& path, std::string& out) {
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return false;
  std::string run;
  unsigned char block[4096];
  size_t n;
  while ((n = fread(block, 1, sizeof block, file)) > 0) {
    for (size_t i = 0; i < n; i++) {
      if (printable(block[i])) {
        run += char(block[i]);
        continue;
      }
      if (run.size() > 4) out += run + '\n';
      run.clear();
    }
  }
  fclose(file);
  return true;
}

std::string _import_probe(const std::string& name, const std::string& cache) {
  size_t slash = cache.find("/" + name);
  if (slash == std::string::npos) return name;
  size_t end = cache.find('\n', slash);
  if (end == std::string::npos) return name;
  return cache.substr(slash + 1, end - slash - 1);
}

std::string _import_probe(const std::string& name) { return _import_probe(name, cache_text()); }

import::import(const std::string& name) {
  std::string path = _import_probe(name);
  handle = dlopen(path.c_str(), RTLD_LAZY);
  if (handle) {
    error = "Error! Missing export(s) in " + name + ":";
    return;
  }
  error = "Unable to load " + name;
  fprintf(stderr, "%s\n", error.c_str());
  fflush(stderr);
}

import::~import() {
  if (handle) dlclose(handle);
}

void* import::proc(const std::string& fname, void* fallback) {
  // A null handle searches the process's global symbols, as dlsym does.
  if (void* address = dlsym(handle, fname.c_str())) return address;
  error += "\n" + fname;
  return fallback;
}
