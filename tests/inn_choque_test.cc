// A pass killed at any point of its writing, then run again, ends with the store and the state
// files of a pass that was never interrupted; one more pass changes nothing. The pass is the real
// program's over a file-system seam that ends it at the N-th write operation
// (tests/tablon_choque.cc, TABLON_PRUEBA_ABORTA_EN), for every N of a whole pass: the lock,
// state-file save, entry posts, header items of new articles and placeholders (saved as drafts,
// then moved into the group folder), downloads of flagged items.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "news/numeracion_grupo.h"
#include "store/mensaje/formato_item.h"
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
using test::ItemsPorCarpeta;
using test::Programa;
using test::ReadFile;
using test::Salida;
using test::TmpDir;

constexpr const char* kBorradores = "Borradores";

// A store and servers directory copied from `origen`.
struct Copia {
  TmpDir dir;
  fs::path store() const { return dir / "store"; }
  fs::path servers() const { return dir / "servers"; }
  Programa tablon() const { return Programa(store(), servers()); }
  // The program that ends at a chosen write.
  Programa cortable() const { return Programa(store(), servers(), TABLON_BIN_CHOQUE); }
  explicit Copia(const Copia* origen = nullptr) {
    if (!origen) return;
    fs::copy(origen->store(), store(), fs::copy_options::recursive);
    fs::copy(origen->servers(), servers(), fs::copy_options::recursive);
  }
};

// The exit code of a pass ended at a chosen write.
constexpr int kSalidaAbortoPrueba = 86;

Salida PasadaAbortadaEn(const Copia& c, long n) {
  ::setenv("TABLON_PRUEBA_ABORTA_EN", std::to_string(n).c_str(), 1);
  Salida s = c.cortable().Ejecuta({});
  ::unsetenv("TABLON_PRUEBA_ABORTA_EN");
  return s;
}

// The store without its drafts folder, and the number of drafts.
ItemsPorCarpeta SinBorradores(ItemsPorCarpeta s, size_t* borradores) {
  *borradores = 0;
  for (auto it = s.begin(); it != s.end();) {
    if (it->first == kBorradores) {
      *borradores = it->second.size();
      it = s.erase(it);
    } else {
      ++it;
    }
  }
  return s;
}

