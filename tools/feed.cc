// tablon-feed: fills the local INN (scripts/inn.sh) with groups and articles, for the demo and
// the benchmarks. Never used by the program itself.
//
//   tablon-feed demo PREFIX              sample groups PREFIX.comp.lang.c and PREFIX.es.charla
//                                        with short threads in Spanish
//   tablon-feed bulk GROUP COUNT TAG [N] COUNT articles in threads of N (default 3) into GROUP,
//                                        the group created when missing
//
// The server is 127.0.0.1:$TABLON_INN_PORT.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "support/inn.h"

namespace {

using tablon::test::Article;
using tablon::test::Inn;

Article Nuevo(const std::string& grupo, const std::string& id, const std::string& de, const std::string& asunto,
              const std::string& refs, const std::string& cuerpo) {
  Article a;
  a.message_id = "<" + id + "@demo.tablon.test>";
  a.newsgroups = grupo;
  a.from = de;
  a.subject = asunto;
  a.references = refs.empty() ? "" : "<" + refs + "@demo.tablon.test>";
  a.body = cuerpo;
  a.extra_headers = {{"Content-Type", "text/plain; charset=UTF-8"}, {"Content-Transfer-Encoding", "8bit"}};
  return a;
}

int Demo(const std::string& p) {
  const std::string c = p + ".comp.lang.c", charla = p + ".es.charla";
  Inn::CreateGroup(c);
  Inn::CreateGroup(charla);
  // Fixed identifiers: a second demo finds the articles there already and adds nothing.
  const std::string t = "1";
  std::vector<Article> a = {
      Nuevo(c, "c1." + t, "Ana <ana@example.test>", "¿Por qué sizeof(char) es 1?", "",
            "Siempre lo he dado por hecho, pero ¿dónde lo dice la norma?\n"),
      Nuevo(c, "c2." + t, "Beto <beto@example.test>", "Re: ¿Por qué sizeof(char) es 1?", "c1." + t,
            "Ana escribió:\n> ¿dónde lo dice la norma?\n\nEn 6.5.3.4: sizeof(char) es 1 por definición.\n"),
      Nuevo(c, "c3." + t, "Carla <carla@example.test>", "Re: ¿Por qué sizeof(char) es 1?", "c2." + t,
            "Y CHAR_BIT puede ser mayor que 8.\n"),
      Nuevo(c, "c4." + t, "Dani <dani@example.test>", "Punteros colgantes", "",
            "¿Alguna herramienta para encontrarlos?\n.Esta línea empieza con un punto.\n"),
      Nuevo(c, "c5." + t, "Eva <eva@example.test>", "Re: Punteros colgantes", "c4." + t,
            "AddressSanitizer: -fsanitize=address.\n"),
      // An answer to an article this server never had: a placeholder stands in for it.
      Nuevo(c, "c6." + t, "Fede <fede@example.test>", "Re: volatile y hilos", "perdido." + t,
            "volatile no sirve para sincronizar hilos.\n"),
      Nuevo(charla, "h1." + t, "Gema <gema@example.test>", "Café con churros", "",
            "¿Dónde se desayuna mejor en Madrid?\n"),
      Nuevo(charla, "h2." + t, "Hugo <hugo@example.test>", "Re: Café con churros", "h1." + t,
            "En San Ginés, sin duda.\n"),
  };
  Inn::Post(a, true);
  std::printf("Grupos %s y %s con %zu artículos\n", c.c_str(), charla.c_str(), a.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (!Inn::Available()) {
      std::fprintf(stderr, "tablon-feed: falta TABLON_INN_PORT (el puerto del INN local)\n");
      return 2;
    }
    if (args.size() == 2 && args[0] == "demo") return Demo(args[1]);
    if ((args.size() == 4 || args.size() == 5) && args[0] == "bulk") {
      const int count = std::atoi(args[2].c_str());
      const int per_thread = args.size() == 5 ? std::atoi(args[4].c_str()) : 3;
      Inn::CreateGroup(args[1]);
      auto articles = tablon::test::MakeArticles(args[1], count, args[3], per_thread > 0 ? per_thread : 3);
      Inn::Post(articles);
      std::printf("%d artículos en %s\n", count, args[1].c_str());
      return 0;
    }
    std::fprintf(stderr, "uso: tablon-feed demo PREFIJO | tablon-feed bulk GRUPO N ETIQUETA [POR_HILO]\n");
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tablon-feed: %s\n", e.what());
    return 1;
  }
}
