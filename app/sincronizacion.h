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
// Two failure styles. Up to the list of servers (the store, its "news" folder) and for each
// server's definition (its post, its state file read), the run traps nothing: a failure ends the
// pass at that point and reaches the caller (the program then shows the error's number and
// description and exits non-zero). Each server's work from its connection on is one step that
// is trapped (core/paso.h): a failure there (a server that cannot be reached, one that fails at
// connect, a state file that cannot be written) ends that server's work only, and the next
// servers are synchronised. What was already written to the store or to state files stays as
// written.
//
// The group routines trap their own failures, so two things would otherwise pass unseen: a
// group whose connection failed (a timeout, a closed connection, an unreadable or oversized
// reply) — the run reconnects once before the next group (ServidorNews::Reconecta) — and a
// group whose writes were not all made (a full disk, a folder it may not write; counted by
// GrupoNews::NoEscritos and shown in the group's report). Once every server is done, the run
// raises tablon::Error naming each server whose work a failure ended, each group cut short and
// each group with writes not made, with their failures (the number is the first failure's). A
// pass that raised it is not a pass that synchronised everything.
#pragma once

namespace tablon {

// One complete pass. Every item written by a group is made durable before the next group starts.
void form_load();

}  // namespace tablon
