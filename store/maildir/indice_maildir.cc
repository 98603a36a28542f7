#include "store/maildir/indice_maildir.h"

#include <charconv>
#include <cstdio>

#include "core/error.h"
#include "core/fs.h"
#include "store/maildir/carpeta_maildir.h"
#include "store/maildir/item_maildir.h"
#include "store/maildir/nombre_archivo.h"

namespace tablon::store::maildir {

namespace {

constexpr std::string_view kCabecera = "tablon-indice 1";

std::uint64_t Fnv1a(std::string_view s) {
  std::uint64_t h = 1469598103934665603ull;
  for (char c : s) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return h;
}

std::string Hex(std::uint64_t v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

void Escapa(std::string_view t, std::string& out) {
  for (char c : t) {
    if (c == '%' || c == '\t' || c == '\n' || c == '\r') {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", static_cast<unsigned char>(c));
      out += buf;
    } else {
      out += c;
    }
  }
}

bool Desescapa(std::string_view t, std::string& out) {
  out.clear();
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i] != '%') {
      out += t[i];
      continue;
    }
    unsigned v = 0;
    if (i + 2 >= t.size()) return false;
    const auto [fin, ec] = std::from_chars(t.data() + i + 1, t.data() + i + 3, v, 16);
    if (ec != std::errc() || fin != t.data() + i + 3) return false;
    out += static_cast<char>(v);
    i += 2;
  }
  return true;
}

// What follows the base in the name, marked when the name is whole (a "/" is in no file name).
std::string RestoDe(const CarpetaMaildir::ItemListado& l) {
  return l.nombre_entero ? "/" + std::string(l.resto) : std::string(l.resto);
}

// The item's read and follow-up state agree with the flags of the name it is listed under.
bool AcuerdaConNombre(const Item& item, std::string_view resto) {
  const std::string_view banderas = BanderasDe(resto);
  return (item.FlagStatus() == kMarcado) == TieneBandera(banderas, 'F') &&
         item.UnRead() == !TieneBandera(banderas, 'S');
}

}  // namespace

IndiceMaildir::IndiceMaildir(std::shared_ptr<CarpetaMaildir> carpeta) : carpeta_(std::move(carpeta)) {}

bool IndiceMaildir::LeeArchivo(std::string& motivo) {
  registros_.clear();
  std::string texto;
  try {
    texto = ::tablon::LeeArchivo(carpeta_->Ctx()->fs(), carpeta_->Ruta() + "/" + kArchivoIndice);
  } catch (const Error& e) {
    motivo = e.Number() == errnum::kArchivoNoEncontrado ? "no hay índice" : "índice ilegible (" + e.Description() + ")";
    return false;
  }
  if (texto.empty() || texto.back() != '\n') {
    motivo = "índice dañado (cortado)";
    return false;
  }
  const size_t antes = texto.rfind('\n', texto.size() - 2);
  const size_t pos_fin = antes == std::string::npos ? 0 : antes + 1;
  const std::string_view cuerpo = std::string_view(texto).substr(0, pos_fin);
  const std::string_view ultima = std::string_view(texto).substr(pos_fin, texto.size() - 1 - pos_fin);
  if (cuerpo.substr(0, kCabecera.size() + 1) != std::string(kCabecera) + "\n") {
    motivo = "índice de otro formato o versión";
    return false;
  }
  size_t n = 0;
  std::string_view resto = cuerpo.substr(kCabecera.size() + 1);
  std::string base;
  while (!resto.empty()) {
    const size_t fin = resto.find('\n');
    const std::string_view linea = resto.substr(0, fin);
    resto.remove_prefix(fin + 1);
    std::string_view campos[6];
    std::string_view r = linea;
    int k = 0;
    for (; k < 6; ++k) {
      const size_t tab = r.find('\t');
      campos[k] = r.substr(0, tab);
      if (tab == std::string_view::npos) {
        ++k;
        break;
      }
      r.remove_prefix(tab + 1);
    }
    Registro reg;
    unsigned long long ino = 0;
    bool bien = k == 6 && Desescapa(campos[0], base) && Desescapa(campos[1], reg.resto) &&
                Desescapa(campos[4], reg.clase) && Desescapa(campos[5], reg.clave);
    if (bien) {
      auto [f1, e1] = std::from_chars(campos[2].data(), campos[2].data() + campos[2].size(), ino);
      auto [f2, e2] = std::from_chars(campos[3].data(), campos[3].data() + campos[3].size(), reg.marca);
      bien = e1 == std::errc() && f1 == campos[2].data() + campos[2].size() && e2 == std::errc() &&
             f2 == campos[3].data() + campos[3].size();
    }
    if (!bien) {
      registros_.clear();
      motivo = "índice dañado (línea ilegible)";
      return false;
    }
    reg.ino = static_cast<ino_t>(ino);
    registros_[base] = std::move(reg);
    ++n;
  }
  if (ultima != "fin " + std::to_string(n) + " " + Hex(Fnv1a(cuerpo))) {
    registros_.clear();
    motivo = "índice dañado (suma o cuenta)";
    return false;
  }
  suma_leida_ = Fnv1a(texto);
  tamano_leido_ = texto.size();
  return true;
}

