// The program's only window, as a terminal panel: five labels stacked top to bottom — Status,
// Servidor, Grupo, Mensaje, Debug — each repainted the moment its caption changes (the program
// is busy for a whole pass; nothing else would paint it). It also carries the news control that
// every server and group shares, and shows the trace of that control in the label Debug.
//
// Where the labels go is the business of a Pantalla: the interactive panel on a terminal, one
// printed line per change in batch mode, or a recorder in tests. There is one program-wide
// window, reached with Ventana().
#pragma once

#include <array>
#include <memory>
#include <string>

#include "nntp/news.h"

namespace tablon {

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
};

class MainFrm {
 public:
  enum Etiqueta { Status = 0, Servidor, Grupo, Mensaje, Debug };
  static constexpr const char* kNombres[] = {"Status", "Servidor", "Grupo", "Mensaje", "Debug"};
  static constexpr const char* kTitulo = "Form1";

  MainFrm();

  void FijaPantalla(std::unique_ptr<Pantalla> pantalla) { pantalla_ = std::move(pantalla); }
  Pantalla* pantalla() const { return pantalla_.get(); }

  // Shows the window (and paints every label).
  void Show();
  // Sets a label's caption and repaints that label at once.
  void Caption(Etiqueta label, std::string text);
  const std::string& Caption(Etiqueta label) const { return captions_[label]; }
  // The standard message box: OK button, the program's title as caption.
  void MsgBox(const std::string& text);

  // Handler of the control's trace event: the line without its last two characters (its line
  // break) becomes the caption of Debug; a shorter text gives an empty caption.
  void News1_Debug(const std::string& text);

  // The news control that every server and group object talks through.
  std::shared_ptr<nntp::News> News1;

 private:
  std::array<std::string, 5> captions_;
  std::unique_ptr<Pantalla> pantalla_;
};

// The program-wide window.
MainFrm& Ventana();

}  // namespace tablon
