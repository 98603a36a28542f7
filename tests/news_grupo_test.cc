// A group's place in the store (folder chain, entry post), the cutting of overview lines, and
// the writing of header items with their threads — against a real Maildir store.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/almacen.h"
#include "app/main_frm.h"
#include "core/error.h"
#include "core/paso.h"
#include "news/grupo_news.h"
#include "store/outlook_module.h"
#include "support/peer.h"
#include "support/programa.h"
#include "support/tmpdir.h"

namespace tablon {
namespace {

using test::TmpDir;

class GrupoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FijaUbicacionAlmacen(dir_.str());
    IniciaOutlook();
    servidor_ = MapiNameSpace->AddFolder("news")->AddFolder("news.example.com");
  }

  std::shared_ptr<GrupoNews> Suscrito(const std::string& nombre) {
    auto g = std::make_shared<GrupoNews>();
    g->CarpetaServidor(servidor_);
    g->Nombre(nombre);
    g->Subscrito(true);
    return g;
  }

  static std::vector<std::string> Nombres(store::Folder& f) {
    std::vector<std::string> r;
    for (const auto& sub : f.Folders()) r.push_back(sub->Name());
    return r;
  }

  TmpDir dir_;
  std::shared_ptr<store::Folder> servidor_;
};

TEST_F(GrupoTest, FolderChainsShareTheirUpperLevels) {
  auto abc = Suscrito("a.b.c");
  auto ab = Suscrito("a.b");
  auto trailing = Suscrito("a.b.");
  ASSERT_TRUE(abc->CarpetaGrupo());
  EXPECT_EQ(abc->CarpetaGrupo()->Name(), "c");
  EXPECT_EQ(ab->CarpetaGrupo()->Name(), "b");
  EXPECT_EQ(Nombres(*servidor_), std::vector<std::string>{"a"});
  auto a = servidor_->Folders()[0];
  EXPECT_EQ(Nombres(*a), std::vector<std::string>{"b"});
  EXPECT_EQ(Nombres(*a->Folders()[0]), std::vector<std::string>{"c"});
  // A trailing dot gives the chain of the name without it.
  EXPECT_EQ(trailing->CarpetaGrupo()->Name(), "b");
  EXPECT_EQ(Nombres(*a->Folders()[0]), std::vector<std::string>{"c"});
  // Renaming a subscribed group resolves the new chain; the old folders stay.
  ab->Nombre("x");
  EXPECT_EQ(ab->CarpetaGrupo()->Name(), "x");
  EXPECT_EQ(Nombres(*servidor_).size(), 2u);
}

TEST_F(GrupoTest, UnsubscribedGroupsTouchNoFolder) {
  auto g = std::make_shared<GrupoNews>();
  g->CarpetaServidor(servidor_);
  g->Nombre("never.created");
  EXPECT_FALSE(g->CarpetaGrupo());
  EXPECT_TRUE(servidor_->Folders().empty());
}

TEST_F(GrupoTest, TheEntryPostIsCreatedOnceAndFoundBySubject) {
  auto g = Suscrito("comp.lang.c");
  g->CreaEntradaGrupo();
  g->CreaEntradaGrupo();
  auto items = servidor_->Items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0]->MessageClass(), "IPM.Post.News.Subscripcion");
  EXPECT_EQ(items[0]->Subject(), "comp.lang.c");
  EXPECT_TRUE(items[0]->UnRead());
  // A mail note with the group's name as subject is no post: finding it is an error.
  auto other = Suscrito("alt.test");
  auto note = OutlookApp->CreateItem(0);
  note->SetSubject("ALT.TEST");
  note->Move(*servidor_);
  EXPECT_THROW(other->CreaEntradaGrupo(), Error);
}

