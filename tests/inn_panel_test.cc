// The panel on a real terminal (tmux): five lines repainted in place, a message box that waits
// for Enter, Enter for another complete pass, q to close.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "support/almacen.h"
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
    if (access("/usr/bin/tmux", X_OK) != 0) GTEST_SKIP() << "tmux no está instalado";
    tmux_ = "tmux -u -f /dev/null -L tablon-panel-" + std::to_string(getpid());
  }
  void TearDown() override {
    if (!tmux_.empty()) Ejecuta(tmux_ + " kill-server 2>/dev/null");
  }
  std::string Pantalla() { return Ejecuta(tmux_ + " capture-pane -p 2>/dev/null"); }
  // Waits until the screen shows `text`; returns the screen.
  std::string Espera(const std::string& text) {
    std::string s;
    for (int i = 0; i < 150; ++i) {
      s = Pantalla();
      if (s.find(text) != std::string::npos) return s;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ADD_FAILURE() << "the screen never showed «" << text << "»:\n" << s;
    return s;
  }
  void Teclas(const std::string& keys) { Ejecuta(tmux_ + " send-keys " + keys); }

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
  EXPECT_EQ(lines[4].rfind("205", 0), 0u) << "the last trace line, the answer to QUIT: " << lines[4];

  // Enter: a second complete pass (the state file's check date moves on).
  const fs::path estado = servers_ / (Inn::Host() + ".txt");
  const std::string antes = ReadFile(estado);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  Teclas("Enter");
  Espera("No tiene la clase correcta");
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

}  // namespace
}  // namespace tablon
