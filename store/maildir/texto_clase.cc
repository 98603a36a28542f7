#include "store/maildir/texto_clase.h"

#include <mutex>
#include <set>

namespace tablon::store::maildir {

TextoClase::TextoClase() {
  static const std::string kNota = "IPM.Note";  // every new item's: no lookup
  texto_ = &kNota;
}

TextoClase::TextoClase(std::string v) {
  static std::mutex cerrojo;
  static std::set<std::string, std::less<>> compartidos;
  std::lock_guard<std::mutex> guarda(cerrojo);
  if (auto it = compartidos.find(v); it != compartidos.end()) {
    texto_ = &*it;
  } else if (compartidos.size() < 64) {
    texto_ = &*compartidos.insert(std::move(v)).first;
  } else {
    propio_ = std::make_unique<const std::string>(std::move(v));
    texto_ = propio_.get();
  }
}

}  // namespace tablon::store::maildir
