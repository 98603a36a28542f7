#include "core/traduce.h"

#include <libintl.h>

#include <clocale>
#include <cstdlib>
#include <string>

#ifndef TABLON_DIRECTORIO_LOCALE
#error "TABLON_DIRECTORIO_LOCALE: the installation's locale directory, set by CMakeLists.txt"
#endif

namespace tablon {

namespace {
constexpr const char* kDominio = "tablon";
}

void PreparaIdioma() {
  // A locale that is not installed leaves LC_MESSAGES as "C": the texts as written.
  std::setlocale(LC_MESSAGES, "");
  const char* dir = std::getenv("TABLON_LOCALEDIR");
  ::bindtextdomain(kDominio, dir && *dir ? dir : TABLON_DIRECTORIO_LOCALE);
  ::bind_textdomain_codeset(kDominio, "UTF-8");
  // LC_CTYPE stays "C" (ASCII): without this, strerror's translations would lose their accents.
  ::bind_textdomain_codeset("libc", "UTF-8");
}

const char* Traduce(const char* texto) { return ::dgettext(kDominio, texto); }

const char* TraducePlural(const char* singular, const char* plural, std::int64_t n) {
  return ::dngettext(kDominio, singular, plural, static_cast<unsigned long>(n < 0 ? 2 : n));
}

const char* TraduceEn(const char* contexto, const char* texto) {
  // gettext's convention for a context: "context\004text" is the key in the catalog.
  const std::string clave = std::string(contexto) + '\004' + texto;
  const char* r = ::dgettext(kDominio, clave.c_str());
  return r == clave.c_str() ? texto : r;
}

std::string Formatea(std::string_view formato, std::initializer_list<std::string_view> partes) {
  std::string r;
  std::size_t siguiente = 0;  // the part the next "%s" takes
  for (std::size_t i = 0; i < formato.size(); ++i) {
    if (formato[i] != '%' || i + 1 == formato.size()) {
      r += formato[i];
      continue;
    }
    if (formato[i + 1] == '%') {
      r += '%';
      ++i;
      continue;
    }
    // "%s", or "%N$s" with N from 1.
    std::size_t j = i + 1, n = 0;
    while (j < formato.size() && formato[j] >= '0' && formato[j] <= '9' && n < partes.size() + 1) {
      n = n * 10 + static_cast<std::size_t>(formato[j] - '0');
      ++j;
    }
    std::size_t parte;
    if (j == i + 1 && formato[j] == 's') {
      parte = siguiente++;
    } else if (j > i + 1 && n >= 1 && j + 1 < formato.size() && formato[j] == '$' && formato[j + 1] == 's') {
      parte = n - 1;
      ++j;
    } else {
      r += '%';
      continue;
    }
    if (parte >= partes.size()) {
      r.append(formato.substr(i, j + 1 - i));
    } else {
      r.append(partes.begin()[parte]);
    }
    i = j;
  }
  return r;
}

}  // namespace tablon
