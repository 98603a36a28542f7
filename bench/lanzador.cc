#include "lanzador.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace tablon::bench {

namespace {

bool LeeTodo(int fd, void* p, std::size_t n) {
  char* c = static_cast<char*>(p);
  while (n > 0) {
    const ssize_t r = read(fd, c, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    c += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

bool EscribeTodo(int fd, const void* p, std::size_t n) {
  const char* c = static_cast<const char*>(p);
  while (n > 0) {
    const ssize_t r = send(fd, c, n, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    c += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

// A request is three lists of texts (the arguments, the environment, the log's path alone), each
// a count and then each text as its length and its bytes; an answer is a Corrida.
void AgregaLista(std::string& msg, const std::vector<std::string>& l) {
  const auto cuenta = static_cast<std::uint32_t>(l.size());
  msg.append(reinterpret_cast<const char*>(&cuenta), sizeof cuenta);
  for (const auto& s : l) {
    const auto largo = static_cast<std::uint32_t>(s.size());
    msg.append(reinterpret_cast<const char*>(&largo), sizeof largo);
    msg += s;
  }
}

bool LeeLista(int fd, std::vector<std::string>& l) {
  std::uint32_t cuenta = 0;
  if (!LeeTodo(fd, &cuenta, sizeof cuenta)) return false;
  for (std::uint32_t i = 0; i < cuenta; ++i) {
    std::uint32_t largo = 0;
    if (!LeeTodo(fd, &largo, sizeof largo)) return false;
    std::string s(largo, '\0');
    if (!LeeTodo(fd, s.data(), largo)) return false;
    l.push_back(std::move(s));
  }
  return true;
}

// The helper: one request at a time until the socket closes.
[[noreturn]] void Ayuda(int fd) {
  for (;;) {
    std::vector<std::string> args, entorno, log;
    if (!LeeLista(fd, args) || !LeeLista(fd, entorno) || !LeeLista(fd, log) || args.empty() || log.size() != 1) {
      _exit(0);
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Corrida c;
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
      for (auto& e : entorno) putenv(e.data());
      const int nulo = open("/dev/null", O_WRONLY | O_CLOEXEC);
      const int err = open(log[0].c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      dup2(nulo, 1);
      dup2(err, 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    int st = 0;
    rusage ru{};
    if (pid < 0 || wait4(pid, &st, 0, &ru) != pid) {
      c.estado = -1;
    } else {
      c.segundos = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      c.maxrss_kb = ru.ru_maxrss;
      c.estado = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    if (!EscribeTodo(fd, &c, sizeof c)) _exit(0);
  }
}

}  // namespace

Lanzador::Lanzador() {
  int par[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, par) != 0) {
    throw std::runtime_error(std::string("socketpair: ") + std::strerror(errno));
  }
  ayudante_ = fork();
  if (ayudante_ < 0) {
    close(par[0]);
    close(par[1]);
    throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  }
  if (ayudante_ == 0) {
    close(par[0]);
    Ayuda(par[1]);
  }
  close(par[1]);
  fd_ = par[0];
}

Lanzador::~Lanzador() {
  close(fd_);
  int st = 0;
  while (waitpid(ayudante_, &st, 0) < 0 && errno == EINTR) {
  }
}

Corrida Lanzador::Ejecuta(const std::vector<std::string>& args, const std::vector<std::string>& entorno,
                          const std::string& log) const {
  std::string msg;
  AgregaLista(msg, args);
  AgregaLista(msg, entorno);
  AgregaLista(msg, {log});
  Corrida c;
  if (!EscribeTodo(fd_, msg.data(), msg.size()) || !LeeTodo(fd_, &c, sizeof c)) {
    throw std::runtime_error("el proceso que lanza tablon terminó");
  }
  if (c.estado < 0) throw std::runtime_error("no se pudo ejecutar " + args[0]);
  return c;
}

}  // namespace tablon::bench
