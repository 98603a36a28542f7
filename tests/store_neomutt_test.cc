// Real mail software reads the store: neomutt, run inside a detached tmux, shows a folder of a
// parent and two replies as one thread, with the encoded-word subject decoded; a private Dovecot
// serves each item over IMAP whole, with its size and flags. Each test is skipped when its
// programs are not installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "store/maildir/aplicacion_maildir.h"
#include "store/store.h"
#include "support/dovecot.h"
#include "support/imap.h"
#include "support/tmpdir.h"

namespace tablon::store {
namespace {

std::string Ejecuta(const std::string& orden) {
  std::string r;
  if (FILE* p = popen(orden.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.append(buf, n);
    pclose(p);
  }
  return r;
}

std::vector<std::string> Lineas(const std::string& s) {
  std::vector<std::string> r;
  size_t i = 0;
  while (i < s.size()) {
    size_t fin = s.find('\n', i);
    if (fin == std::string::npos) fin = s.size();
    r.push_back(s.substr(i, fin - i));
    i = fin + 1;
  }
  return r;
}

TEST(Neomutt, ShowsTheThreadOfReplies) {
  if (access("/usr/bin/neomutt", X_OK) != 0 || access("/usr/bin/tmux", X_OK) != 0) {
    GTEST_SKIP() << "neomutt or tmux is not installed";
  }
  test::TmpDir dir;
  {
    auto app = maildir::AbreMaildir(dir.str());
    auto f = app->GetNamespace("MAPI")->AddFolder("hilo");
    auto padre = app->CreateItem(0);
    padre->SetSubject("=?ISO-8859-1?Q?Caf=E9?= para todos");
    padre->SetSentOnBehalfOfName("Ana <ana@example.com>");
    padre->SetBody("Path: x\nFrom: ana@example.com\nSubject: hola\n\nel artículo\n");
    padre->Move(*f);
    auto r1 = padre->Execute("Responder");
    r1->SetSentOnBehalfOfName("Beto <beto@example.com>");
    r1->SetBody("primera respuesta\n");
    r1->Move(*f);
    auto r2 = padre->Execute("Responder");
    r2->SetSentOnBehalfOfName("Carla <carla@example.com>");
    r2->SetBody("segunda respuesta\n");
    r2->Move(*f);
  }
  // A server of our own (-L), so no other tmux session is touched.
  const std::string tmux = "tmux -u -f /dev/null -L tablon-store-" + std::to_string(getpid());
  const std::string neomutt = "env HOME=" + dir.str() +
                              " LANG=C.UTF-8 LC_ALL=C.UTF-8 neomutt -n -F /dev/null -e 'set folder=" +
                              dir.str() + "' -e 'set sort=threads' -f " + dir.str() + "/hilo";
  ASSERT_EQ(std::system((tmux + " new-session -d -x 120 -y 30 \"" + neomutt + "\"").c_str()), 0);
  std::string pantalla;
  for (int i = 0; i < 100 && pantalla.find("Msgs:3") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pantalla = Ejecuta(tmux + " capture-pane -p 2>/dev/null");
  }
  std::system((tmux + " kill-server >/dev/null 2>&1").c_str());
  std::printf("%s\n", pantalla.c_str());

  ASSERT_NE(pantalla.find("Msgs:3"), std::string::npos) << pantalla;
  std::vector<std::string> indice;
  for (const auto& l : Lineas(pantalla)) {
    if (l.find("Ana") != std::string::npos || l.find("Beto") != std::string::npos ||
        l.find("Carla") != std::string::npos) {
      indice.push_back(l);
    }
  }
  ASSERT_EQ(indice.size(), 3u) << pantalla;
  EXPECT_NE(indice[0].find("Café para todos"), std::string::npos) << pantalla;
  // The replies hang from the parent: tree branches, no subject repeated.
  EXPECT_NE(indice[1].find("├─>"), std::string::npos) << pantalla;
  EXPECT_NE(indice[2].find("└─>"), std::string::npos) << pantalla;
}

TEST(Dovecot, ServesEachItemWholeWithItsSizeAndFlags) {
  if (!test::Dovecot::Available()) GTEST_SKIP() << "dovecot is not installed";
  test::TmpDir dir;
  {
    auto app = maildir::AbreMaildir(dir.str());
    auto f = app->GetNamespace("MAPI")->AddFolder("grupo");
    auto articulo = app->CreateItem(0);
    articulo->SetMessageClass("IPM.Post");
    articulo->SetSubject("Café con ñandú");
    articulo->SetSentOnBehalfOfName("Ana <ana@example.com>");
    articulo->SetBody(
        "Path: x\nFrom: ana@example.com\nSubject: =?ISO-8859-1?Q?Caf=E9?=\n"
        "Message-ID: <1@example.com>\n\n"
        "primera línea\n.empieza con punto\n\nFrom al principio\núltima sin fin de línea");
    articulo->SetUnRead(false);
    articulo->SetFlagStatus(kMarcado);
    articulo->Move(*f);
    auto vacio = app->CreateItem(0);
    vacio->SetSubject("sin cuerpo");
    vacio->Move(*f);
  }
  std::vector<std::string> archivos;
  for (const char* sub : {"new", "cur"}) {
    for (const auto& e : std::filesystem::directory_iterator(dir.path() / "grupo" / sub)) {
      archivos.push_back(test::ConCrlf(test::ReadFile(e.path())));
    }
  }
  ASSERT_EQ(archivos.size(), 2u);

  test::Dovecot dovecot(dir.path());
  {
    test::ClienteImap imap(dovecot.Port());
    imap.Login(test::Dovecot::kUsuario, test::Dovecot::kClave);
    ASSERT_EQ(imap.Select("grupo"), 2u) << dovecot.Log();
    const std::vector<test::MensajeImap> lista = imap.Lista();
    ASSERT_EQ(lista.size(), 2u);
    std::vector<bool> servido(archivos.size());
    for (const auto& m : lista) {
      const std::string cuerpo = imap.Cuerpo(m.uid);
      const auto a = std::find(archivos.begin(), archivos.end(), cuerpo);
      ASSERT_TRUE(a != archivos.end())
          << "UID " << m.uid << " is no file of the store:\n" << cuerpo;
      servido[static_cast<size_t>(a - archivos.begin())] = true;
      EXPECT_EQ(m.tamano, cuerpo.size()) << "UID " << m.uid;
      const bool es_articulo = cuerpo.find("primera línea") != std::string::npos;
      EXPECT_EQ(m.Tiene("\\Seen"), es_articulo) << cuerpo;
      EXPECT_EQ(m.Tiene("\\Flagged"), es_articulo) << cuerpo;
      // The article is offered as the message it is.
      EXPECT_EQ(m.estructura.find("\"rfc822\"") != std::string::npos, es_articulo) << m.estructura;
    }
    EXPECT_EQ(servido, std::vector<bool>(2, true));
  }
  // Dovecot keeps its indexes apart: the store holds the two items and nothing of Dovecot's.
  size_t items = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir.path())) {
    EXPECT_EQ(e.path().filename().string().find("dovecot"), std::string::npos) << e.path();
    const auto sub = e.path().parent_path().filename();
    if (e.is_regular_file() && (sub == "cur" || sub == "new")) ++items;
  }
  EXPECT_EQ(items, 2u);
}

}  // namespace
}  // namespace tablon::store
