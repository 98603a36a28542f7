// The store on both backends — Maildir on real files in a temporary directory, and an IMAP
// account on a private Dovecot — for what is not about files: round trips through a fresh
// application, folder names, items' life (drafts, move, reply, find), mail clients flagging and
// deleting under us. Then the Maildir backend's own: files renamed and replaced under it, writes
// that fail half way, its index.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <set>
#include <thread>
#include <utility>

#include "core/error.h"
#include "store/imap/aplicacion_imap.h"
#include "store/maildir/aplicacion_maildir.h"
#include "core/fs.h"
#include "store/store.h"
#include "support/dovecot.h"
#include "support/imap.h"
#include "support/tmpdir.h"

namespace tablon::store {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::TmpDir;
using test::WriteFile;

// Calls the store makes, failing on demand (LevelDB's ErrorEnv): the next call of a kind
// fails with the errno set for it. A failing write first writes half of what it was given, as a
// disk that fills up does.
class FsConFallos : public Fs {
 public:
  int write = 0, close = 0, rename = 0, syncfs = 0;
  // A directory listing: fails once, after handing out its first entry.
  int listado = 0;

  ssize_t Write(int fd, const void* buf, size_t n) override {
    if (write == 0) return Fs::Write(fd, buf, n);
    if (n > 1 && !medio_escrito_) {
      medio_escrito_ = true;
      return Fs::Write(fd, buf, n / 2);
    }
    errno = write;
    return -1;
  }
  int Close(int fd) override {
    const int r = Fs::Close(fd);
    if (close == 0 || r != 0) return r;
    errno = close;
    return -1;
  }
  int Rename(const std::string& a, const std::string& b) override {
    if (rename == 0) return Fs::Rename(a, b);
    errno = rename;
    return -1;
  }
  int Syncfs(int fd) override {
    if (syncfs == 0) return Fs::Syncfs(fd);
    errno = syncfs;
    return -1;
  }
  int RecorreDir(const std::string& path, const std::function<void(const EntradaDir&)>& cada) override {
    if (listado == 0) return Fs::RecorreDir(path, cada);
    bool primera = true;
    Fs::RecorreDir(path, [&](const EntradaDir& e) {
      if (primera) cada(e);
      primera = false;
    });
    return std::exchange(listado, 0);
  }

 private:
  bool medio_escrito_ = false;
};

// Files (not directories) under `dir`, names only; empty when `dir` is missing.
std::vector<std::string> Archivos(const fs::path& dir) {
  std::vector<std::string> r;
  std::error_code ec;
  for (auto& e : fs::directory_iterator(dir, ec)) {
    if (e.is_regular_file()) r.push_back(e.path().filename().string());
  }
  std::sort(r.begin(), r.end());
  return r;
}

long NumeroDe(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.Number();
  }
  return 0;
}

// The store of one backend, opened afresh by each Abre, and what a mail client does to it: the
// Maildir's files renamed and removed, the IMAP messages flagged and expunged through a client of
// the test's own.
class Almacen : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    if (!EsImap()) return;
    if (!test::Dovecot::Available()) GTEST_SKIP() << "Dovecot no está instalado";
    fs::create_directories(dir_ / "imap");
    test::OpcionesDovecot opciones;
    // A server without UIDPLUS and MOVE: moves are copies, removals a whole EXPUNGE.
    if (std::string_view(GetParam()) == "imap_basico") opciones.capacidades = "IMAP4rev1 LITERAL+";
    dovecot_ = std::make_unique<test::Dovecot>(dir_ / "imap", opciones);
    WriteFile(dir_ / "netrc", std::string("machine 127.0.0.1 login ") + test::Dovecot::kUsuario +
                                  " password " + test::Dovecot::kClave + "\n");
    fs::permissions(dir_ / "netrc", fs::perms::owner_read | fs::perms::owner_write);
  }
  bool EsImap() const { return std::string_view(GetParam()).starts_with("imap"); }
  std::shared_ptr<Application> Abre() {
    if (!EsImap()) return maildir::AbreMaildir((dir_ / "maildir").string());
    imap::UbicacionImap u;
    u.usuario = test::Dovecot::kUsuario;
    u.host = "127.0.0.1";
    u.puerto = dovecot_->Port();
    imap::OpcionesSesion o;
    o.ruta_netrc = (dir_ / "netrc").string();
    return imap::AbreImap(u, std::move(o));
  }
  std::shared_ptr<Folder> Carpeta(Application& app, const std::string& nombre) {
    return app.GetNamespace("MAPI")->AddFolder(nombre);
  }
  // The message `n` (store order) of top-level folder `carpeta` (a plain name) is given or
  // cleared the flags of a follow-up mark and of having been read, as a mail client does.
  void MarcaComoCliente(const std::string& carpeta, size_t n, bool marcado, bool leido) {
    if (EsImap()) {
      test::ClienteImap c(dovecot_->Port());
      c.Login(test::Dovecot::kUsuario, test::Dovecot::kClave);
      c.Select(carpeta);
      const auto uid = std::to_string(c.Lista().at(n).uid);
      c.ComandoOk("UID STORE " + uid + (marcado ? " +" : " -") + "FLAGS (\\Flagged)");
      c.ComandoOk("UID STORE " + uid + (leido ? " +" : " -") + "FLAGS (\\Seen)");
      return;
    }
    const fs::path cur = dir_ / "maildir" / carpeta / "cur";
    const std::string viejo = Archivos(cur).at(n);
    std::string nuevo = viejo.substr(0, viejo.find(':')) + ":2," + (marcado ? "F" : "") + (leido ? "S" : "");
    fs::rename(cur / viejo, cur / nuevo);
  }
  // The message `n` of folder `carpeta` is deleted, as a mail client does.
  void BorraComoCliente(const std::string& carpeta, size_t n) {
    if (EsImap()) {
      test::ClienteImap c(dovecot_->Port());
      c.Login(test::Dovecot::kUsuario, test::Dovecot::kClave);
      c.Select(carpeta);
      const auto uid = std::to_string(c.Lista().at(n).uid);
      c.ComandoOk("UID STORE " + uid + " +FLAGS (\\Deleted)");
      c.ComandoOk("UID EXPUNGE " + uid);
      return;
    }
    const fs::path cur = dir_ / "maildir" / carpeta / "cur";
    fs::remove(cur / Archivos(cur).at(n));
  }
  // How many messages folder `carpeta` holds, as a mail client counts them.
  size_t CuentaComoCliente(const std::string& carpeta) {
    if (EsImap()) {
      test::ClienteImap c(dovecot_->Port());
      c.Login(test::Dovecot::kUsuario, test::Dovecot::kClave);
      if (c.Comando("SELECT \"" + carpeta + "\"").find("OK [") == std::string::npos) return 0;
      return c.Lista().size();
    }
    return Archivos(dir_ / "maildir" / carpeta / "cur").size() + Archivos(dir_ / "maildir" / carpeta / "new").size();
  }

  TmpDir dir_;
  std::unique_ptr<test::Dovecot> dovecot_;
};

INSTANTIATE_TEST_SUITE_P(Backends, Almacen, ::testing::Values("maildir", "imap", "imap_basico"),
                         [](const auto& caso) { return std::string(caso.param); });

