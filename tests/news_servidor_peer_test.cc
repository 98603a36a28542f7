// What a server's listings do to the records, with the scripted peer standing in for a server
// whose answers a test must choose: new-group discovery (letter case, duplicates, status
// letters, empty and very large listings) and overview duplicates; and which flagged items a
// pass fetches.
#include <gtest/gtest.h>

#include "app/main_frm.h"
#include "news/servidor_news.h"
#include "store/outlook_module.h"
#include "support/peer.h"
#include "support/tmpdir.h"

namespace tablon {
namespace {

using test::Lines;
using test::Peer;
using test::Step;
using test::TmpDir;

std::vector<Step> Conexion() {
  return {{"", "200 peer ready\r\n"},
          {"CAPABILITIES", "101 Capability list:\r\n" + Lines({"VERSION 2", "READER", "OVER"}) + ".\r\n"}};
}

std::shared_ptr<nntp::News> Control(const Peer& peer) {
  auto c = std::make_shared<nntp::News>();
  c->Host(peer.Host());
  c->Timeout(std::chrono::milliseconds(2000));
  c->NetrcPath("/nonexistent/netrc");
  c->Command(nntp::kConectar);
  return c;
}

TEST(GruposNuevos, ListingsAddUnknownNamesOnceAtTheEndAndMoveTheCheckDate) {
  auto script = Conexion();
  script.push_back({"NEWGROUPS 19900101 000000 GMT*",
                    "231 list follows\r\n" +
                        Lines({"Conocido.Grupo 10 1 y", "nuevo.uno 0 1 m", "nuevo.dos", "NUEVO.UNO 5 1 y",
                               "nuevo.tres 2 1 n"}) +
                        ".\r\n"});
  Peer peer(script);
  TmpDir dir;
  ServidorNews s;
  s.filename((dir / "s.txt").string());
  s.load();
  auto conocido = std::make_shared<GrupoNews>();
  conocido->Nombre("conocido.grupo");
  s.grupos()->Add(conocido, "conocido.grupo");
  s.ControlNews(Control(peer));
  // The check date travels in local time; the server receives it in GMT.
  setenv("TZ", "UTC", 1);
  tzset();
  const Fecha antes = Fecha::Ahora();
  s.GetNewGroups();
  EXPECT_GE(s.FechaChequeoGrupos().Dias(), antes.Dias());
  std::vector<std::string> nombres;
  for (const auto& g : *s.grupos()) {
    nombres.push_back(g->Nombre());
    EXPECT_FALSE(g->Subscrito());
  }
  EXPECT_EQ(nombres, (std::vector<std::string>{"conocido.grupo", "nuevo.uno", "nuevo.dos", "nuevo.tres"}));
  EXPECT_EQ(s.grupos()->Find("nuevo.dos")->FechaUltimoMensaje(), kFechaInicial);
  EXPECT_EQ(peer.Failures(), "");
}

TEST(GruposNuevos, AnEmptyListingStillMovesTheCheckDateAndFortyThousandLinesAreTakenWhole) {
  {
    auto script = Conexion();
    script.push_back({"NEWGROUPS *", "231 list follows\r\n.\r\n"});
    Peer peer(script);
    ServidorNews s;
    s.FechaChequeoGrupos(kFechaInicial);
    s.ControlNews(Control(peer));
    s.GetNewGroups();
    EXPECT_TRUE(s.grupos()->empty());
    EXPECT_GT(s.FechaChequeoGrupos().Dias(), kFechaInicial.Dias());
  }
  std::string listing = "231 list follows\r\n";
  for (int i = 0; i < 40000; ++i) listing += "big.group." + std::to_string(i) + " 0 1 y\r\n";
  listing += ".\r\n";
  auto script = Conexion();
  script.push_back({"NEWGROUPS *", listing});
  Peer peer(script);
  ServidorNews s;
  s.ControlNews(Control(peer));
  s.GetNewGroups();
  ASSERT_EQ(s.grupos()->size(), 40000u);
  EXPECT_EQ((*s.grupos())[39999]->Nombre(), "big.group.39999");
}

class PasadaPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    FijaUbicacionAlmacen(store_.str());
    IniciaOutlook();
    servidor_ = MapiNameSpace->AddFolder("news")->AddFolder("peer");
    grupo_ = std::make_shared<GrupoNews>();
    grupo_->CarpetaServidor(servidor_);
    grupo_->Nombre("a.b");
    grupo_->Subscrito(true);
  }
  TmpDir store_;
  std::shared_ptr<store::Folder> servidor_;
  std::shared_ptr<GrupoNews> grupo_;
};

