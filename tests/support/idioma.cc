#include "support/idioma.h"

#include <locale.h>

#include <cstdlib>

#ifndef TABLON_CATALOGOS_PRUEBA
#error "TABLON_CATALOGOS_PRUEBA: the build tree's message catalogs, set by tests/CMakeLists.txt"
#endif

namespace tablon::test {

namespace {
constexpr const char* kVariables[] = {"LANG", "LC_ALL", "LC_MESSAGES", "LANGUAGE", "TABLON_LOCALEDIR"};
}

Idioma::Idioma(const std::vector<std::pair<std::string, std::string>>& variables) {
  for (const char* n : kVariables) {
    const char* v = std::getenv(n);
    antes_.emplace_back(n, v ? std::optional<std::string>(v) : std::nullopt);
    ::unsetenv(n);
  }
  ::setenv("TABLON_LOCALEDIR", TABLON_CATALOGOS_PRUEBA, 1);
  for (const auto& [n, v] : variables) ::setenv(n.c_str(), v.c_str(), 1);
}

Idioma::~Idioma() {
  for (const auto& [n, v] : antes_) {
    if (v) {
      ::setenv(n.c_str(), v->c_str(), 1);
    } else {
      ::unsetenv(n.c_str());
    }
  }
}

bool Idioma::Instalado(const std::string& locale) {
  const locale_t l = ::newlocale(LC_MESSAGES_MASK, locale.c_str(), nullptr);
  if (l) ::freelocale(l);
  return l != nullptr;
}

}  // namespace tablon::test
