// The language a test runs the program in: the locale variables of the environment (LANG,
// LC_ALL, LC_MESSAGES, LANGUAGE) set as given and the others of them unset, and TABLON_LOCALEDIR
// pointing at the build tree's message catalogs, for as long as the object lives; then the
// environment as it was. Programs the test starts inherit them; in the test's own process,
// PreparaIdioma (core/traduce.h) reads them.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tablon::test {

class Idioma {
 public:
  explicit Idioma(const std::vector<std::pair<std::string, std::string>>& variables);
  Idioma(const std::string& variable, const std::string& valor)
      : Idioma(std::vector<std::pair<std::string, std::string>>{{variable, valor}}) {}
  ~Idioma();
  Idioma(const Idioma&) = delete;
  Idioma& operator=(const Idioma&) = delete;

  // Whether the C library has `locale` (glibc shows a translation only in an installed locale;
  // scripts/test.sh makes en_US.UTF-8 and es_ES.UTF-8).
  static bool Instalado(const std::string& locale);

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> antes_;
};

}  // namespace tablon::test