TEST(LineaResumen, FieldsAreCutAtTabsAndNumbersConvertedOrLeftAlone) {
  struct Case {
    std::string line;
    std::int32_t msgnum;
    std::string subject, autor, id, refs;
    std::int32_t bytes, lineas;
  } cases[] = {
      {"12\tAsunto\tyo@x\tdate\t<id@x>\t<r@x>\t1234\t56\tXref: a:12", 12, "Asunto", "yo@x", "<id@x>", "<r@x>", 1234, 56},
      {"sin tabuladores", 0, "", "", "", "", 0, 0},
      {"7\t Sub \tA", 7, " Sub ", "A", "", "", 0, 0},
      {"x\ts\ta\td\t<i>\t<a> <b>\tmuchos\t2.5", 0, "s", "a", "<i>", "<a> <b>", 0, 2},
      {"2147483648\ts\ta\td\t<i>\t\t-1\t3.5", 0, "s", "a", "<i>", "", -1, 4},
      {"\t\t\t\t\t\t\t", 0, "", "", "", "", 0, 0},
  };
  for (const auto& c : cases) {
    MessageNews m;
    GrupoNews::LeeLineaResumen(c.line, m);
    EXPECT_EQ(m.msgnum, c.msgnum) << c.line;
    EXPECT_EQ(m.subject, c.subject) << c.line;
    EXPECT_EQ(m.Autor, c.autor) << c.line;
    EXPECT_EQ(m.id, c.id) << c.line;
    EXPECT_EQ(m.referencias, c.refs) << c.line;
    EXPECT_EQ(m.bytes, c.bytes) << c.line;
    EXPECT_EQ(m.lineas, c.lineas) << c.line;
    EXPECT_EQ(m.fecha(), Fecha(0));
  }
  // The date field becomes the message's date (an unreadable one leaves it zero, as above, and
  // is told to the trace).
  std::vector<std::string> trazas;
  FijaObservadorDeFallos([&](const std::string& t) { trazas.push_back(t); });
  MessageNews fechado, sin_fecha;
  GrupoNews::LeeLineaResumen("1\ts\ta\tWed, 04 Nov 2026 08:15:00 -0500\t<i>\t\t1\t1", fechado);
  GrupoNews::LeeLineaResumen("1\ts\ta\tayer\t<i>\t\t1\t1", sin_fecha);
  FijaObservadorDeFallos(nullptr);
  EXPECT_EQ(fechado.fecha().AUnix(), 1793798100);
  ASSERT_EQ(trazas.size(), 1u);
  EXPECT_NE(trazas[0].find("«ayer»"), std::string::npos) << trazas[0];
  for (const char* bad : {"", " ", "abc", "0x10", "inf", "nan", "1e", "--1", "9e99"}) {
    EXPECT_THROW(EnteroDeTexto(bad), Error) << bad;
  }
  EXPECT_EQ(EnteroDeTexto(" 42 "), 42);
  EXPECT_EQ(EnteroDeTexto("-2147483648"), INT32_MIN);
  EXPECT_EQ(EnteroDeTexto("1e3"), 1000);
}

// The messages of one pass, as header retrieval leaves them: local ones first, then new ones.
class HilosTest : public GrupoTest {
 protected:
  void SetUp() override {
    GrupoTest::SetUp();
    grupo_ = Suscrito("comp.lang.c");
  }
  std::shared_ptr<MessageNews> Nuevo(const std::string& id, const std::string& subject, const std::string& refs) {
    auto m = std::make_shared<MessageNews>();
    m->id = id;
    m->subject = subject;
    m->Autor = "Autor <a@x>";
    m->referencias = refs;
    grupo_->mensajes()->Add(m, id);
    return m;
  }
  std::map<std::string, std::shared_ptr<store::Item>> PorArticulo() {
    std::map<std::string, std::shared_ptr<store::Item>> r;
    for (const auto& it : grupo_->CarpetaGrupo()->Items()) r[it->UserProperties().Item("ArticleID").ComoTexto()] = it;
    return r;
  }
  std::shared_ptr<GrupoNews> grupo_;
};

