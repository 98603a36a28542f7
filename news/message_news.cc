#include "news/message_news.h"

#include "store/outlook_module.h"

namespace tablon {

void MessageNews::SueltaCampos() {
  if (!item_) return;
  std::string().swap(subject);
  std::string().swap(Autor);
  std::string().swap(referencias);
  item_->SueltaCampos();
}

std::string MessageNews::Asunto() const { return subject.empty() && item_ ? item_->Subject() : subject; }

void MessageNews::OutlookMsg(std::shared_ptr<store::Item> item) {
  item_ = std::move(item);
  const store::Item& it = *item_;
  Autor = it.SentOnBehalfOfName();
  subject = it.Subject();
  fecha(it.UserProperties().Item(kPropFecha).ComoFecha());
  if (const auto z = it.ZonaCreado(); z && it.Creado() == fecha_) fecha(fecha_, *z);
  id = it.UserProperties().Item(kPropArticulo).ComoTexto();
  referencias = it.UserProperties().Item(kPropReferencia).ComoTexto();
}

std::shared_ptr<store::Item> MessageNews::CreateOutlookMsg(const std::string& newsGrp,
                                                           const std::shared_ptr<store::Item>& parent) {
  // 1. A new mail note, or the parent's reply saved at once.
  std::shared_ptr<store::Item> nuevo;
  if (!parent) {
    nuevo = OutlookApp->CreateItem(0);
  } else {
    nuevo = parent->Execute("Responder");
    nuevo->Save();
  }
  item_ = nuevo;
  store::Item& it = *item_;
  it.SetMessageClass(kClaseCabecera);                     // 2
  it.SetSentOnBehalfOfName(Autor);                        // 3
  it.AddReplyRecipient(Autor);                            // 4
  it.AddRecipient(newsGrp);                               // 5
  it.SetSubject(subject);                                 // 6
  it.SetBody(std::string());                              // 7
  it.SetUnRead(true);                                     // 8
  auto& props = it.UserProperties();
  props.Add(kPropGrupos, store::TipoPropiedad::PalabrasClave, true).SetValue(newsGrp);  // 9
  props.Add(kPropFecha, store::TipoPropiedad::FechaHora, true).SetValue(fecha_);         // 10
  props.Add(kPropArticulo, store::TipoPropiedad::Texto, true).SetValue(id);              // 11
  props.Add(kPropReferencia, store::TipoPropiedad::Texto, true).SetValue(referencias);   // 12
  // The date a mail client shows and sorts by is the article's, where it is known.
  if (fecha_.Dias() != 0) it.SetCreado(fecha_, zona());
  it.Save();                                              // 13
  return item_;                                           // 14
}

}  // namespace tablon
