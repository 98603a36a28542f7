#include "app/main_frm.h"

namespace tablon {

MainFrm::MainFrm() : News1(std::make_shared<nntp::Control>()) {
  News1->Debug = [this](const std::string& text) { News1_Debug(text); };
  FijaAvanceDelPrograma(this);
}

MainFrm::~MainFrm() {
  if (AvanceDelPrograma() == this) FijaAvanceDelPrograma(nullptr);
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

void MainFrm::EmpiezaPasada() {
  if (pantalla_) pantalla_->EmpiezaPasada();
}

void MainFrm::Progreso(Etapa etapa, std::int64_t hecho, std::int64_t total) {
  if (pantalla_) pantalla_->Progreso(etapa, hecho, total);
}

void MainFrm::FinGrupo(const ResumenGrupo& resumen) {
  if (pantalla_) pantalla_->FinGrupo(resumen);
}

void MainFrm::FinPasada(const ResumenPasada& resumen) {
  if (pantalla_) pantalla_->FinPasada(resumen);
}

void ResumenPasada::Suma(const ResumenGrupo& g) {
  ++grupos;
  nuevos += g.nuevos;
  descargados += g.descargados;
  no_disponibles.insert(no_disponibles.end(), g.no_disponibles.begin(), g.no_disponibles.end());
  no_escritos += g.no_escritos;
}

void MainFrm::News1_Debug(const std::string& text) {
  Caption(Debug, text.size() >= 2 ? text.substr(0, text.size() - 2) : std::string());
}

MainFrm& Ventana() {
  static MainFrm ventana;
  return ventana;
}

}  // namespace tablon
