#include "app/main_frm.h"

namespace tablon {

MainFrm::MainFrm() : News1(std::make_shared<nntp::News>()) {
  News1->Debug = [this](const std::string& text) { News1_Debug(text); };
}

void MainFrm::Show() {
  if (!pantalla_) return;
  pantalla_->Muestra(kTitulo);
}

void MainFrm::Caption(Etiqueta label, std::string text) {
  captions_[label] = std::move(text);
  if (pantalla_) pantalla_->Pinta(label, kNombres[label], captions_[label]);
}

void MainFrm::MsgBox(const std::string& text) {
  if (pantalla_) pantalla_->Mensaje("Tablón", text);
}

void MainFrm::News1_Debug(const std::string& text) {
  Caption(Debug, text.size() >= 2 ? text.substr(0, text.size() - 2) : std::string());
}

MainFrm& Ventana() {
  static MainFrm ventana;
  return ventana;
}

}  // namespace tablon
