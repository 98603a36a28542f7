// The backend-neutral parts of the store's object model (store.h): user properties, item kind,
// close and actions, kind checks, a folder's index where its backend keeps none.
#include "store/store.h"


#include "core/ascii.h"
#include "core/error.h"

namespace tablon::store {

namespace {

const char* NombreTipo(TipoItem t) { return t == TipoItem::Post ? "post" : "nota de correo"; }

const std::shared_ptr<Item>& ExigeTipo(const std::shared_ptr<Item>& item, TipoItem tipo) {
  if (!item) {
    throw Error(errnum::kTipoNoCoincide,
                std::string("No coinciden los tipos: se esperaba un elemento (") + NombreTipo(tipo) +
                    ") y no hay ninguno");
  }
  if (item->Kind() != tipo) {
    throw Error(errnum::kTipoNoCoincide, std::string("No coinciden los tipos: se esperaba un ") +
                                             NombreTipo(tipo) + " y el elemento «" +
                                             item->Subject() + "» es de la clase «" +
                                             item->MessageClass() + "»");
  }
  return item;
}

}  // namespace

std::string UserProperty::ComoTexto() const {
  if (const auto* f = std::get_if<Fecha>(&value_)) return FormatoEstado(*f);
  return std::get<std::string>(value_);
}

Fecha UserProperty::ComoFecha() const {
  if (const auto* f = std::get_if<Fecha>(&value_)) return *f;
  const std::string& texto = std::get<std::string>(value_);
  if (auto f = LeeFormatoEstado(texto)) return *f;
  throw Error(errnum::kTipoNoCoincide, "No coinciden los tipos: el valor «" + texto +
                                           "» de la propiedad «" + name_ + "» no es una fecha");
}

UserProperty* UserProperties::Find(std::string_view name) {
  for (auto& p : props_) {
    if (p.Name() == name) return &p;
  }
  return nullptr;
}

const UserProperty* UserProperties::Find(std::string_view name) const {
  for (const auto& p : props_) {
    if (p.Name() == name) return &p;
  }
  return nullptr;
}

UserProperty& UserProperties::Item(std::string_view name) {
  if (auto* p = Find(name)) return *p;
  throw Error(errnum::kObjetoNoEncontrado,
              "El elemento no tiene la propiedad «" + std::string(name) + "»");
}

const UserProperty& UserProperties::Item(std::string_view name) const {
  if (const auto* p = Find(name)) return *p;
  throw Error(errnum::kObjetoNoEncontrado,
              "El elemento no tiene la propiedad «" + std::string(name) + "»");
}

UserProperty& UserProperties::Add(std::string name, TipoPropiedad type, bool add_to_folder_fields) {
  if (auto* p = Find(name)) {
    *p = UserProperty(std::move(name), type, add_to_folder_fields);
    return *p;
  }
  props_.emplace_back(std::move(name), type, add_to_folder_fields);
  return props_.back();
}

void UserProperties::Adopta(std::vector<UserProperty> props) {
  bool repetidos = false;
  for (size_t i = 0; i < props.size() && !repetidos; ++i) {
    for (size_t j = 0; j < i && !repetidos; ++j) repetidos = props[i].Name() == props[j].Name();
  }
  if (!repetidos) {
    props_ = std::move(props);
    return;
  }
  props_.clear();
  for (auto& p : props) Add(std::move(p));
}

UserProperty& UserProperties::Add(UserProperty prop) {
  if (auto* p = Find(prop.Name())) {
    *p = std::move(prop);
    return *p;
  }
  return props_.emplace_back(std::move(prop));
}

void CompruebaTipoEspacio(std::string_view type) {
  if (type != "MAPI") {
    throw Error(errnum::kArgumentoNoValido, "Tipo de espacio de nombres no válido: «" + std::string(type) + "»");
  }
}

void CompruebaTipoItem(int kind) {
  if (kind != 0) {
    throw Error(errnum::kArgumentoNoValido,
                "Tipo de elemento no válido: " + std::to_string(kind) + " (sólo 0, nota)");
  }
}

std::shared_ptr<Folder> CarpetaLlamada(const std::vector<std::shared_ptr<Folder>>& carpetas, const std::string& name,
                                       const std::string& almacen) {
  for (const auto& f : carpetas) {
    if (f->Name() == name) return f;
  }
  throw Error(errnum::kObjetoNoEncontrado, "No existe la carpeta «" + name + "» en el almacén " + almacen);
}

TipoItem Item::Kind() const {
  return EmpiezaSinCaso(MessageClass(), "IPM.Post") ? TipoItem::Post : TipoItem::Nota;
}

void Item::Close(int save_mode) {
  switch (save_mode) {
    case 0:
      Save();
      return;
    case 1:
      return;  // discard: the stored item stays as it was
    default:
      throw Error(errnum::kArgumentoNoValido,
                  "Modo de cierre no válido: " + std::to_string(save_mode) + " (se admiten 0 y 1)");
  }
}

std::shared_ptr<Item> Item::Execute(std::string_view action) {
  if (action != "Responder") {
    throw Error(errnum::kObjetoNoEncontrado,
                "El elemento no tiene la acción «" + std::string(action) + "»");
  }
  std::string refs = References();
  if (!MessageId().empty()) refs += (refs.empty() ? "" : " ") + MessageId();
  const size_t ini = refs.find_first_not_of(" \t");
  const size_t fin = refs.find_last_not_of(" \t");
  std::shared_ptr<Item> r =
      NuevaRespuesta(MessageId(), ini == std::string::npos ? std::string() : refs.substr(ini, fin - ini + 1));
  if (!ReplyRecipients().empty()) {
    for (const std::string& d : ReplyRecipients()) r->AddRecipient(d);
  } else if (!SentOnBehalfOfName().empty()) {
    r->AddRecipient(SentOnBehalfOfName());
  }
  r->SetSubject("RE: " + Subject());
  return r;
}

std::unique_ptr<IndiceCarpeta> Folder::Indice() {
  return std::make_unique<SinIndicePersistente>(shared_from_this());
}

const std::shared_ptr<Item>& ComoPost(const std::shared_ptr<Item>& item) {
  return ExigeTipo(item, TipoItem::Post);
}

const std::shared_ptr<Item>& ComoNota(const std::shared_ptr<Item>& item) {
  return ExigeTipo(item, TipoItem::Nota);
}

}  // namespace tablon::store
