// An item file of any bytes (a mail client's, or one edited by hand) read as header and body;
// what was read, written again, reads back the same.
#include <cstdint>
#include <string_view>

#include "store/mensaje/formato_item.h"

using namespace tablon::store::mensaje;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view archivo(reinterpret_cast<const char*>(data), size);
  const CabeceraItem cab = LeeCabeceraItem(archivo);
  const std::string cuerpo = CuerpoDeArchivo(archivo);
  const std::string otra_vez = EscribeItem(cab.registro, cuerpo);
  const CabeceraItem cab2 = LeeCabeceraItem(otra_vez);
  const RegistroItem& a = cab.registro;
  const RegistroItem& b = cab2.registro;
  if (a.clase != b.clase || a.asunto != b.asunto || a.remitente != b.remitente || a.para != b.para ||
      a.responder_a != b.responder_a || a.propiedades.size() != b.propiedades.size()) {
    __builtin_trap();
  }
  for (std::size_t i = 0; i < a.propiedades.size(); ++i) {
    if (a.propiedades[i].Name() != b.propiedades[i].Name()) __builtin_trap();
  }
  if (CuerpoDeArchivo(otra_vez) != cuerpo) __builtin_trap();
  // Values (dates included, whatever their bits) compare through the writer: written once more,
  // the same bytes.
  if (EscribeItem(b, cuerpo) != otra_vez) __builtin_trap();
  return 0;
}
