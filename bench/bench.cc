// tablon-bench: measures a synchronisation pass against the local INN and the floors that bound
// it, in one run, and prints them side by side. Never part of the tests.
//
//   tablon-bench --tablon PATH --work DIR [--reps R] [--fsync-reps F] [--fsync-hasta N]
//                [--sin-enlace | --solo-enlace] [--enlace-n M] N...
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
//
// Then, unless --sin-enlace, the same passes over a distant link (with --solo-enlace, only they): a proxy on loopback
// (bench/enlace_lento.h) in front of INN, which Tablón is given as its server. First a check of
// the proxy itself (a raw OVER straight to INN and through the proxy without delay or rate
// limit), then per link setting (50 ms and 200 ms round trip, 20 Mbit/s each way), on a group of
// M articles (default: the first N):
//   Tablón  W1, W2, W3 as above, each with TABLON_COMPRESION=si and, for reference, =no;
//   floors  opening a session (connect, greeting, MODE READER) and GROUP + OVER over a plain
//           socket, uncompressed; the W3 fetches pipelined (ARTICLE commands in a window of 32,
//           and all sent at once; replies read in order); the raw writes, reads and
//           replacements of items as above (the disk's share, the same on any link).
//
// Each figure is the median of R runs. The tablon process runs as a user runs it:
//   tablon --once --store S --servers-dir D   (stdout to /dev/null)
// with a state file written beforehand that lists only the bench group, subscribed, and a check
// date of now: the server's full group list is not part of W1 (its NEWGROUPS answer is empty).
//
// The file system may be slow to create files right after many were deleted (ext4 without a
// journal): old stores are moved aside into DIR/trash and deleted only at the end.
#include <fcntl.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "enlace_lento.h"
#include "lanzador.h"
#include "nntp_crudo.h"
#include "support/inn.h"

namespace {

namespace fs = std::filesystem;
using Reloj = std::chrono::steady_clock;
using tablon::bench::Corrida;
using tablon::bench::EnlaceLento;
using tablon::bench::Lanzador;
using tablon::bench::NntpCrudo;
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

uint16_t Puerto() {
  const char* p = std::getenv("TABLON_INN_PORT");
  return static_cast<uint16_t>(p && *p ? std::atoi(p) : 11119);
}

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
  bool enlace = true;  // the distant-link part
  bool solo_enlace = false;  // only the distant-link part
  int enlace_n = 0;    // its group size; 0: the first N
  const Lanzador* lanzador = nullptr;  // runs tablon (bench/lanzador.h)
};

// ---- The bench group -----------------------------------------------------------------------

