// The program's access point to the store: where it opens (and which locations it refuses), and
// the exact find-or-create of a subfolder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "app/almacen.h"
#include "core/error.h"
#include "store/outlook_module.h"
#include "support/tmpdir.h"

namespace tablon {
namespace {

TEST(OutlookModule, WhereTheStoreLies) {
  test::TmpDir dir;
  const std::string por_entorno = (dir / "entorno").string();
  ASSERT_EQ(setenv("TABLON_STORE", por_entorno.c_str(), 1), 0);
  EXPECT_THROW(IniciaOutlook(), Error);  // a missing store is made by add-server alone
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  IniciaOutlook(true);  // nothing set: $TABLON_STORE
  EXPECT_TRUE(std::filesystem::is_directory(por_entorno));
  ASSERT_NE(MapiNameSpace, nullptr);
  MapiNameSpace->AddFolder("news");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "entorno" / "news" / "cur"));

  FijaUbicacionAlmacen((dir / "fijada").string());  // set: wins over the environment
  auto anterior = OutlookApp;
  IniciaOutlook(true);
  EXPECT_NE(OutlookApp, anterior);
  EXPECT_EQ(UbicacionAlmacen(), (dir / "fijada").string());
  EXPECT_TRUE(MapiNameSpace->Folders().empty());
  EXPECT_THROW(CarpetaNews(), Error);
  unsetenv("TABLON_STORE");

  // What reads as a URL is an IMAP account or refused, never a directory.
  const struct {
    std::string ubicacion;
    bool valida;
  } ubicaciones[] = {
      {"imap:/ana@host:993", false}, {"imaps//ana@host", false}, {"imap://@host", false},
      {"imaps:ana@host", false},     {"imapx://a@h", false},     {"maildir:///x", false},
      {"IMAP://ana@host", true},     {"./imap:/ana@h", true},    {"/a/imap:/b", true},
      {"a:b", true},                 {"imap.d", true},
  };
  for (const auto& u : ubicaciones) {
    try {
      FijaUbicacionAlmacen(u.ubicacion);
    } catch (const Error& e) {
      EXPECT_EQ(e.Number(), errnum::kArgumentoNoValido);
    }
    EXPECT_EQ(UbicacionAlmacen() == u.ubicacion, u.valida) << u.ubicacion;
  }
}

TEST(OutlookModule, FindsOrCreatesTheFolderOfExactlyThatName) {
  test::TmpDir dir;
  FijaUbicacionAlmacen(dir.str());
  IniciaOutlook();
  auto news = MapiNameSpace->AddFolder("news");
  struct Paso {
    std::string nombre;
    size_t carpetas_despues;  // subfolders of news afterwards
  } pasos[] = {
      {"news", 1},   // missing: made
      {"news", 1},   // found the second time
      {"News", 2},   // letter case counts
      {"news ", 3},  // so does a trailing blank
      {" news", 4},
      {"News", 4},
  };
  for (const auto& p : pasos) {
    auto f = BuscaOCreaCarpeta(*news, p.nombre);
    EXPECT_EQ(f->Name(), p.nombre);
    EXPECT_EQ(news->Folders().size(), p.carpetas_despues) << "«" << p.nombre << "»";
  }
  // What was found is the same folder as made: an item put there is seen through either.
  auto item = OutlookApp->CreateItem(0);
  item->Move(*BuscaOCreaCarpeta(*news, "News"));
  EXPECT_EQ(BuscaOCreaCarpeta(*news, "News")->Items().size(), 1u);
  EXPECT_TRUE(BuscaOCreaCarpeta(*news, "news")->Items().empty());
}

}  // namespace
}  // namespace tablon
