#include "store/maildir/aplicacion_maildir.h"

#include <fcntl.h>

#include <cerrno>

#include "core/error.h"
#include "core/traduce.h"
#include "store/maildir/carpeta_maildir.h"
#include "store/maildir/item_maildir.h"

namespace tablon::store::maildir {

namespace {

class EspacioMaildir : public Namespace {
 public:
  explicit EspacioMaildir(std::shared_ptr<Contexto> ctx) : ctx_(std::move(ctx)) {}

  std::shared_ptr<::tablon::store::Folder> Folder(const std::string& name) override {
    return CarpetaLlamada(Folders(), name, "«" + ctx_->Raiz() + "»");
  }
  std::vector<std::shared_ptr<::tablon::store::Folder>> Folders() override {
    return CarpetaRaiz(ctx_)->Folders();
  }
  std::shared_ptr<::tablon::store::Folder> AddFolder(const std::string& name) override {
    return CarpetaRaiz(ctx_)->AddFolder(name);
  }

 private:
  std::shared_ptr<Contexto> ctx_;
};

class AplicacionMaildir : public Application {
 public:
  explicit AplicacionMaildir(std::shared_ptr<Contexto> ctx)
      : ctx_(ctx), espacio_(std::make_shared<EspacioMaildir>(std::move(ctx))) {}

  std::shared_ptr<Namespace> GetNamespace(std::string_view type) override {
    CompruebaTipoEspacio(type);
    return espacio_;
  }

  std::shared_ptr<Item> CreateItem(int kind) override {
    CompruebaTipoItem(kind);
    return std::make_shared<ItemMaildir>(ctx_);
  }

  void Sync() override {
    ctx_->EscribePendientes();
    // Nothing written, renamed or removed since the last Sync that succeeded: nothing to make
    // durable (a syncfs would only wait for other programs' writes).
    const std::uint64_t cambios = ctx_->Cambios();
    if (cambios == cambios_sincronizados_) return;
    Fs& fs = ctx_->fs();
    const int fd = fs.Open(ctx_->Raiz(), O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0) throw Error::DeErrno(errno, Formatea(Traduce("no se pudo abrir el almacén «%s»"), {ctx_->Raiz()}));
    const int r = fs.Syncfs(fd);
    const int e = errno;
    fs.Close(fd);
    if (r != 0) {
      throw Error::DeErrno(e, Formatea(Traduce("no se pudo asegurar en disco el almacén «%s»"), {ctx_->Raiz()}));
    }
    cambios_sincronizados_ = cambios;
  }

  void BorradoresEnMemoria(bool on) override {
    ctx_->BorradoresEnMemoria(on);
    if (!on) ctx_->EscribePendientes();
  }

 private:
  std::shared_ptr<Contexto> ctx_;
  std::shared_ptr<EspacioMaildir> espacio_;
  std::uint64_t cambios_sincronizados_ = 0;  // ctx_->Cambios() at the last Sync that succeeded
};

}  // namespace

std::shared_ptr<Application> AbreMaildir(const std::string& raiz, std::shared_ptr<Fs> fs,
                                         Durabilidad durabilidad) {
  if (raiz.empty()) throw Error(errnum::kArgumentoNoValido, Traduce("No se indicó la carpeta del almacén"));
  std::string r = raiz;
  while (r.size() > 1 && r.back() == '/') r.pop_back();
  if (!fs) fs = FsCompartidoDelSistema();
  // The root may be (or lie under) a symbolic link the user made: that is the user's choice.
  CreaRuta(*fs, r, 0700, Traduce("el almacén"));
  return std::make_shared<AplicacionMaildir>(std::make_shared<Contexto>(r, std::move(fs), durabilidad));
}

}  // namespace tablon::store::maildir