struct Grupo {
  std::string nombre;
  std::string tag;  // in every message identifier
  int n = 0;
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

Grupo CreaGrupo(int n) {
  Grupo g;
  g.n = n;
  g.tag = "b" + std::to_string(std::time(nullptr)) + "p" + std::to_string(getpid()) + "n" + std::to_string(n);
  g.nombre = "tablon.bench." + g.tag;
  std::fprintf(stderr, "== N=%d: grupo %s\n", n, g.nombre.c_str());
  Inn::CreateGroup(g.nombre);
  const auto t0 = Reloj::now();
  Inn::Post(Articulos(g.nombre, n, g.tag));
  std::fprintf(stderr, "   %d artículos enviados a INN en %.2f s\n", n, Segundos(t0));
  return g;
}

// The identifiers of `cuantos` articles, every 100th: as many as W3 downloads.
std::vector<std::string> IdsMarcados(const Grupo& g, int cuantos) {
  std::vector<std::string> r;
  for (int k = 0; k < g.n && static_cast<int>(r.size()) < cuantos; k += 100) {
    r.push_back("<" + g.tag + "." + std::to_string(k) + "@bench.tablon.test>");
  }
  return r;
}

// ---- Tablón's passes -----------------------------------------------------------------------

// Runs tablon against `host`; throws unless it ends with 0.
Corrida CorreTablon(const Config& cfg, const std::string& store, const std::string& servers,
                    const std::vector<std::string>& entorno) {
  Corrida c = cfg.lanzador->Ejecuta({cfg.tablon, "--once", "--store", store, "--servers-dir", servers}, entorno,
                      cfg.work + "/tablon.log");
  if (c.estado != 0) {
    throw std::runtime_error("tablon terminó con " + std::to_string(c.estado) + " (ver " + cfg.work +
                             "/tablon.log)");
  }
  return c;
}

// A new store and servers directory under `dir` with `host` defined and a state file that lists
// only the group, subscribed, checked now.
std::pair<std::string, std::string> PreparaAlmacen(const Config& cfg, const std::string& dir,
                                                   const std::string& host, const Grupo& g) {
  const std::string store = dir + "/store", servers = dir + "/servers";
  fs::create_directories(servers);
  Corrida c = cfg.lanzador->Ejecuta({cfg.tablon, "add-server", host, "--store", store, "--servers-dir", servers}, {},
                      cfg.work + "/tablon.log");
  if (c.estado != 0) throw std::runtime_error("tablon add-server falló");
  FILE* f = std::fopen((servers + "/" + host + ".txt").c_str(), "w");
  if (!f) Falla("fopen");
  std::fprintf(f, "%s\r\n 1 \r\n%s 01/01/1990 X\r\n", EstadoFecha(std::time(nullptr)).c_str(), g.nombre.c_str());
  std::fclose(f);
  return {store, servers};
}

struct Triple {
  Corrida w1, w2, w3;
  int marcados = 0;
  size_t items = 0;
};

// W1 into a new store in `dir`, W2, then 1% of the items flagged (renamed cur/BASE:2, to
// cur/BASE:2,F as a mail client does) and W3. With `copia` not empty, the W1 folder's files are
// copied there first (the items' own bytes, for the raw floors).
Triple CorreTriple(const Config& cfg, const Grupo& g, const std::string& host, const std::string& dir,
                   const std::vector<std::string>& entorno, const std::string& copia) {
  const std::string trash = cfg.work + "/trash";
  Cuarentena(trash, dir);
  auto [store, servers] = PreparaAlmacen(cfg, dir, host, g);
  Triple t;
  t.w1 = CorreTablon(cfg, store, servers, entorno);
  t.w2 = CorreTablon(cfg, store, servers, entorno);
  const std::string cur = CarpetaGrupo(store, host, g.nombre) + "/cur";
  const auto archivos = Lista(cur);
  t.items = archivos.size();
  if (!copia.empty()) {
    Cuarentena(trash, copia);
    fs::create_directories(copia);
    for (const auto& a : archivos) fs::copy_file(cur + "/" + a, copia + "/" + a);
  }
  for (size_t i = 0; i < archivos.size(); i += 100) {
    const std::string& a = archivos[i];
    const size_t coma = a.rfind(":2,");
    const std::string nuevo = (coma == std::string::npos ? a + ":2," : a) + "F";
    if (std::rename((cur + "/" + a).c_str(), (cur + "/" + nuevo).c_str()) != 0) Falla("rename");
    ++t.marcados;
  }
  t.w3 = CorreTablon(cfg, store, servers, entorno);
  return t;
}

// ---- Floors --------------------------------------------------------------------------------

std::vector<std::string> LeeMuestra(const std::string& dir, double* tam_medio) {
  std::vector<std::string> r;
  double total = 0;
  for (const auto& a : Lista(dir)) {
    r.push_back(LeeArchivo(dir + "/" + a));
    total += static_cast<double>(r.back().size());
  }
  *tam_medio = r.empty() ? 0 : total / static_cast<double>(r.size());
  return r;
}

// The items' bytes written as new files into the Maildir folder `dir` through tmp/ + rename,
// one syncfs at the end (or one fsync per file). Answers the seconds.
double EscriturasCrudas(const Config& cfg, const std::string& dir, const std::vector<std::string>& muestra,
                        bool fsync_cada) {
  Cuarentena(cfg.work + "/trash", dir);
  for (const char* s : {"", "/tmp", "/cur", "/new"}) fs::create_directories(dir + s);
  const auto t0 = Reloj::now();
  for (size_t i = 0; i < muestra.size(); ++i) {
    const std::string base = "1700000000.M" + std::to_string(i) + "P1Q" + std::to_string(i) + ".bench";
    const std::string tmp = dir + "/tmp/" + base;
    EscribeArchivo(tmp, muestra[i], fsync_cada);
    if (std::rename(tmp.c_str(), (dir + "/cur/" + base + ":2,").c_str()) != 0) Falla("rename");
  }
  SyncFs(dir);
  return Segundos(t0);
}

// Reads every file of `cur` up to its blank line (cached), the directory listed first.
double LecturasCrudas(const std::string& cur) {
  const auto t0 = Reloj::now();
  const auto nombres = Lista(cur);
  size_t total = 0;
  char buf[4096];
  for (const auto& a : nombres) {
    const int fd = open((cur + "/" + a).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
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
  const double s = Segundos(t0);
  if (total == 0) throw std::runtime_error("lectura vacía");
  return s;
}

struct SueloResumen {
  double apertura = 0;  // connect, greeting, MODE READER
  double resumen = 0;   // GROUP + OVER, lines dropped
  double bytes = 0, lineas = 0;
};

SueloResumen ResumenCrudo(uint16_t puerto, const std::string& grupo) {
  SueloResumen s;
  const auto t0 = Reloj::now();
  NntpCrudo c(puerto);
  s.apertura = Segundos(t0);
  const auto t1 = Reloj::now();
  const std::string g = c.Orden("GROUP " + grupo);
  long cant = 0, bajo = 0, alto = 0;
  std::sscanf(g.c_str(), "211 %ld %ld %ld", &cant, &bajo, &alto);
  const std::string o = c.Orden("OVER " + std::to_string(bajo) + "-" + std::to_string(alto));
  if (o.rfind("224", 0) != 0) throw std::runtime_error("OVER: " + o);
  const auto [bytes, lineas] = c.Bloque();
  s.resumen = Segundos(t1);
  s.bytes = static_cast<double>(bytes);
  s.lineas = static_cast<double>(lineas);
  return s;
}

// The articles `ids` fetched on an open session with at most `ventana` ARTICLE commands
// outstanding (the first `ventana` sent in one write, then one more after each reply read),
// replies read in order and dropped. Answers the seconds, session opening not included.
double ArticulosEnVentana(uint16_t puerto, const std::vector<std::string>& ids, size_t ventana) {
  NntpCrudo c(puerto);
  const auto t0 = Reloj::now();
  std::vector<std::string> primeras;
  size_t enviadas = 0;
  for (; enviadas < ids.size() && enviadas < ventana; ++enviadas) primeras.push_back("ARTICLE " + ids[enviadas]);
  c.EnviaVarias(primeras);
  for (size_t i = 0; i < ids.size(); ++i) {
    const std::string_view estado = c.Linea();
    if (estado.rfind("220", 0) != 0) throw std::runtime_error("ARTICLE: " + std::string(estado));
    c.Bloque();
    if (enviadas < ids.size()) c.Envia("ARTICLE " + ids[enviadas++]);
  }
  return Segundos(t0);
}

// The texts of the articles `ids` as the store keeps them (dot-unstuffed, LF line ends).
std::vector<std::string> Textos(uint16_t puerto, const std::vector<std::string>& ids) {
  std::vector<std::string> r;
  NntpCrudo c(puerto);
  for (const auto& id : ids) {
    r.push_back(c.Articulo(id));
  }
  return r;
}

// As many items of the Maildir folder `dir` as `textos` replaced as the store replaces a changed
// item: the item's bytes plus the article written to tmp/ with fsync, renamed to a new name, the
// old file removed; one syncfs at the end. Answers the seconds.
double ReemplazosCrudos(const std::string& dir, const std::vector<std::string>& muestra,
                        const std::vector<std::string>& textos) {
  const auto nombres = Lista(dir + "/cur");
  const auto t0 = Reloj::now();
  for (size_t i = 0; i < textos.size(); ++i) {
    const std::string& viejo = nombres[i * 100 % nombres.size()];
    const std::string tmp = dir + "/tmp/rw" + std::to_string(i);
    EscribeArchivo(tmp, muestra[i % muestra.size()] + textos[i], true);
    if (std::rename(tmp.c_str(), (dir + "/cur/" + viejo + ".n").c_str()) != 0) Falla("rename");
    if (std::remove((dir + "/cur/" + viejo).c_str()) != 0) Falla("remove");
  }
  SyncFs(dir);
  return Segundos(t0);
}

// One round trip of the session (DATE), in seconds.
double IdaYVuelta(uint16_t puerto) {
  NntpCrudo c(puerto);
  const auto t0 = Reloj::now();
  const std::string d = c.Orden("DATE");
  const double s = Segundos(t0);
  if (d.rfind("111", 0) != 0) throw std::runtime_error("DATE: " + d);
  return s;
}

// ---- Loopback ------------------------------------------------------------------------------

struct Resultado {
  int n = 0;
  double w1 = 0, w2 = 0, w3 = 0, w1_fsync = 0;
  double mem_w1 = 0, mem_w2 = 0, mem_w3 = 0;
  double over = 0, escrituras = 0, escrituras_fsync = 0, lecturas = 0, articulos = 0;
  double apertura = 0;  // the server's session opening (connect, greeting, MODE READER)
  double bytes_over = 0, lineas_over = 0, tam_item = 0;
  int flagged = 0;
  size_t items = 0;
};

Resultado Mide(const Config& cfg, const Grupo& g) {
  Resultado res;
  const int n = g.n;
  res.n = n;
  const std::string host = "127.0.0.1:" + std::to_string(Puerto());
  const std::string trash = cfg.work + "/trash";

  std::vector<double> w1, w2, w3, m1, m2, m3, w1f;
  const std::string muestra_dir = cfg.work + "/muestra-n" + std::to_string(n);  // a W1 folder's files
  for (int r = 0; r < cfg.reps; ++r) {
    const std::string dir = cfg.work + "/n" + std::to_string(n) + "-r" + std::to_string(r);
    const Triple t = CorreTriple(cfg, g, host, dir, {}, r == 0 ? muestra_dir : "");
    res.items = t.items;
    res.flagged = t.marcados;
    w1.push_back(t.w1.segundos);
    w2.push_back(t.w2.segundos);
    w3.push_back(t.w3.segundos);
    m1.push_back(static_cast<double>(t.w1.maxrss_kb));
    m2.push_back(static_cast<double>(t.w2.maxrss_kb));
    m3.push_back(static_cast<double>(t.w3.maxrss_kb));
    std::fprintf(stderr, "   rep %d: W1 %.3f s %ld KB, W2 %.3f s %ld KB, W3 %.3f s %ld KB (%d marcados)\n", r,
                 t.w1.segundos, t.w1.maxrss_kb, t.w2.segundos, t.w2.maxrss_kb, t.w3.segundos, t.w3.maxrss_kb,
                 t.marcados);
  }
  const int fsync_reps = n <= cfg.fsync_hasta ? cfg.fsync_reps : 0;
  for (int r = 0; r < fsync_reps; ++r) {
    const std::string dir = cfg.work + "/n" + std::to_string(n) + "-f" + std::to_string(r);
    Cuarentena(trash, dir);
    auto [store, servers] = PreparaAlmacen(cfg, dir, host, g);
    const Corrida c = CorreTablon(cfg, store, servers, {"TABLON_DURABILIDAD=elemento"});
    w1f.push_back(c.segundos);
    std::fprintf(stderr, "   rep %d: W1 con fsync por elemento %.3f s\n", r, c.segundos);
  }

  // ---- Floors ----
  const std::vector<std::string> flag_ids = IdsMarcados(g, res.flagged);
  const std::vector<std::string> muestra = LeeMuestra(muestra_dir, &res.tam_item);
  std::vector<double> over, esc, escf, lec, art, aper;
  for (int r = 0; r < cfg.reps; ++r) {
    {
      const SueloResumen s = ResumenCrudo(Puerto(), g.nombre);
      over.push_back(s.resumen);
      aper.push_back(s.apertura);
      res.bytes_over = s.bytes;
      res.lineas_over = s.lineas;
    }
    const std::string dir = cfg.work + "/raw-n" + std::to_string(n) + "-" + std::to_string(r);
    esc.push_back(EscriturasCrudas(cfg, dir, muestra, false));
    if (r < fsync_reps) {
      escf.push_back(EscriturasCrudas(cfg, cfg.work + "/raw-n" + std::to_string(n) + "-f" + std::to_string(r),
                                      muestra, true));
    }
    lec.push_back(LecturasCrudas(dir + "/cur"));
    {  // the W3 downloads: ARTICLE over a plain socket, then each item replaced as the store must
       // (a changed message gets a new name; the new file is fsync'd before the old one goes)
      const auto nombres = Lista(dir + "/cur");
      NntpCrudo c(Puerto());
      const auto t0 = Reloj::now();
      for (size_t i = 0; i < flag_ids.size(); ++i) {
        const std::string texto = c.Articulo(flag_ids[i]);
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
  res.apertura = Mediana(aper);
  res.escrituras = Mediana(esc);
  res.escrituras_fsync = Mediana(escf);
  res.lecturas = Mediana(lec);
  res.articulos = Mediana(art);
  return res;
}

// One row: Tablón's figure, its floor, the ratio and, when `objetivo` > 0, the target and
// whether it was met; a row without a target is shown for information only.
void Fila(const char* que, double t, const char* suelo, double s, double objetivo) {
  const double ratio = s > 0 ? t / s : 0;
  if (objetivo <= 0) {
    std::printf("%-44s %8.3fs   %-34s %8.3fs %7.2f    info\n", que, t, suelo, s, ratio);
    return;
  }
  std::printf("%-44s %8.3fs   %-34s %8.3fs %7.2f %7.2f %s\n", que, t, suelo, s, ratio, objetivo,
              ratio <= objetivo ? "ok" : "MISSED");
}

void Encabezado() {
  std::printf("%-44s %9s   %-34s %9s %7s %7s %s\n", "Tablón", "time", "floor", "floor", "ratio", "target", "");
}

void Tabla(const Resultado& r, int reps) {
  const double mb_over = r.bytes_over / 1048576.0;
  std::printf("\nN = %d articles (%zu items in the group folder, %.0f bytes per item; overview %.0f lines, %.2f MB)\n",
              r.n, r.items, r.tam_item, r.lineas_over, mb_over);
  std::printf("medians of %d runs; W3 downloads %d flagged items\n\n", reps, r.flagged);
  Encabezado();
  Fila("W1 first pass (syncfs per group)", r.w1, "raw OVER + raw writes", r.over + r.escrituras, 1.3);
  if (r.w1_fsync > 0) Fila("W1 first pass, fsync per item", r.w1_fsync, "raw OVER + raw writes with fsync", r.over + r.escrituras_fsync, 1.3);
  // A pass with nothing new whose folder is sealed reads no item and asks for no old line.
  Fila("W2 second pass, nothing new", r.w2, "raw OVER + raw reads", r.over + r.lecturas, 0.2);
  // The whole W3 pass also reads the folder and the overview: against the fetches alone it is
  // information; its targets are the whole floor and the downloads' own floor.
  Fila("W3 pass with 1% flagged", r.w3, "raw ARTICLE fetches + rewrites", r.articulos, 0);
  Fila("W3 pass with 1% flagged", r.w3, "raw OVER + reads + fetches + rewr.", r.over + r.lecturas + r.articulos, 1.3);
  Fila("W3 - W2 (the downloads alone)", r.w3 - r.w2, "raw ARTICLE fetches + rewrites", r.articulos, 1.3);
  char con_fsync[32] = "(not measured)";
  if (r.escrituras_fsync > 0) std::snprintf(con_fsync, sizeof con_fsync, "%.3fs", r.escrituras_fsync);
  std::printf("\nfloors: OVER %.3fs  writes %.3fs  writes+fsync %s  reads %.3fs  fetches+rewrites %.3fs\n", r.over,
              r.escrituras, con_fsync, r.lecturas, r.articulos);
  std::printf("the server's session opening (connect, greeting, MODE READER; in every pass, in no floor): %.3fs\n",
              r.apertura);
  const double limite = 3 * mb_over + 20;
  std::printf("peak memory: W1 %.1f MB  W2 %.1f MB  W3 %.1f MB   target <= 3 x overview + 20 MB = %.1f MB  %s\n",
              r.mem_w1, r.mem_w2, r.mem_w3, limite,
              std::max({r.mem_w1, r.mem_w2, r.mem_w3}) <= limite ? "ok" : "MISSED");
  if (r.w1_fsync > 0) std::printf("fsync per item costs %.2fx the syncfs-per-group pass (%.3fs vs %.3fs)\n",
              r.w1 > 0 ? r.w1_fsync / r.w1 : 0, r.w1_fsync, r.w1);
  std::fflush(stdout);
}

// ---- Distant link --------------------------------------------------------------------------

struct AjusteEnlace {
  int ida_y_vuelta_ms;
  double mbit;
  bool objetivo_descargas;  // W3 - W2 has a target at this setting
};
constexpr AjusteEnlace kAjustesEnlace[] = {{50, 20, true}, {200, 20, false}};

// The two compression settings of the passes: [0] on, [1] off.
constexpr const char* kCompresion[] = {"TABLON_COMPRESION=si", "TABLON_COMPRESION=no"};

struct ResultadoEnlace {
  std::string descripcion;
  bool objetivo_descargas = false;
  int n = 0, flagged = 0;
  size_t items = 0;
  double w1[2]{}, w2[2]{}, w3[2]{}, mem[2]{};  // per compression setting; mem: the largest of the three
  double apertura = 0, resumen = 0, bytes_over = 0;
  double ventana = 0, todas = 0;  // pipelined fetches: window of 32, all at once
  double ida_y_vuelta = 0;        // one DATE, measured
  double escrituras = 0, lecturas = 0, reemplazos = 0;
};

struct CompruebaEnlace {
  double directo = 0, proxy = 0;
};

// The proxy with neither delay nor rate limit must add little to a raw session + GROUP + OVER.
CompruebaEnlace CompruebaProxy(const Config& cfg, const Grupo& g) {
  EnlaceLento enlace(Puerto(), {});
  std::vector<double> directo, proxy;
  for (int r = 0; r < std::max(cfg.reps, 5); ++r) {
    const SueloResumen d = ResumenCrudo(Puerto(), g.nombre);
    const SueloResumen p = ResumenCrudo(enlace.Puerto(), g.nombre);
    directo.push_back(d.apertura + d.resumen);
    proxy.push_back(p.apertura + p.resumen);
  }
  return {Mediana(directo), Mediana(proxy)};
}

ResultadoEnlace MideEnlace(const Config& cfg, const Grupo& g, const AjusteEnlace& a) {
  EnlaceLento enlace(Puerto(), {std::chrono::milliseconds(a.ida_y_vuelta_ms), a.mbit * 1e6});
  ResultadoEnlace res;
  res.descripcion = enlace.Descripcion();
  res.objetivo_descargas = a.objetivo_descargas;
  res.n = g.n;
  const std::string host = "127.0.0.1:" + std::to_string(enlace.Puerto());
  std::fprintf(stderr, "== enlace lento: %s (127.0.0.1:%u), N=%d\n", res.descripcion.c_str(),
               static_cast<unsigned>(enlace.Puerto()), g.n);
  const std::string base = cfg.work + "/e" + std::to_string(a.ida_y_vuelta_ms) + "-n" + std::to_string(g.n);
  const std::string muestra_dir = base + "-muestra";

  std::vector<double> w1[2], w2[2], w3[2], mem[2], aper, resu, vent, todas, rtt;
  std::vector<std::string> flag_ids;
  for (int r = 0; r < cfg.reps; ++r) {
    for (int k = 0; k < 2; ++k) {
      const std::string dir = base + (k == 0 ? "-si-r" : "-no-r") + std::to_string(r);
      const Triple t = CorreTriple(cfg, g, host, dir, {kCompresion[k]}, r == 0 && k == 0 ? muestra_dir : "");
      res.items = t.items;
      res.flagged = t.marcados;
      w1[k].push_back(t.w1.segundos);
      w2[k].push_back(t.w2.segundos);
      w3[k].push_back(t.w3.segundos);
      mem[k].push_back(static_cast<double>(std::max({t.w1.maxrss_kb, t.w2.maxrss_kb, t.w3.maxrss_kb})));
      std::fprintf(stderr, "   rep %d %s: W1 %.3f s, W2 %.3f s, W3 %.3f s (%d marcados)\n", r, kCompresion[k],
                   t.w1.segundos, t.w2.segundos, t.w3.segundos, t.marcados);
    }
    if (flag_ids.empty()) flag_ids = IdsMarcados(g, res.flagged);
    const SueloResumen s = ResumenCrudo(enlace.Puerto(), g.nombre);
    aper.push_back(s.apertura);
    resu.push_back(s.resumen);
    res.bytes_over = s.bytes;
    vent.push_back(ArticulosEnVentana(enlace.Puerto(), flag_ids, 32));
    todas.push_back(ArticulosEnVentana(enlace.Puerto(), flag_ids, flag_ids.size()));
    rtt.push_back(IdaYVuelta(enlace.Puerto()));
    std::fprintf(stderr, "   rep %d suelos: sesión %.3f s, GROUP+OVER %.3f s, ARTICLE en ventana de 32 %.3f s, "
                 "todos a la vez %.3f s, DATE %.1f ms\n", r, s.apertura, s.resumen, vent.back(), todas.back(),
                 rtt.back() * 1000);
  }
  // The disk's share: the raw writes, reads and replacements of the loopback floors, of this
  // store's items.
  double tam = 0;
  const std::vector<std::string> muestra = LeeMuestra(muestra_dir, &tam);
  const std::vector<std::string> textos = Textos(Puerto(), flag_ids);
  std::vector<double> esc, lec, ree;
  for (int r = 0; r < cfg.reps; ++r) {
    const std::string dir = base + "-raw-" + std::to_string(r);
    esc.push_back(EscriturasCrudas(cfg, dir, muestra, false));
    lec.push_back(LecturasCrudas(dir + "/cur"));
    ree.push_back(ReemplazosCrudos(dir, muestra, textos));
  }
  if (enlace.Fallidas() > 0) throw std::runtime_error("el enlace lento no pudo conectar con INN");
  for (int k = 0; k < 2; ++k) {
    res.w1[k] = Mediana(w1[k]);
    res.w2[k] = Mediana(w2[k]);
    res.w3[k] = Mediana(w3[k]);
    res.mem[k] = Mediana(mem[k]) / 1024;
  }
  res.apertura = Mediana(aper);
  res.resumen = Mediana(resu);
  res.ventana = Mediana(vent);
  res.todas = Mediana(todas);
  res.ida_y_vuelta = Mediana(rtt);
  res.escrituras = Mediana(esc);
  res.lecturas = Mediana(lec);
  res.reemplazos = Mediana(ree);
  return res;
}

void TablaComprobacion(const CompruebaEnlace& c, int reps) {
  std::printf("\nDistant link: the proxy itself, with no delay and no rate limit (medians of %d runs)\n", std::max(reps, 5));
  std::printf("raw session + GROUP + OVER: straight to INN %.3fs, through the proxy %.3fs (%+.0f%%)\n", c.directo,
              c.proxy, c.directo > 0 ? (c.proxy / c.directo - 1) * 100 : 0);
  std::fflush(stdout);
}

void TablaEnlace(const ResultadoEnlace& r, int reps, int n_local) {
  const double over = r.apertura + r.resumen;  // what any client spends to get the overview
  std::printf("\nDistant link: %s each way, through a proxy on loopback\n", r.descripcion.c_str());
  std::printf("N = %d articles%s; medians of %d runs; W3 downloads %d flagged items; COMPRESS = TABLON_COMPRESION=si,"
              " plain = =no\n\n", r.n, r.n != n_local ? " (not the loopback N: TABLON_BENCH_ENLACE_N)" : "", reps,
              r.flagged);
  Encabezado();
  Fila("W1 first pass, COMPRESS", r.w1[0], "raw OVER (plain) + raw writes", over + r.escrituras, 0.7);
  Fila("W1 first pass, plain", r.w1[1], "raw OVER (plain) + raw writes", over + r.escrituras, 0);
  Fila("W2 second pass, COMPRESS", r.w2[0], "raw OVER (plain)", over, 0.5);
  Fila("W2 second pass, plain", r.w2[1], "raw OVER (plain)", over, 0);
  Fila("W3 pass with 1% flagged, COMPRESS", r.w3[0], "raw OVER + reads + fetches (w 32)", over + r.lecturas + r.ventana, 0);
  Fila("W3 pass with 1% flagged, plain", r.w3[1], "raw OVER + reads + fetches (w 32)", over + r.lecturas + r.ventana, 0);
  Fila("W3 - W2 (the downloads alone), COMPRESS", r.w3[0] - r.w2[0], "raw fetches, window of 32", r.ventana,
       r.objetivo_descargas ? 1.3 : 0);
  Fila("W3 - W2 (the downloads alone), COMPRESS", r.w3[0] - r.w2[0], "raw fetches, all sent at once", r.todas, 0);
  Fila("W3 - W2 (the downloads alone), COMPRESS", r.w3[0] - r.w2[0], "raw fetches (w 32) + rewrites", r.ventana + r.reemplazos, 0);
  Fila("W3 - W2 (the downloads alone), plain", r.w3[1] - r.w2[1], "raw fetches, window of 32", r.ventana, 0);
  const double mb_over = r.bytes_over / 1048576.0;
  const double mbit = r.resumen > 0 ? r.bytes_over * 8 / r.resumen / 1e6 : 0;
  std::printf("\nfloors: session (connect, greeting, MODE READER) %.3fs  GROUP + OVER %.3fs (%.2f MB plain, %.1f Mbit/s)\n"
              "        fetches: window of 32 %.3fs, all at once %.3fs  writes %.3fs  reads %.3fs  rewrites %.3fs\n",
              r.apertura, r.resumen, mb_over, mbit, r.ventana, r.todas, r.escrituras, r.lecturas, r.reemplazos);
  const double limite = 3 * mb_over + 20;
  std::printf("one round trip (DATE) measured: %.1f ms\n", r.ida_y_vuelta * 1000);
  std::printf("peak memory (largest of W1, W2, W3): COMPRESS %.1f MB  plain %.1f MB   target <= 3 x overview + 20 MB"
              " = %.1f MB  %s\n", r.mem[0], r.mem[1], limite, std::max(r.mem[0], r.mem[1]) <= limite ? "ok" : "MISSED");
  std::fflush(stdout);
}

void Uso() {
  std::fprintf(stderr, "uso: tablon-bench --tablon RUTA --work DIR [--reps R] [--fsync-reps F] [--fsync-hasta N]"
                       " [--sin-enlace | --solo-enlace] [--enlace-n M] N...\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("TABLON_INN_PORT")) setenv("TABLON_INN_PORT", "11119", 1);
  // First, while this process is small: the peak memory of what it starts is measured from there.
  std::optional<Lanzador> lanzador;
  try {
    lanzador.emplace();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tablon-bench: %s\n", e.what());
    return 1;
  }
  Config cfg;
  cfg.lanzador = &*lanzador;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--tablon" && i + 1 < argc) cfg.tablon = argv[++i];
    else if (a == "--work" && i + 1 < argc) cfg.work = argv[++i];
    else if (a == "--reps" && i + 1 < argc) cfg.reps = std::max(1, std::atoi(argv[++i]));
    else if (a == "--fsync-reps" && i + 1 < argc) cfg.fsync_reps = std::max(1, std::atoi(argv[++i]));
    else if (a == "--fsync-hasta" && i + 1 < argc) cfg.fsync_hasta = std::atoi(argv[++i]);
    else if (a == "--sin-enlace") cfg.enlace = false;
    else if (a == "--solo-enlace") cfg.solo_enlace = true;
    else if (a == "--enlace-n" && i + 1 < argc) cfg.enlace_n = std::max(0, std::atoi(argv[++i]));
    else if (!a.empty() && a[0] != '-' && std::atoi(a.c_str()) > 0) cfg.tamanos.push_back(std::atoi(a.c_str()));
    else {
      Uso();
      return 2;
    }
  }
  if (cfg.tablon.empty() || cfg.work.empty()) {
    Uso();
    return 2;
  }
  if (cfg.tamanos.empty()) cfg.tamanos.push_back(20000);
  try {
    fs::create_directories(cfg.work);
    std::vector<Grupo> grupos;
    std::vector<Resultado> res;
    for (int n : cfg.solo_enlace ? std::vector<int>{} : cfg.tamanos) {
      grupos.push_back(CreaGrupo(n));
      res.push_back(Mide(cfg, grupos.back()));
      Tabla(res.back(), cfg.reps);
    }
    for (size_t i = 1; i < res.size(); ++i) {
      const double f2 = res[i].w2 / res[0].w2;
      std::printf("\nscaling: W2 at %d = %.2f x W2 at %d (target <= 1.50) %s\n", res[i].n, f2, res[0].n,
                  f2 <= 1.5 ? "ok" : "MISSED");
      const double f = res[i].w1 / res[0].w1;
      const double lim = 5.5 * res[i].n / (5.0 * res[0].n);
      std::printf("\nscaling: W1 at %d = %.2f x W1 at %d (target <= %.2f) %s\n", res[i].n, f, res[0].n, lim,
                  f <= lim ? "ok" : "MISSED");
    }
    if (cfg.enlace) {
      const int n = cfg.enlace_n > 0 ? cfg.enlace_n : cfg.tamanos[0];
      auto g = std::find_if(grupos.begin(), grupos.end(), [n](const Grupo& x) { return x.n == n; });
      const Grupo grupo = g != grupos.end() ? *g : CreaGrupo(n);
      TablaComprobacion(CompruebaProxy(cfg, grupo), cfg.reps);
      for (const AjusteEnlace& a : kAjustesEnlace) TablaEnlace(MideEnlace(cfg, grupo, a), cfg.reps, cfg.tamanos[0]);
    }
    std::fprintf(stderr, "borrando %s/trash\n", cfg.work.c_str());
    fs::remove_all(cfg.work + "/trash");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tablon-bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
