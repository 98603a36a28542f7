// Whole passes of the tablon program against the local INN: the order of the status texts,
// server posts of the wrong class, missing or empty "news", unreachable servers, hostile host
// names, the pass lock, the group list kept in the state file across passes, new groups near
// the check date, a standard output that cannot be written, what the commands refuse, say
// and remove, and the language they say it in.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "app/almacen.h"
#include "app/bloqueo.h"
#include "core/fecha.h"
#include "store/outlook_module.h"
#include "support/almacen.h"
#include "support/dovecot.h"
#include "support/idioma.h"
#include "support/inn.h"
#include "support/programa.h"
#include "support/tmpdir.h"

namespace tablon {
namespace {

namespace fs = std::filesystem;
using test::Inn;
using test::Programa;
using test::ReadFile;
using test::Salida;
using test::TmpDir;

class InnPasada : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Inn::Available()) GTEST_SKIP() << "TABLON_INN_PORT is not set: no local INN";
  }
  // A server post written through the store, as a user's mail client could have left it.
  void Post(const std::string& host, const std::string& clase) { test::EscribeServidor(store_.str(), host, clase); }
  std::string HostAlternativo() const {
    return "localhost:" + Inn::Host().substr(Inn::Host().rfind(':') + 1);
  }

  TmpDir store_, servers_;
  Programa tablon_{store_.path(), servers_.path()};
};

TEST_F(InnPasada, StatusTextsComeInOrderAndAWrongClassPostIsStillProcessed) {
  ASSERT_EQ(tablon_.Ejecuta({"add-server", Inn::Host()}).codigo, 0);
  Post(HostAlternativo(), "ipm.post.news.servidor");
  Salida s = tablon_.Ejecuta({"--verbose"});
  ASSERT_EQ(s.codigo, 0) << s.err;
  const std::vector<std::string> por_servidor = {
      "Leyendo informacion servidor ...", "Conectando con servidor...", "Buscando nuevos grupos ...",
      "Guardando nuevos grupos ...",      "Descargando grupos ...",     "Desconectando ..."};
  std::vector<std::string> want = {"...", "Iniciando Outlook ...", "Leyendo informacion servidores ..."};
  for (int i = 0; i < 2; ++i) want.insert(want.end(), por_servidor.begin(), por_servidor.end());
  EXPECT_EQ(s.Etiqueta("Status"), want);
  EXPECT_EQ(s.Etiqueta("Servidor"), (std::vector<std::string>{Inn::Host(), HostAlternativo()}));
  size_t avisos = 0;
  for (size_t p = 0; (p = s.err.find("No tiene la clase correcta", p)) != std::string::npos; ++p) ++avisos;
  EXPECT_EQ(avisos, 1u) << s.err;
  // Each server has its folder and its state file; the trace shows the connection closed.
  EXPECT_TRUE(fs::is_directory(store_ / "news" / Inn::Host()));
  EXPECT_TRUE(fs::is_directory(store_ / "news" / HostAlternativo()));
  EXPECT_TRUE(fs::exists(servers_ / (Inn::Host() + ".txt")));
  EXPECT_TRUE(fs::exists(servers_ / (HostAlternativo() + ".txt")));
  auto debug = s.Etiqueta("Debug");
  EXPECT_NE(std::find(debug.begin(), debug.end(), "QUIT"), debug.end());
}

// The items of a group's folder in the store at `store_dir`, by their "ArticleID".
std::map<std::string, std::shared_ptr<store::Item>> ItemsDelGrupo(const std::string& store_dir, const std::string& grupo) {
  FijaUbicacionAlmacen(store_dir);
  IniciaOutlook();
  std::shared_ptr<store::Folder> f = BuscaOCreaCarpeta(*MapiNameSpace->Folder("news"), Inn::Host());
  for (size_t p = 0, q; p <= grupo.size(); p = q + 1) {
    q = std::min(grupo.find('.', p), grupo.size());
    f = BuscaOCreaCarpeta(*f, grupo.substr(p, q - p));
  }
  std::map<std::string, std::shared_ptr<store::Item>> r;
  for (const auto& it : f->Items()) r[it->UserProperties().Item("ArticleID").ComoTexto()] = it;
  return r;
}

std::vector<std::string> Lineas(const std::string& texto) {
  std::vector<std::string> r;
  for (size_t p = 0, q; (q = texto.find('\n', p)) != std::string::npos; p = q + 1) r.push_back(texto.substr(p, q - p));
  return r;
}

