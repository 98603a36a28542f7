// The synchronisation run: one pass over every news server defined in the store's "news"
// folder. It does none of the news or store work itself; it drives one ServidorNews per
// server-definition post and the GrupoNews of that server, writing a progress text into the
// window's labels before each phase.
//
// Besides the labels, the run reports to the window (MainFrm): EmpiezaPasada first; FinGrupo
// after each subscribed group's work, with what the group counted; FinPasada with the totals
// and the time taken once every server is done — also before the error below, not when a
// failure ended the pass earlier.
//
// The run traps nothing: a failure of any call ends the pass at that point and reaches the
// caller (the program then shows the error's number and description and exits non-zero). What
// was already written to the store or to state files stays as written.
//
// The group routines trap their own failures, so a group whose connection failed (a timeout, a
// closed connection, an unreadable or oversized reply) would otherwise pass unseen: the run
// reconnects once before the next group (ServidorNews::Reconecta), finishes every server, and
// then raises tablon::Error naming each such group with its failure (the number is the first
// failure's). A pass that raised it is not a pass that synchronised everything.
#pragma once

namespace tablon {

// One complete pass. Every item written by a group is made durable before the next group starts.
void form_load();

}  // namespace tablon