class Maildir : public ::testing::Test {
 protected:
  std::shared_ptr<Application> Abre() { return maildir::AbreMaildir(dir_.str()); }
  std::shared_ptr<Folder> Carpeta(Application& app, const std::string& nombre) {
    return app.GetNamespace("MAPI")->AddFolder(nombre);
  }
  // The one file of folder `carpeta` (directory name) in cur/; fails unless there is exactly one.
  fs::path UnicoArchivo(const std::string& carpeta) {
    const auto cur = Archivos(dir_ / carpeta / "cur");
    const auto nuevos = Archivos(dir_ / carpeta / "new");
    EXPECT_EQ(cur.size() + nuevos.size(), 1u);
    return cur.empty() ? fs::path() : dir_ / carpeta / "cur" / cur[0];
  }

  TmpDir dir_;
};

TEST_P(Almacen, ValuesAndBodiesRoundTrip) {
  const std::string valores[] = {
      "", "  blancos  ", "\ttabs\t", "Caf\xE9", "Café", "=?ISO-8859-1?Q?Caf=E9?=",
      "cr\rlf\ncrlf\r\nfin", std::string("nul\0x", 5), std::string(1200, 'y'),
  };
  const std::string cuerpos[] = {
      "", "LF\nsolo\n", "CRLF\r\nsolo\r\n", "mezcla\r\ny\nmas", std::string("nul\0", 4),
      "Path: a\nSubject: articulo\n\ncuerpo\n", "sin final",
  };
  {
    auto app = Abre();
    auto carpeta = Carpeta(*app, "prueba");
    for (size_t i = 0; i < std::size(valores); ++i) {
      const std::string& v = valores[i];
      auto item = app->CreateItem(0);
      item->SetMessageClass(i % 2 ? "IPM.Post" : "IPM.Note.X" + v);
      item->SetSubject(v);
      item->SetSentOnBehalfOfName(v);
      item->AddRecipient(v);
      item->AddRecipient("segundo");
      item->AddReplyRecipient(v);
      item->SetBody(cuerpos[i % std::size(cuerpos)]);
      item->UserProperties().Add(v, TipoPropiedad::Texto, true).SetValue(v);
      item->UserProperties().Add("f", TipoPropiedad::FechaHora, false).SetValue(Fecha(40000.5 + static_cast<double>(i) / 7));
      item->UserProperties().Add("k", TipoPropiedad::PalabrasClave, true).SetValue("a,b");
      item->Move(*carpeta);
    }
  }
  auto app = Abre();  // a fresh application: everything comes from the files
  const auto items = app->GetNamespace("MAPI")->Folder("prueba")->Items();
  ASSERT_EQ(items.size(), std::size(valores));
  for (size_t i = 0; i < items.size(); ++i) {  // oldest first: the order they were saved in
    const std::string& v = valores[i];
    const auto& item = items[i];
    EXPECT_EQ(item->MessageClass(), i % 2 ? "IPM.Post" : "IPM.Note.X" + v);
    EXPECT_EQ(item->Subject(), v);
    EXPECT_EQ(item->SentOnBehalfOfName(), v);
    EXPECT_EQ(item->Recipients(), (std::vector<std::string>{v, "segundo"}));
    EXPECT_EQ(item->ReplyRecipients(), std::vector<std::string>{v});
    EXPECT_EQ(item->Body(), cuerpos[i % std::size(cuerpos)]) << i;
    const auto& props = item->UserProperties().All();
    ASSERT_EQ(props.size(), 3u);
    EXPECT_EQ(item->UserProperties().Item(v).ComoTexto(), v);
    EXPECT_TRUE(item->UserProperties().Item(v).InFolderFields());
    EXPECT_EQ(item->UserProperties().Item("f").Type(), TipoPropiedad::FechaHora);
    EXPECT_EQ(item->UserProperties().Item("f").ComoFecha(), Fecha(40000.5 + static_cast<double>(i) / 7));
    EXPECT_EQ(item->UserProperties().Item("k").Type(), TipoPropiedad::PalabrasClave);
    EXPECT_TRUE(item->UnRead());
    EXPECT_EQ(item->FlagStatus(), kSinMarca);
    EXPECT_FALSE(item->MessageId().empty());
    EXPECT_EQ(item->Parent()->Name(), "prueba");
  }
  EXPECT_EQ(items[1]->Kind(), TipoItem::Post);
  EXPECT_EQ(items[0]->Kind(), TipoItem::Nota);
}

TEST_P(Almacen, CreationDateAndStateAreKept) {
  std::string id;
  Fecha creado;
  {
    auto app = Abre();
    auto item = app->CreateItem(0);
    item->SetUnRead(false);
    item->SetFlagStatus(kMarcaCompletada);
    item->Save();
    id = item->MessageId();
    creado = item->Creado();
    EXPECT_EQ(item->Parent()->Name(), "Borradores");
  }
  const auto items = Abre()->GetNamespace("MAPI")->Folder("Borradores")->Items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0]->MessageId(), id);
  EXPECT_EQ(items[0]->Creado(), creado);
  EXPECT_FALSE(items[0]->UnRead());
  EXPECT_EQ(items[0]->FlagStatus(), kMarcaCompletada);
}

TEST_P(Almacen, DifficultFolderNames) {
  std::vector<std::string> nombres = {
      "cur", "new", "tmp", "..", ".", ".hidden", "a/b", "", "News", "news", "news ",
      std::string("n\0ul", 4), "100%", "INBOX", "inbox", "a*b%c", "Año ñ", "\xFF\xFE", "~x", "&"};
  // Longer than a directory name: the Maildir backend keeps such names apart (an IMAP server
  // takes what its own storage takes).
  if (!EsImap()) nombres.insert(nombres.end(), {std::string(300, 'n'), std::string(300, 'n') + "2"});
  {
    auto app = Abre();
    auto ns = app->GetNamespace("MAPI");
    for (const auto& n : nombres) {
      auto f = ns->AddFolder(n);
      EXPECT_EQ(f->Name(), n);
      // Each folder can hold items and subfolders of its own.
      auto item = app->CreateItem(0);
      item->SetSubject("en " + n);
      item->Move(*f);
      f->AddFolder(n);
    }
    for (const auto& n : nombres) ns->AddFolder(n);  // found, not made again
  }
  if (!EsImap()) {
    // One real directory per name, every one directly inside the root; nothing elsewhere.
    size_t dirs = 0;
    for (auto& e : fs::directory_iterator(dir_ / "maildir")) {
      EXPECT_TRUE(e.is_directory() && !e.is_symlink()) << e.path();
      ++dirs;
    }
    EXPECT_EQ(dirs, nombres.size());
    EXPECT_FALSE(fs::exists(dir_.path() / "b"));
  }

  auto ns = Abre()->GetNamespace("MAPI");
  std::multiset<std::string> listados;
  for (auto& f : ns->Folders()) {
    listados.insert(f->Name());
    ASSERT_EQ(f->Items().size(), 1u) << f->Name();
    EXPECT_EQ(f->Items()[0]->Subject(), "en " + f->Name());
    ASSERT_EQ(f->Folders().size(), 1u);
    EXPECT_EQ(f->Folders()[0]->Name(), f->Name());
  }
  EXPECT_EQ(listados, std::multiset<std::string>(nombres.begin(), nombres.end()));
  for (const auto& n : nombres) EXPECT_EQ(ns->Folder(n)->Name(), n);
}

