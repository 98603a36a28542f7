// The IMAP session: locations read into their parts; a private Dovecot logged into plainly, over
// implicit TLS and after STARTTLS, with certificates and credentials it must refuse, and
// pipelined commands; a scripted peer for what a real server does not do (synchronizing
// literals, floods, endless and lying literals, BYE, silence, a dropped connection).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/error.h"
#include "store/imap/sesion_imap.h"
#include "support/dovecot.h"
#include "support/peer.h"
#include "support/tmpdir.h"

namespace tablon::store::imap {
namespace {

using test::Dovecot;
using test::Peer;
using test::Step;
using Then = test::Step::Then;

// --- Locations ---------------------------------------------------------------------------

TEST(UbicacionImap, ReadsGoodLocations) {
  struct Caso {
    std::string texto;
    bool tls;
    std::string usuario, host;
    std::uint16_t puerto;
    std::vector<std::string> prefijo;
    std::string descrita;
  };
  const std::vector<Caso> casos = {
      {"imap://ana@mail.example.org", false, "ana", "mail.example.org", 143, {}, "imap://ana@mail.example.org:143"},
      {"IMAPS://ana@mail.example.org", true, "ana", "mail.example.org", 993, {}, "imaps://ana@mail.example.org:993"},
      {"imap://ana@h:1143/", false, "ana", "h", 1143, {}, "imap://ana@h:1143"},
      {"imaps://ana%40example.org@h:10993/news", true, "ana@example.org", "h", 10993, {"news"},
       "imaps://ana%40example.org@h:10993/news"},
      {"imap://ana@[::1]:2143/Archivo/news", false, "ana", "::1", 2143, {"Archivo", "news"},
       "imap://ana@[::1]:2143/Archivo/news"},
      {"imap://ana@[2001:db8::5]", false, "ana", "2001:db8::5", 143, {}, "imap://ana@[2001:db8::5]:143"},
      {"imap://a%20b@h/Caf%C3%A9/%2Fraro", false, "a b", "h", 143, {"Café", "/raro"},
       "imap://a%20b@h:143/Café/%2Fraro"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.texto);
    const auto u = AnalizaUbicacionImap(c.texto);
    ASSERT_TRUE(u);
    EXPECT_EQ(u->tls_implicito, c.tls);
    EXPECT_EQ(u->usuario, c.usuario);
    EXPECT_EQ(u->host, c.host);
    EXPECT_EQ(u->puerto, c.puerto);
    EXPECT_EQ(u->prefijo, c.prefijo);
    EXPECT_EQ(u->Describe(), c.descrita);
  }
}

TEST(UbicacionImap, RefusesBadLocations) {
  struct Caso {
    std::string texto;
    std::string motivo;  // part of the error's text
  };
  const std::vector<Caso> casos = {
      {"imap://mail.example.org", "falta el usuario"},
      {"imap://@h", "usuario está vacío"},
      {"imap://ana:secreto@h", "no puede llevar contraseña"},
      {"imap://ana@", "falta el nombre del servidor"},
      {"imap://ana@:143", "falta el nombre del servidor"},
      {"imap://ana@h:0", "puerto"},
      {"imap://ana@h:65536", "puerto"},
      {"imap://ana@h:12x", "puerto"},
      {"imap://ana@h:", "puerto"},
      {"imap://ana@::1", "corchetes"},
      {"imap://ana@[::1", "falta el \"]\""},
      {"imap://ana@[::1]x", "tras \"]\""},
      {"imap://ana@[nombre]", "IPv6"},
      {"imap://ana@h/news//x", "parte vacía"},
      {"imap://ana@h/news/", "parte vacía"},
      {"imap://ana@h/%2", "escape \"%\" mal formado"},
      {"imap://ana@h/%zz", "escape \"%\" mal formado"},
      {"imap://an%0Aa@h", "caracteres de control"},
      {"imap://ana@h/a%00b", "caracteres de control"},
      {"imap://ana@h/a\rb", "caracteres de control"},
      {"imap://ana@h/a b", "blancos"},
      {"imap://ana@b@h", "\"%40\""},
      {"imap://ana@h%31", "no es válido"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.texto);
    try {
      AnalizaUbicacionImap(c.texto);
      ADD_FAILURE() << "accepted";
    } catch (const Error& e) {
      EXPECT_EQ(e.Number(), errnum::kArgumentoNoValido);
      EXPECT_NE(e.Description().find(c.motivo), std::string::npos) << e.Description();
      EXPECT_EQ(e.Description().find("secreto"), std::string::npos) << "a password is never shown";
    }
  }
  for (const char* otra : {"", "maildir:/x", "/home/ana/Mail", "imap:/ana@h", "imapx://ana@h", "pop3://ana@h"}) {
    EXPECT_FALSE(AnalizaUbicacionImap(otra)) << otra;
  }
}

// --- Helpers -----------------------------------------------------------------------------

// A netrc file of its own (mode 0600) with `lineas`.
class Netrc {
 public:
  explicit Netrc(const std::string& lineas) {
    test::WriteFile(dir_ / "netrc", lineas);
    chmod((dir_ / "netrc").c_str(), 0600);
  }
  std::string Ruta() const { return (dir_ / "netrc").string(); }