class InnChoque : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Inn::Available()) GTEST_SKIP() << "TABLON_INN_PORT is not set: no local INN";
    prefijo_ = Inn::UniqueName("choque");
    grupo_ = prefijo_ + ".hilos";
    Inn::CreateGroup(grupo_);
    Inn::CreateGroup(prefijo_ + ".otro");
  }

  test::Article Articulo(const std::string& local, const std::string& refs, const std::string& grupo = "") {
    test::Article a;
    a.message_id = "<" + local + "." + prefijo_ + "@tablon.test>";
    a.newsgroups = grupo.empty() ? grupo_ : grupo;
    a.subject = "Asunto " + local;
    a.from = "Autor <autor@tablon.test>";
    a.references = refs;
    a.body = "Texto de " + local + "\r\n.línea con punto\r\n";
    return a;
  }

  fs::path CarpetaGrupo(const fs::path& store) const {
    fs::path p = store / "news" / Inn::Host();
    std::string rest = grupo_;
    for (size_t pos; (pos = rest.find('.')) != std::string::npos; rest.erase(0, pos + 1)) p /= rest.substr(0, pos);
    return p / rest;
  }

  // Flags the item of `id` as a mail client does: adds F and S to its file name.
  void Marca(const fs::path& store, const std::string& id) {
    for (const char* sub : {"cur", "new"}) {
      for (const auto& e : fs::directory_iterator(CarpetaGrupo(store) / sub)) {
        const std::string archivo = ReadFile(e.path());
        auto cab = store::mensaje::LeeCabeceraItem(archivo);
        bool es = false;
        for (const auto& p : cab.registro.propiedades) es |= p.Name() == "ArticleID" && p.ComoTexto() == id;
        if (!es) continue;
        std::string nombre = e.path().filename().string();
        const size_t info = nombre.find(":2,");
        std::string flags = (info == std::string::npos ? "" : nombre.substr(info + 3)) + "FS";
        std::sort(flags.begin(), flags.end());
        fs::rename(e.path(), CarpetaGrupo(store) / "cur" / (nombre.substr(0, info) + ":2," + flags));
        return;
      }
    }
    FAIL() << "no item for " << id;
  }

  // The files of the group folder's items (cur/ and new/).
  std::vector<fs::path> Archivos(const fs::path& store) const {
    std::vector<fs::path> r;
    for (const char* sub : {"cur", "new"}) {
      const fs::path d = CarpetaGrupo(store) / sub;
      if (!fs::is_directory(d)) continue;
      for (const auto& e : fs::directory_iterator(d)) r.push_back(e.path());
    }
    std::sort(r.begin(), r.end());
    return r;
  }

  // The group's numbering file in a servers directory.
  std::string Numeracion(const fs::path& servers) const {
    return ArchivoNumeracion((servers / (Inn::Host() + ".numeracion")).string() + "/", grupo_);
  }

  // A pass on `c` and, from the same starting point, a pass asked to read everything
  // (--completa) on a copy: both leave the same store and state files, without duplicates.
  void MismaPasadaQueLaCompleta(const Copia& c, const std::string& que) {
    SCOPED_TRACE(que);
    Copia completa(&c);
    const Salida s = c.tablon().Ejecuta({"--verbose"});
    ASSERT_EQ(s.codigo, 0) << s.err;
    const Salida sc = completa.tablon().Ejecuta({"--completa"});
    ASSERT_EQ(sc.codigo, 0) << sc.err;
    const ItemsPorCarpeta a = test::LeeAlmacen(c.store()), b = test::LeeAlmacen(completa.store());
    EXPECT_EQ(test::Duplicados(a), "");
    EXPECT_EQ(test::Diferencias(a, b), "") << s.out;
    EXPECT_EQ(test::LeeServidores(c.servers(), prefijo_), test::LeeServidores(completa.servers(), prefijo_));
    salida_ = s.out;
  }

  std::string prefijo_, grupo_;
  std::string salida_;  // the last incremental pass's output (--verbose: its trace)
};

void Cancela(const std::string& id) {
  const std::string orden = "/usr/lib/news/bin/ctlinnd -s cancel '" + id + "' >/dev/null 2>&1";
  ASSERT_EQ(std::system(orden.c_str()), 0) << orden;
}

