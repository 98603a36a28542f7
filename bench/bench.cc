// tablon-bench: measures a synchronisation pass against the local INN and the floors that bound
// it, in one run, and prints them side by side. Never part of the tests.
//
//   tablon-bench --tablon PATH --work DIR [--reps R] [--fsync-reps F] [--fsync-hasta N]
//                [--sin-enlace | --solo-enlace] [--enlace-n M] [--sin-imap | --solo-imap] [--traza-imap]
//                N...
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
// Then, unless --sin-imap, the same passes into the IMAP store (with --solo-imap, only they, and
// the distant link only if --solo-enlace is given too). Per N and per run, a private Dovecot on
// loopback (tests/support/dovecot.h) with storage of its own under DIR, and a HOME whose .netrc
// holds its password:
//   Tablón  W1, W2, W3 with --store imap://tablon@127.0.0.1:PORT; before W3, 1% of the group
//           mailbox's messages are flagged over IMAP (UID STORE +FLAGS (\Flagged), as a phone
//           does); wall time and peak memory, beside the Maildir passes' peak memory (from the
//           loopback part, or one Maildir run of the same group);
//   floors  over plain sockets to INN and to the same Dovecot (bench/imap_crudo.h), after the
//           run's passes: for W1, raw GROUP + OVER and W1's own messages (fetched whole after the
//           first run's W2) appended into a new, selected mailbox one APPEND each, LITERAL+,
//           pipelined in a window — and, for information, in MULTIAPPEND commands; for
//           W2, an NNTP session and GROUP, an IMAP login, SELECT and one UID FETCH 1:* of the
//           header fields the store reads, of messages just appended (the MULTIAPPEND copy: as
//           a W2 right after a W1 finds them, never read, which costs the server more); for W3,
//           the same reading of headers read before, plus the same ARTICLE fetches and the
//           replacements as the store makes them (the messages W3 appended, APPENDed; the old
//           ones UID STORE +FLAGS (\Deleted) and UID EXPUNGE). Target for each: 1.5 x its floor.
// With --traza-imap, one more run of the three passes, untimed, with TABLON_TRAZA_IMAP set per
// pass (DIR/traza-imap-nN-wK.txt): what each pass asked of the server.
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
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "enlace_lento.h"
#include "imap_crudo.h"
#include "lanzador.h"
#include "nntp_crudo.h"
#include "store/imap/carpeta_imap.h"
#include "support/dovecot.h"
#include "support/inn.h"

