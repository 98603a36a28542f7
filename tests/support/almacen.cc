#include "support/almacen.h"

#include "app/almacen.h"
#include "store/outlook_module.h"

namespace tablon::test {

void EscribeServidor(const std::string& store_dir, const std::string& host, const std::string& clase) {
  FijaUbicacionAlmacen(store_dir);
  IniciaOutlook(/*crea_almacen=*/true);  // as add-server does
  std::shared_ptr<store::Folder> news;
  for (const auto& f : MapiNameSpace->Folders()) {
    if (f->Name() == "news") news = f;
  }
  if (!news) news = MapiNameSpace->AddFolder("news");
  auto post = OutlookApp->CreateItem(0);
  post->SetMessageClass(clase);
  post->SetSubject(host);
  post->UserProperties().Add("Servidor", store::TipoPropiedad::Texto, true).SetValue(host);
  post->Move(*news);
}

}  // namespace tablon::test
