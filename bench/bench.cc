// tablon-bench: measures a synchronisation pass against the local INN and the floors that bound
// it, in one run, and prints them side by side. Never part of the tests.
//
//   tablon-bench --tablon PATH --work DIR [--reps R] [--fsync-reps F] [--fsync-hasta N] N...
//
// Per N: a new group of N articles (one in three a reply to an article of the group), then
//   Tablón  W1 first pass into an empty store, W2 a second pass with nothing new, W3 a pass after
//           1% of the items were flagged (renamed with F, as a mail client does); wall time and
//           peak memory (ru_maxrss of the tablon process); W1 again with one fsync per item
//           (TABLON_DURABILIDAD=elemento) to price that policy;
//   floors  raw GROUP + OVER over a plain socket, lines dropped; N item files of the items' own
//           bytes through tmp/ + rename, one syncfs at the end (the store's policy), and with one
//           fsync per file; reading N item files up to their blank line (cached); the same ARTICLE
//           fetches as W3 over a plain socket plus the replacement of each item (written to
//           tmp/ with fsync, renamed to a new name, the old file removed).
// Each figure is the median of R runs. The tablon process runs as a user runs it:
//   tablon --once --store S --servers-dir D   (stdout to /dev/null)
// with a state file written beforehand that lists only the bench group, subscribed, and a check
// date of now: the server's full group list is not part of W1 (its NEWGROUPS answer is empty).
//
// The file system may be slow to create files right after many were deleted (ext4 without a
// journal): old stores are moved aside into DIR/trash and deleted only at the end.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/inn.h"

namespace {

namespace fs = std::filesystem;
using Reloj = std::chrono::steady_clock;
using tablon::test::Article;
using tablon::test::Inn;

double Segundos(Reloj::time_point desde) {
  return std::chrono::duration<double>(Reloj::now() - desde).count();
}

double Mediana(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

[[noreturn]] void Falla(const std::string& que) {
  throw std::runtime_error(que + (errno ? std::string(": ") + std::strerror(errno) : ""));
}

int Puerto() {
  const char* p = std::getenv("TABLON_INN_PORT");
  return p && *p ? std::atoi(p) : 11119;
}

// ---- Raw NNTP ------------------------------------------------------------------------------

class Nntp {
 public:
  Nntp() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(Puerto()));
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) Falla("connect");
    const int uno = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &uno, sizeof uno);
    buf_.resize(1 << 16);
    Linea();  // greeting
    Orden("MODE READER");
  }
  ~Nntp() {
    Envia("QUIT");
    close(fd_);
  }

  void Envia(const std::string& s) {
    const std::string l = s + "\r\n";
    if (send(fd_, l.data(), l.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(l.size())) Falla("send");
  }
  std::string Orden(const std::string& s) {
    Envia(s);
    return std::string(Linea());
  }
  // The next line without CRLF; valid until the next call.
  std::string_view Linea() {
    for (;;) {
      if (const void* lf = std::memchr(buf_.data() + ini_, '\n', fin_ - ini_)) {
        const size_t largo = static_cast<size_t>(static_cast<const char*>(lf) - (buf_.data() + ini_));
        std::string_view l(buf_.data() + ini_, largo);
        ini_ += largo + 1;
        if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
        return l;
      }
      if (ini_ > 0) {
        std::memmove(buf_.data(), buf_.data() + ini_, fin_ - ini_);
        fin_ -= ini_;
        ini_ = 0;
      }
      if (fin_ == buf_.size()) buf_.resize(buf_.size() * 2);
      const int uno = 1;
      setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &uno, sizeof uno);
      const ssize_t n = recv(fd_, buf_.data() + fin_, buf_.size() - fin_, 0);
      if (n <= 0) Falla("recv");
      fin_ += static_cast<size_t>(n);
    }
  }
  // Reads a multi-line block to its "."; returns its bytes (line ends included) and lines.
  std::pair<size_t, size_t> Bloque() {
    size_t bytes = 0, lineas = 0;
    for (;;) {
      const std::string_view l = Linea();
      if (l == ".") return {bytes, lineas};
      bytes += l.size() + 2;
      ++lineas;
    }
  }

 private:
  int fd_ = -1;
  std::vector<char> buf_;
  size_t ini_ = 0, fin_ = 0;
};

