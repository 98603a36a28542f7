#include "core/paso.h"

namespace tablon {
namespace {
std::function<void(const std::string&)>& Observador() {
  static std::function<void(const std::string&)> observer;
  return observer;
}
}  // namespace

void FijaObservadorDeFallos(std::function<void(const std::string&)> observer) {
  Observador() = std::move(observer);
}

void NotificaFalloOmitido(const std::exception& e) noexcept {
  try {
    if (Observador()) Observador()(e.what());
  } catch (...) {
    // The observer is a trace; it must never turn a skipped step into a failure.
  }
}

void Recuento::Anota(const std::exception& e) noexcept {
  ++fallos_;
  if (fallos_ > 1) return;
  try {
    const auto* error = dynamic_cast<const Error*>(&e);
    numero_ = error ? error->Number() : 0;
    motivo_ = error ? error->Motivo() : e.what();
  } catch (...) {
    motivo_.clear();
  }
}

}  // namespace tablon
