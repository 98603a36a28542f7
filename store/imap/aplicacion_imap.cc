#include "store/imap/aplicacion_imap.h"

#include "core/error.h"
#include "store/imap/carpeta_imap.h"
#include "store/imap/contexto_imap.h"
#include "store/imap/item_imap.h"

namespace tablon::store::imap {

namespace {

class EspacioImap : public Namespace {
 public:
  explicit EspacioImap(std::shared_ptr<ContextoImap> ctx)
      : ctx_(ctx), raiz_(std::make_shared<CarpetaImap>(std::move(ctx), std::vector<std::string>{})) {}

  std::shared_ptr<::tablon::store::Folder> Folder(const std::string& name) override {
    return CarpetaLlamada(Folders(), name, ctx_->Descripcion());
  }
  std::vector<std::shared_ptr<::tablon::store::Folder>> Folders() override { return raiz_->Folders(); }
  std::shared_ptr<::tablon::store::Folder> AddFolder(const std::string& name) override {
    return raiz_->AddFolder(name);
  }

 private:
  std::shared_ptr<ContextoImap> ctx_;
  std::shared_ptr<CarpetaImap> raiz_;
};

class AplicacionImap : public Application {
 public:
  explicit AplicacionImap(std::shared_ptr<ContextoImap> ctx)
      : ctx_(ctx), espacio_(std::make_shared<EspacioImap>(std::move(ctx))) {}

  std::shared_ptr<Namespace> GetNamespace(std::string_view type) override {
    CompruebaTipoEspacio(type);
    return espacio_;
  }

  std::shared_ptr<Item> CreateItem(int kind) override {
    CompruebaTipoItem(kind);
    return std::make_shared<ItemImap>(ctx_);
  }

  void Sync() override {
    ctx_->EscribePendientes();
    ctx_->CompletaReemplazos();
    ctx_->CompletaAppends();
  }

  void BorradoresEnMemoria(bool on) override { ctx_->BorradoresEnMemoria(on); }

 private:
  std::shared_ptr<ContextoImap> ctx_;
  std::shared_ptr<EspacioImap> espacio_;
};

}  // namespace

std::shared_ptr<Application> AbreImap(const UbicacionImap& ubicacion, OpcionesSesion opciones) {
  auto ctx = std::make_shared<ContextoImap>(SesionImap::Abre(ubicacion, std::move(opciones)), ubicacion);
  return std::make_shared<AplicacionImap>(std::move(ctx));
}

}  // namespace tablon::store::imap
