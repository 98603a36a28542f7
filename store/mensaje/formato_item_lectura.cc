// The reader of the item's bytes: the values and the body of an item from the bytes of its file
// or message, whether written by formato_item_escritura.cc or by someone else (see formato_item.h).
#include <charconv>

#include "core/ascii.h"
#include "core/fecha.h"
#include "store/mensaje/bloque_encabezados.h"
#include "store/mensaje/texto_cabecera.h"
#include "store/mensaje/formato_item.h"

namespace tablon::store::mensaje {

namespace {

double LeeNumero(std::string_view s) {
  double d = 0;
  std::from_chars(s.data(), s.data() + s.size(), d);
  return d;
}

// "TYPE;F;NAME;VALUE" from a raw value; a malformed field is skipped (returns false).
bool LeePropiedadCruda(const CampoCrudo& c, std::string& limpio, std::vector<UserProperty>& props) {
  limpio.clear();
  const std::string_view v = c.crudo;
  for (size_t i = 0; i < v.size(); ++i) {
    const char ch = v[i];
    if (ch == ' ' || ch == '\t' || ch == '\n') continue;
    if (ch == '\r' && i + 1 < v.size() && v[i + 1] == '\n') continue;
    limpio += ch;
  }
  std::string_view s = limpio;
  std::string_view partes[4];
  for (int i = 0; i < 3; ++i) {
    const size_t p = s.find(';');
    if (p == std::string_view::npos) return false;
    partes[i] = s.substr(0, p);
    s.remove_prefix(p + 1);
  }
  partes[3] = s;
  int tipo = 0;
  if (std::from_chars(partes[0].data(), partes[0].data() + partes[0].size(), tipo).ec !=
      std::errc()) {
    return false;
  }
  const std::string_view valor = partes[3];
  const bool fecha = valor.substr(0, 2) == "f:";
  if (!fecha && valor.substr(0, 2) != "t:") return false;
  UserProperty& prop =
      props.emplace_back(DecodificaExacto(partes[2]), static_cast<TipoPropiedad>(tipo), partes[1] == "1");
  if (fecha) {
    prop.SetValue(Fecha(LeeNumero(valor.substr(2))));
  } else {
    prop.SetValue(DecodificaExacto(valor.substr(2)));
  }
  return true;
}

}  // namespace

CabeceraItem LeeCabeceraItem(std::string_view bloque) {
  // Exact values are read straight from the bytes: DecodificaExacto skips blanks and line ends,
  // so a folded exact value needs no unfolding first.
  // The fields found once, then looked at as often as needed.
  thread_local std::vector<CampoCrudo> campos;
  campos.clear();
  LectorEncabezados lector(bloque);
  for (CampoCrudo c; lector.Siguiente(c);) {
    if (c.es_campo) campos.push_back(c);
  }
  bool propio = false;
  for (const CampoCrudo& c : campos) propio = propio || IgualSinCaso(c.nombre, kCampoClase);

  CabeceraItem r;
  RegistroItem& reg = r.registro;
  if (propio) {
    size_t n = 0;
    for (const CampoCrudo& c : campos) n += IgualSinCaso(c.nombre, kCampoPropiedad);
    reg.propiedades.reserve(n);
  }
  bool con_asunto = false, con_de = false, base64 = false;
  const CampoCrudo* date = nullptr;
  std::string buf;
  for (const CampoCrudo& c : campos) {
    const std::string_view n = c.nombre;
    if (n.size() < 2) continue;
    const char c0 = MinusculaAscii(n[0]);
    if (c0 == 'x' && n.size() > 9 && n[1] == '-') {
      if (!propio) continue;
      if (IgualSinCaso(n, kCampoClase)) {
        reg.clase = DecodificaExacto(c.crudo);
      } else if (IgualSinCaso(n, kCampoAsunto)) {
        reg.asunto = DecodificaExacto(c.crudo);
        con_asunto = true;
      } else if (IgualSinCaso(n, kCampoDe)) {
        reg.remitente = DecodificaExacto(c.crudo);
        con_de = true;
      } else if (IgualSinCaso(n, kCampoPara)) {
        reg.para.push_back(DecodificaExacto(c.crudo));
      } else if (IgualSinCaso(n, kCampoResponderA)) {
        reg.responder_a.push_back(DecodificaExacto(c.crudo));
      } else if (IgualSinCaso(n, kCampoCreado)) {
        reg.creado = Fecha(LeeNumero(DecodificaExacto(c.crudo)));
      } else if (IgualSinCaso(n, kCampoMarca)) {
        reg.completada = DecodificaExacto(c.crudo) == "completada";
      } else if (IgualSinCaso(n, kCampoPropiedad)) {
        LeePropiedadCruda(c, buf, reg.propiedades);
      } else if (IgualSinCaso(n, kCampoCuerpo)) {
        if (DecodificaExacto(c.crudo) == "crlf") r.forma = FormaCuerpo::Crlf;
      }
      continue;
    }
    if (IgualSinCaso(n, "Date")) {
      if (!date) date = &c;
    } else if (IgualSinCaso(n, "Message-ID")) {
      reg.message_id = std::string(Recorta(Desplegado(c, buf)));
    } else if (IgualSinCaso(n, "In-Reply-To")) {
      reg.in_reply_to = std::string(Recorta(Desplegado(c, buf)));
    } else if (IgualSinCaso(n, "References")) {
      reg.references = std::string(Recorta(Desplegado(c, buf)));
    } else if (!propio) {
      if (IgualSinCaso(n, "Subject")) reg.asunto = std::string(Recorta(Desplegado(c, buf)));
      else if (IgualSinCaso(n, "From")) reg.remitente = std::string(Recorta(Desplegado(c, buf)));
      else if (IgualSinCaso(n, "To")) reg.para.emplace_back(Recorta(Desplegado(c, buf)));
      else if (IgualSinCaso(n, "Reply-To")) reg.responder_a.emplace_back(Recorta(Desplegado(c, buf)));
    } else if (IgualSinCaso(n, "Content-Transfer-Encoding")) {
      base64 = IgualSinCaso(Recorta(Desplegado(c, buf)), "base64");
    }
  }
  if (propio && base64) r.forma = FormaCuerpo::Base64;
  // The zone the creation date was shown in, from the Date written from it: only while that
  // header still names the very same second.
  if (propio && date) {
    const auto f = LeeFechaZonaRfc5322(Desplegado(*date, buf));
    if (f && f->fecha.Segundos() == reg.creado.Segundos()) reg.zona_creado = f->zona;
  }
  // A file of ours that lost an exact header (hand-edited) falls back to the display one.
  if (propio && (!con_asunto || !con_de)) {
    for (const CampoCrudo& c : campos) {
      if (!con_asunto && IgualSinCaso(c.nombre, "Subject")) reg.asunto = Recorta(Desplegado(c, buf));
      if (!con_de && IgualSinCaso(c.nombre, "From")) reg.remitente = Recorta(Desplegado(c, buf));
    }
  }
  return r;
}

std::string DecodificaCuerpo(FormaCuerpo forma, std::string_view bytes) {
  switch (forma) {
    case FormaCuerpo::TalCual:
      break;
    case FormaCuerpo::Crlf: {
      std::string r;
      r.reserve(bytes.size() + bytes.size() / 32);
      for (char c : bytes) {
        if (c == '\n') r += '\r';
        r += c;
      }
      return r;
    }
    case FormaCuerpo::Base64:
      if (auto d = DeBase64(bytes)) return *d;
      break;
  }
  return std::string(bytes);
}

std::string CuerpoDeArchivo(std::string_view archivo) {
  const size_t fin = FinDeCabecera(archivo);
  if (fin == std::string_view::npos) return std::string();
  return DecodificaCuerpo(LeeCabeceraItem(archivo.substr(0, fin)).forma, archivo.substr(fin));
}

}  // namespace tablon::store::mensaje
