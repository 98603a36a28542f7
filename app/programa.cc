#include "app/programa.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "app/almacen.h"
#include "app/bloqueo.h"
#include "app/comandos.h"
#include "app/main_frm.h"
#include "app/memoria.h"
#include "app/pantallas.h"
#include "app/sincronizacion.h"
#include "app/traduce.h"
#include "core/error.h"
#include "core/fs.h"
#include "core/paso.h"
#include "news/servidor_news.h"
#include "store/outlook_module.h"

namespace tablon {
namespace {

constexpr int kSalidaBien = 0;
constexpr int kSalidaError = 1;
constexpr int kSalidaUso = 2;
constexpr int kSalidaBloqueado = 3;

constexpr const char* kAyuda = ParaTraducir(
    "Tablón copia grupos de noticias (Usenet) en su almacén de correo: Maildir o cuenta IMAP.\n"
    "\n"
    "Uso:\n"
    "  tablon [opciones]                       una pasada de sincronización\n"
    "  tablon add-server SERVIDOR              define un servidor de noticias\n"
    "                                          (nombre, nombre:puerto o [dirección IPv6]:puerto)\n"
    "  tablon remove-server SERVIDOR           quita la definición del servidor (sus carpetas\n"
    "                                          y su archivo de estado se conservan)\n"
    "  tablon groups SERVIDOR [PATRÓN]         lista los grupos conocidos (X = subscrito)\n"
    "  tablon subscribe SERVIDOR GRUPO...      subscribe grupos\n"
    "  tablon unsubscribe SERVIDOR GRUPO...    anula subscripciones\n"
    "\n"
    "Opciones (antes o después del comando):\n"
    "  --store DIR|URL      almacén: un directorio Maildir o una cuenta IMAP,\n"
    "                       imap[s]://USUARIO@SERVIDOR[:PUERTO][/PREFIJO], con la\n"
    "                       contraseña en ~/.netrc (o TABLON_STORE; por omisión ~/Mail)\n"
    "  --servers-dir DIR    archivos de estado de los servidores (o TABLON_SERVERS_DIR;\n"
    "                       por omisión $XDG_DATA_HOME/tablon/servers)\n"
    "  --once               una sola pasada sin panel: las líneas de Status, una línea por\n"
    "                       grupo subscrito y una línea final con los totales\n"
    "  --verbose            muestra además cada cambio de las etiquetas Servidor, Grupo y\n"
    "                       Mensaje y la traza del protocolo (etiqueta Debug)\n"
    "  -q, --quiet          una sola pasada sin panel que solo muestra los errores (para cron)\n"
    "  --completa           lee cada carpeta de grupo elemento a elemento y pide a cada\n"
    "                       servidor el resumen entero de cada grupo, sin fiarse del índice\n"
    "                       de la carpeta ni de la numeración guardada (que rehace)\n"
    "  --help, --version\n"
    "\n"
    "En un terminal el panel queda abierto tras la pasada: Intro o r hace otra pasada;\n"
    "q, Ctrl-D o Ctrl-C lo cierran. Códigos de salida: 0 bien, 1 error o pasada incompleta\n"
    "(un servidor inalcanzable, escrituras que fallaron: se dice qué), 2 uso incorrecto,\n"
    "3 ya hay otra pasada en curso, 130 pasada interrumpida (Ctrl-C durante la pasada).\n");

// One line for a command line that cannot work: the forms, and where the help is.
constexpr const char* kUso = ParaTraducir(
    "Uso: tablon [opciones] [add-server|remove-server|groups|subscribe|unsubscribe ...] "
    "(«tablon --help» lo explica)\n");

std::string DirectorioPorOmision() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return std::string(xdg) + "/tablon/servers/";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.local/share/tablon/servers/";
}

void MuestraError(const Error& e) {
  std::fflush(stdout);
  // The description may carry a server's text.
  std::fprintf(stderr, "Error %ld: %s\n", e.Number(), TextoVisible(e.Description()).c_str());
}

// One pass, or passes on demand while the panel stays open. Quiet (batch only), nothing but
// errors is printed.
int Sincroniza(bool interactivo, bool verbose, bool quiet) {
  MainFrm& v = Ventana();
  // The lock is held for the length of a pass, not while the panel waits between passes.
  auto pasada = [] {
    Bloqueo bloqueo(DirectorioServidores());
    PasadaEnCurso en_curso;  // a signal from here on stops a pass, not an idle program
    form_load();
  };
  if (verbose) {
    FijaObservadorDeFallos([](const std::string& s) { Ventana().Caption(MainFrm::Debug, "omitido: " + s); });
  }
  if (!interactivo) {
    v.FijaPantalla(std::make_unique<PantallaLineas>(verbose, quiet));
    pasada();
    std::fflush(stdout);
    return kSalidaBien;
  }
  auto pantalla = std::make_unique<PantallaTerminal>();
  PantallaTerminal* panel = pantalla.get();
  v.FijaPantalla(std::move(pantalla));
  do {
    try {
      pasada();
    } catch (const Error& e) {
      // Ctrl-C at the box of a failed pass does not close the panel as a pass that ended well.
      std::optional<PasadaEnCurso> fallida;
      if (e.Number() != errnum::kBloqueado) fallida.emplace();
      v.MsgBox("Error " + std::to_string(e.Number()) + ": " + e.Description());
      if (e.Number() != errnum::kBloqueado) {
        v.FijaPantalla(nullptr);
        MuestraError(e);
        return kSalidaError;
      }
      // Another process is in a pass: this panel stays open, a later Enter may try again.
    }
    panel->Ayuda(Traduce("Intro o r: otra pasada · q, Ctrl-D o Ctrl-C: cerrar"));
  } while (panel->EsperaOtraPasada());
  v.FijaPantalla(nullptr);
  return kSalidaBien;
}

}  // namespace