TEST_F(InnChoque, AnIncrementalPassLeavesWhatAFullPassLeavesAfterAnyHistory) {
  // A random history, the same at every run (a fixed seed): new articles and replies (also to
  // cancelled articles), cancels (the server's expiry), items the user deletes, flags or marks
  // read (files renamed as a mail client does), a folder index or numbering deleted or damaged,
  // a pass killed part way. After every step the pass that uses the index and the numbering and
  // the pass that reads everything give the same store.
  Copia c;
  const Programa p = c.tablon();
  ASSERT_EQ(p.Ejecuta({"add-server", Inn::Host()}).codigo, 0);
  ASSERT_EQ(p.Ejecuta({}).codigo, 0);
  ASSERT_EQ(p.Ejecuta({"subscribe", Inn::Host(), grupo_}).codigo, 0);
  std::mt19937 azar(20261208);
  std::vector<std::string> publicados, cancelados;
  int siguiente = 0;
  auto publica = [&](int n) {
    std::vector<test::Article> v;
    for (int i = 0; i < n; ++i) {
      std::string refs;
      const auto tipo = static_cast<unsigned>(azar() % 4);
      if (tipo == 1 && !publicados.empty()) refs = publicados[azar() % publicados.size()];
      if (tipo == 2 && !cancelados.empty()) refs = cancelados[azar() % cancelados.size()];
      v.push_back(Articulo("h" + std::to_string(siguiente++), refs));
      publicados.push_back(v.back().message_id);
    }
    Inn::Post(v);
  };
  publica(12);
  MismaPasadaQueLaCompleta(c, "first pass");
  for (int paso = 0; paso < 14 && !HasFailure(); ++paso) {
    std::string que = "step " + std::to_string(paso) + ":";
    const auto acciones = static_cast<unsigned>(1 + azar() % 3);
    for (unsigned k = 0; k < acciones; ++k) {
      const auto archivos = Archivos(c.store());
      // Every kind of change comes at least once: the first of a step goes round them.
      switch (k == 0 ? static_cast<unsigned>(paso) % 9 : static_cast<unsigned>(azar() % 9)) {
        case 0:
        case 1:
          que += " new articles;";
          publica(1 + static_cast<int>(azar() % 5));
          break;
        case 2:
          if (publicados.size() > 2) {
            que += " cancel;";
            const size_t i = azar() % publicados.size();
            Cancela(publicados[i]);
            cancelados.push_back(publicados[i]);
            publicados.erase(publicados.begin() + static_cast<long>(i));
          }
          break;
        case 3:
          if (!archivos.empty()) {
            que += " item deleted;";
            fs::remove(archivos[azar() % archivos.size()]);
          }
          break;
        case 4:
          if (!archivos.empty()) {
            // A mail client sets F (flag) or S (read): a rename.
            const fs::path f = archivos[azar() % archivos.size()];
            std::string nombre = f.filename().string();
            const size_t info = nombre.find(":2,");
            std::string flags = info == std::string::npos ? "" : nombre.substr(info + 3);
            const char letra = (paso / 8 + k) % 2 == 0 ? 'F' : 'S';
            if (flags.find(letra) == std::string::npos) flags += letra;
            std::sort(flags.begin(), flags.end());
            que += std::string(" item renamed (") + letra + ");";
            fs::rename(f, CarpetaGrupo(c.store()) / "cur" / (nombre.substr(0, info) + ":2," + flags));
          }
          break;
        case 5:
          que += " index deleted or damaged;";
          if (azar() % 2) {
            fs::remove(CarpetaGrupo(c.store()) / ".tablon-indice");
          } else if (fs::exists(CarpetaGrupo(c.store()) / ".tablon-indice")) {
            std::string t = ReadFile(CarpetaGrupo(c.store()) / ".tablon-indice");
            if (t.size() > 40) t[t.size() / 2] ^= 1;
            test::WriteFile(CarpetaGrupo(c.store()) / ".tablon-indice", t);
          }
          break;
        case 6:
          que += " numbering deleted or damaged;";
          if (azar() % 2) {
            fs::remove(Numeracion(c.servers()));
          } else if (fs::exists(Numeracion(c.servers()))) {
            std::string t = ReadFile(Numeracion(c.servers()));
            t.resize(t.size() * 2 / 3);
            test::WriteFile(Numeracion(c.servers()), t);
          }
          break;
        case 7: {
          que += " a pass killed;";
          publica(2);
          const Salida s = PasadaAbortadaEn(c, 5 + static_cast<long>(azar() % 40));
          ASSERT_TRUE(s.codigo == kSalidaAbortoPrueba || s.codigo == 0) << s.err;
          break;
        }
        case 8:
          // The pass before left the folder sealed: this one need not read it.
          que += " nothing;";
          break;
      }
    }
    MismaPasadaQueLaCompleta(c, que);
    std::printf("[ diferencial ] %s\n", que.c_str());
  }
  // The numbering and the index were used: a pass with nothing new asks for nothing old.
  MismaPasadaQueLaCompleta(c, "nothing new");
  EXPECT_EQ(salida_.find("OVER 1-"), std::string::npos) << salida_;
  EXPECT_EQ(salida_.find("copias locales de"), std::string::npos) << salida_;
  EXPECT_NE(salida_.find("sin cambios desde la última pasada"), std::string::npos) << salida_;
}