// Batch output for a person reading cron's mail: the Status lines and a closing line, however
// many groups the server has (a caption change of every group only with --verbose); -q prints
// nothing on a pass that ends well and only the error on one that fails.
TEST_F(InnPasada, BatchOutputIsShortQuietIsSilentAndVerboseShowsEveryCaption) {
  ASSERT_EQ(tablon_.Ejecuta({"add-server", Inn::Host()}).codigo, 0);
  Salida primera = tablon_.Ejecuta({"--once"});
  ASSERT_EQ(primera.codigo, 0) << primera.err;
  const size_t grupos = Lineas(ReadFile(servers_ / (Inn::Host() + ".txt"))).size() - 2;
  ASSERT_GE(grupos, 50u) << "the local INN's groups";
  const auto lineas = Lineas(primera.out);
  EXPECT_LT(lineas.size(), 15u) << primera.out;
  ASSERT_FALSE(lineas.empty());
  for (size_t i = 0; i + 1 < lineas.size(); ++i) EXPECT_EQ(lineas[i].rfind("Status: ", 0), 0u) << primera.out;
  EXPECT_EQ(lineas.back().rfind("Pasada terminada en ", 0), 0u) << primera.out;
  EXPECT_NE(lineas.back().find(" s: ningún grupo subscrito"), std::string::npos) << lineas.back();
  EXPECT_EQ(primera.err, "");

  Salida callada = tablon_.Ejecuta({"-q"});
  EXPECT_EQ(callada.codigo, 0) << callada.err;
  EXPECT_EQ(callada.out + callada.err, "");
  EXPECT_EQ(tablon_.Ejecuta({"--quiet"}).out, "");
  EXPECT_EQ(tablon_.Ejecuta({"-q", "--verbose"}).codigo, 2);

  Salida detallada = tablon_.Ejecuta({"--verbose"});
  ASSERT_EQ(detallada.codigo, 0) << detallada.err;
  EXPECT_GE(detallada.Etiqueta("Grupo").size(), grupos) << "one caption change per group";
  EXPECT_EQ(detallada.Etiqueta("Servidor"), std::vector<std::string>{Inn::Host()});
  EXPECT_FALSE(detallada.Etiqueta("Debug").empty());

  ASSERT_EQ(tablon_.Ejecuta({"add-server", "127.0.0.1:1"}).codigo, 0);
  Salida fallida = tablon_.Ejecuta({"-q"});
  EXPECT_EQ(fallida.codigo, 1);
  EXPECT_EQ(fallida.out, "");
  EXPECT_NE(fallida.err.find("Error 10061"), std::string::npos) << fallida.err;
}

// A subscribed group's line says what its work did; a flagged placeholder whose article the
// server does not have (430) is named there on every pass and stays a flagged header item.
TEST_F(InnPasada, EachSubscribedGroupHasALineThatNamesWhatTheServerDoesNotHave) {
  const std::string grupo = Inn::UniqueName("tablon.resumen");
  Inn::CreateGroup(grupo);
  auto articulo = [&](const std::string& tag, const std::string& subject, const std::string& refs) {
    test::Article a;
    a.message_id = "<" + tag + "." + grupo + "@tablon.test>";
    a.newsgroups = grupo;
    a.subject = subject;
    a.from = "Autor <autor@tablon.test>";
    a.references = refs;
    a.body = "Texto de " + tag;
    return a;
  };
  const std::string perdido = "<perdido." + grupo + "@tablon.test>";
  const auto raiz = articulo("raiz", "Raíz", "");
  Inn::Post({raiz, articulo("respuesta", "Re: Raíz", raiz.message_id), articulo("huerfano", "Re: Huérfano", perdido)});
  ASSERT_EQ(tablon_.Ejecuta({"add-server", Inn::Host()}).codigo, 0);
  ASSERT_EQ(tablon_.Ejecuta({"--once"}).codigo, 0);
  ASSERT_EQ(tablon_.Ejecuta({"subscribe", Inn::Host(), grupo}).codigo, 0);

  // The lines after the Status lines, the closing line without its time.
  auto grupo_y_cierre = [](const Salida& s) {
    std::vector<std::string> r;
    for (const auto& l : Lineas(s.out)) {
      if (l.rfind("Pasada terminada en ", 0) == 0) {
        r.push_back("Pasada terminada: " + l.substr(l.find(" s: ") + 4));
      } else if (l.rfind("Status: ", 0) != 0) {
        r.push_back(l);
      }
    }
    return r;
  };
  const Salida uno = tablon_.Ejecuta({"--once"});
  ASSERT_EQ(uno.codigo, 0) << uno.err;
  EXPECT_EQ(grupo_y_cierre(uno), (std::vector<std::string>{"Grupo " + grupo + ": 3 nuevos",
                                                           "Pasada terminada: 1 grupo, 3 nuevos"}))
      << uno.out;

  // Flagged as a mail client flags them.
  for (const std::string& id : {raiz.message_id, perdido}) {
    auto items = ItemsDelGrupo(store_.str(), grupo);
    ASSERT_TRUE(items.count(id)) << id;
    items[id]->SetFlagStatus(store::kMarcado);
    items[id]->Save();
  }
  const std::string linea = "Grupo " + grupo + ": 1 descargado, 1 no disponible («Re: Huérfano»)";
  const Salida dos = tablon_.Ejecuta({"--once"});
  ASSERT_EQ(dos.codigo, 0) << dos.err;
  EXPECT_EQ(grupo_y_cierre(dos), (std::vector<std::string>{linea, "Pasada terminada: 1 grupo, 1 descargado, 1 no disponible"}))
      << dos.out;
  const Salida tres = tablon_.Ejecuta({"--once"});
  EXPECT_EQ(grupo_y_cierre(tres), (std::vector<std::string>{"Grupo " + grupo + ": 1 no disponible («Re: Huérfano»)",
                                                            "Pasada terminada: 1 grupo, 1 no disponible"}))
      << tres.out;
  EXPECT_EQ(tablon_.Ejecuta({"-q"}).out, "");
  auto items = ItemsDelGrupo(store_.str(), grupo);
  EXPECT_EQ(items[raiz.message_id]->MessageClass(), "IPM.Note.News.Full");
  const bool cabecera_marcada =
      items[perdido]->MessageClass() == "IPM.Note.News.Header" && items[perdido]->FlagStatus() == store::kMarcado;
  EXPECT_TRUE(cabecera_marcada) << "the placeholder is left as it was";
}

