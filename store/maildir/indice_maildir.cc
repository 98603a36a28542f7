#include "store/maildir/indice_maildir.h"

#include <fcntl.h>

#include <cerrno>
#include <charconv>
#include <cstdio>

#include "core/error.h"
#include "core/huella.h"
#include "core/fs.h"
#include "core/traduce.h"
#include "store/maildir/carpeta_maildir.h"
#include "store/maildir/item_maildir.h"
#include "store/maildir/nombre_archivo.h"

namespace tablon::store::maildir {

namespace {

constexpr std::string_view kCabecera = "tablon-indice 2";

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

// The count of the files in the folder's new/ and cur/ and the sum of a hash of each one's
// directory, name and inode; false when a directory cannot be read. Files as CarpetaMaildir
// lists them (regular files whose names do not start with ".").
bool HuellaListado(Fs& fs, const std::string& ruta, std::uint64_t& cuenta, std::uint64_t& suma) {
  cuenta = 0;
  suma = 0;
  for (const char* sub : {"new", "cur"}) {
    const std::uint64_t semilla = Fnv1a(sub);
    const int e = fs.RecorreDir(ruta + "/" + sub, [&](const EntradaDir& ent) {
      if (!ent.es_archivo || ent.nombre.empty() || ent.nombre[0] == '.') return;
      std::uint64_t h = (Fnv1a(ent.nombre) ^ semilla) + static_cast<std::uint64_t>(ent.ino) * 0x9e3779b97f4a7c15ull;
      // A finalising mix (splitmix64), so that a sum of many stays far from a sum of others.
      h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9ull;
      h = (h ^ (h >> 27)) * 0x94d049bb133111ebull;
      suma += h ^ (h >> 31);
      ++cuenta;
    });
    if (e != 0 && e != ENOENT) return false;
  }
  return true;
}

// The seal line's text after "sello " for a seal, and the text it is checked by.
std::string LineaSello(std::uint64_t cuenta, std::uint64_t suma, std::string_view texto) {
  std::string cola = std::to_string(cuenta) + " " + Hex64(suma) + " ";
  Escapa(texto, cola);
  return "sello " + Hex64(Fnv1a(std::string(kCabecera) + "\n" + cola)) + " " + cola;
}

// Where the file's first two lines end.
size_t FinDosLineas(std::string_view leido, size_t) {
  const size_t a = leido.find('\n');
  if (a == std::string_view::npos) return std::string_view::npos;
  const size_t b = leido.find('\n', a + 1);
  return b == std::string_view::npos ? std::string_view::npos : b + 1;
}

}  // namespace

IndiceMaildir::IndiceMaildir(std::shared_ptr<CarpetaMaildir> carpeta) : carpeta_(std::move(carpeta)) {}

bool IndiceMaildir::LeeArchivo(std::string& motivo) {
  texto_.clear();
  registros_ = 0;
  try {
    texto_ = ::tablon::LeeArchivo(carpeta_->Ctx()->fs(), carpeta_->Ruta() + "/" + kArchivoIndice);
  } catch (const Error& e) {
    motivo = e.Number() == errnum::kArchivoNoEncontrado ? std::string(Traduce("no hay índice"))
                                                         : Formatea(Traduce("índice ilegible (%s)"), {e.Description()});
    return false;
  }
  auto falla = [&](const char* que) {
    motivo = que;
    std::string().swap(texto_);
    return false;
  };
  if (texto_.empty() || texto_.back() != '\n') return falla(Traduce("índice dañado (cortado)"));
  const size_t antes = texto_.rfind('\n', texto_.size() - 2);
  const size_t pos_fin = antes == std::string::npos ? 0 : antes + 1;
  const std::string_view cuerpo = std::string_view(texto_).substr(0, pos_fin);
  const std::string_view ultima = std::string_view(texto_).substr(pos_fin, texto_.size() - 1 - pos_fin);
  if (cuerpo.substr(0, kCabecera.size() + 1) != std::string(kCabecera) + "\n") {
    return falla(Traduce("índice de otro formato o versión"));
  }
  const size_t fin_sello = cuerpo.find('\n', kCabecera.size() + 1);
  if (fin_sello == std::string_view::npos || cuerpo.substr(kCabecera.size() + 1, 6) != "sello ") {
    return falla(Traduce("índice dañado (sin sello)"));
  }
  size_t n = 0;
  for (size_t p = fin_sello + 1; p < cuerpo.size(); p = cuerpo.find('\n', p) + 1) ++n;
  const std::uint64_t suma = Fnv1a(cuerpo.substr(fin_sello + 1));
  if (ultima != "fin " + std::to_string(n) + " " + Hex64(suma)) return falla(Traduce("índice dañado (suma o cuenta)"));
  cabeza_leida_ = cuerpo.substr(0, fin_sello + 1);
  suma_leida_ = suma;
  cuenta_leida_ = n;
  texto_.resize(pos_fin);  // the records alone, after registros_
  registros_ = fin_sello + 1;
  return true;
}

std::vector<ItemIndexado> IndiceMaildir::Lee(const ClaveDeItem& clave_de, bool confia, std::string& informe) {
  informe.clear();
  std::string motivo;
  cabeza_leida_.clear();
  suma_leida_ = 0;
  cuenta_leida_ = 0;
  // Without trust the old file is still read, so that an unchanged one is not written again.
  const bool hay = LeeArchivo(motivo) && confia;
  // The records are in the listing's order (Guarda writes them so): both are walked together.
  // A record out of that order is only missed (its item is read).
  std::string_view resto = hay ? std::string_view(texto_).substr(registros_) : std::string_view();
  std::string base, resto_reg, clase, clave;
  bool hay_registro = false;
  unsigned long long ino = 0;
  int marca = 0;
  // The next record whose fields read; false at the end, or at a line that does not read.
  auto siguiente = [&]() {
    hay_registro = false;
    if (resto.empty()) return false;
    const size_t fin = resto.find('\n');
    std::string_view linea = resto.substr(0, fin);
    resto.remove_prefix(fin + 1);
    std::string_view campos[6];
    int k = 0;
    for (; k < 6; ++k) {
      const size_t tab = linea.find('\t');
      campos[k] = linea.substr(0, tab);
      if (tab == std::string_view::npos) {
        ++k;
        break;
      }
      linea.remove_prefix(tab + 1);
    }
    if (k != 6 || !Desescapa(campos[0], base) || !Desescapa(campos[1], resto_reg) || !Desescapa(campos[4], clase) ||
        !Desescapa(campos[5], clave)) {
      resto = {};
      return false;
    }
    const auto [f1, e1] = std::from_chars(campos[2].data(), campos[2].data() + campos[2].size(), ino);
    const auto [f2, e2] = std::from_chars(campos[3].data(), campos[3].data() + campos[3].size(), marca);
    if (e1 != std::errc() || f1 != campos[2].data() + campos[2].size() || e2 != std::errc() ||
        f2 != campos[3].data() + campos[3].size()) {
      resto = {};
      return false;
    }
    hay_registro = true;
    return true;
  };
  siguiente();
  std::vector<ItemIndexado> r;
  size_t leidos = 0;
  carpeta_->RecorreListado([&](const CarpetaMaildir::ItemListado& l) {
    while (hay_registro && std::string_view(base) < l.base) siguiente();
    const bool usa = hay_registro && l.ino != 0 && base == l.base && ino == static_cast<unsigned long long>(l.ino) &&
                     resto_reg == RestoDe(l);
    ItemIndexado x;
    x.item = l.item;
    if (usa) {
      l.item->ConoceFicha(clase, marca);
      x.clave = clave;
      x.del_indice = true;
    } else {
      ++leidos;
      try {
        x.clave = clave_de(x.item);
      } catch (const std::exception&) {
        // Read again by Guarda, or left without a record.
      }
    }
    if (r.empty()) r.reserve(carpeta_->Cuantos());
    r.push_back(std::move(x));
  });
  std::string().swap(texto_);
  if (!confia) {
    informe = Formatea(TraducePlural("lectura completa pedida: %s elementos leídos",
                                     "lectura completa pedida: %s elementos leídos", static_cast<std::int64_t>(leidos)),
                       {std::to_string(leidos)});
  } else if (!hay) {
    informe = Formatea(TraducePlural("%s: %s elementos leídos", "%s: %s elementos leídos",
                                     static_cast<std::int64_t>(leidos)),
                       {motivo, std::to_string(leidos)});
  } else if (leidos > 0) {
    informe = Formatea(TraducePlural("índice: %s elementos por el índice, %s leídos (nuevos o cambiados)",
                                     "índice: %s elementos por el índice, %s leídos (nuevos o cambiados)",
                                     static_cast<std::int64_t>(r.size() - leidos)),
                       {std::to_string(r.size() - leidos), std::to_string(leidos)});
  }
  return r;
}

std::optional<std::string> IndiceMaildir::LeeSello() {
  Fs& fs = carpeta_->Ctx()->fs();
  std::string texto;
  try {
    LeeArchivoHasta(fs, carpeta_->Ruta() + "/" + kArchivoIndice, FinDosLineas, texto);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  const size_t a = texto.find('\n');
  if (a == std::string::npos || std::string_view(texto).substr(0, a) != kCabecera) return std::nullopt;
  const std::string_view linea = std::string_view(texto).substr(a + 1, texto.size() - a - 2);
  // "sello <checksum> <files> <fingerprint> <text>"
  if (linea.substr(0, 6) != "sello " || linea.size() < 6 + 17) return std::nullopt;
  const std::string_view cola = linea.substr(6 + 17);
  std::uint64_t cuenta = 0, suma = 0;
  carpeta_->LimpiaTmp();  // a sealed folder is listed here alone this pass
  if (!HuellaListado(fs, carpeta_->Ruta(), cuenta, suma)) return std::nullopt;
  const std::string prefijo = std::to_string(cuenta) + " " + Hex64(suma) + " ";
  if (cola.substr(0, prefijo.size()) != prefijo) return std::nullopt;
  std::string propio;
  if (!Desescapa(cola.substr(prefijo.size()), propio)) return std::nullopt;
  if (linea != LineaSello(cuenta, suma, propio)) return std::nullopt;
  return propio;
}

bool IndiceMaildir::Registro(const CarpetaMaildir::ItemListado& l, const ClaveDeItem& clave_de, std::string* linea,
                             std::string& clave, int& marca, std::string& clase) {
  if (l.ino == 0) return false;
  try {
    clave = clave_de(l.item);
    clase = l.item->MessageClass();
    marca = l.item->FlagStatus();
    if (!AcuerdaConNombre(*l.item, l.resto)) return false;
  } catch (const std::exception&) {
    return false;  // gone or unreadable: no record; the next run reads it
  }
  if (!linea) return true;
  std::string& t = *linea;
  t.clear();
  Escapa(l.base, t);
  t += '\t';
  Escapa(RestoDe(l), t);
  t += '\t';
  t += std::to_string(static_cast<unsigned long long>(l.ino));
  t += '\t';
  t += std::to_string(marca);
  t += '\t';
  Escapa(clase, t);
  t += '\t';
  Escapa(clave, t);
  t += '\n';
  return true;
}

void IndiceMaildir::Guarda(const ClaveDeItem& clave_de, const Sellado* sello) {
  Fs& fs = carpeta_->Ctx()->fs();
  // The seal stands for the files as listed before any record is made: a file changed later
  // makes the next LeeSello find other files.
  std::uint64_t cuenta = 0, suma = 0;
  const bool sellable = sello && HuellaListado(fs, carpeta_->Ruta(), cuenta, suma);
  // A first walk counts and sums the records (and tells the caller each one, for its seal); the
  // file is written by a second one only when it changes, a record at a time (a large folder's
  // index is never held whole). With no index read, there is nothing to compare: the first walk
  // makes no lines.
  const bool compara = !cabeza_leida_.empty();
  std::string linea, clave, clase;
  int marca = 0;
  size_t n = 0;
  std::uint64_t suma_registros = kFnvBase;
  carpeta_->RecorreListado([&](const CarpetaMaildir::ItemListado& l) {
    if (!Registro(l, clave_de, compara ? &linea : nullptr, clave, marca, clase)) return;
    suma_registros = Fnv1a(linea, suma_registros);
    ++n;
    if (sellable && sello->registro) sello->registro(clave, marca, clase);
  });
  const std::string propio = sellable && sello->texto ? sello->texto() : std::string();
  const std::string cabeza =
      std::string(kCabecera) + "\n" + (propio.empty() ? "sello -" : LineaSello(cuenta, suma, propio)) + "\n";
  if (compara && cabeza == cabeza_leida_ && n == cuenta_leida_ && suma_registros == suma_leida_) return;  // unchanged
  const std::string ruta = carpeta_->Ruta() + "/" + kArchivoIndice;
  const std::string tmp = ruta + "%nuevo";
  fs.Unlink(tmp);  // left by a run that was killed (one pass at a time works in a store)
  size_t escritos = 0;
  std::uint64_t suma_escrita = kFnvBase;
  EntregaAtomica(fs, tmp, [&](const EscritorArchivo& escribe) {
    std::string bloque = cabeza;
    bool bien = true;
    carpeta_->RecorreListado([&](const CarpetaMaildir::ItemListado& l) {
      if (!bien || !Registro(l, clave_de, &linea, clave, marca, clase)) return;
      suma_escrita = Fnv1a(linea, suma_escrita);
      ++escritos;
      bloque += linea;
      if (bloque.size() >= 64 * 1024) {
        bien = escribe(bloque);
        bloque.clear();
      }
    });
    bloque += "fin " + std::to_string(escritos) + " " + Hex64(suma_escrita) + "\n";
    if (bien) escribe(bloque);
  }, ruta);
  cabeza_leida_ = cabeza;
  suma_leida_ = suma_escrita;
  cuenta_leida_ = escritos;
}

}  // namespace tablon::store::maildir
