// A pass under load against the local INN: 20 subscribed groups of 2,000 articles each, then
// 500 items flagged across them. Every article ends as exactly one item of its group's folder,
// and every flagged item is downloaded. Skipped in the sanitizer build (too slow there; the
// crash and fault tests cover the same code under the sanitizers).
#include <filesystem>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "store/mensaje/formato_item.h"
#include "support/inn.h"
#include "support/instantanea.h"
#include "support/programa.h"
#include "support/tmpdir.h"

namespace tablon {
namespace {

namespace fs = std::filesystem;
using test::Inn;
using test::Programa;
using test::Salida;
using test::TmpDir;

bool EsArticulo(const store::mensaje::RegistroItem& r) {
  for (const auto& p : r.propiedades) {
    if (p.Name() == "ArticleID") return r.remitente.rfind("???", 0) != 0 && p.ComoTexto().find(' ') == std::string::npos;
  }
  return false;
}

constexpr int kGrupos = 20;
constexpr int kArticulos = 2000;
constexpr int kMarcados = 500;

TEST(InnCarga, TwentyGroupsOfTwoThousandArticlesAndFiveHundredFlagged) {
  if (!Inn::Available()) GTEST_SKIP() << "TABLON_INN_PORT is not set: no local INN";
  if (test::kConSanitizador) GTEST_SKIP() << "too slow under AddressSanitizer; runs in the plain build";
  TmpDir store, servers;
  const Programa tablon(store.path(), servers.path());
  const std::string prefijo = Inn::UniqueName("carga");
  std::vector<std::string> grupos;
  for (int g = 0; g < kGrupos; ++g) {
    grupos.push_back(prefijo + ".g" + std::to_string(g));
    Inn::CreateGroup(grupos.back());
    Inn::Post(test::MakeArticles(grupos.back(), kArticulos, "c" + std::to_string(g) + "." + prefijo));
  }
  ASSERT_EQ(tablon.Ejecuta({"add-server", Inn::Host()}).codigo, 0);
  ASSERT_EQ(tablon.Ejecuta({}).codigo, 0);
  std::vector<std::string> sub = {"subscribe", Inn::Host()};
  sub.insert(sub.end(), grupos.begin(), grupos.end());
  ASSERT_EQ(tablon.Ejecuta(sub).codigo, 0);

  Salida cabeceras = tablon.Ejecuta({});
  ASSERT_EQ(cabeceras.codigo, 0) << cabeceras.err;

  // Flag 25 items in every group folder, as a mail client does (F and S in the file name).
  std::set<std::string> marcados;
  const fs::path raiz = store.path() / "news" / Inn::Host();
  for (const auto& nombre : grupos) {
    fs::path carpeta = raiz;
    std::string rest = nombre;
    for (size_t pos; (pos = rest.find('.')) != std::string::npos; rest.erase(0, pos + 1)) carpeta /= rest.substr(0, pos);
    carpeta /= rest;
    int n = 0;
    // Articles only: the placeholders standing for a References field of two identifiers
    // (every reply after the first of a thread here) cannot be fetched.
    std::vector<fs::path> archivos;
    for (const auto& e : fs::directory_iterator(carpeta / "cur")) {
      if (EsArticulo(store::mensaje::LeeCabeceraItem(test::ReadFile(e.path())).registro)) archivos.push_back(e.path());
    }
    EXPECT_EQ(archivos.size(), static_cast<size_t>(kArticulos));
    std::sort(archivos.begin(), archivos.end());
    for (size_t i = 0; i < archivos.size() && n < kMarcados / kGrupos; i += archivos.size() / (kMarcados / kGrupos), ++n) {
      const std::string f = archivos[i].filename().string();
      fs::rename(archivos[i], carpeta / "cur" / (f.substr(0, f.find(":2,")) + ":2,FS"));
      marcados.insert(fs::relative(carpeta, store.path()).string() + "|" + f.substr(0, f.find(":2,")));
    }
  }
  ASSERT_EQ(marcados.size(), static_cast<size_t>(kMarcados));

  Salida descarga = tablon.Ejecuta({});
  ASSERT_EQ(descarga.codigo, 0) << descarga.err;

  const auto almacen = test::LeeAlmacen(store.path());
  EXPECT_EQ(test::Duplicados(almacen), "");
  size_t grupos_vistos = 0, completos = 0;
  for (const auto& [carpeta, items] : almacen) {
    if (carpeta.find(prefijo.substr(prefijo.find('.') + 1)) == std::string::npos || items.empty()) continue;
    ++grupos_vistos;
    size_t articulos = 0;
    for (const auto& it : items) articulos += it.clave.find(' ') == std::string::npos;
    EXPECT_EQ(articulos, static_cast<size_t>(kArticulos)) << carpeta;
    for (const auto& it : items) {
      if (it.clase != "IPM.Note.News.Full") continue;
      ++completos;
      EXPECT_NE(it.cuerpo.find("Message-ID: " + it.clave), std::string::npos) << it.clave;
      EXPECT_EQ(it.banderas, "F") << "flag kept, unread again";
    }
  }
  EXPECT_EQ(grupos_vistos, static_cast<size_t>(kGrupos));
  EXPECT_EQ(completos, static_cast<size_t>(kMarcados));
}

}  // namespace
}  // namespace tablon
