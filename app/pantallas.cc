#include "app/pantallas.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/traduce.h"
#include "text/utf8.h"

namespace tablon {

namespace {

// Rows: the five labels, then the progress, the end of the last pass, and the help line, where
// the cursor rests.
constexpr int kFilaProgreso = 5;
constexpr int kFilaFin = 6;
constexpr int kFilas = 7;  // rows above the help line
// The progress is repainted at most this often.
constexpr auto kIntervaloProgreso = std::chrono::milliseconds(100);
termios g_original;
volatile std::sig_atomic_t g_tomado = 0;    // the terminal's settings are ours to give back
volatile std::sig_atomic_t g_panel = 0;     // a PantallaTerminal is showing
volatile std::sig_atomic_t g_en_pasada = 0;  // a PasadaEnCurso lives
// kAvisoInterrumpida in the user's language, looked up before the handler can need it.
std::atomic<const char*> g_aviso = kAvisoInterrumpida;
static_assert(std::atomic<const char*>::is_always_lock_free, "read in a signal handler");

void Restaura() {
  if (g_tomado) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_original);
    g_tomado = 0;
  }
}

template <size_t N>
void EscribeLiteral(int fd, const char (&texto)[N]) {
  (void)!::write(fd, texto, N - 1);
}

void EscribeTexto(int fd, const char* texto) { (void)!::write(fd, texto, std::strlen(texto)); }

// Ends the program by `sig` itself, as if it had not been caught: a calling shell then sees a
// process stopped by Ctrl-C (and a shell loop around it stops too), not one that chose to exit.
[[noreturn]] void TerminaPorSenal(int sig) {
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  ::sigaction(sig, &sa, nullptr);
  ::raise(sig);
  sigset_t conjunto;
  sigemptyset(&conjunto);
  sigaddset(&conjunto, sig);
  ::sigprocmask(SIG_UNBLOCK, &conjunto, nullptr);  // delivered here, and the program ends
  ::_exit(128 + sig);
}

// The signal handler: async-signal-safe calls only.
void AlInterrumpir(int sig) {
  Restaura();
  if (g_en_pasada) {
    // The panel's help line, where the cursor rests, makes room for the notice.
    if (g_panel) EscribeLiteral(STDOUT_FILENO, "\r\x1b[2K");
    EscribeTexto(STDERR_FILENO, g_aviso.load());
    EscribeLiteral(STDERR_FILENO, "\n");
  } else if (g_panel) {
    EscribeLiteral(STDOUT_FILENO, "\n");
    if (sig == SIGINT) ::_exit(0);  // Ctrl-C closes the idle panel
  }
  TerminaPorSenal(sig);
}