std::vector<ItemIndexado> IndiceMaildir::Lee(const ClaveDeItem& clave_de, bool confia, std::string& informe) {
  informe.clear();
  std::string motivo;
  registros_.clear();
  suma_leida_ = 0;
  tamano_leido_ = 0;
  // Without trust the old file is still read, so that an unchanged one is not written again.
  const bool hay = LeeArchivo(motivo) && confia;
  std::vector<ItemIndexado> r;
  size_t leidos = 0;
  carpeta_->RecorreListado([&](const CarpetaMaildir::ItemListado& l) {
    const Registro* reg = nullptr;
    if (hay && l.ino != 0) {
      const auto it = registros_.find(std::string(l.base));
      if (it != registros_.end() && it->second.ino == l.ino && it->second.resto == RestoDe(l)) reg = &it->second;
    }
    ItemIndexado x;
    x.item = l.item;
    if (reg) {
      l.item->ConoceFicha(reg->clase, reg->marca);
      x.clave = reg->clave;
      x.del_indice = true;
      claves_[x.item.get()] = x.clave;
    } else {
      ++leidos;
      try {
        x.clave = clave_de(x.item);
        claves_[x.item.get()] = x.clave;
      } catch (const std::exception&) {
        // Read again by Guarda, or left without a record.
      }
    }
    retenidos_.push_back(x.item);
    r.push_back(std::move(x));
  });
  // What Guarda needs of the records is in the objects now.
  std::unordered_map<std::string, Registro>().swap(registros_);
  if (!confia) {
    informe = "lectura completa pedida: " + std::to_string(leidos) + " elementos leídos";
  } else if (!hay) {
    informe = motivo + ": " + std::to_string(leidos) + " elementos leídos";
  } else if (leidos > 0) {
    informe = "índice: " + std::to_string(r.size() - leidos) + " elementos por el índice, " +
              std::to_string(leidos) + " leídos (nuevos o cambiados)";
  }
  return r;
}

void IndiceMaildir::Anota(const std::shared_ptr<Item>& item, std::string clave) {
  claves_[item.get()] = std::move(clave);
  retenidos_.push_back(item);
}

void IndiceMaildir::Guarda(const ClaveDeItem& clave_de) {
  std::string texto;
  texto.append(kCabecera).append("\n");
  size_t n = 0;
  carpeta_->RecorreListado([&](const CarpetaMaildir::ItemListado& l) {
    if (l.ino == 0) return;
    Registro reg;
    try {
      const auto c = claves_.find(l.item.get());
      // An object of Lee or Anota that the listing gives again is its file's content: its key
      // is known, and so are its class and flag state when it was read or given them.
      reg.clave = c != claves_.end() ? c->second : clave_de(l.item);
      reg.clase = l.item->MessageClass();
      reg.marca = l.item->FlagStatus();
      if (!AcuerdaConNombre(*l.item, l.resto)) return;
    } catch (const std::exception&) {
      return;  // gone or unreadable: no record; the next run reads it
    }
    if (texto.size() == kCabecera.size() + 1) texto.reserve(64 + 160 * claves_.size());
    Escapa(l.base, texto);
    texto += '\t';
    Escapa(RestoDe(l), texto);
    texto += '\t';
    texto += std::to_string(static_cast<unsigned long long>(l.ino));
    texto += '\t';
    texto += std::to_string(reg.marca);
    texto += '\t';
    Escapa(reg.clase, texto);
    texto += '\t';
    Escapa(reg.clave, texto);
    texto += '\n';
    ++n;
  });
  texto.append("fin " + std::to_string(n) + " " + Hex(Fnv1a(texto)) + "\n");
  if (texto.size() == tamano_leido_ && Fnv1a(texto) == suma_leida_) return;  // unchanged: not written again
  Fs& fs = carpeta_->Ctx()->fs();
  const std::string ruta = carpeta_->Ruta() + "/" + kArchivoIndice;
  const std::string tmp = ruta + "%nuevo";
  fs.Unlink(tmp);  // left by a run that was killed (one pass at a time works in a store)
  EntregaAtomica(fs, tmp, texto, ruta);
  suma_leida_ = Fnv1a(texto);
  tamano_leido_ = texto.size();
}

}  // namespace tablon::store::maildir
