// The road of articles through passes against the local INN: header items threaded in the group
// folder, placeholders for missing parents, flags set by a mail client, flagged items downloaded
// once, failed fetches left for the next pass, the articles' dates, a large group; and what mail
// software (a Dovecot IMAP server, neomutt) makes of the items, before and after a download.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/almacen.h"
#include "core/fecha.h"
#include "store/mensaje/formato_item.h"
#include "store/outlook_module.h"
#include "support/dovecot.h"
#include "support/imap.h"
#include "support/inn.h"
#include "support/instantanea.h"
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

// The "ArticleID" of an item file's text (LF or CRLF line ends, as IMAP serves it); "" when it
// has none.
std::string ArticleIdDe(std::string texto) {
  texto.erase(std::remove(texto.begin(), texto.end(), '\r'), texto.end());
  const auto cabecera = store::mensaje::LeeCabeceraItem(std::string_view(texto).substr(0, texto.find("\n\n")));
  for (const auto& p : cabecera.registro.propiedades) {
    if (p.Name() == "ArticleID") return p.ComoTexto();
  }
  return "";
}

// The value of the first header field `nombre` of a file's text; "" when there is none.
std::string Cabecera(const std::string& texto, const std::string& nombre) {
  const std::string bloque = "\n" + texto.substr(0, texto.find("\n\n"));
  const size_t p = bloque.find("\n" + nombre + ": ");
  if (p == std::string::npos) return "";
  const size_t inicio = p + nombre.size() + 3;
  return bloque.substr(inicio, bloque.find('\n', inicio) - inicio);
}

