#include "store/outlook_module.h"

namespace tablon {

std::shared_ptr<store::Application> OutlookApp;
std::shared_ptr<store::Namespace> MapiNameSpace;

std::shared_ptr<store::Folder> BuscaOCreaCarpeta(store::Folder& parent, const std::string& name) {
  // AddFolder gives the subfolder that is there already: one listing, not two.
  return parent.AddFolder(name);
}

}  // namespace tablon