TEST_F(Maildir, NothingResolvesOutsideTheRoot) {
  TmpDir fuera;
  fs::create_directories(fuera / "cur");
  fs::create_directory_symlink(fuera.path(), dir_ / "enlace");
  fs::create_directories(dir_ / "real" / "cur");
  WriteFile(fuera / "cur" / "1.M1P1Q1.h:2,", "Subject: ajeno\n\nx");
  fs::create_symlink(fuera / "cur" / "1.M1P1Q1.h:2,", dir_ / "real" / "cur" / "2.M1P1Q1.h:2,");
  auto ns = Abre()->GetNamespace("MAPI");
  ASSERT_EQ(ns->Folders().size(), 1u);  // the symbolic link is no folder
  EXPECT_EQ(ns->Folders()[0]->Name(), "real");
  EXPECT_TRUE(ns->Folder("real")->Items().empty());  // nor is a linked file an item
  EXPECT_NE(NumeroDe([&] { ns->AddFolder("enlace"); }), 0);
  EXPECT_FALSE(fs::exists(fuera / "new"));
}

TEST_P(Almacen, ObjectModelErrors) {
  auto app = Abre();
  auto ns = app->GetNamespace("MAPI");
  EXPECT_EQ(NumeroDe([&] { ns->Folder("news"); }), errnum::kObjetoNoEncontrado);
  EXPECT_EQ(NumeroDe([&] { app->GetNamespace("IMAP"); }), errnum::kArgumentoNoValido);
  EXPECT_EQ(NumeroDe([&] { app->CreateItem(1); }), errnum::kArgumentoNoValido);
  auto item = app->CreateItem(0);
  EXPECT_EQ(NumeroDe([&] { item->Execute("Reenviar"); }), errnum::kObjetoNoEncontrado);
  EXPECT_EQ(NumeroDe([&] { item->Close(2); }), errnum::kArgumentoNoValido);
  EXPECT_EQ(NumeroDe([&] { item->UserProperties().Item("x"); }), errnum::kObjetoNoEncontrado);
  EXPECT_EQ(NumeroDe([&] { ns->AddFolder("a")->Find("[Asunto] = x"); }), errnum::kArgumentoNoValido);
  try {
    ns->Folder("news");
  } catch (const Error& e) {
    EXPECT_NE(e.Description().find("«news»"), std::string::npos);
  }
  if (EsImap()) return;
  WriteFile(dir_ / "archivo", "x");
  EXPECT_NE(NumeroDe([&] { maildir::AbreMaildir((dir_ / "archivo").string()); }), 0);
  maildir::AbreMaildir((dir_ / "nuevo" / "y" / "z").string());
  EXPECT_TRUE(fs::is_directory(dir_ / "nuevo" / "y" / "z"));
}

TEST_P(Almacen, ItemKinds) {
  auto app = Abre();
  auto f = Carpeta(*app, "mixta");
  for (const char* clase : {"IPM.Post", "ipm.post.rss", "IPM.Note", "IPM.Postal"}) {
    auto item = app->CreateItem(0);
    item->SetMessageClass(clase);
    item->Move(*f);
  }
  const auto items = f->Items();
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(ComoPost(items[0]), items[0]);
  EXPECT_EQ(ComoPost(items[1]), items[1]);
  EXPECT_EQ(ComoNota(items[2]), items[2]);
  EXPECT_EQ(items[3]->Kind(), TipoItem::Post);  // the class starts with "IPM.Post"
  EXPECT_EQ(NumeroDe([&] { ComoNota(items[0]); }), errnum::kTipoNoCoincide);
  EXPECT_EQ(NumeroDe([&] { ComoPost(items[2]); }), errnum::kTipoNoCoincide);
}

TEST_P(Almacen, DraftsMoveAndClose) {
  auto app = Abre();
  auto news = Carpeta(*app, "news");
  auto item = app->CreateItem(0);
  EXPECT_EQ(item->Parent(), nullptr);
  item->SetSubject("borrador");
  item->Close(0);
  EXPECT_EQ(item->Parent()->Name(), "Borradores");
  app->Sync();  // (an IMAP store may hold its APPENDs back until then, to send them together)
  EXPECT_EQ(CuentaComoCliente("Borradores"), 1u);

  EXPECT_EQ(item->Move(*news), item);
  EXPECT_EQ(item->Parent()->Name(), "news");
  EXPECT_EQ(CuentaComoCliente("Borradores"), 0u);
  item->SetSubject("cambiado");
  item->Save();  // saved where it is now
  EXPECT_EQ(news->Items().size(), 1u);
  EXPECT_EQ(news->Items()[0]->Subject(), "cambiado");

  item->SetSubject("descartado");
  item->Close(1);
  EXPECT_EQ(news->Items()[0]->Subject(), "cambiado");

  auto directo = app->CreateItem(0);  // never saved: goes straight to its folder
  directo->Move(*news);
  EXPECT_EQ(CuentaComoCliente("Borradores"), 0u);
  EXPECT_EQ(news->Items().size(), 2u);
  if (!EsImap()) {
    EXPECT_TRUE(Archivos(dir_ / "maildir" / "news" / "tmp").empty());
  }
}

TEST_P(Almacen, ReplyLinksToTheParent) {
  auto app = Abre();
  auto f = Carpeta(*app, "hilo");
  auto padre = app->CreateItem(0);
  padre->SetSubject("Pregunta");
  padre->SetSentOnBehalfOfName("Ana <ana@example.com>");
  padre->Move(*f);
  auto r1 = padre->Execute("Responder");
  EXPECT_EQ(r1->Parent(), nullptr);
  EXPECT_EQ(r1->Subject(), "RE: Pregunta");
  EXPECT_EQ(r1->Recipients(), std::vector<std::string>{"Ana <ana@example.com>"});
  EXPECT_EQ(r1->InReplyTo(), padre->MessageId());
  EXPECT_EQ(r1->References(), padre->MessageId());
  EXPECT_NE(r1->MessageId(), padre->MessageId());
  r1->Move(*f);

  padre->AddReplyRecipient("lista@example.com");
  auto r2 = r1->Execute("Responder");
  EXPECT_EQ(r2->Subject(), "RE: RE: Pregunta");
  EXPECT_EQ(r2->References(), padre->MessageId() + " " + r1->MessageId());
  EXPECT_EQ(padre->Execute("Responder")->Recipients(), std::vector<std::string>{"lista@example.com"});
  r2->Move(*f);
  app->Sync();

  const auto items = Abre()->GetNamespace("MAPI")->Folder("hilo")->Items();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[2]->InReplyTo(), r1->MessageId());
  EXPECT_EQ(items[2]->References(), r2->References());
  // The links are in the message's own headers, where any mail client finds them.
  if (EsImap()) return;
  int con_enlace = 0;
  for (const auto& n : Archivos(dir_ / "maildir" / "hilo" / "cur")) {
    const std::string archivo = ReadFile(dir_ / "maildir" / "hilo" / "cur" / n);
    con_enlace += archivo.find("\nIn-Reply-To: " + r1->MessageId() + "\n") != std::string::npos;
    con_enlace += archivo.find("\nReferences: " + padre->MessageId() + "\n " + r1->MessageId() +
                               "\n") != std::string::npos;  // folded
  }
  EXPECT_EQ(con_enlace, 2);
}

