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
  const Ubicacion u{"cur", ComponNombre(base_, banderas_pendientes_)};
  EntregaAtomica(ctx_->fs(), dest.NuevaRutaTmp(), bytes_pendientes_, dest.RutaDe(u),
                 ctx_->FsyncPorArchivo());
  dest.Anota(base_, u);
  pendiente_ = false;
  std::string().swap(bytes_pendientes_);
  banderas_pendientes_.clear();
  ctx_->OlvidaPendiente(this);
}

ItemMaildir::ItemMaildir(std::shared_ptr<Contexto> ctx) : ctx_(std::move(ctx)) {
  base_ = ctx_->NuevaBase();
  message_id_ = ctx_->NuevoMessageId();
  created_ = Fecha::Ahora();
}

std::shared_ptr<ItemMaildir> ItemMaildir::DesdeArchivo(std::shared_ptr<CarpetaMaildir> carpeta,
                                                       std::string base, const std::string& archivo,
                                                       CabeceraItem cabecera) {
  auto item = std::make_shared<ItemMaildir>(carpeta->Ctx(), Leido{});
  RegistroItem& r = cabecera.registro;
  item->carpeta_ = std::move(carpeta);
  item->base_ = std::move(base);
  item->guardado_ = true;
  item->cuerpo_cargado_ = false;
  item->message_class_ = std::move(r.clase);
  item->subject_ = std::move(r.asunto);
  item->sender_ = std::move(r.remitente);
  item->recipients_ = std::move(r.para);
  item->reply_recipients_ = std::move(r.responder_a);
  for (const auto& p : r.propiedades) {
    item->props_.Add(p.Name(), p.Type(), p.InFolderFields()).SetValue(p.Value());
  }
  item->message_id_ = std::move(r.message_id);
  item->in_reply_to_ = std::move(r.in_reply_to);
  item->references_ = std::move(r.references);
  item->created_ = r.creado;
  const std::string banderas = SeparaNombre(archivo).banderas;
  item->unread_ = !TieneBandera(banderas, 'S');
  item->flag_status_ = TieneBandera(banderas, 'F') ? kMarcado
                       : r.completada              ? kMarcaCompletada
                                                   : kSinMarca;
  return item;
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
    body_ = CuerpoDeArchivo(*datos);
    cuerpo_cargado_ = true;
  }
  return body_;
}

void ItemMaildir::SetBody(std::string v) {
  body_ = std::move(v);
  cuerpo_cargado_ = true;
}

RegistroItem ItemMaildir::Registro() const {
  RegistroItem r;
  r.clase = message_class_;
  r.asunto = subject_;
  r.remitente = sender_;
  r.para = recipients_;
  r.responder_a = reply_recipients_;
  r.propiedades = props_.All();
  r.message_id = message_id_;
  r.in_reply_to = in_reply_to_;
  r.references = references_;
  r.creado = created_;
  r.completada = flag_status_ == kMarcaCompletada;
  return r;
}

void ItemMaildir::Save() {
  if (pendiente_ || (!carpeta_ && ctx_->BorradoresEnMemoria())) {
    // A draft kept in memory: no one else can have changed its flags.
    if (!carpeta_) carpeta_ = CarpetaBorradores(ctx_);
    std::string banderas = ConBandera(banderas_pendientes_, 'S', !unread_);
    banderas = ConBandera(banderas, 'F', flag_status_ == kMarcado);
    bytes_pendientes_ = EscribeItem(Registro(), body_);
    banderas_pendientes_ = std::move(banderas);
    if (!pendiente_) {
      pendiente_ = true;
      ctx_->AnotaPendiente(this);
    }
    guardado_ = true;
    unread_set_ = false;
    flag_set_ = false;
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
    banderas = SeparaNombre(actual->archivo).banderas;
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
  const std::string bytes = EscribeItem(Registro(), body_);

  Fs& fs = ctx_->fs();
  carpeta_->PreparaEscritura();
  const std::string tmp = carpeta_->NuevaRutaTmp();
  if (!actual) {
    const Ubicacion u{"cur", ComponNombre(base_, banderas)};
    EntregaAtomica(fs, tmp, bytes, carpeta_->RutaDe(u), ctx_->FsyncPorArchivo());
    carpeta_->Anota(base_, u);
  } else {
    const std::string ruta = carpeta_->RutaDe(*actual);
    EntregaAtomica(fs, tmp, bytes, ruta, ctx_->FsyncPorArchivo());
    // A file still in new/ without flags stays there; any flag moves it to cur/.
    if (!(actual->sub == "new" && banderas.empty())) {
      const Ubicacion u{"cur", ComponNombre(base_, banderas)};
      if (u.sub != actual->sub || u.archivo != actual->archivo) {
        Renombra(fs, ruta, carpeta_->RutaDe(u));
        carpeta_->Anota(base_, u);
      }
    }
  }
  guardado_ = true;
  unread_set_ = false;
  flag_set_ = false;
}

void ItemMaildir::SetUnRead(bool v) {
  Item::SetUnRead(v);
  if (pendiente_) {
    banderas_pendientes_ = ConBandera(banderas_pendientes_, 'S', !v);
    unread_set_ = false;
    return;
  }
  if (!guardado_) return;
  const auto actual = carpeta_->Localiza(base_);
  if (!actual) Desaparecido("marcar");
  const std::string banderas = ConBandera(SeparaNombre(actual->archivo).banderas, 'S', !v);
  // A file still in new/ without flags stays there; any flag moves it to cur/.
  if (!(actual->sub == "new" && banderas.empty())) {
    const Ubicacion u{"cur", ComponNombre(base_, banderas)};
    if (u.sub != actual->sub || u.archivo != actual->archivo) {
      Renombra(ctx_->fs(), carpeta_->RutaDe(*actual), carpeta_->RutaDe(u));
      carpeta_->Anota(base_, u);
    }
  }
  unread_set_ = false;
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
  nueva->PreparaEscritura();
  Renombra(ctx_->fs(), carpeta_->RutaDe(*actual), nueva->RutaDe(*actual));
  carpeta_->Olvida(base_);
  nueva->Anota(base_, *actual);
  carpeta_ = std::move(nueva);
  return shared_from_this();
}

std::shared_ptr<Item> ItemMaildir::NewSibling() const { return std::make_shared<ItemMaildir>(ctx_); }

}  // namespace tablon::store::maildir
