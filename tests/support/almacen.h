// Server-definition posts written straight through the store, as a user's mail client could have
// left them (any class, any host text), for tests that prepare a store before a pass.
#pragma once

#include <string>

namespace tablon::test {

// Opens the store at `store_dir` (IniciaOutlook, creating it as add-server does), creates "news" when missing and adds a post of
// class `clase` whose user property "Servidor" is `host`.
void EscribeServidor(const std::string& store_dir, const std::string& host,
                     const std::string& clase = "IPM.Post.News.Servidor");

}  // namespace tablon::test
