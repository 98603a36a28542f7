// The road of articles through passes against the local INN: header items threaded in the group
// folder, placeholders for missing parents, flags set by a mail client, flagged items downloaded
// once, failed fetches left for the next pass, and a large group.
#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "store/maildir/item_format.h"
#include "store/outlook_module.h"
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

class InnArticulos : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Inn::Available()) GTEST_SKIP() << "TABLON_INN_PORT is not set: no local INN";
    prefijo_ = Inn::UniqueName("tablon");
    grupo_ = prefijo_ + ".hilos";
    Inn::CreateGroup(grupo_);
    Inn::CreateGroup(prefijo_ + ".otro");
    ASSERT_EQ(tablon_.Ejecuta({"add-server", Inn::Host()}).codigo, 0);
    ASSERT_EQ(tablon_.Ejecuta({}).codigo, 0);
    ASSERT_EQ(tablon_.Ejecuta({"subscribe", Inn::Host(), grupo_}).codigo, 0);
  }

  test::Article Articulo(const std::string& local, const std::string& subject, const std::string& refs,
                         const std::string& group = "") {
    test::Article a;
    a.message_id = "<" + local + "." + prefijo_ + "@tablon.test>";
    a.newsgroups = group.empty() ? grupo_ : group;
    a.subject = subject;
    a.from = "Autor <autor@tablon.test>";
    a.references = refs;
    a.body = "Texto de " + local + "\r\n.línea que empieza con punto\r\n";
    return a;
  }

  fs::path Carpeta() const {
    fs::path p = store_ / "news" / Inn::Host();
    std::string rest = grupo_, comp;
    for (size_t pos; (pos = rest.find('.')) != std::string::npos; rest.erase(0, pos + 1)) p /= rest.substr(0, pos);
    return p / rest;
  }

  // The group folder's items by "ArticleID", read afresh from the store.
  std::map<std::string, std::shared_ptr<store::Item>> Items() {
    FijaUbicacionAlmacen(store_.str());
    IniciaOutlook();
    std::shared_ptr<store::Folder> f = MapiNameSpace->Folder("news");
    for (const auto& sub : f->Folders()) {
      if (sub->Name() == Inn::Host()) f = sub;
    }
    std::string rest = grupo_, comp;
    while (!rest.empty()) {
      size_t pos = rest.find('.');
      comp = rest.substr(0, pos);
      rest = pos == std::string::npos ? "" : rest.substr(pos + 1);
      for (const auto& sub : f->Folders()) {
        if (sub->Name() == comp) {
          f = sub;
          break;
        }
      }
    }
    std::map<std::string, std::shared_ptr<store::Item>> r;
    for (const auto& it : f->Items()) r[it->UserProperties().Item("ArticleID").AsText()] = it;
    return r;
  }

  // Reads and flags the item of `article_id` the way a mail client does: renames its file to
  // add S and F.
  void Marca(const std::string& article_id) {
    for (const char* sub : {"cur", "new"}) {
      for (const auto& e : fs::directory_iterator(Carpeta() / sub)) {
        // The item's own "ArticleID", not a reply's "IDReferencia".
        std::string archivo = ReadFile(e.path());
        auto cabecera = store::maildir::LeeCabeceraItem(archivo.substr(0, archivo.find("\n\n")));
        bool es = false;
        for (const auto& p : cabecera.registro.propiedades) es |= p.Name() == "ArticleID" && p.AsText() == article_id;
        if (!es) continue;
        std::string name = e.path().filename().string();
        size_t info = name.find(":2,");
        std::string base = info == std::string::npos ? name : name.substr(0, info);
        std::string flags = info == std::string::npos ? "" : name.substr(info + 3);
        flags += "FS";
        std::sort(flags.begin(), flags.end());
        fs::rename(e.path(), Carpeta() / "cur" / (base + ":2," + flags));
        return;
      }
    }
    FAIL() << "no item for " << article_id;
  }

  size_t Ficheros() const {
    size_t n = 0;
    for (const char* sub : {"cur", "new"}) {
      for (const auto& e : fs::directory_iterator(Carpeta() / sub)) n += e.is_regular_file();
    }
    return n;
  }

  std::string prefijo_, grupo_;
  TmpDir store_, servers_;
  Programa tablon_{store_.path(), servers_.path()};
};