TEST_P(Almacen, FindBySubject) {
  auto app = Abre();
  auto f = Carpeta(*app, "b");
  for (const char* s : {"Hola", "dice \"sí\"", "HOLA", "Adiós"}) {
    auto item = app->CreateItem(0);
    item->SetSubject(s);
    item->SetBody(s);
    item->Move(*f);
  }
  EXPECT_EQ(f->Find(R"([Asunto] = "hola")")->Body(), "Hola");  // first in store order
  EXPECT_EQ(f->Find(R"([Asunto] = "DICE ""SÍ""")"), nullptr);   // ASCII folding only
  EXPECT_EQ(f->Find(R"([Asunto] = "DICE ""sí""")")->Subject(), "dice \"sí\"");
  EXPECT_EQ(f->Find(R"([Asunto] = "nada")"), nullptr);
}

// A mail client marks an item by renaming its file; the store sees it and keeps it.
// A mail client flags an item between our reading and our save: a save that changes the content
// (a new message, or a new file) keeps the client's flags, and a save that changes one flag
// leaves the others as the client set them.
TEST_P(Almacen, AClientsFlagsAreKeptBySaves) {
  auto app = Abre();
  auto f = Carpeta(*app, "c");
  auto item = app->CreateItem(0);
  item->SetBody("cuerpo que no se lee");
  item->Move(*f);
  app->Sync();
  auto leido = f->Items().at(0);  // read before the client's change
  MarcaComoCliente("c", 0, true, true);
  const auto fresco = f->Items().at(0);
  EXPECT_EQ(fresco->FlagStatus(), kMarcado);
  EXPECT_FALSE(fresco->UnRead());

  leido->SetSubject("cambio");
  leido->Save();
  app->Sync();  // (an IMAP store removes the old messages of the items it replaced by then)
  EXPECT_EQ(CuentaComoCliente("c"), 1u);
  auto ahora = f->Items();
  ASSERT_EQ(ahora.size(), 1u);
  EXPECT_EQ(ahora[0]->Subject(), "cambio");
  EXPECT_EQ(ahora[0]->FlagStatus(), kMarcado);
  EXPECT_FALSE(ahora[0]->UnRead());
  EXPECT_EQ(ahora[0]->Body(), "cuerpo que no se lee");  // carried over

  ahora[0]->SetUnRead(true);
  ahora[0]->Save();
  EXPECT_TRUE(f->Items().at(0)->UnRead());
  EXPECT_EQ(f->Items().at(0)->FlagStatus(), kMarcado);
  ahora[0]->SetFlagStatus(kSinMarca);
  ahora[0]->Save();
  EXPECT_EQ(f->Items().at(0)->FlagStatus(), kSinMarca);
  EXPECT_TRUE(f->Items().at(0)->UnRead());
}

TEST_F(Maildir, FlagsChangedByAMailClient) {
  auto app = Abre();
  auto f = Carpeta(*app, "c");
  auto item = app->CreateItem(0);
  item->SetBody("cuerpo que no se lee");
  item->Move(*f);
  auto leido = f->Items()[0];  // read before the client's rename
  const fs::path viejo = UnicoArchivo("c");
  ASSERT_EQ(viejo.filename().string().substr(viejo.filename().string().size() - 3), ":2,");
  const fs::path renombrado = viejo.string() + "FRS";
  fs::rename(viejo, renombrado);

  const auto fresco = f->Items()[0];
  EXPECT_EQ(fresco->FlagStatus(), kMarcado);
  EXPECT_FALSE(fresco->UnRead());

  leido->SetSubject("cambio");  // saved without touching flags: the client's flags stay
  leido->Save();
  // A changed content is a new message to readers: a new base, the client's flags, one file.
  const std::string ahora = UnicoArchivo("c").filename().string();
  EXPECT_NE(ahora.substr(0, ahora.find(':')), viejo.filename().string().substr(0, ahora.find(':')));
  EXPECT_EQ(ahora.substr(ahora.find(':')), ":2,FRS");
  EXPECT_EQ(leido->FlagStatus(), kMarcado);
  EXPECT_FALSE(leido->UnRead());
  EXPECT_EQ(f->Items()[0]->Body(), "cuerpo que no se lee");  // the body was carried over

  fresco->SetUnRead(true);  // one flag set here, the others as on disk
  fresco->Save();
  EXPECT_EQ(UnicoArchivo("c").filename().string(), ahora.substr(0, ahora.size() - 3) + "FR");
  // fresco was listed before "cambio" was saved but read nothing of its file until its own save:
  // it saves what the file held then, and leido's change is not lost.
  EXPECT_EQ(f->Items()[0]->Subject(), "cambio");

  fresco->SetFlagStatus(kSinMarca);
  fresco->Save();
  EXPECT_EQ(f->Items()[0]->FlagStatus(), kSinMarca);
  EXPECT_EQ(UnicoArchivo("c").filename().string().substr(UnicoArchivo("c").filename().string().size() - 4), ":2,R");
}

// A folder listed twice gives the same objects while nothing changed, and otherwise what the
// files hold now: a flag a client set, a file it replaced under the same name, a file it
// deleted, and a change of ours never saved are all seen as they are on disk.
TEST_F(Maildir, ASecondReadingSeesWhatIsOnDisk) {
  auto app = Abre();
  auto f = Carpeta(*app, "c");
  for (const char* asunto : {"uno", "dos", "tres"}) {
    auto item = app->CreateItem(0);
    item->SetSubject(asunto);
    item->Move(*f);
  }
  const auto primera = f->Items();
  ASSERT_EQ(primera.size(), 3u);
  const auto segunda = f->Items();
  ASSERT_EQ(segunda.size(), 3u);
  // Nothing changed in between: the second listing hands out the same objects.
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(primera[i], segunda[i]);

  const auto archivos = Archivos(dir_ / "c" / "cur");
  ASSERT_EQ(archivos.size(), 3u);
  // "uno": flagged by a client (renamed); "dos": replaced under the same name; "tres": deleted.
  fs::rename(dir_ / "c" / "cur" / archivos[0], dir_ / "c" / "cur" / (archivos[0] + "F"));
  const std::string otro = ReadFile(dir_ / "c" / "cur" / archivos[1]);
  const size_t p = otro.find("X-Tablon-Asunto: dos");
  ASSERT_NE(p, std::string::npos);
  WriteFile(dir_ / "c" / "tmp" / "x", otro.substr(0, p) + "X-Tablon-Asunto: cambiado" +
                                          otro.substr(p + std::string("X-Tablon-Asunto: dos").size()));
  fs::rename(dir_ / "c" / "tmp" / "x", dir_ / "c" / "cur" / archivos[1]);
  fs::remove(dir_ / "c" / "cur" / archivos[2]);
  primera[0]->SetSubject("sin guardar");

  const auto tercera = f->Items();
  ASSERT_EQ(tercera.size(), 2u);
  EXPECT_EQ(tercera[0]->Subject(), "uno");
  EXPECT_EQ(tercera[0]->FlagStatus(), kMarcado);
  EXPECT_EQ(tercera[1]->Subject(), "cambiado");
  EXPECT_EQ(NumeroDe([&] { segunda[2]->Body(); }), errnum::kObjetoNoEncontrado);
}