TEST_F(HilosTest, RepliesThreadUnderTheirParentsAndPlaceholders) {
  Nuevo("<root@x>", "Raíz", "");
  Nuevo("<reply@x>", "Re: otra cosa", "<ROOT@x>");       // parent found in other letter case
  Nuevo("<early@x>", "Re: tarde", "<late@x>");           // its parent comes later in the walk
  Nuevo("<late@x>", "Tarde", "");
  Nuevo("<orphan1@x>", "Huérfano", "<gone@x>");          // parent missing: placeholder
  Nuevo("<orphan2@x>", "Otro huérfano", "<gone@x>");     // same missing parent: same placeholder
  grupo_->CreaMensajesGrupo();

  auto items = PorArticulo();
  ASSERT_EQ(items.size(), 7u);
  const auto& root = items["<root@x>"];
  const auto& reply = items["<reply@x>"];
  EXPECT_EQ(reply->InReplyTo(), root->MessageId());
  EXPECT_EQ(reply->Subject(), "Raíz") << "a reply takes its parent's subject";
  EXPECT_EQ(reply->UserProperties().Item("IDReferencia").ComoTexto(), "<ROOT@x>");
  EXPECT_EQ(items["<early@x>"]->InReplyTo(), items["<late@x>"]->MessageId()) << "its parent is written first";
  EXPECT_EQ(items["<early@x>"]->Subject(), "Tarde");

  const auto& placeholder = items["<gone@x>"];
  EXPECT_EQ(placeholder->SentOnBehalfOfName(), kAutorDesconocido);
  EXPECT_EQ(std::string(kAutorDesconocido).size(), 16u);
  EXPECT_EQ(placeholder->Subject(), "Huérfano");
  EXPECT_EQ(items["<orphan1@x>"]->InReplyTo(), placeholder->MessageId());
  EXPECT_EQ(items["<orphan2@x>"]->InReplyTo(), placeholder->MessageId());
  EXPECT_EQ(items["<orphan2@x>"]->Subject(), "Huérfano");

  for (const auto& [id, it] : items) {
    EXPECT_EQ(it->MessageClass(), "IPM.Note.News.Header") << id;
    EXPECT_TRUE(it->UnRead()) << id;
    EXPECT_EQ(it->UserProperties().Item("newsgroups").ComoTexto(), "comp.lang.c");
    EXPECT_EQ(it->UserProperties().Item("newsgroups").Type(), store::TipoPropiedad::PalabrasClave);
    EXPECT_EQ(it->UserProperties().Item("FechaNewsMsg").Type(), store::TipoPropiedad::FechaHora);
  }
  // Nothing was left in the drafts folder: every item was moved into the group folder.
  for (const auto& top : MapiNameSpace->Folders()) {
    if (top->Name() == "Borradores") {
      EXPECT_TRUE(top->Items().empty());
    }
  }
}

