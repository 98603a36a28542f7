// The program's only window, as a terminal panel: five labels stacked top to bottom — Status,
// Servidor, Grupo, Mensaje, Debug — each repainted the moment its caption changes (the program
// is busy for a whole pass; nothing else would paint it). It also carries the news control that
// every server and group shares, and shows the trace of that control in the label Debug.
//
// Besides the labels, the window reports the pass itself: the progress of a group's work (a
// count out of a total), what each subscribed group's work did, and the pass's totals when it
// ends. These are reports, not captions: the labels never show them.
//
// Where the labels and reports go is the business of a Pantalla: the interactive panel on a
// terminal, printed lines in batch mode, or a recorder in tests. There is one program-wide
// window, reached with Ventana().
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "news/avance.h"
#include "nntp/control.h"

namespace tablon {

// What the work on one subscribed group did in a pass.
struct ResumenGrupo {
  std::string nombre;
  std::int64_t nuevos = 0;       // header items written for new articles
  std::int64_t descargados = 0;  // flagged items whose text was downloaded
  // Flagged items whose article the server does not have: each one's subject (its identifier
  // when the subject is empty). They stay flagged header items.
  std::vector<std::string> no_disponibles;
  bool incompleto = false;  // a lost connection cut the group's work short
  // Writes attempted and not made (GrupoNews::NoEscritos), and the cause of the first.
  std::int64_t no_escritos = 0;
  std::string motivo_no_escritos = {};
};

// What a whole pass did: the sum of its groups' reports.
struct ResumenPasada {
  std::int64_t grupos = 0;
  std::int64_t nuevos = 0;
  std::int64_t descargados = 0;
  std::vector<std::string> no_disponibles;
  double segundos = 0;    // how long the pass took
  std::time_t fin = 0;    // when it ended
  std::int64_t no_escritos = 0;
  // Servers whose work a failure ended (one that could not be reached, say).
  std::int64_t servidores_fallidos = 0;
  void Suma(const ResumenGrupo& g);
};

class Pantalla {
 public:
  virtual ~Pantalla() = default;
  // The window becomes visible (first paint).
  virtual void Muestra(const std::string& titulo) = 0;
  // Label `indice` now reads `texto`: paint it at once.
  virtual void Pinta(int indice, const std::string& nombre, const std::string& texto) = 0;
  // A message box with an OK button: returns when the user has closed it (interactive) or at
  // once after showing it (batch).
  virtual void Mensaje(const std::string& titulo, const std::string& texto) = 0;
  // The reports of a pass (see above); a Pantalla that has no use for one ignores it.
  // A pass starts: what the last pass left beside the labels goes.
  virtual void EmpiezaPasada() {}
  // `hecho` of the `total` items of a stage of the current group's work are done. Called once
  // with 0 when the stage starts, then once per item: cheap calls, painted as the Pantalla sees fit.
  virtual void Progreso(Etapa, std::int64_t /*hecho*/, std::int64_t /*total*/) {}
  // A subscribed group's work has ended.
  virtual void FinGrupo(const ResumenGrupo&) {}
  // The pass has ended (also one that then reports groups it could not synchronise).
  virtual void FinPasada(const ResumenPasada&) {}
};

// The window is the program's receiver of the news work's reports (news/avance.h): it installs
// itself when made, and Articulo sets the caption of the label Mensaje.
class MainFrm : public Avance {
 public:
  enum Etiqueta { Status = 0, Servidor, Grupo, Mensaje, Debug };
  static constexpr const char* kNombres[] = {"Status", "Servidor", "Grupo", "Mensaje", "Debug"};
  static constexpr const char* kTitulo = "Form1";

  MainFrm();
  ~MainFrm() override;
  MainFrm(const MainFrm&) = delete;
  MainFrm& operator=(const MainFrm&) = delete;

  void FijaPantalla(std::unique_ptr<Pantalla> pantalla) { pantalla_ = std::move(pantalla); }
  Pantalla* pantalla() const { return pantalla_.get(); }

  // Shows the window (and paints every label).
  void Show();
  // Sets a label's caption and repaints that label at once.
  void Caption(Etiqueta label, std::string text);
  const std::string& Caption(Etiqueta label) const { return captions_[label]; }
  // The standard message box: OK button, the program's title as caption.
  void MsgBox(const std::string& text);

  // The reports of a pass, handed to the Pantalla (nothing without one). Never fail.
  void EmpiezaPasada();
  void Progreso(Etapa etapa, std::int64_t hecho, std::int64_t total) override;
  // The label Mensaje reads `texto` (Caption(Mensaje, texto)).
  void Articulo(const std::string& texto) override { Caption(Mensaje, texto); }
  void FinGrupo(const ResumenGrupo& resumen);
  void FinPasada(const ResumenPasada& resumen);

  // Handler of the control's trace event: the line without its last two characters (its line
  // break) becomes the caption of Debug; a shorter text gives an empty caption.
  void News1_Debug(const std::string& text);

  // The news control that every server and group object talks through.
  std::shared_ptr<nntp::Control> News1;

 private:
  std::array<std::string, 5> captions_;
  std::unique_ptr<Pantalla> pantalla_;
};

// The program-wide window.
MainFrm& Ventana();

}  // namespace tablon
