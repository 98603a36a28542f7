// Whole passes (the run's form_load, in this process) against the scripted peer: what a pass does
// with faults a real server does not produce and with hostile text in what the server sends or
// an item holds. The pass must end as its routines' failure styles say, the store must hold only
// whole, sane items, nothing a server sends may choose a path, and nothing an item holds may
// reach the server as more than one argument.
#include <fcntl.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>

#include <gtest/gtest.h>

#include "app/almacen.h"
#include "app/main_frm.h"
#include "app/sincronizacion.h"
#include "core/error.h"
#include "news/grupo_news.h"
#include "news/message_news.h"
#include "news/servidor_news.h"
#include "nntp/control.h"
#include "store/maildir/aplicacion_maildir.h"
#include "store/maildir/carpeta_maildir.h"
#include "core/fs.h"
#include "store/outlook_module.h"
#include "support/almacen.h"
#include "support/instantanea.h"
#include "support/peer.h"
#include "support/tmpdir.h"

namespace tablon {
namespace {

namespace fs = std::filesystem;
using test::Lines;
using test::Peer;
using test::ReadFile;
using test::Step;
using test::TmpDir;
using test::WriteFile;
using Then = Step::Then;

constexpr auto kTimeout = std::chrono::milliseconds(400);
constexpr const char* kGrupo = "es.prueba.fallos";

std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Greeting, capabilities and an empty NEWGROUPS listing: the start of every pass.
std::vector<Step> Inicio(const std::vector<std::string>& grupos_nuevos = {}) {
  return {{"", "200 par listo\r\n"},
          {"CAPABILITIES", "101 Capacidades:\r\n" + Lines({"VERSION 2", "READER", "OVER"}) + ".\r\n"},
          {"NEWGROUPS *", "231 grupos nuevos\r\n" + Lines(grupos_nuevos) + ".\r\n"}};
}

std::string Over(int n, const std::string& subject, const std::string& id, const std::string& refs = "",
                 const std::string& autor = "Autor <a@x>") {
  return std::to_string(n) + "\t" + subject + "\t" + autor + "\tMon, 01 Jan 2024 00:00:00 +0000\t" + id + "\t" +
         refs + "\t100\t3";
}

// A pass asks for GROUP and the open range together; the group's routines called one by one ask
// for the announced range.
std::vector<Step> Grupo(const std::vector<std::string>& over, bool en_pasada = true) {
  const std::string n = std::to_string(over.size());
  return {{std::string("GROUP ") + kGrupo, "211 " + n + " 1 " + n + " " + kGrupo + "\r\n"},
          {en_pasada ? "OVER 1-" : "OVER 1-" + n, "224 resumen\r\n" + Lines(over) + ".\r\n"}};
}

// A store with a server post for the peer and a state file subscribing `grupos`.
class Pasada : public ::testing::Test {
 protected:
  void SetUp() override {
    FijaUbicacionAlmacen(store_.str());
    FijaDirectorioServidores(servers_.str());
    Ventana().News1->Timeout(kTimeout);
    Ventana().News1->NetrcPath("/nonexistent/netrc");
  }
  void TearDown() override { Ventana().News1->Timeout(std::chrono::milliseconds(60000)); }

  // A server post in the store the test has set (UbicacionAlmacen).
  void Servidor(const std::string& host) { test::EscribeServidor(UbicacionAlmacen(), host); }

  void Estado(const std::string& host, const std::vector<std::string>& grupos) {
    std::string s = "01/01/1990\r\n " + std::to_string(grupos.size()) + " \r\n";
    for (const auto& g : grupos) s += g + " 01/01/1990 X\r\n";
    WriteFile(servers_ / (host + ".txt"), s);
  }

  // One pass; the number of the error that ended it, 0 when it ended normally.
  long Ejecuta() {
    try {
      form_load();
      return 0;
    } catch (const Error& e) {
      return e.Number();
    }
  }