// Deep replies list the whole chain: each is threaded under its direct parent, and a missing
// parent's placeholder is keyed by that one identifier (so that flagging it fetches it), shared
// by its replies and itself a reply to the nearest earlier identifier that is present.
TEST_F(HilosTest, DeepRepliesThreadUnderTheirDirectParent) {
  Nuevo("<r1@x>", "Hilo", "");
  Nuevo("<r2@x>", "Re: Hilo", "<r1@x>");
  Nuevo("<r3@x>", "Re: Re: Hilo", "<r1@x> <r2@x>");
  Nuevo("<r4@x>", "Re: medio", "<r1@x>\r\n\t<m@x>");  // folded onto a second header line
  Nuevo("<r5@x>", "Re: medio", "<r1@x>  <M@x>");
  Nuevo("<r6@x>", "Re: lejos", "<x1@x> <x2@x>");         // nothing of the chain is here
  Nuevo("<r7@x>", "Blancos", " \t ");                    // names nothing: a root
  Nuevo("<p@x> <q@x>", "Viejo", "");                     // a placeholder of a store written before
  Nuevo("<r8@x>", "Re: viejo", "<p@x> <q@x>");           // still found by the whole text
  Nuevo("<r9@x>", "Sí", "<yes>");                        // not an identifier: a root
  Nuevo("<r10@x>", "Vacío", "<> yes <a b@x>");            // none of these either
  Nuevo("<r11@x>", "Pegados", "<r1@x><r2@x>");            // no blank between them
  Nuevo("<r12@x>", "Re: antes", "<t1@x> <falta@x>");      // placeholder under an article that comes later
  Nuevo("<t1@x>", "Después", "");
  // A chain in reverse order, each reply before the article it answers (shorter under the
  // sanitizers: each item's References grows with its depth, so the writing is quadratic).
  constexpr int kLargo = test::kConSanitizador ? 2000 : 10000;
  for (int i = kLargo; i > 0; --i) {
    Nuevo("<c" + std::to_string(i) + "@x>", "Cadena", i == 1 ? "" : "<c" + std::to_string(i - 1) + "@x>");
  }
  grupo_->CreaMensajesGrupo();

  auto items = PorArticulo();
  ASSERT_EQ(items.size(), 17u + kLargo);
  EXPECT_EQ(items["<r9@x>"]->InReplyTo(), "");
  EXPECT_EQ(items["<r9@x>"]->Subject(), "Sí");
  EXPECT_EQ(items["<r10@x>"]->InReplyTo(), "");
  EXPECT_FALSE(items.count("<yes>"));
  EXPECT_EQ(items["<r11@x>"]->InReplyTo(), items["<r2@x>"]->MessageId());
  ASSERT_TRUE(items.count("<falta@x>"));
  EXPECT_EQ(items["<falta@x>"]->InReplyTo(), items["<t1@x>"]->MessageId());
  EXPECT_EQ(items["<r12@x>"]->InReplyTo(), items["<falta@x>"]->MessageId());
  for (int i = 2; i <= kLargo; ++i) {
    ASSERT_EQ(items["<c" + std::to_string(i) + "@x>"]->InReplyTo(), items["<c" + std::to_string(i - 1) + "@x>"]->MessageId()) << i;
  }
  EXPECT_EQ(items["<r2@x>"]->InReplyTo(), items["<r1@x>"]->MessageId());
  EXPECT_EQ(items["<r3@x>"]->InReplyTo(), items["<r2@x>"]->MessageId());
  ASSERT_TRUE(items.count("<m@x>"));
  const auto& m = items["<m@x>"];
  EXPECT_EQ(m->SentOnBehalfOfName(), kAutorDesconocido);
  EXPECT_EQ(m->InReplyTo(), items["<r1@x>"]->MessageId()) << "the thread stays one";
  EXPECT_EQ(items["<r4@x>"]->InReplyTo(), m->MessageId());
  EXPECT_EQ(items["<r5@x>"]->InReplyTo(), m->MessageId());
  ASSERT_TRUE(items.count("<x2@x>"));
  EXPECT_EQ(items["<x2@x>"]->InReplyTo(), "");
  EXPECT_EQ(items["<r6@x>"]->InReplyTo(), items["<x2@x>"]->MessageId());
  EXPECT_EQ(items["<r7@x>"]->InReplyTo(), "");
  EXPECT_EQ(items["<r7@x>"]->Subject(), "Blancos");
  EXPECT_EQ(items["<r8@x>"]->InReplyTo(), items["<p@x> <q@x>"]->MessageId());
}

TEST_F(HilosTest, ASecondPassReadsTheItemsBackAndCreatesNothing) {
  Nuevo("<a@x>", "A", "");
  Nuevo("<b@x>", "B", "<gone@x>");
  grupo_->CreaMensajesGrupo();
  ASSERT_EQ(grupo_->CarpetaGrupo()->Items().size(), 3u);

  auto segundo = Suscrito("comp.lang.c");
  segundo->LeeCopiasLocales();
  ASSERT_EQ(segundo->mensajes()->size(), 3u);
  for (const auto& m : *segundo->mensajes()) EXPECT_TRUE(m->ExisteMensajeLocal());
  // The article the placeholder stands for turns up: it is not added again.
  auto llega = std::make_shared<MessageNews>();
  llega->id = "<GONE@x>";
  EXPECT_FALSE(segundo->mensajes()->Add(llega, llega->id));
  Ventana().Caption(MainFrm::Mensaje, "sin cambios");
  segundo->CreaMensajesGrupo();
  EXPECT_EQ(segundo->CarpetaGrupo()->Items().size(), 3u);
  EXPECT_EQ(Ventana().Caption(MainFrm::Mensaje), "sin cambios") << "nothing created, label untouched";
}

