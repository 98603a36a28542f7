// What a server's listings do to the records, with the scripted peer standing in for a server
// whose answers a test must choose: new-group discovery (letter case, duplicates, status
// letters, empty and very large listings, the date it asks from and the check date it keeps)
// and overview duplicates; which flagged items a pass fetches; and whole passes of the program
// against hostile and flaky servers.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>

#include "app/almacen.h"
#include "app/main_frm.h"
#include "core/error.h"
#include "news/servidor_news.h"
#include "store/outlook_module.h"
#include "support/almacen.h"
#include "support/peer.h"
#include "support/programa.h"
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

std::shared_ptr<nntp::Control> Control(const Peer& peer) {
  auto c = std::make_shared<nntp::Control>();
  c->Host(peer.Host());
  c->Timeout(std::chrono::milliseconds(2000));
  c->NetrcPath("/nonexistent/netrc");
  c->Command(nntp::kConectar);
  return c;
}

TEST(GruposNuevos, ListingsAddUnknownNamesOnceAtTheEndAndMoveTheCheckDate) {
  auto script = Conexion();
  script.push_back({"NEWGROUPS 19891231 000000 GMT*",
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
  s.Grupos()->Add(conocido, "conocido.grupo");
  s.ControlNews(Control(peer));
  // The check date travels in local time; the server receives it in GMT, a day earlier.
  setenv("TZ", "UTC", 1);
  tzset();
  const Fecha antes = Fecha::Ahora();
  s.GetNewGroups();
  EXPECT_GE(s.FechaChequeoGrupos().Dias(), antes.Dias());
  std::vector<std::string> nombres;
  for (const auto& g : *s.Grupos()) {
    nombres.push_back(g->Nombre());
    EXPECT_FALSE(g->Subscrito());
  }
  EXPECT_EQ(nombres, (std::vector<std::string>{"conocido.grupo", "nuevo.uno", "nuevo.dos", "nuevo.tres"}));
  EXPECT_EQ(s.Grupos()->Miembro("nuevo.dos")->FechaUltimoMensaje(), kFechaInicial);
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
    EXPECT_TRUE(s.Grupos()->empty());
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
  ASSERT_EQ(s.Grupos()->size(), 40000u);
  EXPECT_EQ((*s.Grupos())[39999]->Nombre(), "big.group.39999");
}

TEST(GruposNuevos, TheRequestAsksFromADayBeforeTheCheckDateAndTheNewDateIsReadBeforeAsking) {
  const char* tz = std::getenv("TZ");
  const std::string tz_antes = tz ? tz : "";
  const char* madrid = "CET-1CEST,M3.5.0,M10.5.0/3";
  struct Caso {
    const char* tz;
    PartesFecha chequeo;
    std::vector<std::string> pedidos;  // the NEWGROUPS lines that are right
  } casos[] = {
      {"UTC0", {1990, 1, 1, 0, 0, 0}, {"NEWGROUPS 19891231 000000 GMT"}},
      // A day of real time: 24 hours back from 31 March, the day clocks go forward, is 11:00 on
      // the 30th by the clock (a calendar day back, 12:00, would miss an hour).
      {madrid, {2024, 3, 31, 12, 0, 0}, {"NEWGROUPS 20240330 100000 GMT"}},
      // 2:30 happens twice on 27 October: either reading, a day back covers both.
      {madrid, {2024, 10, 27, 2, 30, 0}, {"NEWGROUPS 20241026 003000 GMT", "NEWGROUPS 20241026 013000 GMT"}},
  };
  for (const Caso& c : casos) {
    setenv("TZ", c.tz, 1);
    tzset();
    auto script = Conexion();
    script.push_back({"NEWGROUPS *", "231 list follows\r\n.\r\n"});
    Peer peer(script);
    ServidorNews s;
    s.FechaChequeoGrupos(*Fecha::DesdePartes(c.chequeo));
    s.ControlNews(Control(peer));
    s.GetNewGroups();
    const auto recibidos = peer.Commands();
    ASSERT_EQ(recibidos.size(), 2u) << c.tz;
    EXPECT_TRUE(std::find(c.pedidos.begin(), c.pedidos.end(), recibidos[1].line) != c.pedidos.end())
        << c.tz << ": " << recibidos[1].line;
  }
  setenv("TZ", "UTC0", 1);
  tzset();

  // A server slow to answer: the new check date is the moment before the request was sent, so a
  // group the server creates while it answers is after it; a refused request changes nothing.
  auto script = Conexion();
  script.push_back({"NEWGROUPS *", "231 list follows\r\n.\r\n"});
  script.push_back({"NEWGROUPS *", "502 not for you\r\n"});
  Peer peer(script);
  ServidorNews s;
  s.ControlNews(Control(peer));
  Fecha enviado;
  s.ControlNews()->Debug = [&](const std::string& line) {
    if (line.rfind("NEWGROUPS", 0) == 0) enviado = Fecha::Ahora();
    if (line.rfind("231", 0) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  };
  s.FechaChequeoGrupos(kFechaInicial);
  s.GetNewGroups();
  EXPECT_LE(s.FechaChequeoGrupos().Segundos(), enviado.Segundos());
  EXPECT_GT(s.FechaChequeoGrupos().Segundos(), kFechaInicial.Segundos());
  const Fecha primera = s.FechaChequeoGrupos();
  EXPECT_THROW(s.GetNewGroups(), Error);
  EXPECT_EQ(s.FechaChequeoGrupos(), primera);
  EXPECT_EQ(peer.Failures(), "");

  if (tz) {
    setenv("TZ", tz_antes.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
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

using Then = Step::Then;

std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Whole passes of the program with two subscribed groups, against a server whose first
// connection goes wrong in the first group: a reply past its bound, or one dripped a byte a
// second. The failing step ends within its bound and with little memory; the connection is
// dropped and opened again for the second group, which is synchronised; the pass then exits 1
// naming the first group and its failure. An endless NEWGROUPS ends the pass (new-group
// discovery traps nothing) with the same bounds on time and memory.
TEST(PasadaHostil, AFailedGroupIsNamedAndTheNextIsSyncedThroughANewConnection) {
  constexpr int kTimeoutMs = 3000;
  const std::string kOver1 = "1\tUno\tA <a@x>\tMon, 01 Jan 2024 00:00:00 +0000\t<marcado@x>\t\t100\t3";
  const std::vector<Step> kEntrada = {
      {"", "200 peer ready\r\n"},
      {"CAPABILITIES", "101 Capability list:\r\n" + Lines({"VERSION 2", "READER", "OVER"}) + ".\r\n"}};
  const std::vector<Step> kUnoConResumen = {{"GROUP g.uno", "211 1 1 1 g.uno\r\n"},
                                            {"OVER 1-", "224 resumen\r\n" + kOver1 + "\r\n.\r\n"}};
  std::string corrupto = test::Deflate("211 1 1 1 g.uno\r\n");
  corrupto[0] = static_cast<char>(corrupto[0] | 0x06);  // block type 3, which does not exist
  struct Caso {
    const char* nombre;
    std::vector<Step> fallo;     // after the greeting, capabilities and an empty NEWGROUPS
    std::string texto;           // in the error the pass ends with
    bool grupos_nuevos = false;  // the failure is NEWGROUPS itself
    bool comprimida = false;     // both connections compressed (COMPRESS DEFLATE after the capabilities)
  } casos[] = {
      {"endless overview",
       {{"GROUP g.uno", "211 3 1 3 g.uno\r\n"}, {"OVER 1-", "224 resumen\r\n", Then::kEndless, kOver1 + "\r\n"}},
       "103 líneas"},
      {"more overview lines than the range",
       {{"GROUP g.uno", "211 3 1 3 g.uno\r\n"},
        {"OVER 1-", "224 resumen\r\n" + Lines(std::vector<std::string>(500, kOver1)) + ".\r\n"}},
       "103 líneas"},
      {"endless article",
       kUnoConResumen + std::vector<Step>{{"ARTICLE <marcado@x>", "220 0 <marcado@x>\r\nSubject: x\r\n\r\n",
                                           Then::kEndless, std::string(1000, 't') + "\r\n"}},
       "bytes"},
      {"an article announcing 10 GB",
       kUnoConResumen + std::vector<Step>{{"ARTICLE <marcado@x>",
                                           "220 0 <marcado@x>\r\nBytes: 10737418240\r\nLines: 200000000\r\n\r\n",
                                           Then::kEndless, std::string(64 * 1024, 'z') + "\r\n"}},
       "bytes"},
      {"GROUP dripped a byte a second", {{"GROUP g.uno", "", Then::kDrip, "211 1 1 1 g.uno\r\n"}},
       "no completó la respuesta"},
      {"endless NEWGROUPS", {}, "250000 líneas", true},
      {"a corrupt compressed stream", {{"GROUP g.uno", corrupto, Then::kSilence, "", true}},
       "Flujo comprimido no válido", false, true},
      // A megabyte without a line end deflates to about a kilobyte, again and again.
      {"a compressed line that never ends",
       {{"GROUP g.uno", "211 3 1 3 g.uno\r\n"}, {"OVER 1-", "224 resumen\r\n", Then::kEndless, std::string(1 << 20, 'x')}},
       "sin terminarla", false, true},
  };
  setenv("TABLON_TIMEOUT_MS", std::to_string(kTimeoutMs).c_str(), 1);
  // The peer is loopback, where compression is off unless asked for; it is used only where the
  // capabilities offer it.
  setenv("TABLON_COMPRESION", "si", 1);
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    TmpDir store, servers;
    std::vector<Step> entrada = kEntrada;
    if (c.comprimida) {
      entrada = {{"", "200 peer ready\r\n"},
                 {"CAPABILITIES", "101 Capability list:\r\n" +
                                      Lines({"VERSION 2", "READER", "OVER", "COMPRESS DEFLATE"}) + ".\r\n"},
                 {"COMPRESS DEFLATE", "206 Compression active\r\n", Then::kCompress}};
    }
    std::vector<Step> primera = entrada;
    if (c.grupos_nuevos) {
      primera.push_back({"NEWGROUPS *", "231 grupos nuevos\r\n", Then::kEndless, "grupo.nuevo 1 1 y\r\n"});
    } else {
      primera.push_back({"NEWGROUPS *", "231 grupos nuevos\r\n.\r\n"});
      primera = primera + c.fallo;
    }
    const std::vector<Step> segunda =
        entrada + std::vector<Step>{{"GROUP g.dos", "211 2 1 2 g.dos\r\n"},
                                     {"OVER 1-", "224 resumen\r\n" +
                                                      Lines({"1\tDos\tB <b@x>\td\t<d1@x>\t\t10\t1",
                                                             "2\tTres\tC <c@x>\td\t<d2@x>\t\t10\t1"}) +
                                                      ".\r\n"}};
    Peer peer(Peer::kEachConnection, {primera, segunda});
    test::EscribeServidor(store.str(), peer.Host());
    test::WriteFile(servers / (peer.Host() + ".txt"),
                    "01/01/1990\r\n 2 \r\ng.uno 01/01/1990 X\r\ng.dos 01/01/1990 X\r\n");
    // The flagged header item the article cases ask for.
    auto carpeta_servidor = BuscaOCreaCarpeta(*MapiNameSpace->Folder("news"), peer.Host());
    auto uno = std::make_shared<GrupoNews>();
    uno->CarpetaServidor(carpeta_servidor);
    uno->Nombre("g.uno");
    uno->Subscrito(true);
    MessageNews m;
    m.id = "<marcado@x>";
    m.subject = "Uno";
    auto item = m.CreateOutlookMsg("g.uno", nullptr);
    item->SetFlagStatus(store::kMarcado);
    item->Save();
    item->Move(*uno->CarpetaGrupo());

    const auto inicio = std::chrono::steady_clock::now();
    const test::Salida s = test::Programa(store.path(), servers.path()).Ejecuta({"--once"});
    const auto duracion = std::chrono::steady_clock::now() - inicio;

    EXPECT_EQ(s.codigo, 1) << s.err;
    EXPECT_NE(s.err.find(c.texto), std::string::npos) << s.err;
    // (Under AddressSanitizer the same pass takes more: its shadow and quarantine.)
    EXPECT_LT(s.pico_kib, (test::kConSanitizador ? 160 : 100) * 1024) << "peak resident memory, KiB";
    EXPECT_EQ(peer.Failures(), "");
    if (c.grupos_nuevos) {
      EXPECT_NE(s.err.find("NEWGROUPS"), std::string::npos) << s.err;
      EXPECT_EQ(peer.Connections(), 1);
      EXPECT_LT(duracion, std::chrono::seconds(30));
      continue;
    }
    EXPECT_NE(s.err.find("«g.uno»"), std::string::npos) << s.err;
    EXPECT_EQ(s.err.find("g.dos"), std::string::npos) << s.err;
    // Each group's line says whether its work was done.
    const size_t linea_uno = s.out.find("Grupo g.uno: ");
    ASSERT_NE(linea_uno, std::string::npos) << s.out;
    EXPECT_NE(s.out.substr(linea_uno, s.out.find('\n', linea_uno) - linea_uno).find("sin terminar: se perdió la conexión"),
              std::string::npos) << s.out;
    EXPECT_NE(s.out.find("Grupo g.dos: 2 nuevos\n"), std::string::npos) << s.out;
    // The dripped step within two timeouts (the rest of the pass takes well under one); the
    // others within a generous bound.
    EXPECT_LT(duracion, c.fallo.back().then == Then::kDrip ? std::chrono::milliseconds(2 * kTimeoutMs)
                                                           : std::chrono::milliseconds(30000));
    EXPECT_EQ(peer.Connections(), 2);
    IniciaOutlook();
    auto dos = std::make_shared<GrupoNews>();
    dos->CarpetaServidor(BuscaOCreaCarpeta(*MapiNameSpace->Folder("news"), peer.Host()));
    dos->Nombre("g.dos");
    dos->Subscrito(true);
    EXPECT_EQ(dos->CarpetaGrupo()->Items().size(), 2u) << "the next group is synchronised";
    for (const auto& it : uno->CarpetaGrupo()->Items()) EXPECT_EQ(it->MessageClass(), kClaseCabecera);
  }
  unsetenv("TABLON_TIMEOUT_MS");
  unsetenv("TABLON_COMPRESION");
}

}  // namespace
}  // namespace tablon
