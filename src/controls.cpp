#include "controls.h"

#include <QCommandLinkButton>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QImageReader>
#include <QPixmap>
#include <QtConcurrentRun>

namespace {

// An icon of every size a file's pictures come in.
QIcon iconof(const QList<QImage> &pictures)
{
    QIcon icon;
    for (const QImage &picture : pictures)
        icon.addPixmap(QPixmap::fromImage(picture));
    return icon;
}

} // namespace

controls::controls(QList<button> buttons)
    : table(std::move(buttons))
{ }

void controls::prepare()
{
    QStringList files;
    for (const button &entry : std::as_const(table))
        files << QLatin1String(entry.picture);
    // The program's own pictures, read here by the toolkit's own PNG reader: no file a user opens.
    // Named by their format, no other reader is asked whether it reads them.
    pictures = QtConcurrent::run([files] {
        QList<QList<QImage>> all;
        for (const QString &file : files) {
            QImageReader reader(file, "png");
            reader.setAutoDetectImageFormat(false);
            QList<QImage> each;
            for (QImage picture; reader.read(&picture);) {
                each << picture;
                if (!reader.jumpToNextImage())
                    break;
            }
            all << each;
        }
        return all;
    });
}

QLayout *controls::row(const QList<int> &centred)
{
    // A command link button looks its default arrow up in the icon theme, only for the button's
    // own icon to replace it: while they are made, the theme is one that has no index to read.
    const QString theme = QIcon::themeName();
    const QString fallback = QIcon::fallbackThemeName();
    QIcon::setThemeName(QStringLiteral("porvane-none"));
    QIcon::setFallbackThemeName(QStringLiteral("porvane-none"));
    if (!pictures.isValid())
        prepare();
    const QList<QList<QImage>> drawn = pictures.result();
    QList<QWidget *> buttons;
    for (const button &entry : std::as_const(table)) {
        auto *made = new QCommandLinkButton;
        made->setMaximumSize(entry.width, 35);
        made->setIcon(iconof(drawn.at(buttons.size())));
        made->setAccessibleName(QCoreApplication::translate("imgv", entry.name));
        made->setAccessibleDescription(QCoreApplication::translate("imgv", entry.description));
        // A click must not take the keyboard away from the picture, where the key commands live.
        made->setFocusPolicy(Qt::NoFocus);
        QObject::connect(made, &QAbstractButton::clicked, made, entry.pressed);
        buttons << made;
    }
    QIcon::setFallbackThemeName(fallback);
    QIcon::setThemeName(theme);
    auto *row = new QHBoxLayout;
    row->addWidget(buttons.constLast());
    row->addStretch();
    for (const int i : centred)
        row->addWidget(buttons.at(i));
    row->addStretch();
    return row;
}