TEST_F(InnPasada, EmptyOrMissingNewsAndUnreachableServers) {
  Salida sin_news = tablon_.Ejecuta({});
  EXPECT_EQ(sin_news.codigo, 1);
  EXPECT_NE(sin_news.err.find("no tiene la carpeta «news»: defina primero un servidor con «tablon add-server"),
            std::string::npos)
      << sin_news.err;
  EXPECT_TRUE(fs::is_empty(store_.path()) && fs::is_empty(servers_.path())) << "the refused pass made something";

  fs::create_directories(store_ / "news" / "cur");
  fs::create_directories(store_ / "news" / "new");
  fs::create_directories(store_ / "news" / "tmp");
  Salida vacia = tablon_.Ejecuta({"--once"});
  EXPECT_EQ(vacia.codigo, 0) << vacia.err;
  ASSERT_FALSE(vacia.Etiqueta("Status").empty());
  EXPECT_EQ(vacia.Etiqueta("Status").back(), "Leyendo informacion servidores ...");

  ASSERT_EQ(tablon_.Ejecuta({"add-server", "127.0.0.1:1"}).codigo, 0);
  Salida caido = tablon_.Ejecuta({"--once"});
  EXPECT_EQ(caido.codigo, 1);
  EXPECT_NE(caido.err.find("Error 10061"), std::string::npos) << caido.err;
  EXPECT_EQ(caido.Etiqueta("Status").back(), "Desconectando ...");
  // A server that cannot be reached keeps no later one from its pass; the pass still fails, and
  // says which server it could not synchronise.
  ASSERT_EQ(tablon_.Ejecuta({"add-server", Inn::Host()}).codigo, 0);
  Salida ambos = tablon_.Ejecuta({"--once"});
  EXPECT_EQ(ambos.codigo, 1);
  EXPECT_NE(ambos.err.find("No se sincronizó el servidor «127.0.0.1:1» (Error 10061"), std::string::npos) << ambos.err;
  EXPECT_TRUE(fs::exists(servers_ / (Inn::Host() + ".txt"))) << "the second server was synchronised";
  EXPECT_NE(ambos.out.find("1 servidor sin sincronizar"), std::string::npos) << ambos.out;
}

TEST_F(InnPasada, HostsThatWouldLeaveTheirDirectoriesAreRefused) {
  for (const std::string host : {"../x", "a/b", ""}) {
    EXPECT_EQ(tablon_.Ejecuta({"add-server", host}).codigo, 2) << host;
  }
  Post("../x", "IPM.Post.News.Servidor");
  Salida s = tablon_.Ejecuta({});
  EXPECT_EQ(s.codigo, 1);
  EXPECT_NE(s.err.find("no es válido"), std::string::npos) << s.err;
  EXPECT_FALSE(fs::exists(servers_.path().parent_path() / "x.txt"));
  EXPECT_FALSE(fs::exists(store_ / "x"));
  for (const auto& e : fs::directory_iterator(servers_.path())) {
    EXPECT_EQ(e.path().filename().string().rfind(".tablon.lock", 0), 0u) << e.path();
  }
}

TEST_F(InnPasada, OnlyOnePassAtATimePerServersDirectory) {
  ASSERT_EQ(tablon_.Ejecuta({"add-server", Inn::Host()}).codigo, 0);
  {
    Bloqueo otra_pasada(servers_.str());
    Salida s = tablon_.Ejecuta({});
    EXPECT_EQ(s.codigo, 3);
    EXPECT_NE(s.err.find("en curso"), std::string::npos) << s.err;
    EXPECT_EQ(tablon_.Ejecuta({"subscribe", Inn::Host(), "x"}).codigo, 3);
    EXPECT_FALSE(fs::exists(servers_ / (Inn::Host() + ".txt"))) << "the refused pass wrote nothing";
  }
  EXPECT_EQ(tablon_.Ejecuta({}).codigo, 0);
}