// The progress reports the window receives.
class Registro : public Pantalla {
 public:
  struct Informe {
    Etapa etapa;
    std::int64_t hecho, total;
  };
  void Muestra(const std::string&) override {}
  void Pinta(int, const std::string&, const std::string&) override {}
  void Mensaje(const std::string&, const std::string&) override {}
  void Progreso(Etapa etapa, std::int64_t hecho, std::int64_t total) override { informes.push_back({etapa, hecho, total}); }
  std::vector<Informe> informes;
};

// The reports of `registro` count 0, 1, ..., total of one stage.
void EsperaCuentaCompleta(const Registro& registro, Etapa etapa, std::int64_t total) {
  ASSERT_EQ(registro.informes.size(), static_cast<size_t>(total + 1));
  for (size_t i = 0; i < registro.informes.size(); ++i) {
    EXPECT_EQ(registro.informes[i].etapa, etapa);
    EXPECT_EQ(registro.informes[i].hecho, static_cast<std::int64_t>(i));
    EXPECT_EQ(registro.informes[i].total, total);
  }
}

// Writing the items of new articles is counted (placeholders are not articles) and reported to
// the window as a count out of the messages without an item; a pass with nothing new reports
// nothing.
TEST_F(HilosTest, WrittenArticlesAreCountedAndTheirProgressReported) {
  auto registro = std::make_unique<Registro>();
  Registro& r = *registro;
  Ventana().FijaPantalla(std::move(registro));
  Nuevo("<a@x>", "A", "");
  Nuevo("<b@x>", "Re: A", "<a@x>");
  Nuevo("<c@x>", "Re: perdido", "<gone@x>");
  grupo_->CreaMensajesGrupo();
  EXPECT_EQ(grupo_->CarpetaGrupo()->Items().size(), 4u);
  EXPECT_EQ(grupo_->Nuevos(), 3);
  EsperaCuentaCompleta(r, Etapa::Escribiendo, 3);

  r.informes.clear();
  auto segundo = Suscrito("comp.lang.c");
  segundo->LeeCopiasLocales();
  segundo->CreaMensajesGrupo();
  EXPECT_EQ(segundo->Nuevos(), 0);
  EXPECT_TRUE(r.informes.empty());
  Ventana().FijaPantalla(nullptr);
}

// One flagged header item and what the server answers to its ARTICLE: only a 430 makes it "not
// available", named by its subject (its identifier when the subject is blank); every failure
// leaves the item a flagged header item; the download is counted and reported.
TEST_F(HilosTest, AFlaggedItemTheServerDoesNotHaveIsNamedAndOtherFailuresAreNot) {
  using test::Step;
  struct Caso {
    const char* nombre;
    std::string asunto;
    Step respuesta;
    std::int64_t descargados;
    std::vector<std::string> no_disponibles;
  } casos[] = {
      {"downloaded", "Uno", {"ARTICLE <m@x>", "220 0 <m@x>\r\nSubject: Uno\r\n\r\ntexto\r\n.\r\n"}, 1, {}},
      {"430", "Re: perdido", {"ARTICLE <m@x>", "430 No such article\r\n"}, 0, {"Re: perdido"}},
      {"430, blank subject", " ", {"ARTICLE <m@x>", "430 No such article\r\n"}, 0, {"<m@x>"}},
      {"another failure status", "Otro", {"ARTICLE <m@x>", "503 program fault\r\n"}, 0, {}},
      {"connection closed", "Cae", {"ARTICLE <m@x>", "", Step::Then::kClose}, 0, {}},
  };
  int n = 0;
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    auto grupo = Suscrito("marcados.g" + std::to_string(n++));
    MessageNews m;
    m.id = "<m@x>";
    m.subject = c.asunto;
    auto item = m.CreateOutlookMsg(grupo->Nombre(), nullptr);
    item->SetFlagStatus(store::kMarcado);
    item->Save();
    item->Move(*grupo->CarpetaGrupo());
    test::Peer peer({{"", "200 peer ready\r\n"},
                     {"CAPABILITIES", "101 Capability list:\r\n" + test::Lines({"VERSION 2", "READER"}) + ".\r\n"},
                     c.respuesta});
    auto control = std::make_shared<nntp::Control>();
    control->Host(peer.Host());
    control->Timeout(std::chrono::milliseconds(2000));
    control->NetrcPath("/nonexistent/netrc");
    control->Command(nntp::kConectar);
    grupo->ControlNews(control);
    auto registro = std::make_unique<Registro>();
    Registro& r = *registro;
    Ventana().FijaPantalla(std::move(registro));
    grupo->LeeMensajesMarcados();
    EsperaCuentaCompleta(r, Etapa::Descargando, 1);
    Ventana().FijaPantalla(nullptr);
    peer.Stop();
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_EQ(grupo->Descargados(), c.descargados);
    EXPECT_EQ(grupo->NoDisponibles(), c.no_disponibles);
    const auto items = grupo->CarpetaGrupo()->Items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->FlagStatus(), store::kMarcado);
    EXPECT_EQ(items[0]->MessageClass(), c.descargados ? "IPM.Note.News.Full" : "IPM.Note.News.Header");
  }
}

