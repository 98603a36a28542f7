// Whole passes of the tablon program against the local INN: the order of the status texts,
// server posts of the wrong class, missing or empty "news", unreachable servers, hostile host
// names, the pass lock, the group list kept in the state file across passes, new groups near
// the check date, and a standard output that cannot be written.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "app/bloqueo.h"
#include "core/date.h"
#include "store/outlook_module.h"
#include "support/almacen.h"
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

TEST_F(InnPasada, EmptyOrMissingNewsAndUnreachableServers) {
  Salida sin_news = tablon_.Ejecuta({});
  EXPECT_NE(sin_news.codigo, 0);
  EXPECT_NE(sin_news.err.find("news"), std::string::npos) << sin_news.err;

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
  EXPECT_EQ(caido.Etiqueta("Status").back(), "Conectando con servidor...");
}

TEST_F(InnPasada, HostsThatWouldLeaveTheirDirectoriesAreRefused) {
  for (const std::string host : {"../x", "a/b", ""}) {
    EXPECT_EQ(tablon_.Ejecuta({"add-server", host}).codigo, 1) << host;
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

}  // namespace
}  // namespace tablon