TEST_F(InnArticulos, TheRoadOfArticlesThroughThreePasses) {
  auto raiz = Articulo("raiz", "Pregunta", "");
  auto respuesta = Articulo("respuesta", "Re: Pregunta", raiz.message_id);
  // The parent of these two lives in another group: the server has it, the group does not.
  auto lejano = Articulo("lejano", "Tema lejano", "", prefijo_ + ".otro");
  auto huerfano1 = Articulo("huerfano1", "Re: Tema lejano", lejano.message_id);
  auto huerfano2 = Articulo("huerfano2", "Re: Re: Tema lejano", lejano.message_id);
  // A parent that exists nowhere: its placeholder cannot be fetched.
  auto perdido = Articulo("perdido", "Re: Nada", "<nunca." + prefijo_ + "@tablon.test>");
  Inn::Post({raiz, respuesta, lejano, huerfano1, huerfano2, perdido});

  Salida uno = tablon_.Ejecuta({});
  ASSERT_EQ(uno.codigo, 0) << uno.err;
  auto items = Items();
  ASSERT_EQ(items.size(), 7u) << "five articles and two placeholders";
  EXPECT_EQ(items[respuesta.message_id]->InReplyTo(), items[raiz.message_id]->MessageId());
  const auto& hueco = items[lejano.message_id];
  ASSERT_TRUE(hueco);
  EXPECT_EQ(hueco->SentOnBehalfOfName().substr(0, 3), "???");
  EXPECT_EQ(items[huerfano1.message_id]->InReplyTo(), hueco->MessageId());
  EXPECT_EQ(items[huerfano2.message_id]->InReplyTo(), hueco->MessageId());
  EXPECT_EQ(items[huerfano2.message_id]->Subject(), "Re: Tema lejano");
  // The files themselves carry the thread for any mail client.
  bool in_reply_to = false;
  for (const auto& e : fs::directory_iterator(Carpeta() / "new")) {
    std::string text = ReadFile(e.path());
    in_reply_to |= text.find("In-Reply-To: " + items[raiz.message_id]->MessageId()) != std::string::npos;
  }
  for (const auto& e : fs::directory_iterator(Carpeta() / "cur")) {
    std::string text = ReadFile(e.path());
    in_reply_to |= text.find("In-Reply-To: " + items[raiz.message_id]->MessageId()) != std::string::npos;
  }
  EXPECT_TRUE(in_reply_to);

  Marca(raiz.message_id);
  Marca(lejano.message_id);               // a placeholder whose identifier the server has
  Marca("<nunca." + prefijo_ + "@tablon.test>");  // a placeholder the server cannot give: 430
  Salida dos = tablon_.Ejecuta({"--verbose"});
  ASSERT_EQ(dos.codigo, 0) << dos.err;
  EXPECT_EQ(Ficheros(), 7u) << "the second pass creates no item";
  items = Items();
  for (const auto& a : {raiz, lejano}) {
    const auto& it = items[a.message_id];
    EXPECT_EQ(it->MessageClass(), "IPM.Note.News.Full") << a.message_id;
    EXPECT_TRUE(it->UnRead());
    EXPECT_EQ(it->FlagStatus(), 2) << "the flag is kept";
    EXPECT_NE(it->Body().find("Message-ID: " + a.message_id), std::string::npos) << it->Body();
    EXPECT_NE(it->Body().find("\r\n\r\nTexto de "), std::string::npos) << it->Body();
    EXPECT_NE(it->Body().find("\r\n.línea que empieza con punto\r\n"), std::string::npos) << "dot-unstuffed";
  }
  const auto& nunca = items["<nunca." + prefijo_ + "@tablon.test>"];
  EXPECT_EQ(nunca->MessageClass(), "IPM.Note.News.Header");
  EXPECT_EQ(nunca->Body(), "");
  EXPECT_EQ(items[respuesta.message_id]->MessageClass(), "IPM.Note.News.Header") << "not flagged";
  bool vio_430 = false;
  for (const auto& d : dos.Etiqueta("Debug")) vio_430 |= d.rfind("430", 0) == 0;
  EXPECT_TRUE(vio_430);

  // Third pass: nothing is fetched again.
  Salida tres = tablon_.Ejecuta({"--verbose"});
  ASSERT_EQ(tres.codigo, 0) << tres.err;
  size_t articles = 0;
  for (const auto& d : tres.Etiqueta("Debug")) articles += d.rfind("ARTICLE ", 0) == 0;
  EXPECT_EQ(articles, 1u) << "only the placeholder that failed is tried again";
  EXPECT_EQ(Ficheros(), 7u);
}

TEST_F(InnArticulos, FiveThousandArticlesTwoPasses) {
  std::vector<test::Article> lote;
  for (int i = 0; i < 5000; ++i) {
    std::string refs = i % 3 == 0 || i == 0 ? "" : lote[static_cast<size_t>(i - 1)].message_id;
    lote.push_back(Articulo("m" + std::to_string(i), "Asunto " + std::to_string(i), refs));
  }
  Inn::Post(lote);
  Salida uno = tablon_.Ejecuta({});
  ASSERT_EQ(uno.codigo, 0) << uno.err;
  EXPECT_EQ(Ficheros(), 5000u);
  Salida dos = tablon_.Ejecuta({});
  ASSERT_EQ(dos.codigo, 0) << dos.err;
  EXPECT_EQ(Ficheros(), 5000u);
  EXPECT_TRUE(dos.Etiqueta("Mensaje").empty()) << "the second pass creates nothing";
}

}  // namespace
}  // namespace tablon
