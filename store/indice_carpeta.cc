#include "store/indice_carpeta.h"

#include "core/traduce.h"
#include "store/store.h"

namespace tablon::store {

std::vector<ItemIndexado> SinIndicePersistente::Lee(const ClaveDeItem& clave_de, bool, std::string& informe) {
  informe = Traduce("sin índice");
  std::vector<ItemIndexado> r;
  for (auto& item : carpeta_->Items()) {
    std::string clave;
    try {
      clave = clave_de(item);
    } catch (const std::exception&) {
      // The caller's reading failed: the item joins without a key.
    }
    r.push_back({std::move(item), std::move(clave), false});
  }
  return r;
}

}  // namespace tablon::store
