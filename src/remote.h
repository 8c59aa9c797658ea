// Pictures decoded for the window by decoder processes apart from it: the window opens each file,
// and hands a decoder its descriptor with what the decode needs; the decoder hands back the
// pixels in sealed shared memory. A decoder that crashes, is killed, passes its memory ceiling or
// is busy past the bound of time is ended, and the picture fails to load as one that does not
// decode; a fresh decoder serves the next.
#pragma once

#include "channel.h"
#include "decode.h"

#include <QIODevice>
#include <QImage>
#include <QSize>
#include <QString>
#include <limits>

namespace remote {

// How long a decoder may take over a picture: the largest pictures the viewer opens take a few
// seconds.
constexpr int boundms = 30000;

// Forks the first decoder now, while the program is a single thread holding nothing, so that it
// inherits nothing of the window's. More decoders, and any without it, come from a spawner
// started as a program of its own when first needed.
void start();
// Ends every decoder; the window is leaving.
void stop();

// A descriptor of what a decoder is to read: the file's own, or for bytes that are no file on
// disk (the program's own pictures), a memory file holding what is left of them; -1 if none.
int descriptorof(QIODevice &input);

// A decoder held by one user at a time.
class decoder
{
public:
    decoder() = default;
    decoder(decoder &&other) noexcept;
    decoder &operator=(decoder &&other) noexcept;
    decoder(const decoder &) = delete;
    decoder &operator=(const decoder &) = delete;
    ~decoder();

    // A decoder from those idle, or a new one (always, when fresh); invalid if none can be
    // started.
    static decoder take(bool fresh = false);
    // Gives a decoder back to those idle, ready for the next picture.
    static void give(decoder held);

    bool valid() const { return socket >= 0; }
    // Sends a request, with the descriptor of a file, and waits for the reply and its pixels
    // within the bound of time. A decoder that fails to reply is ended; `gone` says whether it
    // died rather than overran.
    bool ask(const channel::request &asked, int file, channel::reply &said, QImage &pixels,
        bool *gone = nullptr);
    void end();

private:
    friend void start();

    int socket = -1;
    int process = -1;
};

} // namespace remote

// Decodes a picture file, opened as every picture is, in a decoder (see decodeopen).
decoded decode(
    const QString &file, QSize box = QSize(), qint64 budget = std::numeric_limits<qint64>::max());
