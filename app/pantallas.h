// The two ways the window shows itself.
//
// PantallaTerminal: on a terminal, the five labels as five lines repainted in place (cut to the
// terminal's width), the caption as the terminal's title. Below them, each on its own line: the
// progress of the current group's work (TextoProgreso, repainted at most ten times a second and
// whenever a stage starts or completes), the line that says the last pass ended (TextoFinPanel),
// and the line where the cursor rests: the key help while idle, message boxes that wait for
// Enter. A new pass clears the three.
//
// PantallaLineas: without a terminal (or with --once), batch output on standard output: each
// Status caption change as a line "Status: text"; one line per subscribed group at the end of
// its work (TextoGrupo); one closing line with the totals and the time taken (TextoFinLineas).
// The other labels' changes ("Label: text") only when verbose. Quiet, it prints nothing on
// standard output, and the line of a group whose work was not all done (writes not made, a lost
// connection) on standard error. Message boxes go to standard error as one line, quiet or not, and do not
// wait. A write that fails (standard output a pipe whose reader has gone, a full disk) is passed
// over: the pass goes on and its outcome is unchanged.
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

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "app/main_frm.h"
#include "app/traduce.h"

namespace tablon {

class PantallaTerminal : public Pantalla {
 public:
  // Takes the terminal: no echo, keys read one by one; Ctrl-C still interrupts (see above).
  PantallaTerminal();
  ~PantallaTerminal() override;

  void Muestra(const std::string& titulo) override;
  void Pinta(int indice, const std::string& nombre, const std::string& texto) override;
  void Mensaje(const std::string& titulo, const std::string& texto) override;
  void EmpiezaPasada() override;
  void Progreso(Etapa etapa, std::int64_t hecho, std::int64_t total) override;
  void FinPasada(const ResumenPasada& resumen) override;

  // Shows `texto` on the line where the cursor rests (the key help when idle).
  void Ayuda(const std::string& texto);
  // Waits for a key: 'r' or Enter → true (another pass); 'q', Ctrl-D, end of input → false.
  bool EsperaOtraPasada();

 private:
  void EscribeFila(int fila, const std::string& texto);
  // Sets a line below the labels, painting it when the panel is shown.
  void FijaFila(int fila, std::string texto);
  bool mostrada_ = false;
  std::string textos_[7];  // the five labels, the progress, the end of the last pass
  // The stage being counted: when it started and when its progress was last painted.
  Etapa etapa_ = Etapa::Escribiendo;
  std::int64_t total_ = -1;
  std::chrono::steady_clock::time_point inicio_etapa_, ultimo_pintado_;
};

class PantallaLineas : public Pantalla {
 public:
  explicit PantallaLineas(bool verbose, bool quiet = false) : verbose_(verbose), quiet_(quiet) {}
  void Muestra(const std::string&) override {}
  void Pinta(int indice, const std::string& nombre, const std::string& texto) override;
  void Mensaje(const std::string& titulo, const std::string& texto) override;
  void FinGrupo(const ResumenGrupo& resumen) override;
  void FinPasada(const ResumenPasada& resumen) override;

 private:
  void Linea(const std::string& texto);
  bool verbose_;
  bool quiet_;
};

// The texts of the reports, in Spanish or in the user's language (app/traduce.h), counts in
// singular or plural as they need. Names in them (groups, subjects) are as given: whoever prints
// them passes them through TextoVisible. Never fail (but for memory).
//
// A count and its noun: "1 grupo", "2 grupos", "0 grupos"; the noun translated.
std::string Cuenta(std::int64_t n, const char* singular, const char* plural);
// A group's line: "Grupo comp.lang.c: 120 nuevos, 3 descargados, 1 no disponible («Asunto»)";
// parts that are zero are left out, "sin novedades" when all are; writes not made are counted
// with the cause of the first ("19238 no escritos (No queda espacio en el dispositivo)"); a
// group whose work a lost connection cut short adds "sin terminar: se perdió la conexión".
std::string TextoGrupo(const ResumenGrupo& resumen);
// A pass's totals: "3 grupos, 120 nuevos, 3 descargados, 1 no disponible, 2 no escritos,
// 1 servidor sin sincronizar", with the names of those not available when `con_nombres`;
// "ningún grupo subscrito" when there was none; "N grupos, sin novedades" when nothing else
// happened.
std::string TextoTotales(const ResumenPasada& resumen, bool con_nombres);
// A span of time: "0,4 s", "59,9 s", "2 min 05 s", "1 h 02 min".
std::string TextoDuracion(double segundos);
// The closing line of a batch pass: "Pasada terminada en 2,3 s: " + totals without names.
std::string TextoFinLineas(const ResumenPasada& resumen);
// The panel's line after a pass: "Pasada terminada a las 14:03:22 (2,3 s): " + totals with
// names; the time is `fin` in local time. Wider than `columnas`, it is shortened without
// cutting a count: the names go, then the words around the totals ("Terminada 14:03:22
// (2,3 s): …"), then all but the totals (which a terminal narrower than them cuts).
std::string TextoFinPanel(const ResumenPasada& resumen, size_t columnas = SIZE_MAX);
// The progress of a stage: "Escribiendo artículos nuevos: 1200 de 20000 (3400 artículos/s)"
// or "Descargando marcados: 2 de 3 (1,5 artículos/s)"; the rate is left out before a tenth of
// a second has passed since the stage started (`segundos`).
std::string TextoProgreso(Etapa etapa, std::int64_t hecho, std::int64_t total, double segundos);

// The line printed when a signal stops a pass (in the user's language).
inline constexpr const char* kAvisoInterrumpida =
    ParaTraducir("Pasada interrumpida: no ha terminado; lo que ya escribió queda guardado.");

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
