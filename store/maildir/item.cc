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
                 ctx_->FsyncPorArchivo(), &u.ino);
  dest.Anota(base_, u, Yo());
  pendiente_ = false;
  pend_.reset();
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
  item->props_.reserve(r.propiedades.size());
  for (auto& p : r.propiedades) item->props_.Add(std::move(p));
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
  ++cambios_;
}

std::weak_ptr<ItemMaildir> ItemMaildir::Yo() {
  if (auto yo = weak_from_this().lock()) return std::static_pointer_cast<ItemMaildir>(yo);
  return {};
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
    if (!pend_) pend_ = std::make_unique<Pendiente>();
    std::string banderas = ConBandera(pend_->banderas, 'S', !unread_);
    banderas = ConBandera(banderas, 'F', flag_status_ == kMarcado);
    pend_->bytes = EscribeItem(Registro(), body_);
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
    Ubicacion u{"cur", ComponNombre(base_, banderas)};
    EntregaAtomica(fs, tmp, bytes, carpeta_->RutaDe(u), ctx_->FsyncPorArchivo(), &u.ino);
    carpeta_->Anota(base_, u, Yo());
  } else {
    const std::string ruta = carpeta_->RutaDe(*actual);
    Ubicacion u = *actual;
    EntregaAtomica(fs, tmp, bytes, ruta, ctx_->FsyncPorArchivo(), &u.ino);
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
  const std::string banderas = ConBandera(SeparaNombre(actual->archivo).banderas, 'S', !v);
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
