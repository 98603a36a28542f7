// The backend-neutral parts of the store's object model (store.h): user properties, item kind,
// close and actions, kind checks, a folder's index where its backend keeps none.
#include "store/store.h"


#include "core/ascii.h"
#include "core/error.h"
#include "core/traduce.h"

namespace tablon::store {

namespace {

// TRANSLATORS: the kind of an item, in "se esperaba un elemento (%s)" and "se esperaba un %s".
const char* NombreTipo(TipoItem t) { return t == TipoItem::Post ? Traduce("post") : Traduce("nota de correo"); }

const std::shared_ptr<Item>& ExigeTipo(const std::shared_ptr<Item>& item, TipoItem tipo) {
  if (!item) {
    throw Error(errnum::kTipoNoCoincide,
                Formatea(Traduce("No coinciden los tipos: se esperaba un elemento (%s) y no hay ninguno"),
                         {NombreTipo(tipo)}));
  }
  if (item->Kind() != tipo) {
    throw Error(errnum::kTipoNoCoincide,
                Formatea(Traduce("No coinciden los tipos: se esperaba un %s y el elemento «%s» es de la clase «%s»"),
                         {NombreTipo(tipo), item->Subject(), item->MessageClass()}));
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
  throw Error(errnum::kTipoNoCoincide,
              Formatea(Traduce("No coinciden los tipos: el valor «%s» de la propiedad «%s» no es una fecha"),
                       {texto, name_}));
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
              Formatea(Traduce("El elemento no tiene la propiedad «%s»"), {name}));
}

const UserProperty& UserProperties::Item(std::string_view name) const {
  if (const auto* p = Find(name)) return *p;
  throw Error(errnum::kObjetoNoEncontrado,
              Formatea(Traduce("El elemento no tiene la propiedad «%s»"), {name}));
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
    throw Error(errnum::kArgumentoNoValido, Formatea(Traduce("Tipo de espacio de nombres no válido: «%s»"), {type}));
  }
}

void CompruebaTipoItem(int kind) {
  if (kind != 0) {
    throw Error(errnum::kArgumentoNoValido,
                Formatea(Traduce("Tipo de elemento no válido: %s (sólo 0, nota)"), {std::to_string(kind)}));
  }
}

std::shared_ptr<Folder> CarpetaLlamada(const std::vector<std::shared_ptr<Folder>>& carpetas, const std::string& name,
                                       const std::string& almacen) {
  for (const auto& f : carpetas) {
    if (f->Name() == name) return f;
  }
  throw Error(errnum::kObjetoNoEncontrado,
              Formatea(Traduce("No existe la carpeta «%s» en el almacén %s"), {name, almacen}));
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
                  Formatea(Traduce("Modo de cierre no válido: %s (se admiten 0 y 1)"), {std::to_string(save_mode)}));
  }
}

std::shared_ptr<Item> Item::Execute(std::string_view action) {
  if (action != "Responder") {
    throw Error(errnum::kObjetoNoEncontrado,
                Formatea(Traduce("El elemento no tiene la acción «%s»"), {action}));
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
