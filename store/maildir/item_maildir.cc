#include "store/maildir/item_maildir.h"

#include "core/error.h"
#include "core/paso.h"
#include "core/traduce.h"
#include "store/maildir/nombre_archivo.h"

namespace tablon::store::maildir {

namespace {
constexpr const char* kBorradores = "Borradores";
// How often a save follows a file that a mail client renamed under it before giving up.
constexpr int kIntentosCarrera = 8;
// What an item whose file another program deleted says, by what it was doing.
constexpr const char* kNoLeer =
    ParaTraducir("No se pudo leer " "el elemento «%s»: ya no está en «%s» (otro programa lo borró)");
constexpr const char* kNoGuardar =
    ParaTraducir("No se pudo guardar " "el elemento «%s»: ya no está en «%s» (otro programa lo borró)");
constexpr const char* kNoMarcar =
    ParaTraducir("No se pudo marcar " "el elemento «%s»: ya no está en «%s» (otro programa lo borró)");
constexpr const char* kNoMover =
    ParaTraducir("No se pudo mover " "el elemento «%s»: ya no está en «%s» (otro programa lo borró)");

// The drafts folder: found (or made) once per store, then named from memory.
std::shared_ptr<CarpetaMaildir> CarpetaBorradores(const std::shared_ptr<Contexto>& ctx) {
  if (!ctx->RutaBorradores().empty()) {
    return std::make_shared<CarpetaMaildir>(ctx, ctx->RutaBorradores(), kBorradores);
  }
  auto carpeta = std::static_pointer_cast<CarpetaMaildir>(CarpetaRaiz(ctx)->AddFolder(kBorradores));
  ctx->RutaBorradores(carpeta->Ruta());
  return carpeta;
}
}  // namespace

ItemMaildir::~ItemMaildir() {
  if (!pendiente_) return;
  try {
    EscribePendienteEn(*carpeta_);
  } catch (const std::exception& e) {
    ctx_->OlvidaPendiente(this);
    NotificaFalloOmitido(e);
  }
}

void ItemMaildir::EscribeBorrador() {
  if (pendiente_) EscribePendienteEn(*carpeta_);
}

void ItemMaildir::EscribePendienteEn(CarpetaMaildir& dest) {
  dest.PreparaEscritura();
  Ubicacion u{"cur", ComponNombre(base_, pend_->banderas)};
  EntregaAtomica(ctx_->fs(), dest.NuevaRutaTmp(), pend_->bytes, dest.RutaDe(u),
                 ctx_->FsyncPorArchivo());
  dest.RegistraItem(base_, u, ReferenciaPropia());
  pendiente_ = false;
  pend_.reset();
  ctx_->OlvidaPendiente(this);
}

ItemMaildir::ItemMaildir(std::shared_ptr<Contexto> ctx) : ctx_(std::move(ctx)) {
  base_ = ctx_->NuevaBase();
  datos_->message_id = ctx_->NuevoMessageId();
  datos_->created = Fecha::Ahora();
}

std::shared_ptr<ItemMaildir> ItemMaildir::DesdeListado(std::shared_ptr<CarpetaMaildir> carpeta,
                                                       std::string base, std::string_view archivo) {
  auto item = std::make_shared<ItemMaildir>(carpeta->Ctx(), Listado{});
  item->carpeta_ = std::move(carpeta);
  item->base_ = std::move(base);
  item->guardado_ = true;
  item->cuerpo_cargado_ = false;
  item->leido_ = false;
  item->datos_.reset();
  const std::string_view banderas = BanderasDe(archivo);
  item->unread_ = !TieneBandera(banderas, 'S');
  item->flag_status_ = TieneBandera(banderas, 'F') ? kMarcado : kSinMarca;
  return item;
}

void ItemMaildir::SigueBase() const {
  while (const std::string* nueva = ctx_->Reemplazo(base_)) base_ = *nueva;
}

void ItemMaildir::CargaDatos() const {
  if (!carpeta_ || !guardado_ || pendiente_) {  // nothing stored to read: empty fields
    datos_ = std::make_unique<Datos>();
    return;
  }
  SigueBase();
  thread_local std::string cabecera;  // one buffer for every header read by this thread
  Ubicacion u;
  if (!carpeta_->LeeItem(base_, true, &u, cabecera)) FallaBorrado(kNoLeer);
  mensaje::CabeceraItem c = mensaje::LeeCabeceraItem(cabecera);
  mensaje::RegistroItem& r = c.registro;
  auto datos = std::make_unique<Datos>();
  datos->subject = std::move(r.asunto);
  datos->sender = std::move(r.remitente);
  datos->recipients = std::move(r.para);
  datos->reply_recipients = std::move(r.responder_a);
  datos->props.Adopta(std::move(r.propiedades));
  datos->message_id = std::move(r.message_id);
  datos->in_reply_to = std::move(r.in_reply_to);
  datos->references = std::move(r.references);
  datos->created = r.creado;
  datos->zona_creado = r.zona_creado;
  if (!leido_) {
    // First read: the class and the flags as the file has them now (a client may have renamed
    // it since the listing), unless this object was told otherwise meanwhile.
    message_class_ = TextoClase(std::move(r.clase));
    const std::string_view banderas = BanderasDe(u.archivo);
    if (!unread_set_) unread_ = !TieneBandera(banderas, 'S');
    if (!flag_set_) {
      flag_status_ = TieneBandera(banderas, 'F') ? kMarcado
                     : r.completada              ? kMarcaCompletada
                                                 : kSinMarca;
    }
    leido_ = true;
  }
  datos_ = std::move(datos);
}

void ItemMaildir::SueltaCampos() {
  if (!leido_ || !CoincideConArchivo()) return;
  datos_.reset();
  if (cuerpo_cargado_) {
    body_.reset();
    cuerpo_cargado_ = false;
  }
}

void ItemMaildir::FallaBorrado(const char* formato) const {
  throw Error(errnum::kObjetoNoEncontrado, Formatea(Traduce(formato), {base_, carpeta_->Ruta()}));
}

const std::string& ItemMaildir::Body() const {
  if (!cuerpo_cargado_) {
    SigueBase();
    auto datos = carpeta_->LeeItem(base_, false, nullptr);
    if (!datos) FallaBorrado(kNoLeer);
    PonCuerpo(mensaje::CuerpoDeArchivo(*datos));
    cuerpo_cargado_ = true;
  }
  return Cuerpo();
}

void ItemMaildir::SetBody(std::string v) {
  PonCuerpo(std::move(v));
  cuerpo_cargado_ = true;
  ++cambios_;
}

std::weak_ptr<ItemMaildir> ItemMaildir::ReferenciaPropia() {
  if (auto yo = weak_from_this().lock()) return std::static_pointer_cast<ItemMaildir>(yo);
  return {};
}

mensaje::VistaItem ItemMaildir::Vista() const {
  const Datos& x = Campos();
  return mensaje::VistaItem{message_class_.get(), x.subject, x.sender, x.recipients,
                            x.reply_recipients, x.props.All(), x.message_id, x.in_reply_to,
                            x.references, x.created, x.zona_creado, flag_status_ == kMarcaCompletada};
}

void ItemMaildir::Save() {
  Campos();  // an item not read yet is read first: what it saves is the whole item
  if (pendiente_ || (!carpeta_ && ctx_->BorradoresEnMemoria())) {
    // A draft kept in memory: no one else can have changed its flags.
    if (!carpeta_) carpeta_ = CarpetaBorradores(ctx_);
    if (!pend_) pend_ = std::make_unique<Pendiente>();
    std::string banderas = ConBandera(pend_->banderas, 'S', !unread_);
    banderas = ConBandera(banderas, 'F', flag_status_ == kMarcado);
    pend_->bytes = mensaje::EscribeItem(Vista(), Cuerpo());
    pend_->banderas = std::move(banderas);
    if (!pendiente_) {
      pendiente_ = true;
      ctx_->RegistraPendiente(this);
    }
    guardado_ = true;
    unread_set_ = false;
    flag_set_ = false;
    cambios_en_archivo_ = cambios_;
    return;
  }
  if (!carpeta_) {
    carpeta_ = std::static_pointer_cast<CarpetaMaildir>(CarpetaRaiz(ctx_)->AddFolder(kBorradores));
  }
  if (!guardado_) {
    const std::string banderas =
        ConBandera(ConBandera("", 'S', !unread_), 'F', flag_status_ == kMarcado);
    const std::string bytes = mensaje::EscribeItem(Vista(), Cuerpo());
    carpeta_->PreparaEscritura();
    Ubicacion u{"cur", ComponNombre(base_, banderas)};
    EntregaAtomica(ctx_->fs(), carpeta_->NuevaRutaTmp(), bytes, carpeta_->RutaDe(u),
                   ctx_->FsyncPorArchivo());
    carpeta_->RegistraItem(base_, u, ReferenciaPropia());
  } else {
    SigueBase();
    std::optional<Ubicacion> actual = carpeta_->Localiza(base_);
    if (!actual) FallaBorrado(kNoGuardar);
    if (cambios_ == cambios_en_archivo_) {
      AplicaBanderas(*actual);  // the object is what the file holds: nothing to write
    } else {
      Body();  // an item read from disk keeps its stored body
      const std::string bytes = mensaje::EscribeItem(Vista(), Cuerpo());
      if (IgualQueArchivo(*actual, bytes)) {
        AplicaBanderas(*actual);
      } else {
        Reemplaza(*actual, bytes);
      }
    }
  }
  guardado_ = true;
  unread_set_ = false;
  flag_set_ = false;
  cambios_en_archivo_ = cambios_;
}

std::string ItemMaildir::BanderasFusionadas(std::string_view archivo) {
  const std::string_view banderas = BanderasDe(archivo);
  // What a mail client changed wins over what this object read, unless it was set here.
  if (!unread_set_) unread_ = !TieneBandera(banderas, 'S');
  if (!flag_set_) {
    if (TieneBandera(banderas, 'F')) flag_status_ = kMarcado;
    else if (flag_status_ == kMarcado) flag_status_ = kSinMarca;
  }
  return ConBandera(ConBandera(banderas, 'S', !unread_), 'F', flag_status_ == kMarcado);
}

Ubicacion ItemMaildir::UbicacionNueva(const std::string& base, const Ubicacion& antes,
                                      const std::string& banderas) {
  // A file still in new/ without flags stays there; any flag moves it to cur/.
  if (antes.sub == "new" && banderas.empty()) return Ubicacion{"new", base};
  return Ubicacion{"cur", ComponNombre(base, banderas)};
}

bool ItemMaildir::IgualQueArchivo(const Ubicacion& u, std::string_view bytes) const {
  struct stat st;
  if (ctx_->fs().Lstat(carpeta_->RutaDe(u), &st) != 0 || static_cast<size_t>(st.st_size) != bytes.size()) {
    return false;
  }
  try {
    return LeeArchivo(ctx_->fs(), carpeta_->RutaDe(u)) == bytes;
  } catch (const Error&) {
    return false;  // renamed or gone meanwhile: the replacement finds out which
  }
}

void ItemMaildir::AplicaBanderas(Ubicacion actual) {
  // The content is the file's already: only the name changes, when the flags do. A client that
  // renames the file meanwhile is followed (a few times); one that deleted it wins.
  for (int intento = 0;; ++intento) {
    const Ubicacion u = UbicacionNueva(base_, actual, BanderasFusionadas(actual.archivo));
    if (u.sub == actual.sub && u.archivo == actual.archivo) {
      carpeta_->RegistraItem(base_, actual, ReferenciaPropia());
      return;
    }
    if (ctx_->fs().Rename(carpeta_->RutaDe(actual), carpeta_->RutaDe(u)) == 0) {
      carpeta_->RegistraItem(base_, Ubicacion{u.sub, u.archivo, actual.ino}, ReferenciaPropia());
      return;
    }
    const int e = errno;
    auto otra = e == ENOENT && intento < kIntentosCarrera ? carpeta_->Localiza(base_) : std::nullopt;
    if (e == ENOENT && intento < kIntentosCarrera && !otra) FallaBorrado(kNoGuardar);
    if (!otra) throw Error::DeErrno(e, Formatea(Traduce("no se pudo renombrar «%s»"), {carpeta_->RutaDe(actual)}));
    actual = *otra;
  }
}

void ItemMaildir::Reemplaza(Ubicacion actual, const std::string& bytes) {
  // The new content gets a new base: readers (Dovecot, IMAP clients, neomutt's header cache)
  // keep what they learnt of a message by its base and take it as never changing, so to them
  // the old message goes and a new one comes. Only flagged items are replaced (a download),
  // so the new file is always made durable before it takes the old one's place.
  //  1. The new content is written to tmp/ (fsync).
  //  2. It swaps places with the old file in one step (RENAME_EXCHANGE): the old base now holds
  //     the new content, and tmp/ the old one. A client that renamed the old file meanwhile is
  //     followed; one that deleted it wins (the new content is dropped: nothing comes back).
  //  3. The file is renamed to the new base, with the flags found on it then (again following a
  //     client's rename, and giving up to a client's delete).
  //  4. The old content is removed from tmp/.
  // Killed at any point, the folder holds the item once: the old file, or the new content under
  // the old base (as a write in place would leave it), or the new base; a file left in tmp/ is
  // removed by a later pass. Where the file system cannot swap, step 2 is a plain rename over
  // the old file (a client's flag change in that instant is then lost).
  Fs& fs = ctx_->fs();
  carpeta_->PreparaEscritura();
  const std::string tmp = carpeta_->NuevaRutaTmp();
  ino_t ino = 0;
  EscribeArchivoNuevo(fs, tmp, bytes, true, &ino);
  bool viejo_en_tmp = false;
  for (int intento = 0;; ++intento) {
    const std::string ruta = carpeta_->RutaDe(actual);
    if (fs.RenameExchange(tmp, ruta) == 0) {
      viejo_en_tmp = true;
      break;
    }
    int e = errno;
    if (e == EINVAL || e == ENOSYS || e == ENOTSUP) {
      if (fs.Rename(tmp, ruta) == 0) break;
      e = errno;
    }
    std::optional<Ubicacion> otra;
    if (e == ENOENT && intento < kIntentosCarrera) otra = carpeta_->Localiza(base_);
    if (!otra) {
      fs.Unlink(tmp);
      if (e == ENOENT && intento < kIntentosCarrera) FallaBorrado(kNoGuardar);
      throw Error::DeErrno(e, Formatea(Traduce("no se pudo guardar «%s»"), {ruta}));
    }
    actual = *otra;
  }
  // The old base's file holds the new content now: whatever object matched it no longer does.
  carpeta_->RegistraItem(base_, Ubicacion{actual.sub, actual.archivo, ino});
  const std::string base_nueva = ctx_->NuevaBase();
  for (int intento = 0;; ++intento) {
    const Ubicacion u = UbicacionNueva(base_nueva, actual, BanderasFusionadas(actual.archivo));
    if (fs.Rename(carpeta_->RutaDe(actual), carpeta_->RutaDe(u)) == 0) {
      carpeta_->Olvida(base_);
      ctx_->RegistraReemplazo(base_, base_nueva);
      base_ = base_nueva;
      carpeta_->RegistraItem(base_, Ubicacion{u.sub, u.archivo, ino}, ReferenciaPropia());
      break;
    }
    const int e = errno;
    std::optional<Ubicacion> otra;
    if (e == ENOENT && intento < kIntentosCarrera) otra = carpeta_->Localiza(base_);
    if (!otra) {
      if (e == ENOENT && intento < kIntentosCarrera) {  // deleted by a client: it stays deleted
        if (viejo_en_tmp) fs.Unlink(tmp);
        carpeta_->Olvida(base_);
        FallaBorrado(kNoGuardar);
      }
      // A failure of our own: the old content goes back where it was, when it can.
      if (viejo_en_tmp && fs.RenameExchange(tmp, carpeta_->RutaDe(actual)) == 0) {
        carpeta_->RegistraItem(base_, Ubicacion{actual.sub, actual.archivo, 0});
      }
      if (viejo_en_tmp) fs.Unlink(tmp);
      throw Error::DeErrno(e, Formatea(Traduce("no se pudo renombrar «%s»"), {carpeta_->RutaDe(actual)}));
    }
    actual = *otra;
  }
  if (viejo_en_tmp) fs.Unlink(tmp);
}

void ItemMaildir::SetUnRead(bool v) {
  // The read state is applied where it is kept at once: an object that matched its file
  // before still does afterwards.
  const bool limpio = cambios_ == cambios_en_archivo_;
  unread_ = v;
  unread_set_ = true;
  ++cambios_;
  if (pendiente_) {
    pend_->banderas = ConBandera(pend_->banderas, 'S', !v);
    unread_set_ = false;
    if (limpio) cambios_en_archivo_ = cambios_;
    return;
  }
  if (!guardado_) return;
  SigueBase();
  const auto actual = carpeta_->Localiza(base_);
  if (!actual) FallaBorrado(kNoMarcar);
  const bool coincidia = carpeta_->ObjetoDe(base_) == this;
  const std::string banderas = ConBandera(BanderasDe(actual->archivo), 'S', !v);
  // A file still in new/ without flags stays there; any flag moves it to cur/.
  if (!(actual->sub == "new" && banderas.empty())) {
    const Ubicacion u{"cur", ComponNombre(base_, banderas), actual->ino};
    if (u.sub != actual->sub || u.archivo != actual->archivo) {
      Renombra(ctx_->fs(), carpeta_->RutaDe(*actual), carpeta_->RutaDe(u));
      carpeta_->RegistraItem(base_, u, coincidia ? ReferenciaPropia() : std::weak_ptr<ItemMaildir>());
    }
  }
  unread_set_ = false;
  if (limpio) cambios_en_archivo_ = cambios_;
}

std::shared_ptr<Item> ItemMaildir::Move(Folder& dest) {
  auto* destino = dynamic_cast<CarpetaMaildir*>(&dest);
  if (!destino) {
    throw Error(errnum::kArgumentoNoValido,
                Formatea(Traduce("No se puede mover el elemento a la carpeta «%s» de otro almacén"), {dest.Name()}));
  }
  auto nueva = std::static_pointer_cast<CarpetaMaildir>(destino->shared_from_this());
  if (!guardado_) {
    carpeta_ = std::move(nueva);
    Save();
    return shared_from_this();
  }
  if (nueva->Ruta() == carpeta_->Ruta()) return shared_from_this();
  if (pendiente_) {  // written once, where it goes
    EscribePendienteEn(*nueva);
    carpeta_ = std::move(nueva);
    return shared_from_this();
  }
  SigueBase();
  const auto actual = carpeta_->Localiza(base_);
  if (!actual) FallaBorrado(kNoMover);
  const bool coincidia = carpeta_->ObjetoDe(base_) == this;
  nueva->PreparaEscritura();
  Renombra(ctx_->fs(), carpeta_->RutaDe(*actual), nueva->RutaDe(*actual));
  carpeta_->Olvida(base_);
  nueva->RegistraItem(base_, *actual, coincidia ? ReferenciaPropia() : std::weak_ptr<ItemMaildir>());
  carpeta_ = std::move(nueva);
  return shared_from_this();
}

void ItemMaildir::Delete() {
  if (pendiente_) {  // a draft still in memory: nothing was written
    pendiente_ = false;
    pend_.reset();
    ctx_->OlvidaPendiente(this);
  } else if (guardado_) {
    SigueBase();
    for (int intento = 0;; ++intento) {
      const std::optional<Ubicacion> u = carpeta_->Localiza(base_);
      if (!u) break;
      const std::string ruta = carpeta_->RutaDe(*u);
      if (ctx_->fs().Unlink(ruta) == 0) break;
      if (errno != ENOENT || intento == kIntentosCarrera) {
        throw Error::DeErrno(errno, Formatea(Traduce("no se pudo borrar «%s»"), {ruta}));
      }
    }
    carpeta_->Olvida(base_);
  }
  guardado_ = false;
  carpeta_.reset();
}

std::shared_ptr<Item> ItemMaildir::NuevaRespuesta(std::string in_reply_to, std::string references) const {
  auto r = std::make_shared<ItemMaildir>(ctx_);
  r->datos_->in_reply_to = std::move(in_reply_to);
  r->datos_->references = std::move(references);
  return r;
}

}  // namespace tablon::store::maildir
