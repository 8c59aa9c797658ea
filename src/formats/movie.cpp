// The plugin keyed by the animation format: its handlers are the program's own (see movies.h).
#include "movies.h"

#include <QCoreApplication>
#include <QImageIOPlugin>
#include <QVariant>

class movieplugin : public QImageIOPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "movie.json")

public:
    Capabilities capabilities(QIODevice *, const QByteArray &format) const override
    {
        return format == "movie" && made() ? CanRead : Capabilities();
    }
    QImageIOHandler *create(QIODevice *device, const QByteArray &) const override
    {
        const movies::maker make = made();
        return make ? make(device) : nullptr;
    }

private:
    static movies::maker made()
    {
        const QCoreApplication *application = QCoreApplication::instance();
        return application ? reinterpret_cast<movies::maker>(
                   application->property(movies::property).value<quintptr>())
                           : nullptr;
    }
};

#include "movie.moc"
