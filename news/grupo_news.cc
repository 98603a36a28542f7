// GrupoNews's own record: its construction, its state-file line, its folder chain and entry post
// in the store, and the local copies its folder holds. The rest of its work is in files of its
// own: the overview and the numbering (news/encabezados_grupo.cc), the header items and their
// threads (news/hilos_grupo.cc), the downloads (news/descargas_grupo.cc). The header,
// news/grupo_news.h, says what each member does.
#include "news/grupo_news.h"

#include "core/error.h"
#include "core/paso.h"
#include "core/traduce.h"
#include "news/archivo_estado.h"
#include "store/outlook_module.h"
#include "text/cadena.h"

namespace tablon {

namespace {
bool& LecturaCompletaPedida() {
  static bool v = false;
  return v;
}
}  // namespace

void FijaLecturaCompleta(bool v) { LecturaCompletaPedida() = v; }
bool LecturaCompleta() { return LecturaCompletaPedida(); }

namespace {
constexpr const char* kClaseEntrada = "IPM.Post.News.Subscripcion";
}

GrupoNews::GrupoNews() : mensajes_(std::make_shared<ColeccionMensajes>()) {}

void GrupoNews::mensajes(std::shared_ptr<ColeccionMensajes> v) {
  if (!v) throw Error(errnum::kTipoNoCoincide, Traduce("No coinciden los tipos: se esperaba una colección de mensajes"));
  mensajes_ = std::move(v);
}

void GrupoNews::Subscrito(bool v) {
  subscrito_ = v;
  ActualizaCarpetaGrupo();
}

void GrupoNews::Nombre(std::string v) {
  nombre_ = std::move(v);
  ActualizaCarpetaGrupo();
}

// ---- Folder chain ----------------------------------------------------------------------------

void GrupoNews::ActualizaCarpetaGrupo() {
  // A record read without the store (the subscription commands) has no server folder and
  // resolves nothing.
  if (!subscrito_ || !carpeta_servidor_) return;
  std::string ruta = Nombre();  // a copy: the walk consumes it
  carpeta_grupo_ = BuscaOCreaRuta(carpeta_servidor_, ruta);
}

std::shared_ptr<store::Folder> GrupoNews::BuscaOCreaRuta(const std::shared_ptr<store::Folder>& carpeta,
                                                         std::string& ruta) {
  std::shared_ptr<store::Folder> cur = carpeta;
  std::string componente;
  while (!ruta.empty()) {
    SeparaCadena(ruta, ".", componente, ruta);
    if (!cur) throw Error(errnum::kObjetoNoEncontrado, Traduce("El grupo no tiene carpeta de servidor"));
    cur = BuscaOCreaCarpeta(*cur, componente);
  }
  return cur;
}

// ---- Entry post ------------------------------------------------------------------------------

void GrupoNews::CreaEntradaGrupo() {
  if (!carpeta_servidor_) throw Error(errnum::kObjetoNoEncontrado, Formatea(Traduce("El grupo %s no tiene carpeta de servidor"), {nombre_}));
  std::string filtro = "[Asunto] = \"";
  // A double quote inside the filter text is written twice.
  for (char c : nombre_) {
    filtro += c;
    if (c == '"') filtro += '"';
  }
  filtro += '"';
  std::shared_ptr<store::Item> entrada = carpeta_servidor_->Find(filtro);
  if (entrada) {
    store::ComoPost(entrada);
    return;
  }
  entrada = OutlookApp->CreateItem(0);
  entrada->SetSubject(nombre_);
  entrada->SetMessageClass(kClaseEntrada);
  entrada->Close(0);
  entrada->Move(*carpeta_servidor_);
  entrada->SetUnRead(true);
  entrada->Save();
}

// ---- State-file line -------------------------------------------------------------------------

void GrupoNews::save(EscritorEstado& file) const {
  std::string line = nombre_;
  line += ' ';
  line += FormatoEstado(fecha_ultimo_);
  line += ' ';
  if (subscrito_) line += 'X';
  file.EscribeLinea(line);
}

void GrupoNews::load(LectorEstado& file) {
  std::optional<std::string> line = file.LeeLinea();
  if (!line) throw Error(errnum::kArchivoNoEncontrado, Traduce("El archivo de estado termina antes de lo anunciado"));
  std::string resto, campo_fecha, marca;
  SeparaCadena(*line, " ", nombre_, resto);
  SeparaCadena(resto, " ", campo_fecha, marca);
  if (campo_fecha.empty()) {
    fecha_ultimo_ = kFechaInicial;
  } else {
    std::optional<Fecha> f = LeeFormatoEstado(campo_fecha);
    if (!f) throw Error(errnum::kTipoNoCoincide, Formatea(Traduce("Fecha no válida en el archivo de estado: %s"), {campo_fecha}));
    fecha_ultimo_ = *f;
  }
  subscrito_ = marca == "X";
  ActualizaCarpetaGrupo();
}

// ---- Local copies ----------------------------------------------------------------------------

std::string GrupoNews::ClaveLocal(const std::shared_ptr<store::Item>& item) {
  try {
    store::ComoNota(item);
  } catch (const std::exception&) {
    return std::string();  // not an article item (LeeCopiasLocales tells it)
  }
  MessageNews m;
  Paso([&] { m.OutlookMsg(item); });
  // The message keeps what it needs (its identifier); the item's fields are read again if
  // ever used (the subject, when a new article answers this one).
  m.SueltaCampos();
  return m.id;
}

void GrupoNews::LeeCopiasLocales() {
  copias_diferidas_ = false;
  sin_cambios_ = false;
  Paso([&] {
    RequiereCarpeta();
    indice_ = carpeta_grupo_->Indice();
  });
  // A folder sealed by a pass that left it complete for the numbering kept now (and nothing
  // flagged waiting for its text), and that holds the very files it held then, is not read
  // unless the server has something new (LeeEncabezados decides).
  if (indice_ && cabecera_ && !LecturaCompleta()) {
    const auto sello = indice_->LeeSello();
    if (sello && *sello == cabecera_->Vinculo()) {
      copias_diferidas_ = true;
      return;
    }
    Traza(Formatea(Traduce("copias locales de %s: la carpeta cambió desde la última pasada o no tiene sello"), {nombre_}));
  }
  CargaCopiasLocales();
}

void GrupoNews::CargaCopiasLocales() {
  copias_diferidas_ = false;
  std::vector<store::ItemIndexado> items;
  Paso([&] {
    RequiereCarpeta();
    if (!indice_) indice_ = carpeta_grupo_->Indice();
    std::string informe;
    items = indice_->Lee(&GrupoNews::ClaveLocal, !LecturaCompleta(), informe);
    if (!informe.empty()) Traza(Formatea(Traduce("copias locales de %s: %s"), {nombre_, informe}));
  });
  mensajes_->reserve(items.size());
  for (auto& x : items) {
    bool es_nota = Paso([&] { store::ComoNota(x.item); });
    if (!es_nota) continue;  // not an article item: passed over
    // An item without an identifier cannot be recognised against the server's lines: it is
    // kept in the store but joins no key.
    if (x.clave.empty()) continue;
    auto m = std::make_shared<MessageNews>();
    m->id = std::move(x.clave);
    m->AdoptaItem(std::move(x.item));
    Paso([&] { mensajes_->Add(m, m->id); });
  }
}

// ---- Shared by the group's work --------------------------------------------------------------

void GrupoNews::Traza(const std::string& texto) const {
  if (control_ && control_->Debug) control_->Debug("tablon: " + texto + "\r\n");
}

void GrupoNews::RequiereCarpeta() const {
  if (!carpeta_grupo_) throw Error(errnum::kObjetoNoEncontrado, Formatea(Traduce("El grupo %s no tiene carpeta"), {nombre_}));
}

}  // namespace tablon
