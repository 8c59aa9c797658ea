// The decoders: processes apart from the window that read the bytes of every picture, each locked
// before it reads one. The first is forked while the program is still a single thread holding
// nothing; a spawner, a program of its own started when more are needed, forks a decoder for
// each socket the window sends it, and hands back a descriptor of the decoder's process, by which
// the window ends it.
#pragma once

#include <QString>

namespace decoder {

// A decoder forked by the calling process: the socket it is asked on and a descriptor of its
// process, or -1 for both if none could be forked.
struct forked
{
    int socket = -1;
    int process = -1;
};

// Forks a decoder whose readers are in the folder. Called while the process has one thread;
// what every decoder sets up alike is done here first, once, and inherited.
forked forkdecoder(const QString &readers);

// Whether a decoder keeps an entry of the environment: only the sanitizers' settings, where they
// are built in; nothing of the session (display, bus, runtime folder).
bool kept(const char *entry);

// The spawner's loop on its socket, left only when the window is gone. Decoders die with it.
[[noreturn]] void spawn(int socket, const QString &readers);

} // namespace decoder
