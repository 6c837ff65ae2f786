#include "import/openssl.h"

namespace openssl {

namespace {

// The substitute for a function type R(A...), for initialising and binding
// entries from the table's (result, parameters) pair.
template <class F>
struct substitute;
template <class R, class... A>
struct substitute<R(A...)> {
  static constexpr R (*value)(A...) = &missing<R, A...>;
};

}  // namespace

import* _import = nullptr;

// Until bind() runs every entry raises, so that no call can reach a null pointer.
#define KUVET_OPENSSL_DEFINE(R, name, params) R(*name) params = substitute<R params>::value;
KUVET_OPENSSL_TABLE(KUVET_OPENSSL_DEFINE)
#undef KUVET_OPENSSL_DEFINE

bool bind() {
  static import library("libssl.so");  // closed at exit
  static const bool bound = [] {
    _import = &library;
#define KUVET_OPENSSL_BIND(R, name, params) \
  name = reinterpret_cast<R(*) params>(     \
      library.proc(#name, reinterpret_cast<void*>(substitute<R params>::value)));
    KUVET_OPENSSL_TABLE(KUVET_OPENSSL_BIND)
#undef KUVET_OPENSSL_BIND
    return true;
  }();
  return bound;
}

void throw_import_error() {
  if (!_import) throw std::string("Error! libssl.so has not been loaded");
  throw std::string(_import->error);
}

std::vector<std::string> names() {
  std::vector<std::string> list;
#define KUVET_OPENSSL_NAME(R, name, params) list.push_back(#name);
  KUVET_OPENSSL_TABLE(KUVET_OPENSSL_NAME)
#undef KUVET_OPENSSL_NAME
  return list;
}

}  // namespace openssl
