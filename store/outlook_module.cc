#include "store/outlook_module.h"

namespace tablon {

std::shared_ptr<store::Application> OutlookApp;
std::shared_ptr<store::Namespace> MapiNameSpace;

std::shared_ptr<store::Folder> BuscaOCreaCarpeta(store::Folder& parent, const std::string& name) {
  for (auto& f : parent.Folders()) {
    if (f->Name() == name) return f;
  }
  return parent.AddFolder(name);
}

}  // namespace tablon
