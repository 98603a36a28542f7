// The server state file: its exact bytes, the reading rules of its lines, that neither a failed
// write nor a damaged file ever costs the user a subscription, and who may read it; the group
// numbering kept beside it, and what a pass decides from it.
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

#include <gtest/gtest.h>

#include "app/bloqueo.h"
#include "core/error.h"
#include "core/huella.h"
#include "news/decision_resumen.h"
#include "news/numeracion_grupo.h"
#include "news/servidor_news.h"
#include "support/tmpdir.h"

namespace tablon {
namespace {

using test::ReadFile;
using test::TmpDir;
using test::WriteFile;

// A server record bound to a state file only (no store, no connection).
std::unique_ptr<ServidorNews> Servidor(const std::filesystem::path& file) {
  auto s = std::make_unique<ServidorNews>();
  s->filename(file.string());
  return s;
}

std::shared_ptr<GrupoNews> Grupo(const std::string& nombre, Fecha fecha, bool subscrito) {
  auto g = std::make_shared<GrupoNews>();
  g->Nombre(nombre);
  g->FechaUltimoMensaje(fecha);
  g->Subscrito(subscrito);
  return g;
}

TEST(EstadoServidor, TheExampleFileIsWrittenByteForByteAndReadsBack) {
  TmpDir dir;
  auto s = Servidor(dir / "news.example.txt");
  s->FechaChequeoGrupos(*Fecha::DesdePartes({1990, 1, 2, 7, 5, 46}));
  s->Grupos()->Add(Grupo("comp.lang.c", kFechaInicial, true), "comp.lang.c");
  s->Grupos()->Add(Grupo("alt.test", kFechaInicial, false), "alt.test");
  s->save();
  EXPECT_EQ(ReadFile(dir / "news.example.txt"),
            "02/01/1990 7:05:46\r\n 2 \r\ncomp.lang.c 01/01/1990 X\r\nalt.test 01/01/1990 \r\n");

  auto r = Servidor(dir / "news.example.txt");
  r->load();
  EXPECT_EQ(r->FechaChequeoGrupos().Segundos(), s->FechaChequeoGrupos().Segundos());
  ASSERT_EQ(r->Grupos()->size(), 2u);
  EXPECT_EQ((*r->Grupos())[0]->Nombre(), "comp.lang.c");
  EXPECT_TRUE((*r->Grupos())[0]->Subscrito());
  EXPECT_EQ((*r->Grupos())[1]->Nombre(), "alt.test");
  EXPECT_FALSE((*r->Grupos())[1]->Subscrito());
  EXPECT_EQ((*r->Grupos())[1]->FechaUltimoMensaje(), kFechaInicial);
  // Nothing damaged: nothing kept aside.
  r->save();
  EXPECT_EQ(r->ArchivoApartado(), "");
}

TEST(EstadoServidor, GroupLinesAreReadToTheLetter) {
  TmpDir dir;
  WriteFile(dir / "s.txt",
            "02/01/1990 7:05:46\r\n 9 \r\n"
            "a.sub 03/04/2001 X\r\n"       // subscribed, dated
            "b.blank 03/04/2001 \r\n"      // unsubscribed
            "c.lower 03/04/2001 x\r\n"     // lower-case x: unsubscribed
            "d.trail 03/04/2001 X \r\n"    // blank after X: unsubscribed
            "e.twoblanks  X\r\n"           // empty date field: 1990, subscribed
            "f.alone\r\n"                  // a name alone
            "A.SUB 01/01/1990 \r\n"        // same name in other letter case: dropped
            "g.baddate 31/02/2001 X\r\n"   // not a date: kept with its name, date zero, unsubscribed
            "h.lf 01/01/1990 X\n");        // a line ended by LF alone still reads
  auto s = Servidor(dir / "s.txt");
  s->load();
  struct Want {
    const char* nombre;
    bool subscrito;
    Fecha fecha;
  } want[] = {
      {"a.sub", true, *Fecha::DesdePartes({2001, 4, 3})},
      {"b.blank", false, *Fecha::DesdePartes({2001, 4, 3})},
      {"c.lower", false, *Fecha::DesdePartes({2001, 4, 3})},
      {"d.trail", false, *Fecha::DesdePartes({2001, 4, 3})},
      {"e.twoblanks", true, kFechaInicial},
      {"f.alone", false, kFechaInicial},
      {"g.baddate", false, Fecha(0)},
      {"h.lf", true, kFechaInicial},
  };
  ASSERT_EQ(s->Grupos()->size(), std::size(want));
  for (size_t i = 0; i < std::size(want); ++i) {
    const auto& g = *(*s->Grupos())[i];
    EXPECT_EQ(g.Nombre(), want[i].nombre);
    EXPECT_EQ(g.Subscrito(), want[i].subscrito) << want[i].nombre;
    EXPECT_EQ(g.FechaUltimoMensaje(), want[i].fecha) << want[i].nombre;
  }
}

TEST(EstadoServidor, ShortOrOddFilesNeverRaise) {
  TmpDir dir;
  struct Case {
    const char* name;
    const char* content;  // nullptr: no file at all
    double fecha;
    size_t grupos;
  } cases[] = {
      {"missing", nullptr, 32874.0, 0},
      {"empty", "", 0.0, 0},
      {"count zero", "01/01/1990\r\n 0 \r\nignored 01/01/1990 X\r\n", 32874.0, 0},
      {"count above lines", "01/01/1990\r\n 5 \r\na 01/01/1990 X\r\nb 01/01/1990 \r\n", 32874.0, 2},
      {"bad count", "01/01/1990\r\n dos \r\na 01/01/1990 X\r\n", 32874.0, 0},
      {"negative count", "01/01/1990\r\n -3 \r\na 01/01/1990 X\r\n", 32874.0, 0},
      {"bad date line", "ayer\r\n 1 \r\na 01/01/1990 X\r\n", 0.0, 1},
  };
  for (const auto& c : cases) {
    auto path = dir / (std::string(c.name) + ".txt");
    if (c.content) WriteFile(path, c.content);
    auto s = Servidor(path);
    EXPECT_NO_THROW(s->load()) << c.name;
    EXPECT_EQ(s->FechaChequeoGrupos().Dias(), c.fecha) << c.name;
    EXPECT_EQ(s->Grupos()->size(), c.grupos) << c.name;
  }
}

TEST(EstadoServidor, ADamagedFileIsKeptAsideBeforeItIsReplaced) {
  TmpDir dir;
  const std::string damaged = "01/01/1990\r\n 3 \r\nkeep.me 01/01/1990 X\r\nbroken 99/99/1990 X\r\n";
  WriteFile(dir / "s.txt", damaged);
  auto s = Servidor(dir / "s.txt");
  s->load();
  s->save();
  ASSERT_NE(s->ArchivoApartado(), "");
  EXPECT_EQ(ReadFile(s->ArchivoApartado()), damaged);
  EXPECT_NE(ReadFile(dir / "s.txt"), damaged);
  // The groups that could be read are in the new file, subscriptions included.
  auto r = Servidor(dir / "s.txt");
  r->load();
  ASSERT_GE(r->Grupos()->size(), 1u);
  EXPECT_TRUE(r->Grupos()->Miembro("keep.me")->Subscrito());
}

TEST(EstadoServidor, AFailedWriteLeavesThePreviousFileWhole) {
  TmpDir dir;
  auto s = Servidor(dir / "s.txt");
  s->FechaChequeoGrupos(kFechaInicial);
  s->Grupos()->Add(Grupo("first.group", kFechaInicial, true), "first.group");
  s->save();
  const std::string before = ReadFile(dir / "s.txt");

  for (int i = 0; i < 20000; ++i) {
    std::string n = "group.number." + std::to_string(i);
    s->Grupos()->Add(Grupo(n, kFechaInicial, false), n);
  }
  // A full disk, as the kernel reports it to a writer past its file-size limit.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 4096;
  setrlimit(RLIMIT_FSIZE, &small);
  EXPECT_THROW(s->save(), Error);
  setrlimit(RLIMIT_FSIZE, &old);

  EXPECT_EQ(ReadFile(dir / "s.txt"), before);
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) files += e.is_regular_file();
  EXPECT_EQ(files, 1u) << "the temporary file is removed";

