#include "store/maildir/carpeta_maildir.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "core/ascii.h"
#include "core/error.h"
#include "core/paso.h"
#include "core/traduce.h"
#include "store/maildir/escape_nombre.h"
#include "store/maildir/indice_maildir.h"
#include "store/maildir/item_maildir.h"
#include "store/maildir/nombre_archivo.h"
#include "store/mensaje/filtro.h"
#include "store/mensaje/formato_item.h"
#include "store/mensaje/texto_cabecera.h"

namespace tablon::store::maildir {

namespace {

constexpr std::time_t kEdadTmpViejo = 36 * 3600;
constexpr unsigned kMaxIntentosNombreLargo = 10000;

}  // namespace

CarpetaMaildir::CarpetaMaildir(std::shared_ptr<Contexto> ctx, std::string ruta, std::string nombre)
    : ctx_(std::move(ctx)), ruta_(std::move(ruta)), nombre_(std::move(nombre)) {}

std::shared_ptr<CarpetaMaildir> CarpetaRaiz(const std::shared_ptr<Contexto>& ctx) {
  return std::make_shared<CarpetaMaildir>(ctx, ctx->Raiz(), std::string());
}

std::optional<std::string> CarpetaMaildir::NombreDeSubdirectorio(const std::string& dir) {
  if (!EsDirNombreLargo(dir)) return DesescapaNombre(dir);
  try {
    return LeeArchivo(ctx_->fs(), ruta_ + "/" + dir + "/" + std::string(kArchivoNombreLargo));
  } catch (const Error&) {
    return std::nullopt;  // half made by a writer that died: not a folder
  }
}

std::vector<std::shared_ptr<Folder>> CarpetaMaildir::Folders() {
  std::vector<EntradaDir> entradas;
  if (const int e = ctx_->fs().ListaDir(ruta_, &entradas); e != 0) {
    throw Error::DeErrno(e, Formatea(Traduce("no se pudo leer la carpeta «%s»"), {ruta_}));
  }
  std::vector<std::pair<std::string, std::string>> hallados;  // name, directory
  for (const auto& ent : entradas) {
    if (!ent.es_directorio) continue;  // files, and symbolic links even to directories
    if (auto nombre = NombreDeSubdirectorio(ent.nombre)) hallados.emplace_back(*nombre, ent.nombre);
  }
  std::sort(hallados.begin(), hallados.end());
  std::vector<std::shared_ptr<Folder>> r;
  for (size_t i = 0; i < hallados.size(); ++i) {
    if (i > 0 && hallados[i].first == hallados[i - 1].first) continue;
    r.push_back(std::make_shared<CarpetaMaildir>(ctx_, ruta_ + "/" + hallados[i].second,
                                                 hallados[i].first));
  }
  return r;
}

std::shared_ptr<Folder> CarpetaMaildir::AddFolder(const std::string& name) {
  for (auto& f : Folders()) {
    if (f->Name() == name) return f;
  }
  Fs& fs = ctx_->fs();
  std::string ruta;
  const std::string escapado = EscapaNombre(name);
  if (escapado.size() <= kMaxNombreDir) {
    ruta = ruta_ + "/" + escapado;
    CreaDirectorio(fs, ruta);
    CreaDirectorio(fs, ruta + "/tmp");
  } else {
    // Probe the hashed names until one is free or already this name's.
    for (unsigned intento = 0;; ++intento) {
      if (intento == kMaxIntentosNombreLargo) {
        throw Error(errnum::kAccesoARuta,
                    Formatea(Traduce("no se pudo crear la carpeta de nombre largo en «%s»: demasiadas colisiones"),
                             {ruta_}));
      }
      ruta = ruta_ + "/" + DirNombreLargo(name, intento);
      const std::string archivo_nombre = ruta + "/" + std::string(kArchivoNombreLargo);
      if (fs.Mkdir(ruta, 0700) == 0) {
        CreaDirectorio(fs, ruta + "/tmp");
        EntregaAtomica(fs, ruta + "/tmp/" + ctx_->NuevaBase(), name, archivo_nombre);
        break;
      }
      if (errno != EEXIST) throw Error::DeErrno(errno, Formatea(Traduce("no se pudo crear la carpeta «%s»"), {ruta}));
      struct stat st;
      if (fs.Lstat(ruta, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
      try {
        if (LeeArchivo(fs, archivo_nombre) == name) break;
      } catch (const Error&) {
        // Taken by a writer that died before naming it: leave it alone, try the next one.
      }
    }
    CreaDirectorio(fs, ruta + "/tmp");
  }
  CreaDirectorio(fs, ruta + "/cur");
  CreaDirectorio(fs, ruta + "/new");
  return std::make_shared<CarpetaMaildir>(ctx_, ruta, name);
}

void CarpetaMaildir::Guarda(Entrada& e, std::string_view base, bool en_new, std::string_view archivo,
                            ino_t ino) {
  e.en_new = en_new;
  e.ino = ino;
  e.nombre_entero = archivo.substr(0, base.size()) != base;
  const std::string_view resto = e.nombre_entero ? archivo : archivo.substr(base.size());
  if (resto.empty()) {
    e.resto = nullptr;
    return;
  }
  auto it = restos_.find(resto);
  if (it == restos_.end()) it = restos_.emplace(resto).first;
  e.resto = &*it;
}

Ubicacion CarpetaMaildir::UbicacionDe(std::string_view base, const Entrada& e) {
  Ubicacion u{e.en_new ? "new" : "cur", {}, e.ino};
  if (e.nombre_entero) {
    u.archivo = Resto(e);
  } else {
    const std::string_view resto = Resto(e);
    u.archivo.reserve(base.size() + resto.size());
    u.archivo.append(base).append(resto);
  }
  return u;
}

bool CarpetaMaildir::Igual(std::string_view base, const Entrada& e, bool en_new, std::string_view a,
                           ino_t ino) {
  if (e.en_new != en_new || (e.ino != 0 && e.ino != ino)) return false;
  const std::string_view resto = Resto(e);
  if (e.nombre_entero) return a == resto;
  return a.size() == base.size() + resto.size() && a.substr(0, base.size()) == base &&
         a.substr(base.size()) == resto;
}

void CarpetaMaildir::ReleeIndice() {
  // Drafts kept in memory are written before the drafts folder is read.
  if (ctx_->HayPendientes() && ruta_ == ctx_->RutaBorradores()) ctx_->EscribePendientes();
  LimpiaTmp();
  // Nothing to read again when neither directory changed since a reading that saw every change
  // before it: a directory's ctime moves with every entry made, renamed or removed in it, and
  // cannot be set back by anyone. A reading made within a second of a change (the clock ticks
  // coarsely) is never trusted so.
  timespec ahora{};
  clock_gettime(CLOCK_REALTIME, &ahora);
  EstadoDirs estado;
  for (int k = 0; k < 2; ++k) {
    struct stat st;
    if (ctx_->fs().Stat(ruta_ + (k == 0 ? "/new" : "/cur"), &st) == 0) {
      estado.existe[k] = true;
      estado.ino[k] = st.st_ino;
      estado.ctime[k] = st.st_ctim;
    }
  }
  if (indice_leido_ && estado_fiable_ && estado == estado_) return;
  bool fiable = true;
  for (int k = 0; k < 2; ++k) {
    if (estado.existe[k] && estado.ctime[k].tv_sec >= ahora.tv_sec - 1) fiable = false;
  }
  // A reading cut short (a failure, whatever its kind) stands for nothing: the next one reads
  // both directories again.
  estado_fiable_ = false;
  // The index is updated in place: each entry found is marked with this reading's number, and
  // those not found are dropped at the end. The entries are taken as the directory hands them
  // out, never gathered first.
  const std::uint32_t lectura = ++lecturas_;
  // new/ first: a base found in both (a client's move caught half way) is taken from cur/.
  for (const char* sub : {"new", "cur"}) {
    const bool en_new = sub[0] == 'n';
    const std::string dir = ruta_ + "/" + sub;
    const int e = ctx_->fs().RecorreDir(dir, [&](const EntradaDir& ent) {
      if (!ent.es_archivo || ent.nombre.empty() || ent.nombre[0] == '.') return;
      const std::string_view archivo = ent.nombre;
      const std::string_view base = archivo.substr(0, archivo.find(':'));
      auto it = indice_.find(base);
      if (it == indice_.end()) {
        it = indice_.emplace(std::string(base), Entrada{}).first;
      } else if (it->second.lectura == lectura) {
        // Found in new/ and now in cur/: the copy in cur/ is the one (no object carries over).
        it->second.item.reset();
      } else if (!Igual(it->first, it->second, en_new, archivo, ent.ino)) {
        // The object known for a file carries over only while the file is exactly the one it
        // matched.
        it->second.item.reset();
      }
      Guarda(it->second, it->first, en_new, archivo, ent.ino);
      it->second.lectura = lectura;
    });
    if (e == ENOENT) continue;  // a folder that never held an item
    if (e != 0) throw Error::DeErrno(e, Formatea(Traduce("no se pudo leer la carpeta «%s»"), {dir}));
  }
  std::erase_if(indice_, [lectura](const auto& par) { return par.second.lectura != lectura; });
  estado_ = estado;
  estado_fiable_ = fiable;
  indice_leido_ = true;
}

void CarpetaMaildir::RegistraItem(const std::string& base, Ubicacion u, std::weak_ptr<ItemMaildir> item) {
  Entrada& e = indice_[base];
  Guarda(e, base, u.sub == "new", u.archivo, u.ino);
  e.item = std::move(item);
}

const ItemMaildir* CarpetaMaildir::ObjetoDe(const std::string& base) const {
  const auto it = indice_.find(base);
  return it == indice_.end() ? nullptr : it->second.item.lock().get();
}

std::optional<Ubicacion> CarpetaMaildir::Localiza(const std::string& base) {
  if (indice_leido_) {
    if (auto it = indice_.find(base); it != indice_.end()) {
      struct stat st;
      Ubicacion u = UbicacionDe(it->first, it->second);
      if (ctx_->fs().Lstat(RutaDe(u), &st) == 0 && S_ISREG(st.st_mode)) {
        if (it->second.ino != 0 && st.st_ino != it->second.ino) {
          // Replaced under the same name: whatever object matched the old file no longer does.
          it->second.item.reset();
        }
        it->second.ino = u.ino = st.st_ino;
        return u;
      }
    }
  }
  ReleeIndice();
  if (auto it = indice_.find(base); it != indice_.end()) return UbicacionDe(it->first, it->second);
  return std::nullopt;
}

bool CarpetaMaildir::LeeItem(const std::string& base, bool solo_cabecera, Ubicacion* u,
                             std::string& datos) {
  // A client may rename the file between our lookup and our read: look again a few times.
  for (int intento = 0; intento < 3; ++intento) {
    std::optional<Ubicacion> donde;
    if (intento == 0) {
      if (auto it = indice_.find(base); it != indice_.end()) donde = UbicacionDe(it->first, it->second);
    }
    if (!donde) donde = Localiza(base);
    if (!donde) return false;
    try {
      const std::string ruta = RutaDe(*donde);
      if (solo_cabecera) {
        LeeArchivoHasta(ctx_->fs(), ruta, mensaje::FinDeCabecera, datos);
      } else {
        datos = LeeArchivo(ctx_->fs(), ruta);
      }
      if (u) *u = *donde;
      return true;
    } catch (const Error& e) {
      if (e.Number() != errnum::kArchivoNoEncontrado) throw;
      indice_.erase(base);
    }
  }
  return false;
}

std::optional<std::string> CarpetaMaildir::LeeItem(const std::string& base, bool solo_cabecera,
                                                   Ubicacion* u) {
  std::string datos;
  if (!LeeItem(base, solo_cabecera, u, datos)) return std::nullopt;
  return datos;
}

template <class F>
void CarpetaMaildir::RecorreItems(F&& cada) {
  ReleeIndice();
  auto yo = std::static_pointer_cast<CarpetaMaildir>(shared_from_this());
  for (auto& [base, ent] : indice_) {
    // An object that matches the file as listed: that object.
    std::shared_ptr<ItemMaildir> item = ent.item.lock();
    if (!item || !item->CoincideConArchivo()) {
      // Otherwise a new one, read from the file when first used.
      item = ItemMaildir::DesdeListado(yo, base, Resto(ent));
      ent.item = item;
    }
    cada(std::move(item), base, ent);
  }
}

std::vector<std::shared_ptr<Item>> CarpetaMaildir::Items() {
  std::vector<std::shared_ptr<Item>> r;
  RecorreItems([&](std::shared_ptr<ItemMaildir> item, const std::string&, const Entrada&) {
    if (r.empty()) r.reserve(indice_.size());
    r.push_back(std::move(item));
  });
  return r;
}

void CarpetaMaildir::RecorreListado(const std::function<void(const ItemListado&)>& cada) {
  RecorreItems([&](std::shared_ptr<ItemMaildir> item, const std::string& base, const Entrada& ent) {
    cada(ItemListado{item, base, Resto(ent), ent.ino, ent.nombre_entero});
  });
}

std::unique_ptr<IndiceCarpeta> CarpetaMaildir::Indice() {
  return std::make_unique<IndiceMaildir>(std::static_pointer_cast<CarpetaMaildir>(shared_from_this()));
}

std::shared_ptr<Item> CarpetaMaildir::Find(std::string_view filter) {
  const auto texto = mensaje::LeeFiltroAsunto(filter);
  if (!texto) {
    throw Error(errnum::kArgumentoNoValido,
                Formatea(Traduce("Filtro no válido: «%s» (se admite [Asunto] = \"texto\")"), {filter}));
  }
  for (auto& item : Items()) {
    try {
      if (IgualSinCaso(item->Subject(), *texto)) return item;
    } catch (const Error& e) {
      // Deleted by another program since the listing: not there to be found.
      if (e.Number() != errnum::kObjetoNoEncontrado) throw;
    }
  }
  return nullptr;
}

void CarpetaMaildir::PreparaEscritura() {
  if (preparada_) return;
  Fs& fs = ctx_->fs();
  for (const char* sub : {"tmp", "cur", "new"}) CreaDirectorio(fs, ruta_ + "/" + sub);
  preparada_ = true;
  LimpiaTmp();
}

void CarpetaMaildir::LimpiaTmp() {
  if (tmp_limpio_) return;
  tmp_limpio_ = true;
  if (!ctx_->PrimeraLimpiezaTmp(ruta_)) return;
  Fs& fs = ctx_->fs();
  const std::string tmp = ruta_ + "/tmp/";
  const std::time_t limite = std::time(nullptr) - kEdadTmpViejo;
  // A file or a tmp/ gone meanwhile is no failure.
  auto notifica = [&](int err, std::string que) {
    if (err != 0 && err != ENOENT) NotificaFalloOmitido(Error::DeErrno(err, que));
  };
  // The old files are gathered first and removed after the reading (tmp/ holds few files).
  std::vector<std::string> viejos;
  const int e = fs.RecorreDir(tmp, [&](const EntradaDir& ent) {
    if (!ent.es_archivo) return;  // directories, symbolic links and the rest stay
    struct stat st;
    if (fs.Lstat(tmp + ent.nombre, &st) != 0) {
      notifica(errno, Formatea(Traduce("no se pudo examinar «%s» en «%s»"), {ent.nombre, tmp}));
    } else if (S_ISREG(st.st_mode) && st.st_mtime < limite) {
      viejos.push_back(ent.nombre);
    }
  });
  notifica(e, Formatea(Traduce("no se pudo leer «%s»"), {tmp}));
  for (const auto& nombre : viejos) {
    if (fs.Unlink(tmp + nombre) != 0) notifica(errno, Formatea(Traduce("no se pudo borrar «%s» de «%s»"), {nombre, tmp}));
  }
}

std::string CarpetaMaildir::NuevaRutaTmp() { return ruta_ + "/tmp/" + ctx_->NuevaBase(); }

}  // namespace tablon::store::maildir