  std::shared_ptr<store::Folder> CarpetaDeGrupo(const std::string& host, const std::string& grupo) {
    IniciaOutlook();
    auto news = MapiNameSpace->Folder("news");
    auto s = BuscaOCreaCarpeta(*news, host);
    auto g = std::make_shared<GrupoNews>();
    g->CarpetaServidor(s);
    g->Nombre(grupo);
    g->Subscrito(true);
    return g->CarpetaGrupo();
  }

  std::vector<std::shared_ptr<store::Item>> Items(const std::string& host) {
    return CarpetaDeGrupo(host, kGrupo)->Items();
  }

  // Files left in any tmp/ of the store.
  size_t Temporales() const {
    size_t n = 0;
    for (const auto& e : fs::recursive_directory_iterator(store_.path())) {
      n += e.is_regular_file() && e.path().parent_path().filename() == "tmp";
    }
    return n;
  }

  TmpDir store_, servers_;
  std::string host_;
};

TEST_F(Pasada, ABrokenOverviewWritesNothingAndTheNextPassCompletes) {
  const std::vector<std::string> over = {Over(1, "Uno", "<1@x>"), Over(2, "Dos", "<2@x>", "<1@x>"),
                                         Over(3, "Tres", "<3@x>")};
  const std::string cabeza = "224 resumen\r\n" + Lines({over[0], over[1]});
  const std::string grupo211 = std::string("211 3 1 3 ") + kGrupo + "\r\n";
  struct Caso {
    const char* nombre;
    Step over;
  } casos[] = {
      {"closed before the terminating line", {"OVER 1-", cabeza, Then::kClose}},
      {"closed in the middle of a line", {"OVER 1-", cabeza + "3\tTr", Then::kClose}},
      {"silence mid-response", {"OVER 1-", cabeza, Then::kSilence}},
      {"10 MB without a line end, then closed", {"OVER 1-", cabeza + std::string(10 << 20, 'x'), Then::kClose}},
      {"17 MB without a line end (beyond the bound)", {"OVER 1-", cabeza + std::string(17 << 20, 'x'), Then::kSilence}},
      {"silent GROUP", {std::string("GROUP ") + kGrupo, "", Then::kSilence}},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    TmpDir store, servers;
    FijaUbicacionAlmacen(store.str());
    FijaDirectorioServidores(servers.str());
    std::string host;
    {
      std::vector<Step> guion = Inicio();
      if (c.over.expect.rfind("GROUP", 0) != 0) guion.push_back({std::string("GROUP ") + kGrupo, grupo211});
      guion.push_back(c.over);
      Peer par(guion);
      host = par.Host();
      Servidor(host);
      WriteFile(servers / (host + ".txt"), std::string("01/01/1990\r\n 1 \r\n") + kGrupo + " 01/01/1990 X\r\n");
      const auto inicio = std::chrono::steady_clock::now();
      // The group's routines trap the failure and the pass goes on to its end; then it reports
      // the group its broken connection cut short.
      EXPECT_NE(Ejecuta(), 0);
      EXPECT_LT(std::chrono::steady_clock::now() - inicio, 10 * kTimeout);
      EXPECT_EQ(par.Failures(), "");
    }
    EXPECT_TRUE(Items(host).empty()) << "no partial overview became items";
    // The next pass, against a server that answers whole (same address: a new peer on a new
    // port is another server, so the post is pointed at it).
    Peer bueno(Inicio() + Grupo(over));
    for (const auto& it : MapiNameSpace->Folder("news")->Items()) {
      it->UserProperties().Item("Servidor").SetValue(bueno.Host());
      it->Save();
    }
    fs::rename(servers / (host + ".txt"), servers / (bueno.Host() + ".txt"));
    ASSERT_EQ(Ejecuta(), 0);
    EXPECT_EQ(bueno.Failures(), "");
    EXPECT_EQ(Items(bueno.Host()).size(), 3u);
  }
  FijaUbicacionAlmacen(store_.str());
  FijaDirectorioServidores(servers_.str());
}

// Every header line of an item file: "Name: value" of a name the store writes, or a folded
// continuation; no CR, no NUL anywhere in the header block.
void CompruebaCabecera(const std::string& archivo) {
  static const std::set<std::string> kNombres = {
      "Date", "From", "To", "Reply-To", "Subject", "Message-ID", "In-Reply-To", "References", "MIME-Version",
      "Content-Type", "Content-Transfer-Encoding", "X-Tablon-Clase", "X-Tablon-Asunto", "X-Tablon-De",
      "X-Tablon-Para", "X-Tablon-Responder-A", "X-Tablon-Creado", "X-Tablon-Marca", "X-Tablon-Propiedad",
      "X-Tablon-Cuerpo"};
  const std::string cabecera = archivo.substr(0, archivo.find("\n\n"));
  EXPECT_EQ(cabecera.find('\r'), std::string::npos);
  EXPECT_EQ(cabecera.find('\0'), std::string::npos);
  size_t ini = 0;
  while (ini < cabecera.size()) {
    size_t fin = cabecera.find('\n', ini);
    if (fin == std::string::npos) fin = cabecera.size();
    const std::string linea = cabecera.substr(ini, fin - ini);
    ini = fin + 1;
    if (linea.empty() || linea[0] == ' ' || linea[0] == '\t') continue;
    EXPECT_TRUE(kNombres.count(linea.substr(0, linea.find(':')))) << "unexpected header line: " << linea.substr(0, 80);
  }
}

TEST_F(Pasada, HostileOverviewFieldsWriteSaneItems) {
  const std::string nul(1, '\0');
  const std::string enorme(1 << 20, 's');
  struct Linea {
    std::string over;
    std::string id, subject, autor;  // what the item must hold; id "" = no item
  } lineas[] = {
      {Over(0, "con" + nul + "nulo", "<nul@x>"), "<nul@x>", "con" + nul + "nulo", "Autor <a@x>"},
      {Over(-1, "retorno\rBcc: victima@x", "<cr@x>", "", "Malo\rX-Inyectada: 1"), "<cr@x>",
       "retorno\rBcc: victima@x", "Malo\rX-Inyectada: 1"},
      {Over(1, "autor nulo", "<an@x>", "", "A" + nul + "\rB"), "<an@x>", "autor nulo", "A" + nul + "\rB"},
      {"2147483648\tgrande\tA <a@x>\td\t<g1@x>\t\t2147483648\t-1", "<g1@x>", "grande", "A <a@x>"},
      {"18446744073709551616\tenorme\tA <a@x>\td\t<g2@x>\t\t18446744073709551616\tx", "<g2@x>", "enorme", "A <a@x>"},
      {"-1\tnegativo\tA <a@x>\td\t<g3@x>\t\t-1\t-1", "<g3@x>", "negativo", "A <a@x>"},
      {Over(5, enorme, "<big@x>"), "<big@x>", enorme, "Autor <a@x>"},
      {Over(6, "sin identificador", ""), "", "", ""},
      {"7", "", "", ""},
      {"", "", "", ""},
      {Over(8, "repetido", "<cr@x>"), "", "", ""},  // the same identifier again: no second item
  };
  std::vector<std::string> over;
  for (const auto& l : lineas) over.push_back(l.over);
  Peer par(Inicio() + Grupo(over));
  Servidor(par.Host());
  Estado(par.Host(), {kGrupo});
  ASSERT_EQ(Ejecuta(), 0);
  EXPECT_EQ(par.Failures(), "");

  std::map<std::string, std::shared_ptr<store::Item>> items;
  for (const auto& it : Items(par.Host())) {
    const std::string id = it->UserProperties().Item("ArticleID").ComoTexto();
    EXPECT_FALSE(items.count(id)) << "duplicate " << id;
    items[id] = it;
  }
  size_t esperados = 0;
  for (const auto& l : lineas) {
    if (l.id.empty()) continue;
    ++esperados;
    SCOPED_TRACE(l.id);
    ASSERT_TRUE(items.count(l.id));
    EXPECT_EQ(items[l.id]->Subject(), l.subject);
    EXPECT_EQ(items[l.id]->SentOnBehalfOfName(), l.autor);
    EXPECT_EQ(items[l.id]->MessageClass(), kClaseCabecera);
  }
  EXPECT_EQ(items.size(), esperados);
  for (const auto& e : fs::recursive_directory_iterator(store_.path())) {
    if (e.is_regular_file() && e.path().parent_path().filename() == "cur") CompruebaCabecera(ReadFile(e.path()));
  }
  EXPECT_EQ(Temporales(), 0u);
}

TEST_F(Pasada, AnArticleIdThatIsNotOneIdentifierIsNeverSent) {
  // A first pass (whose placeholder is keyed by one identifier, <p2@x>); then items whose
  // "ArticleID" a user edited, or that a store written before keyed by a whole References field
  // (two identifiers). All flagged but the good ones.
  const std::string dos = "<p1@x> <p2@x>";
  {
    Peer par(Inicio() + Grupo({Over(1, "Re: hilo", "<1@x>", dos)}));
    Servidor(par.Host());
    Estado(par.Host(), {kGrupo});
    ASSERT_EQ(Ejecuta(), 0);
    EXPECT_EQ(par.Failures(), "");
    host_ = par.Host();
  }
  const std::vector<std::string> malos = {"<a@x>\r\nQUIT", "<a@x>\nDATE", "<a@x> <b@x>", " <a@x>",
                                          "<a@x>\tx",      std::string("<a@x>\0x", 7), "<a b@x>", "a@x",
                                          "<" + std::string(300, 'a') + "@x>"};
  auto carpeta = CarpetaDeGrupo(host_, kGrupo);
  for (const auto& id : malos) {
    MessageNews m;
    m.id = id;
    m.subject = "editado";
    m.Autor = "yo";
    auto it = m.CreateOutlookMsg(kGrupo, nullptr);
    it->Move(*carpeta);
  }
  for (const auto& it : carpeta->Items()) {
    const std::string id = it->UserProperties().Item("ArticleID").ComoTexto();
    if (id == "<1@x>" || id == "<p2@x>") continue;  // good ones, left alone
    it->SetFlagStatus(store::kMarcado);
    it->Save();
  }
  const auto antes = test::LeeAlmacen(store_.path());
  ASSERT_EQ(carpeta->Items().size(), malos.size() + 2);

  // The second pass: the same overview, and no ARTICLE in the script (the peer answers 500 to
  // any command it does not expect and records it as a failure).
  Peer par(Inicio() + Grupo({Over(1, "Re: hilo", "<1@x>", dos)}));
  for (const auto& it : MapiNameSpace->Folder("news")->Items()) {
    it->UserProperties().Item("Servidor").SetValue(par.Host());
    it->Save();
  }
  fs::rename(servers_ / (host_ + ".txt"), servers_ / (par.Host() + ".txt"));
  fs::rename(store_ / "news" / host_, store_ / "news" / par.Host());
  ASSERT_EQ(Ejecuta(), 0);
  EXPECT_EQ(par.Failures(), "");
  for (const auto& c : par.Commands()) EXPECT_NE(c.line.rfind("ARTICLE", 0), 0u) << c.line;
  const auto despues = test::LeeAlmacen(store_.path());
  // Same items, same flags, still header items with no text (the server folder's name changed).
  ASSERT_EQ(antes.size(), despues.size());
  for (auto a = antes.begin(), d = despues.begin(); a != antes.end(); ++a, ++d) {
    EXPECT_EQ(a->second, d->second) << a->first;
  }
}

TEST_F(Pasada, HostileGroupNamesStayInsideTheStoreAndApart) {
  TmpDir caja;  // the store and the servers directory inside it; nothing else may appear there
  const fs::path store = caja / "store", servers = caja / "servers";
  fs::create_directories(servers);
  FijaUbicacionAlmacen(store.string());
  FijaDirectorioServidores(servers.string());
  const std::string largo(300, 'c');
  // From the server's listing; names ending in "." are refused there (see GetNewGroups), so
  // "../..", "." and ".." reach the pass only through a state file edited by hand.
  const std::vector<std::string> aceptados = {"/../foo", "////", "cur", "new", "tmp", ".x", "a..b", "%2E", "%", "a/b", "a%2Fb", largo, "l." + largo,
                                              "x." + largo + ".y"};
  const std::vector<std::string> rechazados = {std::string("a\0b", 3), "a\rb", "a\tb", "fin.", "\x7f", "../..", ".", ".."};
  const std::vector<std::string> a_mano = {"../..", ".", "..", "../../.x"};
  std::vector<std::string> lista;  // dot-stuffed, as a server sends a multi-line block
  for (const auto& n : aceptados) lista.push_back((n[0] == '.' ? "." : "") + n + " 1 1 y");
  for (const auto& n : rechazados) lista.push_back((n[0] == '.' ? "." : "") + n + " 1 1 y");
  std::string host;
  {
    Peer par(Inicio(lista));
    host = par.Host();
    Servidor(host);
    ASSERT_EQ(Ejecuta(), 0);
    EXPECT_EQ(par.Failures(), "");
  }
  // The state file lists exactly the accepted names, one line each; subscribe them all.
  std::string estado = ReadFile(servers / (host + ".txt"));
  std::string suscrito;
  size_t lineas = 0;
  for (size_t ini = 0, fin; (fin = estado.find("\r\n", ini)) != std::string::npos; ini = fin + 2, ++lineas) {
    std::string l = estado.substr(ini, fin - ini);
    EXPECT_EQ(l.find_first_of(std::string("\r\n\0", 3)), std::string::npos);
    if (lineas >= 2) l += "X";
    suscrito += l + "\r\n";
  }
  EXPECT_EQ(lineas, 2 + aceptados.size()) << estado;
  for (const auto& n : a_mano) suscrito += n + " 01/01/1990 X\r\n";
  const size_t cuenta = suscrito.find("\r\n") + 2;
  suscrito.replace(cuenta, suscrito.find("\r\n", cuenta) - cuenta, " " + std::to_string(lineas - 2 + a_mano.size()) + " ");
  WriteFile(servers / (host + ".txt"), suscrito);
  std::vector<std::string> todos = aceptados;
  todos.insert(todos.end(), a_mano.begin(), a_mano.end());
  {
    std::vector<Step> guion = Inicio();
    // Each group is asked for with its overview (answered 411, then 412), then selected once
    // more by the overview's own step (411).
    for (size_t i = 0; i < todos.size(); ++i) {
      guion.push_back({"GROUP *", "411 no existe\r\n"});
      guion.push_back({"OVER 1-", "412 ningún grupo seleccionado\r\n"});
      guion.push_back({"GROUP *", "411 no existe\r\n"});
    }
    Peer par(guion);
    for (const auto& it : MapiNameSpace->Folder("news")->Items()) {
      it->UserProperties().Item("Servidor").SetValue(par.Host());
      it->Save();
    }
    fs::rename(servers / (host + ".txt"), servers / (par.Host() + ".txt"));
    host = par.Host();
    ASSERT_EQ(Ejecuta(), 0);
    EXPECT_EQ(par.Failures(), "");
  }
  // Nothing outside the two directories; no symbolic link made; every group its own folder.
  std::set<std::string> arriba;
  for (const auto& e : fs::directory_iterator(caja.path())) arriba.insert(e.path().filename().string());
  EXPECT_EQ(arriba, (std::set<std::string>{"store", "servers"}));
  for (const auto& e : fs::recursive_directory_iterator(caja.path())) EXPECT_FALSE(e.is_symlink()) << e.path();
  std::set<std::string> rutas;
  for (const auto& n : todos) {
    SCOPED_TRACE(n.substr(0, 40));
    auto f = std::dynamic_pointer_cast<store::maildir::CarpetaMaildir>(CarpetaDeGrupo(host, n));
    ASSERT_TRUE(f);
    const fs::path ruta = fs::weakly_canonical(f->Ruta());
    EXPECT_EQ(ruta.string().rfind(fs::weakly_canonical(store / "news").string() + "/", 0), 0u) << ruta;
    EXPECT_TRUE(fs::is_directory(ruta / "cur"));
    EXPECT_TRUE(rutas.insert(ruta.string()).second) << "two names share " << ruta;
    for (const auto& comp : ruta) EXPECT_LE(comp.string().size(), 255u);
  }
  // The listing gives back the exact names (no escaped form leaks out as a folder name).
  IniciaOutlook();
  FijaUbicacionAlmacen(store_.str());
  FijaDirectorioServidores(servers_.str());
}

TEST_F(Pasada, HostileHostsEndThePassBeforeAnythingIsMade) {
  for (const std::string& host : std::vector<std::string>{"../x", "a/b", "..", ".", std::string("a\0b", 3), "a\nb", ""}) {
    SCOPED_TRACE(host);
    TmpDir caja;
    FijaUbicacionAlmacen((caja / "store").string());
    FijaDirectorioServidores((caja / "servers").string());
    fs::create_directories(caja / "servers");
    Servidor(host);
    const auto antes = test::LeeAlmacen(caja / "store");
    EXPECT_EQ(Ejecuta(), errnum::kArgumentoNoValido);
    EXPECT_TRUE(fs::is_empty(caja / "servers"));
    EXPECT_EQ(test::Diferencias(test::LeeAlmacen(caja / "store"), antes), "");
    std::set<std::string> arriba;
    for (const auto& e : fs::directory_iterator(caja.path())) arriba.insert(e.path().filename().string());
    EXPECT_EQ(arriba, (std::set<std::string>{"store", "servers"}));
  }
  FijaUbicacionAlmacen(store_.str());
  FijaDirectorioServidores(servers_.str());
}

// The store's file-system layer with a disk that fills up at the N-th write (or turns read-only:
// `fallo`) and a sync that fails with EIO.
class FsFallido : public Fs {
 public:
  int escrituras_hasta_lleno = -1;  // -1: never full
  int fallo = ENOSPC;
  int rechazadas = 0;               // writes refused so far
  bool sync_falla = false;
  ssize_t Write(int fd, const void* buf, size_t n) override {
    if (escrituras_hasta_lleno >= 0 && escrituras_hasta_lleno-- == 0) {
      escrituras_hasta_lleno = 0;  // stays full
      ++rechazadas;
      errno = fallo;
      return -1;
    }
    return Fs::Write(fd, buf, n);
  }
  int Syncfs(int fd) override {
    if (sync_falla) {
      errno = EIO;
      return -1;
    }
    return Fs::Syncfs(fd);
  }
};

TEST_F(Pasada, AFullDiskSkipsItemsWholeAndAFailedSyncEndsThePass) {
  std::vector<std::string> over;
  for (int i = 1; i <= 8; ++i) over.push_back(Over(i, "Asunto " + std::to_string(i), "<" + std::to_string(i) + "@x>",
                                                   i % 2 == 0 ? "<" + std::to_string(i - 1) + "@x>" : "<falta@x>"));
  // Every write the group's routines could not make is counted, with the system's reason.
  const std::pair<int, int> casos[] = {{0, ENOSPC}, {1, EROFS}, {3, ENOSPC}, {6, EACCES}, {11, ENOSPC}};
  for (const auto& [lleno, fallo] : casos) {
    SCOPED_TRACE("disk full from write " + std::to_string(lleno) + ": " + std::strerror(fallo));
    std::shared_ptr<GrupoNews> g;
    TmpDir dir;
    auto fs_fallido = std::make_shared<FsFallido>();
    // The group's routines, in the run's order, on a store whose disk fills up.
    auto grupo = [&](std::shared_ptr<Fs> fs, bool sync_falla) {
      fs_fallido->sync_falla = sync_falla;
      OutlookApp = store::maildir::AbreMaildir(dir.str(), fs);
      MapiNameSpace = OutlookApp->GetNamespace("MAPI");
      Peer par(Inicio() + Grupo(over, false));
      auto news = std::make_shared<nntp::Control>();
      news->Host(par.Host());
      news->Timeout(kTimeout);
      news->NetrcPath("/nonexistent/netrc");
      news->Command(nntp::kConectar);
      g = std::make_shared<GrupoNews>();
      g->CarpetaServidor(BuscaOCreaCarpeta(*BuscaOCreaCarpeta(*MapiNameSpace->AddFolder("news"), "srv"), "srv"));
      g->Nombre(kGrupo);
      g->Subscrito(true);
      g->ControlNews(news);
      g->CreaEntradaGrupo();
      g->LeeCopiasLocales();
      news->SinceDate("Mon, 01 Jan 1990 00:00:00");
      news->Command(nntp::kListarGruposNuevos);  // the peer's script starts with NEWGROUPS
      g->LeeEncabezados();
      g->CreaMensajesGrupo();
      g->LeeMensajesMarcados();
      OutlookApp->Sync();
    };
    fs_fallido->escrituras_hasta_lleno = lleno;
    fs_fallido->fallo = fallo;
    try {
      grupo(fs_fallido, false);
      EXPECT_EQ(g->NoEscritos().Fallos() > 0, fs_fallido->rechazadas > 0);
      if (g->NoEscritos().Fallos() > 0) {
        EXPECT_EQ(g->NoEscritos().Motivo(), std::strerror(fallo));
      }
    } catch (const Error& e) {
      // Only the steps that trap nothing may end it: the entry post.
      EXPECT_EQ(e.Number(), Error::DeErrno(fallo, "").Number()) << e.Description();
    }
    // Whatever was written is whole; no temporary file is left; no item twice.
    auto tras = test::LeeAlmacen(dir.path());
    EXPECT_EQ(test::Duplicados(tras), "");
    for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
      if (!e.is_regular_file()) continue;
      EXPECT_NE(e.path().parent_path().filename(), "tmp") << e.path();
      const std::string archivo = ReadFile(e.path());
      if (e.path().parent_path().filename() == "cur") {
        EXPECT_NE(archivo.find("\n\n"), std::string::npos) << e.path();
      }
    }
    // Space again: the next run completes, every article once (plus the placeholder).
    fs_fallido->escrituras_hasta_lleno = -1;
    ASSERT_NO_THROW(grupo(fs_fallido, false));
    EXPECT_EQ(g->NoEscritos().Fallos(), 0);
    tras = test::LeeAlmacen(dir.path());
    EXPECT_EQ(test::Duplicados(tras), "");
    size_t en_grupo = 0;
    for (const auto& [carpeta, items] : tras) {
      if (carpeta.size() > 6 && carpeta.substr(carpeta.size() - 6) == "fallos") en_grupo = items.size();
    }
    EXPECT_EQ(en_grupo, over.size() + 1);
    // A sync that fails with EIO is an error that ends the pass (one that has something to make
    // durable: an item the user deleted is written again).
    for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
      const auto carpeta = e.path().parent_path().parent_path().filename().string();
      if (e.is_regular_file() && e.path().parent_path().filename() == "cur" && carpeta.ends_with("fallos")) {
        fs::remove(e.path());
        break;
      }
    }
    try {
      grupo(fs_fallido, true);
      ADD_FAILURE() << "a failed sync must end the pass";
    } catch (const Error& e) {
      EXPECT_EQ(e.Number(), errnum::kErrorDeEntradaSalida) << e.Description();
    }
  }
  FijaUbicacionAlmacen(store_.str());
  IniciaOutlook();
}

}  // namespace
}  // namespace tablon
