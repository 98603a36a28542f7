#include "app/pantallas.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>

namespace tablon {

namespace {

constexpr int kFilas = 5;  // label rows; the help line is row 5, where the cursor rests
termios g_original;
volatile std::sig_atomic_t g_tomado = 0;    // the terminal's settings are ours to give back
volatile std::sig_atomic_t g_panel = 0;     // a PantallaTerminal is showing
volatile std::sig_atomic_t g_en_pasada = 0;  // a PasadaEnCurso lives

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
    EscribeLiteral(STDERR_FILENO, kAvisoInterrumpida);
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

// Length of the well-formed UTF-8 sequence that `t` starts with (RFC 3629), its code point in
// `cp`; 0 when there is none.
size_t Secuencia(std::string_view t, char32_t& cp) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(t[k]); };
  const unsigned char c = byte(0);
  size_t len;
  char32_t menor;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if (c >= 0xc2 && c <= 0xdf) {
    len = 2, cp = c & 0x1f, menor = 0x80;
  } else if (c >= 0xe0 && c <= 0xef) {
    len = 3, cp = c & 0x0f, menor = 0x800;
  } else if (c >= 0xf0 && c <= 0xf4) {
    len = 4, cp = c & 0x07, menor = 0x10000;
  } else {
    return 0;
  }
  if (t.size() < len) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((byte(k) & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (byte(k) & 0x3f);
  }
  if (cp < menor || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
  return len;
}

}  // namespace

void AtiendeSenales() {
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
    const size_t len = Secuencia(texto.substr(i), cp);
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
  EscribeFila(kFilas, "[" + titulo + "] " + texto + "   (Intro: aceptar)");
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
  if (indice == MainFrm::Debug && !verbose_) return;
  std::string line = nombre + ": " + CortaParaPantalla(texto, texto.size()) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  if (indice == MainFrm::Status) std::fflush(stdout);
}

void PantallaLineas::Mensaje(const std::string& titulo, const std::string& texto) {
  std::fflush(stdout);
  const std::string line = TextoVisible(titulo) + ": " + TextoVisible(texto) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace tablon