TEST_F(InnChoque, ARenumberedServerIsNoticedAndTheWholeOverviewIsReadWithoutDuplicates) {
  // The server's numbers no longer name what the kept numbering says (a server rebuilt or
  // renumbered between passes), as the numbering file is made to say: the articles moved up, the
  // high mark lowered, other identifiers at the same numbers. Each time the pass notices it,
  // asks for the whole overview, and leaves the store a full pass leaves, nothing duplicated,
  // nothing lost; items the user deleted meanwhile come back.
  Copia c;
  const Programa p = c.tablon();
  ASSERT_EQ(p.Ejecuta({"add-server", Inn::Host()}).codigo, 0);
  ASSERT_EQ(p.Ejecuta({}).codigo, 0);
  ASSERT_EQ(p.Ejecuta({"subscribe", Inn::Host(), grupo_}).codigo, 0);
  std::vector<test::Article> v;
  for (int i = 0; i < 8; ++i) v.push_back(Articulo("r" + std::to_string(i), i % 3 ? v.back().message_id : ""));
  Inn::Post(v);
  MismaPasadaQueLaCompleta(c, "first pass");
  Fs& fs = FsDelSistema();
  std::string motivo;
  const auto original = LeeNumeracion(fs, Numeracion(c.servers()), grupo_, motivo);
  ASSERT_TRUE(original) << motivo;
  ASSERT_EQ(original->articulos.size(), 8u);
  struct Caso {
    const char* que;
    void (*cambia)(NumeracionGrupo&);
  };
  const Caso casos[] = {
      {"numbers shifted (the same identifiers one number lower)",
       [](NumeracionGrupo& n) {
         for (auto& a : n.articulos) --a.first;
         n.ultimo -= 1;
       }},
      {"the kept high mark above the server's",
       [](NumeracionGrupo& n) {
         n.ultimo += 5;
         n.articulos.back().first += 5;
       }},
      {"other identifiers at the kept numbers",
       [](NumeracionGrupo& n) {
         for (auto& a : n.articulos) a.second = HuellaIdentificador("<otro." + std::to_string(a.first) + "@renumerado.test>");
       }},
  };
  for (const Caso& caso : casos) {
    NumeracionGrupo n = *original;
    caso.cambia(n);
    GuardaNumeracion(fs, Numeracion(c.servers()), n);
    const auto archivos = Archivos(c.store());
    fs::remove(archivos[archivos.size() / 2]);  // deleted by the user meanwhile
    MismaPasadaQueLaCompleta(c, caso.que);
    EXPECT_NE(salida_.find("descartada"), std::string::npos) << caso.que << "\n" << salida_;
    EXPECT_EQ(test::LeeAlmacen(c.store()).at(fs::relative(CarpetaGrupo(c.store()), c.store()).string()).size(), 8u)
        << caso.que;
    motivo.clear();
    EXPECT_EQ(LeeNumeracion(fs, Numeracion(c.servers()), grupo_, motivo), original) << caso.que << ": " << motivo;
  }
}