// ---- Files ---------------------------------------------------------------------------------

void EscribeArchivo(const std::string& ruta, const std::string& datos, bool fsync_cada) {
  const int fd = open(ruta.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) Falla("open " + ruta);
  if (write(fd, datos.data(), datos.size()) != static_cast<ssize_t>(datos.size())) Falla("write");
  if (fsync_cada && fsync(fd) != 0) Falla("fsync");
  close(fd);
}

std::string LeeArchivo(const std::string& ruta) {
  std::string r;
  const int fd = open(ruta.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Falla("open " + ruta);
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) r.append(buf, static_cast<size_t>(n));
  close(fd);
  return r;
}

std::vector<std::string> Lista(const std::string& dir) {
  std::vector<std::string> r;
  DIR* d = opendir(dir.c_str());
  if (!d) return r;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') r.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(r.begin(), r.end());
  return r;
}

void SyncFs(const std::string& dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 || syncfs(fd) != 0) Falla("syncfs");
  close(fd);
}

void Cuarentena(const std::string& trash, const std::string& dir) {
  static int n = 0;
  if (!fs::exists(dir)) return;
  fs::create_directories(trash);
  fs::rename(dir, trash + "/" + std::to_string(getpid()) + "-" + std::to_string(++n));
}

// ---- The tablon process --------------------------------------------------------------------

struct Corrida {
  double segundos = 0;
  long maxrss_kb = 0;
  int estado = 0;
};

