#include "store/mensaje/filtro.h"

#include "core/ascii.h"
#include "store/mensaje/texto_cabecera.h"

namespace tablon::store::mensaje {

std::optional<std::string> LeeFiltroAsunto(std::string_view f) {
  f = Recorta(f);
  constexpr std::string_view kCampo = "[Asunto]";
  if (!EmpiezaSinCaso(f, kCampo)) return std::nullopt;
  f = Recorta(f.substr(kCampo.size()));
  if (f.empty() || f.front() != '=') return std::nullopt;
  f = Recorta(f.substr(1));
  if (f.size() < 2 || f.front() != '"' || f.back() != '"') return std::nullopt;
  f = f.substr(1, f.size() - 2);
  std::string texto;
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] == '"') {
      // Inside the text a quote only comes doubled.
      if (i + 1 >= f.size() || f[i + 1] != '"') return std::nullopt;
      ++i;
    }
    texto += f[i];
  }
  return texto;
}

}  // namespace tablon::store::mensaje