TEST_F(Maildir, AnItemDeliveredIntoNewByAnotherProgram) {
  fs::create_directories(dir_ / "c" / "cur");
  fs::create_directories(dir_ / "c" / "tmp");
  fs::create_directories(dir_ / "c" / "new");
  WriteFile(dir_ / "c" / "new" / "1.M1P1Q1.h", "From: x@y\nSubject: nuevo\n\nhola\n");
  auto f = Abre()->GetNamespace("MAPI")->Folder("c");
  auto item = f->Items().at(0);
  EXPECT_TRUE(item->UnRead());
  EXPECT_EQ(item->Subject(), "nuevo");
  EXPECT_EQ(item->Body(), "hola\n");
  item->SetUnRead(false);
  item->Save();  // read: it moves to cur/ with S, and only there
  EXPECT_TRUE(Archivos(dir_ / "c" / "new").empty());
  EXPECT_EQ(Archivos(dir_ / "c" / "cur"), std::vector<std::string>{"1.M1P1Q1.h:2,S"});
  EXPECT_EQ(f->Items().at(0)->Body(), "hola\n");
}

TEST_P(Almacen, SavingADeletedItemDoesNotRecreateIt) {
  auto app = Abre();
  auto f = Carpeta(*app, "c");
  auto item = app->CreateItem(0);
  item->Move(*f);
  // Changed and not saved: the listing reads the file into an object of its own.
  item->SetSubject("otra vez");
  auto leido = f->Items()[0];
  ASSERT_NE(leido, item);
  BorraComoCliente("c", 0);
  EXPECT_EQ(NumeroDe([&] { item->Save(); }), errnum::kObjetoNoEncontrado);
  EXPECT_EQ(NumeroDe([&] { leido->Body(); }), errnum::kObjetoNoEncontrado);
  EXPECT_EQ(NumeroDe([&] { leido->Move(*Carpeta(*app, "d")); }), errnum::kObjetoNoEncontrado);
  EXPECT_EQ(CuentaComoCliente("c"), 0u);
  EXPECT_EQ(CuentaComoCliente("d"), 0u);
  if (!EsImap()) {
    EXPECT_TRUE(Archivos(dir_ / "maildir" / "c" / "tmp").empty());
  }
}

// A mail client acting on the file of an item in the instant before the store's next step of a
// kind: the swap of the new content with the old file, or its rename to the new base.
class FsConCliente : public Fs {
 public:
  std::function<void(const std::string& ruta)> antes_del_intercambio, antes_del_renombrado;
  bool sin_intercambio = false;  // a file system that cannot swap two names
  int RenameExchange(const std::string& a, const std::string& b) override {
    if (auto cliente = std::exchange(antes_del_intercambio, nullptr)) cliente(b);
    if (sin_intercambio) {
      errno = EINVAL;
      return -1;
    }
    return Fs::RenameExchange(a, b);
  }
  int Rename(const std::string& a, const std::string& b) override {
    if (a.find("/cur/") != std::string::npos && b.find("/cur/") != std::string::npos) {
      if (auto cliente = std::exchange(antes_del_renombrado, nullptr)) cliente(a);
    }
    return Fs::Rename(a, b);
  }
};

// A changed item (a flagged header item whose text arrives) becomes a new message with the
// flags its file has when it is replaced: a client's delete at any step is not undone, a flag it
// set is kept, and there is one copy.
TEST(MaildirReemplazo, AClientThatDeletesOrFlagsMidwayWins) {
  const auto borra = [](const std::string& ruta) { fs::remove(ruta); };
  const auto lee = [](const std::string& ruta) { fs::rename(ruta, ruta + "S"); };  // ":2,F" -> ":2,FS"
  struct Caso {
    const char* que;
    std::function<void(const std::string&)> FsConCliente::*momento;
    std::function<void(const std::string&)> accion;
    bool borrado;
    bool sin_intercambio = false;
  } casos[] = {
      {"borrado antes del intercambio", &FsConCliente::antes_del_intercambio, borra, true},
      {"leído antes del intercambio", &FsConCliente::antes_del_intercambio, lee, false},
      {"borrado antes del nombre nuevo", &FsConCliente::antes_del_renombrado, borra, true},
      {"leído antes del nombre nuevo", &FsConCliente::antes_del_renombrado, lee, false},
      {"sin intercambio, leído antes", &FsConCliente::antes_del_renombrado, lee, false, true},
      {"sin nada en medio", &FsConCliente::antes_del_renombrado, nullptr, false},
  };
  for (const auto& c : casos) {
    SCOPED_TRACE(c.que);
    TmpDir raiz;
    auto cliente = std::make_shared<FsConCliente>();
    auto app = maildir::AbreMaildir(raiz.str(), cliente);
    auto f = app->GetNamespace("MAPI")->AddFolder("c");
    auto nuevo = app->CreateItem(0);
    nuevo->SetSubject("cabecera");
    nuevo->SetFlagStatus(kMarcado);
    nuevo->Move(*f);
    const auto antes = Archivos(raiz / "c" / "cur");
    ASSERT_EQ(antes.size(), 1u);
    ASSERT_EQ(antes[0].substr(antes[0].size() - 4), ":2,F");

    auto item = f->Items().at(0);
    item->SetBody("el texto del artículo\n");
    item->SetMessageClass("IPM.Note.News.Full");
    cliente->sin_intercambio = c.sin_intercambio;
    (*cliente).*c.momento = c.accion;
    const long numero = NumeroDe([&] { item->Save(); });
    EXPECT_TRUE(Archivos(raiz / "c" / "tmp").empty());
    EXPECT_TRUE(Archivos(raiz / "c" / "new").empty());
    const auto despues = Archivos(raiz / "c" / "cur");
    if (c.borrado) {
      EXPECT_EQ(numero, errnum::kObjetoNoEncontrado);
      EXPECT_TRUE(despues.empty()) << "a deleted item is not brought back";
      continue;
    }
    EXPECT_EQ(numero, 0);
    ASSERT_EQ(despues.size(), 1u) << "one copy";
    const std::string base = despues[0].substr(0, despues[0].find(':'));
    EXPECT_NE(base, antes[0].substr(0, antes[0].find(':'))) << "a new message to readers";
    EXPECT_EQ(despues[0].substr(base.size()), c.accion ? ":2,FS" : ":2,F");
    const std::string texto = ReadFile(raiz / "c" / "cur" / despues[0]);
    EXPECT_NE(texto.find("el texto del artículo"), std::string::npos);
    // The object follows its new file, and so does another object of the same item.
    EXPECT_EQ(item->FlagStatus(), kMarcado);
    EXPECT_EQ(item->UnRead(), !c.accion);
    EXPECT_EQ(f->Items().at(0)->MessageClass(), "IPM.Note.News.Full");
    item->SetUnRead(true);
    EXPECT_EQ(Archivos(raiz / "c" / "cur"), std::vector<std::string>{base + ":2,F"});
  }
}

// Deleting an item finds its file also after a mail client renamed it; one already gone is no
// failure.
TEST_F(Maildir, DeleteFollowsARenamedFile) {
  auto app = Abre();
  auto f = Carpeta(*app, "c");
  auto item = app->CreateItem(0);
  item->Move(*f);
  const fs::path archivo = UnicoArchivo("c");
  fs::rename(archivo, archivo.string() + "S");
  item->Delete();
  EXPECT_TRUE(Archivos(dir_ / "c" / "cur").empty());
  EXPECT_TRUE(f->Items().empty());
  EXPECT_EQ(NumeroDe([&] { item->Delete(); }), 0);
}

