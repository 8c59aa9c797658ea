// The decoders: processes apart from the window that read the bytes of every picture, each locked
// before it reads one. A spawner, started while the program is still a single thread holding
// nothing, forks a decoder for each socket the window sends it, and hands back a descriptor of
// the decoder's process, by which the window ends it.
#pragma once

#include <QString>

namespace decoder {

// Forks the spawner of decoders whose readers are in the folder; returns the socket the spawner
// is asked on, or -1 if none could be started. Called while the process has one thread.
int forkspawner(const QString &readers);

// Whether a decoder keeps an entry of the environment: only the sanitizers' settings, where they
// are built in; nothing of the session (display, bus, runtime folder).
bool kept(const char *entry);

// The spawner's loop on its socket, left only when the window is gone.
[[noreturn]] void spawn(int socket, const QString &readers);

} // namespace decoder
