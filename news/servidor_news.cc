#include "news/servidor_news.h"

#include <cerrno>
#include <charconv>

#include "core/error.h"
#include "core/fs.h"
#include "core/paso.h"
#include "core/traduce.h"
#include "news/archivo_estado.h"
#include "store/outlook_module.h"

namespace tablon {

namespace {

std::string& Directorio() {
  static std::string dir;
  return dir;
}

// Line 2 of the state file: a whole number, surrounding blanks ignored.
std::int64_t LeeCuenta(const std::string& text) {
  size_t b = text.find_first_not_of(' ');
  size_t e = text.find_last_not_of(' ');
  if (b == std::string::npos) throw Error(errnum::kTipoNoCoincide, Traduce("Falta el número de grupos"));
  std::int64_t n = 0;
  const char* first = text.data() + b;
  const char* last = text.data() + e + 1;
  auto [ptr, ec] = std::from_chars(first, last, n);
  if (ec != std::errc() || ptr != last) {
    throw Error(errnum::kTipoNoCoincide, Formatea(Traduce("Número de grupos no válido: «%s»"), {text}));
  }
  return n;
}

std::string SufijoApartado() {
  PartesFecha p = Fecha::Ahora().Partes();
  char buf[64];
  std::snprintf(buf, sizeof buf, ".ilegible-%04d%02d%02d-%02d%02d%02d", p.anio, p.mes, p.dia, p.hora,
                p.minuto, p.segundo);
  return buf;
}

// A listed name the state file and the store cannot keep apart from others is refused (the
// step is skipped): a control character (a CR or LF would split the group's state-file line in
// two, a NUL cannot be sent to the server), a blank (ends the name in the state file), or a
// trailing dot (its folder chain would be the one of the name without the dot).
void CompruebaNombreGrupo(const std::string& nombre) {
  bool valido = nombre.back() != '.';
  for (unsigned char c : nombre) valido &= c > 0x20 && c != 0x7f;
  if (!valido) {
    std::string visible;
    for (unsigned char c : nombre) visible += c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
    throw Error(errnum::kArgumentoNoValido, Formatea(Traduce("Nombre de grupo no válido en la lista del servidor: «%s»"), {visible}));
  }
}

}  // namespace

void FijaDirectorioServidores(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  Directorio() = std::move(dir);
}

const std::string& DirectorioServidores() { return Directorio(); }

void CompruebaHost(const std::string& host) {
  bool control = false;
  for (unsigned char c : host) control |= c < 0x20 || c == 0x7f;
  if (host.empty() || host == "." || host == ".." || host.find('/') != std::string::npos || control) {
    std::string visible;
    for (unsigned char c : host) visible += c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
    throw Error(errnum::kArgumentoNoValido,
                Formatea(Traduce("El nombre de servidor «%s» no es válido: no puede estar vacío, ser «.» o «..», ni "
                                 "contener «/» o caracteres de control"), {visible}));
  }
}

void ServidorNews::Grupos(std::shared_ptr<ColeccionGrupos> v) {
  if (!v) throw Error(errnum::kTipoNoCoincide, Traduce("No coinciden los tipos: se esperaba una colección de grupos"));
  grupos_ = std::move(v);
}

void ServidorNews::init_from_msg(const std::shared_ptr<store::Item>& servidor) {
  email_address_ = kDireccionRemitente;
  host_ = servidor->UserProperties().Item(kPropServidor).ComoTexto();
  CompruebaHost(host_);
  filename_ = DirectorioServidores() + host_ + ".txt";
  std::shared_ptr<store::Folder> news = servidor->Parent();
  if (!news) throw Error(errnum::kObjetoNoEncontrado, Formatea(Traduce("El mensaje del servidor %s no está en ninguna carpeta"), {host_}));
  carpeta_servidor_ = BuscaOCreaCarpeta(*news, host_);
  load();
}

void ServidorNews::Connect() {
  nntp::Control& c = *control_;
  c.SenderAddress(email_address_);
  c.UserName("");
  c.Password("");
  c.ConnectOption(true);
  c.Host(host_);
  c.SinceDate(FormatoControl(fecha_chequeo_));
  c.Command(nntp::kConectar);
}

void ServidorNews::Disconnect() { control_->Command(nntp::kDesconectar); }

void ServidorNews::Reconecta() {
  const nntp::Control& c = *control_;
  if (c.Connected() || !c.FalloConexion() || reconexion_fallida_) return;
  if (!Paso([&] { Connect(); })) reconexion_fallida_ = true;
}

void ServidorNews::load() {
  std::unique_ptr<LectorEstado> file;
  try {
    file = std::make_unique<LectorEstado>(filename_);
  } catch (const Error&) {
    fecha_chequeo_ = kFechaInicial;  // no file: the server's first run
    return;
  }
  bool vacio = true;
  bool completo = true;
  // Line 1: the check date.
  completo &= Paso([&] {
    std::optional<std::string> line = file->LeeLinea();
    if (!line) throw Error(errnum::kArchivoNoEncontrado, Traduce("El archivo de estado está vacío"));
    vacio = false;
    std::optional<Fecha> f = LeeFormatoEstado(*line);
    if (!f) throw Error(errnum::kTipoNoCoincide, Formatea(Traduce("Fecha de comprobación no válida: «%s»"), {*line}));
    fecha_chequeo_ = *f;
  });
  // Line 2: the number of group lines.
  std::int64_t n = 0;
  completo &= Paso([&] {
    std::optional<std::string> line = file->LeeLinea();
    if (!line) throw Error(errnum::kArchivoNoEncontrado, Traduce("Falta el número de grupos"));
    n = LeeCuenta(*line);
  });
  for (std::int64_t i = 0; i < n; ++i) {
    auto grupo = std::make_shared<GrupoNews>();
    grupo->CarpetaServidor(carpeta_servidor_);
    bool fin = false;
    completo &= Paso([&] {
      try {
        grupo->load(*file);
      } catch (const Error& e) {
        if (grupo->Nombre().empty() && e.Number() == errnum::kArchivoNoEncontrado) fin = true;
        throw;
      }
    });
    if (fin) break;  // fewer lines than announced: the groups read so far stay
    grupo->ControlNews(control_);
    Paso([&] { grupos_->Add(grupo, grupo->Nombre()); });
  }
  lectura_incompleta_ = !completo && !vacio;
}

void ServidorNews::save() {
  EscritorEstado file(filename_);
  file.EscribeLinea(FormatoEstado(fecha_chequeo_));
  file.EscribeLinea(" " + std::to_string(grupos_->size()) + " ");
  for (const auto& grupo : *grupos_) grupo->save(file);
  if (lectura_incompleta_) {
    // Keep the file that could not be read whole under a second name before replacing it.
    std::string apartado = filename_ + SufijoApartado();
    if (FsDelPrograma()->Link(filename_, apartado) != 0 && errno != ENOENT) {
      throw Error::DeErrno(errno, Formatea(Traduce("no se pudo apartar el archivo de estado dañado %s"), {filename_}));
    }
    archivo_apartado_ = apartado;
    lectura_incompleta_ = false;
  }
  file.Confirma();
}

Fecha DesdeFechaGruposNuevos(Fecha chequeo) {
  return Fecha::DesdeUnix(chequeo.AUnix() - kMargenGruposNuevos);
}

void ServidorNews::GetNewGroups() {
  nntp::Control& c = *control_;
  // Read before asking: a group the server creates while it answers is after this moment.
  const Fecha ahora = Fecha::Ahora();
  c.SinceDate(FormatoControl(DesdeFechaGruposNuevos(fecha_chequeo_)));
  // The first subscribed group is the first one the pass works on (the new groups are added
  // unsubscribed): its overview is asked for behind NEWGROUPS, one round trip for both.
  for (const std::shared_ptr<GrupoNews>& g : *grupos_) {
    if (!g->Subscrito()) continue;
    g->AnticipaTrasGruposNuevos();
    break;
  }
  c.Command(nntp::kListarGruposNuevos);
  fecha_chequeo_ = ahora;
  const std::int64_t n = c.NewGroupCount();
  for (std::int64_t i = 0; i < n; ++i) {
    Paso([&] { AgregaGrupoNuevo(c.NewGroupLine(i)); });
  }
}

void ServidorNews::AgregaGrupoNuevo(const std::string& line) {
  std::string nombre = line.substr(0, line.find(' '));
  if (nombre.empty() || grupos_->Contiene(nombre)) return;
  CompruebaNombreGrupo(nombre);
  auto grupo = std::make_shared<GrupoNews>();
  grupo->Nombre(nombre);
  grupo->ControlNews(control_);
  grupo->FechaUltimoMensaje(kFechaInicial);
  grupos_->Add(std::move(grupo), nombre);
}

}  // namespace tablon