  // A directory that does not exist: an error, nothing created.
  auto t = Servidor(dir / "no-such-dir" / "s.txt");
  EXPECT_THROW(t->save(), Error);
}

TEST(EstadoServidor, AHundredThousandGroupsLoadAndSave) {
  TmpDir dir;
  auto s = Servidor(dir / "big.txt");
  s->FechaChequeoGrupos(kFechaInicial);
  for (int i = 0; i < 100000; ++i) {
    std::string n = "big.group." + std::to_string(i);
    s->Grupos()->Add(Grupo(n, kFechaInicial, i % 1000 == 0), n);
  }
  s->save();
  auto r = Servidor(dir / "big.txt");
  r->load();
  ASSERT_EQ(r->Grupos()->size(), 100000u);
  EXPECT_TRUE(r->Grupos()->Miembro("big.group.99000")->Subscrito());
  EXPECT_FALSE(r->Grupos()->Miembro("big.group.99999")->Subscrito());
  r->save();
  EXPECT_EQ(ReadFile(dir / "big.txt").size(), std::filesystem::file_size(dir / "big.txt"));
}

TEST(EstadoServidor, HostsThatCouldLeaveTheirDirectoryAreRefused) {
  for (const std::string& host : std::vector<std::string>{"", ".", "..", "../x", "a/b", std::string("a\0b", 3), "a\nb", "a\tb"}) {
    EXPECT_THROW(CompruebaHost(host), Error) << host;
  }
  for (const std::string host : {"news.example.com", "127.0.0.1:11119", "[::1]:119", " blank ", "UPPER", "..x"}) {
    EXPECT_NO_THROW(CompruebaHost(host)) << host;
  }
}

// State files tell which groups the user reads: only the owner may read them, whatever the umask,
// whatever mode an older file or a temporary file left by a killed writer had. So does the lock.
TEST(EstadoServidor, StateAndLockFilesAreTheOwnersOnly) {
  const mode_t umask_antes = ::umask(0);
  struct Caso {
    const char* name;
    const char* antes;  // a file there already: "s.txt" or "s.txt.nuevo" (mode 0666), or none
  } casos[] = {{"new file", nullptr}, {"older file", "s.txt"}, {"leftover temporary file", "s.txt.nuevo"}};
  for (const Caso& c : casos) {
    TmpDir dir;
    if (c.antes) {
      WriteFile(dir / c.antes, "01/01/1990\r\n 0 \r\n");
      std::filesystem::permissions(dir / c.antes, std::filesystem::perms(0666));
    }
    auto s = Servidor(dir / "s.txt");
    s->load();
    s->save();
    EXPECT_EQ(static_cast<int>(std::filesystem::status(dir / "s.txt").permissions()), 0600) << c.name;
  }
  TmpDir dir;
  { Bloqueo bloqueo(dir.str()); }
  EXPECT_EQ(static_cast<int>(std::filesystem::status(dir / ".tablon.lock").permissions()), 0600);
  ::umask(umask_antes);
}

// The group numbering a pass keeps for the next one: read back exactly as written, and never
// trusted when it is missing, cut, changed, of another version or of another group.
TEST(NumeracionGrupo, ReadsBackWhatWasWrittenAndNothingDamagedOrForeign) {
  TmpDir dir;
  Fs& fs = FsDelSistema();
  const std::string ruta = ArchivoNumeracion(dir.str() + "/srv.numeracion/", "es.test");
  NumeracionGrupo n{"es.test", 3, 9, 5, {{3, HuellaIdentificador("<a@x>")}, {4, 0}, {7, HuellaIdentificador("<b c@x>")},
                                          {9, HuellaIdentificador("<d@x>")}}};
  std::string motivo;
  EXPECT_FALSE(LeeNumeracion(fs, ruta, "es.test", motivo));
  EXPECT_EQ(motivo, "no hay");
  GuardaNumeracion(fs, ruta, n);
  EXPECT_EQ(LeeNumeracion(fs, ruta, "es.test", motivo), n) << motivo;
  const std::string bueno = ReadFile(ruta);
  struct Caso {
    const char* que;
    std::string texto;
    const char* grupo;
    const char* motivo;
  };
  // The head alone: the marks, the top article with an identifier, the articles' fingerprint.
  const auto cabecera = LeeCabeceraNumeracion(fs, ruta, "es.test", motivo);
  ASSERT_TRUE(cabecera) << motivo;
  EXPECT_EQ(*cabecera, CabeceraDe(n));
  EXPECT_EQ(cabecera->numero_alto, 9);
  EXPECT_EQ(cabecera->huella_alta, HuellaIdentificador("<D@x>")) << "letter case folded";
  EXPECT_EQ(HuellaIdentificador(""), 0u);
  std::string cambiado = bueno;
  char& digito = cambiado[cambiado.find("\n7 ") + 3];
  digito = digito == '0' ? '1' : '0';
  std::string marcas = bueno;
  marcas[marcas.find("3 9 5")] = '4';
  // Articles changed and the file's checksum made again: the head no longer describes them.
  std::string rehecho = bueno.substr(0, bueno.rfind("fin "));
  rehecho.replace(rehecho.find("\n7 ") + 3, 16, Hex64(HuellaIdentificador("<e@x>")));
  rehecho += "fin 4 " + Hex64(Fnv1a(rehecho)) + "\n";
  const Caso casos[] = {
      {"cut", bueno.substr(0, bueno.size() - 5), "es.test", "dañado (cortado)"},
      {"cut at a line end", bueno.substr(0, bueno.find("\n7 ") + 1), "es.test", "dañado (suma o cuenta)"},
      {"a byte changed", cambiado, "es.test", "dañado (suma o cuenta)"},
      {"a mark changed", marcas, "es.test", "dañado (cabecera)"},
      {"articles that are not the head's", rehecho, "es.test", "dañado (cabecera)"},
      {"another version", "tablon-numeracion 1" + bueno.substr(bueno.find('\n')), "es.test", "de otro formato o versión"},
      {"empty", "", "es.test", "dañado (cortado)"},
      {"another group's", bueno, "es.otro", "de otro grupo"},
  };
  for (const Caso& c : casos) {
    WriteFile(ruta, c.texto);
    motivo.clear();
    EXPECT_FALSE(LeeNumeracion(fs, ruta, c.grupo, motivo)) << c.que;
    EXPECT_EQ(motivo, c.motivo) << c.que;
    // The head is read alone: it stands while its own lines do.
    const bool cabeza_sana = !c.texto.empty() && std::string_view(c.que) != "a mark changed" &&
                             std::string_view(c.que) != "another version" && std::string_view(c.que) != "another group's";
    EXPECT_EQ(LeeCabeceraNumeracion(fs, ruta, c.grupo, motivo).has_value(), cabeza_sana) << c.que;
  }
  BorraNumeracion(fs, ruta);
  BorraNumeracion(fs, ruta);  // already gone: no failure
  EXPECT_FALSE(std::filesystem::exists(ruta));
}

TEST(NumeracionGrupo, EveryGroupNameGetsAFileOfItsOwnInsideTheDirectory) {
  const std::string largo(300, 'x');
  const struct {
    std::string grupo, archivo;
  } casos[] = {
      {"comp.lang.c++", "d/comp.lang.c++"},
      {".oculto", "d/%2Eoculto"},
      {"a/../b", "d/a%2F..%2Fb"},
      {"es.ñ", "d/es.%C3%B1"},
      {"100%", "d/100%25"},
  };
  for (const auto& c : casos) EXPECT_EQ(ArchivoNumeracion("d/", c.grupo), c.archivo) << c.grupo;
  const std::string a = ArchivoNumeracion("d/", largo + "a"), b = ArchivoNumeracion("d/", largo + "b");
  EXPECT_LE(a.size(), 202u);
  EXPECT_NE(a, b) << "names cut at the same place stay apart";
}

// What a pass asks for in a group and whether the numbering it kept still holds, taken from the
// numbers alone: one row per behaviour, each reason the trace's text.
TEST(DecisionResumen, APassAsksOnlyForWhatTheKeptNumberingLacksAndDropsItWhenTheServerDisagrees) {
  const auto h = [](int k) { return HuellaIdentificador("<" + std::to_string(k) + "@x>"); };
  // Kept: low 3, high 9, count 4; article 5 had no identifier.
  const NumeracionGrupo previa{"g", 3, 9, 4, {{3, h(3)}, {5, 0}, {7, h(7)}, {9, h(9)}}};
  const CabeceraNumeracion cabecera = CabeceraDe(previa);
  const ArticuloGuardado alto{9, h(9)};
  // Before the overview: above the kept high mark, or all of it and why.
  EXPECT_EQ(PrimeroPedido(cabecera), 10);
  EXPECT_EQ(MotivoResumenEntero(false, cabecera, ""), std::nullopt);
  EXPECT_EQ(PrimeroPedido(std::nullopt), 0) << "a first pass asks for the whole overview";
  EXPECT_EQ(MotivoResumenEntero(false, std::nullopt, "no hay"), "no hay");
  EXPECT_EQ(MotivoResumenEntero(true, cabecera, ""), "lectura completa pedida");
  // A folder sealed for the kept head: nothing to do only while nothing moved, once STAT agrees.
  const struct {
    const char* que;
    MarcasGrupo ahora;
    bool leidos, hay_lineas, sin_cambios;
  } sellados[] = {
      {"nothing new", {3, 9, 4}, true, false, true},
      {"new lines", {3, 10, 5}, true, true, false},
      {"an expired article", {5, 9, 3}, true, false, false},
      {"the overview failed", {3, 9, 4}, false, false, false},
  };
  for (const auto& c : sellados) {
    const DecisionSellada d = SinCambios(cabecera, c.ahora, c.leidos, c.hay_lineas);
    EXPECT_EQ(d.sin_cambios, c.sin_cambios) << c.que;
    EXPECT_EQ(d.comprobar, c.sin_cambios ? std::optional(alto) : std::nullopt) << c.que;
  }
  // The kept numbering against the GROUP reply and the overview's lines.
  const struct {
    const char* que;
    MarcasGrupo ahora;
    ArticulosNumerados nuevos;
    std::string motivo;
    std::int64_t caducados, lista_desde, lista_hasta;  // lista 0-0: no LISTGROUP
  } casos[] = {
      {"nothing new", {3, 9, 4}, {}, "", 0, 0, 0},
      {"new articles above the high mark", {3, 12, 6}, {{11, h(11)}, {12, h(12)}}, "", 0, 0, 0},
      {"an article listed again below the kept high mark", {3, 10, 5}, {{9, h(9)}, {10, h(10)}}, "", 0, 0, 0},
      {"the first articles expired", {6, 11, 3}, {{11, h(11)}}, "", 2, 0, 0},
      {"the count moved unexplained", {3, 9, 3}, {}, "", 0, 3, 9},
      {"expired and cancelled", {4, 10, 3}, {{10, h(10)}}, "", 1, 5, 9},
      {"the high mark went down", {3, 8, 4}, {}, "la marca alta bajó de 9 a 8", 0, 0, 0},
      {"the low mark passed the kept high mark", {10, 12, 2}, {}, "la marca baja 10 pasó la alta guardada 9", 0, 0, 0},
      {"an unknown article below the kept high mark", {3, 10, 5}, {{8, h(8)}, {10, h(10)}},
       "el servidor da el artículo 8 por debajo de la marca guardada", 0, 0, 0},
      {"another article at a kept number", {3, 10, 5}, {{7, h(70)}}, "el servidor da el artículo 7 por debajo de la marca guardada", 0, 0, 0},
  };
  for (const auto& c : casos) {
    const ExamenNumeracion e = ExaminaNumeracion(previa, c.ahora, c.nuevos);
    EXPECT_EQ(e.motivo, c.motivo) << c.que;
    if (!e.motivo.empty()) continue;
    EXPECT_EQ(e.caducados, c.caducados) << c.que;
    EXPECT_EQ(e.comprobar, alto) << c.que << ": the kept top article is checked (STAT)";
    EXPECT_EQ(e.lista, c.lista_hasta != 0) << c.que;
    EXPECT_EQ(e.lista_desde, c.lista_desde) << c.que;
    EXPECT_EQ(e.lista_hasta, c.lista_hasta) << c.que;
  }
  // The answers to STAT and LISTGROUP.
  EXPECT_EQ(MotivoArticulo(alto, true, "<9@X>"), "") << "letter case ignored";
  EXPECT_EQ(MotivoArticulo(alto, true, "<otro@x>"), "el artículo 9 es ahora otro, <otro@x>");
  EXPECT_EQ(MotivoArticulo(alto, true, std::nullopt), "el artículo 9 ya no está");
  EXPECT_EQ(MotivoArticulo(alto, false, std::nullopt), "no se pudo comprobar el artículo 9");
  const ConciliacionListado retirado = ConciliaListado(previa.articulos, {9, 3, 7});
  EXPECT_EQ(retirado.motivo, "");
  EXPECT_EQ(retirado.quedan, (ArticulosNumerados{{3, h(3)}, {7, h(7)}, {9, h(9)}})) << "5 was cancelled";
  EXPECT_EQ(ConciliaListado(previa.articulos, {3, 4}).motivo, "el servidor lista el artículo 4, que la numeración no tenía");
  // The kept articles the folder lacks are asked for again; those the server no longer lists go.
  std::vector<std::uint64_t> presentes{h(9), h(3)};
  std::sort(presentes.begin(), presentes.end());
  EXPECT_EQ(ArticulosAusentes(previa.articulos, presentes), std::vector<std::int64_t>{7}) << "5 has no identifier";
  EXPECT_EQ(ArticulosListados(previa.articulos, 5, 7, {{5, 0}}), (ArticulosNumerados{{3, h(3)}, {5, 0}, {9, h(9)}}));
  // The next pass's numbering: the kept one, the new marks, each line up to the high mark once.
  const NumeracionGrupo nueva = NumeracionNueva(previa, "g", {4, 11, 5}, {{12, h(12)}, {11, h(11)}, {10, h(10)}, {11, h(11)}});
  EXPECT_EQ(nueva, (NumeracionGrupo{"g", 4, 11, 5, {{3, h(3)}, {5, 0}, {7, h(7)}, {9, h(9)}, {10, h(10)}, {11, h(11)}}}));
}

}  // namespace
}  // namespace tablon