// A later pass threads a new reply under the local copy it answers and gives it that item's
// subject (read back from the store: a local copy keeps only its identifier in memory); a local
// parent whose file another program deleted meanwhile stops nothing else.
TEST_F(HilosTest, NewRepliesThreadUnderLocalCopies) {
  Nuevo("<a@x>", "Primero", "");
  Nuevo("<b@x>", "Segundo", "");
  grupo_->CreaMensajesGrupo();

  grupo_ = Suscrito("comp.lang.c");
  grupo_->LeeCopiasLocales();
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir_.str())) {
    if (!e.is_regular_file()) continue;
    std::ifstream f(e.path(), std::ios::binary);
    const std::string texto((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (texto.find("ArticleID;t:<b@x>") != std::string::npos) std::filesystem::remove(e.path());
  }
  Nuevo("<ra@x>", "Re: otra cosa", "<a@x>");
  Nuevo("<rb@x>", "Re: sin padre", "<b@x>");
  Nuevo("<c@x>", "Tercero", "");
  grupo_->CreaMensajesGrupo();

  auto items = PorArticulo();
  ASSERT_TRUE(items.count("<ra@x>"));
  EXPECT_EQ(items["<ra@x>"]->Subject(), "Primero");
  EXPECT_EQ(items["<ra@x>"]->InReplyTo(), items["<a@x>"]->MessageId());
  EXPECT_TRUE(items.count("<c@x>")) << "the pass went on past the missing parent";
  EXPECT_FALSE(items.count("<b@x>"));
}

TEST_F(HilosTest, LoadingAnItemGivesBackWhatWasWritten) {
  MessageNews m;
  m.subject = "  =?ISO-8859-1?Q?Caf=E9?= \t";
  m.Autor = "Jos\xe9 <j@x>";
  m.id = "<id@x>";
  m.referencias = "<a@x> <b@x>";
  m.fecha(*Fecha::DesdePartes({2026, 12, 7, 10, 11, 12}));
  m.msgnum = 5;
  auto item = m.CreateOutlookMsg("comp.lang.c", nullptr);
  MessageNews back;
  back.OutlookMsg(item);
  EXPECT_EQ(back.subject, m.subject);
  EXPECT_EQ(back.Autor, m.Autor);
  EXPECT_EQ(back.id, m.id);
  EXPECT_EQ(back.referencias, m.referencias);
  EXPECT_EQ(back.fecha(), m.fecha());
  EXPECT_EQ(back.msgnum, 0);
  // An item without the article properties stops the load with an error, the item kept.
  auto plain = OutlookApp->CreateItem(0);
  plain->SetSubject("suelto");
  MessageNews partial;
  EXPECT_THROW(partial.OutlookMsg(plain), Error);
  EXPECT_TRUE(partial.ExisteMensajeLocal());
  EXPECT_EQ(partial.subject, "suelto");
}

}  // namespace
}  // namespace tablon