// A Date header `dias` days before today (UTC) at hh:mm on the clock of a zone `zona` minutes
// east of UTC, and the instant it names. Always in the past and within INN's ten days.
struct FechaDeArticulo {
  std::string texto;
  std::int64_t unix = 0;
};
enum class FormaFecha {
  ConDiaDeSemana,     // "Tue, 03 Nov 2026 10:00:00 +0100"
  SinDiaDeSemanaGmt,  // "6 Nov 2026 10:00:00 GMT" (zone 0)
};
FechaDeArticulo FechaHaceDias(int dias, int hora, int minuto, int zona, FormaFecha forma) {
  static const char* const kDias[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMeses[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::int64_t ahora = std::time(nullptr);
  const std::int64_t reloj = ahora - ahora % 86400 - dias * 86400LL + hora * 3600LL + minuto * 60LL;
  const std::time_t t = static_cast<std::time_t>(reloj);
  std::tm u{};
  gmtime_r(&t, &u);
  char buf[64];
  if (forma == FormaFecha::ConDiaDeSemana) {
    const int z = zona < 0 ? -zona : zona;
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d", kDias[u.tm_wday],
                  u.tm_mday, kMeses[u.tm_mon], u.tm_year + 1900, u.tm_hour, u.tm_min, u.tm_sec,
                  zona < 0 ? '-' : '+', z / 60, z % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%d %s %04d %02d:%02d:%02d GMT", u.tm_mday, kMeses[u.tm_mon],
                  u.tm_year + 1900, u.tm_hour, u.tm_min, u.tm_sec);
  }
  return {buf, reloj - zona * 60LL};
}

// The local time zone (TZ) of this process and of the programs it runs, while the object lives.
class ZonaLocal {
 public:
  explicit ZonaLocal(const char* tz) {
    if (const char* v = std::getenv("TZ")) {
      antes_ = v;
      habia_ = true;
    }
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ZonaLocal() {
    if (habia_) {
      setenv("TZ", antes_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ZonaLocal(const ZonaLocal&) = delete;
  ZonaLocal& operator=(const ZonaLocal&) = delete;

 private:
  std::string antes_;
  bool habia_ = false;
};

std::string EjecutaOrden(const std::string& orden) {
  std::string r;
  if (FILE* p = popen(orden.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.append(buf, n);
    pclose(p);
  }
  return r;
}

// neomutt as a user runs it, over one Maildir folder with the settings of a muttrc written in
// `casa` (its HOME), inside a detached tmux server of its own (so no other tmux session is
// touched); the server and neomutt go with the object. Its index shows one message a line as
// "  N FLAGS {address} subject", the thread tree in ASCII.
class Neomutt {
 public:
  static bool Available() { return access("/usr/bin/neomutt", X_OK) == 0 && access("/usr/bin/tmux", X_OK) == 0; }

  static std::string Muttrc(const std::string& sort) {
    return "set sort=" + sort +
           "\nset strict_threads=yes\nset ascii_chars=yes\nset mark_old=no\n"
           "set index_format=\"%4C %Z {%a} %s\"\n";
  }

  Neomutt(const fs::path& casa, const fs::path& carpeta, const std::string& muttrc) {
    static int n = 0;
    tmux_ = "tmux -u -f /dev/null -L tablon-inn-" + std::to_string(getpid()) + "-" + std::to_string(++n);
    test::WriteFile(casa / "muttrc", "set folder=" + casa.string() + "\n" + muttrc);
    const std::string orden = "env HOME=" + casa.string() + " LANG=C.UTF-8 LC_ALL=C.UTF-8 neomutt -n -F " +
                              (casa / "muttrc").string() + " -f '" + carpeta.string() + "'";
    if (std::system((tmux_ + " new-session -d -x 150 -y 40 \"" + orden + "\"").c_str()) != 0) {
      throw std::runtime_error("tmux no arrancó neomutt");
    }
  }
  ~Neomutt() { std::system((tmux_ + " kill-server >/dev/null 2>&1").c_str()); }
  Neomutt(const Neomutt&) = delete;
  Neomutt& operator=(const Neomutt&) = delete;

  // The screen once it shows `texto` and is drawn (two captures alike), or as it is after 10 s.
  std::string Pantalla(const std::string& texto) const {
    std::string p, antes;
    const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((p.find(texto) == std::string::npos || p != antes) && std::chrono::steady_clock::now() < limite) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      antes = std::move(p);
      p = EjecutaOrden(tmux_ + " capture-pane -p 2>/dev/null");
    }
    return p;
  }

  // The index lines of a screen, in screen order.
  static std::vector<std::string> Indice(const std::string& pantalla) {
    std::vector<std::string> r;
    size_t i = 0;
    while (i < pantalla.size()) {
      size_t fin = pantalla.find('\n', i);
      if (fin == std::string::npos) fin = pantalla.size();
      const std::string l = pantalla.substr(i, fin - i);
      if (l.find('{') != std::string::npos && l.find('}') != std::string::npos) r.push_back(l);
      i = fin + 1;
    }
    return r;
  }

 private:
  std::string tmux_;
};

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
    for (const auto& it : f->Items()) r[it->UserProperties().Item("ArticleID").ComoTexto()] = it;
    return r;
  }

  // The files of the group folder whose item is the one of `article_id` (its own "ArticleID",
  // not a reply's "IDReferencia").
  std::vector<fs::path> Archivos(const std::string& article_id) const {
    std::vector<fs::path> r;
    for (const char* sub : {"cur", "new"}) {
      for (const auto& e : fs::directory_iterator(Carpeta() / sub)) {
        if (ArticleIdDe(ReadFile(e.path())) == article_id) r.push_back(e.path());
      }
    }
    return r;
  }

  // The flags of a file's name (what follows ":2,").
  static std::string Banderas(const fs::path& archivo) {
    const std::string name = archivo.filename().string();
    const size_t info = name.find(":2,");
    return info == std::string::npos ? "" : name.substr(info + 3);
  }

  // Reads and flags the item of `article_id` the way a mail client does: renames its file to
  // add S and F.
  void Marca(const std::string& article_id) {
    const auto archivos = Archivos(article_id);
    if (archivos.empty()) FAIL() << "no item for " << article_id;
    std::string name = archivos[0].filename().string();
    size_t info = name.find(":2,");
    std::string base = info == std::string::npos ? name : name.substr(0, info);
    std::string flags = Banderas(archivos[0]) + "FS";
    std::sort(flags.begin(), flags.end());
    fs::rename(archivos[0], Carpeta() / "cur" / (base + ":2," + flags));
  }

  // The group folder's name over IMAP.
  std::string CarpetaImap() const { return fs::relative(Carpeta(), store_.path()).generic_string(); }

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

TEST_F(InnArticulos, DeepRepliesAndASharedMissingParentThreadAsTheirReferencesSay) {
  auto de = [](test::Article a, const std::string& quien) {
    a.from = quien + " <" + quien + "@tablon.test>";
    return a;
  };
  auto r1 = de(Articulo("r1", "Pregunta", ""), "r1");
  auto r2 = de(Articulo("r2", "Re: Pregunta", r1.message_id), "r2");
  auto r3 = de(Articulo("r3", "Re: Pregunta", r1.message_id + " " + r2.message_id), "r3");
  // The missing parent of r4 and r5 lives in another group: the server has it, the group does not.
  auto m = de(Articulo("m", "Re: Pregunta", r1.message_id, prefijo_ + ".otro"), "m");
  // A References header folded onto a second line, as newsreaders write long ones.
  auto r4 = de(Articulo("r4", "Re: Pregunta", r1.message_id + "\r\n " + m.message_id), "r4");
  auto r5 = de(Articulo("r5", "Re: Pregunta", r1.message_id + " " + m.message_id), "r5");
  Inn::Post({r1, r2, r3, r4, r5, m});

  Salida uno = tablon_.Ejecuta({});
  ASSERT_EQ(uno.codigo, 0) << uno.err;
  auto items = Items();
  ASSERT_EQ(items.size(), 6u) << "five articles and one placeholder";
  ASSERT_EQ(Archivos(m.message_id).size(), 1u) << "r4 and r5 share the placeholder of <m>";
  ASSERT_EQ(Ficheros(), 6u);
  const auto& hueco = items[m.message_id];
  EXPECT_EQ(hueco->SentOnBehalfOfName().substr(0, 3), "???");
  EXPECT_EQ(items[r2.message_id]->InReplyTo(), items[r1.message_id]->MessageId());
  EXPECT_EQ(items[r3.message_id]->InReplyTo(), items[r2.message_id]->MessageId()) << "its direct parent";
  EXPECT_EQ(hueco->InReplyTo(), items[r1.message_id]->MessageId()) << "the nearest earlier identifier present";
  EXPECT_EQ(items[r4.message_id]->InReplyTo(), hueco->MessageId());
  EXPECT_EQ(items[r5.message_id]->InReplyTo(), hueco->MessageId());

  // A mail client threading by the headers alone (no subject guessing) shows one thread:
  //   r1
  //   |->r2
  //   | `->r3
  //   `->???
  //     |->r4
  //     `->r5
  // (siblings in either order).
  if (Neomutt::Available()) {
    TmpDir casa;
    std::string pantalla;
    {
      Neomutt nm(casa.path(), Carpeta(), Neomutt::Muttrc("threads"));
      pantalla = nm.Pantalla("Msgs:6");
    }
    ASSERT_NE(pantalla.find("Msgs:6"), std::string::npos) << pantalla;
    const auto indice = Neomutt::Indice(pantalla);
    ASSERT_EQ(indice.size(), 6u) << pantalla;
    auto linea = [&](const std::string& direccion) -> size_t {
      for (size_t i = 0; i < indice.size(); ++i) {
        if (indice[i].find("{" + direccion + "}") != std::string::npos) return i;
      }
      ADD_FAILURE() << direccion << " is not in the index:\n" << pantalla;
      return 0;
    };
    // Where the tree's arrow ends, counted from the end of the address.
    auto flecha = [&](size_t i) {
      const size_t a = indice[i].find("->");
      return a == std::string::npos ? a : a - indice[i].find('}');
    };
    const size_t l1 = linea("r1@tablon.test"), l2 = linea("r2@tablon.test"), l3 = linea("r3@tablon.test");
    const size_t lm = linea("nadie@nadie"), l4 = linea("r4@tablon.test"), l5 = linea("r5@tablon.test");
    EXPECT_EQ(l1, 0u) << pantalla;
    EXPECT_EQ(flecha(l1), std::string::npos) << "the only root\n" << pantalla;
    EXPECT_NE(flecha(l2), std::string::npos) << pantalla;
    EXPECT_EQ(flecha(l2), flecha(lm)) << "r2 and the placeholder answer r1\n" << pantalla;
    EXPECT_GT(flecha(l3), flecha(l2)) << pantalla;
    EXPECT_EQ(flecha(l3), flecha(l4)) << pantalla;
    EXPECT_EQ(flecha(l4), flecha(l5)) << pantalla;
    EXPECT_EQ(l3, l2 + 1) << "r3 hangs from r2\n" << pantalla;
    EXPECT_EQ(std::min(l4, l5), lm + 1) << "r4 and r5 hang from the placeholder\n" << pantalla;
    EXPECT_EQ(std::max(l4, l5), lm + 2) << pantalla;
  }

  // Flagged by a mail client, the placeholder becomes the article the server has for <m>, in the
  // same place of the thread.
  Marca(m.message_id);
  Salida dos = tablon_.Ejecuta({});
  ASSERT_EQ(dos.codigo, 0) << dos.err;
  const auto archivos = Archivos(m.message_id);
  ASSERT_EQ(archivos.size(), 1u);
  EXPECT_NE(Banderas(archivos[0]).find('F'), std::string::npos) << archivos[0];
  EXPECT_EQ(Banderas(archivos[0]).find('S'), std::string::npos) << "unread again: " << archivos[0];
  EXPECT_EQ(Ficheros(), 6u);
  items = Items();
  const auto& bajado = items[m.message_id];
  EXPECT_EQ(bajado->MessageClass(), "IPM.Note.News.Full");
  EXPECT_TRUE(bajado->UnRead());
  EXPECT_EQ(bajado->FlagStatus(), 2);
  EXPECT_NE(bajado->Body().find("Message-ID: " + m.message_id), std::string::npos) << bajado->Body();
  EXPECT_NE(bajado->Body().find("\r\n\r\nTexto de m\r\n"), std::string::npos) << bajado->Body();
  EXPECT_EQ(bajado->InReplyTo(), items[r1.message_id]->MessageId());
  EXPECT_EQ(items[r4.message_id]->InReplyTo(), bajado->MessageId()) << "the replies still hang from it";
  EXPECT_EQ(items[r5.message_id]->InReplyTo(), bajado->MessageId());
}

TEST_F(InnArticulos, AnArticlesDateInAnyOfItsFormsIsItsItemsDate) {
  // A local zone neither UTC nor a whole number of hours away from it, for the program run here
  // as for the reading of the store below.
  ZonaLocal zona("<+0530>-5:30");
  struct Caso {
    test::Article articulo;
    FechaDeArticulo fecha;
    std::string zona;  // its item's Date's: the article's own
  };
  std::vector<Caso> casos = {
      {Articulo("tarde", "Tarde", ""), FechaHaceDias(1, 10, 0, 0, FormaFecha::SinDiaDeSemanaGmt), "+0000"},
      {Articulo("antes", "Antes", ""), FechaHaceDias(3, 10, 0, 120, FormaFecha::ConDiaDeSemana), "+0200"},
      {Articulo("medio", "Medio", ""), FechaHaceDias(2, 8, 15, -300, FormaFecha::ConDiaDeSemana), "-0500"},
  };
  std::vector<test::Article> lote;
  for (auto& c : casos) {
    c.articulo.date = c.fecha.texto;
    c.articulo.from = c.articulo.subject + " <" + c.articulo.subject + "@tablon.test>";
    lote.push_back(c.articulo);
  }
  Inn::Post(lote);

  Salida uno = tablon_.Ejecuta({});
  ASSERT_EQ(uno.codigo, 0) << uno.err;
  auto items = Items();
  ASSERT_EQ(items.size(), 3u);
  for (const auto& c : casos) {
    const auto& it = items[c.articulo.message_id];
    ASSERT_TRUE(it) << c.articulo.message_id;
    EXPECT_EQ(it->UserProperties().Item("FechaNewsMsg").ComoFecha().AUnix(), c.fecha.unix) << c.fecha.texto;
    EXPECT_EQ(it->Creado().AUnix(), c.fecha.unix) << c.fecha.texto;
    const auto archivos = Archivos(c.articulo.message_id);
    ASSERT_EQ(archivos.size(), 1u);
    const std::string date = Cabecera(ReadFile(archivos[0]), "Date");
    const auto leida = LeeFechaRfc5322(date);
    ASSERT_TRUE(leida) << "Date: " << date;
    EXPECT_EQ(leida->AUnix(), c.fecha.unix) << c.fecha.texto << " written as " << date;
    EXPECT_TRUE(date.ends_with(" " + c.zona)) << c.fecha.texto << " written as " << date;
  }
  // Its text downloaded, the item keeps its Date.
  const std::string antes = casos[1].articulo.message_id;
  const std::string date = Cabecera(ReadFile(Archivos(antes).at(0)), "Date");
  Marca(antes);
  ASSERT_EQ(tablon_.Ejecuta({}).codigo, 0);
  EXPECT_NE(ReadFile(Archivos(antes).at(0)).find("Texto de antes"), std::string::npos);
  EXPECT_EQ(Cabecera(ReadFile(Archivos(antes).at(0)), "Date"), date);

  // Sorted by date, a mail client shows them in the order of their dates, not of their arrival.
  if (Neomutt::Available()) {
    TmpDir casa;
    std::string pantalla;
    {
      Neomutt nm(casa.path(), Carpeta(), Neomutt::Muttrc("date"));
      pantalla = nm.Pantalla("Msgs:3");
    }
    const auto indice = Neomutt::Indice(pantalla);
    ASSERT_EQ(indice.size(), 3u) << pantalla;
    EXPECT_NE(indice[0].find("{Antes@"), std::string::npos) << pantalla;
    EXPECT_NE(indice[1].find("{Medio@"), std::string::npos) << pantalla;
    EXPECT_NE(indice[2].find("{Tarde@"), std::string::npos) << pantalla;
  }
}

// A client with the group folder open over IMAP flags an item; the pass downloads its text. The
// client is told the old message went and a new one came, and the new one is served whole: its
// size is the file's, not the header item's that the server had learnt.
TEST_F(InnArticulos, DovecotServesTheDownloadedItemWholeAsANewMessage) {
  if (!test::Dovecot::Available()) GTEST_SKIP() << "dovecot is not installed";
  auto raiz = Articulo("raiz", "Pregunta", "");
  auto respuesta = Articulo("respuesta", "Re: Pregunta", raiz.message_id);
  auto otro = Articulo("otro", "Otro tema", "");
  Inn::Post({raiz, respuesta, otro});
  Salida uno = tablon_.Ejecuta({});
  ASSERT_EQ(uno.codigo, 0) << uno.err;

  test::Dovecot dovecot(store_.path());
  test::ClienteImap abierto(dovecot.Port());
  abierto.Login(test::Dovecot::kUsuario, test::Dovecot::kClave);
  ASSERT_EQ(abierto.Select(CarpetaImap()), 3u) << dovecot.Log();
  std::uint32_t uid_cabecera = 0;
  for (const auto& m : abierto.Lista()) {  // sizes and structures, as a client opening the folder
    if (ArticleIdDe(abierto.Cuerpo(m.uid)) == raiz.message_id) uid_cabecera = m.uid;
  }
  ASSERT_NE(uid_cabecera, 0u);
  abierto.ComandoOk("UID STORE " + std::to_string(uid_cabecera) + " +FLAGS (\\Flagged)");

  Salida dos = tablon_.Ejecuta({});
  ASSERT_EQ(dos.codigo, 0) << dos.err;
  dovecot.Entrega();
  const std::string noop = abierto.Noop();
  EXPECT_NE(noop.find(" EXPUNGE\r\n"), std::string::npos) << noop;
  EXPECT_NE(noop.find(" EXISTS\r\n"), std::string::npos) << noop;

  const auto archivos = Archivos(raiz.message_id);
  ASSERT_EQ(archivos.size(), 1u);
  const std::string archivo = test::ConCrlf(ReadFile(archivos[0]));
  ASSERT_NE(archivo.find("\r\n\r\nTexto de raiz\r\n"), std::string::npos) << archivo;
  test::ClienteImap nuevo(dovecot.Port());
  nuevo.Login(test::Dovecot::kUsuario, test::Dovecot::kClave);
  nuevo.Select(CarpetaImap());
  for (test::ClienteImap* c : {&abierto, &nuevo}) {
    SCOPED_TRACE(c == &abierto ? "the connection kept open" : "a new connection");
    const auto lista = c->Lista();
    EXPECT_EQ(lista.size(), 3u);
    size_t suyos = 0;
    for (const auto& m : lista) {
      const std::string cuerpo = c->Cuerpo(m.uid);
      if (ArticleIdDe(cuerpo) != raiz.message_id) continue;
      ++suyos;
      EXPECT_NE(m.uid, uid_cabecera);
      EXPECT_EQ(m.tamano, archivo.size());
      EXPECT_EQ(cuerpo, archivo);
      EXPECT_TRUE(m.Tiene("\\Flagged"));
      EXPECT_FALSE(m.Tiene("\\Seen"));
    }
    EXPECT_EQ(suyos, 1u);
  }
}

// The same road with the user's IMAP account as the store (a private Dovecot with storage of its
// own): the server post and the group folders are mailboxes, each article one message threaded
// by its headers, placeholders included; an item flagged over IMAP, as a phone does, gets its
// text on the next pass as a new message, still flagged and unread; a third pass changes
// nothing on the server.
TEST_F(InnArticulos, TheRoadOfArticlesThroughAnImapAccount) {
  if (!test::Dovecot::Available()) GTEST_SKIP() << "dovecot is not installed";
  TmpDir buzones, casa, servidores;
  test::Dovecot dovecot(buzones.path());
  test::WriteFile(casa / ".netrc", std::string("machine 127.0.0.1 login ") + test::Dovecot::kUsuario +
                                       " password " + test::Dovecot::kClave + "\n");
  fs::permissions(casa / ".netrc", fs::perms::owner_read | fs::perms::owner_write);
  const char* home = std::getenv("HOME");
  const std::string home_antes = home ? home : "";
  setenv("HOME", casa.str().c_str(), 1);
  const std::string traza = (casa / "traza").string();
  setenv("TABLON_TRAZA_IMAP", traza.c_str(), 1);
  Programa imap("imap://" + std::string(test::Dovecot::kUsuario) + "@127.0.0.1:" + std::to_string(dovecot.Port()),
                servidores.path());
  Salida sin_news = imap.Ejecuta({});  // an account without "news": define a server first
  EXPECT_TRUE(sin_news.codigo == 1 && sin_news.err.find("tablon add-server") != std::string::npos) << sin_news.err;
  EXPECT_EQ(test::ReadFile(traza).find("CREATE"), std::string::npos) << "the refused pass made a mailbox";
  ASSERT_EQ(imap.Ejecuta({"add-server", Inn::Host()}).codigo, 0);
  ASSERT_EQ(imap.Ejecuta({}).codigo, 0);
  ASSERT_EQ(imap.Ejecuta({"subscribe", Inn::Host(), grupo_}).codigo, 0);
  EXPECT_TRUE(fs::exists(servidores / (Inn::Host() + ".txt")));

  auto raiz = Articulo("raiz", "Pregunta", "");
  auto respuesta = Articulo("respuesta", "Re: Pregunta", raiz.message_id);
  auto lejano = Articulo("lejano", "Tema lejano", "", prefijo_ + ".otro");
  auto huerfano = Articulo("huerfano", "Re: Tema lejano", lejano.message_id);
  auto perdido = Articulo("perdido", "Re: Nada", "<nunca." + prefijo_ + "@tablon.test>");
  raiz.date = FechaHaceDias(1, 10, 0, 120, FormaFecha::ConDiaDeSemana).texto;
  Inn::Post({raiz, respuesta, lejano, huerfano, perdido});
  Salida uno = imap.Ejecuta({});
  ASSERT_EQ(uno.codigo, 0) << uno.err << test::ReadFile(traza);

  test::ClienteImap telefono(dovecot.Port());
  telefono.Login(test::Dovecot::kUsuario, test::Dovecot::kClave);
  // The server post lies in "news", the group in its chain of folders below the server's.
  EXPECT_EQ(telefono.Select("news"), 1u);
  ASSERT_EQ(telefono.Select(CarpetaImap()), 6u) << "four articles of the group, two placeholders";
  std::map<std::string, std::string> textos;  // ArticleID -> message
  std::map<std::string, std::uint32_t> uids;
  for (const auto& m : telefono.Lista()) {
    const std::string t = telefono.Cuerpo(m.uid);
    textos[ArticleIdDe(t)] = t;
    uids[ArticleIdDe(t)] = m.uid;
  }
  ASSERT_EQ(textos.size(), 6u);
  auto lf = [](std::string t) {
    t.erase(std::remove(t.begin(), t.end(), '\r'), t.end());
    return t;
  };
  EXPECT_EQ(Cabecera(lf(textos[respuesta.message_id]), "In-Reply-To"),
            Cabecera(lf(textos[raiz.message_id]), "Message-ID"));
  EXPECT_EQ(Cabecera(lf(textos[huerfano.message_id]), "In-Reply-To"),
            Cabecera(lf(textos[lejano.message_id]), "Message-ID"))
      << "the reply hangs from the placeholder of its parent";

  // Flagged on the phone, not read.
  telefono.ComandoOk("UID STORE " + std::to_string(uids[raiz.message_id]) + " +FLAGS (\\Flagged)");
  Salida dos = imap.Ejecuta({});
  ASSERT_EQ(dos.codigo, 0) << dos.err;
  telefono.Noop();
  const auto lista = telefono.Lista();
  EXPECT_EQ(lista.size(), 6u);
  size_t suyos = 0;
  for (const auto& m : lista) {
    const std::string t = telefono.Cuerpo(m.uid);
    if (ArticleIdDe(t) != raiz.message_id) continue;
    ++suyos;
    EXPECT_NE(t.find("\r\n\r\nTexto de raiz\r\n"), std::string::npos) << t;
    EXPECT_TRUE(Cabecera(lf(t), "Date").ends_with(" +0200")) << "the article's own zone, kept\n" << t;
    EXPECT_TRUE(m.Tiene("\\Flagged"));
    EXPECT_FALSE(m.Tiene("\\Seen"));
  }
  EXPECT_EQ(suyos, 1u);

  fs::remove(traza);
  Salida tres = imap.Ejecuta({});
  ASSERT_EQ(tres.codigo, 0) << tres.err;
  const std::string log = test::ReadFile(traza);
  EXPECT_NE(log.find("UID FETCH"), std::string::npos) << log;
  const std::regex cambia(R"(^a[0-9]+ (UID )?(APPEND|STORE|EXPUNGE|MOVE|COPY|CREATE) )");
  std::istringstream lineas(log);
  for (std::string l; std::getline(lineas, l);) EXPECT_FALSE(std::regex_search(l, cambia)) << l;
  EXPECT_EQ(telefono.Lista().size(), 6u);
  setenv("HOME", home_antes.c_str(), 1);
  unsetenv("TABLON_TRAZA_IMAP");
}

// neomutt keeps what it parsed of each message in its header cache, by file name: once the item's
// text is downloaded it must read the new file, not serve the header item it cached.
TEST_F(InnArticulos, NeomuttWithAHeaderCacheShowsTheDownloadedText) {
  if (!Neomutt::Available()) GTEST_SKIP() << "neomutt or tmux is not installed";
  auto raiz = Articulo("raiz", "Pregunta", "");
  auto respuesta = Articulo("respuesta", "Re: Pregunta", raiz.message_id);
  auto otro = Articulo("otro", "Otro tema", "");
  Inn::Post({raiz, respuesta, otro});
  Salida uno = tablon_.Ejecuta({});
  ASSERT_EQ(uno.codigo, 0) << uno.err;

  TmpDir casa;
  fs::create_directories(casa / "cache");
  const std::string muttrc = Neomutt::Muttrc("threads") + "set header_cache=" + (casa / "cache").string() + "\n";
  std::string pantalla;
  {
    Neomutt nm(casa.path(), Carpeta(), muttrc);
    pantalla = nm.Pantalla("Msgs:3");
  }
  ASSERT_NE(pantalla.find("Msgs:3"), std::string::npos) << pantalla;
  ASSERT_FALSE(fs::is_empty(casa / "cache")) << "the header cache was written";

  Marca(raiz.message_id);
  Salida dos = tablon_.Ejecuta({});
  ASSERT_EQ(dos.codigo, 0) << dos.err;
  {
    Neomutt nm(casa.path(), Carpeta(), muttrc);
    pantalla = nm.Pantalla("Msgs:3");
  }
  const auto indice = Neomutt::Indice(pantalla);
  ASSERT_EQ(indice.size(), 3u) << pantalla;
  EXPECT_EQ(std::count_if(indice.begin(), indice.end(),
                          [](const std::string& l) { return l.substr(0, l.find('{')).find('!') != std::string::npos; }),
            1) << "one flagged message\n" << pantalla;
  {
    Neomutt nm(casa.path(), Carpeta(), muttrc + "push \"<limit>~F<enter><display-message>\"\n");
    pantalla = nm.Pantalla("Texto de raiz");
  }
  EXPECT_NE(pantalla.find("Texto de raiz"), std::string::npos) << pantalla;
  EXPECT_NE(pantalla.find(".línea que empieza con punto"), std::string::npos) << pantalla;
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
  Salida dos = tablon_.Ejecuta({"--verbose"});
  ASSERT_EQ(dos.codigo, 0) << dos.err;
  EXPECT_EQ(Ficheros(), 5000u);
  EXPECT_TRUE(dos.Etiqueta("Mensaje").empty()) << "the second pass creates nothing";

  // Forty items flagged (more than the pipeline's window) and new articles: the pass with the
  // stream compressed and the one without write the same items, byte for byte.
  for (int i = 0; i < 5000; i += 125) Marca(lote[static_cast<size_t>(i)].message_id);
  std::vector<test::Article> nuevos;
  for (int i = 0; i < 50; ++i) nuevos.push_back(Articulo("n" + std::to_string(i), "Nuevo " + std::to_string(i), ""));
  Inn::Post(nuevos);
  std::map<std::string, test::ItemsPorCarpeta> almacenes;
  for (const char* compresion : {"si", "no"}) {
    SCOPED_TRACE(std::string("TABLON_COMPRESION=") + compresion);
    TmpDir copia;
    fs::copy(store_.path(), copia / "store", fs::copy_options::recursive);
    fs::copy(servers_.path(), copia / "servers", fs::copy_options::recursive);
    ::setenv("TABLON_COMPRESION", compresion, 1);
    Salida tres = Programa(copia / "store", copia / "servers").Ejecuta({"--verbose"});
    ::unsetenv("TABLON_COMPRESION");
    ASSERT_EQ(tres.codigo, 0) << tres.err;
    const auto debug = tres.Etiqueta("Debug");
    EXPECT_EQ(std::count(debug.begin(), debug.end(), "COMPRESS DEFLATE"), compresion == std::string("si") ? 1 : 0);
    EXPECT_NE(tres.out.find("50 nuevos, 40 descargados"), std::string::npos) << tres.out;
    almacenes[compresion] = test::LeeAlmacen(copia / "store");
  }
  EXPECT_EQ(test::Diferencias(almacenes["si"], almacenes["no"]), "");
}

}  // namespace
}  // namespace tablon