TEST_F(InnChoque, AKilledPassConvergesOnTheRerunAtEveryWriteOfThePass) {
  // The starting point: a subscribed group whose first articles have header items, three of
  // them flagged, and new articles on the server (replies, a reply to an article of another
  // group, a reply to an article that exists nowhere).
  Copia inicio;
  const Programa base = inicio.tablon();
  ASSERT_EQ(base.Ejecuta({"add-server", Inn::Host()}).codigo, 0);
  ASSERT_EQ(base.Ejecuta({}).codigo, 0);
  ASSERT_EQ(base.Ejecuta({"subscribe", Inn::Host(), grupo_}).codigo, 0);
  const auto a1 = Articulo("a1", ""), a2 = Articulo("a2", a1.message_id), a3 = Articulo("a3", "");
  Inn::Post({a1, a2, a3});
  ASSERT_EQ(base.Ejecuta({}).codigo, 0);
  Marca(inicio.store(), a1.message_id);
  Marca(inicio.store(), a3.message_id);
  const auto lejano = Articulo("lejano", "", prefijo_ + ".otro");
  std::vector<test::Article> nuevos = {lejano, Articulo("b1", a2.message_id), Articulo("b2", ""),
                                       Articulo("b3", "<b2." + prefijo_ + "@tablon.test>"),
                                       Articulo("b4", lejano.message_id),
                                       Articulo("b5", "<nunca." + prefijo_ + "@tablon.test>")};
  for (int i = 1; i <= 12; ++i) {
    nuevos.push_back(Articulo("c" + std::to_string(i), i % 3 == 1 ? "" : nuevos.back().message_id));
  }
  Inn::Post(nuevos);

  // The pass never interrupted, and the second pass after it.
  Copia referencia(&inicio);
  ASSERT_EQ(referencia.tablon().Ejecuta({}).codigo, 0);
  const ItemsPorCarpeta esperado = test::LeeAlmacen(referencia.store());
  const auto esperado_servidores = test::LeeServidores(referencia.servers(), prefijo_);
  ASSERT_EQ(test::Duplicados(esperado), "");
  size_t borradores = 0;
  const ItemsPorCarpeta esperado_sin = SinBorradores(esperado, &borradores);
  ASSERT_EQ(borradores, 0u);
  {
    const auto& grupo = esperado_sin.at(fs::relative(CarpetaGrupo(referencia.store()), referencia.store()).string());
    size_t completos = 0;
    for (const auto& i : grupo) completos += i.clase == "IPM.Note.News.Full";
    ASSERT_EQ(completos, 2u) << "the two flagged items are downloaded";
    ASSERT_EQ(grupo.size(), 22u) << "twenty articles and two placeholders (lejano, nunca)";
  }

  // How many write operations a whole pass makes: the first N at which the pass is not ended.
  long total = 0;
  {
    long lo = 0, hi = 1;  // the pass ends at lo (or lo == 0), completes at hi
    for (;; hi *= 2) {
      Copia c(&inicio);
      Salida s = PasadaAbortadaEn(c, hi);
      if (s.codigo == 0) break;
      ASSERT_EQ(s.codigo, kSalidaAbortoPrueba) << s.err;
      lo = hi;
      ASSERT_LT(hi, 1 << 16);
    }
    while (hi - lo > 1) {
      const long mid = (lo + hi) / 2;
      Copia c(&inicio);
      Salida s = PasadaAbortadaEn(c, mid);
      (s.codigo == 0 ? hi : lo) = mid;
    }
    total = lo;  // writes 1..total each end the pass
  }
  ASSERT_GE(total, 50) << "a pass this size makes at least fifty writes";

  // Every write of the pass, or about 120 spread over it when there are more.
  const long paso = std::max<long>(1, total / 120);
  long puntos = 0, max_borradores = 0;
  for (long n = 1; n <= total; n += paso) {
    SCOPED_TRACE("ended at write " + std::to_string(n) + " of " + std::to_string(total));
    Copia c(&inicio);
    const Programa p = c.tablon();
    Salida cortada = PasadaAbortadaEn(c, n);
    ASSERT_EQ(cortada.codigo, kSalidaAbortoPrueba) << cortada.err;
    Salida otra = p.Ejecuta({});
    ASSERT_EQ(otra.codigo, 0) << otra.err;
    const ItemsPorCarpeta tras = test::LeeAlmacen(c.store());
    EXPECT_EQ(test::Duplicados(tras), "");
    size_t b = 0;
    EXPECT_EQ(test::Diferencias(SinBorradores(tras, &b), esperado_sin), "");
    EXPECT_LE(b, 1u) << "at most the one item the killed pass was writing is left in the drafts";
    max_borradores = std::max<long>(max_borradores, static_cast<long>(b));
    EXPECT_EQ(test::LeeServidores(c.servers(), prefijo_), esperado_servidores);
    // One more pass changes nothing.
    ASSERT_EQ(p.Ejecuta({}).codigo, 0);
    EXPECT_EQ(test::Diferencias(test::LeeAlmacen(c.store()), tras), "");
    ++puntos;
    if (HasFailure()) break;
  }
  std::printf("[ choque ] %ld interruption points over %ld writes of the pass; drafts left at most %ld\n", puntos,
              total, max_borradores);
}

