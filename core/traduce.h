// Tablón's own texts in the user's language, through gettext (text domain "tablon"). Every layer
// marks its texts with the functions below where it makes them.
//
// Which texts: every text of Tablón's own that a user reads, in every layer — the help, usage and
// command-line errors, the commands' output, the lines that sum up a group and a pass, the panel's
// progress and key help, the descriptions of errors (connections, addresses, ~/.netrc, the news
// and IMAP servers' refusals, the store and its files, the state file) and the verbose trace's own
// comments. Not translated, the same in every locale: the labels' captions (the Status texts…),
// the message boxes' own texts, item classes and property names, whatever is written into the
// store or the state files, the protocol's commands and replies as the trace shows them, and the
// error numbers.
//
// The texts are written in Spanish in the code, and each Spanish text is its own message
// identifier. Where no catalog translates it — the C and POSIX locales, a Spanish locale, a
// language without a catalog — it is shown exactly as written. po/en.po translates into English.
//
// PreparaIdioma takes the language from the environment for LC_MESSAGES alone (LC_ALL,
// LC_MESSAGES, LANG, then LANGUAGE as gettext reads them); LC_CTYPE, LC_NUMERIC, LC_TIME and the
// rest stay "C", so parsing, dates, numbers and the state file never depend on the locale.
// Translations come out in UTF-8, as every other text of the program, whatever LC_CTYPE says;
// so do the C library's own messages (strerror), which follow LC_MESSAGES too.
//
// Catalogs are read from $TABLON_LOCALEDIR when it is set and not empty (the tests point it at
// the build tree), else from the locale directory of the installation (CMake's
// CMAKE_INSTALL_FULL_LOCALEDIR, compiled in).
//
// Before PreparaIdioma (in tests, say) every function below answers the Spanish text. None fails.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace tablon {

// Sets LC_MESSAGES from the environment and binds the text domain, as above. main does, once,
// before anything is printed.
void PreparaIdioma();

// `texto` in the user's language (a pointer that lives as long as the program).
const char* Traduce(const char* texto) __attribute__((format_arg(1)));

// The form of `singular` or `plural` for the count `n`, in the user's language (Spanish and
// English: the singular for 1, the plural for every other count).
const char* TraducePlural(const char* singular, const char* plural, std::int64_t n) __attribute__((format_arg(1)))
__attribute__((format_arg(2)));

// `texto` translated in the context `contexto`, for short texts whose meaning the text alone
// does not carry (the decimal separator ",", say).
const char* TraduceEn(const char* contexto, const char* texto) __attribute__((format_arg(2)));

// Marks a text for the catalog where it is defined (a constant, a table) without translating it
// there; Traduce translates it where it is used.
constexpr const char* ParaTraducir(const char* texto) { return texto; }

// `formato` (usually one that Traduce answered) with its n-th "%s" replaced by partes[n-1], or
// its "%N$s" by partes[N-1] where a translation reorders them; "%%" is a "%". A part may hold any
// bytes (NUL too). A conversion with no part, or another than these, is kept as written.
std::string Formatea(std::string_view formato, std::initializer_list<std::string_view> partes);

}  // namespace tablon