// An item let go (SueltaCampos) reads its fields again from its file, exactly; one with unsaved
// changes keeps them; a listed item is read at first use, with the flags its file has then,
// and raises when the file went away; Find passes over such an item.
TEST_P(Almacen, AnItemWhoseFieldsWereLetGoIsReadAgain) {
  auto app = Abre();
  auto f = Carpeta(*app, "c");
  auto item = app->CreateItem(0);
  item->SetSubject("  con blancos\t");
  item->SetSentOnBehalfOfName("Ana <ana@example.com>");
  item->AddRecipient("a.b");
  item->UserProperties().Add("ArticleID", TipoPropiedad::Texto, true).SetValue("<x@y>");
  item->SetBody("línea\r\n");
  item->Move(*f);
  const std::string id = item->MessageId();

  item->SueltaCampos();
  EXPECT_EQ(item->Subject(), "  con blancos\t");
  EXPECT_EQ(item->SentOnBehalfOfName(), "Ana <ana@example.com>");
  EXPECT_EQ(item->Recipients(), std::vector<std::string>{"a.b"});
  EXPECT_EQ(item->UserProperties().Item("ArticleID").ComoTexto(), "<x@y>");
  EXPECT_EQ(item->MessageId(), id);
  EXPECT_EQ(item->Body(), "línea\r\n");

  item->SetSubject("sin guardar");
  item->SueltaCampos();  // changed: nothing is let go
  EXPECT_EQ(item->Subject(), "sin guardar");
  item->Save();

  // Listed, flagged by a client before first use, then read: the flags as the file has them.
  auto otro = app->CreateItem(0);
  otro->SetSubject("otro");
  otro->SetBody("b");
  otro->Move(*f);
  otro.reset();
  item.reset();
  auto lista = f->Items();
  ASSERT_EQ(lista.size(), 2u);
  MarcaComoCliente("c", 0, true, true);
  // An IMAP listing holds what it fetched; a Maildir item reads its file at first use.
  if (EsImap()) lista = f->Items();
  EXPECT_EQ(lista[0]->Subject(), "sin guardar");
  EXPECT_EQ(lista[0]->FlagStatus(), kMarcado);
  EXPECT_FALSE(lista[0]->UnRead());

  BorraComoCliente("c", 1);
  if (!EsImap()) {
    EXPECT_EQ(NumeroDe([&] { lista[1]->Subject(); }), errnum::kObjetoNoEncontrado);
    EXPECT_EQ(NumeroDe([&] { lista[1]->MessageClass(); }), errnum::kObjetoNoEncontrado);
  }
  EXPECT_EQ(f->Find("[Asunto] = \"otro\""), nullptr);
  EXPECT_NE(f->Find("[Asunto] = \"SIN guardar\""), nullptr);
}

// A folder whose directories have not changed for a while is not read again on every listing;
// a change made after such a listing (a client's flag, a new file, a deleted one) is still seen
// by the next.
TEST_F(Maildir, AnUnchangedListingLosesNoLaterChanges) {
  auto app = Abre();
  auto f = Carpeta(*app, "c");
  for (const char* asunto : {"uno", "dos"}) {
    auto item = app->CreateItem(0);
    item->SetSubject(asunto);
    item->Move(*f);
  }
  // Older than the clock's coarse tick: the next listing may stand for the directories.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  auto primera = f->Items();
  ASSERT_EQ(primera.size(), 2u);
  EXPECT_EQ(f->Items()[1], primera[1]);

  const auto archivos = Archivos(dir_ / "c" / "cur");
  fs::rename(dir_ / "c" / "cur" / archivos[0], dir_ / "c" / "cur" / (archivos[0] + "F"));
  auto segunda = f->Items();
  ASSERT_EQ(segunda.size(), 2u);
  EXPECT_EQ(segunda[0]->FlagStatus(), kMarcado);

  fs::remove(dir_ / "c" / "cur" / archivos[1]);
  WriteFile(dir_ / "c" / "new" / "9.otro.host", "Subject: de fuera\n\ncuerpo\n");
  auto tercera = f->Items();
  ASSERT_EQ(tercera.size(), 2u);
  EXPECT_EQ(tercera[0]->Subject(), "uno");
  EXPECT_EQ(tercera[1]->Subject(), "de fuera");
}

// Files are reached from their directories, kept open between calls: a folder directory that
// another program removed and made again meanwhile is found again, and nothing is written into
// the one that is gone.
TEST_F(Maildir, AFolderRemadeByAnotherProgramStillServes) {
  auto app = Abre();
  auto f = Carpeta(*app, "c");
  auto item = app->CreateItem(0);
  item->SetSubject("antes");
  item->Move(*f);
  ASSERT_EQ(f->Items().size(), 1u);
  fs::remove_all(dir_ / "c");
  for (const char* sub : {"cur", "new", "tmp"}) fs::create_directories(dir_ / "c" / sub);
  auto otro = app->CreateItem(0);
  otro->SetSubject("después");
  otro->Move(*f);
  const auto lista = f->Items();
  ASSERT_EQ(lista.size(), 1u);
  EXPECT_EQ(lista[0]->Subject(), "después");
  EXPECT_EQ(Archivos(dir_ / "c" / "cur").size(), 1u);
}

// No failure leaves a partial item where readers look, nor a file in tmp/.
TEST_F(Maildir, FailedWritesLeaveNoHalfItem) {
  struct Caso {
    const char* que;
    int FsConFallos::*llamada;
    int err;
    long numero;
  } casos[] = {
      {"disco lleno", &FsConFallos::write, ENOSPC, errnum::kDiscoLleno},
      {"close con EIO", &FsConFallos::close, EIO, errnum::kErrorDeEntradaSalida},
      {"rename con EIO", &FsConFallos::rename, EIO, errnum::kErrorDeEntradaSalida},
  };
  for (const auto& c : casos) {
    SCOPED_TRACE(c.que);
    TmpDir raiz;
    auto fallos = std::make_shared<FsConFallos>();
    auto app = maildir::AbreMaildir(raiz.str(), fallos);
    auto f = app->GetNamespace("MAPI")->AddFolder("c");
    auto viejo = app->CreateItem(0);
    viejo->SetSubject("completo");
    viejo->SetBody(std::string(100000, 'v'));
    viejo->Move(*f);
    const auto antes = Archivos(raiz / "c" / "cur");
    const std::string contenido = ReadFile(raiz / "c" / "cur" / antes.at(0));

    (*fallos).*c.llamada = c.err;
    viejo->SetSubject("a medias");
    viejo->SetBody(std::string(200000, 'n'));
    EXPECT_EQ(NumeroDe([&] { viejo->Save(); }), c.numero);  // rewrite of an existing item
    auto nuevo = app->CreateItem(0);
    nuevo->SetBody("x");
    EXPECT_EQ(NumeroDe([&] { nuevo->Move(*f); }), c.numero);  // a new item
    (*fallos).*c.llamada = 0;

    EXPECT_EQ(Archivos(raiz / "c" / "cur"), antes);
    EXPECT_TRUE(Archivos(raiz / "c" / "new").empty());
    EXPECT_EQ(ReadFile(raiz / "c" / "cur" / antes.at(0)), contenido);
    EXPECT_TRUE(Archivos(raiz / "c" / "tmp").empty());
    ASSERT_EQ(f->Items().size(), 1u);
    EXPECT_EQ(f->Items()[0]->Subject(), "completo");

    viejo->Save();  // the disk is back: the same object saves
    EXPECT_EQ(f->Items()[0]->Subject(), "a medias");
    EXPECT_EQ(Archivos(raiz / "c" / "cur").size(), 1u);
  }
}

