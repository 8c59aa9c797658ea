// The row of buttons under the picture, made from the window's table of its commands.
#pragma once

#include <QFuture>
#include <QImage>
#include <QList>
#include <functional>

class QLayout;

class controls
{
public:
    struct button
    {
        const char *picture; // the icon's resource path
        int width;
        const char *name; // what a screen reader calls the button, and says it does
        const char *description;
        std::function<void()> pressed;
    };

    explicit controls(QList<button> table);

    // Starts decoding the buttons' pictures on another core, to be ready when the row is made.
    void prepare();
    // Makes the buttons in the table's order, then lays them out: the last at the left edge, the
    // others centred in the given order.
    QLayout *row(const QList<int> &centred);

private:
    QList<button> table;
    QFuture<QList<QList<QImage>>> pictures;
};