int EjecutaPrograma(int argc, char** argv) {
  PreparaMemoria(argv);
  PreparaIdioma();
  AtiendeSenales();
  std::vector<std::string> args;
  std::string store_dir, servers_dir;
  bool once = false, verbose = false, quiet = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto valor = [&](const char* opcion) -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, Traduce("Falta el valor de %s\n"), opcion);
        std::exit(kSalidaUso);
      }
      return argv[++i];
    };
    if (a == "--store") {
      store_dir = valor("--store");
    } else if (a.rfind("--store=", 0) == 0) {
      store_dir = a.substr(8);
    } else if (a == "--servers-dir") {
      servers_dir = valor("--servers-dir");
    } else if (a.rfind("--servers-dir=", 0) == 0) {
      servers_dir = a.substr(14);
    } else if (a == "--once") {
      once = true;
    } else if (a == "--verbose" || a == "-v") {
      verbose = true;
    } else if (a == "--quiet" || a == "-q") {
      quiet = true;
    } else if (a == "--completa") {
      FijaLecturaCompleta(true);
    } else if (a == "--help" || a == "-h") {
      std::fputs(Traduce(kAyuda), stdout);
      return kSalidaBien;
    } else if (a == "--version") {
      std::printf("tablon %s\n", TABLON_VERSION);
      return kSalidaBien;
    } else if (a.size() > 1 && a[0] == '-' && a != "--") {
      std::fprintf(stderr, Traduce("Opción desconocida: %s\n%s"), a.c_str(), Traduce(kUso));
      return kSalidaUso;
    } else {
      args.push_back(a);
    }
  }
  if (quiet && verbose) {
    std::fputs(Traduce("-q y --verbose se excluyen: elija una de las dos.\n"), stderr);
    return kSalidaUso;
  }
  if (store_dir.empty()) {
    if (const char* e = std::getenv("TABLON_STORE"); e && *e) store_dir = e;
  }
  if (servers_dir.empty()) {
    if (const char* e = std::getenv("TABLON_SERVERS_DIR"); e && *e) servers_dir = e;
  }
  if (servers_dir.empty()) servers_dir = DirectorioPorOmision();
  if (!store_dir.empty()) {
    try {
      FijaUbicacionAlmacen(store_dir);  // a mistyped URL is refused before anything is made
    } catch (const Error& e) {
      std::fprintf(stderr, "tablon: %s\n", TextoVisible(e.Description()).c_str());
      return kSalidaUso;
    }
  }
  FijaDirectorioServidores(servers_dir);

  try {
    if (args.empty()) {
      // A Maildir store without "news" makes the pass fail before the servers directory is made.
      CompruebaAlmacenLocal();
      // When it cannot be made, the lock's failure next says why.
      Paso([&] { CreaRuta(*FsDelPrograma(), servers_dir, 0777, Traduce("el directorio de servidores")); });
      const bool interactivo = !once && !quiet && ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO);
      return Sincroniza(interactivo, verbose, quiet);
    }
    // A command creates what it needs itself, and nothing when it is refused.
    return EjecutaOrden(args);
  } catch (const Error& e) {
    MuestraError(e);
    return e.Number() == errnum::kBloqueado ? kSalidaBloqueado : kSalidaError;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "Error: %s\n", TextoVisible(e.what()).c_str());
    return kSalidaError;
  }
}

}  // namespace tablon
