// The toolkit's own floor: a bare Qt program that decodes a picture once and shows it fitted on
// black in a 600 x 500 window, with nothing else. The measurements show it beside the viewers,
// as it is and told the picture's format (bare --format png FILE), which spares the toolkit
// asking every plugin it has.

#include <QApplication>
#include <QImageReader>
#include <QLabel>

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
    const QImage picture = QImageReader(QString::fromLocal8Bit(argv[argc - 1]), format).read();
    label.setPixmap(QPixmap::fromImage(picture).scaled(585, 440, Qt::KeepAspectRatio));
    label.resize(600, 500);
    label.show();
    return app.exec();
}