namespace {

namespace fs = std::filesystem;
using Reloj = std::chrono::steady_clock;
using tablon::bench::Corrida;
using tablon::bench::EnlaceLento;
using tablon::bench::ImapCrudo;
using tablon::bench::Lanzador;
using tablon::bench::NntpCrudo;
using tablon::test::Article;
using tablon::test::Dovecot;
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
  bool imap = true;        // the IMAP store part
  bool solo_imap = false;  // only the IMAP store part
  bool traza_imap = false; // one more, untimed, IMAP triple with TABLON_TRAZA_IMAP per pass
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
// `otro_store` names another store (an IMAP location) instead of DIR/store; `entorno` is added
// to add-server's environment.
std::pair<std::string, std::string> PreparaAlmacen(const Config& cfg, const std::string& dir,
                                                   const std::string& host, const Grupo& g,
                                                   const std::string& otro_store = "",
                                                   const std::vector<std::string>& entorno = {}) {
  const std::string store = otro_store.empty() ? dir + "/store" : otro_store, servers = dir + "/servers";
  fs::create_directories(servers);
  Corrida c = cfg.lanzador->Ejecuta({cfg.tablon, "add-server", host, "--store", store, "--servers-dir", servers},
                                    entorno, cfg.work + "/tablon.log");
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

// ---- IMAP store ----------------------------------------------------------------------------

// A private Dovecot over storage of its own in `dir` (made before it starts: when the bench runs
// as root its mail processes run as another uid, which must own it), a HOME whose .netrc holds
// its password, and the store location Tablón is given.
struct ServidorImap {
  std::unique_ptr<Dovecot> dovecot;
  std::string ubicacion;  // imap://USER@127.0.0.1:PORT
  std::string casa;       // HOME for tablon
  std::vector<std::string> Entorno() const { return {"HOME=" + casa}; }
  uint16_t Puerto() const { return dovecot->Port(); }
};

ServidorImap ArrancaImap(const Config& cfg, const std::string& dir) {
  Cuarentena(cfg.work + "/trash", dir);
  fs::create_directories(dir + "/buzones");
  ServidorImap s;
  s.dovecot = std::make_unique<Dovecot>(dir + "/buzones");
  s.ubicacion = std::string("imap://") + Dovecot::kUsuario + "@127.0.0.1:" + std::to_string(s.Puerto());
  s.casa = dir + "/casa";
  fs::create_directories(s.casa);
  const std::string netrc = s.casa + "/.netrc";
  const int fd = open(netrc.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) Falla("open " + netrc);
  const std::string linea = std::string("machine 127.0.0.1 login ") + Dovecot::kUsuario + " password " +
                            Dovecot::kClave + "\n";
  if (write(fd, linea.data(), linea.size()) != static_cast<ssize_t>(linea.size())) Falla("write");
  close(fd);
  return s;
}

ImapCrudo AbreImap(const ServidorImap& s) { return ImapCrudo(s.Puerto(), Dovecot::kUsuario, Dovecot::kClave); }

// The group's mailbox: the Maildir folder's relative path with "/" between the parts.
std::string BuzonGrupo(const std::string& host, const std::string& grupo) {
  return CarpetaGrupo("", host, grupo).substr(1);
}

// The UID of an untagged FETCH response ("* 3 FETCH (UID 17 ..."), 0 when it names none.
uint32_t UidDe(std::string_view l) {
  const size_t p = l.find("UID ");
  return p == std::string_view::npos ? 0 : static_cast<uint32_t>(std::atol(std::string(l.substr(p + 4, 12)).c_str()));
}

// The messages of the selected mailbox whose UID is above `desde`, whole (BODY.PEEK[]), in UID order.
std::vector<std::string> MensajesDesde(ImapCrudo& c, uint32_t desde) {
  std::vector<std::pair<uint32_t, std::string>> r;
  c.Orden("UID FETCH " + std::to_string(desde + 1) + ":* (UID BODY.PEEK[])",
          [&](std::string_view l, const std::vector<std::string>& lit) {
            const uint32_t uid = UidDe(l);
            if (uid > desde && !lit.empty()) r.emplace_back(uid, lit.front());
          });
  std::sort(r.begin(), r.end());
  std::vector<std::string> m;
  for (auto& [_, t] : r) m.push_back(std::move(t));
  return m;
}

struct TripleImap {
  Triple t;
  std::vector<std::string> muestra;     // the W1 messages as stored (CRLF), when asked for
  std::vector<std::string> reemplazos;  // the messages W3 appended, when asked for
};

// As CorreTriple, into the IMAP store of `srv` (empty), the flags set over IMAP by another
// client: UID STORE +FLAGS (\Flagged) on every 100th message of the group's mailbox. With
// `copia`, the messages W1 stored and those W3 appended are kept. With `traza` not empty, pass K
// runs with TABLON_TRAZA_IMAP=traza-wK.txt.
TripleImap CorreTripleImap(const Config& cfg, const Grupo& g, const ServidorImap& srv, const std::string& dir,
                           bool copia, const std::string& traza = "") {
  const std::string host = "127.0.0.1:" + std::to_string(Puerto());
  Cuarentena(cfg.work + "/trash", dir);
  auto [store, servers] = PreparaAlmacen(cfg, dir, host, g, srv.ubicacion, srv.Entorno());
  auto entorno = [&](int k) {
    auto e = srv.Entorno();
    if (!traza.empty()) e.push_back("TABLON_TRAZA_IMAP=" + traza + "-w" + std::to_string(k) + ".txt");
    return e;
  };
  TripleImap r;
  Triple& t = r.t;
  t.w1 = CorreTablon(cfg, store, servers, entorno(1));
  t.w2 = CorreTablon(cfg, store, servers, entorno(2));
  const std::string buzon = BuzonGrupo(host, g.nombre);
  uint32_t ultimo = 0;
  {
    ImapCrudo c = AbreImap(srv);
    c.Selecciona(buzon);
    const auto uids = c.Uids();
    t.items = uids.size();
    if (copia) r.muestra = MensajesDesde(c, 0);
    std::vector<uint32_t> marcar;
    for (size_t i = 0; i < uids.size(); i += 100) marcar.push_back(uids[i]);
    t.marcados = static_cast<int>(marcar.size());
    if (!marcar.empty()) c.Orden("UID STORE " + tablon::store::imap::ConjuntoUid(marcar) + " +FLAGS.SILENT (\\Flagged)");
    if (!uids.empty()) ultimo = uids.back();
  }
  t.w3 = CorreTablon(cfg, store, servers, entorno(3));
  {
    ImapCrudo c = AbreImap(srv);
    c.Selecciona(buzon);
    const size_t despues = c.Uids().size();
    if (copia) r.reemplazos = MensajesDesde(c, ultimo);
    if (despues != t.items) {
      std::fprintf(stderr, "   aviso: la carpeta tenía %zu mensajes tras W2 y tiene %zu tras W3\n", t.items, despues);
    }
  }
  return r;
}

struct ResultadoImap {
  int n = 0, flagged = 0;
  size_t items = 0, reemplazados = 0;
  double tam_item = 0;
  double w1 = 0, w2 = 0, w3 = 0;
  double mem_w1 = 0, mem_w2 = 0, mem_w3 = 0;
  double mem_maildir[3]{};  // the Maildir passes' of the same group, for comparison
  double over = 0;           // GROUP + OVER, lines dropped (as the loopback floor)
  double bytes_over = 0;
  double apertura_nntp = 0;  // connect, greeting, MODE READER
  double grupo = 0;          // GROUP alone
  double apertura_imap = 0;  // connect, greeting, LOGIN
  double cabeceras = 0;      // SELECT + UID FETCH 1:* (UID FLAGS BODY.PEEK[HEADER.FIELDS (…)]), first reading
  double cabeceras_leidas = 0;  // the same of headers the server read before
  double appends = 0;        // the W1 messages, one APPEND each, pipelined
  double multiappend = 0;    // the same in MULTIAPPEND commands of kLoteMultiappend
  double articulos = 0;      // the W3 ARTICLE fetches
  double reemplazos = 0;     // the W3 messages APPENDed, the old ones STORE \Deleted + UID EXPUNGE
};

constexpr size_t kVentanaAppend = 256;
constexpr size_t kLoteMultiappend = 1000;

ResultadoImap MideImap(const Config& cfg, const Grupo& g, const Resultado* maildir) {
  ResultadoImap res;
  res.n = g.n;
  const std::string base = cfg.work + "/imap-n" + std::to_string(g.n);
  const std::string host = "127.0.0.1:" + std::to_string(Puerto());
  const std::string buzon = BuzonGrupo(host, g.nombre);
  std::vector<double> w1, w2, w3, m1, m2, m3, over, aper_n, grupo, aper_i, cab, cab_leidas, app, multi, art, ree;
  std::vector<std::string> muestra, nuevos;
  std::vector<std::string> flag_ids;
  for (int r = 0; r < cfg.reps; ++r) {
    const std::string dir = base + "-r" + std::to_string(r);
    ServidorImap srv = ArrancaImap(cfg, dir + "-dovecot");
    std::fprintf(stderr, "== IMAP: Dovecot en 127.0.0.1:%u, N=%d, rep %d\n", static_cast<unsigned>(srv.Puerto()), g.n, r);
    TripleImap ti = CorreTripleImap(cfg, g, srv, dir, r == 0);
    const Triple& t = ti.t;
    if (r == 0) {
      muestra = std::move(ti.muestra);
      nuevos = std::move(ti.reemplazos);
      double total = 0;
      for (const auto& m : muestra) total += static_cast<double>(m.size());
      res.tam_item = muestra.empty() ? 0 : total / static_cast<double>(muestra.size());
      if (muestra.empty()) throw std::runtime_error("IMAP: W1 no guardó nada en " + buzon);
    }
    res.items = t.items;
    res.flagged = t.marcados;
    res.reemplazados = nuevos.size();
    w1.push_back(t.w1.segundos);
    w2.push_back(t.w2.segundos);
    w3.push_back(t.w3.segundos);
    m1.push_back(static_cast<double>(t.w1.maxrss_kb));
    m2.push_back(static_cast<double>(t.w2.maxrss_kb));
    m3.push_back(static_cast<double>(t.w3.maxrss_kb));
    std::fprintf(stderr, "   rep %d: W1 %.3f s %ld KB, W2 %.3f s %ld KB, W3 %.3f s %ld KB (%d marcados, %zu reemplazados)\n",
                 r, t.w1.segundos, t.w1.maxrss_kb, t.w2.segundos, t.w2.maxrss_kb, t.w3.segundos, t.w3.maxrss_kb,
                 t.marcados, nuevos.size());
    if (flag_ids.empty()) flag_ids = IdsMarcados(g, res.flagged);

    // ---- Floors, on the same server ----
    {
      const SueloResumen s = ResumenCrudo(Puerto(), g.nombre);
      over.push_back(s.resumen);
      res.bytes_over = s.bytes;
    }
    {  // what a pass with nothing new must do on the news server: open a session, GROUP
      const auto t0 = Reloj::now();
      NntpCrudo c(Puerto());
      aper_n.push_back(Segundos(t0));
      const auto t1 = Reloj::now();
      const std::string gr = c.Orden("GROUP " + g.nombre);
      grupo.push_back(Segundos(t1));
      if (gr.rfind("211", 0) != 0) throw std::runtime_error("GROUP: " + gr);
    }
    {  // ... and on the IMAP server: log in, read the folder's headers once (the server has read
       // them before: for information; the floor below reads them first)
      const auto t0 = Reloj::now();
      ImapCrudo c = AbreImap(srv);
      aper_i.push_back(Segundos(t0));
      const auto t1 = Reloj::now();
      c.Selecciona(buzon);
      c.Orden("UID FETCH 1:* (UID FLAGS BODY.PEEK[HEADER.FIELDS (" + tablon::store::imap::CamposDeCabecera() + ")])");
      cab_leidas.push_back(Segundos(t1));
    }
    const std::string copia = "suelo/r" + std::to_string(r);
    {  // W1's messages written as Tablón writes them (one APPEND each, pipelined), into a new
       // mailbox, selected (the server appends into an open mailbox faster than it opens one per
       // APPEND); and, for comparison, in MULTIAPPEND commands
      ImapCrudo c = AbreImap(srv);
      c.Orden("CREATE \"" + copia + "\"");
      c.Orden("CREATE \"" + copia + "-multi\"");
      auto t0 = Reloj::now();
      c.Selecciona(copia);  // as Tablón does: into a mailbox the server holds open
      c.Appends(copia, "()", muestra, kVentanaAppend);
      app.push_back(Segundos(t0));
      c.Selecciona(copia + "-multi");
      t0 = Reloj::now();
      c.MultiAppend(copia + "-multi", "()", muestra, kLoteMultiappend);
      multi.push_back(Segundos(t0));
    }
    {  // W2's header reading as a W2 right after a W1 finds the server: the first reading of
       // messages just appended (Dovecot parses each message and fills its cache then)
      ImapCrudo c = AbreImap(srv);
      const auto t1 = Reloj::now();
      c.Selecciona(copia + "-multi");
      c.Orden("UID FETCH 1:* (UID FLAGS BODY.PEEK[HEADER.FIELDS (" + tablon::store::imap::CamposDeCabecera() + ")])");
      cab.push_back(Segundos(t1));
    }
    {  // W3's downloads: the same ARTICLE fetches, then the changed messages appended to the
       // copy and the old ones (every 100th) flagged \Deleted and expunged
      NntpCrudo n(Puerto());
      auto t0 = Reloj::now();
      for (const auto& id : flag_ids) n.Articulo(id);
      art.push_back(Segundos(t0));
      ImapCrudo c = AbreImap(srv);
      c.Selecciona(copia);
      const auto uids = c.Uids();
      std::vector<uint32_t> viejos;
      for (size_t i = 0; i < uids.size() && viejos.size() < std::max<size_t>(nuevos.size(), 1); i += 100) {
        viejos.push_back(uids[i]);
      }
      const std::string conjunto = tablon::store::imap::ConjuntoUid(viejos);
      t0 = Reloj::now();
      c.Appends(copia, "(\\Flagged)", nuevos, kVentanaAppend);
      c.Orden("UID STORE " + conjunto + " +FLAGS.SILENT (\\Deleted)");
      c.Orden("UID EXPUNGE " + conjunto);
      ree.push_back(Segundos(t0));
    }
    std::fprintf(stderr, "   rep %d suelos: OVER %.3f s, APPEND %.3f s, MULTIAPPEND %.3f s, cabeceras %.3f s, "
                 "ARTICLE %.3f s, reemplazos %.3f s\n", r, over.back(), app.back(), multi.back(), cab.back(),
                 art.back(), ree.back());
  }
  if (cfg.traza_imap) {  // untimed: what each pass asked of the IMAP server
    const std::string dir = base + "-traza";
    ServidorImap srv = ArrancaImap(cfg, dir + "-dovecot");
    const std::string traza = cfg.work + "/traza-imap-n" + std::to_string(g.n);
    for (int k = 1; k <= 3; ++k) fs::remove(traza + "-w" + std::to_string(k) + ".txt");
    CorreTripleImap(cfg, g, srv, dir, false, traza);
    std::fprintf(stderr, "   trazas IMAP: %s-w{1,2,3}.txt\n", traza.c_str());
  }
  // The Maildir passes' peak memory for the same group: from the loopback part, or one run here.
  if (maildir) {
    res.mem_maildir[0] = maildir->mem_w1;
    res.mem_maildir[1] = maildir->mem_w2;
    res.mem_maildir[2] = maildir->mem_w3;
  } else {
    const Triple t = CorreTriple(cfg, g, host, base + "-maildir", {}, "");
    res.mem_maildir[0] = static_cast<double>(t.w1.maxrss_kb) / 1024;
    res.mem_maildir[1] = static_cast<double>(t.w2.maxrss_kb) / 1024;
    res.mem_maildir[2] = static_cast<double>(t.w3.maxrss_kb) / 1024;
  }
  res.w1 = Mediana(w1);
  res.w2 = Mediana(w2);
  res.w3 = Mediana(w3);
  res.mem_w1 = Mediana(m1) / 1024;
  res.mem_w2 = Mediana(m2) / 1024;
  res.mem_w3 = Mediana(m3) / 1024;
  res.over = Mediana(over);
  res.apertura_nntp = Mediana(aper_n);
  res.grupo = Mediana(grupo);
  res.apertura_imap = Mediana(aper_i);
  res.cabeceras = Mediana(cab);
  res.cabeceras_leidas = Mediana(cab_leidas);
  res.appends = Mediana(app);
  res.multiappend = Mediana(multi);
  res.articulos = Mediana(art);
  res.reemplazos = Mediana(ree);
  return res;
}

void TablaImap(const ResultadoImap& r, int reps, bool maildir_aqui) {
  std::printf("\nIMAP store: a private Dovecot on loopback (a new one per run), Tablón with --store imap://...\n");
  std::printf("N = %d articles (%zu messages in the group's mailbox, %.0f bytes per message); medians of %d runs;"
              " W3 replaces %d flagged items (%zu messages appended)\n\n", r.n, r.items, r.tam_item, reps, r.flagged,
              r.reemplazados);
  Encabezado();
  Fila("W1 first pass", r.w1, "raw OVER + pipelined APPENDs", r.over + r.appends, 1.5);
  // The server commits every APPEND on its own; one command carrying many messages is cheaper.
  Fila("W1 first pass", r.w1, "raw OVER + MULTIAPPEND", r.over + r.multiappend, 0);
  // W2 comes right after W1: the server reads the new messages' headers for the first time
  // then. W3 reads them again.
  const double w2 = r.apertura_nntp + r.grupo + r.apertura_imap + r.cabeceras;
  const double w3 = r.apertura_nntp + r.grupo + r.apertura_imap + r.cabeceras_leidas + r.articulos + r.reemplazos;
  Fila("W2 second pass, nothing new", r.w2, "sessions + GROUP + 1st header FETCH", w2, 1.5);
  Fila("W3 pass with 1% flagged", r.w3, "sessions, FETCH, ARTICLEs, replaces", w3, 1.5);
  // (No "W3 - W2" row: W2 pays the server's first reading of the headers, W3 does not.)
  std::printf("\nfloors: GROUP + OVER %.3fs  APPENDs (window of %zu) %.3fs  MULTIAPPEND (%zu per command) %.3fs\n"
              "        NNTP session %.3fs  GROUP %.3fs  IMAP session (LOGIN) %.3fs\n"
              "        SELECT + header FETCH: first reading %.3fs, headers read before %.3fs\n"
              "        ARTICLE fetches %.3fs  APPEND + STORE \\Deleted + UID EXPUNGE of the replaced %.3fs\n",
              r.over, kVentanaAppend, r.appends, kLoteMultiappend, r.multiappend, r.apertura_nntp, r.grupo,
              r.apertura_imap, r.cabeceras, r.cabeceras_leidas, r.articulos, r.reemplazos);
  const double limite = 3 * r.bytes_over / 1048576.0 + 20;  // the loopback table's target
  std::printf("peak memory: IMAP W1 %.1f MB  W2 %.1f MB  W3 %.1f MB;  Maildir%s W1 %.1f MB  W2 %.1f MB  W3 %.1f MB\n"
              "             target <= 3 x overview + 20 MB = %.1f MB  IMAP %s\n",
              r.mem_w1, r.mem_w2, r.mem_w3, maildir_aqui ? "" : " (one run)", r.mem_maildir[0], r.mem_maildir[1],
              r.mem_maildir[2], limite, std::max({r.mem_w1, r.mem_w2, r.mem_w3}) <= limite ? "ok" : "MISSED");
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
                       " [--sin-enlace | --solo-enlace] [--enlace-n M] [--sin-imap | --solo-imap] [--traza-imap] N...\n");
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
    else if (a == "--sin-imap") cfg.imap = false;
    else if (a == "--solo-imap") cfg.solo_imap = true;
    else if (a == "--traza-imap") cfg.traza_imap = true;
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
    // --solo-enlace and --solo-imap leave the loopback tables out; given both, both parts run.
    const bool local = !cfg.solo_enlace && !cfg.solo_imap;
    const bool imap = cfg.imap && (cfg.solo_imap || !cfg.solo_enlace);
    const bool enlace = cfg.enlace && (cfg.solo_enlace || !cfg.solo_imap);
    for (int n : local ? cfg.tamanos : std::vector<int>{}) {
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
    if (imap) {
      for (int n : cfg.tamanos) {
        auto g = std::find_if(grupos.begin(), grupos.end(), [n](const Grupo& x) { return x.n == n; });
        if (g == grupos.end()) {
          grupos.push_back(CreaGrupo(n));
          g = grupos.end() - 1;
        }
        auto m = std::find_if(res.begin(), res.end(), [n](const Resultado& x) { return x.n == n; });
        const Resultado* maildir = m != res.end() ? &*m : nullptr;
        TablaImap(MideImap(cfg, *g, maildir), cfg.reps, maildir != nullptr);
      }
    }
    if (enlace) {
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
