#include "store/maildir/item.h"

#include "core/error.h"
#include "core/trap.h"
#include "store/maildir/filename.h"

namespace tablon::store::maildir {

namespace {
constexpr const char* kBorradores = "Borradores";

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
  dest.Anota(base_, u, Yo());
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

void ItemMaildir::CargaDatos() const {
  if (!carpeta_ || !guardado_ || pendiente_) {  // nothing stored to read: empty fields
    Item::CargaDatos();
    return;
  }
  thread_local std::string cabecera;  // one buffer for every header read by this thread
  Ubicacion u;
  if (!carpeta_->LeeItem(base_, true, &u, cabecera)) Desaparecido("leer");
  CabeceraItem c = LeeCabeceraItem(cabecera);
  RegistroItem& r = c.registro;
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

void ItemMaildir::Aligera() {
  if (!leido_ || !CoincideConArchivo()) return;
  datos_.reset();
  if (cuerpo_cargado_) {
    body_.reset();
    cuerpo_cargado_ = false;
  }
}

void ItemMaildir::Desaparecido(const char* que) const {
  throw Error(errnum::kObjetoNoEncontrado,
              std::string("No se pudo ") + que + " el elemento «" + base_ + "»: ya no está en «" +
                  carpeta_->Ruta() + "» (otro programa lo borró)");
}

const std::string& ItemMaildir::Body() const {
  if (!cuerpo_cargado_) {
    auto datos = carpeta_->LeeItem(base_, false, nullptr);
    if (!datos) Desaparecido("leer");
    PonCuerpo(CuerpoDeArchivo(*datos));
    cuerpo_cargado_ = true;
  }
  return Cuerpo();
}

void ItemMaildir::SetBody(std::string v) {
  PonCuerpo(std::move(v));
  cuerpo_cargado_ = true;
  ++cambios_;
}

std::weak_ptr<ItemMaildir> ItemMaildir::Yo() {
  if (auto yo = weak_from_this().lock()) return std::static_pointer_cast<ItemMaildir>(yo);
  return {};
}

VistaItem ItemMaildir::Vista() const {
  const Datos& x = d();
  return VistaItem{message_class_.get(), x.subject, x.sender, x.recipients, x.reply_recipients,
                   x.props.All(), x.message_id, x.in_reply_to, x.references, x.created,
                   flag_status_ == kMarcaCompletada};
}

void ItemMaildir::Save() {
  d();  // an item not read yet is read first: what it saves is the whole item
  if (pendiente_ || (!carpeta_ && ctx_->BorradoresEnMemoria())) {
    // A draft kept in memory: no one else can have changed its flags.
    if (!carpeta_) carpeta_ = CarpetaBorradores(ctx_);
    if (!pend_) pend_ = std::make_unique<Pendiente>();
    std::string banderas = ConBandera(pend_->banderas, 'S', !unread_);
    banderas = ConBandera(banderas, 'F', flag_status_ == kMarcado);
    pend_->bytes = EscribeItem(Vista(), Cuerpo());
    pend_->banderas = std::move(banderas);
    if (!pendiente_) {
      pendiente_ = true;
      ctx_->AnotaPendiente(this);
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
  std::optional<Ubicacion> actual;
  std::string banderas;
  if (guardado_) {
    actual = carpeta_->Localiza(base_);
    if (!actual) Desaparecido("guardar");
    banderas = BanderasDe(actual->archivo);
    // What a mail client changed wins over what this object read, unless it was set here.
    if (!unread_set_) unread_ = !TieneBandera(banderas, 'S');
    if (!flag_set_) {
      if (TieneBandera(banderas, 'F')) flag_status_ = kMarcado;
      else if (flag_status_ == kMarcado) flag_status_ = kSinMarca;
    }
  }
  banderas = ConBandera(banderas, 'S', !unread_);
  banderas = ConBandera(banderas, 'F', flag_status_ == kMarcado);
  Body();  // an item read from disk keeps its stored body
  const std::string bytes = EscribeItem(Vista(), Cuerpo());

  Fs& fs = ctx_->fs();
  carpeta_->PreparaEscritura();
  const std::string tmp = carpeta_->NuevaRutaTmp();
  if (!actual) {
    Ubicacion u{"cur", ComponNombre(base_, banderas)};
    EntregaAtomica(fs, tmp, bytes, carpeta_->RutaDe(u), ctx_->FsyncPorArchivo());
    carpeta_->Anota(base_, u, Yo());
  } else {
    const std::string ruta = carpeta_->RutaDe(*actual);
    Ubicacion u = *actual;
    u.ino = 0;  // a new file: its inode is learnt at the next lookup or listing
    EntregaAtomica(fs, tmp, bytes, ruta, ctx_->FsyncPorArchivo());
    // Not yet this object's file: the content changed (and the flags may change below).
    carpeta_->Anota(base_, u);
    // A file still in new/ without flags stays there; any flag moves it to cur/.
    if (!(actual->sub == "new" && banderas.empty())) {
      Ubicacion v{"cur", ComponNombre(base_, banderas), u.ino};
      if (v.sub != u.sub || v.archivo != u.archivo) {
        Renombra(fs, ruta, carpeta_->RutaDe(v));
        u = std::move(v);
      }
    }
    carpeta_->Anota(base_, u, Yo());
  }
  guardado_ = true;
  unread_set_ = false;
  flag_set_ = false;
  cambios_en_archivo_ = cambios_;
}

void ItemMaildir::SetUnRead(bool v) {
  // The read state is applied where it is kept at once: an object that matched its file
  // before still does afterwards.
  const bool limpio = cambios_ == cambios_en_archivo_;
  Item::SetUnRead(v);
  if (pendiente_) {
    pend_->banderas = ConBandera(pend_->banderas, 'S', !v);
    unread_set_ = false;
    if (limpio) cambios_en_archivo_ = cambios_;
    return;
  }
  if (!guardado_) return;
  const auto actual = carpeta_->Localiza(base_);
  if (!actual) Desaparecido("marcar");
  const bool coincidia = carpeta_->ObjetoDe(base_) == this;
  const std::string banderas = ConBandera(BanderasDe(actual->archivo), 'S', !v);
  // A file still in new/ without flags stays there; any flag moves it to cur/.
  if (!(actual->sub == "new" && banderas.empty())) {
    const Ubicacion u{"cur", ComponNombre(base_, banderas), actual->ino};
    if (u.sub != actual->sub || u.archivo != actual->archivo) {
      Renombra(ctx_->fs(), carpeta_->RutaDe(*actual), carpeta_->RutaDe(u));
      carpeta_->Anota(base_, u, coincidia ? Yo() : std::weak_ptr<ItemMaildir>());
    }
  }
  unread_set_ = false;
  if (limpio) cambios_en_archivo_ = cambios_;
}

std::shared_ptr<Item> ItemMaildir::Move(Folder& dest) {
  auto* destino = dynamic_cast<CarpetaMaildir*>(&dest);
  if (!destino) {
    throw Error(errnum::kArgumentoNoValido,
                "No se puede mover el elemento a la carpeta «" + dest.Name() + "» de otro almacén");
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
  const auto actual = carpeta_->Localiza(base_);
  if (!actual) Desaparecido("mover");
  const bool coincidia = carpeta_->ObjetoDe(base_) == this;
  nueva->PreparaEscritura();
  Renombra(ctx_->fs(), carpeta_->RutaDe(*actual), nueva->RutaDe(*actual));
  carpeta_->Olvida(base_);
  nueva->Anota(base_, *actual, coincidia ? Yo() : std::weak_ptr<ItemMaildir>());
  carpeta_ = std::move(nueva);
  return shared_from_this();
}

std::shared_ptr<Item> ItemMaildir::NewSibling() const { return std::make_shared<ItemMaildir>(ctx_); }

}  // namespace tablon::store::maildir