 private:
  test::TmpDir dir_;
};

std::string EntradaDovecot(const std::string& host = "127.0.0.1", const std::string& clave = Dovecot::kClave) {
  return "machine " + host + " login " + Dovecot::kUsuario + " password " + clave + "\n";
}

UbicacionImap Ubicacion(std::uint16_t puerto, bool tls = false, const std::string& host = "127.0.0.1") {
  UbicacionImap u;
  u.tls_implicito = tls;
  u.usuario = Dovecot::kUsuario;
  u.host = host;
  u.puerto = puerto;
  return u;
}

// The error `f` raises (nullopt when it raises none), and how long it took.
struct Fallo {
  std::optional<Error> error;
  std::chrono::milliseconds tardo{0};
};
Fallo Captura(const std::function<void()>& f) {
  const auto inicio = std::chrono::steady_clock::now();
  Fallo r;
  try {
    f();
  } catch (const Error& e) {
    r.error = e;
  }
  r.tardo = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - inicio);
  return r;
}

// A private Dovecot, with a store directory the mail uid may write.
class ConDovecot : public ::testing::Test {
 protected:
  void Arranca(test::OpcionesDovecot opciones = {}) {
    if (!Dovecot::Available()) GTEST_SKIP() << "Dovecot is not installed";
    std::filesystem::create_directories(dir_ / "almacen");
    dovecot_.emplace(dir_ / "almacen", opciones);
  }
  OpcionesSesion Opciones(const Netrc& netrc) const {
    OpcionesSesion o;
    o.timeout = std::chrono::milliseconds(5000);
    o.ruta_netrc = netrc.Ruta();
    o.traza = [this](std::string_view l) { traza_.emplace_back(l); };
    return o;
  }
  bool Trazado(std::string_view fragmento) const {
    for (const std::string& l : traza_) {
      if (l.find(fragmento) != std::string::npos) return true;
    }
    return false;
  }