// A store in an IMAP account, kept by a private Dovecot as a Maildir of its own, and the servers
// directory beside it; a copy of another is served by a Dovecot of its own.
struct CopiaImap {
  TmpDir dir;
  std::string capacidades;  // what the server announces ("": Dovecot's own list)
  std::unique_ptr<test::Dovecot> dovecot;
  fs::path buzones() const { return dir / "buzones"; }
  fs::path servers() const { return dir / "servers"; }
  explicit CopiaImap(const CopiaImap* origen, std::string caps = "") : capacidades(origen ? origen->capacidades : caps) {
    if (origen) {
      fs::copy(origen->buzones(), buzones(), fs::copy_options::recursive);
      fs::copy(origen->servers(), servers(), fs::copy_options::recursive);
    } else {
      fs::create_directories(buzones());
      fs::create_directories(servers());
    }
    test::OpcionesDovecot opciones;
    opciones.capacidades = capacidades;
    dovecot = std::make_unique<test::Dovecot>(buzones(), opciones);
  }
  Programa tablon(const std::string& binario = "") const {
    return Programa("imap://" + std::string(test::Dovecot::kUsuario) + "@127.0.0.1:" + std::to_string(dovecot->Port()),
                    servers(), binario);
  }
  // The commands of a pass that change the account, from its trace.
  static long Cambios(const std::string& traza) {
    static const std::regex cambia(R"(^a[0-9]+ (UID )?(APPEND|STORE|EXPUNGE|MOVE|COPY|CREATE)( |$))");
    std::istringstream lineas(traza);
    long n = 0;
    for (std::string l; std::getline(lineas, l);) n += std::regex_search(l, cambia);
    return n;
  }
};

