#include "app/pantallas.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

namespace tablon {

namespace {

constexpr int kFilas = 5;  // label rows; the help line is row 5, where the cursor rests
termios g_original;
bool g_tomado = false;

void Restaura() {
  if (g_tomado) {
    ::tcsetattr(STDIN_FILENO, TCSANOW, &g_original);
    g_tomado = false;
  }
}

void AlInterrumpir(int sig) {
  Restaura();
  const char nl[] = "\n";
  (void)!::write(STDOUT_FILENO, nl, 1);
  // Ctrl-C closes the window; every write of a pass is atomic, so nothing is left half done.
  ::_exit(sig == SIGINT ? 0 : 128 + sig);
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

std::string CortaParaPantalla(const std::string& texto, size_t columnas) {
  std::string r;
  size_t cols = 0;
  for (size_t i = 0; i < texto.size() && cols < columnas;) {
    unsigned char c = static_cast<unsigned char>(texto[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
    if (i + len > texto.size()) len = 1;
    if (c < 0x20 || c == 0x7f) {
      r += ' ';
    } else {
      r.append(texto, i, len);
    }
    i += len;
    ++cols;
  }
  return r;
}

PantallaTerminal::PantallaTerminal() {
  if (::tcgetattr(STDIN_FILENO, &g_original) == 0) {
    termios t = g_original;
    t.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0) g_tomado = true;
  }
  std::atexit(Restaura);
  std::signal(SIGINT, AlInterrumpir);
  std::signal(SIGTERM, AlInterrumpir);
  std::signal(SIGHUP, AlInterrumpir);
}

PantallaTerminal::~PantallaTerminal() {
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
  std::fprintf(stderr, "%s: %s\n", titulo.c_str(), texto.c_str());
}

}  // namespace tablon
