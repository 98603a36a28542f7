// The two ways the window shows itself.
//
// PantallaTerminal: on a terminal, the five labels as five lines repainted in place (cut to the
// terminal's width), the caption as the terminal's title, message boxes on the line below that
// wait for Enter.
//
// PantallaLineas: without a terminal (or with --once), each caption change is one printed line
// "Label: text" on standard output (Debug lines only when verbose); message boxes go to
// standard error as one line and do not wait. A write that fails (standard output a pipe whose
// reader has gone, a full disk) is passed over: the pass goes on and its outcome is unchanged.
//
// Whatever either prints comes through TextoVisible or CortaParaPantalla: subjects, group names,
// server texts and trace lines come from outside, and a control character among them would be a
// command to the terminal.
//
// Signals (AtiendeSenales): Ctrl-C (SIGINT), SIGTERM and SIGHUP during a pass (while a
// PasadaEnCurso lives) give the terminal back, print kAvisoInterrumpida on standard error and
// end the program by that signal (a shell reports 130 for Ctrl-C, 128 + the number for the
// others), so a stopped pass is never taken for one that ended. What the pass wrote before stays
// as written: every write to the store and to a state file replaces its target in one rename.
// Ctrl-C at the idle panel, between passes, closes it with status 0 (the panel's documented way
// to close). SIGPIPE is ignored.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "app/main_frm.h"

namespace tablon {

class PantallaTerminal : public Pantalla {
 public:
  // Takes the terminal: no echo, keys read one by one; Ctrl-C still interrupts (see above).
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

// The line printed when a signal stops a pass.
inline constexpr char kAvisoInterrumpida[] =
    "Pasada interrumpida: no ha terminado; lo que ya escribió queda guardado.";

// Installs the signal handling described above (main does, before anything else; PantallaTerminal
// does too). Calling it again changes nothing; never fails.
void AtiendeSenales();

// Marks a pass as running for as long as it lives (for the signal handling above).
class PasadaEnCurso {
 public:
  PasadaEnCurso();
  ~PasadaEnCurso();
  PasadaEnCurso(const PasadaEnCurso&) = delete;
  PasadaEnCurso& operator=(const PasadaEnCurso&) = delete;
};

// `texto` made safe to print on a terminal, read as UTF-8: every control character (C0, DEL and
// C1, U+0080 to U+009F) becomes a blank; every byte that is not part of a well-formed UTF-8
// sequence (a raw 0x9B, a stray continuation byte, a cut or overlong sequence, a surrogate)
// becomes '?'. Everything else is kept as it is. Never fails.
std::string TextoVisible(std::string_view texto);

// TextoVisible(texto) cut to at most `columnas` characters, so a caption never breaks the
// panel's lines.
std::string CortaParaPantalla(std::string_view texto, size_t columnas);

}  // namespace tablon
