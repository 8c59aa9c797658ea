#include "files.h"
#include "imgv.h"
#include "names.h"

#include <QApplication>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    imgv window;
    const QString arg = argc > 1 ? argname(argv[1]) : QString();
    const bool fallback = !named(arg);
    window.openimage(fallback ? QStringLiteral(":/images/main.png") : arg);
    window.buildui();
    if (fallback)
        window.resize(256, 256);
    window.show();
    return app.exec();
}