// A listing that fails part way is not taken for a whole one: the next listing reads the
// directories again, even when they did not change since.
TEST_F(Maildir, AnInterruptedListingIsNotTakenAsComplete) {
  auto fallos = std::make_shared<FsConFallos>();
  auto app = maildir::AbreMaildir(dir_.str(), fallos);
  auto f = Carpeta(*app, "c");
  for (const char* asunto : {"uno", "dos", "tres"}) {
    auto item = app->CreateItem(0);
    item->SetSubject(asunto);
    item->Move(*f);
  }
  ASSERT_EQ(f->Items().size(), 3u);
  const auto archivos = Archivos(dir_ / "c" / "cur");
  fs::remove(dir_ / "c" / "cur" / archivos[1]);
  // Older than the clock's coarse tick: a whole listing now could stand for the directories.
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  fallos->listado = EIO;
  EXPECT_EQ(NumeroDe([&] { f->Items(); }), errnum::kErrorDeEntradaSalida);
  EXPECT_EQ(f->Items().size(), 2u);
}

TEST_F(Maildir, SyncReportsWriteErrors) {
  auto fallos = std::make_shared<FsConFallos>();
  auto app = maildir::AbreMaildir(dir_.str(), fallos);
  app->CreateItem(0)->Save();
  app->Sync();
  fallos->syncfs = EIO;
  // Nothing written since: nothing to make durable, no syncfs asked.
  EXPECT_NO_THROW(app->Sync());
  app->CreateItem(0)->Save();
  EXPECT_EQ(NumeroDe([&] { app->Sync(); }), errnum::kErrorDeEntradaSalida);
  // A Sync that failed made nothing durable: the next one tries again.
  EXPECT_EQ(NumeroDe([&] { app->Sync(); }), errnum::kErrorDeEntradaSalida);
}

// A folder's first listing removes the regular files of tmp/ older than 36 hours, nothing else.
TEST_F(Maildir, FilesInTmpAreIgnoredAndOldOnesCleanedUp) {
  auto app = Abre();
  auto f = Carpeta(*app, "c");
  const fs::path tmp = dir_ / "c" / "tmp";
  WriteFile(tmp / "joven", "Subject: a medias");
  WriteFile(tmp / "viejo", "Subject: de ayer");
  WriteFile(tmp / "casi", "Subject: de hace 35 horas");
  WriteFile(dir_ / "fuera", "x");
  fs::create_directory(tmp / "dir");
  fs::create_symlink(dir_ / "fuera", tmp / "enlace");
  for (const auto& [nombre, horas] :
       {std::pair{"viejo", 40}, {"casi", 35}, {"dir", 40}, {"enlace", 40}, {"../../fuera", 40}}) {
    const timespec t[2] = {{std::time(nullptr) - horas * 3600, 0}, {std::time(nullptr) - horas * 3600, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (tmp / nombre).c_str(), t, AT_SYMLINK_NOFOLLOW), 0) << nombre;
  }
  EXPECT_TRUE(f->Items().empty());
  std::set<std::string> quedan;
  for (const auto& e : fs::directory_iterator(tmp)) quedan.insert(e.path().filename().string());
  EXPECT_EQ(quedan, (std::set<std::string>{"casi", "dir", "enlace", "joven"}));

  app->CreateItem(0)->Move(*Abre()->GetNamespace("MAPI")->Folder("c"));
  EXPECT_EQ(f->Items().size(), 1u);
}

TEST(PropiedadDeUsuario, TextAndDate) {
  UserProperties props;
  auto& p = props.Add("p", TipoPropiedad::Texto, false);
  p.SetValue("02/01/1990 7:05:46");
  EXPECT_EQ(p.ComoFecha(), LeeFormatoEstado("02/01/1990 7:05:46").value());
  p.SetValue("no es fecha");
  EXPECT_EQ(NumeroDe([&] { p.ComoFecha(); }), errnum::kTipoNoCoincide);
  p.SetValue(kFechaInicial);
  EXPECT_EQ(p.ComoTexto(), "01/01/1990");
  props.Add("p", TipoPropiedad::FechaHora, true);  // replaced, value reset
  ASSERT_EQ(props.All().size(), 1u);
  EXPECT_EQ(props.Item("p").ComoTexto(), "");
  EXPECT_EQ(props.Item("p").Type(), TipoPropiedad::FechaHora);
  EXPECT_EQ(props.Find("P"), nullptr);
}

// The file in `dir`/cur whose subject is `asunto`.
fs::path UnicoArchivoCon(const fs::path& dir, const std::string& asunto) {
  for (const auto& e : fs::directory_iterator(dir / "cur")) {
    const std::string t = test::ReadFile(e.path());
    const size_t i = t.find("Subject: " + asunto);
    if (i != std::string::npos && (t[i + 9 + asunto.size()] == '\r' || t[i + 9 + asunto.size()] == '\n')) return e.path();
  }
  ADD_FAILURE() << "no file for " << asunto;
  return {};
}