TEST_F(PasadaPeer, OverviewDuplicatesInAnyLetterCaseAddOneMessage) {
  auto script = Conexion();
  script.push_back({"GROUP a.b", "211 4 1 4 a.b\r\n"});
  script.push_back({"OVER 1-4", "224 overview\r\n" +
                                    Lines({"1\tUno\tA\td\t<uno@x>\t\t10\t1", "2\tDos\tB\td\t<UNO@x>\t\t10\t1",
                                           "3\tTres\tC\td\t<tres@x>\t\t10\t1", "4\tCuatro\tD\td\t<uno@x>\t\t10\t1"}) +
                                    ".\r\n"});
  Peer peer(script);
  grupo_->ControlNews(Control(peer));
  grupo_->LeeEncabezados();
  ASSERT_EQ(grupo_->mensajes()->size(), 2u);
  EXPECT_EQ((*grupo_->mensajes())[0]->subject, "Uno");
  EXPECT_EQ((*grupo_->mensajes())[1]->subject, "Tres");
  EXPECT_EQ(peer.Failures(), "");
}

TEST_F(PasadaPeer, OnlyFlaggedHeaderItemsOfTheExactClassAreFetched) {
  struct Caso {
    const char* id;
    const char* clase;
    int marca;
  } casos[] = {
      {"<marcado@x>", "IPM.Note.News.Header", store::kMarcado},
      {"<completo@x>", "IPM.Note.News.Full", store::kMarcado},
      {"<mayusculas@x>", "IPM.NOTE.NEWS.HEADER", store::kMarcado},
      {"<sinmarca@x>", "IPM.Note.News.Header", store::kSinMarca},
      {"<terminado@x>", "IPM.Note.News.Header", store::kMarcaCompletada},
      {"<falla@x>", "IPM.Note.News.Header", store::kMarcado},
      {"<otro@x>", "IPM.Note.News.Header", store::kMarcado},
  };
  for (const auto& c : casos) {
    MessageNews m;
    m.id = c.id;
    m.subject = c.id;
    auto it = m.CreateOutlookMsg("a.b", nullptr);
    it->SetMessageClass(c.clase);
    it->SetFlagStatus(c.marca);
    it->Save();
    it->Move(*grupo_->CarpetaGrupo());
  }
  auto script = Conexion();
  script.push_back({"ARTICLE <marcado@x>", "220 0 <marcado@x>\r\nSubject: uno\r\n\r\ntexto uno\r\n.\r\n"});
  script.push_back({"ARTICLE <falla@x>", "430 No such article\r\n"});
  script.push_back({"ARTICLE <otro@x>", "220 0 <otro@x>\r\nSubject: otro\r\n\r\ntexto otro\r\n.\r\n"});
  Peer peer(script);
  grupo_->ControlNews(Control(peer));
  grupo_->LeeMensajesMarcados();
  EXPECT_EQ(peer.Failures(), "") << "only the two flagged header items and the failing one";
  std::map<std::string, std::shared_ptr<store::Item>> items;
  for (const auto& it : grupo_->CarpetaGrupo()->Items()) items[it->Subject()] = it;
  EXPECT_EQ(items["<marcado@x>"]->MessageClass(), "IPM.Note.News.Full");
  EXPECT_EQ(items["<marcado@x>"]->Body(), "Subject: uno\r\n\r\ntexto uno\r\n");
  EXPECT_EQ(items["<otro@x>"]->MessageClass(), "IPM.Note.News.Full") << "fetched after the one that failed";
  EXPECT_EQ(items["<falla@x>"]->MessageClass(), "IPM.Note.News.Header");
  EXPECT_EQ(items["<falla@x>"]->Body(), "");
  EXPECT_EQ(items["<mayusculas@x>"]->MessageClass(), "IPM.NOTE.NEWS.HEADER");
}

}  // namespace
}  // namespace tablon
