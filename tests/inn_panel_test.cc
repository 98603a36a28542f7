// The panel on a real terminal (tmux): five lines repainted in place, a message box that waits
// for Enter, Enter for another complete pass, q to close; Ctrl-C during a pass; what reaches the
// terminal of a text from outside.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "app/almacen.h"
#include "app/pantallas.h"
#include "app/traduce.h"
#include "store/outlook_module.h"
#include "support/almacen.h"
#include "support/idioma.h"
#include "support/inn.h"
#include "support/programa.h"
#include "support/tmpdir.h"

namespace tablon {
namespace {

namespace fs = std::filesystem;
using test::Inn;
using test::ReadFile;
using test::TmpDir;

std::string Ejecuta(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
  }
  return out;
}

class InnPanel : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Inn::Available()) GTEST_SKIP() << "TABLON_INN_PORT is not set: no local INN";
    if (access("/usr/bin/tmux", X_OK) != 0) GTEST_SKIP() << "tmux is not installed";
    tmux_ = "tmux -u -f /dev/null -L tablon-panel-" + std::to_string(getpid());
  }
  void TearDown() override {
    if (!tmux_.empty()) Ejecuta(tmux_ + " kill-server 2>/dev/null");
  }
  std::string Pantalla() { return Ejecuta(tmux_ + " capture-pane -p 2>/dev/null"); }
  // Waits until the screen shows `text`; returns the screen.
  std::string Espera(const std::string& text, int decimas = 150) {
    std::string s;
    for (int i = 0; i < decimas; ++i) {
      s = Pantalla();
      if (s.find(text) != std::string::npos) return s;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ADD_FAILURE() << "the screen never showed «" << text << "»:\n" << s;
    return s;
  }
  void Teclas(const std::string& keys) { Ejecuta(tmux_ + " send-keys " + keys); }
  // Starts `tablon` in the panel's terminal (stderr into `err`, its status as the shell reports
  // it written to `done`); it waits for the file `go` when given. The shell traps Ctrl-C, so it
  // outlives a program that Ctrl-C stops and writes that status.
  void Arranca(const test::Programa& p, const fs::path& err, const fs::path& done, const fs::path& go = {}) {
    std::string script = "trap : INT\n";
    if (!go.empty()) script += "while [ ! -e '" + go.string() + "' ]; do sleep 0.05; done\n";
    script += "env LANG=C.UTF-8 '" + std::string(std::getenv("TABLON_BIN")) + "' --store '" + p.store().string() +
              "' --servers-dir '" + p.servers().string() + "' 2>'" + err.string() + "'\necho $? > '" +
              done.string() + "'\n";
    const fs::path archivo = p.store() / "arranca.sh";
    test::WriteFile(archivo, script);
    ASSERT_EQ(std::system((tmux_ + " new-session -d -x 100 -y 10 'bash " + archivo.string() + "'").c_str()), 0);
  }
  // The exit code written to `done`, once the shell has written it whole.
  std::string Codigo(const fs::path& done) {
    for (int i = 0; i < 100 && (!fs::exists(done) || ReadFile(done).find('\n') == std::string::npos); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return fs::exists(done) ? ReadFile(done) : "(no exit code)";
  }

  TmpDir store_, servers_;
  test::Programa tablon_{store_.path(), servers_.path()};
  std::string tmux_;
};

TEST_F(InnPanel, FiveLinesAMessageBoxASecondProcessRefusedAnotherPassOnEnterAndQToClose) {
  ASSERT_EQ(tablon_.Ejecuta({"add-server", Inn::Host()}).codigo, 0);
  // A second server post of the wrong class: its message box waits for Enter.
  test::EscribeServidor(store_.str(), Inn::Host(), "IPM.Post.News.Otra");

  const fs::path done = store_ / "exit-code";
  const std::string cmd = "env LANG=C.UTF-8 " + std::string(std::getenv("TABLON_BIN")) + " --store " + store_.str() +
                          " --servers-dir " + servers_.str() + "; echo $? > " + done.string();
  ASSERT_EQ(std::system((tmux_ + " new-session -d -x 100 -y 10 '" + cmd + "'").c_str()), 0);

  std::string s = Espera("No tiene la clase correcta");
  EXPECT_NE(s.find("Intro"), std::string::npos);
  // The first process is inside its pass, waiting on the box: a second one refuses to start
  // and leaves it alone.
  test::Salida segunda = tablon_.Ejecuta({"--once"});
  EXPECT_EQ(segunda.codigo, 3);
  EXPECT_NE(segunda.err.find("en curso"), std::string::npos) << segunda.err;
  Teclas("Enter");
  s = Espera("otra pasada");
  // Five label lines at the top, in order: Status, Servidor, Grupo, Mensaje, Debug.
  std::vector<std::string> lines;
  for (size_t p = 0, q; (q = s.find('\n', p)) != std::string::npos; p = q + 1) lines.push_back(s.substr(p, q - p));
  ASSERT_GE(lines.size(), 6u) << s;
  EXPECT_EQ(lines[0], "Desconectando ...");
  EXPECT_EQ(lines[1], Inn::Host());
  EXPECT_FALSE(lines[2].empty()) << "the last group's name";
  EXPECT_EQ(lines[4], "QUIT") << "the last trace line (its answer is not waited for)";
  // Below them, each on its own line: the progress (nothing subscribed: empty), the end of the
  // pass with its totals, the key help.
  ASSERT_GE(lines.size(), 8u) << s;
  EXPECT_EQ(lines[5], "");
  EXPECT_EQ(lines[6].rfind("Pasada terminada a las ", 0), 0u) << s;
  EXPECT_NE(lines[6].find("): ningún grupo subscrito"), std::string::npos) << lines[6];
  EXPECT_EQ(lines[7].rfind("Intro o r: otra pasada", 0), 0u) << s;

  // Enter: a second complete pass (the state file's check date moves on).
  const fs::path estado = servers_ / (Inn::Host() + ".txt");
  const std::string antes = ReadFile(estado);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  Teclas("Enter");
  // The second pass waits at its box: the last pass's end and the key help are gone.
  s = Espera("No tiene la clase correcta");
  EXPECT_EQ(s.find("Pasada terminada"), std::string::npos) << s;
  EXPECT_EQ(s.find("otra pasada"), std::string::npos) << s;
  Teclas("Enter");
  for (int i = 0; i < 100 && ReadFile(estado) == antes; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_NE(ReadFile(estado).substr(0, 20), antes.substr(0, 20));
  Espera("otra pasada");

  Teclas("q");
  // The shell makes the file, then writes the code into it: wait for the whole line.
  for (int i = 0; i < 50 && (!fs::exists(done) || ReadFile(done).find('\n') == std::string::npos); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(fs::exists(done)) << "q closes the panel";
  EXPECT_EQ(ReadFile(done), "0\n");
}

// Items written to the folder of `grupo` (its name's parts as the folder chain).
size_t Articulos(const fs::path& carpeta_servidor, const std::string& grupo) {
  fs::path f = carpeta_servidor;
  for (size_t p = 0, q; p <= grupo.size(); p = q + 1) {
    q = std::min(grupo.find('.', p), grupo.size());
    f /= grupo.substr(p, q - p);
  }
  size_t n = 0;
  for (const char* sub : {"cur", "new"}) {
    if (!fs::is_directory(f / sub)) continue;
    for (const auto& e : fs::directory_iterator(f / sub)) n += e.is_regular_file();
  }
  return n;
}

TEST_F(InnPanel, CtrlCDuringAPassStopsItWithStatus130AndWhatWasWrittenStays) {
  constexpr int kArticulos = 3000;
  const std::string grupo = Inn::UniqueName("tablon.senal");
  Inn::CreateGroup(grupo);
  Inn::Post(test::MakeArticles(grupo, kArticulos, grupo));
  ASSERT_EQ(tablon_.Ejecuta({"add-server", Inn::Host()}).codigo, 0);
  ASSERT_EQ(tablon_.Ejecuta({"--once"}).codigo, 0);
  ASSERT_EQ(tablon_.Ejecuta({"subscribe", Inn::Host(), grupo}).codigo, 0);

  const fs::path err = store_ / "stderr", done = store_ / "exit-code";
  Arranca(tablon_, err, done);
  // Writing the group's thousands of items takes seconds: Ctrl-C comes in the middle.
  Espera("Creando entrada mensajes");
  Teclas("C-c");
  EXPECT_EQ(Codigo(done), "130\n") << "the shell's status of a program stopped by Ctrl-C";
  EXPECT_NE(ReadFile(err).find("Pasada interrumpida"), std::string::npos) << ReadFile(err);

  const fs::path carpeta = store_ / "news" / Inn::Host();
  const size_t escritos = Articulos(carpeta, grupo);
  EXPECT_GT(escritos, 0u);
  EXPECT_LT(escritos, static_cast<size_t>(kArticulos)) << "the pass was stopped before its end";
  // The next pass takes the items there as they are and writes the others, once each.
  ASSERT_EQ(tablon_.Ejecuta({"--once"}).codigo, 0);
  EXPECT_EQ(Articulos(carpeta, grupo), static_cast<size_t>(kArticulos));
}

// Control characters of a subject (ESC, U+009B in UTF-8, a raw 0x9B byte) reach neither the
// terminal under the panel nor the lines of a batch pass.
TEST_F(InnPanel, ASubjectsControlCharactersNeverReachTheTerminal) {
  const std::string grupo = Inn::UniqueName("tablon.control");
  Inn::CreateGroup(grupo);
  test::Article a;
  a.message_id = "<" + grupo + "@tablon.test>";
  a.newsgroups = grupo;
  a.subject = "Aviso\x1b[31mROJO\xc2\x9b" "32mVERDE\x9b" "FIN";
  a.body = "texto";
  Inn::Post({a});
  const std::string visible = "Aviso [31mROJO 32mVERDE?FIN";

  TmpDir store_lineas, servers_lineas;
  test::Programa lineas{store_lineas.path(), servers_lineas.path()};
  for (const test::Programa* p : {&tablon_, &lineas}) {
    ASSERT_EQ(p->Ejecuta({"add-server", Inn::Host()}).codigo, 0);
    ASSERT_EQ(p->Ejecuta({"--once"}).codigo, 0);
    ASSERT_EQ(p->Ejecuta({"subscribe", Inn::Host(), grupo}).codigo, 0);
  }
  test::Salida s = lineas.Ejecuta({"--once", "--verbose"});
  ASSERT_EQ(s.codigo, 0) << s.err;
  EXPECT_NE(s.out.find("Mensaje: " + visible + "\n"), std::string::npos) << s.out;
  EXPECT_EQ(s.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(s.out.find('\x9b'), std::string::npos);

  // Every byte the program writes to its terminal, as the terminal receives it.
  const fs::path go = store_ / "go", done = store_ / "exit-code", bytes = store_ / "terminal";
  Arranca(tablon_, store_ / "stderr", done, go);
  Ejecuta(tmux_ + " pipe-pane -o 'cat >> " + bytes.string() + "'");
  test::WriteFile(go, "");
  Espera("otra pasada");
  Teclas("q");
  EXPECT_EQ(Codigo(done), "0\n");
  const std::string t = ReadFile(bytes);
  EXPECT_NE(t.find(visible), std::string::npos);
  EXPECT_EQ(t.find('\x9b'), std::string::npos);
  // The panel's own sequences only: title, clear line, cursor up and down.
  for (size_t p = t.find('\x1b'); p != std::string::npos; p = t.find('\x1b', p + 1)) {
    const std::string resto = t.substr(p + 1, 8);
    const size_t cifras = resto.find_first_not_of("0123456789", 1);
    const bool propia = resto.rfind("]0;", 0) == 0 || resto.rfind("[2K", 0) == 0 ||
                        (resto[0] == '[' && cifras > 1 && cifras != std::string::npos &&
                         (resto[cifras] == 'A' || resto[cifras] == 'B'));
    EXPECT_TRUE(propia) << "an escape sequence the panel does not write: ESC" << resto;
  }
}

// A large group on the panel: its line of progress counts the articles written up to their
// total (repainted at most ten times a second, not once per article); after the pass a line
// says it ended and what it did; a flagged placeholder the server does not have is named there.
TEST_F(InnPanel, TheProgressCountsALargeGroupAndTheEndOfThePassNamesWhatIsNotAvailable) {
  constexpr int kArticulos = 20000;
  const std::string grupo = Inn::UniqueName("tablon.progreso");
  Inn::CreateGroup(grupo);
  std::vector<test::Article> articulos = test::MakeArticles(grupo, kArticulos - 1, grupo);
  test::Article huerfano;
  huerfano.message_id = "<huerfano." + grupo + "@tablon.test>";
  huerfano.newsgroups = grupo;
  huerfano.subject = "Re: Huérfano";
  huerfano.references = "<perdido." + grupo + "@tablon.test>";
  huerfano.body = "texto";
  articulos.push_back(huerfano);
  Inn::Post(articulos);
  ASSERT_EQ(tablon_.Ejecuta({"add-server", Inn::Host()}).codigo, 0);
  ASSERT_EQ(tablon_.Ejecuta({"--once"}).codigo, 0);
  ASSERT_EQ(tablon_.Ejecuta({"subscribe", Inn::Host(), grupo}).codigo, 0);

  const fs::path go = store_ / "go", done = store_ / "exit-code", bytes = store_ / "terminal";
  Arranca(tablon_, store_ / "stderr", done, go);
  Ejecuta(tmux_ + " pipe-pane -o 'cat >> " + bytes.string() + "'");
  test::WriteFile(go, "");
  const std::string total = " de " + std::to_string(kArticulos);
  std::string s = Espera("otra pasada", 3000);
  EXPECT_NE(s.find("Escribiendo artículos nuevos: " + std::to_string(kArticulos) + total), std::string::npos) << s;
  EXPECT_NE(s.find("): 1 grupo, " + std::to_string(kArticulos) + " nuevos\n"), std::string::npos) << s;

  // Every count the terminal was shown, in order.
  const std::string t = ReadFile(bytes);
  std::vector<long> cuentas;
  const std::string prefijo = "Escribiendo artículos nuevos: ";
  for (size_t p = t.find(prefijo); p != std::string::npos; p = t.find(prefijo, p + 1)) {
    const size_t fin = t.find(total, p);
    ASSERT_NE(fin, std::string::npos);
    cuentas.push_back(std::stol(t.substr(p + prefijo.size(), fin - p - prefijo.size())));
  }
  ASSERT_GE(cuentas.size(), 3u) << "a count rising while the group is written";
  EXPECT_EQ(cuentas.front(), 0);
  EXPECT_EQ(cuentas.back(), kArticulos);
  EXPECT_TRUE(std::is_sorted(cuentas.begin(), cuentas.end()));
  EXPECT_LT(cuentas.size(), static_cast<size_t>(kArticulos / 10)) << "the repaint is limited, not the count";

  // The placeholder of the missing parent, flagged; the next pass cannot fetch it.
  FijaUbicacionAlmacen(store_.str());
  IniciaOutlook();
  std::shared_ptr<store::Folder> f = BuscaOCreaCarpeta(*MapiNameSpace->Folder("news"), Inn::Host());
  for (size_t p = 0, q; p <= grupo.size(); p = q + 1) {
    q = std::min(grupo.find('.', p), grupo.size());
    f = BuscaOCreaCarpeta(*f, grupo.substr(p, q - p));
  }
  for (const auto& it : f->Items()) {
    if (it->UserProperties().Item("ArticleID").ComoTexto() != huerfano.references) continue;
    it->SetFlagStatus(store::kMarcado);
    it->Save();
  }
  Teclas("Enter");
  s = Espera("1 no disponible («Re: Huérfano»)", 3000);
  EXPECT_NE(s.find("Descargando marcados: 1 de 1"), std::string::npos) << s;
  EXPECT_NE(s.find("): 1 grupo, 1 no disponible («Re: Huérfano»)"), std::string::npos) << s;
  Espera("otra pasada");
  Teclas("q");
  EXPECT_EQ(Codigo(done), "0\n");
}

TEST(Pantalla, ControlCharactersAndBytesThatAreNotUtf8AreReplaced) {
  struct Caso {
    std::string texto, visible;
  } casos[] = {
      {"Café «ñ» 日本 😀", "Café «ñ» 日本 😀"},
      {"a\tb\r\nc\x1b[2Jd\x7f", "a b  c [2Jd "},
      {"CSI\xc2\x9b" "31m NEL\xc2\x85 fin\xc2\x9f", "CSI 31m NEL  fin "},
      {"crudo\x9b" "31m \x80\xff", "crudo?31m ??"},
      // Cut or overlong forms, surrogates and code points past U+10FFFF are no characters: a
      // lenient decoder would read some of them as C1 controls or ESC.
      {"\xc2\x1b[0m", "? [0m"},
      {"\xc1\x9b \xe0\x82\x9b \xf0\x80\x82\x9b", "?? ??? ????"},
      {"\xed\xa0\x80 \xf4\x90\x80\x80 \xe2\x82", "??? ???? ??"},
  };
  for (const Caso& c : casos) {
    EXPECT_EQ(TextoVisible(c.texto), c.visible) << c.texto;
    EXPECT_EQ(CortaParaPantalla(c.texto, 3), TextoVisible(c.texto).substr(0, CortaParaPantalla(c.texto, 3).size()));
  }
  EXPECT_EQ(CortaParaPantalla("日本語テキスト", 2), "日本");
  EXPECT_EQ(CortaParaPantalla("a\x9b" "bc", 2), "a?");
}

// Each text in Spanish (the C locale) and in English (through the catalog in the build tree;
// C.UTF-8 is always installed, and LANGUAGE counts outside the C locale itself).
TEST(Pantalla, ReportsCountInSingularAndPluralAndLeaveOutWhatIsZero) {
  using namespace std::string_literals;
  struct EnIngles {
    test::Idioma idioma{{{"LC_MESSAGES", "C.UTF-8"}, {"LANGUAGE", "en"}}};
    EnIngles() { PreparaIdioma(); }
    ~EnIngles() { std::setlocale(LC_MESSAGES, "C"); }
  };
  // Runs `prueba` in the C locale, then in English.
  auto en_los_dos = [](const auto& prueba) {
    prueba(false);
    EnIngles ingles;
    prueba(true);
  };

  struct CasoGrupo {
    ResumenGrupo g;
    std::string texto, ingles;
  } grupos[] = {
      {{"a.b", 0, 0, {}, false}, "Grupo a.b: sin novedades", "Group a.b: nothing new"},
      {{"a.b", 1, 0, {}, false}, "Grupo a.b: 1 nuevo", "Group a.b: 1 new"},
      {{"a.b", 120, 3, {"Re: x"}, false},
       "Grupo a.b: 120 nuevos, 3 descargados, 1 no disponible («Re: x»)",
       "Group a.b: 120 new, 3 downloaded, 1 unavailable («Re: x»)"},
      {{"a.b", 0, 1, {"<i@x>", "B"}, false},
       "Grupo a.b: 1 descargado, 2 no disponibles («<i@x>», «B»)",
       "Group a.b: 1 downloaded, 2 unavailable («<i@x>», «B»)"},
      {{"a.b", 0, 0, {}, true}, "Grupo a.b: sin terminar: se perdió la conexión",
       "Group a.b: unfinished: the connection was lost"},
      {{"a.b", 2, 0, {}, true}, "Grupo a.b: 2 nuevos; sin terminar: se perdió la conexión",
       "Group a.b: 2 new; unfinished: the connection was lost"},
      {{"a.b", 5, 0, {}, false, 3, "Disco lleno"}, "Grupo a.b: 5 nuevos, 3 no escritos (Disco lleno)",
       "Group a.b: 5 new, 3 not written (Disco lleno)"},
      // A subject is any bytes: the printer makes the NUL visible, nothing cuts the line there.
      {{"a.b", 0, 0, {"x\0y"s}, false}, "Grupo a.b: 1 no disponible («x\0y»)"s, "Group a.b: 1 unavailable («x\0y»)"s},
  };
  en_los_dos([&](bool ingles) {
    for (const auto& c : grupos) EXPECT_EQ(TextoGrupo(c.g), ingles ? c.ingles : c.texto);
  });
  // A translation may put the parts in another order.
  EXPECT_EQ(Formatea("%2$s, %1$s y 100%%", {"a", "b"}), "b, a y 100%");
  EXPECT_EQ(Formatea("%s %s %d", {"a"}), "a %s %d");

  struct CasoPasada {
    ResumenPasada p;
    bool con_nombres;
    std::string texto, ingles;
  } pasadas[] = {
      {{0, 0, 0, {}, 0.42, 0}, true, "ningún grupo subscrito", "no group subscribed"},
      {{1, 0, 0, {}, 0, 0}, false, "1 grupo, sin novedades", "1 group, nothing new"},
      {{3, 120, 3, {"Re: x"}, 0, 0}, false, "3 grupos, 120 nuevos, 3 descargados, 1 no disponible",
       "3 groups, 120 new, 3 downloaded, 1 unavailable"},
      {{3, 120, 3, {"Re: x"}, 0, 0}, true, "3 grupos, 120 nuevos, 3 descargados, 1 no disponible («Re: x»)",
       "3 groups, 120 new, 3 downloaded, 1 unavailable («Re: x»)"},
      {{2, 1, 0, {}, 0, 0, 4, 1}, false, "2 grupos, 1 nuevo, 4 no escritos, 1 servidor sin sincronizar",
       "2 groups, 1 new, 4 not written, 1 server not synchronised"},
      {{0, 0, 0, {}, 0, 0, 0, 2}, false, "ningún grupo subscrito, 2 servidores sin sincronizar",
       "no group subscribed, 2 servers not synchronised"},
  };
  en_los_dos([&](bool ingles) {
    for (const auto& c : pasadas) EXPECT_EQ(TextoTotales(c.p, c.con_nombres), ingles ? c.ingles : c.texto);
    EXPECT_EQ(TextoFinLineas({2, 1, 0, {}, 2.34, 0}),
              ingles ? "Pass finished in 2.3 s: 2 groups, 1 new" : "Pasada terminada en 2,3 s: 2 grupos, 1 nuevo");
  });

  // The panel's closing line fits the terminal: names go first, then words; counts stay whole.
  const ResumenPasada fin{3, 120, 3, {"Un asunto largo"}, 2.34, 0, 19238};
  auto columnas = [](const std::string& t) { return t.size() - static_cast<size_t>(std::count_if(t.begin(), t.end(), [](char c) { return (c & 0xC0) == 0x80; })); };
  const std::string entera = TextoFinPanel(fin);
  const std::string sin_nombres = TextoFinPanel(fin, columnas(entera) - 1);
  const std::string corta = TextoFinPanel(fin, columnas(sin_nombres) - 1);
  EXPECT_EQ(sin_nombres, entera.substr(0, 41) + TextoTotales(fin, false));
  EXPECT_EQ(corta, "Terminada " + entera.substr(23, 18) + TextoTotales(fin, false));
  EXPECT_EQ(TextoFinPanel(fin, 10), TextoTotales(fin, false));
  for (const auto& l : {entera, sin_nombres, corta}) EXPECT_NE(l.find("19238 no escritos"), std::string::npos) << l;

  struct CasoDuracion {
    double segundos;
    std::string texto, ingles;
  } duraciones[] = {
      {0, "0,0 s", "0.0 s"},          {0.04, "0,0 s", "0.0 s"},         {2.35, "2,4 s", "2.4 s"},
      {59.94, "59,9 s", "59.9 s"},    {59.96, "1 min 00 s", "1 min 00 s"}, {125, "2 min 05 s", "2 min 05 s"},
      {3599.4, "59 min 59 s", "59 min 59 s"}, {3725, "1 h 02 min", "1 h 02 min"}, {-1, "0,0 s", "0.0 s"},
  };
  en_los_dos([&](bool ingles) {
    for (const auto& c : duraciones) EXPECT_EQ(TextoDuracion(c.segundos), ingles ? c.ingles : c.texto) << c.segundos;
  });

  en_los_dos([&](bool ingles) {
    EXPECT_EQ(TextoProgreso(Etapa::Escribiendo, 0, 20000, 0),
              ingles ? "Writing new articles: 0 of 20000" : "Escribiendo artículos nuevos: 0 de 20000");
    EXPECT_EQ(TextoProgreso(Etapa::Escribiendo, 1200, 20000, 0.5),
              ingles ? "Writing new articles: 1200 of 20000 (2400 articles/s)"
                     : "Escribiendo artículos nuevos: 1200 de 20000 (2400 artículos/s)");
    EXPECT_EQ(TextoProgreso(Etapa::Descargando, 3, 4, 2),
              ingles ? "Downloading flagged items: 3 of 4 (1.5 articles/s)"
                     : "Descargando marcados: 3 de 4 (1,5 artículos/s)");
  });
}

}  // namespace
}  // namespace tablon