TEST_F(InnPasada, GroupsAreListedSubscribedAndGivenTheirPlaceInTheStore) {
  const std::string p = Inn::UniqueName("tablon");
  Inn::CreateGroup(p + ".a.b");
  Inn::CreateGroup(p + ".a.b.c");
  const std::string host = Inn::Host();
  ASSERT_EQ(tablon_.Ejecuta({"add-server", host}).codigo, 0);

  // First pass: no state file, every group listed, unsubscribed, dated 1 January 1990.
  ASSERT_EQ(tablon_.Ejecuta({}).codigo, 0);
  const std::string estado = ReadFile(servers_ / (host + ".txt"));
  EXPECT_NE(estado.find("\r\n" + p + ".a.b 01/01/1990 \r\n"), std::string::npos) << estado;
  EXPECT_NE(estado.find("\r\n" + p + ".a.b.c 01/01/1990 \r\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(store_ / "news" / host / p));

  Salida unknown = tablon_.Ejecuta({"subscribe", host, p + ".a.b", p + ".nope"});
  EXPECT_EQ(unknown.codigo, 1);
  EXPECT_NE(unknown.err.find(p + ".nope"), std::string::npos);
  EXPECT_EQ(ReadFile(servers_ / (host + ".txt")), estado) << "an unknown name changes nothing";

  ASSERT_EQ(tablon_.Ejecuta({"subscribe", host, p + ".a.b", p + ".A.B.C"}).codigo, 0);
  Salida lista = tablon_.Ejecuta({"groups", host, p + ".*"});
  EXPECT_NE(lista.out.find("X " + p + ".a.b\n"), std::string::npos) << lista.out;
  EXPECT_NE(lista.out.find("X " + p + ".a.b.c\n"), std::string::npos) << lista.out;

  // Second pass: entry posts and the shared folder chain.
  Salida segunda = tablon_.Ejecuta({});
  ASSERT_EQ(segunda.codigo, 0) << segunda.err;
  fs::path b = store_ / "news" / host;
  for (const std::string& c : {p.substr(0, p.find('.')), p.substr(p.find('.') + 1), std::string("a"), std::string("b")}) b /= c;
  EXPECT_TRUE(fs::is_directory(b / "cur"));
  EXPECT_TRUE(fs::is_directory(b / "c" / "cur"));
  auto entradas = [&] {
    IniciaOutlook();
    size_t n = 0;
    auto servidor = MapiNameSpace->Folder("news");
    for (const auto& f : servidor->Folders()) {
      if (f->Name() != host) continue;
      for (const auto& it : f->Items()) n += it->MessageClass() == "IPM.Post.News.Subscripcion";
    }
    return n;
  };
  FijaUbicacionAlmacen(store_.str());
  EXPECT_EQ(entradas(), 2u);

  // A group created between passes is added once, unsubscribed; the entries are not duplicated.
  Inn::CreateGroup(p + ".nuevo");
  ASSERT_EQ(tablon_.Ejecuta({}).codigo, 0);
  ASSERT_EQ(tablon_.Ejecuta({}).codigo, 0);
  const std::string despues = ReadFile(servers_ / (host + ".txt"));
  size_t veces = 0;
  for (size_t pos = 0; (pos = despues.find("\n" + p + ".nuevo ", pos)) != std::string::npos; ++pos) ++veces;
  EXPECT_EQ(veces, 1u);
  EXPECT_EQ(entradas(), 2u);
  EXPECT_NE(despues.find("\r\n" + p + ".a.b 01/01/1990 X\r\n"), std::string::npos) << despues;
}

TEST_F(InnPasada, AGroupCreatedJustBeforeTheStoredCheckDateIsListedByTheNextPass) {
  const std::string host = Inn::Host();
  ASSERT_EQ(tablon_.Ejecuta({"add-server", host}).codigo, 0);
  ASSERT_EQ(tablon_.Ejecuta({"--once"}).codigo, 0);
  // The group is created now, and the check date says an hour later: what a pass leaves when the
  // group comes while the server answers, when this machine's clock is ahead of the server's, or
  // when the hour repeated at the end of daylight saving is read as its second time.
  const std::string nombre = Inn::UniqueName("tablon.tarde");
  Inn::CreateGroup(nombre);
  const fs::path estado = servers_ / (host + ".txt");
  std::string texto = ReadFile(estado);
  texto = FormatoEstado(Fecha::DesdeUnix(std::time(nullptr) + 3600)) + texto.substr(texto.find("\r\n"));
  test::WriteFile(estado, texto);

  ASSERT_EQ(tablon_.Ejecuta({"--once"}).codigo, 0);
  const std::string despues = ReadFile(estado);
  EXPECT_NE(despues.find("\r\n" + nombre + " 01/01/1990 \r\n"), std::string::npos);
  // The check date is the pass's own moment again.
  const auto fecha = LeeFormatoEstado(despues.substr(0, despues.find("\r\n")));
  ASSERT_TRUE(fecha.has_value());
  EXPECT_LE(fecha->AUnix(), std::time(nullptr));
}

// `tablon --once | head -1`: standard output is a pipe whose reader is gone. The pass is not
// killed by SIGPIPE and a failed write does not fail it.
TEST_F(InnPasada, APassWhoseStandardOutputIsClosedStillEndsWell) {
  const std::string host = Inn::Host();
  ASSERT_EQ(tablon_.Ejecuta({"add-server", host}).codigo, 0);
  ASSERT_EQ(tablon_.Ejecuta({"--once"}).codigo, 0);
  const fs::path estado = servers_ / (host + ".txt");
  std::string texto = ReadFile(estado);
  test::WriteFile(estado, "01/01/2000" + texto.substr(texto.find("\r\n")));

  int tubo[2];
  ASSERT_EQ(::pipe(tubo), 0);
  ::close(tubo[0]);
  posix_spawn_file_actions_t acciones;
  posix_spawn_file_actions_init(&acciones);
  posix_spawn_file_actions_adddup2(&acciones, tubo[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&acciones, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // SIGPIPE as a shell leaves it: delivered, with its default action (this process may not).
  posix_spawnattr_t atributos;
  posix_spawnattr_init(&atributos);
  sigset_t senales;
  sigemptyset(&senales);
  posix_spawnattr_setsigmask(&atributos, &senales);
  sigaddset(&senales, SIGPIPE);
  posix_spawnattr_setsigdefault(&atributos, &senales);
  posix_spawnattr_setflags(&atributos, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  const std::string bin = std::getenv("TABLON_BIN");
  std::vector<std::string> args = {bin, "--once", "--verbose", "--store", store_.str(), "--servers-dir", servers_.str()};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, bin.c_str(), &acciones, &atributos, argv.data(), environ), 0);
  ::close(tubo[1]);
  posix_spawn_file_actions_destroy(&acciones);
  posix_spawnattr_destroy(&atributos);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
  EXPECT_NE(ReadFile(estado).substr(0, 10), "01/01/2000") << "the check date moved: the pass ran to its end";
}

// The commands' checks need no server: a command line that cannot work is refused with exit
// code 2 and a line naming what is wrong, before anything is created.
TEST(Ordenes, AWrongCommandLineIsNamedAndCreatesNothing) {
  struct Caso {
    std::vector<std::string> args;
    std::string dice;
    int codigo = 2;
  };
  const std::vector<Caso> casos = {
      {{"frobnicate"}, "«frobnicate» no es una orden"},
      {{"add-server"}, "falta el servidor"},
      {{"remove-server"}, "falta el servidor"},
      {{"groups"}, "falta el servidor"},
      {{"subscribe"}, "faltan el servidor y el grupo"},
      {{"subscribe", "h"}, "falta el grupo"},
      {{"unsubscribe", "h"}, "falta el grupo"},
      {{"add-server", "a", "b"}, "sobra «b»"},
      {{"groups", "h", "p", "x", "y"}, "sobran «x» y «y»"},
      // Hosts a pass could not connect to.
      {{"add-server", ":119"}, "falta el nombre"},
      {{"add-server", "h:0"}, "entre 1 y 65535"},
      {{"add-server", "h:65536"}, "entre 1 y 65535"},
      {{"add-server", "h:x"}, "entre 1 y 65535"},
      {{"add-server", "h:"}, "entre 1 y 65535"},
      {{"add-server", "a b"}, "blancos"},
      {{"add-server", "a\tb"}, "control"},
      {{"add-server", "a/b"}, "«/»"},
      {{"add-server", "../x"}, "«/»"},
      {{"add-server", ".."}, "parte vacía"},
      {{"add-server", "."}, "parte vacía"},
      {{"add-server", "a..b"}, "parte vacía"},
      {{"add-server", ""}, "vacío"},
      {{"add-server", "[::1"}, "falta"},
      {{"add-server", "[news.example.com]:119"}, "IPv6"},
      {{"add-server", "h:1:2"}, "no es una dirección IPv6"},
      {{"add-server", "[::1]x"}, "puerto"},
      {{"add-server", "ñews.example.com"}, "letras"},
      // A store location that reads as a URL but is none; a store that does not exist.
      {{"--store", "imap:/ana@host:993", "--once"}, "dirección IMAP mal escrita"},
      {{"--store", "imaps//ana@host", "add-server", "h"}, "dirección IMAP mal escrita"},
      {{"groups", "h", "--store", "imap://@host"}, "el usuario está vacío"},
      {{"--once"}, "no existe: «tablon add-server SERVIDOR» lo crea", 1},
      {{"groups", "h"}, "tablon add-server h", 1},
  };
  for (const Caso& c : casos) {
    TmpDir tmp;
    const Programa tablon(tmp / "almacen", tmp / "estado");
    Salida s = tablon.Ejecuta(c.args);
    const std::string que = c.args.empty() ? "" : c.args.back();
    EXPECT_EQ(s.codigo, c.codigo) << que << "\n" << s.err;
    EXPECT_NE(s.err.find(c.dice), std::string::npos) << que << "\n" << s.err;
    EXPECT_EQ(s.err.find("Uso incorrecto."), std::string::npos) << s.err;
    EXPECT_LE(std::count(s.err.begin(), s.err.end(), '\n'), 2) << s.err;
    EXPECT_TRUE(fs::is_empty(tmp.path())) << que << ": a refused command created something";
    for (const std::string arriba : {"imap:", "imaps"}) EXPECT_FALSE(fs::exists(arriba)) << que;
  }
}

TEST(Ordenes, EveryHostFormAPassCanUseIsDefinedOnce) {
  TmpDir tmp;
  const Programa tablon(tmp / "almacen", tmp / "estado");
  for (const std::string host : {"news.example.com", "news.example.com.", "news-1_a.example:563", "h:1", "h:65535",
                                 "[::1]:119", "[::1]", "::1", "[fe80::1%eth0]:119", "192.0.2.1:119"}) {
    Salida s = tablon.Ejecuta({"add-server", host});
    EXPECT_EQ(s.codigo, 0) << host << "\n" << s.err;
    Salida otra = tablon.Ejecuta({"add-server", host});
    EXPECT_EQ(otra.codigo, 0) << host;
    EXPECT_NE(otra.out.find("ya está definido"), std::string::npos) << otra.out;
  }
  EXPECT_FALSE(fs::exists(tmp / "estado")) << "defining a server writes no state file";
}

TEST_F(InnPasada, CommandsSayWhatToDoAndARemovedServerIsSkipped) {
  const std::string host = Inn::Host();
  const std::string p = Inn::UniqueName("tablon.orden");
  Inn::CreateGroup(p + ".uno");

  // Never added: add-server is what helps; added without a pass yet: a pass is.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"groups", host}, std::vector<std::string>{"subscribe", host, p + ".uno"}}) {
    Salida s = tablon_.Ejecuta(args);
    EXPECT_EQ(s.codigo, 1);
    EXPECT_NE(s.err.find("tablon add-server " + host), std::string::npos) << s.err;
  }
  ASSERT_EQ(tablon_.Ejecuta({"add-server", host}).codigo, 0);
  Salida sin_pasada = tablon_.Ejecuta({"groups", host});
  EXPECT_EQ(sin_pasada.codigo, 1);
  EXPECT_NE(sin_pasada.err.find("ejecute antes una pasada"), std::string::npos) << sin_pasada.err;
  EXPECT_EQ(sin_pasada.err.find("add-server"), std::string::npos) << sin_pasada.err;

  // Singular and plural.
  ASSERT_EQ(tablon_.Ejecuta({"--once"}).codigo, 0);
  EXPECT_NE(tablon_.Ejecuta({"groups", host, p + ".*"}).out.find("\n1 grupo, 0 subscritos\n"), std::string::npos);
  EXPECT_NE(tablon_.Ejecuta({"groups", host, p + ".nada"}).out.find("0 grupos, 0 subscritos\n"), std::string::npos);
  ASSERT_EQ(tablon_.Ejecuta({"subscribe", host, p + ".uno"}).codigo, 0);
  EXPECT_NE(tablon_.Ejecuta({"groups", host, p + ".*"}).out.find("\n1 grupo, 1 subscrito\n"), std::string::npos);
  Salida uno = tablon_.Ejecuta({"subscribe", host, p + ".no"});
  EXPECT_NE(uno.err.find("no tiene el grupo " + p + ".no."), std::string::npos) << uno.err;
  Salida dos = tablon_.Ejecuta({"subscribe", host, p + ".no", p + ".tampoco"});
  EXPECT_NE(dos.err.find("no tiene estos grupos: " + p + ".no, " + p + ".tampoco."), std::string::npos) << dos.err;
  ASSERT_EQ(tablon_.Ejecuta({"--once"}).codigo, 0);

  // Removing: the definition goes, the folders and the state file stay and the line says where.
  const fs::path estado = servers_ / (host + ".txt");
  const std::string antes = ReadFile(estado);
  Salida quitado = tablon_.Ejecuta({"remove-server", host});
  ASSERT_EQ(quitado.codigo, 0) << quitado.err;
  EXPECT_NE(quitado.out.find("se conservan"), std::string::npos) << quitado.out;
  EXPECT_NE(quitado.out.find((store_ / "news" / host).string()), std::string::npos) << quitado.out;
  EXPECT_NE(quitado.out.find(estado.string()), std::string::npos) << quitado.out;
  EXPECT_EQ(std::count(quitado.out.begin(), quitado.out.end(), '\n'), 1) << quitado.out;
  EXPECT_TRUE(fs::is_directory(store_ / "news" / host / p.substr(0, p.find('.')) / "cur"));
  EXPECT_EQ(ReadFile(estado), antes);
  Salida pasada = tablon_.Ejecuta({"--once", "--verbose"});
  EXPECT_EQ(pasada.codigo, 0) << pasada.err;
  EXPECT_TRUE(pasada.Etiqueta("Servidor").empty()) << "the next pass skips a removed server";
  EXPECT_EQ(ReadFile(estado), antes);

  // Unknown: exit 1, naming the servers that are defined.
  Salida otra_vez = tablon_.Ejecuta({"remove-server", host});
  EXPECT_EQ(otra_vez.codigo, 1);
  EXPECT_NE(otra_vez.err.find("no está definido"), std::string::npos) << otra_vez.err;
  EXPECT_NE(otra_vez.err.find("no hay ninguno definido"), std::string::npos) << otra_vez.err;
  // A definition no pass accepts (left by an older version or a mail client) can be removed.
  Post(":119", "IPM.Post.News.Servidor");
  ASSERT_EQ(tablon_.Ejecuta({"add-server", HostAlternativo()}).codigo, 0);
  Salida desconocido = tablon_.Ejecuta({"remove-server", "news.example.com"});
  EXPECT_EQ(desconocido.codigo, 1);
  EXPECT_NE(desconocido.err.find("están definidos «:119» y «" + HostAlternativo() + "»"), std::string::npos)
      << desconocido.err;
  EXPECT_EQ(tablon_.Ejecuta({"--once"}).codigo, 1) << "the pass refuses the bad definition";
  ASSERT_EQ(tablon_.Ejecuta({"remove-server", ":119"}).codigo, 0);
  EXPECT_EQ(tablon_.Ejecuta({"--once"}).codigo, 0);
}

// The words of a help text that are options ("--store", "-q"), in order.
std::vector<std::string> Opciones(const std::string& ayuda) {
  std::vector<std::string> r;
  std::istringstream in(ayuda);
  for (std::string w; in >> w;) {
    if (w.size() > 1 && w[0] == '-') r.push_back(w.back() == ',' ? w.substr(0, w.size() - 1) : w);
  }
  return r;
}

// The language of the environment's LC_MESSAGES is the language of Tablón's own texts: Spanish,
// as written, in the C and POSIX locales, in Spanish ones and where no catalog translates them;
// English in English ones. A translated help names the same options as the Spanish one. So are
// the errors of the layers below the program: a refused connection (a loopback port bound and
// not listening), a ~/.netrc that others may read, a password the IMAP server refuses.
TEST(Ordenes, HelpUsageAndErrorsAreInTheLanguageOfTheLocaleAndSpanishInC) {
  TmpDir tmp, casa, buzones;
  const Programa tablon(tmp / "almacen", tmp / "estado");
  const int cerrado = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in dir{};
  dir.sin_family = AF_INET;
  dir.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t largo = sizeof dir;
  ASSERT_EQ(bind(cerrado, reinterpret_cast<sockaddr*>(&dir), sizeof dir), 0);
  ASSERT_EQ(getsockname(cerrado, reinterpret_cast<sockaddr*>(&dir), &largo), 0);
  const std::string puerto_cerrado = std::to_string(ntohs(dir.sin_port));
  std::optional<test::Dovecot> dovecot;
  if (test::Dovecot::Available()) dovecot.emplace(buzones.path());
  const std::string imap = dovecot ? "tablon@127.0.0.1:" + std::to_string(dovecot->Port()) : "";
  const std::string netrc = (casa / ".netrc").string();
  struct Fallo {
    std::string cuenta, clave;  // the IMAP account; the .netrc's password, empty: no .netrc
    fs::perms modo;
    std::string es, en;  // how standard error begins
  };
  const fs::perms rw = fs::perms::owner_read | fs::perms::owner_write;
  const std::vector<Fallo> fallos = {
      {"tablon@127.0.0.1:" + puerto_cerrado, "", rw,
       "Error 10061: No se pudo conectar con 127.0.0.1:" + puerto_cerrado + ": ",
       "Error 10061: Could not connect to 127.0.0.1:" + puerto_cerrado + ": "},
      {imap, test::Dovecot::kClave, rw | fs::perms::others_read,
       "Error 10200: No se usa " + netrc + ": guarda contraseñas y otros usuarios pueden leerlo o escribirlo (permisos "
       "0604); con \"chmod 600 " + netrc + "\" solo lo lee su dueño\n",
       "Error 10200: " + netrc + " is not used: it holds passwords and other users may read or write it (mode 0604); "
       "after \"chmod 600 " + netrc + "\" only its owner can read it\n"},
      {imap, "otra", rw, "Error 10200: El servidor IMAP " + imap + " rechazó el usuario o la contraseña: \"",
       "Error 10200: The IMAP server " + imap + " refused the user or the password: \""},
  };
  std::string ayuda_c;
  {
    test::Idioma c("LANG", "C");
    ayuda_c = tablon.Ejecuta({"--help"}).out;
  }
  ASSERT_EQ(ayuda_c.substr(0, ayuda_c.find('\n')),
            "Tablón copia grupos de noticias (Usenet) en su almacén de correo: Maildir o cuenta IMAP.");
  struct Caso {
    std::vector<std::pair<std::string, std::string>> entorno;
    bool ingles;
  };
  const std::vector<Caso> casos = {
      {{{"LANG", "C"}}, false},
      // LANGUAGE counts only outside the C and POSIX locales.
      {{{"LANG", "POSIX"}, {"LANGUAGE", "en"}}, false},
      {{{"LANG", "C.UTF-8"}}, false},
      {{{"LANG", "es_ES.UTF-8"}}, false},
      {{{"LC_ALL", "C"}, {"LANG", "en_US.UTF-8"}}, false},
      {{{"LANG", "en_US.UTF-8"}}, true},
      {{{"LANG", "C"}, {"LC_MESSAGES", "en_US.UTF-8"}}, true},
      {{{"LANG", "C.UTF-8"}, {"LANGUAGE", "en"}}, true},
  };
  std::vector<std::string> sin_locale;
  for (const Caso& c : casos) {
    std::string nombre;
    bool falta = false;
    for (const auto& [n, v] : c.entorno) {
      nombre += n + "=" + v + " ";
      if (v.find('_') != std::string::npos && !test::Idioma::Instalado(v)) falta = true;
    }
    if (falta) {
      sin_locale.push_back(nombre);
      continue;
    }
    test::Idioma idioma(c.entorno);
    const Salida ayuda = tablon.Ejecuta({"--help"});
    const Salida uso = tablon.Ejecuta({"subscribe"});
    const Salida opcion = tablon.Ejecuta({"--x"});
    EXPECT_EQ(ayuda.codigo, 0) << nombre;
    EXPECT_EQ(uso.codigo, 2) << nombre;
    EXPECT_EQ(opcion.codigo, 2) << nombre;
    if (!c.ingles) {
      EXPECT_EQ(ayuda.out, ayuda_c) << nombre;
      EXPECT_EQ(uso.err, "tablon subscribe: faltan el servidor y el grupo\nUso: tablon subscribe SERVIDOR GRUPO...\n")
          << nombre;
      EXPECT_EQ(opcion.err,
                "Opción desconocida: --x\nUso: tablon [opciones] [add-server|remove-server|groups|subscribe|"
                "unsubscribe ...] («tablon --help» lo explica)\n")
          << nombre;
    } else {
      EXPECT_EQ(ayuda.out.substr(0, ayuda.out.find('\n')),
                "Tablón copies Usenet newsgroups into your mail store: Maildir or IMAP account.")
          << nombre;
      EXPECT_EQ(Opciones(ayuda.out), Opciones(ayuda_c)) << nombre << "\n" << ayuda.out;
      EXPECT_EQ(uso.err,
                "tablon subscribe: missing the server and the group\nUsage: tablon subscribe SERVER GROUP...\n")
          << nombre;
      EXPECT_EQ(opcion.err.substr(0, opcion.err.find('\n', 24)), "Unknown option: --x\nUsage: tablon [options] "
                "[add-server|remove-server|groups|subscribe|unsubscribe ...] («tablon --help» explains)")
          << nombre;
    }
  }
  // The errors in C and in English (Dovecot makes each refused login wait: not in every locale).
  const char* home = std::getenv("HOME");
  const std::string home_antes = home ? home : "";
  setenv("HOME", casa.str().c_str(), 1);
  for (const bool ingles : {false, true}) {
    if (ingles && !test::Idioma::Instalado("en_US.UTF-8")) continue;
    test::Idioma idioma("LANG", ingles ? "en_US.UTF-8" : "C");
    for (const Fallo& f : fallos) {
      if (f.cuenta.empty()) continue;  // no Dovecot
      fs::remove(netrc);
      if (!f.clave.empty()) {
        test::WriteFile(netrc, "machine 127.0.0.1 login tablon password " + f.clave + "\n");
        fs::permissions(netrc, f.modo);
      }
      const Salida s = Programa("imap://" + f.cuenta, tmp / "estado").Ejecuta({"groups", "x"});
      EXPECT_EQ(s.codigo, 1) << s.err;
      const std::string& texto = ingles ? f.en : f.es;
      EXPECT_EQ(s.err.substr(0, texto.size()), texto);
    }
  }
  close(cerrado);
  if (home) setenv("HOME", home_antes.c_str(), 1);
  if (!home) unsetenv("HOME");
  EXPECT_TRUE(fs::is_empty(tmp.path())) << "a refused command created something";
  if (!sin_locale.empty()) GTEST_SKIP() << "locales not installed (scripts/test.sh makes them) for " << sin_locale[0];
  if (!dovecot) GTEST_SKIP() << "dovecot is not installed: no IMAP rows";
}

// In English the pass's own lines are English; the labels' texts, the message boxes and the
// state file are those of a pass in the C locale.
TEST_F(InnPasada, APassInEnglishKeepsTheLabelsTheMessageBoxesAndTheStateFile) {
  if (!test::Idioma::Instalado("en_US.UTF-8")) {
    GTEST_SKIP() << "en_US.UTF-8 is not installed (scripts/test.sh makes it)";
  }
  ASSERT_EQ(tablon_.Ejecuta({"add-server", Inn::Host()}).codigo, 0);
  Post(HostAlternativo(), "ipm.post.news.servidor");  // a message box
  Salida es, en, grupos_es, grupos_en;
  std::string estado_es, estado_en;
  const fs::path estado = servers_ / (Inn::Host() + ".txt");
  {
    test::Idioma c("LANG", "C");
    es = tablon_.Ejecuta({"--once"});
    estado_es = ReadFile(estado);
    grupos_es = tablon_.Ejecuta({"groups", Inn::Host(), "tablon.nada.*"});
  }
  {
    test::Idioma i("LANG", "en_US.UTF-8");
    en = tablon_.Ejecuta({"--once"});
    estado_en = ReadFile(estado);
    grupos_en = tablon_.Ejecuta({"groups", Inn::Host(), "tablon.nada.*"});
  }
  ASSERT_EQ(es.codigo, 0) << es.err;
  ASSERT_EQ(en.codigo, 0) << en.err;
  EXPECT_EQ(en.Etiqueta("Status"), es.Etiqueta("Status"));
  EXPECT_EQ(en.err, es.err);
  EXPECT_NE(en.err.find("Tablón: No tiene la clase correcta"), std::string::npos) << en.err;
  const auto lineas_es = Lineas(es.out), lineas_en = Lineas(en.out);
  ASSERT_FALSE(lineas_es.empty());
  ASSERT_FALSE(lineas_en.empty());
  const std::regex fin_es("Pasada terminada en [0-9]+,[0-9] s: ningún grupo subscrito");
  const std::regex fin_en("Pass finished in [0-9]+\\.[0-9] s: no group subscribed");
  EXPECT_TRUE(std::regex_match(lineas_es.back(), fin_es)) << lineas_es.back();
  EXPECT_TRUE(std::regex_match(lineas_en.back(), fin_en)) << lineas_en.back();
  // The check date, written by each pass, in the one layout the reader takes.
  const std::regex fecha("[0-9]{2}/[0-9]{2}/[0-9]{4}( [0-9]{1,2}:[0-9]{2}:[0-9]{2})?");
  for (const std::string& e : {estado_es, estado_en}) {
    ASSERT_NE(e.find("\r\n"), std::string::npos) << e;
    EXPECT_TRUE(std::regex_match(e.substr(0, e.find("\r\n")), fecha)) << e.substr(0, 40);
  }
  EXPECT_EQ(grupos_es.out, "0 grupos, 0 subscritos\n");
  EXPECT_EQ(grupos_en.out, "0 groups, 0 subscribed\n");
}

}  // namespace
}  // namespace tablon
