#pragma once

#include <QFuture>
#include <QImage>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QWidget>
#include <atomic>
#include <memory>

class QDragEnterEvent;
class QDropEvent;
class QKeyEvent;
class QMouseEvent;
class QMovie;
class QResizeEvent;
class QScrollArea;
class QUrl;

// Command-line text as a file name; on Unix every name, valid UTF-8 or not, names its file again.
QString argname(const char *arg);
// Whether anything exists at the name, following links.
bool named(const QString &file);
// The local file a dropped URL names, or nothing for a URL that is not a local file.
QString localfile(const QUrl &url);

// The viewer window: one picture fitted on black, with the commands that step, zoom and turn it.
class imgv : public QWidget
{
    Q_OBJECT

public:
    explicit imgv(QWidget *parent = nullptr);
    ~imgv() override;

    void openimage(QString path);
    void buildui();

public slots:
    void tranl();
    void tranr();
    void forward();
    void backward();
    void zoomin();
    void zommout();
    void showhome();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    // A file's size and modification time when it was read. File systems stamp times in ticks of
    // up to two seconds, so only a stamp older than that proves a file unchanged by comparing
    // equal.
    struct stamp
    {
        qint64 size = -1;
        qint64 modified = -1;
        bool settled = false;

        bool proves(const stamp &now) const
        {
            return settled && size == now.size && modified == now.modified;
        }
    };
    // A picture of the folder decoded off the GUI thread ahead of a step, or the one a step left.
    struct ahead
    {
        QString file;
        stamp read;
        QFuture<QImage> image;
        std::shared_ptr<std::atomic_bool> wanted;
    };

    static stamp stampof(const QString &file);
    QStringList listfolder();
    void open(const QString &file);
    bool load(const QString &file);
    QImage takeahead(const QString &file, const stamp &now);
    void prepare();
    ahead start(const QString &file, QThreadPool *pool, qint64 maxpixels);
    void refresh();
    QSize fitsize() const;
    void showscaled(QSize box);
    QPixmap scaledto(QSize box) const;
    void showstill(const QPixmap &shown);
    void playmovie();
    void fitmovie();
    void paintframe();
    void turn(qreal degrees);
    void keycommand(int key);
    void wheelcommand(QPoint angle);
    void togglefullscreen();
    QWidget *button(const char *icon, int width, void (imgv::*slot)());

    int located;
    QString path;
    QScrollArea *area;
    QPixmap pix;
    bool gif;
    int index;
    QImage img;
    QMovie *movie;

    QString folder; // the opened file's folder, resolved once when it was opened
    QString opened; // the opened file by a path that survives changes of the working directory
    QSize shownbox; // the box and the picture the label shows a still of
    qint64 shownkey = 0;
    qreal shownratio = 0;
    QString listedfolder; // the last listing, reused while its folder is unchanged
    stamp listedstamp;
    QStringList listed;
    ahead current; // the file img was read from
    QList<ahead> neighbours; // decoded or decoding: at most the previous and the next entry
    bool onscreen = false; // the first picture has been painted
    QThreadPool decoders;
};