// The same with the store in an IMAP account: the pass killed just before each command that
// changes the account (the APPEND of every new item and of each download's new message, the
// \Deleted and EXPUNGE of the messages they replace), then run again, leaves
// what the pass never interrupted leaves — no duplicate, no lost flag, no lost text — and one
// more pass changes nothing on the server.
TEST_F(InnChoque, AKilledPassIntoAnImapAccountConvergesOnTheRerunAtEveryChangeOfTheAccount) {
  if (!test::Dovecot::Available()) GTEST_SKIP() << "dovecot is not installed";
  TmpDir casa;
  test::WriteFile(casa / ".netrc", std::string("machine 127.0.0.1 login ") + test::Dovecot::kUsuario + " password " +
                                       test::Dovecot::kClave + "\n");
  fs::permissions(casa / ".netrc", fs::perms::owner_read | fs::perms::owner_write);
  const char* home = std::getenv("HOME");
  const std::string home_antes = home ? home : "";
  ::setenv("HOME", casa.str().c_str(), 1);
  const std::string traza = (casa / "traza").string();

  // Against a server that takes many messages in one APPEND (MULTIAPPEND: a pass writes its
  // new items in a few commands), and one that takes them one by one (a command each).
  const struct {
    const char* capacidades;
    long minimo;
  } servidores[] = {{"", 4}, {"IMAP4rev1 LITERAL+ UIDPLUS MOVE CONDSTORE", 10}};
  for (const auto& [capacidades, minimo] : servidores) {
    SCOPED_TRACE(*capacidades ? capacidades : "MULTIAPPEND");
    // Each server its own group and articles.
    const std::string v = *capacidades ? "uno" : "lote";
    if (*capacidades) {
      grupo_ = prefijo_ + ".uno";
      Inn::CreateGroup(grupo_);
    }
    long total = 0;
    [&] {
      auto inicio = std::make_unique<CopiaImap>(nullptr, capacidades);
      {
        const Programa base = inicio->tablon();
        ASSERT_EQ(base.Ejecuta({"add-server", Inn::Host()}).codigo, 0);
        ASSERT_EQ(base.Ejecuta({}).codigo, 0);
        ASSERT_EQ(base.Ejecuta({"subscribe", Inn::Host(), grupo_}).codigo, 0);
      }
      const auto a1 = Articulo(v + "a1", ""), a2 = Articulo(v + "a2", a1.message_id), a3 = Articulo(v + "a3", "");
      Inn::Post({a1, a2, a3});
      ASSERT_EQ(inicio->tablon().Ejecuta({}).codigo, 0);
      {
        // Two items flagged and read on the phone.
        test::ClienteImap telefono(inicio->dovecot->Port());
        telefono.Login(test::Dovecot::kUsuario, test::Dovecot::kClave);
        telefono.Select(fs::relative(CarpetaGrupo(inicio->buzones()), inicio->buzones()).generic_string());
        for (const auto& m : telefono.Lista()) {
          std::string texto = telefono.Cuerpo(m.uid);
          std::erase(texto, '\r');
          const auto cab = store::mensaje::LeeCabeceraItem(texto.substr(0, texto.find("\n\n")));
          for (const auto& p : cab.registro.propiedades) {
            if (p.Name() == "ArticleID" && (p.ComoTexto() == a1.message_id || p.ComoTexto() == a3.message_id)) {
              telefono.ComandoOk("UID STORE " + std::to_string(m.uid) + " +FLAGS (\\Flagged \\Seen)");
            }
          }
        }
      }
      const auto lejano = Articulo(v + "lejano", "", prefijo_ + ".otro");
      Inn::Post({lejano, Articulo(v + "b1", a2.message_id), Articulo(v + "b2", ""), Articulo(v + "b3", lejano.message_id),
                 Articulo(v + "b4", "<" + v + "nunca." + prefijo_ + "@tablon.test>")});
      inicio->dovecot.reset();  // copied at rest

      // The pass never interrupted.
      ItemsPorCarpeta esperado;
      std::map<std::string, std::string> esperado_servidores;
      {
        CopiaImap referencia(inicio.get());
        ::setenv("TABLON_TRAZA_IMAP", traza.c_str(), 1);
        ASSERT_EQ(referencia.tablon().Ejecuta({}).codigo, 0);
        ::unsetenv("TABLON_TRAZA_IMAP");
        total = CopiaImap::Cambios(ReadFile(traza));
        fs::remove(traza);
        referencia.dovecot.reset();
        size_t borradores = 0;
        esperado = SinBorradores(test::LeeAlmacen(referencia.buzones()), &borradores);
        esperado_servidores = test::LeeServidores(referencia.servers(), prefijo_);
        ASSERT_EQ(test::Duplicados(esperado), "");
        const auto& grupo = esperado.at(fs::relative(CarpetaGrupo(referencia.buzones()), referencia.buzones()).string());
        size_t completos = 0;
        for (const auto& i : grupo) completos += i.clase == "IPM.Note.News.Full" && i.banderas.find('F') != std::string::npos;
        ASSERT_EQ(completos, 2u) << "the two flagged items are downloaded, and stay flagged";
        ASSERT_EQ(grupo.size(), 9u) << "seven articles and two placeholders (lejano, nunca)";
      }
      ASSERT_GE(total, minimo) << "six new items, two downloads and the removal of their old messages";

      for (long n = 1; n <= total; ++n) {
        SCOPED_TRACE("ended before change " + std::to_string(n) + " of " + std::to_string(total));
        CopiaImap c(inicio.get());
        ::setenv("TABLON_PRUEBA_ABORTA_IMAP", std::to_string(n).c_str(), 1);
        Salida cortada = c.tablon(TABLON_BIN_CHOQUE).Ejecuta({});
        ::unsetenv("TABLON_PRUEBA_ABORTA_IMAP");
        ASSERT_EQ(cortada.codigo, kSalidaAbortoPrueba) << cortada.err;
        Salida otra = c.tablon().Ejecuta({});
        ASSERT_EQ(otra.codigo, 0) << otra.err;
        ::setenv("TABLON_TRAZA_IMAP", traza.c_str(), 1);
        ASSERT_EQ(c.tablon().Ejecuta({}).codigo, 0);
        ::unsetenv("TABLON_TRAZA_IMAP");
        EXPECT_EQ(CopiaImap::Cambios(ReadFile(traza)), 0) << ReadFile(traza);
        fs::remove(traza);
        c.dovecot.reset();
        const ItemsPorCarpeta tras = test::LeeAlmacen(c.buzones());
        EXPECT_EQ(test::Duplicados(tras), "");
        size_t b = 0;
        EXPECT_EQ(test::Diferencias(SinBorradores(tras, &b), esperado), "");
        EXPECT_EQ(test::LeeServidores(c.servers(), prefijo_), esperado_servidores);
        if (HasFailure()) break;
      }
    }();
    std::printf("[ choque ] %ld interruption points over the account's changes of the pass (%s)\n", total,
                *capacidades ? capacidades : "MULTIAPPEND");
    if (HasFailure()) break;
  }
  ::setenv("HOME", home_antes.c_str(), 1);
}

}  // namespace
}  // namespace tablon
