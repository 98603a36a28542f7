// A state file of any bytes: load never raises; what it read is saved and read back the same.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "news/servidor_news.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string dir = [] {
    char plantilla[] = "/tmp/tablon-fuzz-XXXXXX";
    return std::string(::mkdtemp(plantilla));
  }();
  const std::string ruta = dir + "/e.txt";
  {
    std::FILE* f = std::fopen(ruta.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  tablon::ServidorNews s;
  s.filename(ruta);
  s.load();
  s.save();  // a file read only in part is kept aside first
  tablon::ServidorNews otra;
  otra.filename(ruta);
  otra.load();
  if (otra.Grupos()->size() != s.Grupos()->size()) __builtin_trap();
  for (std::size_t i = 0; i < s.Grupos()->size(); ++i) {
    const auto& a = (*s.Grupos())[i];
    const auto& b = (*otra.Grupos())[i];
    if (a->Nombre() != b->Nombre() || a->Subscrito() != b->Subscrito()) __builtin_trap();
  }
  if (!s.ArchivoApartado().empty()) std::remove(s.ArchivoApartado().c_str());
  return 0;
}
