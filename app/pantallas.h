// The two ways the window shows itself.
//
// PantallaTerminal: on a terminal, the five labels as five lines repainted in place (cut to the
// terminal's width), the caption as the terminal's title, message boxes on the line below that
// wait for Enter.
//
// PantallaLineas: without a terminal (or with --once), each caption change is one printed line
// "Label: text" on standard output (Debug lines only when verbose); message boxes go to
// standard error as one line and do not wait.
#pragma once

#include <cstdio>
#include <string>

#include "app/main_frm.h"

namespace tablon {

class PantallaTerminal : public Pantalla {
 public:
  // Takes the terminal: no echo, keys read one by one; Ctrl-C still interrupts.
  PantallaTerminal();
  ~PantallaTerminal() override;

  void Muestra(const std::string& titulo) override;
  void Pinta(int indice, const std::string& nombre, const std::string& texto) override;
  void Mensaje(const std::string& titulo, const std::string& texto) override;

  // Shows `texto` on the line below the labels (the key help when idle).
  void Ayuda(const std::string& texto);
  // Waits for a key: 'r' or Enter → true (another pass); 'q', Ctrl-D, end of input → false.
  bool EsperaOtraPasada();

 private:
  void EscribeFila(int fila, const std::string& texto);
  bool mostrada_ = false;
  std::string textos_[5];
};

class PantallaLineas : public Pantalla {
 public:
  explicit PantallaLineas(bool verbose) : verbose_(verbose) {}
  void Muestra(const std::string&) override {}
  void Pinta(int indice, const std::string& nombre, const std::string& texto) override;
  void Mensaje(const std::string& titulo, const std::string& texto) override;

 private:
  bool verbose_;
};

// Cuts `texto` to at most `columnas` characters (UTF-8 aware), replacing control characters by
// blanks, so a caption never breaks the panel's lines.
std::string CortaParaPantalla(const std::string& texto, size_t columnas);

}  // namespace tablon