Corrida Ejecuta(const std::vector<std::string>& args, const std::vector<std::string>& entorno,
                const std::string& log) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto t0 = Reloj::now();
  const pid_t pid = fork();
  if (pid < 0) Falla("fork");
  if (pid == 0) {
    for (auto& e : entorno) putenv(const_cast<char*>(e.c_str()));
    const int nulo = open("/dev/null", O_WRONLY);
    const int err = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    dup2(nulo, 1);
    dup2(err, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int st = 0;
  rusage ru{};
  if (wait4(pid, &st, 0, &ru) != pid) Falla("wait4");
  Corrida c;
  c.segundos = Segundos(t0);
  c.maxrss_kb = ru.ru_maxrss;
  c.estado = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return c;
}

std::string EstadoFecha(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1,
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

// The group's folder in the store: news/HOST/a/b/c.
std::string CarpetaGrupo(const std::string& store, const std::string& host, const std::string& grupo) {
  std::string r = store + "/news/" + host;
  size_t i = 0;
  for (;;) {
    const size_t p = grupo.find('.', i);
    r += "/" + grupo.substr(i, p == std::string::npos ? std::string::npos : p - i);
    if (p == std::string::npos) return r;
    i = p + 1;
  }
}

struct Config {
  std::string tablon;
  std::string work;
  int reps = 3;
  int fsync_reps = 1;
  int fsync_hasta = 20000;  // the fsync-per-item figures only up to this N (they take minutes)
  std::vector<int> tamanos;
};

struct Resultado {
  int n = 0;
  double w1 = 0, w2 = 0, w3 = 0, w1_fsync = 0;
  double mem_w1 = 0, mem_w2 = 0, mem_w3 = 0;
  double over = 0, escrituras = 0, escrituras_fsync = 0, lecturas = 0, articulos = 0;
  double bytes_over = 0, lineas_over = 0, tam_item = 0;
  int flagged = 0;
  size_t items = 0;
};

std::vector<Article> Articulos(const std::string& grupo, int n, const std::string& tag) {
  std::vector<Article> r;
  r.reserve(static_cast<size_t>(n));
  auto id = [&](int k) { return "<" + tag + "." + std::to_string(k) + "@bench.tablon.test>"; };
  const std::string fecha = tablon::test::DateNow();
  for (int k = 0; k < n; ++k) {
    Article a;
    a.message_id = id(k);
    a.newsgroups = grupo;
    a.date = fecha;
    const int raiz = k - k % 3;
    a.from = k % 2 ? "Ana Pérez <ana@example.test>" : "\"Bärbel\" <baerbel@example.test>";
    a.subject = "Tema de prueba número " + std::to_string(k) + " sobre café";
    if (k % 3 == 2) {  // one in three answers the root of its triple
      a.subject = "Re: Tema de prueba número " + std::to_string(raiz) + " sobre café";
      a.references = id(raiz);
    }
    a.body = "Artículo " + std::to_string(k) + ".\nUna línea de texto de un artículo de noticias.\n"
             "Otra línea, con algo más de texto para un tamaño habitual.\n-- \nfirma\n";
    r.push_back(std::move(a));
  }
  return r;
}

Resultado Mide(const Config& cfg, int n) {
  Resultado res;
  res.n = n;
  const std::string host = "127.0.0.1:" + std::to_string(Puerto());
  const std::string trash = cfg.work + "/trash";
  const std::string tag = "b" + std::to_string(std::time(nullptr)) + "p" + std::to_string(getpid()) +
                          "n" + std::to_string(n);
  const std::string grupo = "tablon.bench." + tag;
  std::fprintf(stderr, "== N=%d: grupo %s\n", n, grupo.c_str());
  Inn::CreateGroup(grupo);
  {
    const auto t0 = Reloj::now();
    Inn::Post(Articulos(grupo, n, tag));
    std::fprintf(stderr, "   %d artículos enviados a INN en %.2f s\n", n, Segundos(t0));
  }
  std::vector<std::string> flag_ids;  // the articles W3 downloads (for the raw fetches)

  auto corre = [&](const std::string& store, const std::string& servers,
                   const std::vector<std::string>& entorno) {
    Corrida c = Ejecuta({cfg.tablon, "--once", "--store", store, "--servers-dir", servers}, entorno,
                        cfg.work + "/tablon.log");
    if (c.estado != 0) {
      throw std::runtime_error("tablon terminó con " + std::to_string(c.estado) + " (ver " + cfg.work +
                               "/tablon.log)");
    }
    return c;
  };
  auto prepara = [&](const std::string& dir) {
    const std::string store = dir + "/store", servers = dir + "/servers";
    fs::create_directories(servers);
    Corrida c = Ejecuta({cfg.tablon, "add-server", host, "--store", store, "--servers-dir", servers}, {},
                        cfg.work + "/tablon.log");
    if (c.estado != 0) throw std::runtime_error("tablon add-server falló");
    FILE* f = std::fopen((servers + "/" + host + ".txt").c_str(), "w");
    std::fprintf(f, "%s\r\n 1 \r\n%s 01/01/1990 X\r\n", EstadoFecha(std::time(nullptr)).c_str(), grupo.c_str());
    std::fclose(f);
    return std::pair{store, servers};
  };

  std::vector<double> w1, w2, w3, m1, m2, m3, w1f;
  std::string muestra_dir;  // a W1 group folder kept for the raw floors
  for (int r = 0; r < cfg.reps; ++r) {
    const std::string dir = cfg.work + "/n" + std::to_string(n) + "-r" + std::to_string(r);
    Cuarentena(trash, dir);
    auto [store, servers] = prepara(dir);
    const Corrida c1 = corre(store, servers, {});
    const Corrida c2 = corre(store, servers, {});
    // Flag 1% of the items, as a mail client does: rename cur/BASE:2, to cur/BASE:2,F.
    const std::string cur = CarpetaGrupo(store, host, grupo) + "/cur";
    const auto archivos = Lista(cur);
    res.items = archivos.size();
    int marcados = 0;
    for (size_t i = 0; i < archivos.size(); i += 100) {
      const std::string& a = archivos[i];
      const size_t coma = a.rfind(":2,");
      const std::string nuevo = (coma == std::string::npos ? a + ":2," : a) + "F";
      if (std::rename((cur + "/" + a).c_str(), (cur + "/" + nuevo).c_str()) != 0) Falla("rename");
      ++marcados;
    }
    res.flagged = marcados;
    if (r == 0) {
      // Keep an untouched copy of the W1 folder's files for the floors.
      muestra_dir = cfg.work + "/muestra-n" + std::to_string(n);
      Cuarentena(trash, muestra_dir);
      fs::create_directories(muestra_dir);
      for (const auto& a : Lista(cur)) fs::copy_file(cur + "/" + a, muestra_dir + "/" + a);
    }
    const Corrida c3 = corre(store, servers, {});
    w1.push_back(c1.segundos);
    w2.push_back(c2.segundos);
    w3.push_back(c3.segundos);
    m1.push_back(static_cast<double>(c1.maxrss_kb));
    m2.push_back(static_cast<double>(c2.maxrss_kb));
    m3.push_back(static_cast<double>(c3.maxrss_kb));
    std::fprintf(stderr, "   rep %d: W1 %.3f s %ld KB, W2 %.3f s %ld KB, W3 %.3f s %ld KB (%d marcados)\n", r,
                 c1.segundos, c1.maxrss_kb, c2.segundos, c2.maxrss_kb, c3.segundos, c3.maxrss_kb, marcados);
  }
  const int fsync_reps = n <= cfg.fsync_hasta ? cfg.fsync_reps : 0;
  for (int r = 0; r < fsync_reps; ++r) {
    const std::string dir = cfg.work + "/n" + std::to_string(n) + "-f" + std::to_string(r);
    Cuarentena(trash, dir);
    auto [store, servers] = prepara(dir);
    const Corrida c = corre(store, servers, {"TABLON_DURABILIDAD=elemento"});
    w1f.push_back(c.segundos);
    std::fprintf(stderr, "   rep %d: W1 con fsync por elemento %.3f s\n", r, c.segundos);
  }

  // ---- Floors ----
  // Every 100th article, as many as W3 downloads.
  for (int k = 0; k < n && static_cast<int>(flag_ids.size()) < res.flagged; k += 100) {
    flag_ids.push_back("<" + tag + "." + std::to_string(k) + "@bench.tablon.test>");
  }
  std::vector<std::string> muestra;
  {
    const auto nombres = Lista(muestra_dir);
    double total = 0;
    for (const auto& a : nombres) {
      muestra.push_back(LeeArchivo(muestra_dir + "/" + a));
      total += static_cast<double>(muestra.back().size());
    }
    res.tam_item = muestra.empty() ? 0 : total / static_cast<double>(muestra.size());
  }
  const size_t items = muestra.size();
  std::vector<double> over, esc, escf, lec, art;
  for (int r = 0; r < cfg.reps; ++r) {
    {  // GROUP + OVER, lines dropped
      Nntp c;
      const auto t0 = Reloj::now();
      const std::string g = c.Orden("GROUP " + grupo);
      long cant = 0, bajo = 0, alto = 0;
      std::sscanf(g.c_str(), "211 %ld %ld %ld", &cant, &bajo, &alto);
      const std::string o = c.Orden("OVER " + std::to_string(bajo) + "-" + std::to_string(alto));
      if (o.rfind("224", 0) != 0) throw std::runtime_error("OVER: " + o);
      const auto [bytes, lineas] = c.Bloque();
      over.push_back(Segundos(t0));
      res.bytes_over = static_cast<double>(bytes);
      res.lineas_over = static_cast<double>(lineas);
    }
    for (const bool fsync_cada : {false, true}) {
      if (fsync_cada && r >= fsync_reps) continue;
      // N files of the items' own bytes through tmp/ + rename.
      const std::string dir = cfg.work + "/raw-n" + std::to_string(n) + (fsync_cada ? "-f" : "-") + std::to_string(r);
      Cuarentena(trash, dir);
      for (const char* s : {"", "/tmp", "/cur", "/new"}) fs::create_directories(dir + s);
      const auto t0 = Reloj::now();
      for (size_t i = 0; i < items; ++i) {
        const std::string base = "1700000000.M" + std::to_string(i) + "P1Q" + std::to_string(i) + ".bench";
        const std::string tmp = dir + "/tmp/" + base;
        EscribeArchivo(tmp, muestra[i], fsync_cada);
        if (std::rename(tmp.c_str(), (dir + "/cur/" + base + ":2,").c_str()) != 0) Falla("rename");
      }
      SyncFs(dir);
      (fsync_cada ? escf : esc).push_back(Segundos(t0));
    }
    {  // read N item files up to their blank line (cached), the directory listed first
      const std::string dir = cfg.work + "/raw-n" + std::to_string(n) + "-" + std::to_string(r) + "/cur";
      const auto t0 = Reloj::now();
      const auto nombres = Lista(dir);
      size_t total = 0;
      char buf[4096];
      for (const auto& a : nombres) {
        const int fd = open((dir + "/" + a).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) Falla("open");
        std::string h;
        for (ssize_t k; (k = read(fd, buf, sizeof buf)) > 0;) {
          h.append(buf, static_cast<size_t>(k));
          if (const size_t p = h.find("\n\n"); p != std::string::npos) {
            h.resize(p + 2);
            break;
          }
        }
        total += h.size();
        close(fd);
      }
      lec.push_back(Segundos(t0));
      if (total == 0) throw std::runtime_error("lectura vacía");
    }
    {  // the W3 downloads: ARTICLE over a plain socket, then each item replaced as the store must
       // (a changed message gets a new name; the new file is fsync'd before the old one goes)
      const std::string dir = cfg.work + "/raw-n" + std::to_string(n) + "-" + std::to_string(r);
      const auto nombres = Lista(dir + "/cur");
      Nntp c;
      const auto t0 = Reloj::now();
      for (size_t i = 0; i < flag_ids.size(); ++i) {
        const std::string a = c.Orden("ARTICLE " + flag_ids[i]);
        if (a.rfind("220", 0) != 0) throw std::runtime_error("ARTICLE: " + a);
        std::string texto;
        for (;;) {
          const std::string_view l = c.Linea();
          if (l == ".") break;
          texto.append(l.substr(!l.empty() && l[0] == '.' ? 1 : 0));
          texto += '\n';
        }
        const std::string& viejo = nombres[i * 100 % nombres.size()];
        const std::string tmp = dir + "/tmp/rw" + std::to_string(i);
        EscribeArchivo(tmp, muestra[i] + texto, true);
        if (std::rename(tmp.c_str(), (dir + "/cur/" + viejo + ".n").c_str()) != 0) Falla("rename");
        if (std::remove((dir + "/cur/" + viejo).c_str()) != 0) Falla("remove");
      }
      SyncFs(dir);
      art.push_back(Segundos(t0));
    }
  }
  res.w1 = Mediana(w1);
  res.w2 = Mediana(w2);
  res.w3 = Mediana(w3);
  res.w1_fsync = Mediana(w1f);
  res.mem_w1 = Mediana(m1) / 1024;
  res.mem_w2 = Mediana(m2) / 1024;
  res.mem_w3 = Mediana(m3) / 1024;
  res.over = Mediana(over);
  res.escrituras = Mediana(esc);
  res.escrituras_fsync = Mediana(escf);
  res.lecturas = Mediana(lec);
  res.articulos = Mediana(art);
  return res;
}

void Tabla(const Resultado& r, int reps) {
  const double mb_over = r.bytes_over / 1048576.0;
  std::printf("\nN = %d articles (%zu items in the group folder, %.0f bytes per item; overview %.0f lines, %.2f MB)\n",
              r.n, r.items, r.tam_item, r.lineas_over, mb_over);
  std::printf("medians of %d runs; W3 downloads %d flagged items\n\n", reps, r.flagged);
  std::printf("%-44s %9s   %-34s %9s %7s %7s %s\n", "Tablón", "time", "floor", "floor", "ratio", "target", "");
  auto fila = [](const char* que, double t, const char* suelo, double s, double objetivo) {
    const double ratio = s > 0 ? t / s : 0;
    // A row without a target is shown for information only.
    if (objetivo <= 0) {
      std::printf("%-44s %8.3fs   %-34s %8.3fs %7.2f    info\n", que, t, suelo, s, ratio);
      return;
    }
    std::printf("%-44s %8.3fs   %-34s %8.3fs %7.2f %7.2f %s\n", que, t, suelo, s, ratio, objetivo,
                ratio <= objetivo ? "ok" : "MISSED");
  };
  fila("W1 first pass (syncfs per group)", r.w1, "raw OVER + raw writes", r.over + r.escrituras, 1.3);
  if (r.w1_fsync > 0) fila("W1 first pass, fsync per item", r.w1_fsync, "raw OVER + raw writes with fsync", r.over + r.escrituras_fsync, 1.3);
  fila("W2 second pass, nothing new", r.w2, "raw OVER + raw reads", r.over + r.lecturas, 1.3);
  // The whole W3 pass also reads the folder and the overview: against the fetches alone it is
  // information; its targets are the whole floor and the downloads' own floor.
  fila("W3 pass with 1% flagged", r.w3, "raw ARTICLE fetches + rewrites", r.articulos, 0);
  fila("W3 pass with 1% flagged", r.w3, "raw OVER + reads + fetches + rewr.", r.over + r.lecturas + r.articulos, 1.3);
  fila("W3 - W2 (the downloads alone)", r.w3 - r.w2, "raw ARTICLE fetches + rewrites", r.articulos, 1.3);
  char con_fsync[32] = "(not measured)";
  if (r.escrituras_fsync > 0) std::snprintf(con_fsync, sizeof con_fsync, "%.3fs", r.escrituras_fsync);
  std::printf("\nfloors: OVER %.3fs  writes %.3fs  writes+fsync %s  reads %.3fs  fetches+rewrites %.3fs\n", r.over,
              r.escrituras, con_fsync, r.lecturas, r.articulos);
  const double limite = 3 * mb_over + 20;
  std::printf("peak memory: W1 %.1f MB  W2 %.1f MB  W3 %.1f MB   target <= 3 x overview + 20 MB = %.1f MB  %s\n",
              r.mem_w1, r.mem_w2, r.mem_w3, limite,
              std::max({r.mem_w1, r.mem_w2, r.mem_w3}) <= limite ? "ok" : "MISSED");
  if (r.w1_fsync > 0) std::printf("fsync per item costs %.2fx the syncfs-per-group pass (%.3fs vs %.3fs)\n",
              r.w1 > 0 ? r.w1_fsync / r.w1 : 0, r.w1_fsync, r.w1);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Config cfg;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--tablon" && i + 1 < argc) cfg.tablon = argv[++i];
    else if (a == "--work" && i + 1 < argc) cfg.work = argv[++i];
    else if (a == "--reps" && i + 1 < argc) cfg.reps = std::max(1, std::atoi(argv[++i]));
    else if (a == "--fsync-reps" && i + 1 < argc) cfg.fsync_reps = std::max(1, std::atoi(argv[++i]));
    else if (a == "--fsync-hasta" && i + 1 < argc) cfg.fsync_hasta = std::atoi(argv[++i]);
    else if (!a.empty() && a[0] != '-' && std::atoi(a.c_str()) > 0) cfg.tamanos.push_back(std::atoi(a.c_str()));
    else {
      std::fprintf(stderr, "uso: tablon-bench --tablon RUTA --work DIR [--reps R] [--fsync-reps F] [--fsync-hasta N] N...\n");
      return 2;
    }
  }
  if (cfg.tablon.empty() || cfg.work.empty()) {
    std::fprintf(stderr, "uso: tablon-bench --tablon RUTA --work DIR [--reps R] [--fsync-reps F] [--fsync-hasta N] N...\n");
    return 2;
  }
  if (cfg.tamanos.empty()) cfg.tamanos.push_back(20000);
  if (!std::getenv("TABLON_INN_PORT")) setenv("TABLON_INN_PORT", "11119", 1);
  try {
    fs::create_directories(cfg.work);
    std::vector<Resultado> res;
    for (int n : cfg.tamanos) {
      res.push_back(Mide(cfg, n));
      Tabla(res.back(), cfg.reps);
    }
    for (size_t i = 1; i < res.size(); ++i) {
      const double f = res[i].w1 / res[0].w1;
      const double lim = 5.5 * res[i].n / (5.0 * res[0].n);
      std::printf("\nscaling: W1 at %d = %.2f x W1 at %d (target <= %.2f) %s\n", res[i].n, f, res[0].n, lim,
                  f <= lim ? "ok" : "MISSED");
    }
    std::fprintf(stderr, "borrando %s/trash\n", cfg.work.c_str());
    fs::remove_all(cfg.work + "/trash");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tablon-bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