// The folder's persistent index, read by a new process (a new store object): it vouches only
// for files found under the very name and inode it recorded; a file renamed by a mail client,
// replaced, or new is read; a damaged index vouches for nothing; the index is no item and no
// folder of the store.
TEST_F(Maildir, ThePersistentIndexVouchesOnlyForFilesUnchangedSinceItWasWritten) {
  {
    auto app = Abre();
    auto f = Carpeta(*app, "c");
    for (const char* s : {"uno", "dos", "tres"}) {
      auto item = app->CreateItem(0);
      item->SetSubject(s);
      item->SetMessageClass(std::string("IPM.Note.Prueba.") + s);
      item->Move(*f);
    }
    auto indice = f->Indice();
    std::string informe;
    const auto leidos = indice->Lee([](const std::shared_ptr<Item>& i) { return "clave " + i->Subject(); }, true, informe);
    ASSERT_EQ(leidos.size(), 3u);
    EXPECT_EQ(informe, "no hay índice: 3 elementos leídos");
    // The caller knows the keys of what Lee gave: no item is read again.
    indice->Guarda([&](const std::shared_ptr<Item>& i) -> std::string {
      for (const auto& x : leidos) {
        if (x.item == i) return x.clave;
      }
      throw std::runtime_error("no se lee otra vez");
    });
    EXPECT_EQ(indice->LeeSello(), std::nullopt) << "not sealed";
  }
  const fs::path dir = dir_ / "c";
  ASSERT_TRUE(fs::is_regular_file(dir / ".tablon-indice"));
  int lecturas = 0;
  const store::ClaveDeItem cuenta = [&](const std::shared_ptr<Item>& i) {
    ++lecturas;
    return "clave " + i->Subject();
  };
  struct Caso {
    const char* que;
    std::function<void()> cambia;
    int lecturas;  // items read, the rest vouched for by the index
    bool sellada;  // the seal still stands for the folder
  };
  const std::vector<Caso> casos = {
      {"nothing changed", [] {}, 0, true},
      {"one file renamed (flagged by a client)",
       [&] {
         const fs::path p = UnicoArchivoCon(dir, "uno");
         fs::rename(p, p.string() + "F");
       },
       1, false},
      {"one file replaced under its name (written beside it, renamed over it)",
       [&] {
         const fs::path p = UnicoArchivoCon(dir, "dos");
         test::WriteFile(dir / "tmp" / "x", test::ReadFile(p) + "otro cuerpo\r\n");
         fs::rename(dir / "tmp" / "x", p);
       },
       1, false},
      {"one file deleted and its bytes written back under its name",
       [&] {
         const fs::path p = UnicoArchivoCon(dir, "tres");
         const std::string t = test::ReadFile(p);
         test::WriteFile(dir / "tmp" / "x", t);  // a new inode before the old one is freed
         fs::remove(p);
         fs::rename(dir / "tmp" / "x", p);
       },
       1, false},
      {"the seal's line damaged (its records still vouch)",
       [&] {
         std::string t = test::ReadFile(dir / ".tablon-indice");
         t[t.find("sellado")] = 'S';
         test::WriteFile(dir / ".tablon-indice", t);
       },
       0, false},
      {"the index damaged", [&] {
         std::string t = test::ReadFile(dir / ".tablon-indice");
         t[t.size() / 2] ^= 1;
         test::WriteFile(dir / ".tablon-indice", t);
       }, 3, true},
      {"the index of another version", [&] { test::WriteFile(dir / ".tablon-indice", "tablon-indice 9\nfin 0 0\n"); }, 3, false},
  };
  const store::IndiceCarpeta::Sellado sello{nullptr, [] { return std::string("sellado"); }};
  for (const Caso& caso : casos) {
    SCOPED_TRACE(caso.que);
    {  // the index as the last process left it, before the change
      auto app = Abre();
      auto f = Carpeta(*app, "c");
      auto indice = f->Indice();
      std::string informe;
      indice->Lee(cuenta, true, informe);
      indice->Guarda(cuenta, &sello);
    }
    caso.cambia();
    auto app = Abre();
    auto f = Carpeta(*app, "c");
    lecturas = 0;
    auto indice = f->Indice();
    // The seal is read from the file's head alone: a damage further down is the records'.
    EXPECT_EQ(indice->LeeSello(), caso.sellada ? std::optional<std::string>("sellado") : std::nullopt);
    std::string informe;
    const auto items = indice->Lee(cuenta, true, informe);
    EXPECT_EQ(lecturas, caso.lecturas) << informe;
    ASSERT_EQ(items.size(), 3u);
    for (const auto& x : items) {
      // Whatever vouched for it, each item answers as its file says.
      EXPECT_EQ(x.clave, "clave " + x.item->Subject());
      EXPECT_EQ(x.item->MessageClass(), "IPM.Note.Prueba." + x.item->Subject());
      const std::string nombre = UnicoArchivoCon(dir, x.item->Subject()).filename().string();
      EXPECT_EQ(x.item->FlagStatus() == kMarcado, nombre.find('F', nombre.find(":2,")) != std::string::npos);
    }
  }
  // A full reading asked for reads every item, whatever the index.
  auto app = Abre();
  auto f = Carpeta(*app, "c");
  lecturas = 0;
  std::string informe;
  f->Indice()->Lee(cuenta, false, informe);
  EXPECT_EQ(lecturas, 3);
  EXPECT_EQ(f->Items().size(), 3u);
  EXPECT_TRUE(f->Folders().empty()) << "the index file is no folder";
}

}  // namespace

// What only an IMAP account has.
class AlmacenImap : public Almacen {};
INSTANTIATE_TEST_SUITE_P(Backends, AlmacenImap, ::testing::Values("imap", "imap_basico"),
                         [](const auto& caso) { return std::string(caso.param); });

// A pass stopped between the APPEND of a changed item and the EXPUNGE of its old message leaves
// two messages of one item; the next listing keeps the newest (the one with the text) with the
// flags of both, and removes the other.
TEST_P(AlmacenImap, TwoMessagesOfOneItemBecomeOne) {
  auto app = Abre();
  auto f = Carpeta(*app, "c");
  auto item = app->CreateItem(0);
  item->SetSubject("cabecera");
  item->Move(*f);
  app->Sync();
  {
    test::ClienteImap c(dovecot_->Port());
    c.Login(test::Dovecot::kUsuario, test::Dovecot::kClave);
    c.Select("c");
    const auto viejo = c.Lista().at(0);
    c.ComandoOk("UID STORE " + std::to_string(viejo.uid) + " +FLAGS (\\Flagged)");
    const std::string con_texto = c.Cuerpo(viejo.uid) + "texto descargado\r\n";
    c.ComandoOk("APPEND c (\\Seen) {" + std::to_string(con_texto.size()) + "+}\r\n" + con_texto);
    ASSERT_EQ(c.Lista().size(), 2u);
  }
  const auto items = Abre()->GetNamespace("MAPI")->Folder("c")->Items();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0]->Body(), "texto descargado\n");
  EXPECT_EQ(items[0]->FlagStatus(), kMarcado);
  EXPECT_FALSE(items[0]->UnRead());
  EXPECT_EQ(CuentaComoCliente("c"), 1u);
  test::ClienteImap c(dovecot_->Port());
  c.Login(test::Dovecot::kUsuario, test::Dovecot::kClave);
  c.Select("c");
  const auto queda = c.Lista().at(0);
  EXPECT_TRUE(queda.Tiene("\\Flagged") && queda.Tiene("\\Seen"));
}

// The store's folders live below the prefix; INBOX and mailboxes another program made under a
// name the store never writes are not listed, and nothing of them is changed.
TEST_P(AlmacenImap, OnlyTheStoresOwnMailboxesAreFolders) {
  {
    test::ClienteImap c(dovecot_->Port());
    c.Login(test::Dovecot::kUsuario, test::Dovecot::kClave);
    c.ComandoOk("CREATE %zz");
    c.ComandoOk("CREATE a%41");
    c.ComandoOk("APPEND INBOX {4+}\r\nx\r\n\r\n");
  }
  auto app = Abre();
  auto ns = app->GetNamespace("MAPI");
  ns->AddFolder("news");
  std::vector<std::string> nombres;
  for (const auto& f : ns->Folders()) nombres.push_back(f->Name());
  EXPECT_EQ(nombres, std::vector<std::string>{"news"});

  imap::UbicacionImap u;
  u.usuario = test::Dovecot::kUsuario;
  u.host = "127.0.0.1";
  u.puerto = dovecot_->Port();
  u.prefijo = {"Tablón", "sub"};
  imap::OpcionesSesion o;
  o.ruta_netrc = (dir_ / "netrc").string();
  auto con_prefijo = imap::AbreImap(u, std::move(o));
  auto news = con_prefijo->GetNamespace("MAPI")->AddFolder("news");
  auto item = con_prefijo->CreateItem(0);
  item->Move(*news);
  con_prefijo->Sync();
  EXPECT_EQ(CuentaComoCliente("Tabl&APM-n/sub/news"), 1u);
  EXPECT_EQ(CuentaComoCliente("INBOX"), 1u);
  ASSERT_EQ(con_prefijo->GetNamespace("MAPI")->Folders().size(), 1u);
}

}  // namespace tablon::store