  test::TmpDir dir_;
  std::optional<Dovecot> dovecot_;
  mutable std::vector<std::string> traza_;
};

// --- Against Dovecot ---------------------------------------------------------------------

TEST_F(ConDovecot, LogsInPlainlyAndPipelinesAppends) {
  Arranca();
  if (IsSkipped()) return;
  // Another account's entry for the same host comes first: the location's user picks its own.
  const Netrc netrc("machine 127.0.0.1 login otro password x\n" + EntradaDovecot());
  auto s = SesionImap::Abre(Ubicacion(dovecot_->Port()), Opciones(netrc));
  EXPECT_TRUE(s->Tiene("imap4rev1"));
  EXPECT_TRUE(s->Tiene("LITERAL+"));
  EXPECT_TRUE(Trazado("LOGIN tablon ********"));
  EXPECT_FALSE(Trazado(Dovecot::kClave)) << "the password is masked in the trace";

  s->Ejecuta("CREATE prueba");
  constexpr int kMensajes = 50;
  std::vector<std::uint64_t> etiquetas;
  for (int i = 0; i < kMensajes; ++i) {
    const std::string mensaje = "Subject: m" + std::to_string(i) + "\r\n\r\ncuerpo " + std::to_string(i) + "\r\n";
    etiquetas.push_back(s->Envia(Comando{"APPEND prueba (\\Seen) ", {{mensaje, ""}}}));
  }
  std::set<std::uint32_t> anunciados;
  for (const std::uint64_t e : etiquetas) {
    const Completado c = s->Espera(e);
    ASSERT_TRUE(c.Ok()) << c.texto;
    ASSERT_TRUE(c.codigo && c.codigo->nombre == "APPENDUID");
    anunciados.insert(*AnalizaNumero(c.codigo->argumentos.substr(c.codigo->argumentos.find(' ') + 1)));
  }
  EXPECT_EQ(anunciados.size(), static_cast<std::size_t>(kMensajes));
  EXPECT_TRUE(Trazado("a3 APPEND prueba (\\Seen) {25+}")) << "LITERAL+: no wait for a continuation";

  std::set<std::uint32_t> vistos;
  std::vector<std::string> cuerpos;
  s->FijaManejador([&](Respuesta& r) {
    if (r.nombre != "FETCH") return;
    Fetch f = AnalizaFetch(std::move(r));
    vistos.insert(*f.uid);
    for (const SeccionFetch& sec : f.secciones) cuerpos.push_back(*sec.bytes);
  });
  s->Ejecuta("SELECT prueba");
  s->Ejecuta("UID FETCH 1:* (UID BODY.PEEK[TEXT])");
  EXPECT_EQ(vistos, anunciados);
  ASSERT_EQ(cuerpos.size(), static_cast<std::size_t>(kMensajes));
  EXPECT_EQ(cuerpos[7], "cuerpo 7\r\n");

  // A NO is the caller's to judge: the session stays in step.
  const auto fallo = Captura([&] { s->Ejecuta("SELECT no-existe"); });
  ASSERT_TRUE(fallo.error);
  EXPECT_EQ(fallo.error->Number(), errnum::kProtocolo);
  EXPECT_NE(fallo.error->Description().find("SELECT no-existe"), std::string::npos) << fallo.error->Description();
  EXPECT_TRUE(s->Ejecuta("NOOP").Ok());
  // So does a command refused before it is sent.
  const auto mal = Captura([&] { s->Envia(Comando{"NOOP\r\na9 LOGOUT", {}}); });
  ASSERT_TRUE(mal.error);
  EXPECT_EQ(mal.error->Number(), errnum::kArgumentoNoValido);
  EXPECT_TRUE(s->Ejecuta("NOOP").Ok());
}

TEST_F(ConDovecot, RefusesWhatCannotLogIn) {
  Arranca();
  if (IsSkipped()) return;
  struct Caso {
    const char* nombre;
    std::string netrc;
    long errnum;
    std::string texto;
  };
  const std::vector<Caso> casos = {
      {"wrong password", EntradaDovecot("127.0.0.1", "otra-clave"), errnum::kCredenciales, "rechazó el usuario"},
      {"no entry for the host", EntradaDovecot("otro.example"), errnum::kCredenciales, "No hay contraseña"},
      {"an entry for another login", "machine 127.0.0.1 login otro password x\n", errnum::kCredenciales,
       "No hay contraseña"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    const Netrc netrc(c.netrc);
    const auto f = Captura([&] { SesionImap::Abre(Ubicacion(dovecot_->Port()), Opciones(netrc)); });
    ASSERT_TRUE(f.error);
    EXPECT_EQ(f.error->Number(), c.errnum) << f.error->Description();
    EXPECT_NE(f.error->Description().find(c.texto), std::string::npos) << f.error->Description();
    EXPECT_EQ(f.error->Description().find("otra-clave"), std::string::npos);
  }
}

TEST_F(ConDovecot, TlsImplicitAndStartTls) {
  const test::TlsIdentity id;
  test::OpcionesDovecot con_tls;
  con_tls.tls = &id;
  Arranca(con_tls);
  if (IsSkipped()) return;
  const Netrc netrc(EntradaDovecot());
  struct Caso {
    const char* nombre;
    bool imaps;
    bool como_remoto;
  };
  for (const Caso& c : {Caso{"imaps", true, false}, Caso{"STARTTLS", false, false},
                        Caso{"STARTTLS before a remote peer's password", false, true}}) {
    SCOPED_TRACE(c.nombre);
    traza_.clear();
    OpcionesSesion o = Opciones(netrc);
    o.archivo_confianza = id.CertFile();
    o.loopback_como_remoto = c.como_remoto;
    auto s = SesionImap::Abre(Ubicacion(c.imaps ? dovecot_->PortImaps() : dovecot_->Port(), c.imaps), o);
    EXPECT_TRUE(s->Ejecuta("NOOP").Ok());
    EXPECT_EQ(Trazado("STARTTLS"), !c.imaps);
    // After STARTTLS the capabilities are asked again and no longer offer it.
    EXPECT_FALSE(s->Tiene("STARTTLS"));
  }
}

TEST_F(ConDovecot, RefusesCertificatesItCannotTrust) {
  if (!Dovecot::Available()) GTEST_SKIP() << "Dovecot is not installed";
  const test::TlsIdentity otro("DNS:otro.example");
  test::OpcionesDovecot con_tls;
  con_tls.tls = &otro;
  Arranca(con_tls);
  const Netrc netrc(EntradaDovecot());
  struct Caso {
    const char* nombre;
    std::string confianza;
    bool imaps;
    std::string texto;
  };
  const std::vector<Caso> casos = {
      {"untrusted, imaps", "", true, "no es de confianza"},
      {"untrusted, STARTTLS", "", false, "no es de confianza"},
      {"another host's name", otro.CertFile(), true, "no es de confianza para 127.0.0.1"},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    OpcionesSesion o = Opciones(netrc);
    o.archivo_confianza = c.confianza;
    const auto f = Captura([&] { SesionImap::Abre(Ubicacion(c.imaps ? dovecot_->PortImaps() : dovecot_->Port(), c.imaps), o); });
    ASSERT_TRUE(f.error);
    EXPECT_EQ(f.error->Number(), errnum::kTls) << f.error->Description();
    EXPECT_NE(f.error->Description().find(c.texto), std::string::npos) << f.error->Description();
  }
}

// --- Against a scripted peer -------------------------------------------------------------

constexpr const char* kPreauth = "* PREAUTH [CAPABILITY IMAP4rev1] listo\r\n";
constexpr const char* kPreauthLiteralMas = "* PREAUTH [CAPABILITY IMAP4rev1 LITERAL+] listo\r\n";

struct CasoPeer {
  const char* nombre;
  std::vector<Step> guion;
  std::function<void(OpcionesSesion&)> ajusta;  // may be empty
  std::function<void(SesionImap&)> accion;     // after opening; may be empty
  long errnum;                                 // 0: none expected
  std::string texto;                           // part of the error's text
};

void Juega(const CasoPeer& c) {
  SCOPED_TRACE(c.nombre);
  Peer peer(c.guion);
  const Netrc netrc("machine 127.0.0.1 login ana password clave\n");
  OpcionesSesion o;
  o.timeout = std::chrono::milliseconds(2000);
  o.ruta_netrc = netrc.Ruta();
  if (c.ajusta) c.ajusta(o);
  UbicacionImap u;
  u.usuario = "ana";
  u.host = "127.0.0.1";
  u.puerto = peer.Port();
  std::unique_ptr<SesionImap> s;
  const auto f = Captura([&] {
    s = SesionImap::Abre(u, o);
    if (c.accion) c.accion(*s);
  });
  if (c.errnum == 0) {
    EXPECT_FALSE(f.error) << f.error->Description();
  } else {
    ASSERT_TRUE(f.error);
    EXPECT_EQ(f.error->Number(), c.errnum) << f.error->Description();
    EXPECT_NE(f.error->Description().find(c.texto), std::string::npos) << f.error->Description();
    EXPECT_LT(f.tardo.count(), 1500) << "a fault is met within the bounds, not at a later wait";
    if (s) {
      // Out of step from then on.
      const auto despues = Captura([&] { s->Ejecuta("NOOP"); });
      ASSERT_TRUE(despues.error);
      EXPECT_EQ(despues.error->Number(), errnum::kConexionCerrada);
    }
  }
  s.reset();
  peer.Stop();
  // A LOGIN the script does not expect (a password sent where it must not be) fails here.
  EXPECT_EQ(peer.Failures(), "");
}

TEST(SesionImapPeer, Logins) {
  const std::vector<CasoPeer> casos = {
      {"no password in clear to a remote peer without STARTTLS",
       {{"", "* OK [CAPABILITY IMAP4rev1] hola\r\n"}},
       [](OpcionesSesion& o) { o.loopback_como_remoto = true; },
       nullptr,
       errnum::kCredenciales,
       "sin cifrar"},
      {"PREAUTH in the clear from a remote peer",
       {{"", kPreauth}},
       [](OpcionesSesion& o) { o.loopback_como_remoto = true; },
       nullptr,
       errnum::kCredenciales,
       "PREAUTH por una conexión sin cifrar"},
      {"LOGINDISABLED",
       {{"", "* OK [CAPABILITY IMAP4rev1 LOGINDISABLED] hola\r\n"}},
       nullptr,
       nullptr,
       errnum::kCredenciales,
       "LOGINDISABLED"},
      {"a loopback peer may take it in clear; the capabilities asked after the login",
       {{"", "* OK hola\r\n"},
        {"a1 CAPABILITY", "* CAPABILITY IMAP4rev1\r\na1 OK\r\n"},
        {"a2 LOGIN ana clave", "a2 OK hecho\r\n"},
        {"a3 CAPABILITY", "* CAPABILITY IMAP4rev1 MOVE\r\na3 OK\r\n"}},
       nullptr,
       [](SesionImap& s) {
         EXPECT_TRUE(s.Tiene("move"));
         EXPECT_FALSE(s.Tiene("LITERAL+"));
       },
       0,
       ""},
      {"greeted with BYE", {{"", "* BYE demasiadas conexiones\r\n", Then::kClose}}, nullptr, nullptr,
       errnum::kProtocolo, "demasiadas conexiones"},
      {"not an IMAP server", {{"", "200 news.example ready\r\n", Then::kSilence}}, nullptr, nullptr,
       errnum::kProtocolo, "El servidor IMAP ana@127.0.0.1"},
      {"an untagged greeting that is not one", {{"", "* 3 EXISTS\r\n", Then::kSilence}}, nullptr, nullptr,
       errnum::kProtocolo, "no saludó como un servidor IMAP"},
      {"clear text after STARTTLS's OK",
       {{"", "* OK [CAPABILITY IMAP4rev1 STARTTLS] hola\r\n"},
        {"a1 STARTTLS", "a1 OK adelante\r\n* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\n", Then::kSilence}},
       nullptr,
       nullptr,
       errnum::kProtocolo,
       "sin cifrar tras aceptar STARTTLS"},
  };
  for (const CasoPeer& c : casos) Juega(c);
}

TEST(SesionImapPeer, Literals) {
  auto append = [](std::string bytes) {
    return [bytes](SesionImap& s) { s.Ejecuta(Comando{"APPEND INBOX ", {{bytes, ""}}}); };
  };
  const std::vector<CasoPeer> casos = {
      {"synchronizing: waits for the continuation",
       {{"", kPreauth}, {"a1 APPEND INBOX {4}", "+ adelante\r\n"}, {"hola", "a1 OK [APPENDUID 7 3] hecho\r\n"}},
       nullptr,
       [](SesionImap& s) {
         const Completado c = s.Ejecuta(Comando{"APPEND INBOX ", {{"hola", ""}}});
         ASSERT_TRUE(c.codigo);
         EXPECT_EQ(c.codigo->argumentos, "7 3");
       },
       0,
       ""},
      {"synchronizing: refused instead of continued, the session in step",
       {{"", kPreauth}, {"a1 APPEND INBOX {4}", "a1 NO [TOOBIG] demasiado\r\n"}, {"a2 NOOP", "a2 OK\r\n"}},
       nullptr,
       [](SesionImap& s) {
         const auto f = Captura([&] { s.Ejecuta(Comando{"APPEND INBOX ", {{"hola", ""}}}); });
         ASSERT_TRUE(f.error);
         EXPECT_NE(f.error->Description().find("TOOBIG"), std::string::npos);
         s.Ejecuta("NOOP");
       },
       0,
       ""},
      {"LITERAL- within 4096 bytes goes at once, beyond waits",
       {{"", "* PREAUTH [CAPABILITY IMAP4rev1 LITERAL-] listo\r\n"},
        {"a1 APPEND INBOX {4+}", ""},
        {"hola", "a1 OK\r\n"},
        {"a2 APPEND INBOX {5000}", "+ adelante\r\n"},
        {std::string(5000, 'x'), "a2 OK\r\n"}},
       nullptr,
       [](SesionImap& s) {
         s.Ejecuta(Comando{"APPEND INBOX ", {{"hola", ""}}});
         s.Ejecuta(Comando{"APPEND INBOX ", {{std::string(5000, 'x'), ""}}});
       },
       0,
       ""},
      {"a literal announced beyond the bound is refused at once",
       {{"", kPreauth}, {"a1 NOOP", "* 1 FETCH (BODY[] {99999999999}\r\n", Then::kSilence}},
       [](OpcionesSesion& o) { o.limites.literal = 1 << 20; },
       [](SesionImap& s) { s.Ejecuta("NOOP"); },
       errnum::kProtocolo,
       "127.0.0.1"},
      {"a huge literal that trickles ends at the deadline",
       {{"", kPreauth}, {"a1 NOOP", "* 1 FETCH (BODY[] {1000000}\r\n", Then::kDrip, "x"}},
       [](OpcionesSesion& o) { o.timeout = std::chrono::milliseconds(300); },
       [](SesionImap& s) { s.Ejecuta("NOOP"); },
       errnum::kTiempoAgotado,
       "Tiempo agotado"},
      {"a literal longer than announced",
       {{"", kPreauth}, {"a1 NOOP", "* 1 FETCH (BODY[] {3}\r\nabcdef)\r\na1 OK\r\n", Then::kSilence}},
       nullptr,
       [](SesionImap& s) { s.Ejecuta("NOOP"); },
       errnum::kProtocolo,
       "El servidor IMAP ana@127.0.0.1"},
      {"the connection dropped in the middle of an APPEND",
       {{"", kPreauthLiteralMas}, {"a1 APPEND INBOX {8388608+}", "", Then::kClose}},
       nullptr,
       append(std::string(8 << 20, 'y')),
       errnum::kConexionCerrada,
       "la conexión (enviando \"APPEND INBOX\")"},
  };
  for (const CasoPeer& c : casos) Juega(c);
}

TEST(SesionImapPeer, HostileServers) {
  auto entregadas = std::make_shared<std::uint64_t>(0);
  const std::vector<CasoPeer> casos = {
      {"an untagged flood",
       {{"", kPreauth}, {"a1 NOOP", "", Then::kEndless, "* OK x\r\n"}},
       [](OpcionesSesion& o) { o.max_no_etiquetadas = 1000; },
       [entregadas](SesionImap& s) {
         s.FijaManejador([entregadas](Respuesta&) { ++*entregadas; });
         s.Ejecuta("NOOP");
       },
       errnum::kProtocolo,
       "más de 1000 respuestas sin etiqueta"},
      {"a handler that raises",
       {{"", kPreauth}, {"a1 NOOP", "* 3 EXISTS\r\na1 OK\r\n"}},
       nullptr,
       [](SesionImap& s) {
         s.FijaManejador([](Respuesta&) { throw Error(errnum::kObjetoNoEncontrado, "el manejador falla"); });
         s.Ejecuta("NOOP");
       },
       errnum::kObjetoNoEncontrado,
       "el manejador falla"},
      {"BYE in the middle of a command",
       {{"", kPreauth}, {"a1 NOOP", "* BYE me apago\r\n", Then::kClose}},
       nullptr,
       [](SesionImap& s) { s.Ejecuta("NOOP"); },
       errnum::kProtocolo,
       "cerró la sesión: \"BYE me apago\""},
      {"silence",
       {{"", kPreauth}, {"a1 NOOP", "", Then::kSilence}},
       [](OpcionesSesion& o) { o.timeout = std::chrono::milliseconds(300); },
       [](SesionImap& s) { s.Ejecuta("NOOP"); },
       errnum::kTiempoAgotado,
       "no respondió en 300 ms"},
      {"a completion for a tag never sent",
       {{"", kPreauth}, {"a1 NOOP", "a7 OK\r\n", Then::kSilence}},
       nullptr,
       [](SesionImap& s) { s.Ejecuta("NOOP"); },
       errnum::kProtocolo,
       "no se le envió (etiqueta \"a7\")"},
      {"a continuation nobody asked for",
       {{"", kPreauth}, {"a1 NOOP", "+ sigue\r\n", Then::kSilence}},
       nullptr,
       [](SesionImap& s) { s.Ejecuta("NOOP"); },
       errnum::kProtocolo,
       "continuación"},
  };
  for (const CasoPeer& c : casos) Juega(c);
  EXPECT_EQ(*entregadas, 1000u) << "the flood is handed over up to its bound, then refused";
}

TEST(SesionImapPeer, PipelinesAtMost128) {
  // The 129th command goes out only once the first has completed.
  std::vector<Step> guion = {{"", kPreauth}};
  for (int i = 1; i <= 128; ++i) guion.push_back({"a" + std::to_string(i) + " NOOP", i == 128 ? "a1 OK\r\n" : ""});
  std::string resto;
  for (int i = 2; i <= 129; ++i) resto += "a" + std::to_string(i) + " OK\r\n";
  guion.push_back({"a129 NOOP", resto});
  auto traza = std::make_shared<std::vector<std::string>>();
  Juega({"128 in flight",
         guion,
         [traza](OpcionesSesion& o) { o.traza = [traza](std::string_view l) { traza->emplace_back(l); }; },
         [](SesionImap& s) {
           std::vector<std::uint64_t> etiquetas;
           for (int i = 0; i < 129; ++i) etiquetas.push_back(s.Envia(Comando{"NOOP", {}}));
           EXPECT_EQ(etiquetas.back(), 129u);
           s.EsperaTodos();
           EXPECT_THROW(s.Espera(1), Error) << "a completion is returned once";
         },
         0,
         ""});
  Juega({"EsperaTodos waits for every command, then raises the first refusal",
         {{"", kPreauth},
          {"a1 NOOP", ""},
          {"a2 SELECT x", ""},
          {"a3 SELECT y", "a3 NO [NONEXISTENT] y\r\na2 NO [NONEXISTENT] x\r\na1 OK\r\n"},
          {"a4 NOOP", "a4 OK\r\n"}},
         nullptr,
         [](SesionImap& s) {
           s.Envia(Comando{"NOOP", {}});
           s.Envia(Comando{"SELECT x", {}});
           s.Envia(Comando{"SELECT y", {}});
           const auto f = Captura([&] { s.EsperaTodos(); });
           ASSERT_TRUE(f.error);
           EXPECT_NE(f.error->Description().find("a \"SELECT x\""), std::string::npos) << f.error->Description();
           EXPECT_TRUE(s.Ejecuta("NOOP").Ok());
         },
         0,
         ""});
  const auto completado = std::find(traza->begin(), traza->end(), "a1 OK");
  const auto enviado = std::find(traza->begin(), traza->end(), "a129 NOOP");
  ASSERT_NE(enviado, traza->end());
  EXPECT_LT(completado, enviado);
}

}  // namespace
}  // namespace tablon::store::imap
