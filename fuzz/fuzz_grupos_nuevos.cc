// Lines of a new-group listing (any bytes, one per LF) added to a server record, which is then
// saved as a state file and read back: every name taken is read back exactly, once, in order.
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/error.h"
#include "news/servidor_news.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string dir = [] {
    char plantilla[] = "/tmp/tablon-fuzz-XXXXXX";
    return std::string(::mkdtemp(plantilla));
  }();
  const std::string texto(reinterpret_cast<const char*>(data), size);
  tablon::ServidorNews s;
  s.filename(dir + "/s.txt");
  for (std::size_t ini = 0; ini <= texto.size();) {
    std::size_t fin = texto.find('\n', ini);
    if (fin == std::string::npos) fin = texto.size();
    try {
      s.AgregaGrupoNuevo(texto.substr(ini, fin - ini));
    } catch (const tablon::Error&) {
      // refused: the routine's step is skipped
    }
    ini = fin + 1;
  }
  s.save();
  tablon::ServidorNews leido;
  leido.filename(dir + "/s.txt");
  leido.load();
  if (leido.Grupos()->size() != s.Grupos()->size()) __builtin_trap();
  for (std::size_t i = 0; i < s.Grupos()->size(); ++i) {
    const auto& a = (*s.Grupos())[i];
    const auto& b = (*leido.Grupos())[i];
    if (a->Nombre() != b->Nombre() || b->Subscrito()) __builtin_trap();
    if (a->Nombre().find_first_of(std::string("\r\n \t\0", 5)) != std::string::npos) __builtin_trap();
  }
  if (!leido.ArchivoApartado().empty()) __builtin_trap();
  return 0;
}