size_t Columnas() {
  winsize ws{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

void Escribe(const std::string& s) {
  std::fwrite(s.data(), 1, s.size(), stdout);
  std::fflush(stdout);
}


}  // namespace

namespace {

// How many columns `texto` takes (a character each, read as UTF-8).
size_t Columnas(std::string_view texto) {
  size_t n = 0;
  for (const char c : texto) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// A decimal number with one decimal and a decimal comma: "2,3" (a point in English).
std::string UnDecimal(double v) {
  const auto decimas = static_cast<std::int64_t>(std::llround(v * 10));
  return std::to_string(decimas / 10) + TraduceEn("separador decimal", ",") + std::to_string(decimas % 10);
}

// " («a», «b»)", the names of the items not available.
std::string Nombres(const std::vector<std::string>& nombres) {
  std::string r = " (";
  for (size_t i = 0; i < nombres.size(); ++i) r += (i ? ", «" : "«") + nombres[i] + "»";
  return r + ")";
}

// What a group's or a pass's line counts.
struct Cuentas {
  std::int64_t nuevos = 0, descargados = 0;
  const std::vector<std::string>* no_disponibles = nullptr;
  std::int64_t no_escritos = 0;
  const std::string* motivo_no_escritos = nullptr;  // shown after their count when given
  std::int64_t servidores_fallidos = 0;
};

// "120 nuevos, 3 descargados, 1 no disponible, 2 no escritos (motivo)", the parts that are not
// zero; "" when none is. Names of the items not available when `con_nombres`.
std::string Partes(const Cuentas& c, bool con_nombres) {
  std::string r;
  auto agrega = [&](const std::string& parte) { r += (r.empty() ? "" : ", ") + parte; };
  if (c.nuevos > 0) agrega(Cuenta(c.nuevos, "nuevo", "nuevos"));
  if (c.descargados > 0) agrega(Cuenta(c.descargados, "descargado", "descargados"));
  if (c.no_disponibles && !c.no_disponibles->empty()) {
    agrega(Cuenta(static_cast<std::int64_t>(c.no_disponibles->size()), "no disponible", "no disponibles"));
    if (con_nombres) r += Nombres(*c.no_disponibles);
  }
  if (c.no_escritos > 0) {
    agrega(Cuenta(c.no_escritos, "no escrito", "no escritos"));
    if (c.motivo_no_escritos && !c.motivo_no_escritos->empty()) r += " (" + *c.motivo_no_escritos + ")";
  }
  if (c.servidores_fallidos > 0) {
    agrega(Cuenta(c.servidores_fallidos, "servidor sin sincronizar", "servidores sin sincronizar"));
  }
  return r;
}

}  // namespace

std::string Cuenta(std::int64_t n, const char* singular, const char* plural) {
  return std::to_string(n) + " " + TraducePlural(singular, plural, n);
}

std::string TextoGrupo(const ResumenGrupo& g) {
  std::string partes = Partes({g.nuevos, g.descargados, &g.no_disponibles, g.no_escritos, &g.motivo_no_escritos, 0}, true);
  if (g.incompleto) {
    partes += (partes.empty() ? "" : "; ") + std::string(Traduce("sin terminar: se perdió la conexión"));
  } else if (partes.empty()) {
    partes = Traduce("sin novedades");
  }
  return Formatea(Traduce("Grupo %s: %s"), {g.nombre, partes});
}

std::string TextoTotales(const ResumenPasada& p, bool con_nombres) {
  const std::string partes =
      Partes({p.nuevos, p.descargados, &p.no_disponibles, p.no_escritos, nullptr, p.servidores_fallidos}, con_nombres);
  if (p.grupos == 0) {
    const std::string ninguno = Traduce("ningún grupo subscrito");
    return partes.empty() ? ninguno : ninguno + ", " + partes;
  }
  return Cuenta(p.grupos, "grupo", "grupos") + ", " + (partes.empty() ? std::string(Traduce("sin novedades")) : partes);
}

std::string TextoDuracion(double segundos) {
  if (!(segundos >= 0)) segundos = 0;
  if (std::llround(segundos * 10) < 600) return UnDecimal(segundos) + " s";
  const auto s = static_cast<std::int64_t>(std::llround(segundos));
  auto dos_cifras = [](std::int64_t n) { return (n < 10 ? "0" : "") + std::to_string(n); };
  if (s < 3600) return std::to_string(s / 60) + " min " + dos_cifras(s % 60) + " s";
  return std::to_string(s / 3600) + " h " + dos_cifras(s / 60 % 60) + " min";
}

std::string TextoFinLineas(const ResumenPasada& p) {
  return Formatea(Traduce("Pasada terminada en %s: %s"), {TextoDuracion(p.segundos), TextoTotales(p, false)});
}

std::string TextoFinPanel(const ResumenPasada& p, size_t columnas) {
  char hora[16] = "";
  std::tm local{};
  if (::localtime_r(&p.fin, &local)) std::strftime(hora, sizeof hora, "%H:%M:%S", &local);
  const std::string duracion = TextoDuracion(p.segundos);
  const std::string completo =
      Formatea(Traduce("Pasada terminada a las %s (%s): %s"), {hora, duracion, TextoTotales(p, true)});
  if (Columnas(completo) <= columnas) return completo;
  // Too wide: the names of the items not available go first, then the words around the totals;
  // a count is never cut.
  for (const std::string& corto :
       {Formatea(Traduce("Pasada terminada a las %s (%s): %s"), {hora, duracion, TextoTotales(p, false)}),
        Formatea(Traduce("Terminada %s (%s): %s"), {hora, duracion, TextoTotales(p, false)}),
        TextoTotales(p, false)}) {
    if (Columnas(corto) <= columnas) return corto;
  }
  return TextoTotales(p, false);
}

std::string TextoProgreso(Etapa etapa, std::int64_t hecho, std::int64_t total, double segundos) {
  const char* formato = etapa == Etapa::Escribiendo ? Traduce("Escribiendo artículos nuevos: %s de %s")
                                                    : Traduce("Descargando marcados: %s de %s");
  std::string r = Formatea(formato, {std::to_string(hecho), std::to_string(total)});
  if (segundos >= 0.1) {
    const double tasa = static_cast<double>(hecho) / segundos;
    const std::string cifra = tasa < 10 ? UnDecimal(tasa) : std::to_string(std::llround(tasa));
    r += Formatea(Traduce(" (%s artículos/s)"), {cifra});
  }
  return r;
}

void AtiendeSenales() {
  g_aviso = Traduce(kAvisoInterrumpida);
  struct sigaction sa {};
  sigemptyset(&sa.sa_mask);
  sa.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &sa, nullptr);
  sa.sa_handler = AlInterrumpir;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

PasadaEnCurso::PasadaEnCurso() { g_en_pasada = 1; }
PasadaEnCurso::~PasadaEnCurso() { g_en_pasada = 0; }

std::string TextoVisible(std::string_view texto) { return CortaParaPantalla(texto, texto.size()); }

std::string CortaParaPantalla(std::string_view texto, size_t columnas) {
  std::string r;
  r.reserve(std::min(texto.size(), columnas * 4));
  size_t cols = 0;
  for (size_t i = 0; i < texto.size() && cols < columnas; ++cols) {
    char32_t cp = 0;
    const size_t len = SecuenciaUtf8(texto.substr(i), cp);
    if (len == 0) {
      r += '?';
      ++i;
    } else if (cp < 0x20 || (cp >= 0x7f && cp < 0xa0)) {
      r += ' ';
      i += len;
    } else {
      r.append(texto.substr(i, len));
      i += len;
    }
  }
  return r;
}

PantallaTerminal::PantallaTerminal() {
  if (::tcgetattr(STDIN_FILENO, &g_original) == 0) {
    termios t = g_original;
    t.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0) g_tomado = 1;
  }
  std::atexit(Restaura);
  AtiendeSenales();
  g_panel = 1;
}

PantallaTerminal::~PantallaTerminal() {
  g_panel = 0;
  Escribe("\r\x1b[2K");
  Restaura();
}

void PantallaTerminal::Muestra(const std::string& titulo) {
  if (mostrada_) return;  // showing a visible window again changes nothing
  mostrada_ = true;
  std::string s = "\x1b]0;" + titulo + "\x07";
  for (int i = 0; i < kFilas; ++i) s += "\r\x1b[2K" + CortaParaPantalla(textos_[i], Columnas() - 1) + "\n";
  Escribe(s);
}

void PantallaTerminal::FijaFila(int fila, std::string texto) {
  textos_[fila] = std::move(texto);
  if (mostrada_) EscribeFila(fila, textos_[fila]);
}

void PantallaTerminal::EmpiezaPasada() {
  total_ = -1;
  FijaFila(kFilaProgreso, "");
  FijaFila(kFilaFin, "");
  if (mostrada_) Ayuda("");
}

void PantallaTerminal::Progreso(Etapa etapa, std::int64_t hecho, std::int64_t total) {
  const auto ahora = std::chrono::steady_clock::now();
  const bool empieza = hecho == 0 || etapa != etapa_ || total != total_;
  if (empieza) {
    etapa_ = etapa;
    total_ = total;
    inicio_etapa_ = ahora;
  } else if (hecho < total && ahora - ultimo_pintado_ < kIntervaloProgreso) {
    return;  // counted; painted by a later report
  }
  ultimo_pintado_ = ahora;
  FijaFila(kFilaProgreso, TextoProgreso(etapa, hecho, total, std::chrono::duration<double>(ahora - inicio_etapa_).count()));
}

void PantallaTerminal::FinPasada(const ResumenPasada& resumen) {
  FijaFila(kFilaFin, TextoFinPanel(resumen, Columnas() - 1));
}

void PantallaTerminal::EscribeFila(int fila, const std::string& texto) {
  const int arriba = kFilas - fila;
  std::string s;
  if (arriba > 0) s += "\x1b[" + std::to_string(arriba) + "A";
  s += "\r\x1b[2K" + CortaParaPantalla(texto, Columnas() - 1);
  if (arriba > 0) s += "\x1b[" + std::to_string(arriba) + "B";
  s += "\r";
  Escribe(s);
}

void PantallaTerminal::Pinta(int indice, const std::string&, const std::string& texto) {
  textos_[indice] = texto;
  if (mostrada_) EscribeFila(indice, texto);
}

void PantallaTerminal::Ayuda(const std::string& texto) { EscribeFila(kFilas, texto); }

void PantallaTerminal::Mensaje(const std::string& titulo, const std::string& texto) {
  EscribeFila(kFilas, "[" + titulo + "] " + texto + Traduce("   (Intro: aceptar)"));
  char c;
  while (::read(STDIN_FILENO, &c, 1) == 1 && c != '\n' && c != '\r') {
  }
  EscribeFila(kFilas, "");
}

bool PantallaTerminal::EsperaOtraPasada() {
  char c;
  while (true) {
    ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n <= 0) return false;
    if (c == 'q' || c == 'Q' || c == 4) return false;
    if (c == 'r' || c == 'R' || c == '\n' || c == '\r') return true;
  }
}

void PantallaLineas::Pinta(int indice, const std::string& nombre, const std::string& texto) {
  if (quiet_ || (indice != MainFrm::Status && !verbose_)) return;
  std::string line = nombre + ": " + CortaParaPantalla(texto, texto.size()) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  if (indice == MainFrm::Status) std::fflush(stdout);
}

void PantallaLineas::Linea(const std::string& texto) {
  if (quiet_) return;
  const std::string line = TextoVisible(texto) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void PantallaLineas::FinGrupo(const ResumenGrupo& resumen) {
  if (!quiet_) {
    Linea(TextoGrupo(resumen));
    return;
  }
  // Quiet, a group's line is an error's when some of its work was not done.
  if (resumen.no_escritos == 0 && !resumen.incompleto) return;
  std::fflush(stdout);
  const std::string line = TextoVisible(TextoGrupo(resumen)) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void PantallaLineas::FinPasada(const ResumenPasada& resumen) { Linea(TextoFinLineas(resumen)); }

void PantallaLineas::Mensaje(const std::string& titulo, const std::string& texto) {
  std::fflush(stdout);
  const std::string line = TextoVisible(titulo) + ": " + TextoVisible(texto) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace tablon
