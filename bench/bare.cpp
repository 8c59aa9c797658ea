// The toolkit's own floor: a bare Qt program that decodes a picture once and shows it fitted on
// black in a 600 x 500 window, with nothing else. The measurements show it beside the viewers,
// as it is and told the picture's format (bare --format png FILE), which spares the toolkit
// asking every plugin it has. A GIF plays through the toolkit's movie, its frames stretched to the
// fit size.

#include <QApplication>
#include <QImageReader>
#include <QLabel>
#include <QMovie>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QImageReader::setAllocationLimit(1024);
    QLabel label;
    label.setAlignment(Qt::AlignCenter);
    QPalette black;
    black.setBrush(QPalette::Window, Qt::black);
    label.setPalette(black);
    label.setAutoFillBackground(true);
    const QByteArray format = argc == 4 && qstrcmp(argv[1], "--format") == 0 ? argv[2] : "";
    const QString file = QString::fromLocal8Bit(argv[argc - 1]);
    QMovie movie(file, format);
    if (file.endsWith(".gif")) {
        movie.setScaledSize(QSize(585, 440));
        label.setMovie(&movie);
        movie.start();
    } else {
        const QImage picture = QImageReader(file, format).read();
        label.setPixmap(QPixmap::fromImage(picture).scaled(585, 440, Qt::KeepAspectRatio));
    }
    label.resize(600, 500);
    label.show();
    return app.exec();
}
