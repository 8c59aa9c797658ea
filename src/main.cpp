#include "files.h"
#include "imgv.h"
#include "names.h"
#include "remote.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#ifdef PORVANE_FONTCONFIG
#include <fontconfig/fontconfig.h>
#include <thread>
#endif

#if defined(__SANITIZE_ADDRESS__)
// The leak checker's own interface, which GCC ships no header for.
extern "C" void __lsan_do_leak_check();
#endif

// The viewer writes nothing and holds nothing to save, so once its event loop has ended it leaves
// without the toolkit's teardown, which on Wayland can wait for ever on the display connection's
// thread. Leaks are still looked for first where the leak checker is built in.
[[noreturn]] void leave(int status)
{
    remote::stop();
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check();
#endif
    std::fflush(nullptr);
    std::_Exit(status);
}

int main(int argc, char **argv)
{
    // The first decoder is forked before anything else, so that it holds nothing of the window's,
    // and is ready by the time the window asks for the start-up picture.
    remote::start();
#ifdef PORVANE_FONTCONFIG
    // The font configuration, which the buttons' first measure waits for, is read on another core
    // while the toolkit connects to the display.
    std::thread(FcInit).detach();
#endif
    QApplication app(argc, argv);
    // The desktop entry's name, as the Wayland app id and the X11 window class, whatever the
    // program's file is called.
    QApplication::setApplicationName(QStringLiteral("porvane"));
    QGuiApplication::setDesktopFileName(QStringLiteral("porvane"));
    imgv window;
    const QString arg = argc > 1 ? argname(argv[1]) : QString();
    const bool fallback = !named(arg);
    window.openimage(fallback ? QStringLiteral(":/images/main.png") : arg);
    window.buildui();
    if (fallback)
        window.resize(256, 256);
    window.show();
    leave(app.exec());
}
